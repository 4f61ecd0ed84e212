// The line on a terminal device (Linux): a pseudo-terminal whose other end
// the driver opens, or a real serial device at the units' line settings;
// optionally a symlink to it that keeps one name across runs.
#ifndef REXFSIM_TTY_LINE_POSIX_H
#define REXFSIM_TTY_LINE_POSIX_H

#include "line.h"
#include "support/pseudo_terminal.h"

namespace rexfsim {

class TtyLine : public Line {
public:
    TtyLine() = default;
    ~TtyLine() override;
    TtyLine(const TtyLine&) = delete;
    TtyLine& operator=(const TtyLine&) = delete;

    // Each ends the program with a message when it fails.
    void OpenPty();
    void OpenDevice(const std::string& path, const rexf::LineFormat& format);
    // Makes the symlink `link` to the line, removed again on destruction.
    void MakeLink(const std::string& link);

    std::string name() const override { return path_; }
    void AddWaits(bool want_write, std::vector<PollItem>* items) override;
    LineEvents Take(const std::vector<PollItem>& items) override;
    long Read(uint8_t* buf, size_t size) override;
    long Write(const char* data, size_t size, std::string* why) override;
    bool PeerFormat(rexf::LineFormat* peer) const override;

private:
    int fd_ = -1;
    support::PseudoTerminal pty_;  // when there is no device
    std::string path_;
    std::string link_;  // made by this run
};

}  // namespace rexfsim

#endif  // REXFSIM_TTY_LINE_POSIX_H
