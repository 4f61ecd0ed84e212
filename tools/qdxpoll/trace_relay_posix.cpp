// Trace relay on Linux: a pseudo-terminal for the driver, the real port for
// qdxpoll, and a thread that copies bytes between them and shows frames.
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
#include "serial_line_posix.h"

namespace {

// A frame that is not followed by more bytes within this time is complete
// (the closing EOT, a cut-off reply).
constexpr int kQuietMs = 30;

void ShowFrame(FrameDecoder::Time time, Direction direction, const std::vector<uint8_t>& bytes) {
    ErrorLine(fmt::format("trace {} {} {:<32} {}", ClockTime(time),
                          direction == Direction::kToUnit ? "->" : "<-", ShowBytes(bytes),
                          DescribeFrame(direction, bytes)));
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
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
    int slave_fd = -1;  // kept open so the pseudo-terminal never hangs up
    int wake[2] = {-1, -1};
    std::thread thread;
    std::mutex mutex;
    std::condition_variable synced;
    unsigned long sync_asked = 0, sync_done = 0;
    std::atomic<bool> stop{false};
    bool real_open = true;
    FrameDecoder decoder{ShowFrame};

    ~State() {
        for (int fd : {real_fd, master_fd, slave_fd, wake[0], wake[1]})
            if (fd >= 0) close(fd);
    }

    // Moves whatever one side has to the other; false when the side is gone.
    bool Pass(int from, int to, Direction direction) {
        uint8_t buffer[512];
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        decoder.Feed(direction, buffer, static_cast<size_t>(n));
        WriteAll(to, buffer, static_cast<size_t>(n));
        return true;
    }

    // Relays everything already waiting on either side, without blocking.
    void Drain() {
        for (int round = 0; round < 64; ++round) {
            pollfd fds[2] = {{master_fd, POLLIN, 0}, {real_open ? real_fd : -1, POLLIN, 0}};
            if (poll(fds, 2, 0) <= 0) break;
            if (fds[0].revents & POLLIN) Pass(master_fd, real_fd, Direction::kToUnit);
            if (fds[1].revents & POLLIN) real_open = Pass(real_fd, master_fd, Direction::kFromUnit);
            if (fds[1].revents & (POLLHUP | POLLERR)) real_open = false;
        }
    }

    void Run() {
        while (!stop.load()) {
            const bool was_open = real_open;
            pollfd fds[3] = {{master_fd, POLLIN, 0}, {real_open ? real_fd : -1, POLLIN, 0}, {wake[0], POLLIN, 0}};
            const int ready = poll(fds, 3, kQuietMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (ready == 0) {
                decoder.Flush();
                continue;
            }
            if (fds[0].revents & POLLIN) Pass(master_fd, real_fd, Direction::kToUnit);
            if (fds[1].revents & POLLIN) {
                if (!Pass(real_fd, master_fd, Direction::kFromUnit)) real_open = false;
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                real_open = false;
            }
            if (was_open && !real_open) ErrorLine("trace: the port closed; nothing more is relayed");
            if (fds[2].revents & POLLIN) {
                char token[64];
                while (read(wake[0], token, sizeof token) == static_cast<ssize_t>(sizeof token)) {
                }
                Drain();
                decoder.Flush();
                std::lock_guard<std::mutex> lock(mutex);
                sync_done = sync_asked;
                synced.notify_all();
            }
        }
        Drain();
        decoder.Flush();
    }
};

bool TraceRelay::Available() { return true; }

TraceRelay::TraceRelay() = default;

TraceRelay::~TraceRelay() { Stop(); }

bool TraceRelay::Start(const std::string& real_port, const LineValues& line, std::string* driver_port,
                       std::string* error, bool* port_failed) {
    *port_failed = false;
    auto state = std::make_unique<State>();
    state->real_fd = OpenSerialLine(DevicePathOfPortName(real_port), line, error);
    if (state->real_fd < 0) {
        *port_failed = true;
        return false;
    }
    state->master_fd = posix_openpt(O_RDWR | O_NOCTTY);
    char slave_name[64] = {};
    if (state->master_fd < 0 || grantpt(state->master_fd) != 0 || unlockpt(state->master_fd) != 0 ||
        ptsname_r(state->master_fd, slave_name, sizeof slave_name) != 0) {
        *error = std::string("cannot create a pseudo-terminal for the trace: ") + std::strerror(errno);
        return false;
    }
    if (std::strlen(slave_name) > kPortNameMax) {
        *error = std::string("the trace's pseudo-terminal ") + slave_name +
                 " has a name longer than the driver's 11 characters";
        return false;
    }
    state->slave_fd = open(slave_name, O_RDWR | O_NOCTTY);
    if (state->slave_fd < 0 || pipe(state->wake) != 0) {
        *error = std::string("cannot open the trace's pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(state->slave_fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(state->slave_fd, TCSANOW, &tio);
    }
    fcntl(state->master_fd, F_SETFL, fcntl(state->master_fd, F_GETFL) | O_NONBLOCK);
    fcntl(state->real_fd, F_SETFL, fcntl(state->real_fd, F_GETFL) | O_NONBLOCK);
    fcntl(state->wake[0], F_SETFL, fcntl(state->wake[0], F_GETFL) | O_NONBLOCK);
    *driver_port = slave_name;
    State* raw = state.get();
    state->thread = std::thread([raw] { raw->Run(); });
    state_ = std::move(state);
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

void TraceRelay::Stop() {
    if (!state_) return;
    state_->stop.store(true);
    const char token = 'x';
    if (write(state_->wake[1], &token, 1) != 1) {
        // The thread still ends at its next quiet period.
    }
    if (state_->thread.joinable()) state_->thread.join();
    state_.reset();
}
