#include "session/write_policy.h"

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
        session.Fail(kExitRefused, r.error, RangeHint(p->identifier()));
    } else if (HeldAtUnitResolution(p->identifier(), p->type, written, held)) {
        r.status = "held_unacknowledged";
        r.value = held;
        r.has_value = true;
        r.error += "; not acknowledged, but the unit holds " + held_text;
        session.Fail(kExitHeldUnacknowledged, r.error,
             "the write took effect and only its answer was lost; " + d.hint);
    } else {
        r.error += "; the unit answers reads and holds " + held_text + ": the write did not take";
        session.Fail(kExitNoReply, r.error, d.hint);
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
