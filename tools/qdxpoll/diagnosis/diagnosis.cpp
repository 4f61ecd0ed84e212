// Naming what the line did, from the bytes and their times.
//
// The driver sends a frame, discards nothing more until its next send, and
// reads until it has the whole answer (11 bytes for a poll, 1 for a select)
// or the line has been silent for one reply timeout. The diagnosis replays
// that on the recorded bytes to know what the driver read for each attempt,
// and separately cuts the unit's bytes into answers and pairs each with the
// frame it answers, so that an answer arriving after its timeout (and perhaps
// read by the next attempt) is seen for what it is.
#include "diagnosis/diagnosis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <fmt/format.h>

#include "rexf/wire.h"

namespace {

using rexf::kAck;
using rexf::kEot;
using rexf::kEtx;
using rexf::kNak;
using rexf::kReplyBytes;
using rexf::kStx;
// Times are taken where the relay reads the bytes, a little apart from where
// the driver meets them.
constexpr double kToleranceMs = 2.0;

double Ms(SteadyClock::time_point t, SteadyClock::time_point since) {
    return std::chrono::duration<double, std::milli>(t - since).count();
}

struct UnitByte {
    double ms;
    uint8_t value;
    int answer;  // index into the answers
};

struct UnitAnswer {
    size_t first = 0, last = 0;  // byte indexes
    int attempt = -1;            // the attempt it answers
};

// The frames the host sent, each with the time of its first byte.
std::vector<std::pair<double, rexf::HostFrameCutter::Frame>> HostFrames(const Exchange& x) {
    rexf::HostFrameCutter cutter;
    std::vector<rexf::HostFrameCutter::Frame> frames;
    std::vector<double> chunk_ms;      // the time of each chunk sent
    std::vector<size_t> chunk_offset;  // where it begins among the bytes sent
    size_t sent = 0;
    for (const WireChunk& chunk : x.wire) {
        if (chunk.direction != Direction::kToUnit) continue;
        chunk_ms.push_back(Ms(chunk.time, x.start));
        chunk_offset.push_back(sent);
        cutter.Feed(chunk.bytes.data(), chunk.bytes.size(), &frames);
        sent += chunk.bytes.size();
    }
    rexf::HostFrameCutter::Frame rest;
    if (cutter.Flush(&rest)) frames.push_back(std::move(rest));
    std::vector<std::pair<double, rexf::HostFrameCutter::Frame>> timed;
    for (auto& f : frames) {
        const size_t k = static_cast<size_t>(
            std::upper_bound(chunk_offset.begin(), chunk_offset.end(), f.offset) - chunk_offset.begin());
        timed.emplace_back(chunk_ms[k - 1], std::move(f));
    }
    return timed;
}

bool IsAttemptFrame(const std::string& f, bool write) {
    return write ? f.size() == rexf::kSelectBytes : f.size() == rexf::kPollBytes;
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
    const uint8_t bcc = rexf::BlockCheck(t, 1, 9);
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

}  // namespace

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

namespace {

// No wire seen (--direct): what the driver's result alone tells.
Diagnosis DiagnoseUnobserved(const Exchange& x, Diagnosis d) {
    if (x.interrupted && !x.driver_ok) {
        d.cause = Cause::kInterrupted;
        d.what = fmt::format("interrupted: the {} of {} at unit {:02d} ended {:.1f} s after it began",
                             x.write ? "write" : "read", x.identifier, x.unit, d.elapsed_ms / 1000.0);
        d.hint = InfoOf(Cause::kInterrupted).hint;
    } else if (x.driver_ok) {
        d.cause = Cause::kGood;
        d.attempts = 1 + static_cast<int>(x.refused_logged);
        if (!x.non_finite_value.empty()) {
            d.cause = Cause::kNotNumber;
            d.value_taken = false;
            d.what = fmt::format("unit {:02d} replied to {} with data that is not a number: the driver made {} "
                                 "of it",
                                 x.unit, x.identifier, x.non_finite_value);
            d.hint = InfoOf(Cause::kNotNumber).hint;
        }
    } else {
        DescribeUnobserved(x, &d);
    }
    return d;
}

// The attempts: every polling (or selecting) frame the driver sent, by the
// time it went.
std::vector<double> AttemptSends(const Exchange& x, double elapsed_ms) {
    std::vector<double> sends;
    for (const auto& [ms, frame] : HostFrames(x))
        if (frame.kind == (x.write ? rexf::HostFrameCutter::kSelect : rexf::HostFrameCutter::kPoll) &&
            IsAttemptFrame(frame.bytes, x.write) && ms <= elapsed_ms + kToleranceMs)
            sends.push_back(ms);
    return sends;
}

// The unit's bytes, cut into answers: a data reply from STX for 11 bytes
// (however long its pauses), a lone EOT, NAK or ACK, or a run of other
// bytes without a long pause and without a frame of the host between.
std::vector<UnitAnswer> CutAnswers(const Exchange& x, const std::vector<double>& sends,
                                   std::vector<UnitByte>* unit_bytes) {
    std::vector<UnitByte>& bytes = *unit_bytes;
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
    return answers;
}

// Pairs answers with attempts: in order when there is one answer to each;
// otherwise an answer within the timeout of the latest unanswered frame is
// its answer, and one later than that answers the oldest unanswered.
// Returns each attempt's answer (-1: none).
std::vector<int> PairAnswers(const Exchange& x, const std::vector<double>& sends, const std::vector<UnitByte>& bytes,
                             std::vector<UnitAnswer>* answers) {
    const size_t n = sends.size();
    bool in_order = answers->size() == n;
    for (size_t k = 0; in_order && k < n; ++k) in_order = bytes[(*answers)[k].first].ms >= sends[k] - kToleranceMs;
    std::vector<int> answer_of_attempt(n, -1);
    if (in_order) {
        for (size_t k = 0; k < n; ++k) {
            (*answers)[k].attempt = static_cast<int>(k);
            answer_of_attempt[k] = static_cast<int>(k);
        }
        return answer_of_attempt;
    }
    for (size_t j = 0; j < answers->size(); ++j) {
        const double at = bytes[(*answers)[j].first].ms;
        int latest = -1, oldest = -1;
        for (size_t k = 0; k < n; ++k) {
            if (sends[k] > at + kToleranceMs || answer_of_attempt[k] >= 0) continue;
            if (oldest < 0) oldest = static_cast<int>(k);
            latest = static_cast<int>(k);
        }
        if (latest < 0) continue;
        const int k = at - sends[static_cast<size_t>(latest)] <= x.timeout_ms ? latest : oldest;
        (*answers)[j].attempt = k;
        answer_of_attempt[static_cast<size_t>(k)] = static_cast<int>(j);
    }
    return answer_of_attempt;
}

// The unit's answer to one attempt as the wire showed it: when it began and
// ended, and its longest pause.
void DescribeAnswer(const UnitAnswer& ans, const std::vector<UnitByte>& bytes, AttemptView* a) {
    a->answered = true;
    a->answer_first_ms = bytes[ans.first].ms - a->sent_ms;
    a->answer_last_ms = bytes[ans.last].ms - a->sent_ms;
    a->answer_bytes = ans.last - ans.first + 1;
    a->answer_max_gap_ms = a->answer_first_ms;
    for (size_t i = ans.first + 1; i <= ans.last; ++i)
        a->answer_max_gap_ms = std::max(a->answer_max_gap_ms, bytes[i].ms - bytes[i - 1].ms);
}

// Replays the driver's reads: what each attempt took from the wire, and its
// cause.
std::vector<AttemptView> ReplayReads(const Exchange& x, double elapsed_ms, const std::vector<double>& sends,
                                     const std::vector<UnitByte>& bytes, const std::vector<UnitAnswer>& answers,
                                     const std::vector<int>& answer_of_attempt) {
    const size_t n = sends.size();
    const size_t need = x.write ? 1 : kReplyBytes;
    std::vector<AttemptView> attempts;
    size_t next = 0;
    for (size_t k = 0; k < n; ++k) {
        AttemptView a;
        a.sent_ms = sends[k];
        a.ended_ms = k + 1 < n ? sends[k + 1] : elapsed_ms;
        const bool last = k + 1 == n;
        if (answer_of_attempt[k] >= 0) DescribeAnswer(answers[static_cast<size_t>(answer_of_attempt[k])], bytes, &a);
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
        attempts.push_back(a);
    }
    return attempts;
}

// The request's cause from its attempts and the driver's result.
void Conclude(const Exchange& x, Diagnosis* d) {
    if (x.interrupted && !x.driver_ok) {
        d->cause = Cause::kInterrupted;
        DescribeFailure(x, d);
        return;
    }
    if (d->attempt.empty()) {
        d->cause = x.driver_ok ? Cause::kGood : Cause::kNoValidReply;
        if (!x.driver_ok) DescribeFailure(x, d);
        return;
    }
    // A value the driver made infinity or NaN of is no reading, whatever the
    // wire showed.
    if (x.driver_ok && !x.non_finite_value.empty() && !x.write && d->attempt.back().taken.size() == kReplyBytes)
        d->attempt.back().cause = Cause::kNotNumber;
    const AttemptView& final_attempt = d->attempt.back();
    if (x.driver_ok && final_attempt.cause == Cause::kNotNumber) {
        d->cause = Cause::kNotNumber;
        d->value_taken = false;
        d->raw.assign(final_attempt.taken.begin() + 3, final_attempt.taken.begin() + 9);
        DescribeFailure(x, d);
        return;
    }
    if (x.driver_ok) {
        d->cause = final_attempt.cause == Cause::kLate ? Cause::kLate : Cause::kGood;
        if (!x.write && final_attempt.taken.size() == kReplyBytes)
            d->raw.assign(final_attempt.taken.begin() + 3, final_attempt.taken.begin() + 9);
        if (d->cause == Cause::kLate) DescribeFailure(x, d);
        return;
    }
    d->cause = d->attempt.front().cause;
    for (const AttemptView& a : d->attempt)
        if (InfoOf(a.cause).rank < InfoOf(d->cause).rank) d->cause = a.cause;
    if (d->cause == Cause::kGood) d->cause = Cause::kNoValidReply;  // the driver failed after a good frame
    DescribeFailure(x, d);
}

}  // namespace

Diagnosis Diagnose(const Exchange& x) {
    Diagnosis d;
    d.elapsed_ms = Ms(x.end, x.start);
    d.value_taken = x.driver_ok;
    if (!x.observed) return DiagnoseUnobserved(x, d);
    const std::vector<double> sends = AttemptSends(x, d.elapsed_ms);
    d.attempts = static_cast<int>(sends.size());
    std::vector<UnitByte> bytes;
    std::vector<UnitAnswer> answers = CutAnswers(x, sends, &bytes);
    const std::vector<int> answer_of_attempt = PairAnswers(x, sends, bytes, &answers);
    d.attempt = ReplayReads(x, d.elapsed_ms, sends, bytes, answers, answer_of_attempt);
    Conclude(x, &d);
    return d;
}
