// Wire relay on Linux: a pseudo-terminal for the driver, the real port for
// qdxpoll, and a thread that copies bytes between them, records them and
// shows frames.
#include "port/trace_relay.h"

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

#include "base/console.h"
#include "base/times.h"
#include "diagnosis/frame_decoder.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/port_lock.h"
#include "port/real_port_posix.h"
#include "port/serial_device_posix.h"
#include "port/write_all_posix.h"
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

}  // namespace

struct TraceRelay::State {
    RealPort real;
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
    std::atomic<size_t> from_unit_bytes{0};
    std::vector<uint8_t> to_send;  // qdxpoll's own frames, sent by the thread (under mutex)

    ~State() {
        real.Close();
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
        if (direction == Direction::kFromUnit) {
            last_from_unit.store(now.time_since_epoch().count());
            from_unit_bytes += n;
        }
        std::lock_guard<std::mutex> lock(log_mutex);
        log.push_back(WireChunk{now, direction, std::vector<uint8_t>(bytes, bytes + n)});
    }

    // Moves what the driver sent to the line; the driver's side is ours, and
    // goes only when cut. A write that fails loses the real side.
    void PassToUnit() {
        uint8_t buffer[512];
        const ssize_t n = read(master_fd, buffer, sizeof buffer);
        if (n <= 0) return;  // nothing yet (EAGAIN), or the driver's side was cut
        Record(Direction::kToUnit, buffer, static_cast<size_t>(n));
        if (show) decoder.Feed(Direction::kToUnit, buffer, static_cast<size_t>(n));
        if (real_open.load() && !real.Write(buffer, static_cast<size_t>(n))) LoseRealSide(real.lost_cause());
    }

    // Moves what came from the line to the driver; a read that fails loses
    // the real side (a device gone, a device server's connection closed).
    void PassFromUnit() {
        std::vector<uint8_t> data;
        const bool alive = real.Read(&data);
        if (!data.empty()) {
            Record(Direction::kFromUnit, data.data(), data.size());
            if (show) decoder.Feed(Direction::kFromUnit, data.data(), data.size());
            if (master_fd >= 0) WriteAll(master_fd, data.data(), data.size());
        }
        if (!alive) LoseRealSide(real.lost_cause());
    }

    // Sends qdxpoll's own frames, recorded and shown as the driver's are.
    void SendOwn() {
        std::vector<uint8_t> bytes;
        {
            std::lock_guard<std::mutex> lock(mutex);
            bytes.swap(to_send);
        }
        if (bytes.empty()) return;
        Record(Direction::kToUnit, bytes.data(), bytes.size());
        if (show) decoder.Feed(Direction::kToUnit, bytes.data(), bytes.size());
        if (real_open.load() && !real.Write(bytes.data(), bytes.size())) LoseRealSide(real.lost_cause());
    }

    // Relays everything already waiting on either side, without blocking.
    void Drain() {
        for (int round = 0; round < 64; ++round) {
            pollfd fds[2] = {{master_fd, POLLIN, 0}, {real_open.load() ? real.fd() : -1, POLLIN, 0}};
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
                {master_fd, POLLIN, 0}, {real_open.load() ? real.fd() : -1, POLLIN, 0}, {wake[0], POLLIN, 0}};
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
                SendOwn();
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

// The driver opens the pseudo-terminal itself: nothing to put under it.
bool TraceRelay::Attach(void*, std::string*) { return true; }

TraceRelay::TraceRelay() = default;

TraceRelay::~TraceRelay() { Stop(); }

bool TraceRelay::Start(const std::string& real_port, const LineValues& line, bool show_frames,
                       std::string* driver_port, std::string* error, bool* port_failed) {
    *port_failed = false;
    auto state = std::make_unique<State>();
    state->show = show_frames;
    // A device server has no device file to lock; a device has the UUCP
    // lock file that minicom, picocom and ser2net look for.
    if (!NamesDeviceServer(real_port) &&
        !TakePortLockFile(PortDevicePath(real_port), &state->lock_file, error)) {
        *port_failed = true;
        return false;
    }
    if (!state->real.Open(real_port, line, error)) {
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

bool TraceRelay::device_server() const { return state_ && state_->real.is_device_server(); }

int TraceRelay::round_trip_ms() const { return state_ ? state_->real.round_trip_ms() : 0; }

std::vector<WireChunk> TraceRelay::Poll(const std::string& frame, size_t enough, int timeout_ms) {
    if (!state_) return {};
    Take();  // what came before is not this poll's
    const size_t before = state_->from_unit_bytes.load();
    auto send = [&](const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->to_send.insert(state_->to_send.end(), bytes.begin(), bytes.end());
        }
        const char token = 'w';
        return write(state_->wake[1], &token, 1) == 1;
    };
    if (!send(frame)) return {};
    const auto sent = SteadyClock::now();
    const auto deadline = sent + std::chrono::milliseconds(timeout_ms);
    while (!Interrupted() && SteadyClock::now() < deadline) {
        const size_t got = state_->from_unit_bytes.load() - before;
        if (got >= enough) break;
        const SteadyClock::time_point last{SteadyClock::duration(state_->last_from_unit.load())};
        if (got > 0 && SteadyClock::now() - last >= std::chrono::milliseconds(kQuietMs)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<WireChunk> wire = Take();
    size_t from_unit = 0;
    for (const WireChunk& c : wire)
        if (c.direction == Direction::kFromUnit) from_unit += c.bytes.size();
    if (from_unit >= enough && enough > 1) {
        send(std::string(1, '\x04'));
        for (WireChunk& c : Take()) wire.push_back(std::move(c));
    }
    return wire;
}

void TraceRelay::InterruptFromSignal() {
    const int fd = g_interrupt_fd.load();
    if (fd < 0) return;
    const char token = 'i';
    const ssize_t ignored = write(fd, &token, 1);
    (void)ignored;
}
