// Builds without the web server (Windows): watch says where it runs.
#include "watch_server.h"

struct WatchServer::State {};

WatchServer::WatchServer() = default;
WatchServer::~WatchServer() = default;

const char* WatchServer::Unavailable() {
    return "watch serves its page with cpp-httplib, which this build of qdxpoll is made without: watch runs "
           "on Linux; here 'qdxpoll poll' reads the same points with the same statistics";
}

bool WatchServer::Start(const WatchSetup&, std::string*, std::string* error) {
    *error = Unavailable();
    return false;
}

bool WatchServer::CheckPage(std::string* result) {
    *result = Unavailable();
    return false;
}

void WatchServer::Publish(const std::vector<Reading>&, const std::vector<PointStats>&) {}

void WatchServer::WaitRunningWrites(std::chrono::steady_clock::time_point, const PageWriteRunner&) {}

void WatchServer::Stop() {}
