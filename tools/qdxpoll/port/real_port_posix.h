// The far side of the wire relay: the serial device qdxpoll opened, or a
// device server's connection in its place. Either looks the same to the
// relay: a descriptor to wait on, data in and out, and a read that fails
// once the port is lost (a device gone, a connection closed).
#ifndef QDXPOLL_REAL_PORT_POSIX_H
#define QDXPOLL_REAL_PORT_POSIX_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/records.h"
#include "port/device_server_posix.h"

class RealPort {
public:
    RealPort() = default;
    ~RealPort();
    RealPort(const RealPort&) = delete;
    RealPort& operator=(const RealPort&) = delete;

    // Opens the port the user named at the line settings: a device path
    // (through its link, as given), or a device server (tcp:, rfc2217:),
    // which is connected to anew on every Open. False with *error set.
    bool Open(const std::string& user_port, const LineValues& line, std::string* error);
    void Close();

    bool is_open() const { return fd() >= 0; }
    int fd() const;
    bool is_device_server() const { return server_ != nullptr; }
    // The network's round trip measured at the last Open; 0 for a device.
    int round_trip_ms() const { return server_ ? server_->round_trip_ms() : 0; }

    // Takes what came from the line into *data (maybe nothing); false once
    // the port is lost.
    bool Read(std::vector<uint8_t>* data);
    // Sends bytes to the line; false once the port is lost.
    bool Write(const uint8_t* bytes, size_t count);
    // Why the last Read or Write failed: "end of file", "the device server
    // closed the connection", "read error: ...".
    const std::string& lost_cause() const { return lost_cause_; }

private:
    // With --rts: the driver's own RS-485 mode where it has one, else RTS
    // raised and dropped around every write. False with *error when the
    // device has neither.
    bool StartRtsDirection(const std::string& device, std::string* error);
    void EndRtsDirection();

    int device_fd_ = -1;
    bool rts_toggled_ = false;   // qdxpoll raises RTS around each write
    bool rs485_set_ = false;     // the driver's RS-485 mode was switched on
    std::vector<uint8_t> rs485_before_;  // its setting before, put back at Close
    std::string lost_cause_;
    std::unique_ptr<DeviceServerLink> server_;
};

#endif  // QDXPOLL_REAL_PORT_POSIX_H
