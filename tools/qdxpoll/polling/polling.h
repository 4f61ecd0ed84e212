// Polling, as poll, watch and the demo do it: the points read every
// interval with statistics per address, and for watch the page served
// meanwhile, whose writes run between cycles.
#ifndef QDXPOLL_POLLING_H
#define QDXPOLL_POLLING_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "session/session.h"
#include "watch/watch_server.h"

// Sleeps until the time point, in short steps so that Ctrl-C is seen soon.
void SleepUntil(std::chrono::steady_clock::time_point until);

// How a poll waits between cycles, and what it does after each.
using CycleWait = std::function<void(std::chrono::steady_clock::time_point)>;
using CycleDone = std::function<void(const std::vector<Reading>&, const std::vector<PointStats>&)>;

// Reads the points every interval (count cycles, 0: until Ctrl-C); returns
// the statistics. A read cut short by Ctrl-C counts as interrupted.
std::vector<PointStats> PollLoop(Session& session, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait = SleepUntil,
                                 const CycleDone& done = nullptr);

// Polls the points as poll does and serves the page while it runs. `serving`
// is told the page's address once it is served.
std::vector<PointStats> WatchLoop(Session& session, PointList& points, int count, double interval_s,
                                  bool allow_writes, WatchServer& server,
                                  const std::function<void(const std::string&)>& serving, double* seconds,
                                  bool* interrupted);

// What the page shows and whether its form writes, for the user.
std::string PageNote(const std::string& url, bool allow_writes);

#endif  // QDXPOLL_POLLING_H
