// Naming what the line did, from the bytes and their times.
//
// The driver sends a frame, discards nothing more until its next send, and
// reads until it has the whole answer (11 bytes for a poll, 1 for a select)
// or the line has been silent for one reply timeout. The diagnosis replays
// that on the recorded bytes to know what the driver read for each attempt,
// and separately cuts the unit's bytes into answers and pairs each with the
// frame it answers, so that an answer arriving after its timeout (and perhaps
// read by the next attempt) is seen for what it is.
#include "diagnosis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <fmt/format.h>

#include "sim/unit_model.h"

namespace {

constexpr uint8_t kStx = 0x02, kEtx = 0x03, kEot = 0x04, kEnq = 0x05, kAck = 0x06, kNak = 0x15;
constexpr size_t kReplyBytes = 11;
// Times are taken where the relay reads the bytes, a little apart from where
// the driver meets them.
constexpr double kToleranceMs = 2.0;

double Ms(SteadyClock::time_point t, SteadyClock::time_point since) {
    return std::chrono::duration<double, std::milli>(t - since).count();
}

struct HostFrame {
    double ms = 0;
    std::vector<uint8_t> bytes;
};

struct UnitByte {
    double ms;
    uint8_t value;
    int answer;  // index into the answers
};

struct UnitAnswer {
    size_t first = 0, last = 0;  // byte indexes
    int attempt = -1;            // the attempt it answers
};

// The frames the host sent, cut at each EOT (except where a selecting
// frame's BCC is due) and after each ENQ that closes a polling frame.
std::vector<HostFrame> HostFrames(const Exchange& x) {
    std::vector<HostFrame> frames;
    HostFrame current;
    auto finish = [&] {
        if (!current.bytes.empty()) frames.push_back(current);
        current = HostFrame{};
    };
    for (const WireChunk& chunk : x.wire) {
        if (chunk.direction != Direction::kToUnit) continue;
        const double ms = Ms(chunk.time, x.start);
        for (uint8_t b : chunk.bytes) {
            if (!current.bytes.empty()) {
                const auto& f = current.bytes;
                if (f.size() >= 5 && f[3] == kStx && f.back() == kEtx) {  // the BCC
                    current.bytes.push_back(b);
                    finish();
                    continue;
                }
                if (b == kEot) finish();
            }
            if (current.bytes.empty()) current.ms = ms;
            current.bytes.push_back(b);
            if (b == kEnq && current.bytes[0] == kEot) finish();
        }
    }
    finish();
    return frames;
}

bool IsAttemptFrame(const std::vector<uint8_t>& f, bool write) {
    if (write) return f.size() == 16 && f[0] == kEot && f[3] == kStx;
    return f.size() == 8 && f[0] == kEot && f[7] == kEnq;
}

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

// Order in which a failed request's attempts name its cause: the most telling
// first, silence last.
int Rank(Cause c) {
    static const Cause kOrder[] = {Cause::kNotNumber, Cause::kEot,     Cause::kNak,           Cause::kCutShort,
                                   Cause::kLate,      Cause::kBadBcc,  Cause::kBadEtx,        Cause::kBadIdentifier,
                                   Cause::kBadStx,    Cause::kNoFrame, Cause::kOtherAnswer,   Cause::kSilent,
                                   Cause::kGood};
    for (size_t i = 0; i < sizeof kOrder / sizeof kOrder[0]; ++i)
        if (kOrder[i] == c) return static_cast<int>(i);
    return 100;
}

const char* AttemptWord(Cause c) {
    switch (c) {
        case Cause::kGood: return "good";
        case Cause::kSilent: return "nothing";
        case Cause::kEot: return "EOT";
        case Cause::kNak: return "NAK";
        case Cause::kCutShort: return "cut short";
        case Cause::kLate: return "late";
        case Cause::kNoFrame: return "no frame";
        case Cause::kBadStx: return "no STX";
        case Cause::kBadIdentifier: return "wrong identifier";
        case Cause::kBadEtx: return "no ETX";
        case Cause::kBadBcc: return "BCC";
        case Cause::kNotNumber: return "not a number";
        case Cause::kOtherAnswer: return "neither ACK nor NAK";
        case Cause::kInterrupted: return "interrupted";
        case Cause::kNoValidReply: return "no valid reply";
    }
    return "?";
}

// Whether a data reply's six characters read, as the driver reads them (a
// float of up to six characters), as infinity or NaN.
bool ConvertsToNonFinite(const std::vector<uint8_t>& reply) {
    char field[8] = {};
    std::copy(reply.begin() + 3, reply.begin() + 9, field);
    float value = 0;
    return std::sscanf(field, "%6f", &value) == 1 && !std::isfinite(value);
}

void ClassifyTaken(const Exchange& x, bool last, AttemptView* a) {
    const std::vector<uint8_t>& t = a->taken;
    if (x.write) {
        const uint8_t b = t[0];
        if (b == kAck) a->cause = Cause::kGood;
        else if (b == kNak) a->cause = Cause::kNak;
        else if (b == kEot) a->cause = Cause::kEot;
        else if (b == 0 || b >= 0x80) a->cause = Cause::kNoFrame;
        else a->cause = Cause::kOtherAnswer;
        return;
    }
    if (t.size() < kReplyBytes) {
        if (t[0] == kStx) a->cause = Cause::kCutShort;
        else if (t.size() == 1 && t[0] == kEot) a->cause = Cause::kEot;
        else if (t.size() == 1 && t[0] == kNak) a->cause = Cause::kNak;
        else a->cause = Cause::kNoFrame;
        return;
    }
    const bool stx = t[0] == kStx;
    const bool id = x.identifier.size() == 2 && t[1] == static_cast<uint8_t>(x.identifier[0]) &&
                    t[2] == static_cast<uint8_t>(x.identifier[1]);
    const bool etx = t[9] == kEtx;
    // Eleven bytes with at most one of the reply's landmarks are no frame.
    if (stx + id + etx < 2) {
        a->cause = Cause::kNoFrame;
        return;
    }
    if (!stx) {
        a->cause = Cause::kBadStx;
        return;
    }
    if (!id) {
        a->cause = Cause::kBadIdentifier;
        return;
    }
    if (!etx) {
        a->cause = Cause::kBadEtx;
        return;
    }
    uint8_t bcc = 0;
    for (size_t i = 1; i <= 9; ++i) bcc ^= t[i];
    if (bcc != t[10]) {
        a->cause = Cause::kBadBcc;
        a->bcc_computed = bcc;
        a->bcc_received = t[10];
        return;
    }
    // A frame that passes every check fails the request only when its data
    // is not a number: one the driver refused, or one it converted to
    // infinity or NaN ("  inf ", "1e+300").
    a->cause = (last && !x.interrupted && (!x.driver_ok || ConvertsToNonFinite(t))) ? Cause::kNotNumber : Cause::kGood;
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
        text += fmt::format("{} {}", i == 0 ? "" : ",", AttemptWord(d.attempt[i].cause));
    return text + ")";
}

int CountCause(const Diagnosis& d, Cause c) {
    int n = 0;
    for (const AttemptView& a : d.attempt) n += a.cause == c;
    return n;
}

const AttemptView* FirstWith(const Diagnosis& d, Cause c) {
    for (const AttemptView& a : d.attempt)
        if (a.cause == c) return &a;
    return nullptr;
}

const char* kNotNumberHint =
    "the unit has no value to give here: an input error such as a sensor break (see B1), or a parameter not in use";

const char* kLineHint =
    "bytes are damaged on the line: check the termination at both ends, the cable's shield and ground, "
    "its length, and that no second master talks on the line";

void DescribeFailure(const Exchange& x, Diagnosis* d) {
    const std::string unit = UnitName(x);
    const int n = d->attempts;
    const AttemptView* a = FirstWith(*d, d->cause);
    const int count = CountCause(*d, d->cause);
    // How many attempts met this cause, unless the list of attempts follows.
    const std::string of_n =
        AttemptsDiffer(*d) ? "" : fmt::format(" ({} of {} attempt{})", count, n, n == 1 ? "" : "s");
    switch (d->cause) {
        case Cause::kSilent: {
            // Every attempt was silent; the driver's own time tells whether
            // each waited out the reply timeout (the relay's times of the
            // sends are a little late, each by its own amount).
            const bool waited = d->elapsed_ms >= n * x.timeout_ms - kToleranceMs;
            d->what = fmt::format("no answer from {} to {}", unit, Subject(x, n));
            d->what += waited ? fmt::format(" (nothing within {} ms of {})", x.timeout_ms, n == 1 ? "it" : "each")
                              : std::string(" (the attempts ended before the reply timeout: the port failed)");
            d->hint = "check the unit address ('qdxpoll scan " + x.identifier +
                      "' finds the units), the line settings ('qdxpoll probe'), the wiring and its termination; "
                      "on RS-485 the adapter must release the line after sending";
            break;
        }
        case Cause::kEot: {
            d->what = fmt::format("{} answers EOT to {}: it does not have this identifier, or the option behind "
                                  "it is not fitted",
                                  unit, Subject(x, 1));
            const rexf::IdentifierModel* m = rexf::FindIdentifierModel(x.identifier);
            if (m != nullptr && m->option)
                d->hint = x.identifier + " is the " + m->meaning + ": fitted only on units with that option";
            else
                d->hint = "'qdxpoll identifiers' lists what each identifier is; check the unit's model and options";
            break;
        }
        case Cause::kNak:
            if (x.write) {
                d->what = fmt::format("{} refused {} (NAK to {})", unit, Subject(x, 1),
                                      count == 1 ? "the select" : fmt::format("{} selects", count));
                d->hint = "a unit answers NAK to a read-only identifier, a value outside its setting range, "
                          "or a frame it took for damaged";
            } else {
                d->what = fmt::format("{} answers NAK to {}{}", unit, Subject(x, 1), of_n);
                d->hint = "a unit answers NAK to a frame it took for damaged: check the wiring, the termination "
                          "and noise on the line";
            }
            break;
        case Cause::kCutShort: {
            d->what = fmt::format("{}'s reply to {} was cut short: {} of 11 bytes, the last {} ms after the poll, "
                                  "then nothing for {} ms",
                                  unit, Subject(x, 1), a->taken.size(), Ms1(a->last_ms), x.timeout_ms);
            if (a->answered && a->answer_bytes > a->taken.size()) {
                d->what += fmt::format("; the rest came by {} ms after the poll", Ms1(a->answer_last_ms));
                d->timeout_needed_ms = TimeoutThatTakes(a->answer_max_gap_ms);
                d->what += fmt::format(": a reply timeout of {} ms would have taken it", d->timeout_needed_ms);
                d->hint = fmt::format("the reply timeout is too short for this unit: use --timeout {}",
                                      std::max(d->timeout_needed_ms, x.safe_timeout_ms));
            } else {
                d->what += "; the rest never came";
                d->hint = fmt::format("try --timeout {}; a reply that stops short is also a sign of a line that "
                                      "loses bytes",
                                      x.safe_timeout_ms);
            }
            break;
        }
        case Cause::kLate: {
            // The attempt whose answer came late.
            const AttemptView* late = nullptr;
            for (const AttemptView& v : d->attempt) {
                const AttemptView* owner = v.answer_of >= 0 ? &d->attempt[static_cast<size_t>(v.answer_of)] : &v;
                if (owner->answered && owner->answer_first_ms > x.timeout_ms &&
                    (late == nullptr || owner->answer_first_ms > late->answer_first_ms))
                    late = owner;
            }
            if (late == nullptr) late = a;
            d->late_ms = late->answer_first_ms;
            d->timeout_needed_ms = TimeoutThatTakes(late->answer_max_gap_ms);
            d->what = fmt::format("{} answered {} {} ms after it, later than its {} ms reply timeout", unit,
                                  Subject(x, 1), Ms1(d->late_ms), x.timeout_ms);
            if (d->value_taken)
                d->what += x.write ? "; the retry took that late answer as its own"
                                   : "; the retry took that late answer as its own reply (the unit's value, "
                                     "one poll older)";
            d->what += fmt::format(": a reply timeout of {} ms would have taken it", d->timeout_needed_ms);
            d->hint = fmt::format("use --timeout {} or more", d->timeout_needed_ms);
            if (d->timeout_needed_ms < x.safe_timeout_ms)
                d->hint += fmt::format(" ({} ms covers every interval time at these line settings)", x.safe_timeout_ms);
            d->hint += ": a late answer is taken for the reply to the next request, perhaps for another unit";
            if (d->timeout_needed_ms > x.safe_timeout_ms)
                d->hint += "; no interval time (0-250 ms) makes a unit this slow: look for a converter or "
                           "adapter that holds the answer back";
            break;
        }
        case Cause::kBadBcc:
            d->what = fmt::format("{}'s replies to {} fail the BCC check: computed {:02X}, received {:02X}{}", unit,
                                  x.identifier, a->bcc_computed, a->bcc_received, of_n);
            d->hint = kLineHint;
            break;
        case Cause::kBadStx:
            d->what = fmt::format("{}'s replies to {} do not begin with STX: the first byte is {}{}", unit,
                                  x.identifier, ByteText(a->taken[0]), of_n);
            d->hint = kLineHint;
            break;
        case Cause::kBadIdentifier:
            d->what = fmt::format("{} replied with identifier {}{} to the poll of {}{}", unit,
                                  static_cast<char>(a->taken[1]), static_cast<char>(a->taken[2]), x.identifier, of_n);
            d->hint = fmt::format("two units may share address {:02d}, or a late reply to an earlier poll was met",
                                  x.unit);
            break;
        case Cause::kBadEtx:
            d->what = fmt::format("{}'s replies to {} have no ETX after six data characters: byte 10 is {}{}",
                                  unit, x.identifier, ByteText(a->taken[9]), of_n);
            d->hint = "a unit that sends more than six data characters (a REX-F9000 sends seven) is not one for "
                      "this driver; otherwise bytes are damaged on the line";
            break;
        case Cause::kNoFrame: {
            bool all_zero = true, high = false;
            for (uint8_t b : a->taken) {
                all_zero &= b == 0;
                high |= b >= 0x80;
            }
            d->what = fmt::format("{}'s answer to {} is no frame: {} {} {}{}", unit, Subject(x, 1),
                                  a->taken.size(), Plural(static_cast<int>(a->taken.size()), "byte", "bytes"),
                                  ShowSome(a->taken), of_n);
            if (all_zero) d->what += "; all NUL, as a port delivers characters with parity or framing errors";
            else if (high) d->what += "; bytes with the eighth bit set, as 8 data bits read a 7-bit character's parity";
            d->hint = "most likely the baud rate, data bits or parity differ from the unit's: 'qdxpoll probe' "
                      "finds the settings it answers at";
            break;
        }
        case Cause::kNotNumber:
            // Bytes beyond ASCII shown as their value, as in the trace.
            d->what = fmt::format("{} replied to {} with data that is not a number: \"{}\"", unit, x.identifier,
                                  ShowBytes(std::vector<uint8_t>(a->taken.begin() + 3, a->taken.begin() + 9)));
            d->hint = kNotNumberHint;
            break;
        case Cause::kOtherAnswer:
            d->what = fmt::format("{} answered {} with {} instead of ACK or NAK{}", unit, Subject(x, 1),
                                  ByteText(a->taken[0]), of_n);
            d->hint = kLineHint;
            break;
        case Cause::kInterrupted:
        case Cause::kNoValidReply:
        case Cause::kGood:
            break;
    }
    d->what += AttemptList(*d);
}

void DescribeUnobserved(const Exchange& x, Diagnosis* d) {
    d->attempts = 3;
    if (x.refused_logged > 0) {
        d->cause = Cause::kBadBcc;
        if (x.last_log.find("STX") != std::string::npos) d->cause = Cause::kBadStx;
        if (x.last_log.find("identifier") != std::string::npos) d->cause = Cause::kBadIdentifier;
        if (x.last_log.find("ETX") != std::string::npos) d->cause = Cause::kBadEtx;
        d->what = fmt::format("no valid reply from {} for {}: the driver refused {} {} (last: {})", UnitName(x),
                              x.identifier, x.refused_logged, Plural(static_cast<int>(x.refused_logged), "reply",
                                                                     "replies"),
                              x.last_log);
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

}  // namespace

const char* CauseCode(Cause cause) {
    switch (cause) {
        case Cause::kGood: return "ok";
        case Cause::kSilent: return "silent";
        case Cause::kEot: return "eot";
        case Cause::kNak: return "nak";
        case Cause::kCutShort: return "cut_short";
        case Cause::kLate: return "late";
        case Cause::kNoFrame: return "no_frame";
        case Cause::kBadStx: return "no_stx";
        case Cause::kBadIdentifier: return "wrong_identifier";
        case Cause::kBadEtx: return "no_etx";
        case Cause::kBadBcc: return "bad_bcc";
        case Cause::kNotNumber: return "not_a_number";
        case Cause::kOtherAnswer: return "bad_answer";
        case Cause::kInterrupted: return "interrupted";
        case Cause::kNoValidReply: return "no_reply";
    }
    return "?";
}

Tally TallyOf(Cause cause) {
    switch (cause) {
        case Cause::kGood: return Tally::kGood;
        case Cause::kSilent:
        case Cause::kNoValidReply: return Tally::kNoAnswer;
        case Cause::kEot: return Tally::kEot;
        case Cause::kNak: return Tally::kNak;
        case Cause::kCutShort:
        case Cause::kLate: return Tally::kLate;
        case Cause::kInterrupted: return Tally::kInterrupted;
        default: return Tally::kRefused;
    }
}

int TimeoutThatTakes(double gap_ms) {
    // One 10 ms step above the longest silence, so that the answer comes
    // within the timeout and not at its very end.
    const int steps = static_cast<int>(std::ceil(std::max(0.0, gap_ms) / 10.0)) + 1;
    return steps * 10;
}

std::string ShowSome(const std::vector<uint8_t>& bytes, size_t max_bytes) {
    if (bytes.size() <= max_bytes) return ShowBytes(bytes);
    return ShowBytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(max_bytes))) +
           "...";
}

