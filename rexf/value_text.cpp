#include "rexf/value_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rexf/unit_model.h"

namespace rexf {

namespace {

// Digit k after the point (k >= 1) of a >= 0, cut off, never rounded. A
// single-precision number times 10^k (k <= 5) is exact in double precision.
char Decimal(double a, int k) {
    double scaled = a * std::pow(10.0, k);
    long long whole = static_cast<long long>(scaled);
    return static_cast<char>('0' + whole % 10);
}

// Digit of the integer part of a >= 0 at place p (0 units, 1 tens, ...).
char IntegerDigit(double a, int p) {
    long long whole = static_cast<long long>(a);
    for (int i = 0; i < p; ++i) whole /= 10;
    return static_cast<char>('0' + whole % 10);
}

}  // namespace

std::string FormatValueText(double value) {
    float v = static_cast<float>(value);
    if (std::isnan(v)) return ".00000";
    if (v >= 10000.0f) v = 9999.9f;
    if (v <= -1000.0f) v = -999.9f;
    const double d = v;
    std::string t;
    if (v >= 1000.0f) {
        t = {IntegerDigit(d, 3), IntegerDigit(d, 2), IntegerDigit(d, 1), IntegerDigit(d, 0), '.',
             Decimal(d, 1)};
    } else if (v >= 100.0f) {
        t = {IntegerDigit(d, 2), IntegerDigit(d, 1), IntegerDigit(d, 0), '.', Decimal(d, 1),
             Decimal(d, 2)};
    } else if (v >= 10.0f) {
        t = {IntegerDigit(d, 1), IntegerDigit(d, 0), '.', Decimal(d, 1), Decimal(d, 2),
             Decimal(d, 3)};
    } else if (v >= 1.0f) {
        t = {IntegerDigit(d, 0), '.', Decimal(d, 1), Decimal(d, 2), Decimal(d, 3), Decimal(d, 4)};
    } else if (d >= -0.000001) {
        // Tiny negatives down to -0.000001 read as zero.
        const double a = d < 0 ? 0.0 : d;
        t = {'.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3), Decimal(a, 4), Decimal(a, 5)};
    } else {
        const double a = std::fabs(d);
        if (v > -1.0f) {
            t = {'-', '.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3), Decimal(a, 4)};
        } else if (v > -10.0f) {
            t = {'-', IntegerDigit(a, 0), '.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3)};
        } else if (v > -100.0f) {
            t = {'-', IntegerDigit(a, 1), IntegerDigit(a, 0), '.', Decimal(a, 1), Decimal(a, 2)};
        } else {
            t = {'-', IntegerDigit(a, 2), IntegerDigit(a, 1), IntegerDigit(a, 0), '.',
                 Decimal(a, 1)};
        }
    }
    return t;
}

bool ParseValueText(const std::string& text, double* value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    const size_t start = i;
    if (i < text.size() && text[i] == '-') ++i;
    int digits = 0, points = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            if (++points > 1) return false;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    *value = std::strtod(text.c_str() + start, nullptr);
    return true;
}

std::string UnitText(double value, int decimals) {
    for (int d = std::min(std::max(decimals, 0), 5); d >= 0; --d) {
        double held = CutToDecimals(value, d);
        if (held == 0.0) held = 0.0;  // no "-000.0"
        char text[64];
        std::snprintf(text, sizeof text, "%0*.*f", 6, d, held);
        if (std::strlen(text) == 6) return text;
    }
    return value < 0 ? "-99999" : "999999";
}

}  // namespace rexf
