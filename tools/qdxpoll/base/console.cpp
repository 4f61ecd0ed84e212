// Standard error, one line at a time.
#include "base/console.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_error_mutex;
std::atomic<bool> g_priorities{false};

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

void ErrorLine(const std::string& line) { ErrorLine(line, LinePriority(line)); }

void ErrorLine(const std::string& line, int priority) {
    std::lock_guard<std::mutex> lock(g_error_mutex);
    if (g_priorities) std::fprintf(stderr, "<%d>", priority);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
