#include "session/write_policy.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "rexf/unit_model.h"
#include "session/failure_record.h"

namespace {

std::string HeldText(const CellValue& held, const std::string& raw) {
    return raw.empty() ? held.text : raw;
}

// What the unit model says about a refused write's identifier.
std::string RangeHint(const std::string& identifier) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(identifier);
    if (m == nullptr) return "";
    if (m->access == rexf::Access::kReadOnly)
        return identifier + " (" + m->meaning + ") is read-only: a unit answers every write of it with NAK";
    std::string hint = fmt::format("{} ({}) takes {:.{}f}..{:.{}f} and keeps {} decimal{}", identifier, m->meaning,
                                   m->low, m->decimals, m->high, m->decimals, m->decimals,
                                   m->decimals == 1 ? "" : "s");
    if (m->within_limits) hint += ", within the unit's SL..SH";
    return hint + "; a value outside is refused with NAK";
}

// What else makes a unit answer a select with NAK.
const char* const kOtherNakCauses =
    "a unit also answers NAK to a frame it took for damaged (a BCC, parity or framing error: check the wiring, "
    "the termination and noise on the line), and to every select while it is in a mode that refuses writes";

// Reads one identifier at the point's unit and channel: its value, or none.
std::optional<double> ReadSibling(Session& session, const Point& p, const char* identifier) {
    const std::string address = fmt::format("{:02d}K{}{}", p.unit(), p.channel(), identifier);
    auto sibling = session.ParsePoint(address, kTypeFloat);
    const RequestResult done = session.Request(RequestKind::kRead, sibling.get());
    if (!done.ok()) return std::nullopt;
    const CellValue v = DecodeCell(sibling->type, sibling->cell, false);
    if (!v.numeric) return std::nullopt;
    return v.number;
}

// The hint for a write the unit answered with NAK: the range the value must
// lie in (the unit's own SL..SH where the identifier is held within them,
// read now), whether the value lies in it, and the other causes of a NAK.
std::string NakHint(Session& session, const Point& p, const CellValue& written, const std::string& written_text) {
    const std::string id = p.identifier();
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(id);
    if (m == nullptr) return kOtherNakCauses;
    if (m->access == rexf::Access::kReadOnly) return RangeHint(id);
    double low = m->low, high = m->high;
    std::string range_name = fmt::format("{} ({}) takes", id, m->meaning);
    if (m->within_limits) {
        const std::optional<double> sl = ReadSibling(session, p, "SL");
        const std::optional<double> sh = ReadSibling(session, p, "SH");
        if (sl && sh) {
            low = std::max(low, *sl);
            high = std::min(high, *sh);
            range_name = fmt::format("{} ({}) takes the unit's own SL..SH:", id, m->meaning);
        } else {
            range_name += " (within the unit's SL..SH, which could not be read)";
        }
    }
    const std::string range = fmt::format("{} {:.{}f}..{:.{}f}", range_name, low, m->decimals, high, m->decimals);
    if (!written.numeric) return range + "; " + kOtherNakCauses;
    if (written.number < low || written.number > high)
        return range + "; " + written_text + " lies outside it, which a unit refuses with NAK; " + kOtherNakCauses;
    return range + "; " + written_text + " lies inside it, so the NAK has another cause: " + kOtherNakCauses;
}

// A write that met silence at a unit that answers the check read: the
// address and the line settings are right, so the hint is about the select.
std::string AnsweredReadHint(const Diagnosis& d) {
    if (d.cause != Cause::kSilent) return d.hint;
    return "the unit answers reads at this address and line settings, so neither is the cause: a select is "
           "longer than a poll, and noise over it, or an RS-485 adapter that releases the line late, loses the "
           "select or the unit's answer; --trace shows the frames";
}

}  // namespace

