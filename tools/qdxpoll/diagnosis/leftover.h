// Bytes met on the line before a run's first request: answers to an earlier
// program's requests, still arriving. They are named and discarded, so that
// no request of this run is timed against them.
#ifndef QDXPOLL_LEFTOVER_H
#define QDXPOLL_LEFTOVER_H

#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"

// What the unit's side sent in these pieces, frame by frame: "3 replies and
// an EOT", "2 bytes that are no frame"; "" when nothing came.
std::string DescribeLeftover(const std::vector<WireChunk>& wire);

#endif  // QDXPOLL_LEFTOVER_H
