// rexfsim on Linux: signals, ppoll with them let through, and the lines a
// terminal device gives besides TCP.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "options.h"
#include "simulator.h"
#include "tcp_line.h"
#include "tty_line_posix.h"

namespace rexfsim {
namespace {

void OnSignal(int sig) {
    if (sig == SIGUSR1)
        g_print_stats = true;
    else
        g_stop = true;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

}  // namespace

bool PrepareProcess() {
    // A closed standard descriptor gets /dev/null, so that the line's
    // descriptor is never taken for stdin; a closed stdin then just gives no
    // commands.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return false;  // the parent is gone already

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kStopSignals) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void CloseSocket(SocketHandle socket) { close(socket); }

bool SetNonBlocking(SocketHandle socket) {
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SocketWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

std::string SocketError() { return std::strerror(errno); }

std::unique_ptr<Line> OpenLine(const Options& options) {
    if (options.tcp_port >= 0) {
        if (!options.device.empty() || !options.link.empty() || options.line_check)
            Fail("--tcp takes no --device, --link or --line-check: a TCP connection has no line settings");
        auto line = std::make_unique<TcpLine>();
        std::string error;
        if (!line->Listen(options.tcp_port, &error)) Fail(error);
        return line;
    }
    auto line = std::make_unique<TtyLine>();
    if (options.device.empty())
        line->OpenPty();
    else
        line->OpenDevice(options.device, options.line);
    if (!options.link.empty()) line->MakeLink(options.link);
    return line;
}

struct Waiter::State {
    sigset_t waiting;  // the mask during the wait: the stop signals let through
    bool commands_open = true;
};

Waiter::Waiter() : state_(std::make_unique<State>()) {
    // The stop signals arrive only during the wait, so that none is lost
    // between a check of the flags and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int sig : kStopSignals) sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, &state_->waiting);
    for (const int sig : kStopSignals) sigdelset(&state_->waiting, sig);
}

Waiter::~Waiter() = default;

void Waiter::Wait(std::vector<PollItem>* items, long timeout_us, std::string* commands) {
    const size_t line_items = items->size();
    if (state_->commands_open) items->push_back(pollfd{STDIN_FILENO, POLLIN, 0});
    timespec ts{};
    if (timeout_us >= 0) {
        ts.tv_sec = timeout_us / 1000000;
        ts.tv_nsec = (timeout_us % 1000000) * 1000L;
    }
    const int r = ppoll(items->data(), items->size(), timeout_us >= 0 ? &ts : nullptr, &state_->waiting);
    if (r < 0) {
        if (errno != EINTR) Fail(std::string("poll failed: ") + std::strerror(errno));
        for (PollItem& item : *items) item.revents = 0;
    }
    if (items->size() > line_items) {
        const short got = items->back().revents;
        if (got & POLLNVAL) {
            state_->commands_open = false;
        } else if (got & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n > 0)
                commands->append(buf, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                state_->commands_open = false;
        }
    }
    items->resize(line_items);
}

}  // namespace rexfsim