Reading WritePoint(Session& session, Point* p, bool verify, const std::string& written_text) {
    const CellValue written = DecodeCell(p->type, p->cell, false);
    const RequestResult done = session.Request(RequestKind::kWrite, p, written_text);
    const Diagnosis& d = done.diagnosis;
    Reading r = session.MakeReading(*p, done, false, "write");
    r.value = written;
    r.has_value = r.ok;
    if (r.ok) {
        r.status = "written";
        if (d.cause == Cause::kLate) session.Fail(kExitNoReply, d.what, d.hint);
        if (!verify) return r;
        auto back = session.ParsePoint(p->address, p->type);
        const RequestResult bd = session.Request(RequestKind::kRead, back.get());
        if (!bd.ok()) {
            r.ok = false;
            r.status = CauseCode(bd.diagnosis.cause);
            r.error = "written, but the read-back failed: " + bd.diagnosis.what;
            session.Fail(ExitCodeOf(bd.diagnosis.cause), r.error, bd.diagnosis.hint);
            return r;
        }
        const CellValue held = DecodeCell(back->type, back->cell, false);
        r.latency_ms += bd.outcome.latency_ms;
        r.raw = bd.diagnosis.raw;
        r.value = held;
        r.has_value = true;
        if (HeldAtUnitResolution(p->identifier(), p->type, written, held)) {
            r.status = "verified";
            return r;
        }
        r.ok = false;
        r.status = "mismatch";
        r.error = fmt::format("unit {:02d} acknowledged {} := {} but holds {}", p->unit(), p->identifier(),
                              written_text, HeldText(held, bd.diagnosis.raw));
        session.Fail(kExitRefused, r.error, RangeHint(p->identifier()));
        return r;
    }
    if (d.cause == Cause::kInterrupted) return r;
    // What does the unit hold now?
    auto check = session.ParsePoint(p->address, p->type);
    const RequestResult cd = session.Request(RequestKind::kRead, check.get());
    if (cd.diagnosis.cause == Cause::kInterrupted) {
        r.status = CauseCode(Cause::kInterrupted);
        return r;
    }
    if (!cd.ok()) {
        r.error += fmt::format("; a check read got no valid reply either ({})", CauseCode(cd.diagnosis.cause));
        session.Fail(kExitNoReply, r.error, d.hint);
        return r;
    }
    const CellValue held = DecodeCell(check->type, check->cell, false);
    const std::string held_text = HeldText(held, cd.diagnosis.raw);
    r.raw = cd.diagnosis.raw;
    if (d.cause == Cause::kNak) {
        r.status = "refused";
        r.error += "; it holds " + held_text;
        session.Fail(kExitRefused, r.error, NakHint(session, *p, written, written_text));
    } else if (HeldAtUnitResolution(p->identifier(), p->type, written, held)) {
        r.status = "held_unacknowledged";
        r.value = held;
        r.has_value = true;
        r.error += "; not acknowledged, but the unit holds " + held_text;
        session.Fail(kExitHeldUnacknowledged, r.error,
                     "the write took effect and only its answer was lost; " + AnsweredReadHint(d));
    } else {
        r.error += "; the unit answers reads and holds " + held_text + ": the write did not take";
        session.Fail(kExitNoReply, r.error, AnsweredReadHint(d));
    }
    return r;
}

ClientWrite WriteForClient(Session& session, const std::string& address, const std::string& value, bool verify) {
    ClientWrite w;
    if (session.line_stats.lost) {
        w.refusal = "port " + session.port.user_port + " is lost: nothing is written until it is back";
        return w;
    }
    const uint32_t type = session.Type();
    ValueCell cell{};
    if (!EncodeValue(type, value, &cell, &w.refusal)) return w;
    std::unique_ptr<Point> point;
    try {
        point = session.ParsePoint(address, type);
    } catch (const ToolError& e) {
        w.refusal = e.what();
        return w;
    }
    point->cell = cell;
    // The client answers for its own write: the run's exit code stays.
    FailureRecordScope record(session);
    session.last_code = kExitOk;
    w.sent = true;
    w.reading = WritePoint(session, point.get(), verify, value);
    w.ok = session.last_code == kExitOk && w.reading.status != CauseCode(Cause::kInterrupted);
    w.exit_code = session.last_code;
    if (session.last_code != kExitOk) w.hint = session.last_hint;
    return w;
}
