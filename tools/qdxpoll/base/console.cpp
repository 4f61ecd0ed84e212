// Standard error, one line at a time.
#include "base/console.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/times.h"

namespace {

std::mutex g_error_mutex;
std::atomic<bool> g_priorities{false};
std::FILE* g_log = nullptr;  // under g_error_mutex


bool Has(const std::string& line, const char* word) { return line.find(word) != std::string::npos; }

}  // namespace

int LinePriority(const std::string& line) {
    // What stops a part of the run, or loses samples, is an error.
    static const std::array<const char*, 7> errors = {" lost", "cannot", "could not", "failed", "internal error",
                                                      "stopped", "not recorded"};
    static const std::array<const char*, 6> warnings = {"note:", "dead since", "refused", "hint:", "kept", "gone"};
    for (const char* w : errors)
        if (Has(line, w)) return 3;
    for (const char* w : warnings)
        if (Has(line, w)) return 4;
    return 6;
}

void UseJournalPriorities(bool on) { g_priorities = on; }

void WriteLinesTo(std::FILE* log) {
    std::lock_guard<std::mutex> lock(g_error_mutex);
    g_log = log;
}

void ErrorLine(const std::string& line) { ErrorLine(line, LinePriority(line)); }

void ErrorLine(const std::string& line, int priority) {
    std::lock_guard<std::mutex> lock(g_error_mutex);
    std::FILE* stream = g_log != nullptr ? g_log : stderr;
    if (g_priorities) std::fprintf(stream, "<%d>", priority);
    // A log's line begins with the local time, to the second.
    if (g_log != nullptr) std::fputs((LocalTime(WallClock::now()).substr(0, 19) + " ").c_str(), stream);
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
