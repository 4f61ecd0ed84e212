#include "base/csv.h"

#include <cassert>

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvTable::HeaderLine() const {
    std::string line;
    for (size_t i = 0; i < columns_.size(); ++i) line += (i == 0 ? "" : ",") + CsvField(columns_[i]);
    return line;
}

std::string CsvTable::Line(const CsvFields& fields) const {
    std::string line;
    size_t used = 0;
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (i > 0) line += ',';
        const auto it = fields.find(columns_[i]);
        if (it == fields.end()) continue;
        line += CsvField(it->second);
        ++used;
    }
    assert(used == fields.size() && "a field for a column the table does not have");
    (void)used;
    return line;
}
