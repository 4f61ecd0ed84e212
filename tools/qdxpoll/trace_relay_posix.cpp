// Wire relay on Linux: a pseudo-terminal for the driver, the real port for
// qdxpoll, and a thread that copies bytes between them, records them and
// shows frames.
#include "trace_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "driver_log.h"
#include "frame_decoder.h"
#include "output.h"
#include "platform.h"
#include "port_lock.h"
#include "serial_line_posix.h"
#include "support/pseudo_terminal.h"

namespace {

// A frame that is not followed by more bytes within this time is complete
// (the closing EOT, a cut-off reply).
constexpr int kQuietMs = 30;

// The wake pipe of the running relay, for the signal handler.
std::atomic<int> g_interrupt_fd{-1};

void ShowFrame(FrameDecoder::Time time, Direction direction, const std::vector<uint8_t>& bytes) {
    ErrorLine(fmt::format("trace {} {} {:<32} {}", ClockTime(time),
                          direction == Direction::kToUnit ? "->" : "<-", ShowBytes(bytes),
                          DescribeFrame(direction, bytes)));
}

std::string HangUpCause(short revents) {
    return (revents & POLLHUP) != 0 ? "hang-up (the device went away, or its far side closed)"
                                    : "error on the device";
}

// A side that takes nothing for this long is stuck (flow control held, a
// device that stopped): the bytes are given up rather than the relay.
constexpr int kStuckWriteMs = 2000;

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    int waited_ms = 0;
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && waited_ms < kStuckWriteMs) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                waited_ms += 100;
                continue;
            }
            if (errno == EAGAIN) errno = ETIMEDOUT;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct TraceRelay::State {
    int real_fd = -1;
    int master_fd = -1;
    int slave_fd = -1;  // kept open so the pseudo-terminal never hangs up by itself
    int wake[2] = {-1, -1};
    std::string link;   // a short name for a pseudo-terminal whose own name is too long
    std::thread thread;
    std::mutex mutex;
    std::condition_variable synced;
    unsigned long sync_asked = 0, sync_done = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> real_open{true};
    std::mutex lost_mutex;
    std::string lost_cause;
    std::string lock_file;  // the UUCP lock file taken for the real port
    bool show = false;
    FrameDecoder decoder{ShowFrame};
    std::mutex log_mutex;
    std::vector<WireChunk> log;
    std::atomic<SteadyClock::rep> last_from_unit{0};

    ~State() {
        CloseSerialLine(real_fd);
        for (int fd : {master_fd, slave_fd, wake[0], wake[1]})
            if (fd >= 0) close(fd);
        if (!link.empty()) unlink(link.c_str());
        ReleasePortLockFile(lock_file);
    }

    // The real side is gone: the first cause seen is the one kept.
    void LoseRealSide(const std::string& cause) {
        if (!real_open.exchange(false)) return;
        std::lock_guard<std::mutex> lock(lost_mutex);
        lost_cause = cause;
    }

    void Record(Direction direction, const uint8_t* bytes, size_t n) {
        const auto now = SteadyClock::now();
        if (direction == Direction::kFromUnit) last_from_unit.store(now.time_since_epoch().count());
        std::lock_guard<std::mutex> lock(log_mutex);
        log.push_back(WireChunk{now, direction, std::vector<uint8_t>(bytes, bytes + n)});
    }

    // Moves whatever one side has to the other; false when the side read
    // from is gone (*cause says how). A write that fails on the real side
    // loses it too.
    bool Pass(int from, int to, Direction direction, std::string* cause) {
        uint8_t buffer[512];
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {
            *cause = n == 0 ? "end of file" : std::string("read error: ") + std::strerror(errno);
            return false;
        }
        Record(direction, buffer, static_cast<size_t>(n));
        if (show) decoder.Feed(direction, buffer, static_cast<size_t>(n));
        if (to >= 0 && !WriteAll(to, buffer, static_cast<size_t>(n)) && to == real_fd)
            LoseRealSide(std::string("write error: ") + std::strerror(errno));
        return true;
    }

    void PassFromUnit() {
        std::string cause;
        if (!Pass(real_fd, master_fd, Direction::kFromUnit, &cause)) LoseRealSide(cause);
    }

    void PassToUnit() {
        std::string ignored;  // the driver's side is ours: it goes only when cut
        if (real_open.load()) {
            Pass(master_fd, real_fd, Direction::kToUnit, &ignored);
        } else {
            Pass(master_fd, -1, Direction::kToUnit, &ignored);
        }
    }

    // Relays everything already waiting on either side, without blocking.
    void Drain() {
        for (int round = 0; round < 64; ++round) {
            pollfd fds[2] = {{master_fd, POLLIN, 0}, {real_open.load() ? real_fd : -1, POLLIN, 0}};
            if (poll(fds, 2, 0) <= 0) break;
            if (fds[0].revents & POLLIN) PassToUnit();
            if (fds[1].revents & POLLIN) PassFromUnit();
            else if (fds[1].revents & (POLLHUP | POLLERR)) LoseRealSide(HangUpCause(fds[1].revents));
        }
    }

    // Closing the master side hangs the driver's side up: its reads and
    // writes fail at once.
    void CutDriverSide() {
        if (master_fd < 0) return;
        close(master_fd);
        master_fd = -1;
    }

    void Run() {
        while (!stop.load()) {
            pollfd fds[3] = {
                {master_fd, POLLIN, 0}, {real_open.load() ? real_fd : -1, POLLIN, 0}, {wake[0], POLLIN, 0}};
            const int ready = poll(fds, 3, kQuietMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (ready == 0) {
                if (show) decoder.FlushIdle();
                continue;
            }
            if (fds[0].revents & POLLIN) PassToUnit();
            if (fds[1].revents & POLLIN) {
                PassFromUnit();
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                LoseRealSide(HangUpCause(fds[1].revents));
            }
            if (fds[2].revents & POLLIN) {
                char tokens[64];
                ssize_t got;
                bool interrupt = false;
                while ((got = read(wake[0], tokens, sizeof tokens)) > 0)
                    interrupt |= std::memchr(tokens, 'i', static_cast<size_t>(got)) != nullptr;
                if (interrupt) CutDriverSide();
                Drain();
                if (show) decoder.FlushIdle();
                std::lock_guard<std::mutex> lock(mutex);
                sync_done = sync_asked;
                synced.notify_all();
            }
        }
        Drain();
        if (show) decoder.Flush();
    }
};

bool TraceRelay::Available() { return true; }

TraceRelay::TraceRelay() = default;

TraceRelay::~TraceRelay() { Stop(); }

bool TraceRelay::Start(const std::string& real_port, const LineValues& line, bool show_frames,
                       std::string* driver_port, std::string* error, bool* port_failed) {
    *port_failed = false;
    auto state = std::make_unique<State>();
    state->show = show_frames;
    const std::string device = DevicePathOfPortName(real_port);
    if (!TakePortLockFile(device, &state->lock_file, error)) {
        *port_failed = true;
        return false;
    }
    state->real_fd = OpenSerialLine(device, line, error);
    if (state->real_fd < 0) {
        *port_failed = true;
        return false;
    }
    support::PseudoTerminal pty;
    if (!support::OpenPseudoTerminal(&pty, error)) {
        *error += " (needed to watch the line)";
        return false;
    }
    state->master_fd = pty.master;
    state->slave_fd = pty.held_slave;
    const std::string slave_name = pty.slave_path;
    std::string name = slave_name;
    if (name.size() > kPortNameMax) {
        // /dev/pts/100 and above do not fit the driver's 11 characters: a
        // short link to it does.
        for (unsigned i = 0; i < 200 && state->link.empty(); ++i) {
            const std::string candidate = fmt::format("/tmp/q{:05d}", (getpid() + i * 7919u) % 100000u);
            if (symlink(slave_name.c_str(), candidate.c_str()) == 0) state->link = candidate;
        }
        if (state->link.empty()) {
            *error = "the pseudo-terminal " + slave_name +
                     " has a name longer than the driver's 11 characters, and no short link to it can be made "
                     "in /tmp (--direct gives the driver the port itself)";
            return false;
        }
        name = state->link;
    }
    if (pipe2(state->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot watch the line: ") + std::strerror(errno);
        return false;
    }
    fcntl(state->master_fd, F_SETFL, fcntl(state->master_fd, F_GETFL) | O_NONBLOCK);
    fcntl(state->real_fd, F_SETFL, fcntl(state->real_fd, F_GETFL) | O_NONBLOCK);
    *driver_port = name;
    State* raw = state.get();
    g_interrupt_fd.store(state->wake[1]);
    state->thread = std::thread([raw] { raw->Run(); });
    state_ = std::move(state);
    // A Ctrl-C that came while the relay was being set up still cuts it.
    if (Interrupted()) InterruptFromSignal();
    return true;
}

void TraceRelay::Sync() {
    if (!state_) return;
    std::unique_lock<std::mutex> lock(state_->mutex);
    const unsigned long ticket = ++state_->sync_asked;
    const char token = 's';
    if (write(state_->wake[1], &token, 1) != 1) return;
    state_->synced.wait_for(lock, std::chrono::seconds(2), [&] { return state_->sync_done >= ticket; });
}

bool TraceRelay::Lost(std::string* cause) const {
    if (!state_ || state_->real_open.load()) return false;
    std::lock_guard<std::mutex> lock(state_->lost_mutex);
    *cause = state_->lost_cause;
    return true;
}

std::vector<WireChunk> TraceRelay::Take() {
    std::vector<WireChunk> taken;
    if (!state_) return taken;
    Sync();
    std::lock_guard<std::mutex> lock(state_->log_mutex);
    taken.swap(state_->log);
    return taken;
}

void TraceRelay::ListenQuiet(int quiet_ms, int max_ms) {
    if (!state_) return;
    const auto start = SteadyClock::now();
    const auto quiet = std::chrono::milliseconds(quiet_ms);
    while (!Interrupted()) {
        const auto now = SteadyClock::now();
        if (now - start >= std::chrono::milliseconds(max_ms)) break;
        const SteadyClock::time_point last{SteadyClock::duration(state_->last_from_unit.load())};
        const auto quiet_since = std::max(start, last);
        if (now - quiet_since >= quiet) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Sync();
}

void TraceRelay::Stop() {
    if (!state_) return;
    g_interrupt_fd.store(-1);
    state_->stop.store(true);
    const char token = 'x';
    if (write(state_->wake[1], &token, 1) != 1) {
        // The thread still ends at its next quiet period.
    }
    if (state_->thread.joinable()) state_->thread.join();
    state_.reset();
}

void TraceRelay::InterruptFromSignal() {
    const int fd = g_interrupt_fd.load();
    if (fd < 0) return;
    const char token = 'i';
    const ssize_t ignored = write(fd, &token, 1);
    (void)ignored;
}
