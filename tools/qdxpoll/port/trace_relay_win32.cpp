// Wire relay on Windows: qdxpoll opens the real port itself and serves the
// driver's serial calls from its own layer (wire_layer_win32.cpp): what the
// driver writes goes to the port, what the port sends waits for the driver's
// reads, which end as the timeouts the driver set say. A thread reads the
// port; every byte is recorded and, with --trace, shown in frames.
#include "port/trace_relay.h"

#include <winsock2.h>  // before windows.h, which the device server needs
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "base/console.h"
#include "base/times.h"
#include "diagnosis/frame_decoder.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/read_timeouts.h"
#include "port/real_port_win32.h"
#include "port/wire_layer_win32.h"

namespace {

// A frame that is not followed by more bytes within this time is complete.
constexpr int kQuietMs = 30;
// A read the driver let wait without limit still looks at Ctrl-C and the
// port this often.
constexpr int kLongestWaitMs = 100;
// The driver's name for a device server, which has no name of its own that
// fits the driver's 11 characters.
constexpr const char kServerDriverName[] = "QDXNET";

enum class Attachment { kNotTried, kAttached, kFailed };
std::atomic<Attachment> g_attachment{Attachment::kNotTried};

void ShowFrame(FrameDecoder::Time time, Direction direction, const std::vector<uint8_t>& bytes) {
    ErrorLine(fmt::format("trace {} {} {:<32} {}", ClockTime(time), direction == Direction::kToUnit ? "->" : "<-",
                          ShowBytes(bytes), DescribeFrame(direction, bytes)));
}

int64_t MsBetween(SteadyClock::time_point a, SteadyClock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

}  // namespace

struct TraceRelay::State : ServedPort {
    RealPortWin32 real;
    std::string driver_name;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> real_open{true};
    std::atomic<bool> cut{false};  // Ctrl-C: the driver's reads and writes fail
    std::mutex lost_mutex;
    std::string lost_cause;
    bool show = false;
    std::mutex decoder_mutex;
    FrameDecoder decoder{ShowFrame};
    std::mutex log_mutex;
    std::vector<WireChunk> log;
    std::atomic<SteadyClock::rep> last_from_unit{0};
    std::atomic<size_t> from_unit_bytes{0};
    // The driver's side: what came from the line and waits for its reads,
    // and the port settings it keeps.
    std::mutex in_mutex;
    std::condition_variable arrived;
    std::deque<uint8_t> inbound;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};

    void LoseRealSide(const std::string& cause) {
        if (!real_open.exchange(false)) return;
        {
            std::lock_guard<std::mutex> lock(lost_mutex);
            lost_cause = cause;
        }
        std::lock_guard<std::mutex> lock(in_mutex);
        arrived.notify_all();
    }

    void Cut() {
        cut.store(true);
        std::lock_guard<std::mutex> lock(in_mutex);
        arrived.notify_all();
    }

    void Record(Direction direction, const uint8_t* bytes, size_t n) {
        const auto now = SteadyClock::now();
        if (direction == Direction::kFromUnit) {
            last_from_unit.store(now.time_since_epoch().count());
            from_unit_bytes += n;
        }
        {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(WireChunk{now, direction, std::vector<uint8_t>(bytes, bytes + n)});
        }
        if (show) {
            std::lock_guard<std::mutex> lock(decoder_mutex);
            decoder.Feed(direction, bytes, n);
        }
    }

    // Sends bytes to the line, recorded as they go.
    bool Send(const uint8_t* bytes, size_t n) {
        Record(Direction::kToUnit, bytes, n);
        if (!real_open.load()) return false;
        if (real.Write(bytes, n)) return true;
        LoseRealSide(real.lost_cause());
        return false;
    }

