// What the line did during one request: from the bytes seen on the wire (the
// relay records them with their times) and the driver's result, the cause of
// every failed attempt, the cause of the request, one failure line and one
// hint for the next step. Without a view of the wire (--direct, Windows) the
// diagnosis says only what the driver's result and log tell.
#ifndef QDXPOLL_DIAGNOSIS_H
#define QDXPOLL_DIAGNOSIS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnosis/causes.h"
#include "diagnosis/frame_decoder.h"

using SteadyClock = std::chrono::steady_clock;

// Bytes read at once from one side of the line, with the time they were read.
struct WireChunk {
    SteadyClock::time_point time;
    Direction direction;
    std::vector<uint8_t> bytes;
};

// One request as it happened.
struct Exchange {
    bool write = false;
    int unit = 0;
    std::string identifier;       // two characters
    std::string written_text;     // write: the value as the user gave it
    int timeout_ms = 0;           // the reply timeout in effect
    int safe_timeout_ms = 0;      // the timeout every unit's answer meets on this line
    bool driver_ok = false;       // the driver's result was 0
    // A read the driver took, but whose data it converted to no number:
    // "inf", "-inf" or "nan" as stored in the value; "" otherwise.
    std::string non_finite_value;
    bool interrupted = false;     // Ctrl-C came during the request
    SteadyClock::time_point start, end;  // around the call to the driver
    bool observed = false;        // the wire was seen (the relay ran)
    std::vector<WireChunk> wire;  // from the start, and any listening after the end
    long refused_logged = 0;      // driver log lines about refused replies
    std::string last_log;         // the latest of them
    std::string unobserved_hint;  // without a view of the wire: where to get one
};

struct AttemptView {
    double sent_ms = 0;            // since the request started
    double ended_ms = 0;           // when the next attempt (or the request) began
    Cause cause = Cause::kSilent;
    std::vector<uint8_t> taken;    // what the driver read for this attempt
    double first_ms = -1, last_ms = -1;  // of the taken bytes, after the send
    int answer_of = -1;            // taken bytes that answer an earlier attempt: its index
    uint8_t bcc_computed = 0, bcc_received = 0;
    // The unit's own answer to this attempt, wherever it fell.
    bool answered = false;
    double answer_first_ms = 0, answer_last_ms = 0;  // after this attempt's send
    double answer_max_gap_ms = 0;  // longest silence before or within it
    size_t answer_bytes = 0;
};

struct Diagnosis {
    Cause cause = Cause::kNoValidReply;
    bool value_taken = false;      // the driver stored a value / had the write acknowledged
    int attempts = 0;              // frames sent (the driver's attempts)
    std::vector<AttemptView> attempt;
    std::string raw;               // the six data characters of the reply taken
    int timeout_needed_ms = 0;     // late or cut short: a timeout that takes the answer
    double late_ms = 0;            // late: the answer's delay after its poll or select
    std::string what;              // the failure line, without "qdxpoll: "
    std::string hint;              // one next step
    double elapsed_ms = 0;         // time inside the driver
};

Diagnosis Diagnose(const Exchange& x);

// What the bytes a poll met are (good, silent, EOT, NAK, cut short, refused
// by a check, no frame), with a reply's checks run against the identifier.
Cause ClassifyAnswer(const std::vector<uint8_t>& bytes, const std::string& identifier);

// The reply timeout, in whole 10 ms steps, that takes an answer whose longest
// silence (before its first byte, or between bytes) was gap_ms.
int TimeoutThatTakes(double gap_ms);

// "<00><82>M1" style text of bytes, cut to max_bytes.
std::string ShowSome(const std::vector<uint8_t>& bytes, size_t max_bytes = 16);

#endif  // QDXPOLL_DIAGNOSIS_H
