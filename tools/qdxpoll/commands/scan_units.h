// The scan of a line's unit addresses, shared by scan and init: each
// address polled once, every hit confirmed, what answered and how.
#ifndef QDXPOLL_SCAN_UNITS_H
#define QDXPOLL_SCAN_UNITS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "session/session.h"

// What a scan found.
struct ScanTotals {
    std::string bad_hint;  // the next step for the first address that answers badly
    std::string identifier;
    int channel = 1;
    int tried = 0;
    std::vector<int> good;
    std::vector<int> eot;                          // answer EOT: no such identifier
    std::vector<std::pair<int, std::string>> bad;  // answer badly, and how
    int silent = 0;
    bool interrupted = false;
    double seconds = 0;
    size_t tried_points = 0;  // the addresses the scan meant to try
};

// Scans the units of --units (default 0-99) for the identifier on the
// channel, at the port of the options.
ScanTotals ScanUnits(Session& session, const std::string& id, int channel);

#endif  // QDXPOLL_SCAN_UNITS_H
