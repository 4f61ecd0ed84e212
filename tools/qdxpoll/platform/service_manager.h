// What a service manager hears from a line run as a service, and what it
// asks of it: on Linux systemd's notification socket (NOTIFY_SOCKET: READY,
// STATUS, WATCHDOG, RELOADING, STOPPING) and SIGHUP for a reload; on Windows
// the service control manager (running once ready, stop pending when
// stopping; its stop ends the run as Ctrl-C does, its parameter change is a
// reload). With no manager listening each call does nothing.
#ifndef QDXPOLL_SERVICE_MANAGER_H
#define QDXPOLL_SERVICE_MANAGER_H

#include <chrono>
#include <functional>
#include <string>

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC as the manager set them.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    void Ready(const std::string& status);
    void Status(const std::string& status);
    void Reloading(const std::string& status);
    void Stopping(const std::string& status);
    // From the poll loop's own thread: a keep-alive at most every quarter of
    // the watchdog's time, so that a loop that hangs stops them.
    void Alive();

    bool watchdog() const { return watchdog_ > std::chrono::microseconds(0); }

private:
    void Send(const std::string& message);

    int socket_ = -1;
    std::string address_;  // the socket's path; '\0' first for an abstract name
    std::chrono::microseconds watchdog_{0};
    std::chrono::steady_clock::time_point last_alive_{};
};

// A process the service control manager started, with the service's name
// and log file from its command line (the one 'service install' registered):
// on Windows, runs body under the manager in the folder given, with its
// messages going to the log file, and returns body's exit code. A process
// the manager did not start, or one without the name or the log, gets a
// message and 64; so does any on POSIX, where systemd starts run as it is.
int RunUnderServiceManager(const std::string& name, const std::string& log_file, const std::string& folder,
                           const std::function<int()>& body);

// SIGHUP asks for the line's file to be read again (POSIX; on Windows the
// service control manager's parameter change does).
void InstallReloadSignal();
// Whether a reload was asked since the last call.
bool TakeReloadRequest();
// How this run is ended and its file read again, for its first line.
std::string RunControls(const std::string& config_file);

#endif  // QDXPOLL_SERVICE_MANAGER_H
