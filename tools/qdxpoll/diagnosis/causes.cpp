// The table of causes and the words of each failure.
#include "diagnosis/causes.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "diagnosis/diagnosis.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"

namespace {

// Times are taken where the relay reads the bytes, a little apart from where
// the driver meets them.
constexpr double kToleranceMs = 2.0;

const char* const kLineHint =
    "bytes are damaged on the line: check the termination at both ends, the cable's shield and ground, "
    "its length, and that no second master talks on the line";

std::string ByteText(uint8_t b) {
    if (b >= 0x20 && b < 0x7F) return fmt::format("{:02X} '{}'", b, static_cast<char>(b));
    return fmt::format("{:02X}", b);
}

std::string Plural(int n, const char* one, const char* many) { return n == 1 ? one : many; }

std::string UnitName(const Exchange& x) { return fmt::format("unit {:02d}", x.unit); }

// "the poll of M1", "3 polls of M1", "the write of S1 := 178".
std::string Subject(const Exchange& x, int count) {
    if (x.write) {
        const std::string what = x.identifier + " := " + x.written_text;
        return count == 1 ? "the write of " + what : fmt::format("{} selects of {}", count, what);
    }
    return count == 1 ? "the poll of " + x.identifier : fmt::format("{} polls of {}", count, x.identifier);
}

// Milliseconds as read: whole ones, with a decimal below 10.
std::string Ms1(double ms) {
    ms = std::max(0.0, ms);
    return ms < 10 ? fmt::format("{:.1f}", ms) : fmt::format("{:.0f}", ms);
}

bool AttemptsDiffer(const Diagnosis& d) {
    for (const AttemptView& a : d.attempt)
        if (a.cause != d.attempt.front().cause) return true;
    return false;
}

std::string AttemptList(const Diagnosis& d) {
    if (!AttemptsDiffer(d)) return "";
    std::string text = " (attempts:";
    for (size_t i = 0; i < d.attempt.size(); ++i)
        text += fmt::format("{} {}", i == 0 ? "" : ",", InfoOf(d.attempt[i].cause).attempt_word);
    return text + ")";
}

int CountCause(const Diagnosis& d, Cause c) {
    int n = 0;
    for (const AttemptView& a : d.attempt) n += a.cause == c;
    return n;
}

// The first attempt that met the request's cause.
const AttemptView& First(const Diagnosis& d) {
    for (const AttemptView& a : d.attempt)
        if (a.cause == d.cause) return a;
    return d.attempt.front();
}

// How many attempts met the cause, unless the list of attempts follows.
std::string OfN(const Diagnosis& d) {
    const int n = d.attempts;
    return AttemptsDiffer(d) ? "" : fmt::format(" ({} of {} attempt{})", CountCause(d, d.cause), n, n == 1 ? "" : "s");
}

// The probe that finds the line settings of this unit, as typed.
std::string ProbeCommand(const Exchange& x) {
    std::string command = fmt::format("qdxpoll probe --units {}", x.unit);
    if (x.identifier != "M1") command.insert(13, " " + x.identifier);
    return command;
}

void Silent(const Exchange& x, Diagnosis* d) {
    // Every attempt was silent; the driver's own time tells whether each
    // waited out the reply timeout (the relay's times of the sends are a
    // little late, each by its own amount).
    const int n = d->attempts;
    const bool waited = d->elapsed_ms >= n * x.timeout_ms - kToleranceMs;
    d->what = fmt::format("no answer from {} to {}", UnitName(x), Subject(x, n));
    d->what += waited ? fmt::format(" (nothing within {} ms of {})", x.timeout_ms, n == 1 ? "it" : "each")
                      : std::string(" (the attempts ended before the reply timeout: the port failed)");
    d->hint = "check the unit address ('qdxpoll scan " + x.identifier + "' finds the units), the line settings ('" +
              ProbeCommand(x) + "'), the wiring and its termination; on RS-485 the adapter must release the line "
              "after sending";
}

void Eot(const Exchange& x, Diagnosis* d) {
    d->what = fmt::format("{} answers EOT to {}: it does not have this identifier, or the option behind it is "
                          "not fitted",
                          UnitName(x), Subject(x, 1));
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(x.identifier);
    if (m != nullptr && m->option)
        d->hint = x.identifier + " is the " + m->meaning + ": fitted only on units with that option";
    else
        d->hint = "'qdxpoll identifiers' lists what each identifier is; check the unit's model and options";
}

void Nak(const Exchange& x, Diagnosis* d) {
    if (x.write) {
        const int count = CountCause(*d, Cause::kNak);
        d->what = fmt::format("{} refused {} (NAK to {})", UnitName(x), Subject(x, 1),
                              count == 1 ? "the select" : fmt::format("{} selects", count));
        d->hint = "a unit answers NAK to a read-only identifier, a value outside its setting range, or a frame it "
                  "took for damaged";
    } else {
        d->what = fmt::format("{} answers NAK to {}{}", UnitName(x), Subject(x, 1), OfN(*d));
        d->hint = "a unit answers NAK to a frame it took for damaged: check the wiring, the termination and noise "
                  "on the line";
    }
}

void CutShort(const Exchange& x, Diagnosis* d) {
    const AttemptView& a = First(*d);
    d->what = fmt::format("{}'s reply to {} was cut short: {} of 11 bytes, the last {} ms after the poll, then "
                          "nothing for {} ms",
                          UnitName(x), Subject(x, 1), a.taken.size(), Ms1(a.last_ms), x.timeout_ms);
    if (a.answered && a.answer_bytes > a.taken.size()) {
        d->what += fmt::format("; the rest came by {} ms after the poll", Ms1(a.answer_last_ms));
        d->timeout_needed_ms = TimeoutThatTakes(a.answer_max_gap_ms);
        d->what += fmt::format(": a reply timeout of {} ms would have taken it", d->timeout_needed_ms);
        d->hint = fmt::format("the reply timeout is too short for this unit: use --timeout {}",
                              std::max(d->timeout_needed_ms, x.safe_timeout_ms));
    } else {
        d->what += "; the rest never came";
        d->hint = fmt::format("try --timeout {}; a reply that stops short is also a sign of a line that loses bytes",
                              x.safe_timeout_ms);
    }
}

void Late(const Exchange& x, Diagnosis* d) {
    // The attempt whose answer came latest.
    const AttemptView* late = nullptr;
    for (const AttemptView& v : d->attempt) {
        const AttemptView* owner = v.answer_of >= 0 ? &d->attempt[static_cast<size_t>(v.answer_of)] : &v;
        if (owner->answered && owner->answer_first_ms > x.timeout_ms &&
            (late == nullptr || owner->answer_first_ms > late->answer_first_ms))
            late = owner;
    }
    if (late == nullptr) late = &First(*d);
    d->late_ms = late->answer_first_ms;
    d->timeout_needed_ms = TimeoutThatTakes(late->answer_max_gap_ms);
    d->what = fmt::format("{} answered {} {} ms after it, later than its {} ms reply timeout", UnitName(x),
                          Subject(x, 1), Ms1(d->late_ms), x.timeout_ms);
    if (d->value_taken)
        d->what += x.write ? "; the retry took that late answer as its own"
                           : "; the retry took that late answer as its own reply (the unit's value, one poll older)";
    d->what += fmt::format(": a reply timeout of {} ms would have taken it", d->timeout_needed_ms);
    d->hint = fmt::format("use --timeout {} or more", d->timeout_needed_ms);
    if (d->timeout_needed_ms < x.safe_timeout_ms)
        d->hint += fmt::format(" ({} ms covers every interval time at these line settings)", x.safe_timeout_ms);
    d->hint += ": a late answer is taken for the reply to the next request, perhaps for another unit";
    if (d->timeout_needed_ms > x.safe_timeout_ms)
        d->hint += "; no interval time (0-250 ms) makes a unit this slow: look for a converter or adapter that "
                   "holds the answer back";
}

void BadBcc(const Exchange& x, Diagnosis* d) {
    const AttemptView& a = First(*d);
    d->what = fmt::format("{}'s replies to {} fail the BCC check: computed {:02X}, received {:02X}{}", UnitName(x),
                          x.identifier, a.bcc_computed, a.bcc_received, OfN(*d));
}

void BadStx(const Exchange& x, Diagnosis* d) {
    d->what = fmt::format("{}'s replies to {} do not begin with STX: the first byte is {}{}", UnitName(x),
                          x.identifier, ByteText(First(*d).taken[0]), OfN(*d));
}

void BadIdentifier(const Exchange& x, Diagnosis* d) {
    const AttemptView& a = First(*d);
    d->what = fmt::format("{} replied with identifier {}{} to the poll of {}{}", UnitName(x),
                          static_cast<char>(a.taken[1]), static_cast<char>(a.taken[2]), x.identifier, OfN(*d));
    d->hint = fmt::format("two units may share address {:02d}, or a late reply to an earlier poll was met", x.unit);
}

void BadEtx(const Exchange& x, Diagnosis* d) {
    d->what = fmt::format("{}'s replies to {} have no ETX after six data characters: byte 10 is {}{}", UnitName(x),
                          x.identifier, ByteText(First(*d).taken[9]), OfN(*d));
}

// Bytes that read as the protocol's own: its control characters and
// printable text, with at least one control character among them. A wrong
// baud rate, parity or data width gives NULs, bytes with the eighth bit set
// or stray control codes instead.
bool DecodesCleanly(const std::vector<uint8_t>& bytes) {
    bool control = false;
    for (uint8_t b : bytes) {
        const bool protocol = b == rexf::kStx || b == rexf::kEtx || b == rexf::kEot || b == rexf::kEnq ||
                              b == rexf::kAck || b == rexf::kNak;
        if (!protocol && (b < 0x20 || b > 0x7E)) return false;
        control |= protocol;
    }
    return control;
}

// Whether the bytes begin with the frame qdxpoll sent first.
bool EchoesRequest(const Exchange& x, const std::vector<uint8_t>& bytes) {
    for (const WireChunk& c : x.wire) {
        if (c.direction != Direction::kToUnit || c.bytes.empty()) continue;
        const size_t n = std::min(c.bytes.size(), bytes.size());
        return n >= 3 && std::equal(bytes.begin(), bytes.begin() + static_cast<long>(n), c.bytes.begin());
    }
    return false;
}

void NoFrame(const Exchange& x, Diagnosis* d) {
    const AttemptView& a = First(*d);
    bool all_zero = true, high = false;
    for (uint8_t b : a.taken) {
        all_zero &= b == 0;
        high |= b >= 0x80;
    }
    d->what = fmt::format("{}'s answer to {} is no frame: {} {} {}{}", UnitName(x), Subject(x, 1), a.taken.size(),
                          Plural(static_cast<int>(a.taken.size()), "byte", "bytes"), ShowSome(a.taken), OfN(*d));
    if (all_zero)
        d->what += "; all NUL, as a port delivers characters with parity or framing errors";
    else if (high)
        d->what += "; bytes with the eighth bit set, as 8 data bits read a 7-bit character's parity";
    if (all_zero || high || !DecodesCleanly(a.taken))
        d->hint = "most likely the baud rate, data bits or parity differ from the unit's: '" + ProbeCommand(x) +
                  "' finds the settings it answers at";
    else if (EchoesRequest(x, a.taken))
        d->hint = "the bytes are qdxpoll's own request come back: an adapter or converter that echoes what it "
                  "sends (on RS-485, one with its receiver left on while sending); they are no sign of a wrong "
                  "line setting";
    else
        d->hint = "the bytes are clean characters of the protocol, no sign of a wrong line setting: an answer "
                  "from another unit at the same address, bytes left over from an earlier exchange, or a second "
                  "master talking on the line; --trace shows them";
}

void NotNumber(const Exchange& x, Diagnosis* d) {
    // Bytes beyond ASCII shown as their value, as in the trace.
    const AttemptView& a = First(*d);
    d->what = fmt::format("{} replied to {} with data that is not a number: \"{}\"", UnitName(x), x.identifier,
                          ShowBytes(std::vector<uint8_t>(a.taken.begin() + 3, a.taken.begin() + 9)));
}

void OtherAnswer(const Exchange& x, Diagnosis* d) {
    d->what = fmt::format("{} answered {} with {} instead of ACK or NAK{}", UnitName(x), Subject(x, 1),
                          ByteText(First(*d).taken[0]), OfN(*d));
}

void Interrupted(const Exchange& x, Diagnosis* d) {
    const int n = d->attempts;
    bool received = false;
    for (const WireChunk& c : x.wire) received |= c.direction == Direction::kFromUnit && !c.bytes.empty();
    d->what = fmt::format("interrupted: {} at unit {:02d} ended {:.1f} s after it began ({} {} sent{})",
                          (x.write ? "the write of " : "the read of ") + x.identifier, x.unit, d->elapsed_ms / 1000.0,
                          n, Plural(n, x.write ? "select" : "poll", x.write ? "selects" : "polls"),
                          received ? "" : ", nothing received");
}

// The driver failed where the wire shows nothing wrong.
void NoValidReply(const Exchange& x, Diagnosis* d) {
    if (d->attempts == 0) {
        d->what = fmt::format("the driver sent nothing for {} at unit {:02d}: the port failed", x.identifier, x.unit);
        d->hint = "check that the port is still there ('qdxpoll list-ports')";
    } else {
        d->what = fmt::format("the driver refused {} at unit {:02d} after a reply that passed every check",
                              Subject(x, 1), x.unit);
        d->hint = "run with --trace to see the frames";
    }
}

const char* const kBadEtxHint =
    "a unit that sends more than six data characters (a REX-F9000 sends seven) is not one for this driver; "
    "otherwise bytes are damaged on the line";
const char* const kNotNumberHint =
    "the unit has no value to give here: an input error such as a sensor break (see B1), or a parameter not in use";

// In the order of the enum.
const CauseInfo kCauses[] = {
    {Cause::kGood, "ok", SummaryClass::kGood, "good", "", 12, nullptr, nullptr},
    {Cause::kSilent, "silent", SummaryClass::kNoAnswer, "nothing", "", 11, nullptr, Silent},
    {Cause::kEot, "eot", SummaryClass::kEot, "EOT", "", 1, nullptr, Eot},
    {Cause::kNak, "nak", SummaryClass::kNak, "NAK", "NAK", 2, nullptr, Nak},
    {Cause::kCutShort, "cut_short", SummaryClass::kLate, "cut short", "replies cut short", 3, nullptr, CutShort},
    {Cause::kLate, "late", SummaryClass::kLate, "late", "answers {:.0f} ms late", 4, nullptr, Late},
    {Cause::kNoFrame, "no_frame", SummaryClass::kRefused, "no frame", "no frame: line settings?", 9, nullptr, NoFrame},
    {Cause::kBadStx, "no_stx", SummaryClass::kRefused, "no STX", "no STX", 8, kLineHint, BadStx},
    {Cause::kBadIdentifier, "wrong_identifier", SummaryClass::kRefused, "wrong identifier", "wrong identifier", 7, nullptr,
     BadIdentifier},
    {Cause::kBadEtx, "no_etx", SummaryClass::kRefused, "no ETX", "no ETX", 6, kBadEtxHint, BadEtx},
    {Cause::kBadBcc, "bad_bcc", SummaryClass::kRefused, "BCC", "BCC wrong", 5, kLineHint, BadBcc},
    {Cause::kNotNumber, "not_a_number", SummaryClass::kRefused, "not a number", "data not a number", 0, kNotNumberHint,
     NotNumber},
    {Cause::kOtherAnswer, "bad_answer", SummaryClass::kRefused, "neither ACK nor NAK", "", 10, kLineHint, OtherAnswer},
    {Cause::kInterrupted, "interrupted", SummaryClass::kInterrupted, "interrupted", "", 100, "the port is closed",
     Interrupted},
    {Cause::kNoValidReply, "no_reply", SummaryClass::kNoAnswer, "no valid reply", "", 100, nullptr, NoValidReply},
};

}  // namespace

