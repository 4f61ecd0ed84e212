#include "base/did_you_mean.h"

#include <algorithm>

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
    // Edit distance with adjacent transpositions.
    auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
        for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (size_t i = 1; i <= a.size(); ++i)
            for (size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    };
    std::string best;
    size_t best_distance = 3;
    for (const std::string& c : candidates) {
        const size_t dist = distance(word, c);
        if (dist < best_distance && dist * 2 <= std::max(word.size(), c.size())) {
            best = c;
            best_distance = dist;
        }
    }
    return best;
}
