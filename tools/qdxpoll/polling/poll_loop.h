// The poll loop of poll, watch, log, mqtt and the demo: the points read
// every interval with statistics per address, dead points resting, a lost
// port reopened at its own pace, and every cycle handed to the sinks.
#ifndef QDXPOLL_POLL_LOOP_H
#define QDXPOLL_POLL_LOOP_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "polling/cycle_sink.h"
#include "session/session.h"

// Sleeps until the time point, in short steps so that Ctrl-C is seen soon.
void SleepUntil(std::chrono::steady_clock::time_point until);

// How a poll waits between cycles: the writes that wait run meanwhile.
using CycleWait = std::function<void(std::chrono::steady_clock::time_point)>;

// Reads the points every interval (count cycles, 0: until Ctrl-C), hands
// each cycle to the sinks in their order, and returns the statistics. A
// read cut short by Ctrl-C counts as interrupted.
std::vector<PointStats> PollLoop(Session& session, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait, const CycleSinks& sinks);

#endif  // QDXPOLL_POLL_LOOP_H
