// systemd's notification protocol, written small: one datagram a message on
// the AF_UNIX socket that NOTIFY_SOCKET names ('@' first: an abstract name).
#include "platform/service_manager.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t g_reload = 0;

void OnHangUp(int) { g_reload = 1; }

}  // namespace

ServiceNotifier::ServiceNotifier() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    // The path must fit sun_path and be a path or an abstract name.
    if (path != nullptr && (path[0] == '/' || path[0] == '@') && std::strlen(path) < sizeof(sockaddr_un::sun_path)) {
        address_ = path;
        if (address_[0] == '@') address_[0] = '\0';
        socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    // A watchdog meant for another process (a parent's) is not ours.
    const bool ours = pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid());
    if (usec != nullptr && ours) {
        char* end = nullptr;
        const long long us = std::strtoll(usec, &end, 10);
        if (end != usec && *end == '\0' && us > 0) watchdog_ = std::chrono::microseconds(us);
    }
}

ServiceNotifier::~ServiceNotifier() {
    if (socket_ >= 0) close(socket_);
}

void ServiceNotifier::Send(const std::string& message) {
    if (socket_ < 0) return;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_.data(), address_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    // A manager that is gone or full costs the line nothing: never waits.
    sendto(socket_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
           length);
}

namespace {

// A status is one line of the message.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

void ServiceNotifier::Ready(const std::string& status) { Send("READY=1\nSTATUS=" + OneLine(status)); }
void ServiceNotifier::Status(const std::string& status) { Send("STATUS=" + OneLine(status)); }
void ServiceNotifier::Reloading(const std::string& status) { Send("RELOADING=1\nSTATUS=" + OneLine(status)); }
void ServiceNotifier::Stopping(const std::string& status) { Send("STOPPING=1\nSTATUS=" + OneLine(status)); }

void ServiceNotifier::Alive() {
    if (!watchdog()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_alive_ < watchdog_ / 4) return;
    last_alive_ = now;
    Send("WATCHDOG=1");
}

void InstallReloadSignal() {
    struct sigaction action {};
    action.sa_handler = OnHangUp;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

bool TakeReloadRequest() {
    if (g_reload == 0) return false;
    g_reload = 0;
    return true;
}

int RunUnderServiceManager(const std::string&, const std::string&, const std::string&, const std::function<int()>&) {
    std::fputs("qdxpoll: --service and --service-log are for the Windows service control manager; under systemd "
               "'run --config FILE' runs as it is\n",
               stderr);
    return 64;
}

std::string RunControls(const std::string& config_file) {
    return "Ctrl-C ends; SIGHUP reads " + config_file + " again";
}
