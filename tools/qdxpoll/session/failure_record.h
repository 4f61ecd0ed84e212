// The session's record of the first failure, which decides the exit code,
// kept as it was over a request whose failure is not the run's: a write
// that the page, MQTT or a restore answers for itself, or a read whose
// failure turns out to be the port's loss.
#ifndef QDXPOLL_FAILURE_RECORD_H
#define QDXPOLL_FAILURE_RECORD_H

#include <string>

#include "session/session.h"

// Puts the record back as it was when the scope ends, unless Keep() says
// that the failures since count.
class FailureRecordScope {
public:
    explicit FailureRecordScope(Session& session)
        : session_(session),
          exit_code_(session.exit_code),
          first_failure_(session.first_failure),
          first_hint_(session.first_hint) {}
    ~FailureRecordScope() {
        if (kept_) return;
        session_.exit_code = exit_code_;
        session_.first_failure = first_failure_;
        session_.first_hint = first_hint_;
    }
    FailureRecordScope(const FailureRecordScope&) = delete;
    FailureRecordScope& operator=(const FailureRecordScope&) = delete;

    void Keep() { kept_ = true; }

private:
    Session& session_;
    const int exit_code_;
    const std::string first_failure_, first_hint_;
    bool kept_ = false;
};

#endif  // QDXPOLL_FAILURE_RECORD_H
