// Standard error, one line at a time.
#include "base/console.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_error_mutex;

}  // namespace

void ErrorLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_error_mutex);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
