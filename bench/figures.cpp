// The figures' medians and the printed report.
#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qdxbench {

double Figure::median() const {
    std::vector<double> s(samples);
    std::sort(s.begin(), s.end());
    if (s.empty()) return NAN;
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

double Figure::min() const { return samples.empty() ? NAN : *std::min_element(samples.begin(), samples.end()); }

double Figure::max() const { return samples.empty() ? NAN : *std::max_element(samples.begin(), samples.end()); }

Figure& Report::Add(const std::string& key, const std::string& unit, int decimals, const std::string& goal_text,
                    std::function<bool(double)> goal) {
    order_.push_back(key);
    Figure& f = figures_[key];
    f.key = key;
    f.unit = unit;
    f.decimals = decimals;
    f.goal_text = goal_text;
    f.goal = std::move(goal);
    return f;
}

void Report::Print(const std::string& title, const std::vector<std::string>& notes) const {
    std::printf("\n%s\n\n", title.c_str());
    std::printf("%-26s %12s %12s %12s  %-8s %-10s %s\n", "figure", "median", "min", "max", "unit",
                "goal", "");
    std::printf("%s\n", std::string(96, '-').c_str());
    for (const std::string& key : order_) {
        const Figure& f = figures_.at(key);
        if (f.samples.empty()) {
            std::printf("%-26s %12s %12s %12s  %-8s %-10s %s\n", key.c_str(), "n/a", "", "",
                        f.unit.c_str(), f.goal_text.c_str(), "not measured");
            continue;
        }
        const char* verdict = !f.goal ? "" : (f.goal(f.median()) ? "met" : "MISSED");
        std::printf("%-26s %12.*f %12.*f %12.*f  %-8s %-10s %s\n", key.c_str(), f.decimals, f.median(),
                    f.decimals, f.min(), f.decimals, f.max(), f.unit.c_str(), f.goal_text.c_str(),
                    verdict);
    }
    std::printf("\n");
    for (const std::string& note : notes) std::printf("%s\n", note.c_str());
    std::printf("\n");
    for (const std::string& key : order_) {
        const Figure& f = figures_.at(key);
        if (f.samples.empty())
            std::printf("%s=nan\n", key.c_str());
        else
            std::printf("%s=%.*f\n", key.c_str(), std::max(f.decimals, 1) + 2, f.median());
    }
}

}  // namespace qdxbench
