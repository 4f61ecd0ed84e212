// The connections of the page's server: cpp-httplib's loop of requests on a
// connection, over a stream of our own that enforces the limits.
#include "watch/watch_connections.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "watch/watch_system.h"

namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_close_after_response = false;

class BoundedStream final : public httplib::Stream {
public:
    BoundedStream(socket_t sock, const ConnectionLimits& limits, const std::atomic<socket_t>& listening)
        : sock_(sock), limits_(limits), listening_(listening) {}

    // Waits for the next request's first byte, up to the idle time.
    bool WaitForRequest() { return begin_ < end_ || Wait(POLLIN, Clock::now() + limits_.idle_time); }

    void BeginRequest() {
        deadline_ = Clock::now() + limits_.request_time;
        budget_ = limits_.request_bytes;
    }

    // A read ran out of time or bytes, or the client went: the connection
    // serves no more requests.
    bool spent() const { return spent_; }
    // A response stalled: the client took nothing of it for the stall time.
    bool stalled() const { return stalled_; }

    bool is_readable() const override { return begin_ < end_ || Wait(POLLIN, deadline_); }
    bool is_writable() const override { return Wait(POLLOUT, Clock::now() + limits_.stall_time); }

    ssize_t read(char* ptr, size_t size) override {
        if (budget_ == 0) return Spend();
        if (begin_ == end_) {
            long n;
            for (;;) {
                if (!Wait(POLLIN, deadline_)) return Spend();
                n = ReceiveNow(sock_, buffer_, sizeof buffer_);
                if (n != kSocketAgain) break;
            }
            if (n <= 0) {
                spent_ = true;
                return n < 0 ? -1 : 0;
            }
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min({size, end_ - begin_, budget_});
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        budget_ -= n;
        return static_cast<ssize_t>(n);
    }

    // Sends what the socket takes now (never blocking in send: a large
    // write would otherwise wait there for a client that does not read).
    ssize_t write(const char* ptr, size_t size) override {
        const auto stalled = Clock::now() + limits_.stall_time;
        for (;;) {
            if (!Wait(POLLOUT, stalled)) {
                stalled_ = true;
                return Spend();
            }
            const long n = SendNow(sock_, ptr, size);
            if (n >= 0) return n;
            if (n != kSocketAgain) return Spend();
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ConnectionAddress(sock_, true, &ip, &port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ConnectionAddress(sock_, false, &ip, &port);
    }
    socket_t socket() const override { return sock_; }

private:
    ssize_t Spend() {
        spent_ = true;
        return -1;
    }

    // Waits for the events up to the time, in short steps so that a stopping
    // server does not wait for it; false at the time, on an error, or when
    // the server stops.
    bool Wait(short events, Clock::time_point until) const {
        for (;;) {
            if (listening_ == INVALID_SOCKET) return false;
            const auto now = Clock::now();
            if (now >= until) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
            const int r = PollSocket(sock_, events, static_cast<int>(std::min<long long>(left, 100)));
            if (r > 0) return true;  // ready, or closed or failed: the next call says which
            if (r < 0) return false;
        }
    }

    socket_t sock_;
    const ConnectionLimits& limits_;
    const std::atomic<socket_t>& listening_;
    Clock::time_point deadline_ = Clock::now();
    size_t budget_ = 0;
    bool spent_ = false, stalled_ = false;
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
};

}  // namespace

BoundedServer::BoundedServer(const ConnectionLimits& limits) : limits_(limits) {
    const size_t workers = limits_.workers;
    new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    set_keep_alive_max_count(limits_.requests_per_connection);
    set_keep_alive_timeout(std::max<long long>(1, limits_.idle_time.count() / 1000));
}

void BoundedServer::CloseAfterResponse() { t_close_after_response = true; }

void BoundedServer::YieldToPolling() {
    // On a busy machine the thread that polls the units gets the processor
    // first, however many requests come.
    static thread_local bool done = false;
    if (done) return;
    done = true;
    LowerThreadPriority();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    YieldToPolling();
    PrepareConnection(sock, limits_.send_buffer_bytes);
    bool ok = false;
    BoundedStream stream(sock, limits_, svr_sock_);
    for (size_t left = limits_.requests_per_connection; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
        if (!stream.WaitForRequest()) break;
        stream.BeginRequest();
        t_close_after_response = false;
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        if (!ok || closed || t_close_after_response || stream.spent()) break;
    }
    // What a stalled client left unread is dropped with the connection, not
    // kept by the system for a client that may never read it.
    CloseConnection(sock, stream.stalled());
    return ok;
}
