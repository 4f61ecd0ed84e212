// Sink for the driver's log lines.
#include "driver_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "telvor/telvor.h"

namespace {

std::mutex g_error_mutex;
bool g_show = true;
long g_refused_replies = 0;
std::string g_last_line;

void Sink(void*, int, const char* line) {
    g_last_line = line;
    if (std::strstr(line, "Read reply") != nullptr) ++g_refused_replies;
    if (g_show) ErrorLine(std::string("driver: ") + line);
}

}  // namespace

void InstallDriverLog(bool show) {
    g_show = show;
    TelvorSetSink(Sink, nullptr);
}

long RefusedReplyCount() { return g_refused_replies; }
std::string LastDriverLine() { return g_last_line; }

void ErrorLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_error_mutex);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
