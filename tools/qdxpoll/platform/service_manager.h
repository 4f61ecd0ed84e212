// What a service manager hears from a line run as a service, and what it
// asks of it: on Linux systemd's notification socket (NOTIFY_SOCKET: READY,
// STATUS, WATCHDOG, RELOADING, STOPPING) and SIGHUP for a reload; elsewhere,
// or with no manager listening, each call does nothing.
#ifndef QDXPOLL_SERVICE_MANAGER_H
#define QDXPOLL_SERVICE_MANAGER_H

#include <chrono>
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

// SIGHUP asks for the line's file to be read again (POSIX; none elsewhere).
void InstallReloadSignal();
// Whether a reload was asked since the last call.
bool TakeReloadRequest();

#endif  // QDXPOLL_SERVICE_MANAGER_H
