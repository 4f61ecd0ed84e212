// The figures of a run: each one's samples (one a round), and the report
// that prints them as a table, the notes, then one KEY=VALUE line a figure
// (scripts/run-bench.sh and the README read those keys).
#ifndef QDXBENCH_FIGURES_H
#define QDXBENCH_FIGURES_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qdxbench {

struct Figure {
    std::string key;
    std::string unit;
    std::string goal_text;  // "" when the figure has no goal
    std::function<bool(double)> goal;
    std::vector<double> samples;
    int decimals = 1;

    double median() const;
    double min() const;
    double max() const;
};

class Report {
public:
    Figure& Add(const std::string& key, const std::string& unit, int decimals,
                const std::string& goal_text = "", std::function<bool(double)> goal = nullptr);
    Figure& operator[](const std::string& key) { return figures_.at(key); }
    bool Has(const std::string& key) const { return figures_.count(key) != 0; }

    void Print(const std::string& title, const std::vector<std::string>& notes) const;

private:
    std::vector<std::string> order_;
    std::map<std::string, Figure> figures_;
};

}  // namespace qdxbench

#endif  // QDXBENCH_FIGURES_H