    void Run() {
        while (!stop.load() && real_open.load()) {
            std::vector<uint8_t> data;
            const bool alive = real.Read(&data, kQuietMs);
            if (!data.empty()) {
                Record(Direction::kFromUnit, data.data(), data.size());
                std::lock_guard<std::mutex> lock(in_mutex);
                inbound.insert(inbound.end(), data.begin(), data.end());
                arrived.notify_all();
            } else if (show) {
                std::lock_guard<std::mutex> lock(decoder_mutex);
                decoder.FlushIdle();
            }
            if (!alive) LoseRealSide(real.lost_cause());
        }
        if (show) {
            std::lock_guard<std::mutex> lock(decoder_mutex);
            decoder.Flush();
        }
    }

    // The driver's calls, as a COM port answers them.
    BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    BOOL Read(void* buffer, DWORD count, DWORD* got) override {
        *got = 0;
        const ReadClock clock(ReadTimeouts{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                                           timeouts.ReadTotalTimeoutConstant},
                              count);
        const auto start = SteadyClock::now();
        int64_t last_byte_ms = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        std::unique_lock<std::mutex> lock(in_mutex);
        for (;;) {
            if (cut.load()) return Fail(ERROR_OPERATION_ABORTED);
            const size_t take = std::min<size_t>(count - *got, inbound.size());
            if (take > 0) {
                std::copy_n(inbound.begin(), take, out + *got);
                inbound.erase(inbound.begin(), inbound.begin() + static_cast<std::ptrdiff_t>(take));
                *got += static_cast<DWORD>(take);
                last_byte_ms = MsBetween(start, SteadyClock::now());
            }
            const int64_t wait = clock.WaitMs(*got, MsBetween(start, SteadyClock::now()), last_byte_ms);
            if (wait == 0) return TRUE;
            // A port that is gone answers no read that still waits.
            if (!real_open.load()) return Fail(ERROR_BAD_COMMAND);
            const int64_t slice = wait < 0 ? kLongestWaitMs : std::min<int64_t>(wait, kLongestWaitMs);
            arrived.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(1, slice)));
        }
    }

    BOOL Write(const void* bytes, DWORD count, DWORD* done) override {
        *done = 0;
        // After Ctrl-C nothing more goes to the line: not the driver's
        // retries either.
        if (cut.load()) return Fail(ERROR_OPERATION_ABORTED);
        if (!Send(static_cast<const uint8_t*>(bytes), count)) return Fail(ERROR_BAD_COMMAND);
        *done = count;
        return TRUE;
    }

    BOOL GetState(DCB* out) override {
        std::lock_guard<std::mutex> lock(in_mutex);
        *out = dcb;
        return TRUE;
    }

    // The line the driver asks for goes to the port; one it refuses is
    // refused to the driver.
    BOOL SetState(const DCB& wanted) override {
        if (!real_open.load()) return Fail(ERROR_BAD_COMMAND);
        const LineValues line{static_cast<uint16_t>(wanted.BaudRate), wanted.ByteSize, wanted.StopBits,
                              wanted.Parity};
        if (wanted.BaudRate == 0 || wanted.BaudRate > 0xFFFF || !real.SetLine(line))
            return Fail(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(in_mutex);
        dcb = wanted;
        dcb.DCBlength = sizeof dcb;
        return TRUE;
    }

    BOOL GetTimeouts(COMMTIMEOUTS* out) override {
        std::lock_guard<std::mutex> lock(in_mutex);
        *out = timeouts;
        return TRUE;
    }

    BOOL SetTimeouts(const COMMTIMEOUTS& wanted) override {
        std::lock_guard<std::mutex> lock(in_mutex);
        timeouts = wanted;
        return TRUE;
    }

    BOOL ClearError(DWORD* errors, COMSTAT* status) override {
        if (!real_open.load()) return Fail(ERROR_BAD_COMMAND);
        std::lock_guard<std::mutex> lock(in_mutex);
        if (errors != nullptr) *errors = 0;
        if (status != nullptr) {
            std::memset(status, 0, sizeof *status);
            status->cbInQue = static_cast<DWORD>(inbound.size());
        }
        return TRUE;
    }
};

