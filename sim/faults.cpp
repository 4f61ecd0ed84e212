#include "faults.h"

#include <cstdlib>

namespace rexfsim {

namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};

const KindName kKinds[] = {
    {FaultKind::kNone, "ok"},          {FaultKind::kSilence, "silence"},
    {FaultKind::kBadBcc, "bad-bcc"},   {FaultKind::kNoStx, "no-stx"},
    {FaultKind::kNoEtx, "no-etx"},     {FaultKind::kWrongId, "wrong-id"},
    {FaultKind::kNak, "nak"},          {FaultKind::kExtra, "extra"},
    {FaultKind::kSplit, "split"},      {FaultKind::kDelay, "delay"},
    {FaultKind::kGarbageAnswer, "garbage-answer"},
};

const int kDefaultSplitGapMs = 20;

bool ParseNumber(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return *end == '\0';
}

}  // namespace

const char* FaultName(FaultKind kind) {
    for (const auto& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

bool ParseFault(const std::string& text, Fault* fault, std::string* error) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    for (const auto& k : kKinds) {
        if (name != k.name) continue;
        Fault f;
        f.kind = k.kind;
        const bool timed = k.kind == FaultKind::kDelay || k.kind == FaultKind::kSplit;
        if (k.kind == FaultKind::kSplit) f.ms = kDefaultSplitGapMs;
        if (colon != std::string::npos) {
            double ms = 0;
            if (!timed || !ParseNumber(text.substr(colon + 1), &ms) || ms < 0 || ms > 600000) {
                *error = "bad fault '" + text + "'";
                return false;
            }
            f.ms = static_cast<int>(ms);
        } else if (k.kind == FaultKind::kDelay) {
            *error = "delay needs milliseconds: delay:MS";
            return false;
        }
        *fault = f;
        return true;
    }
    *error = "unknown fault kind '" + name + "'";
    return false;
}

bool ParseFaultList(const std::string& text, std::vector<Fault>* faults, std::string* error) {
    faults->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        Fault f;
        if (!ParseFault(text.substr(start, comma - start), &f, error)) return false;
        faults->push_back(f);
        start = comma + 1;
    }
    return true;
}

bool FaultPlan::AddRule(const std::string& text, std::string* error) {
    const size_t colon = text.rfind(':');
    double p = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(colon + 1), &p) || p < 0 || p > 1) {
        *error = "expected KIND[:MS]:PROB with PROB 0..1, got '" + text + "'";
        return false;
    }
    Fault f;
    if (!ParseFault(text.substr(0, colon), &f, error)) return false;
    double total = p;
    for (const auto& r : rules_) total += r.probability;
    if (total > 1.0 + 1e-9) {
        *error = "fault probabilities add up to more than 1";
        return false;
    }
    rules_.push_back(Rule{f, p});
    return true;
}

Fault FaultPlan::Next() {
    if (!script_.empty()) {
        Fault f = script_.front();
        script_.pop_front();
        return f;
    }
    if (rules_.empty()) return Fault{};
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
    double edge = 0;
    for (const auto& r : rules_) {
        edge += r.probability;
        if (u < edge) return r.fault;
    }
    return Fault{};
}

std::string FaultPlan::Tally() const {
    std::string out;
    for (const auto& [kind, count] : tally_) {
        if (!out.empty()) out += ' ';
        out += FaultName(kind);
        out += '=';
        out += std::to_string(count);
    }
    return out.empty() ? "none" : out;
}

}  // namespace rexfsim
