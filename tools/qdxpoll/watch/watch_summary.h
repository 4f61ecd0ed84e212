// What the page shows beside its charts: each point's latest reading (its
// last good value and, when it fails, why) and the failures grouped by
// address and cause, so that one failure repeated all night is one line
// with its count and its first and last time.
#ifndef QDXPOLL_WATCH_SUMMARY_H
#define QDXPOLL_WATCH_SUMMARY_H

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct PointLatest {
    long long good_ms = 0;  // the last good value's time; 0: none yet
    std::string text;       // that value as the unit sent it
    long long failed_ms = 0;  // the last failure's time; 0: none
    std::string cause, what;  // its cause code and its failure line
};

nlohmann::json LatestJson(const std::vector<PointLatest>& points);

struct FailureGroup {
    std::string address, cause;
    std::string what, hint;  // the latest one's
    long count = 0;
    long long first_ms = 0, last_ms = 0;
};

// The groups, at most `kept`: past it the group whose last failure is the
// oldest goes, so that a new kind of failure always shows. What went is
// counted, and listed last as one entry of its own (cause "older"), so that
// the count of failures shown stays whole.
class FailureGroups {
public:
    explicit FailureGroups(size_t kept) : kept_(kept) {}
    void Add(long long ms, const std::string& address, const std::string& cause, const std::string& what,
             const std::string& hint);
    // `count` failures seen from first_ms to last_ms (those a database kept).
    void AddMany(const std::string& address, const std::string& cause, const std::string& what,
                 const std::string& hint, long count, long long first_ms, long long last_ms);
    // Newest last failure first, then the entry of the groups that went.
    nlohmann::json Json() const;
    size_t size() const { return groups_.size(); }
    long dropped_groups() const { return dropped_groups_; }

private:
    void Drop(std::vector<FailureGroup>::iterator g);

    size_t kept_;
    std::vector<FailureGroup> groups_;
    long dropped_groups_ = 0;
    FailureGroup dropped_;  // their failures' count and times
};

#endif  // QDXPOLL_WATCH_SUMMARY_H
