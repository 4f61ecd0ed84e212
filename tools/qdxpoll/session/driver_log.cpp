// Sink for the driver's log lines.
#include "session/driver_log.h"

#include <cctype>
#include <cstring>

#include "telvor/telvor.h"

namespace {

bool g_show = true;
long g_refused_replies = 0;
std::string g_last_line;
std::string g_driver_port, g_user_port;

void Sink(void*, int, const char* line) {
    g_last_line = line;
    if (std::strstr(line, "Read reply") != nullptr) ++g_refused_replies;
    if (g_show) ErrorLine("driver: " + WithUserPort(line));
}

}  // namespace

void InstallDriverLog(bool show) {
    g_show = show;
    TelvorSetSink(Sink, nullptr);
}

void SetDriverPortAlias(const std::string& driver_port, const std::string& user_port) {
    g_driver_port = driver_port;
    g_user_port = user_port;
}

std::string WithUserPort(const std::string& line) {
    if (g_driver_port.empty() || g_driver_port == g_user_port) return line;
    std::string out = line;
    for (size_t at = out.find(g_driver_port); at != std::string::npos;
         at = out.find(g_driver_port, at + 1)) {
        const size_t end = at + g_driver_port.size();
        // The whole name only: /dev/pts/5 is not a part of /dev/pts/51.
        if (end < out.size() && std::isalnum(static_cast<unsigned char>(out[end]))) continue;
        const std::string named = g_user_port + " (the driver's " + g_driver_port + ")";
        out.replace(at, g_driver_port.size(), named);
        at += named.size() - 1;
    }
    return out;
}

long RefusedReplyCount() { return g_refused_replies; }
std::string LastDriverLine() { return g_last_line; }
