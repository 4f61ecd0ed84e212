// Connecting to a device server, and its RFC 2217 line settings.
#include "port/device_server_posix.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
    return static_cast<int>(
        std::ceil(std::chrono::duration<double, std::milli>(Clock::now() - start).count()));
}

// A connection that stops answering is noticed within about 15 s, as a
// device that vanished: keepalive probes while idle, and a bound on data
// left unacknowledged.
void WatchForSilentLoss(int fd) {
    const int on = 1, idle = 5, interval = 2, count = 3, unacked_ms = 15000;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // frames are small: no batching
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked_ms, sizeof unacked_ms);
}

// One non-blocking connect, waited for at most timeout_ms; the socket, or -1
// with *why set.
int ConnectOne(const addrinfo* ai, int timeout_ms, std::string* why) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *why = std::strerror(errno);
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *why = std::strerror(errno);
        close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int ready;
    while ((ready = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (ready == 0) {
        *why = fmt::format("no connection within {} ms", timeout_ms);
        close(fd);
        return -1;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr != 0) {
        *why = std::strerror(soerr != 0 ? soerr : errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

DeviceServerLink::~DeviceServerLink() { Close(); }

void DeviceServerLink::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool DeviceServerLink::Open(const DeviceServerAddress& address, const rexf::LineFormat& line, int timeout_ms,
                            std::string* error) {
    Close();
    codec_ = telnet::Codec();
    telnet_ = address.kind == ServerKind::kRfc2217;
    const std::string shown = address.numeric_ipv6 ? "[" + address.host + "]" : address.host;
    addrinfo hints{};  // any address family
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (address.numeric_ipv6 ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = fmt::format("cannot find the device server {}: {}", shown, gai_strerror(rc));
        return false;
    }
    std::string why = "no address";
    const auto start = Clock::now();
    for (const addrinfo* ai = found; ai && fd_ < 0; ai = ai->ai_next) fd_ = ConnectOne(ai, timeout_ms, &why);
    freeaddrinfo(found);
    if (fd_ < 0) {
        *error = fmt::format("cannot connect to the device server {}:{}: {}", shown, address.port, why);
        return false;
    }
    round_trip_ms_ = MsSince(start);
    WatchForSilentLoss(fd_);
    if (telnet_ && !Negotiate(line, timeout_ms, error)) {
        Close();
        return false;
    }
    return true;
}

bool DeviceServerLink::SendRaw(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, 1000) == 0) return false;  // nothing taken for a second: gone
        } else {
            return false;
        }
    }
    return true;
}

// Offers the options, sends the line settings and waits for the server to
// confirm each; the time to the last confirmation is the round trip.
bool DeviceServerLink::Negotiate(const rexf::LineFormat& line, int timeout_ms, std::string* error) {
    std::vector<uint8_t> hello = telnet::Greeting();
    const std::vector<uint8_t> commands = telnet::LineCommands(line);
    hello.insert(hello.end(), commands.begin(), commands.end());
    const auto sent = Clock::now();
    if (!SendRaw(hello)) {
        *error = "the device server closed the connection at once";
        return false;
    }
    telnet::LineConfirmation confirmation(line);
    std::vector<uint8_t> ignored;
    while (!confirmation.complete()) {
        const int left = timeout_ms - MsSince(sent);
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) == 0) {
            *error = fmt::format(
                "the device server did not confirm the line settings within {} ms (is it a telnet server with "
                "RFC 2217? for a raw TCP port use tcp:)",
                timeout_ms);
            return false;
        }
        std::vector<uint8_t> got(512), answer;
        const ssize_t n = recv(fd_, got.data(), got.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            *error = "the device server closed the connection while the line was being set";
            return false;
        }
        std::vector<telnet::ComPortReply> replies;
        codec_.Decode(got.data(), static_cast<size_t>(n), &ignored, &answer, &replies);
        if (!answer.empty() && !SendRaw(answer)) {
            *error = "the device server closed the connection while the line was being set";
            return false;
        }
        if (codec_.com_port_refused()) {
            *error = "the device server refuses RFC 2217's COM-PORT option, so the line cannot be set from here "
                     "(set it on the server and use tcp:)";
            return false;
        }
        if (!confirmation.Take(replies, error)) return false;
    }
    // Data that came before the line was set is no answer to anything.
    round_trip_ms_ = std::max(round_trip_ms_, MsSince(sent));
    return true;
}

bool DeviceServerLink::Read(std::vector<uint8_t>* data) {
    uint8_t buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) {
        errno = 0;  // closed by the server, not failed
        return false;
    }
    if (!telnet_) {
        data->insert(data->end(), buffer, buffer + n);
        return true;
    }
    std::vector<uint8_t> answer;
    std::vector<telnet::ComPortReply> replies;
    std::lock_guard<std::mutex> lock(mutex_);
    codec_.Decode(buffer, static_cast<size_t>(n), data, &answer, &replies);
    return answer.empty() || SendRaw(answer);
}

bool DeviceServerLink::Write(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!telnet_) return SendRaw(std::vector<uint8_t>(bytes, bytes + count));
    return SendRaw(codec_.Encode(bytes, count));
}
