// The causes qdxpoll names for what the line did, in one table: each one's
// code for scripts, the statistics' column it counts in, its words in a
// list of attempts and in a scan, how telling it is, its hint and the
// function that words its failure line.
#ifndef QDXPOLL_CAUSES_H
#define QDXPOLL_CAUSES_H

enum class Cause {
    kGood,           // a valid data reply, or ACK to a write
    kSilent,         // nothing at all
    kEot,            // a lone EOT: the unit lacks the identifier (or its option)
    kNak,            // NAK
    kCutShort,       // a data reply cut short: the reply timeout is too short for the unit
    kLate,           // an answer that came after its reply timeout
    kNoFrame,        // bytes that are no frame: line settings
    kBadStx,         // refused by the checks: no STX, wrong identifier, no ETX, BCC
    kBadIdentifier,
    kBadEtx,
    kBadBcc,
    kNotNumber,      // a good frame whose data is not a number
    kOtherAnswer,    // a write answered by a byte that is neither ACK nor NAK
    kInterrupted,    // Ctrl-C ended the request
    kNoValidReply,   // the driver failed, and the wire does not say why (or was not seen)
};

// The statistics' column a request's cause counts in.
// kMissing: a sample not taken, as the port was lost; kSkipped: a dead point
// left out of a cycle. Neither made a request.
enum class SummaryClass { kGood, kNoAnswer, kEot, kNak, kRefused, kLate, kInterrupted, kMissing, kSkipped };

struct Exchange;
struct Diagnosis;

struct CauseInfo {
    Cause cause;
    const char* code;          // JSON, CSV and the page: "ok", "silent", "eot", ...
    SummaryClass summary_class;
    const char* attempt_word;  // one attempt in a failure's list of attempts
    const char* scan_words;    // a scan's words for an address that answers so ({} the ms late); "" for the code
    int rank;                  // a failed request is named by its attempts' most telling cause: lowest rank
    const char* hint;          // the next step, where it is always the same; else `describe` gives it
    void (*describe)(const Exchange& x, Diagnosis* d);  // the failure line (and a hint); null for none
};

const CauseInfo& InfoOf(Cause cause);
inline const char* CauseCode(Cause cause) { return InfoOf(cause).code; }

// The failure line and hint of a failed request, from its cause's row, with
// the list of attempts when they differ.
void DescribeFailure(const Exchange& x, Diagnosis* d);
// Without a view of the wire: the cause the driver's result and log lines
// allow, and what they tell.
void DescribeUnobserved(const Exchange& x, Diagnosis* d);

#endif  // QDXPOLL_CAUSES_H