Cause ClassifyAnswer(const std::vector<uint8_t>& bytes, const std::string& identifier) {
    if (bytes.empty()) return Cause::kSilent;
    Exchange x;
    x.identifier = identifier;
    x.driver_ok = true;  // a frame that passes every check is good here
    AttemptView a;
    a.taken.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), kReplyBytes)));
    ClassifyTaken(x, true, &a);
    return a.cause;
}

Diagnosis Diagnose(const Exchange& x) {
    Diagnosis d;
    d.elapsed_ms = Ms(x.end, x.start);
    d.value_taken = x.driver_ok;
    if (!x.observed) {
        if (x.interrupted && !x.driver_ok) {
            d.cause = Cause::kInterrupted;
        } else if (x.driver_ok) {
            d.cause = Cause::kGood;
            d.attempts = 1 + static_cast<int>(x.refused_logged);
            if (!x.non_finite_value.empty()) {
                d.cause = Cause::kNotNumber;
                d.value_taken = false;
                d.what = fmt::format("{} replied to {} with data that is not a number: the driver made {} of it",
                                     UnitName(x), x.identifier, x.non_finite_value);
                d.hint = kNotNumberHint;
            }
        } else {
            DescribeUnobserved(x, &d);
        }
        return d;
    }

    // The attempts: every polling (or selecting) frame the driver sent.
    std::vector<double> sends;
    for (const HostFrame& f : HostFrames(x))
        if (IsAttemptFrame(f.bytes, x.write) && f.ms <= d.elapsed_ms + kToleranceMs) sends.push_back(f.ms);
    const size_t n = sends.size();
    d.attempts = static_cast<int>(n);

    // The unit's bytes, cut into answers: a data reply from STX for 11 bytes
    // (however long its pauses), a lone EOT, NAK or ACK, or a run of other
    // bytes without a long pause and without a frame of the host between.
    std::vector<UnitByte> bytes;
    for (const WireChunk& c : x.wire)
        if (c.direction == Direction::kFromUnit)
            for (uint8_t b : c.bytes) bytes.push_back({Ms(c.time, x.start), b, -1});
    std::vector<UnitAnswer> answers;
    bool in_reply = false, in_run = false;
    size_t reply_count = 0;
    auto sent_between = [&](double from, double to) {
        for (double s : sends)
            if (s > from && s <= to) return true;
        return false;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = bytes[i].value;
        if (in_reply && b != kStx) {
            answers.back().last = i;
            bytes[i].answer = static_cast<int>(answers.size()) - 1;
            if (++reply_count == kReplyBytes) in_reply = false;
            continue;
        }
        in_reply = false;
        const bool single = b == kEot || b == kNak || b == kAck;
        const bool extends = in_run && !single && b != kStx && bytes[i].ms - bytes[i - 1].ms < x.timeout_ms &&
                             !sent_between(bytes[i - 1].ms, bytes[i].ms);
        if (!extends) answers.push_back(UnitAnswer{i, i, -1});
        answers.back().last = i;
        bytes[i].answer = static_cast<int>(answers.size()) - 1;
        in_reply = b == kStx && !x.write;
        reply_count = 1;
        in_run = !single && b != kStx;
    }

    // Pair answers with attempts: in order when there is one answer to each;
    // otherwise an answer within the timeout of the latest unanswered frame
    // is its answer, and one later than that answers the oldest unanswered.
    bool in_order = answers.size() == n;
    for (size_t k = 0; in_order && k < n; ++k) in_order = bytes[answers[k].first].ms >= sends[k] - kToleranceMs;
    std::vector<int> answer_of_attempt(n, -1);
    if (in_order) {
        for (size_t k = 0; k < n; ++k) {
            answers[k].attempt = static_cast<int>(k);
            answer_of_attempt[k] = static_cast<int>(k);
        }
    } else {
        for (size_t j = 0; j < answers.size(); ++j) {
            const double at = bytes[answers[j].first].ms;
            int latest = -1, oldest = -1;
            for (size_t k = 0; k < n; ++k) {
                if (sends[k] > at + kToleranceMs || answer_of_attempt[k] >= 0) continue;
                if (oldest < 0) oldest = static_cast<int>(k);
                latest = static_cast<int>(k);
            }
            if (latest < 0) continue;
            const int k = at - sends[static_cast<size_t>(latest)] <= x.timeout_ms ? latest : oldest;
            answers[j].attempt = k;
            answer_of_attempt[static_cast<size_t>(k)] = static_cast<int>(j);
        }
    }

    // Replay the driver's reads.
    const size_t need = x.write ? 1 : kReplyBytes;
    size_t next = 0;
    for (size_t k = 0; k < n; ++k) {
        AttemptView a;
        a.sent_ms = sends[k];
        a.ended_ms = k + 1 < n ? sends[k + 1] : d.elapsed_ms;
        const bool last = k + 1 == n;
        if (answer_of_attempt[k] >= 0) {
            const UnitAnswer& ans = answers[static_cast<size_t>(answer_of_attempt[k])];
            a.answered = true;
            a.answer_first_ms = bytes[ans.first].ms - a.sent_ms;
            a.answer_last_ms = bytes[ans.last].ms - a.sent_ms;
            a.answer_bytes = ans.last - ans.first + 1;
            a.answer_max_gap_ms = a.answer_first_ms;
            for (size_t i = ans.first + 1; i <= ans.last; ++i)
                a.answer_max_gap_ms = std::max(a.answer_max_gap_ms, bytes[i].ms - bytes[i - 1].ms);
        }
        // Input that came before this send was discarded by it; the relay
        // records both directions in the order they pass, so the sends cut
        // the unit's bytes exactly.
        while (next < bytes.size() && bytes[next].ms < a.sent_ms) ++next;
        const double boundary = last ? a.ended_ms + kToleranceMs : a.ended_ms;
        double deadline = a.sent_ms + x.timeout_ms + kToleranceMs;
        const bool accepted = last && x.driver_ok;  // the driver read a whole answer here
        while (next < bytes.size() && a.taken.size() < need && bytes[next].ms < boundary &&
               (accepted || bytes[next].ms <= deadline)) {
            if (a.taken.empty()) a.first_ms = bytes[next].ms - a.sent_ms;
            a.last_ms = bytes[next].ms - a.sent_ms;
            a.taken.push_back(bytes[next].value);
            deadline = bytes[next].ms + x.timeout_ms + kToleranceMs;
            ++next;
        }
        if (a.taken.empty()) {
            a.cause = a.answered && a.answer_first_ms > x.timeout_ms ? Cause::kLate : Cause::kSilent;
        } else {
            const int owner = answers[static_cast<size_t>(bytes[next - a.taken.size()].answer)].attempt;
            if (owner >= 0 && owner < static_cast<int>(k)) {
                a.cause = Cause::kLate;  // what it read was an earlier attempt's answer
                a.answer_of = owner;
            } else {
                ClassifyTaken(x, last, &a);
            }
        }
        d.attempt.push_back(a);
    }

    if (x.interrupted && !x.driver_ok) {
        d.cause = Cause::kInterrupted;
        const double s = d.elapsed_ms / 1000.0;
        d.what = fmt::format("interrupted: {} at unit {:02d} ended {:.1f} s after it began ({} {} sent{})",
                             x.write ? "the write of " + x.identifier : "the read of " + x.identifier, x.unit, s, n,
                             Plural(static_cast<int>(n), x.write ? "select" : "poll", x.write ? "selects" : "polls"),
                             bytes.empty() ? ", nothing received" : "");
        d.hint = "the port is closed";
        return d;
    }
    if (n == 0) {
        d.cause = x.driver_ok ? Cause::kGood : Cause::kNoValidReply;
        if (!x.driver_ok) {
            d.what = fmt::format("the driver sent nothing for {} at unit {:02d}: the port failed", x.identifier,
                                 x.unit);
            d.hint = "check that the port is still there ('qdxpoll list-ports')";
        }
        return d;
    }
    // A value the driver made infinity or NaN of is no reading, whatever the
    // wire showed.
    if (x.driver_ok && !x.non_finite_value.empty() && !x.write && d.attempt.back().taken.size() == kReplyBytes)
        d.attempt.back().cause = Cause::kNotNumber;
    const AttemptView& final_attempt = d.attempt.back();
    if (x.driver_ok && final_attempt.cause == Cause::kNotNumber) {
        d.cause = Cause::kNotNumber;
        d.value_taken = false;
        d.raw.assign(final_attempt.taken.begin() + 3, final_attempt.taken.begin() + 9);
        DescribeFailure(x, &d);
        return d;
    }
    if (x.driver_ok) {
        d.cause = final_attempt.cause == Cause::kLate ? Cause::kLate : Cause::kGood;
        if (!x.write && final_attempt.taken.size() == kReplyBytes)
            d.raw.assign(final_attempt.taken.begin() + 3, final_attempt.taken.begin() + 9);
        if (d.cause == Cause::kLate) DescribeFailure(x, &d);
        return d;
    }
    d.cause = d.attempt.front().cause;
    for (const AttemptView& a : d.attempt)
        if (Rank(a.cause) < Rank(d.cause)) d.cause = a.cause;
    if (d.cause == Cause::kGood) d.cause = Cause::kNoValidReply;  // not met: the driver failed after a good frame
    if (d.cause == Cause::kNoValidReply) {
        d.what = fmt::format("the driver refused {} at unit {:02d} after a reply that passed every check",
                             Subject(x, 1), x.unit);
        d.hint = "run with --trace to see the frames";
        return d;
    }
    DescribeFailure(x, &d);
    return d;
}
