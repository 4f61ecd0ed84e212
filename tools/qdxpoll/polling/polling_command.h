// The start and the end that every polling command shares (poll, watch, log
// and mqtt): the port opened and the points parsed; at the end each sink's
// end, the port closed, the summary of the points and of the line (its
// outages and measured cycle), and the exit code.
#ifndef QDXPOLL_POLLING_COMMAND_H
#define QDXPOLL_POLLING_COMMAND_H

#include "polling/cycle_sink.h"
#include "polling/poll_loop.h"
#include "session/session.h"

// Opens the port the options name and parses their points; the module is
// loaded already.
PointList StartPolling(Session& session);

// Polls as the options ask, every cycle to the reporter and then to the
// sinks; ends the sinks in the reverse order, closes the port, prints the
// summary and returns the exit code.
int RunPolling(Session& session, const char* command, PointList& points, const CycleSinks& sinks,
               const CycleWait& wait = SleepUntil);

#endif  // QDXPOLL_POLLING_COMMAND_H
