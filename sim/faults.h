// Fault injection: which transaction gets which fault, by a scripted
// sequence or by probability, and a tally of what was injected.
#ifndef REXFSIM_FAULTS_H
#define REXFSIM_FAULTS_H

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace rexfsim {

enum class FaultKind {
    kNone,           // "ok": answer normally
    kSilence,        // no answer
    kBadBcc,         // poll: one data character corrupted, BCC of the original;
                     // select: taken as a frame damaged on the line: NAK, not stored
    kNoStx,          // poll: first byte '?' instead of STX; select: as garbage-answer
    kNoEtx,          // poll: '?' instead of ETX (BCC over what is sent); select: as garbage-answer
    kWrongId,        // poll: another identifier (BCC over what is sent); select: as garbage-answer
    kNak,            // NAK instead of the reply / of ACK (select: not stored)
    kExtra,          // the answer followed by extra bytes
    kSplit,          // the answer in three pieces with gaps of `ms`
    kDelay,          // the answer `ms` late
    kGarbageAnswer,  // poll: 11 bytes of garbage; select: '?' instead of ACK (stored)
};

struct Fault {
    FaultKind kind = FaultKind::kNone;
    int ms = 0;  // delay:MS and split:MS
};

const char* FaultName(FaultKind kind);

// "ok", "silence", "delay:300", "split", "split:40", ... Returns false with a
// reason for an unknown kind or a bad number.
bool ParseFault(const std::string& text, Fault* fault, std::string* error);

// Comma-separated faults, e.g. "silence,bad-bcc,ok".
bool ParseFaultList(const std::string& text, std::vector<Fault>* faults, std::string* error);

class FaultPlan {
public:
    explicit FaultPlan(uint32_t seed = 1) : rng_(seed) {}

    void Seed(uint32_t seed) { rng_.seed(seed); }

    // "KIND[:MS]:PROB", for example "silence:0.1" or "delay:300:0.05".
    bool AddRule(const std::string& text, std::string* error);
    void ClearRules() { rules_.clear(); }

    // Faults for the next transactions, one each, before any probability.
    void SetScript(const std::vector<Fault>& faults) { script_.assign(faults.begin(), faults.end()); }
    size_t ScriptLeft() const { return script_.size(); }

    // The fault for the next transaction (kind kNone for none).
    Fault Next();

    // Counts a fault that was applied.
    void Count(FaultKind kind) {
        if (kind != FaultKind::kNone) ++tally_[kind];
    }
    // "silence=2 bad-bcc=1" or "none".
    std::string Tally() const;

private:
    struct Rule {
        Fault fault;
        double probability;
    };
    std::vector<Rule> rules_;
    std::deque<Fault> script_;
    std::map<FaultKind, unsigned long> tally_;
    std::mt19937 rng_;
};

}  // namespace rexfsim

#endif
