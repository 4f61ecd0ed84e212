// The far side of the wire relay on Windows: the COM port qdxpoll opened
// (overlapped, so that a read in wait never holds up a write), or a device
// server's connection in its place.
#ifndef QDXPOLL_REAL_PORT_WIN32_H
#define QDXPOLL_REAL_PORT_WIN32_H

#include <winsock2.h>  // before windows.h, which the device server needs
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/records.h"
#include "port/device_server_win32.h"

class RealPortWin32 {
public:
    RealPortWin32() = default;
    ~RealPortWin32();
    RealPortWin32(const RealPortWin32&) = delete;
    RealPortWin32& operator=(const RealPortWin32&) = delete;

    // Opens the port the user named at the line settings: a COM port, or a
    // device server (tcp:, rfc2217:). False with *error set.
    bool Open(const std::string& user_port, const LineValues& line, std::string* error);
    void Close();

    bool is_device_server() const { return server_ != nullptr; }
    int round_trip_ms() const { return server_ ? server_->round_trip_ms() : 0; }

    // Waits at most about wait_ms for what comes from the line; false once
    // the port is lost (lost_cause() says how).
    bool Read(std::vector<uint8_t>* data, int wait_ms);
    // Sends bytes to the line; false once the port is lost.
    bool Write(const uint8_t* bytes, size_t count);
    // Puts the line the driver asked for on the port (a COM port's state, a
    // device server's RFC 2217 settings); a raw TCP server keeps its own.
    bool SetLine(const LineValues& line);
    // Ends a read in wait (from another thread).
    void CancelRead();
    std::string lost_cause() const { return lost_cause_; }

private:
    bool OpenComPort(const std::string& name, const LineValues& line, std::string* error);
    bool Finish(OVERLAPPED* o, BOOL started, DWORD* n, DWORD wait_ms);

    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE read_event_ = nullptr;
    HANDLE write_event_ = nullptr;
    std::string lost_cause_;
    std::unique_ptr<DeviceServerSocket> server_;
};

#endif  // QDXPOLL_REAL_PORT_WIN32_H
