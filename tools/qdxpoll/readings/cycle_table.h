// A poll cycle of many points as a table that fits a terminal: each point a
// cell with the line file's name (or its address), its value and unit, the
// cells in as many columns as the width takes.
#ifndef QDXPOLL_CYCLE_TABLE_H
#define QDXPOLL_CYCLE_TABLE_H

#include <string>
#include <vector>

#include "config/line_file.h"
#include "readings/reading.h"

// Characters a terminal shows for UTF-8 text (one for each code point).
size_t DisplayWidth(const std::string& text);

// The lines of the cycle's table, each at most `width` characters wide
// where a cell fits at all: a heading with the time, then the cells.
// `points` gives names, units and scaling where the file has them.
std::vector<std::string> CycleTable(const std::vector<Reading>& readings, const std::vector<ConfigPoint>& points,
                                    size_t width);

#endif  // QDXPOLL_CYCLE_TABLE_H
