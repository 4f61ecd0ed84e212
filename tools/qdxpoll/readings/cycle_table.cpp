#include "readings/cycle_table.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/times.h"

namespace {

const ConfigPoint* PointOf(const std::vector<ConfigPoint>& points, const std::string& address) {
    for (const ConfigPoint& p : points)
        if (p.address == address) return &p;
    return nullptr;
}

// The value as the file shows it: scaled where it says so, with its unit.
std::string ValueText(const Reading& r, const ConfigPoint* p) {
    if (r.summary_class == SummaryClass::kSkipped) return "(resting)";
    if (!r.ok) return "--- (" + r.status + ")";
    std::string text = r.value.text;
    if (p != nullptr && (p->scale != 1.0 || p->offset != 0.0) && r.value.numeric)
        text = fmt::format("{:g}", r.value.number * p->scale + p->offset);
    const std::string unit = p != nullptr ? p->unit : DefaultEngineeringUnit(r.identifier);
    if (!unit.empty()) text += " " + unit;
    if (r.status == "late") text += " (late)";
    return text;
}

std::string PadRight(const std::string& text, size_t width) {
    const size_t shown = DisplayWidth(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
    const size_t shown = DisplayWidth(text);
    return shown >= width ? text : std::string(width - shown, ' ') + text;
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::vector<std::string> CycleTable(const std::vector<Reading>& readings, const std::vector<ConfigPoint>& points,
                                    size_t width) {
    std::vector<std::string> lines;
    if (readings.empty()) return lines;
    lines.push_back(LocalTime(readings.front().time) + fmt::format("  cycle {}", readings.front().cycle));
    std::vector<std::pair<std::string, std::string>> cells;
    size_t label_w = 0, value_w = 0;
    for (const Reading& r : readings) {
        const ConfigPoint* p = PointOf(points, r.address);
        std::string label = p != nullptr && !p->name.empty() ? p->name : r.address;
        std::string value = ValueText(r, p);
        label_w = std::max(label_w, DisplayWidth(label));
        value_w = std::max(value_w, DisplayWidth(value));
        cells.emplace_back(std::move(label), std::move(value));
    }
    constexpr size_t kIndent = 2, kGap = 3;
    const size_t cell_w = label_w + 2 + value_w;
    const size_t columns = std::max<size_t>(1, (width > kIndent ? width - kIndent + kGap : 0) / (cell_w + kGap));
    for (size_t i = 0; i < cells.size(); i += columns) {
        std::string line(kIndent, ' ');
        for (size_t j = i; j < std::min(cells.size(), i + columns); ++j) {
            if (j > i) line += std::string(kGap, ' ');
            line += PadRight(cells[j].first, label_w) + "  " + PadLeft(cells[j].second, value_w);
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
