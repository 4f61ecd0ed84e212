// Every one-decimal value from -999.9 to 9999.9 and every two-decimal value
// from -99.99 to 999.99, held as the single-precision number nearest to it,
// must go out as that value's own text (the value the host means, not its
// binary expansion cut one step low). Header-only, so that the GoogleTest
// suite and the Windows check program under Wine run the same sweep.
#ifndef QDXTLMV_TESTS_VALUE_TEXT_SWEEP_H
#define QDXTLMV_TESTS_VALUE_TEXT_SWEEP_H

#include <cstdlib>
#include <string>

#include "protocol/value_text.h"

struct ValueTextSweep {
    long checked = 0;
    long wrong = 0;
    std::string first_wrong;  // "value -> text, want text"
};

// The text of n / 10^places: its digits with the point placed, zeros after.
inline std::string DecimalValueText(long n, int places) {
    long scale = 1;
    for (int i = 0; i < places; ++i) scale *= 10;
    const long a = n < 0 ? -n : n;
    std::string fraction = std::to_string(a % scale);
    fraction.insert(0, static_cast<size_t>(places) - fraction.size(), '0');
    std::string text = (n < 0 ? "-" : "") + (a / scale != 0 ? std::to_string(a / scale) : "") + "." + fraction;
    text.append(kValueTextLength - text.size(), '0');
    return text;
}

inline ValueTextSweep SweepValueTexts() {
    ValueTextSweep sweep;
    const struct {
        int places;
        long first, last;
    } ranges[] = {{1, -9999, 99999}, {2, -9999, 99999}};
    for (const auto& range : ranges) {
        for (long n = range.first; n <= range.last; ++n) {
            const std::string want = DecimalValueText(n, range.places);
            const float v = std::strtof(want.c_str(), nullptr);  // the nearest float
            char text[kValueTextLength];
            const bool formatted = FormatWorkingValue(v, text);
            ++sweep.checked;
            if (formatted && std::string(text, kValueTextLength) == want) continue;
            if (sweep.wrong++ == 0)
                sweep.first_wrong = want + " -> " + (formatted ? std::string(text, kValueTextLength) : "refused");
        }
    }
    return sweep;
}

#endif
