// The relay's far side: a serial device or a device server.
#include "port/real_port_posix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "config/line_settings.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/rts_direction.h"
#include "port/serial_device_posix.h"
#include "port/write_all_posix.h"

namespace {

// A device server that takes longer than this to connect, or to confirm
// the line settings, is taken as unreachable.
constexpr int kServerTimeoutMs = 5000;

}  // namespace

RealPort::~RealPort() { Close(); }

void RealPort::Close() {
    EndRtsDirection();
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
        if (!server->Open(address, FormatOf(line), kServerTimeoutMs, error)) {
            // A server closes the connection when it cannot open its serial
            // device, which may still be closing after the previous client:
            // one more try a second later.
            if (error->find("closed the connection") == std::string::npos) return false;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            server = std::make_unique<DeviceServerLink>();
            if (!server->Open(address, FormatOf(line), kServerTimeoutMs, error)) {
                if (error->find("closed the connection") != std::string::npos)
                    *error = "the device server closed the connection twice, a second apart, as the line was set: "
                             "it could not open its serial device";
                return false;
            }
        }
        server_ = std::move(server);
        return true;
    }
    device_fd_ = OpenSerialDevice(PortDevicePath(user_port), line, error);
    if (device_fd_ < 0) return false;
    fcntl(device_fd_, F_SETFL, fcntl(device_fd_, F_GETFL) | O_NONBLOCK);
    if (RtsDirectionAsked() && !StartRtsDirection(user_port, error)) {
        Close();
        return false;
    }
    return true;
}

bool RealPort::StartRtsDirection(const std::string& device, std::string* error) {
    serial_rs485 before{};
    if (ioctl(device_fd_, TIOCGRS485, &before) == 0) {
        serial_rs485 wanted = before;
        wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        wanted.flags &= ~static_cast<decltype(wanted.flags)>(SER_RS485_RTS_AFTER_SEND);
        if (ioctl(device_fd_, TIOCSRS485, &wanted) == 0) {
            const auto* b = reinterpret_cast<const uint8_t*>(&before);
            rs485_before_.assign(b, b + sizeof before);
            rs485_set_ = true;
            return true;
        }
    }
    // No RS-485 mode in the driver: RTS by hand, low until a write.
    int rts = TIOCM_RTS;
    if (ioctl(device_fd_, TIOCMBIC, &rts) == 0) {
        rts_toggled_ = true;
        return true;
    }
    *error = "cannot drive RTS on " + device + " for --rts: its driver has no RS-485 mode and no RTS line (" +
             std::strerror(errno) + ")";
    return false;
}

void RealPort::EndRtsDirection() {
    if (rs485_set_ && device_fd_ >= 0) {
        serial_rs485 before{};
        std::memcpy(&before, rs485_before_.data(), std::min(sizeof before, rs485_before_.size()));
        ioctl(device_fd_, TIOCSRS485, &before);
    }
    rs485_set_ = false;
    rts_toggled_ = false;
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
    int rts = TIOCM_RTS;
    if (rts_toggled_) ioctl(device_fd_, TIOCMBIS, &rts);
    const bool written = WriteAll(device_fd_, bytes, count);
    if (rts_toggled_) {
        // Low again only once the last bit has left the line.
        const int saved = errno;
        tcdrain(device_fd_);
        ioctl(device_fd_, TIOCMBIC, &rts);
        errno = saved;
    }
    if (written) return true;
    // A device that takes nothing is stuck: the port is given up rather
    // than the relay.
    lost_cause_ = errno == ETIMEDOUT ? fmt::format("the device takes nothing (stuck for {} s)", kStuckWriteMs / 1000)
                                     : std::string("write error: ") + std::strerror(errno);
    return false;
}
