// Trying one line setting on a COM port (Win32), for probe.
#include "port/port_probe.h"

#include <windows.h>

#include <algorithm>

#include "platform/platform.h"

LineTry TryLineSetting(const std::string& port, const LineValues& line, const std::vector<uint8_t>& frame,
                       size_t need, int timeout_ms) {
    LineTry t;
    HANDLE h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        t.port_failed = true;
        t.error = "cannot open " + port + (GetLastError() == ERROR_ACCESS_DENIED ? ": in use by another program"
                                                                                 : ": no such port");
        return t;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = line.baud_rate;
    dcb.ByteSize = static_cast<BYTE>(line.data_bits);
    dcb.Parity = static_cast<BYTE>(line.parity);      // the same codes: none, odd, even, mark, space
    dcb.StopBits = static_cast<BYTE>(line.stop_bits);  // 0 one, 1 one and a half, 2 two
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;  // an RS-485 adapter steered by RTS must hear the answer
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // a read returns what has come within 20 ms
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 20;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts)) {
        t.error = "the port refused the line settings";
        CloseHandle(h);
        return t;
    }
    t.opened = true;
    PurgeComm(h, PURGE_RXCLEAR);
    t.sent = SteadyClock::now();
    t.wire.push_back(WireChunk{t.sent, Direction::kToUnit, frame});
    DWORD written = 0;
    if (WriteFile(h, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) {
        size_t got = 0;
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        while (got < need && !Interrupted() && SteadyClock::now() < deadline) {
            uint8_t buffer[64];
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, need - got));
            if (!ReadFile(h, buffer, want, &n, nullptr)) break;
            if (n == 0) continue;
            t.wire.push_back(WireChunk{SteadyClock::now(), Direction::kFromUnit,
                                       std::vector<uint8_t>(buffer, buffer + n)});
            got += n;
            deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        }
        if (got >= need) {
            const uint8_t eot = 0x04;
            WriteFile(h, &eot, 1, &written, nullptr);
        }
    }
    CloseHandle(h);
    return t;
}
