// The relay's far side on Windows: a COM port or a device server.
#include "port/real_port_win32.h"

#include <fmt/format.h>

#include "config/line_settings.h"
#include "port/device_server_address.h"
#include "port/rts_direction.h"

namespace {

// A device server that takes longer than this to connect, or to confirm
// the line settings, is taken as unreachable.
constexpr int kServerTimeoutMs = 5000;
// A write the port has not taken within this time: the device is stuck.
constexpr DWORD kStuckWriteMs = 5000;

// COM10 and above open only by their device name; COM1..COM9 by either.
std::string DeviceName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

std::string OpenError(const std::string& name, DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return name + ": no such port";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return name + " is in use by another program";
        default: return fmt::format("{}: error {}", name, error);
    }
}

void PutLine(const LineValues& line, DCB* dcb) {
    dcb->BaudRate = line.baud_rate;
    dcb->ByteSize = static_cast<BYTE>(line.data_bits);
    dcb->Parity = static_cast<BYTE>(line.parity);
    dcb->StopBits = static_cast<BYTE>(line.stop_bits);
    dcb->fBinary = 1;
    dcb->fParity = line.parity != 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    // --rts: the port's driver raises RTS while it sends and drops it after,
    // for an RS-485 adapter that switches its direction by RTS.
    dcb->fRtsControl = RtsDirectionAsked() ? RTS_CONTROL_TOGGLE : RTS_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fNull = 0;
    dcb->fAbortOnError = 0;
}

}  // namespace

RealPortWin32::~RealPortWin32() { Close(); }

void RealPortWin32::Close() {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    device_ = INVALID_HANDLE_VALUE;
    for (HANDLE* e : {&read_event_, &write_event_}) {
        if (*e != nullptr) CloseHandle(*e);
        *e = nullptr;
    }
    server_.reset();
}

bool RealPortWin32::Open(const std::string& user_port, const LineValues& line, std::string* error) {
    Close();
    lost_cause_.clear();
    if (NamesDeviceServer(user_port)) {
        DeviceServerAddress address;
        if (!ParseDeviceServer(user_port, &address, error)) return false;
        auto server = std::make_unique<DeviceServerSocket>();
        if (!server->Open(address, FormatOf(line), kServerTimeoutMs, error)) return false;
        server_ = std::move(server);
        return true;
    }
    return OpenComPort(user_port, line, error);
}

bool RealPortWin32::OpenComPort(const std::string& name, const LineValues& line, std::string* error) {
    device_ = CreateFileA(DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
        *error = OpenError(name, GetLastError());
        return false;
    }
    read_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (read_event_ == nullptr || write_event_ == nullptr || !GetCommState(device_, &dcb)) {
        *error = name + " is no serial port";
        Close();
        return false;
    }
    PutLine(line, &dcb);
    if (!SetCommState(device_, &dcb)) {
        *error = fmt::format("{} refused the line settings {} (error {})", name, LineText(line), GetLastError());
        Close();
        return false;
    }
    // A read returns at once with what is there; the wait for more is
    // WaitCommEvent's (Wine completes a read that waits only at the end of
    // its total timeout, which would make every answer that late).
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, kStuckWriteMs};
    if (!SetCommTimeouts(device_, &t) || !SetCommMask(device_, EV_RXCHAR)) {
        *error = fmt::format("{} refused its timeouts (error {})", name, GetLastError());
        Close();
        return false;
    }
    PurgeComm(device_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

// Waits for an overlapped call; false when it failed (not when cancelled).
bool RealPortWin32::Finish(OVERLAPPED* o, BOOL started, DWORD* n, DWORD wait_ms) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (!started && WaitForSingleObject(o->hEvent, wait_ms) != WAIT_OBJECT_0) CancelIoEx(device_, o);
    if (GetOverlappedResult(device_, o, n, TRUE)) return true;
    return GetLastError() == ERROR_OPERATION_ABORTED;
}

bool RealPortWin32::Read(std::vector<uint8_t>* data, int wait_ms) {
    if (server_) return server_->Read(data, wait_ms, &lost_cause_);
    // A device that went away (a USB adapter pulled) fails this first.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(device_, &errors, &status)) {
        lost_cause_ = fmt::format("the port is gone (error {})", GetLastError());
        return false;
    }
    if (status.cbInQue == 0) {
        // Nothing there: wait for a byte to come, at most wait_ms.
        OVERLAPPED o{};
        o.hEvent = read_event_;
        ResetEvent(read_event_);
        DWORD mask = 0, unused = 0;
        const BOOL started = WaitCommEvent(device_, &mask, &o);
        if (!Finish(&o, started, &unused, static_cast<DWORD>(wait_ms))) {
            lost_cause_ = fmt::format("the port's wait failed (error {})", GetLastError());
            return false;
        }
    }
    uint8_t buffer[512];
    OVERLAPPED o{};
    o.hEvent = read_event_;
    ResetEvent(read_event_);
    DWORD n = 0;
    const BOOL started = ReadFile(device_, buffer, sizeof buffer, &n, &o);
    if (!Finish(&o, started, &n, 1000)) {
        const DWORD error = GetLastError();
        lost_cause_ = error == ERROR_BROKEN_PIPE ? "end of file (the far side closed)"
                                                 : fmt::format("read error {}", error);
        return false;
    }
    data->insert(data->end(), buffer, buffer + n);
    return true;
}

bool RealPortWin32::Write(const uint8_t* bytes, size_t count) {
    if (server_) {
        if (server_->Write(bytes, count)) return true;
        lost_cause_ = "the device server's connection failed";
        return false;
    }
    OVERLAPPED o{};
    o.hEvent = write_event_;
    ResetEvent(write_event_);
    DWORD n = 0;
    const BOOL started = WriteFile(device_, bytes, static_cast<DWORD>(count), &n, &o);
    if (!Finish(&o, started, &n, kStuckWriteMs + 1000)) {
        lost_cause_ = fmt::format("write error {}", GetLastError());
        return false;
    }
    if (n != count) {
        lost_cause_ = fmt::format("the device takes nothing (stuck for {} s)", kStuckWriteMs / 1000);
        return false;
    }
    return true;
}

bool RealPortWin32::SetLine(const LineValues& line) {
    if (server_) return server_->SetLine(FormatOf(line));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(device_, &dcb)) return false;
    if (dcb.BaudRate == line.baud_rate && dcb.ByteSize == line.data_bits && dcb.Parity == line.parity &&
        dcb.StopBits == line.stop_bits)
        return true;
    PutLine(line, &dcb);
    return SetCommState(device_, &dcb) != 0;
}

void RealPortWin32::CancelRead() {
    if (device_ != INVALID_HANDLE_VALUE) CancelIoEx(device_, nullptr);
}
