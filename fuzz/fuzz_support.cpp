#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>

#include "telvor/telvor.h"

namespace {

std::vector<std::string> g_lines;

void KeepLine(void*, int level, const char* line) {
    if (level != 32) FuzzFail("a log line not at level 32");
    g_lines.emplace_back(line);
}

}  // namespace

void FuzzFail(const char* what) {
    fprintf(stderr, "FUZZ FAILURE: %s\n", what);
    for (const std::string& line : g_lines) fprintf(stderr, "  logged: %s\n", line.c_str());
    abort();
}

void CaptureLogLines() {
    TelvorSetSink(KeepLine, nullptr);
    g_lines.clear();
}

std::vector<std::string>& LoggedLines() { return g_lines; }
