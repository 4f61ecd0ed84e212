// The order in which a unit takes its settings when several are written in
// a row (a restore, a clone): what must be in place before what, and why.
// Part of the unit model; the reasons cite RKC's manuals where they say so
// and are marked assumed where they are the usual RKC behaviour only.
#ifndef REXF_WRITE_ORDER_H
#define REXF_WRITE_ORDER_H

#include <cstddef>
#include <string>
#include <vector>

namespace rexf {

// Every identifier of `first` (blank-separated) is written before every
// identifier of `then`.
struct WriteOrderRule {
    const char* first;
    const char* then;
    const char* reason;
    bool assumed;  // the usual RKC behaviour, not confirmed for REX-F
    bool resets;   // writing `first` may reset `then`: they are written again after it
};
const WriteOrderRule* WriteOrderRules(size_t* count);

// The identifiers a unit may reset when `ident` is written (those of a rule
// that resets), so that a series of writes that writes `ident` writes them
// again, even those that held the wanted value before.
std::vector<std::string> ResetBy(const std::string& ident);

// A low and a high limit that a unit keeps in order (low <= high), and the
// values it keeps within them: a series of writes widens the range first,
// then moves those values, and narrows it last, so that no value a unit
// holds ever lies outside the limits in force.
struct LimitPair {
    const char* low;
    const char* high;
    const char* reason;
    bool assumed;
    const char* within;         // blank-separated identifiers held within low..high; "" for none
    const char* within_reason;  // why they are
};
const LimitPair* LimitPairs(size_t* count);

// Identifiers that operate the unit rather than set it up (memory area in
// use, RUN/STOP, auto/manual, autotuning): why a restore leaves them unless
// asked, or nullptr for a setting.
const char* OperationReason(const std::string& ident);

// One write of a series: the identifier, the value the unit holds now (when
// known) and the value to write.
struct SettingWrite {
    std::string ident;
    bool now_known = false;
    double now = 0;
    double to = 0;
    std::string why;  // filled by OrderWrites: what it waits for, and the reason
};

// Puts the writes into an order the unit takes: the memory area first, then
// the settings by the rules and limit pairs above (otherwise in table
// order), the operating identifiers last. A limit whose present value is
// unknown counts as narrowing (written after the values within it). Sets
// each write's `why`.
void OrderWrites(std::vector<SettingWrite>* writes);

}  // namespace rexf

#endif
