// The connections of the page's server: cpp-httplib's loop of requests on a
// connection, over a stream of our own that enforces the limits.
#include "watch/watch_connections.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

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

// The client a connection counts for: its IPv4 address, or the /64 of its
// IPv6 one (a host is given a /64 and may use any address in it).
std::string ClientOf(socket_t sock) {
    std::string ip;
    int port = 0;
    if (!ConnectionAddress(sock, true, &ip, &port)) return "";
    ip = ip.substr(0, ip.find('%'));  // a link-local address's zone
    in6_addr address{};
    if (inet_pton(AF_INET6, ip.c_str(), &address) != 1) return ip;  // IPv4
    static const unsigned char kMappedV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    char text[INET6_ADDRSTRLEN + 4] = "";
    if (std::memcmp(address.s6_addr, kMappedV4, sizeof kMappedV4) == 0) {
        inet_ntop(AF_INET, address.s6_addr + 12, text, sizeof text);
        return text;
    }
    std::fill(address.s6_addr + 8, address.s6_addr + 16, 0);
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return std::string(text) + "/64";
}

// cpp-httplib hands each accepted connection to its task queue as a job
// that calls process_and_close_socket: run at once on the accepting thread,
// the job passes it on to the share, whose workers serve it.
class SharedWorkers final : public httplib::TaskQueue {
public:
    explicit SharedWorkers(std::unique_ptr<ClientShare> share) : share_(std::move(share)) {}
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override { share_->Stop(); }

private:
    std::unique_ptr<ClientShare> share_;
};

}  // namespace

BoundedServer::BoundedServer(const ConnectionLimits& limits) : limits_(limits) {
    new_task_queue = [this] {
        ClientShareLimits share;
        share.workers = limits_.workers;
        share.share = std::min(limits_.client_share, limits_.workers);
        auto workers = std::make_unique<ClientShare>(
            share, [this](socket_t sock) { Serve(sock); }, [](socket_t sock) { CloseConnection(sock, false); });
        share_ = workers.get();
        return new SharedWorkers(std::move(workers));
    };
    set_keep_alive_max_count(limits_.requests_per_connection);
    set_keep_alive_timeout(std::max<long long>(1, limits_.idle_time.count() / 1000));
}

void BoundedServer::CloseAfterResponse() { t_close_after_response = true; }

void BoundedServer::WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

void BoundedServer::YieldToPolling() {
    // On a busy machine the thread that polls the units gets the processor
    // first, however many requests come.
    static thread_local bool done = false;
    if (done) return;
    done = true;
    LowerThreadPriority();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    share_->Add(sock, ClientOf(sock));
    return true;
}

void BoundedServer::Serve(socket_t sock) {
    YieldToPolling();
    PrepareConnection(sock, limits_.send_buffer_bytes);
    BoundedStream stream(sock, limits_, svr_sock_);
    for (size_t left = limits_.requests_per_connection; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
        if (!stream.WaitForRequest()) break;
        stream.BeginRequest();
        t_close_after_response = false;
        bool closed = false;
        const bool ok = process_request(stream, left == 1, closed, nullptr);
        if (!ok || closed || t_close_after_response || stream.spent()) break;
    }
    // What a stalled client left unread is dropped with the connection, not
    // kept by the system for a client that may never read it.
    CloseConnection(sock, stream.stalled());
}
