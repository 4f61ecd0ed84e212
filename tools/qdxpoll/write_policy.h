// How qdxpoll writes a value: the write, then with --verify a read back
// compared at the unit's resolution; when the write is not acknowledged, one
// check read tells a unit that refused it (NAK) from one that holds the value
// although its answer was lost, and from one that does not answer at all.
// Nothing is written again on the user's behalf.
#ifndef QDXPOLL_WRITE_POLICY_H
#define QDXPOLL_WRITE_POLICY_H

#include <string>

#include "session.h"

// Writes the value already in the point's cell (request 7); written_text is
// the value as the user gave it. The failure, if any, is recorded in the
// session with its exit code.
Reading WritePoint(Session& session, Point* p, bool verify, const std::string& written_text);

#endif  // QDXPOLL_WRITE_POLICY_H