const CauseInfo& InfoOf(Cause cause) {
    static_assert(sizeof kCauses / sizeof kCauses[0] == static_cast<size_t>(Cause::kNoValidReply) + 1,
                  "one row a cause");
    return kCauses[static_cast<size_t>(cause)];
}

void DescribeFailure(const Exchange& x, Diagnosis* d) {
    const CauseInfo& info = InfoOf(d->cause);
    d->hint = info.hint != nullptr ? info.hint : "";
    if (info.describe != nullptr) info.describe(x, d);
    // An interrupted request, or one the driver refused for no reason seen,
    // is told without its attempts.
    if (d->cause != Cause::kInterrupted && d->cause != Cause::kNoValidReply) d->what += AttemptList(*d);
}

void DescribeUnobserved(const Exchange& x, Diagnosis* d) {
    d->attempts = 3;
    if (x.refused_logged > 0) {
        d->cause = Cause::kBadBcc;
        if (x.last_log.find("STX") != std::string::npos) d->cause = Cause::kBadStx;
        if (x.last_log.find("identifier") != std::string::npos) d->cause = Cause::kBadIdentifier;
        if (x.last_log.find("ETX") != std::string::npos) d->cause = Cause::kBadEtx;
        d->what = fmt::format("no valid reply from {} for {}: the driver refused {} {} (last: {})", UnitName(x),
                              x.identifier, x.refused_logged,
                              Plural(static_cast<int>(x.refused_logged), "reply", "replies"), x.last_log);
        d->hint = kLineHint;
        return;
    }
    d->cause = Cause::kNoValidReply;
    d->what = fmt::format("no valid reply from {} to {}", UnitName(x), Subject(x, 3));
    // Only a wait that happened is told: three whole reply timeouts.
    if (d->elapsed_ms >= 3.0 * x.timeout_ms - kToleranceMs)
        d->what += fmt::format(" (each waited the {} ms reply timeout)", x.timeout_ms);
    d->what += x.write ? ": silence, NAK or another answer; the driver does not tell them apart"
                       : ": silence, EOT, NAK or a reply cut short; the driver does not tell them apart";
    d->hint = x.unobserved_hint;
}
