#include "tests/support/pty.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/pseudo_terminal.h"

namespace qdxtest {

PtyPair::PtyPair() {
    // Raw until the port under test sets its own line: nothing echoed back.
    support::PseudoTerminal pty;
    std::string error;
    if (!support::OpenPseudoTerminal(&pty, &error)) return;
    master_ = pty.master;
    slave_ = pty.held_slave;
    slave_path_ = pty.slave_path;
}

PtyPair::~PtyPair() {
    CloseSlave();
    CloseMaster();
}

bool PtyPair::fits_port_name() const {
    return !slave_path_.empty() && slave_path_.size() <= 11;
}

bool PtyPair::Send(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        const ssize_t n = write(master_, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<uint8_t> PtyPair::Receive(int wait_ms) {
    std::vector<uint8_t> out;
    int wait = wait_ms;
    for (;;) {
        struct pollfd pfd = {master_, POLLIN, 0};
        if (poll(&pfd, 1, wait) <= 0 || (pfd.revents & POLLIN) == 0) break;
        uint8_t buf[4096];
        const ssize_t n = read(master_, buf, sizeof(buf));
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
        wait = 20;
    }
    return out;
}

void PtyPair::CloseSlave() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

int CountOpenFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

int PendingInput(int fd) {
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

bool WaitForPending(int fd, int count, int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (PendingInput(fd) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace qdxtest
