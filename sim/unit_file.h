// rexfsim --unit-file: a unit started from a settings file that qdxpoll
// saved, so that a restore or a comparison can be tried against the unit
// as it was.
#ifndef REXFSIM_UNIT_FILE_H
#define REXFSIM_UNIT_FILE_H

#include <string>
#include <vector>

#include "point_table.h"

namespace rexfsim {

struct UnitFileRequest {
    int unit = -1;  // -1: the unit the file names
    std::string path;
};

// Reads "FILE" or "NN=FILE" (the file's settings at unit NN); false with
// *error set when NN is no unit address.
bool ParseUnitFileOption(const std::string& text, UnitFileRequest* request, std::string* error);

// Starts the unit from the file: the channels it names get the factory
// points, then the file's values; identifiers the file gives as absent are
// left out (the unit answers EOT), those that failed keep their factory
// value. Returns one line for each setting that differs from the factory
// values; *unit is the unit started; *contradictions gets "FILE:LINE: what"
// for each setting no unit holds together with another (SL above SH, OL
// above OH, S1 outside SL..SH). Throws std::runtime_error naming the file's
// line for a file that does not read.
std::vector<std::string> LoadUnitFile(const UnitFileRequest& request, PointTable* table, int* unit,
                                      std::vector<std::string>* contradictions);

}  // namespace rexfsim

#endif
