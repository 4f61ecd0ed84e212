// Helpers shared by the fuzz targets: failing loudly, and collecting the
// lines the driver logs through err.
#ifndef QDXTLMV_FUZZ_FUZZ_SUPPORT_H
#define QDXTLMV_FUZZ_FUZZ_SUPPORT_H

#include <string>
#include <vector>

// Prints what went wrong and aborts, so libFuzzer keeps the input.
[[noreturn]] void FuzzFail(const char* what);

#define FUZZ_CHECK(condition)                                        \
    do {                                                             \
        if (!(condition)) FuzzFail(__FILE__ ": check failed: " #condition); \
    } while (0)

// Installs a TELVOR sink that keeps every line (each must come at level 32)
// and clears what was kept.
void CaptureLogLines();
std::vector<std::string>& LoggedLines();

#endif  // QDXTLMV_FUZZ_FUZZ_SUPPORT_H
