// How qdxpoll writes a value: the write, then with --verify a read back
// compared at the unit's resolution; when the write is not acknowledged, one
// check read tells a unit that refused it (NAK) from one that holds the value
// although its answer was lost, and from one that does not answer at all.
// Nothing is written again on the user's behalf.
#ifndef QDXPOLL_WRITE_POLICY_H
#define QDXPOLL_WRITE_POLICY_H

#include <string>

#include "session/session.h"

// Writes the value already in the point's cell (request 7); written_text is
// the value as the user gave it. The failure, if any, is recorded in the
// session with its exit code.
Reading WritePoint(Session& session, Point* p, bool verify, const std::string& written_text);

// A write asked for from outside the command line (the page's form, an MQTT
// set topic), with the checks and the read-back of `write`. Its outcome goes
// to the asker; the session's exit code stays the polling's.
struct ClientWrite {
    bool sent = false;      // false: refused before anything reached the line
    std::string refusal;    // why, when not sent
    Reading reading;        // the write's outcome, when sent
    bool ok = false;        // written (and, with verify, read back)
    int exit_code = 0;      // what 'qdxpoll write' would end with
    std::string hint;       // the next step, when not ok
};
ClientWrite WriteForClient(Session& session, const std::string& address, const std::string& value, bool verify);

#endif  // QDXPOLL_WRITE_POLICY_H
