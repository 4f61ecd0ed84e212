// CSV as qdxpoll writes it: a table of named columns, each row given by
// column name, so that a row never depends on counting commas; fields with
// a comma, a quote or a line end are quoted.
#ifndef QDXPOLL_CSV_H
#define QDXPOLL_CSV_H

#include <map>
#include <string>
#include <vector>

using CsvFields = std::map<std::string, std::string>;

class CsvTable {
public:
    explicit CsvTable(std::vector<std::string> columns) : columns_(std::move(columns)) {}

    const std::vector<std::string>& columns() const { return columns_; }
    std::string HeaderLine() const;
    // One row: each column's field, empty where `fields` has none. A field
    // for a column the table does not have is a mistake of the caller.
    std::string Line(const CsvFields& fields) const;

private:
    std::vector<std::string> columns_;
};

// One field, quoted where it must be.
std::string CsvField(const std::string& text);

#endif  // QDXPOLL_CSV_H
