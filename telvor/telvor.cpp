// Stand-in host runtime library: formats each err line and hands it to the
// installed sink, or prints it to standard error with its level.
#define TELVOR_BUILDING 1
#include "telvor/telvor.h"

#include <cstdarg>
#include <cstdio>

namespace {
TelvorSink g_sink = nullptr;
void* g_context = nullptr;
}  // namespace

extern "C" int err(int level, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (g_sink != nullptr) {
        g_sink(g_context, level, line);
    } else {
        std::fprintf(stderr, "TELVOR [%d] %s\n", level, line);
        std::fflush(stderr);
    }
    return 0;
}

extern "C" void TelvorSetSink(TelvorSink sink, void* context) {
    g_sink = sink;
    g_context = context;
}
