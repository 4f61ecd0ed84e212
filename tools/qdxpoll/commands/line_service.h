// What run keeps beside its poll loop: the service's sink (keep-alives from
// the loop itself, the status now and then, a reload asked), the file's
// options taken again on a reload, and the words of its status and summary.
#ifndef QDXPOLL_LINE_SERVICE_H
#define QDXPOLL_LINE_SERVICE_H

#include <chrono>
#include <string>

#include "platform/service_manager.h"
#include "polling/cycle_sink.h"
#include "session/session.h"

class ServiceSink : public CycleSink {
public:
    ServiceSink(Session& session, ServiceNotifier& notifier) : session_(session), notifier_(notifier) {}

    void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) override;
    // From the poll loop's thread, also between cycles: keeps the watchdog
    // fed and notices SIGHUP. True once a reload is asked.
    bool Ends() override;
    // Whether a reload was asked, and forgets it.
    bool TakeReload();

    ServiceNotifier& notifier() { return notifier_; }
    long cycles() const { return cycles_; }

private:
    Session& session_;
    ServiceNotifier& notifier_;
    long cycles_ = 0;
    bool reload_ = false;
    bool lost_said_ = false;
    std::chrono::steady_clock::time_point last_status_ = std::chrono::steady_clock::now();
};

struct RunTotals {
    std::vector<PointStats> stats;  // since the last start or reload
    double last_seconds = 0;        // of the same
    bool interrupted = false;
    double seconds = 0;
    int reloads = 0;
    std::string summary;  // the outputs' of the last setup
};

// run writes only to the points the file lists as writable: the list is
// the permission.
void PrepareRun(Options* options);
// Takes a reloaded file's options; the port and its line stay as they are
// (said when the file names others) until a restart.
void TakeReloadedOptions(Options* running, Options fresh);

// "line1 on /dev/ttyUSB0, 4 points every 1 s: history line1.db, ..."
std::string RunStatus(const Session& session, size_t points, const std::string& outputs);
// The one line at the end.
std::string RunSummary(const Session& session, long cycles, const RunTotals& totals);

#endif  // QDXPOLL_LINE_SERVICE_H
