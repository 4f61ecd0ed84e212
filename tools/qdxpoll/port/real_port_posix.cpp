// The relay's far side: a serial device or a device server.
#include "port/real_port_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "config/line_settings.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/serial_device_posix.h"
#include "port/write_all_posix.h"

namespace {

// A device server that takes longer than this to connect, or to confirm
// the line settings, is taken as unreachable.
constexpr int kServerTimeoutMs = 5000;

}  // namespace

RealPort::~RealPort() { Close(); }

void RealPort::Close() {
    CloseSerialDevice(device_fd_);
    device_fd_ = -1;
    server_.reset();
}

int RealPort::fd() const { return server_ ? server_->fd() : device_fd_; }

bool RealPort::Open(const std::string& user_port, const LineValues& line, std::string* error) {
    Close();
    if (NamesDeviceServer(user_port)) {
        DeviceServerAddress address;
        if (!ParseDeviceServer(user_port, &address, error)) return false;
        auto server = std::make_unique<DeviceServerLink>();
        if (!server->Open(address, FormatOf(line), kServerTimeoutMs, error)) return false;
        server_ = std::move(server);
        return true;
    }
    device_fd_ = OpenSerialDevice(PortDevicePath(user_port), line, error);
    if (device_fd_ < 0) return false;
    fcntl(device_fd_, F_SETFL, fcntl(device_fd_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool RealPort::Read(std::vector<uint8_t>* data) {
    if (server_) {
        if (server_->Read(data)) return true;
        lost_cause_ = errno == 0 ? "the device server closed the connection"
                                 : std::string("the device server's connection failed: ") + std::strerror(errno);
        return false;
    }
    uint8_t buffer[512];
    const ssize_t n = read(device_fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) {
        lost_cause_ = n == 0 ? "end of file" : std::string("read error: ") + std::strerror(errno);
        return false;
    }
    data->insert(data->end(), buffer, buffer + n);
    return true;
}

bool RealPort::Write(const uint8_t* bytes, size_t count) {
    if (server_) {
        if (server_->Write(bytes, count)) return true;
        lost_cause_ = "the device server's connection failed";
        return false;
    }
    if (WriteAll(device_fd_, bytes, count)) return true;
    // A device that takes nothing is stuck: the port is given up rather
    // than the relay.
    lost_cause_ = errno == ETIMEDOUT ? fmt::format("the device takes nothing (stuck for {} s)", kStuckWriteMs / 1000)
                                     : std::string("write error: ") + std::strerror(errno);
    return false;
}
