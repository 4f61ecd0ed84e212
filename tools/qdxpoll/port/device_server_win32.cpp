// Connecting to a device server through Winsock, and its RFC 2217 line.
#include "port/device_server_win32.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include <fmt/format.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
    return static_cast<int>(std::ceil(std::chrono::duration<double, std::milli>(Clock::now() - start).count()));
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Waits at most ms for the socket to become readable (or writable).
int WaitFor(SOCKET s, bool write, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors = set;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, write ? &errors : nullptr, &tv);
}

// A connection that stops answering is noticed within about 15 s: keepalive
// probes while idle, and no batching of the small frames.
void WatchForSilentLoss(SOCKET s) {
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keepalive{1, 5000, 2000};
    DWORD unused = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &unused, nullptr, nullptr);
    const DWORD send_ms = 1000;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_ms), sizeof send_ms);
}

SOCKET ConnectOne(const addrinfo* ai, int timeout_ms, std::string* why) {
    SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
        *why = fmt::format("socket error {}", WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        *why = fmt::format("connection refused or unreachable (error {})", WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
    }
    const int ready = WaitFor(s, true, timeout_ms);
    int soerr = 0;
    int len = sizeof soerr;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len);
    if (ready <= 0 || soerr != 0) {
        *why = ready == 0 ? fmt::format("no connection within {} ms", timeout_ms)
                          : fmt::format("connection refused or unreachable (error {})", soerr);
        closesocket(s);
        return INVALID_SOCKET;
    }
    nonblocking = 0;
    ioctlsocket(s, FIONBIO, &nonblocking);
    return s;
}

}  // namespace

DeviceServerSocket::~DeviceServerSocket() { Close(); }

void DeviceServerSocket::Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

bool DeviceServerSocket::Open(const DeviceServerAddress& address, const rexf::LineFormat& line, int timeout_ms,
                              std::string* error) {
    Close();
    codec_ = telnet::Codec();
    telnet_ = address.kind == ServerKind::kRfc2217;
    const std::string shown = address.numeric_ipv6 ? "[" + address.host + "]" : address.host;
    if (!StartWinsock()) {
        *error = "Winsock did not start";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (address.numeric_ipv6 ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = fmt::format("cannot find the device server {}: error {}", shown, rc);
        return false;
    }
    std::string why = "no address";
    const auto start = Clock::now();
    for (const addrinfo* ai = found; ai && socket_ == INVALID_SOCKET; ai = ai->ai_next)
        socket_ = ConnectOne(ai, timeout_ms, &why);
    freeaddrinfo(found);
    if (socket_ == INVALID_SOCKET) {
        *error = fmt::format("cannot connect to the device server {}:{}: {}", shown, address.port, why);
        return false;
    }
    round_trip_ms_ = MsSince(start);
    WatchForSilentLoss(socket_);
    if (telnet_ && !Negotiate(line, timeout_ms, error)) {
        Close();
        return false;
    }
    return true;
}

bool DeviceServerSocket::SendRaw(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int n = send(socket_, reinterpret_cast<const char*>(bytes.data() + done),
                           static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;  // an error, or nothing taken within the send timeout: gone
        done += static_cast<size_t>(n);
    }
    return true;
}

// Offers the options, sends the line settings and waits for the server to
// confirm each; the time to the last confirmation is the round trip.
bool DeviceServerSocket::Negotiate(const rexf::LineFormat& line, int timeout_ms, std::string* error) {
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
        if (left <= 0 || WaitFor(socket_, false, left) <= 0) {
            *error = fmt::format(
                "the device server did not confirm the line settings within {} ms (is it a telnet server with "
                "RFC 2217? for a raw TCP port use tcp:)",
                timeout_ms);
            return false;
        }
        std::vector<uint8_t> got(512), answer;
        const int n = recv(socket_, reinterpret_cast<char*>(got.data()), static_cast<int>(got.size()), 0);
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
    round_trip_ms_ = std::max(round_trip_ms_, MsSince(sent));
    return true;
}

bool DeviceServerSocket::Read(std::vector<uint8_t>* data, int wait_ms, std::string* why) {
    const int ready = WaitFor(socket_, false, wait_ms);
    if (ready == 0) return true;
    uint8_t buffer[512];
    const int n = ready < 0 ? -1 : recv(socket_, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n == 0) {
        *why = "the device server closed the connection";
        return false;
    }
    if (n < 0) {
        *why = fmt::format("the device server's connection failed (error {})", WSAGetLastError());
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
    if (!answer.empty() && !SendRaw(answer)) {
        *why = "the device server's connection failed";
        return false;
    }
    return true;
}

bool DeviceServerSocket::Write(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!telnet_) return SendRaw(std::vector<uint8_t>(bytes, bytes + count));
    return SendRaw(codec_.Encode(bytes, count));
}

bool DeviceServerSocket::SetLine(const rexf::LineFormat& line) {
    if (!telnet_) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    return SendRaw(telnet::LineCommands(line));
}