namespace {

// The running relay, for the console's Ctrl-C handler.
std::mutex g_running_mutex;
TraceRelay::State* g_running = nullptr;

}  // namespace

bool TraceRelay::Attach(void* module, std::string* why) {
    if (g_attachment.load() == Attachment::kFailed) return false;
    const bool ok = AttachWireLayer(static_cast<HMODULE>(module), why);
    g_attachment.store(ok ? Attachment::kAttached : Attachment::kFailed);
    return ok;
}

bool TraceRelay::Available() { return g_attachment.load() != Attachment::kFailed; }

TraceRelay::TraceRelay() = default;

TraceRelay::~TraceRelay() { Stop(); }

bool TraceRelay::Start(const std::string& real_port, const LineValues& line, bool show_frames,
                       std::string* driver_port, std::string* error, bool* port_failed) {
    *port_failed = false;
    if (g_attachment.load() != Attachment::kAttached) {
        *error = "qdxpoll's layer is not under the module, so it cannot watch the line (--direct)";
        return false;
    }
    auto state = std::make_unique<State>();
    state->show = show_frames;
    if (!state->real.Open(real_port, line, error)) {
        *port_failed = true;
        return false;
    }
    state->dcb.DCBlength = sizeof state->dcb;
    state->dcb.BaudRate = line.baud_rate;
    state->dcb.ByteSize = static_cast<BYTE>(line.data_bits);
    state->dcb.Parity = static_cast<BYTE>(line.parity);
    state->dcb.StopBits = static_cast<BYTE>(line.stop_bits);
    state->dcb.fBinary = 1;
    state->driver_name = NamesDeviceServer(real_port) || real_port.size() > kPortNameMax ? kServerDriverName : real_port;
    *driver_port = state->driver_name;
    State* raw = state.get();
    ServePort(state->driver_name, raw);
    state->thread = std::thread([raw] { raw->Run(); });
    {
        std::lock_guard<std::mutex> lock(g_running_mutex);
        g_running = raw;
    }
    state_ = std::move(state);
    // A Ctrl-C that came while the relay was being set up still cuts it.
    if (Interrupted()) InterruptFromSignal();
    return true;
}

// The driver's writes are recorded as it makes them, and the reading thread
// records what comes as it comes: nothing is held back to wait for.
void TraceRelay::Sync() {}

bool TraceRelay::Lost(std::string* cause) const {
    if (!state_ || state_->real_open.load()) return false;
    std::lock_guard<std::mutex> lock(state_->lost_mutex);
    *cause = state_->lost_cause;
    return true;
}

std::vector<WireChunk> TraceRelay::Take() {
    std::vector<WireChunk> taken;
    if (!state_) return taken;
    std::lock_guard<std::mutex> lock(state_->log_mutex);
    taken.swap(state_->log);
    return taken;
}

void TraceRelay::ListenQuiet(int quiet_ms, int max_ms) {
    if (!state_) return;
    const auto start = SteadyClock::now();
    const auto quiet = std::chrono::milliseconds(quiet_ms);
    while (!Interrupted() && state_->real_open.load()) {
        const auto now = SteadyClock::now();
        if (now - start >= std::chrono::milliseconds(max_ms)) break;
        const SteadyClock::time_point last{SteadyClock::duration(state_->last_from_unit.load())};
        if (now - std::max(start, last) >= quiet) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TraceRelay::Stop() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(g_running_mutex);
        g_running = nullptr;
    }
    UnservePort();
    state_->stop.store(true);
    state_->real.CancelRead();
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
        return state_->Send(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    if (!send(frame)) return Take();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    while (!Interrupted() && SteadyClock::now() < deadline && state_->real_open.load()) {
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

// Called from the console's handler thread: wakes a read in wait and
// refuses the driver's writes from now on.
void TraceRelay::InterruptFromSignal() {
    std::lock_guard<std::mutex> lock(g_running_mutex);
    if (g_running != nullptr) g_running->Cut();
}
