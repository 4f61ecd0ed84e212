// The units reached for save, diff and restore through the session: its
// reads, and its writes through the write policy with the read back.
#ifndef QDXPOLL_SESSION_UNIT_ACCESS_H
#define QDXPOLL_SESSION_UNIT_ACCESS_H

#include <string>

#include "session/session.h"
#include "settings/unit_access.h"

class SessionUnitAccess : public UnitAccess {
public:
    explicit SessionUnitAccess(Session& session) : session_(session) {}

    void Open() override;
    Reading Read(int unit, int channel, const std::string& ident) override;
    Reading Write(int unit, int channel, const std::string& ident, const std::string& text, int* exit_code) override;
    bool Lost(std::string* cause) override;
    std::string Port() const override;
    std::string Line() const override;

private:
    Session& session_;
};

#endif  // QDXPOLL_SESSION_UNIT_ACCESS_H
