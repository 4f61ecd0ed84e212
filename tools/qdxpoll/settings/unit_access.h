// The units as save, diff and restore reach them: the driver's reads and
// verified writes of one identifier, each failure's cause named
// as the other commands name it. The commands decide their own exit codes.
#ifndef QDXPOLL_UNIT_ACCESS_H
#define QDXPOLL_UNIT_ACCESS_H

#include <string>

#include "readings/output.h"

class UnitAccess {
public:
    virtual ~UnitAccess() = default;
    // Loads the driver and opens the port; later calls do nothing.
    virtual void Open() = 0;
    // One read as a float; the reading's status is "ok" (or "late", with a
    // value) or the cause of the failure.
    virtual Reading Read(int unit, int channel, const std::string& ident) = 0;
    // Writes the value text and reads it back at the unit's resolution
    // (write --verify). The status is "verified", "refused", "mismatch",
    // "held_unacknowledged" or the cause; *exit_code is what 'qdxpoll write'
    // would exit with.
    virtual Reading Write(int unit, int channel, const std::string& ident, const std::string& text,
                          int* exit_code) = 0;
    // After a failed request: whether the port is gone (the session's signs
    // of a lost port), with *cause saying what was seen.
    virtual bool Lost(std::string* cause) = 0;
    // The port as the user named it, and the line settings ("9600,7O2").
    virtual std::string Port() const = 0;
    virtual std::string Line() const = 0;
};

#endif  // QDXPOLL_UNIT_ACCESS_H
