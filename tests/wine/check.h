// Checks for the Windows test programs, which run under Wine without a test
// framework: each failed check prints one line, and the program ends with
// "N passed, N failed" (CheckSummary) and a non-zero status after a failure.
#ifndef QDXTLMV_TESTS_WINE_CHECK_H
#define QDXTLMV_TESTS_WINE_CHECK_H

#include <cstdio>

namespace wine_check {

inline int g_passed = 0;
inline int g_failed = 0;
inline const char* g_case = "";

inline bool Check(bool ok, const char* what, int line) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED [%s] line %d: %s\n", g_case, line, what);
    }
    return ok;
}

inline bool CheckEq(long long got, long long want, const char* what, int line) {
    if (got == want) {
        ++g_passed;
        return true;
    }
    ++g_failed;
    std::printf("FAILED [%s] line %d: %s is %lld, expected %lld\n", g_case, line, what, got, want);
    return false;
}

// Prints the summary line; the program's exit status.
inline int CheckSummary() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}

}  // namespace wine_check

#define CHECK(cond) ::wine_check::Check((cond), #cond, __LINE__)
#define CHECK_EQ(got, want) \
    ::wine_check::CheckEq(static_cast<long long>(got), static_cast<long long>(want), #got, __LINE__)

#endif  // QDXTLMV_TESTS_WINE_CHECK_H
