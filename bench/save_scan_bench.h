// What saving a whole unit and scanning a line take at the factory interval
// time on a line paced at 9600 baud: through the module, over the unit's
// data link, and by qdxpoll save and scan.
#ifndef QDXBENCH_SAVE_SCAN_BENCH_H
#define QDXBENCH_SAVE_SCAN_BENCH_H

#include <string>
#include <vector>

#include "bench_options.h"
#include "figures.h"
#include "module_host.h"

namespace qdxbench {

void MeasureSave(Module* module, const Options& opt, Report* report, std::vector<std::string>* notes);
void MeasureScan(const Options& opt, Report* report, std::vector<std::string>* notes);

}  // namespace qdxbench

#endif  // QDXBENCH_SAVE_SCAN_BENCH_H
