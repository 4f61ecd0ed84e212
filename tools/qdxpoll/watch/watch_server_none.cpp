// Builds without the web server (a build without cpp-httplib for its target,
// or a Windows build without its source): watch says why it is missing.
#include "watch/watch_server.h"

struct WatchServer::State {};

WatchServer::WatchServer() = default;
WatchServer::~WatchServer() = default;

const char* WatchServer::Unavailable() {
#ifdef _WIN32
    return "watch runs on Linux: its page's server keeps its limits with Linux sockets, not yet with Windows' "
           "Winsock; here 'qdxpoll poll' reads the same points with the same statistics, and 'qdxpoll log' keeps "
           "them for 'qdxpoll export' (or for watch --db on Linux, which reads the same file)";
#else
    return "this qdxpoll is built without watch: its page is served with cpp-httplib, which the build found "
           "no library of for its target (Debian: libcpp-httplib-dev); 'qdxpoll poll' reads the same points";
#endif
}

bool WatchServer::Start(const WatchSetup&, std::string*, std::string* error) {
    *error = Unavailable();
    return false;
}

bool WatchServer::CheckPage(std::string* result) {
    *result = Unavailable();
    return false;
}

void WatchServer::Publish(const std::vector<Reading>&, const std::vector<PointStats>&, const LineStats*) {}

void WatchServer::WaitRunningWrites(std::chrono::steady_clock::time_point, const PageWriteRunner&, bool*) {}

void WatchServer::Stop() {}
