// Windows checks of the serial port layer and of the module's port requests.
//
// Runs under Wine (tests/wine/run.sh) or on Windows. Two serial lines are
// needed, named by the first two arguments (default COM5 and COM6), each with
// the peer of tests/wine/line_peer.py on the other end: it echoes what it
// gets and answers a few commands ("!p", "!bNNNN", "!s"). The third argument
// names the module (default QDXTLMV.dll next to this program); the optional
// fourth names a line with the controller simulator (rexfsim) on its other
// end, for reads and writes through the module. COM9 must not exist.
//
// The layer's functions are linked in directly (serial_win32.cpp); the module
// is loaded with LoadLibraryA and driven through QdxMain alone. Both share
// this process, but each copy of the layer serves only the handles it opened
// itself, so a handle the module stores in a port record is probed with the
// system's own calls.
//
// Prints one line per failed check and ends with "N passed, N failed"; the
// exit status is 1 when any check failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/records.h"
#include "serial/serial.h"
#include "tests/support/value_text_sweep.h"
#include "telvor/telvor.h"
#include "tests/wine/check.h"

namespace {

using wine_check::g_case;

// ---------------------------------------------------------------------------
// Helpers.

struct Lines {
    const char* first = "COM5";
    const char* second = "COM6";
    const char* module = "QDXTLMV.dll";
    const char* controller = nullptr;  // a line with the controller simulator
};
Lines g_lines;

// Line values the checks open with. The protocol's usual 7 data bits with
// parity are tried on their own (SevenBitsEvenParity): a Linux
// pseudo-terminal keeps 8 bits without parity whatever it is asked (Wine 8
// reports success all the same; another setup may refuse them, which says
// nothing about the driver), so the other checks use 8 bits, no parity. The
// controller line is started with the driver's own defaults.
const LineValues kLine = {9600, 8, 0, 0};

SerialSettings MakeSettings(const char* name, LineValues line = kLine, uint16_t control = 0x0303) {
    SerialSettings s;
    std::memset(&s, 0, sizeof s);
    std::strncpy(s.port_name, name, sizeof s.port_name - 1);
    s.line = line;
    s.control_lines = control;
    return s;
}

DWORD Elapsed(DWORD since) { return GetTickCount() - since; }

// Wine does not keep a device opened without sharing from being opened
// again, as Windows does for a serial port; checks of that are skipped there.
bool g_exclusive_opens = true;
bool g_on_wine = false;

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

HANDLE AsHandle(ComHandle h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }

// True while the handle is open in this process.
bool HandleIsOpen(ComHandle h) {
    DWORD flags = 0;
    return GetHandleInformation(AsHandle(h), &flags) != 0;
}

// Probes of a port the module opened, through the system: the read wait in
// force (0 when it cannot be read), a whole write, and a read of up to count
// bytes within that wait (the bytes read).
DWORD ReadWaitMs(ComHandle h) {
    COMMTIMEOUTS t;
    return GetCommTimeouts(AsHandle(h), &t) ? t.ReadTotalTimeoutConstant : 0;
}

bool SystemWrite(ComHandle h, const char* text) {
    DWORD done = 0;
    const DWORD count = static_cast<DWORD>(std::strlen(text));
    return WriteFile(AsHandle(h), text, count, &done, nullptr) && done == count;
}

DWORD SystemRead(ComHandle h, void* buffer, DWORD count) {
    DWORD got = 0;
    return ReadFile(AsHandle(h), buffer, count, &got, nullptr) ? got : 0;
}

// Reads whatever the peer still sends within a short time and forgets it.
void Drain(ComHandle h) {
    int32_t before = ComSetReplyTimeout(h, 10);
    unsigned char sink[256];
    int32_t got = 0;
    while (ComReadExact(h, sink, sizeof sink, &got) == kComOk) {
    }
    ComSetReplyTimeout(h, before);
}

int WriteText(ComHandle h, const char* text) {
    int32_t written = -1;
    int rc = ComWrite(h, text, static_cast<int32_t>(std::strlen(text)), &written);
    return rc == kComOk && written == static_cast<int32_t>(std::strlen(text)) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Serial layer.

void NullHandleFailsAtOnce() {
    g_case = "null handle";
    unsigned char buf[4] = {1, 2, 3, 4};
    int32_t n = 99;
    DWORD t0 = GetTickCount();
    CHECK_EQ(ComWrite(0, buf, 4, &n), kComIoFailed);
    CHECK_EQ(n, 99);
    CHECK_EQ(ComReadExact(0, buf, 4, &n), kComIoFailed);
    CHECK_EQ(n, 0);
    CHECK_EQ(ComDiscardInput(0), 1);
    CHECK_EQ(ComSetReplyTimeout(0, 30), 0);
    CHECK_EQ(ComClose(0), kComIoFailed);
    CHECK(Elapsed(t0) < 500);
}

// A file of the host's own: its handle value may turn up in a port record.
struct HostFile {
    char path[MAX_PATH] = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    static constexpr char kText[] = "host data";

    HostFile() {
        char dir[MAX_PATH];
        if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "qdx", 0, path) == 0) return;
        handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD done = 0;
        if (handle != INVALID_HANDLE_VALUE) WriteFile(handle, kText, sizeof kText - 1, &done, nullptr);
    }
    ~HostFile() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        DeleteFileA(path);
    }
    ComHandle value() const { return static_cast<ComHandle>(reinterpret_cast<uintptr_t>(handle)); }

    // True when the handle is still open, its position is where the host
    // left it (after its text) and the file holds just that text.
    bool Untouched() const {
        if (!HandleIsOpen(value())) return false;
        if (SetFilePointer(handle, 0, nullptr, FILE_CURRENT) != sizeof kText - 1) return false;
        char back[32] = {};
        DWORD got = 0;
        SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
        const bool read = ReadFile(handle, back, sizeof back, &got, nullptr) != 0;
        return read && got == sizeof kText - 1 && std::memcmp(back, kText, got) == 0;
    }
};

// A handle the layer did not open is refused by every operation and stays
// the host's: open, at its position, with its content.
void ForeignHandle() {
    g_case = "foreign handle";
    HostFile file;
    if (!CHECK(file.handle != INVALID_HANDLE_VALUE)) return;
    const ComHandle h = file.value();
    unsigned char buf[4] = {};
    int32_t n = -1;
    CHECK_EQ(ComWrite(h, "xy", 2, &n), kComIoFailed);
    CHECK_EQ(ComReadExact(h, buf, 4, &n), kComIoFailed);
    CHECK_EQ(ComDiscardInput(h), kComOpenFailed);
    CHECK_EQ(ComSetReplyTimeout(h, 30), 0);
    CHECK_EQ(ComClose(h), kComIoFailed);
    CHECK(file.Untouched());

    // A port handle the layer has closed is foreign from then on.
    ComHandle port = 0;
    SerialSettings s = MakeSettings(g_lines.first);
    if (!CHECK_EQ(ComOpen(&s, &port), kComOk)) return;
    CHECK_EQ(ComClose(port), kComOk);
    CHECK_EQ(ComClose(port), kComIoFailed);
}

void OpenFailures() {
    g_case = "open failures";
    ComHandle h = 0;
    SerialSettings missing = MakeSettings("COM9");
    CHECK_EQ(ComOpen(&missing, &h), kComOpenFailed);
    CHECK_EQ(h, 0u);

    // A name that fills the field without its NUL is refused, not read past.
    SerialSettings unterminated = MakeSettings("COM5");
    std::memset(unterminated.port_name, 'A', sizeof unterminated.port_name);
    CHECK_EQ(ComOpen(&unterminated, &h), kComOpenFailed);
    CHECK_EQ(h, 0u);

    // Lower-case "nul" is an ordinary name: the null device refuses the line
    // state, which gives 4 with the handle closed.
    SerialSettings lower = MakeSettings("nul");
    CHECK_EQ(ComOpen(&lower, &h), kComNotSerial);
    CHECK_EQ(h, 0u);
}

void NullDevice() {
    g_case = "NUL";
    ComHandle h = 0;
    SerialSettings nul = MakeSettings("NUL");
    if (!CHECK_EQ(ComOpen(&nul, &h), kComOk)) return;
    CHECK(h != 0);
    unsigned char buf[11];
    int32_t n = -1;
    DWORD t0 = GetTickCount();
    CHECK_EQ(ComReadExact(h, buf, 11, &n), kComIoFailed);
    CHECK_EQ(n, 0);
    CHECK(Elapsed(t0) < 500);
    unsigned char frame[8] = {4, '0', '1', 'K', '1', 'M', '1', 5};
    n = -1;
    CHECK_EQ(ComWrite(h, frame, 8, &n), kComOk);
    CHECK_EQ(n, 8);
    CHECK_EQ(ComDiscardInput(h), kComOk);
    CHECK_EQ(ComClose(h), kComOk);
}

void SevenBitsEvenParity() {
    g_case = "7E2";
    ComHandle h = 0;
    SerialSettings s = MakeSettings(g_lines.first, LineValues{9600, 7, 2, 2});
    int rc = ComOpen(&s, &h);
    std::printf("note: 7 data bits, even parity, 2 stop bits on %s: ComOpen gives %d\n",
                g_lines.first, rc);
    CHECK(rc == kComOk || rc == kComBadSettings);
    if (rc == kComOk) {
        CHECK(h != 0);
        CHECK_EQ(ComClose(h), kComOk);
    } else {
        CHECK_EQ(h, 0u);
    }
    // Whatever the outcome, no handle is left: the port opens again.
    SerialSettings plain = MakeSettings(g_lines.first);
    h = 0;
    CHECK_EQ(ComOpen(&plain, &h), kComOk);
    if (h != 0) CHECK_EQ(ComClose(h), kComOk);

    // Values the system cannot use are refused with 5 and leave no handle.
    SerialSettings bad = MakeSettings(g_lines.first, LineValues{9600, 3, 0, 0});
    h = 0;
    CHECK_EQ(ComOpen(&bad, &h), kComBadSettings);
    CHECK_EQ(h, 0u);
    h = 0;
    CHECK_EQ(ComOpen(&plain, &h), kComOk);
    if (h != 0) CHECK_EQ(ComClose(h), kComOk);
}

// The configuration a port is left with, as the system reports it back. Wine
// rebuilds the DCB from the terminal settings, so it cannot report the
// control-line handling, fParity or ErrorChar, and it refuses RTS toggling
// (SetCommState fails: 5); those are checked on Windows only.
void LineConfiguration() {
    g_case = "configuration";
    struct Case {
        uint16_t flags;
        DWORD dtr;
        DWORD rts;
    };
    const Case cases[] = {
        {0x0303, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0x0001 | 0x0200, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0x8000 | 0x1000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE},
        {0x8100 | 0x3002, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
        {0x0000, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
    };
    for (const Case& c : cases) {
        ComHandle h = 0;
        SerialSettings s = MakeSettings(g_lines.first, LineValues{4800, 8, 2, 0}, c.flags);
        const int rc = ComOpen(&s, &h);
        if (g_on_wine && c.rts == RTS_CONTROL_TOGGLE && rc == kComBadSettings) {
            CHECK_EQ(h, 0u);
            continue;
        }
        if (!CHECK_EQ(rc, kComOk)) continue;
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (CHECK(GetCommState(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)), &dcb))) {
            CHECK_EQ(dcb.BaudRate, 4800);
            CHECK_EQ(dcb.ByteSize, 8);
            CHECK_EQ(dcb.StopBits, TWOSTOPBITS);
            CHECK_EQ(dcb.Parity, NOPARITY);
            CHECK_EQ(dcb.fBinary, 1);
            CHECK_EQ(dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0);
            // Wine turns RTS handshaking into the terminal's RTS/CTS flow
            // control, which reads back as CTS output flow.
            if (!g_on_wine || c.rts != RTS_CONTROL_HANDSHAKE) CHECK_EQ(dcb.fOutxCtsFlow, 0);
            if (!g_on_wine) {
                CHECK_EQ(dcb.fDtrControl, c.dtr);
                CHECK_EQ(dcb.fRtsControl, c.rts);
                CHECK_EQ(dcb.fParity, 1);
                CHECK_EQ(dcb.fDsrSensitivity | dcb.fErrorChar | dcb.fNull | dcb.fAbortOnError, 0);
                CHECK_EQ(static_cast<unsigned char>(dcb.ErrorChar), 0xFC);
            }
        }
        CHECK_EQ(ComClose(h), kComOk);
    }
}

void ExclusiveOpen() {
    g_case = "exclusive";
    ComHandle h = 0;
    SerialSettings s = MakeSettings(g_lines.first);
    if (!CHECK_EQ(ComOpen(&s, &h), kComOk)) return;
    ComHandle second = 0;
    if (g_exclusive_opens) {
        CHECK_EQ(ComOpen(&s, &second), kComOpenFailed);
        CHECK_EQ(second, 0u);
    }
    CHECK_EQ(ComClose(h), kComOk);
    CHECK(!HandleIsOpen(h));
    CHECK_EQ(ComOpen(&s, &second), kComOk);
    if (second != 0) CHECK_EQ(ComClose(second), kComOk);
}

void ReplyTimeouts(ComHandle h) {
    g_case = "reply timeout";
    // A new port waits 1000 ms.
    CHECK_EQ(ComSetReplyTimeout(h, 30), 100);
    CHECK_EQ(ComSetReplyTimeout(h, 30), 30);
    CHECK_EQ(ComSetReplyTimeout(h, 1), 30);
    CHECK_EQ(ComSetReplyTimeout(h, 30), 1);

    // 0 units and below never mean an endless wait: the system holds the
    // fallback wait, and that is what reads back.
    CHECK_EQ(ComSetReplyTimeout(h, 0), 30);
    CHECK_EQ(ComSetReplyTimeout(h, -5), kZeroTimeoutFallbackMs / 10);
    CHECK_EQ(ComSetReplyTimeout(h, 30), kZeroTimeoutFallbackMs / 10);

    // Huge values are capped, without overflow.
    CHECK_EQ(ComSetReplyTimeout(h, INT32_MAX), 30);
    CHECK_EQ(ComSetReplyTimeout(h, 30), kMaxReplyTimeoutUnits);

    // A silent peer with 0 units: the read ends after the fallback wait.
    ComSetReplyTimeout(h, 0);
    unsigned char buf[11];
    int32_t n = -1;
    DWORD t0 = GetTickCount();
    CHECK_EQ(ComReadExact(h, buf, 11, &n), kComIoFailed);
    DWORD waited = Elapsed(t0);
    CHECK_EQ(n, 0);
    CHECK(waited >= kZeroTimeoutFallbackMs - 100);
    CHECK(waited < 3 * kZeroTimeoutFallbackMs + 1000);
    ComSetReplyTimeout(h, 30);
}

void WriteAndRead(ComHandle h) {
    g_case = "write and read";
    ComSetReplyTimeout(h, 30);
    CHECK_EQ(WriteText(h, "hello"), 0);
    char buf[16] = {};
    int32_t n = -1;
    CHECK_EQ(ComReadExact(h, buf, 5, &n), kComOk);
    CHECK_EQ(n, 5);
    CHECK(std::memcmp(buf, "hello", 5) == 0);

    // Writing nothing is complete at once; counts the layer cannot serve
    // are refused before any system call, without waiting.
    n = -1;
    CHECK_EQ(ComWrite(h, buf, 0, &n), kComOk);
    CHECK_EQ(n, 0);
    n = -1;
    DWORD t_refused = GetTickCount();
    CHECK_EQ(ComWrite(h, buf, -1, &n), kComIoFailed);
    CHECK_EQ(n, -1);
    const int32_t bad_counts[] = {0, -1, 0x10000, INT32_MAX};
    for (int32_t count : bad_counts) {
        n = -1;
        CHECK_EQ(ComReadExact(h, buf, count, &n), kComIoFailed);
        CHECK_EQ(n, 0);
    }
    CHECK_EQ(ComReadExact(h, nullptr, 4, &n), kComIoFailed);
    CHECK(Elapsed(t_refused) < 250);

    // Silence: 7 after about one reply timeout, nothing received.
    std::memset(buf, 0, sizeof buf);
    CHECK_EQ(WriteText(h, "!s"), 0);
    n = -1;
    DWORD t0 = GetTickCount();
    CHECK_EQ(ComReadExact(h, buf, 11, &n), kComIoFailed);
    DWORD waited = Elapsed(t0);
    CHECK_EQ(n, 0);
    CHECK(waited >= 250);
    CHECK(waited < 3 * 300 + 1000);

    // A short reply: 7 with the count of what did arrive.
    CHECK_EQ(WriteText(h, "12345"), 0);
    n = -1;
    CHECK_EQ(ComReadExact(h, buf, 11, &n), kComIoFailed);
    CHECK_EQ(n, 5);
    CHECK(std::memcmp(buf, "12345", 5) == 0);

    // A reply in two pieces, each within the timeout, is collected whole;
    // null out counts are allowed.
    std::memset(buf, 0, sizeof buf);
    CHECK_EQ(WriteText(h, "!p"), 0);
    CHECK_EQ(ComReadExact(h, buf, 11, nullptr), kComOk);
    CHECK(std::memcmp(buf, "ABCDEFGHIJK", 11) == 0);
    CHECK_EQ(ComWrite(h, "ok", 2, nullptr), kComOk);
    CHECK_EQ(ComReadExact(h, buf, 2, nullptr), kComOk);
}

void DiscardInput(ComHandle h) {
    g_case = "discard";
    ComSetReplyTimeout(h, 30);
    char buf[4];
    int32_t n = -1;

    // Nothing pending: 0, and the timeout is left alone.
    CHECK_EQ(ComDiscardInput(h), kComOk);
    CHECK_EQ(ComSetReplyTimeout(h, 30), 30);

    const char* amounts[] = {"!b1000", "!b0512", "!b0003"};
    for (const char* command : amounts) {
        CHECK_EQ(WriteText(h, command), 0);
        Sleep(300);
        DWORD t0 = GetTickCount();
        CHECK_EQ(ComDiscardInput(h), kComOk);
        CHECK(Elapsed(t0) < 2000);
        // Everything is gone and the 300 ms reply timeout is back.
        n = -1;
        CHECK_EQ(ComReadExact(h, buf, 1, &n), kComIoFailed);
        CHECK_EQ(n, 0);
        CHECK_EQ(ComSetReplyTimeout(h, 30), 30);
    }

    // A line that keeps delivering: the discard ends after a bounded number
    // of reads instead of draining for as long as the device talks.
    CHECK_EQ(WriteText(h, "!f"), 0);
    Sleep(300);
    DWORD t0 = GetTickCount();
    CHECK_EQ(ComDiscardInput(h), kComOk);
    CHECK(Elapsed(t0) < 3000);
    CHECK_EQ(WriteText(h, "!q"), 0);
    Sleep(300);
    Drain(h);
    CHECK_EQ(ComSetReplyTimeout(h, 30), 30);

    // A port given 0 units goes back to its fallback wait after a discard,
    // not to the 50 ms of the draining reads.
    ComSetReplyTimeout(h, 0);
    CHECK_EQ(WriteText(h, "!b0003"), 0);
    Sleep(300);
    CHECK_EQ(ComDiscardInput(h), kComOk);
    CHECK_EQ(ComSetReplyTimeout(h, 30), kZeroTimeoutFallbackMs / 10);
}

void SerialLayer() {
    NullHandleFailsAtOnce();
    ForeignHandle();
    OpenFailures();
    NullDevice();
    ExclusiveOpen();
    LineConfiguration();
    SevenBitsEvenParity();

    g_case = "open";
    ComHandle h = 0;
    SerialSettings s = MakeSettings(g_lines.first);
    if (!CHECK_EQ(ComOpen(&s, &h), kComOk)) return;
    Drain(h);
    ReplyTimeouts(h);
    WriteAndRead(h);
    DiscardInput(h);
    g_case = "close";
    CHECK_EQ(ComClose(h), kComOk);
}

// ---------------------------------------------------------------------------
// The module, through QdxMain.

typedef int32_t(__cdecl* QdxMainFn)(RequestBlock*);

std::vector<std::string> g_log;

void CollectLine(void*, int level, const char* line) {
    char text[1100];
    std::snprintf(text, sizeof text, "%d %s", level, line);
    g_log.push_back(text);
}

bool Logged(const std::string& text) {
    for (const std::string& line : g_log) {
        if (line == "32 " + text) return true;
    }
    return false;
}

// The module exports QdxMain alone and imports err from TELVOR.dll.
void ModuleTables(HMODULE module) {
    g_case = "module tables";
    const unsigned char* base = reinterpret_cast<const unsigned char*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& exports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (CHECK(exports.VirtualAddress != 0)) {
        const IMAGE_EXPORT_DIRECTORY* dir =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress);
        CHECK_EQ(dir->NumberOfNames, 1);
        CHECK_EQ(dir->NumberOfFunctions, 1);
        const DWORD* names = reinterpret_cast<const DWORD*>(base + dir->AddressOfNames);
        if (dir->NumberOfNames >= 1) {
            CHECK(std::strcmp(reinterpret_cast<const char*>(base + names[0]), "QdxMain") == 0);
        }
    }
    CHECK(GetProcAddress(module, "_QdxMain") == nullptr);
    CHECK(GetProcAddress(module, "QdxMain@4") == nullptr);

    bool err_imported = false;
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR* desc =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; imports.VirtualAddress != 0 && desc->Name != 0; ++desc) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), "TELVOR.dll") != 0) continue;
        const IMAGE_THUNK_DATA* thunk =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        for (; thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) continue;
            const IMAGE_IMPORT_BY_NAME* by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), "err") == 0) {
                err_imported = true;
            }
        }
    }
    CHECK(err_imported);
}

struct Port {
    PortRecord record;
    Port() { std::memset(&record, 0, sizeof record); }
};

int32_t Call(QdxMainFn qdx, PortRecord* port, uint32_t code, void* parameter, int32_t instance = 3) {
    RequestBlock block;
    std::memset(&block, 0, sizeof block);
    block.port = port;
    block.request_code = code;
    block.instance = instance;
    block.parameter = parameter;
    return qdx(&block);
}

StartParams MakeStart(const char* name, int32_t timeout = 30) {
    StartParams p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.port_name, name, sizeof p.port_name - 1);
    p.enable = 1;
    p.reply_timeout = timeout;
    p.line = kLine;
    return p;
}

// True when the named port can be opened now (so nobody holds it).
bool PortIsFree(const char* name) {
    ComHandle h = 0;
    SerialSettings s = MakeSettings(name);
    if (ComOpen(&s, &h) != kComOk) return false;
    ComClose(h);
    return true;
}

void ModuleRequests(QdxMainFn qdx) {
    g_case = "start";
    Port port;
    port.record.settings.control_lines = 0x1234;
    StartParams start = MakeStart(g_lines.first);
    g_log.clear();
    if (!CHECK_EQ(Call(qdx, &port.record, kRequestStart, &start), kResultOk)) return;
    const ComHandle first = port.record.port_handle;
    CHECK(first != 0);
    CHECK_EQ(port.record.active, 1);
    CHECK_EQ(port.record.reply_timeout, 30);
    CHECK_EQ(port.record.settings.control_lines, 0x0303);
    CHECK(std::strcmp(port.record.settings.port_name, g_lines.first) == 0);
    CHECK(Logged(std::string("QDXTLMV> QDX3 v7.00 started on ") + g_lines.first));
    CHECK(HandleIsOpen(first));
    // The start applied the record's timeout to the port.
    CHECK_EQ(ReadWaitMs(first), 300);

    if (g_exclusive_opens) {
        g_case = "start again";
        g_log.clear();
        CHECK_EQ(Call(qdx, &port.record, kRequestStart, &start), kResultFailed);
        CHECK_EQ(port.record.port_handle, first);
        CHECK(Logged(std::string("QDXRKC REX-F Series : Fail to open ") + g_lines.first));
    }

    g_case = "flush";
    CHECK(SystemWrite(first, "!b0700"));
    Sleep(300);
    CHECK_EQ(Call(qdx, &port.record, kRequestFlushInput, nullptr), kResultOk);
    char buf[4];
    CHECK_EQ(SystemRead(first, buf, 1), 0);

    g_case = "close";
    CHECK_EQ(Call(qdx, &port.record, kRequestClose, nullptr), kResultOk);
    CHECK_EQ(port.record.port_handle, 0u);
    CHECK(!HandleIsOpen(first));
    CHECK(PortIsFree(g_lines.first));
    CHECK_EQ(Call(qdx, &port.record, kRequestCloseAlt, nullptr), kResultOk);
    CHECK_EQ(Call(qdx, &port.record, kRequestFlushInput, nullptr), kResultOk);

    g_case = "open";
    port.record.active = 0;
    CHECK_EQ(Call(qdx, &port.record, kRequestOpen, nullptr), kResultOk);
    CHECK(port.record.port_handle != 0);
    CHECK_EQ(port.record.active, 1);
    // Until a start or reopen, the port waits the 1000 ms of a new port.
    CHECK_EQ(ReadWaitMs(port.record.port_handle), 1000);
    const ComHandle opened = port.record.port_handle;
    if (g_exclusive_opens) {
        CHECK_EQ(Call(qdx, &port.record, kRequestOpen, nullptr), kResultFailed);
        CHECK_EQ(port.record.port_handle, opened);
    }

    g_case = "reopen";
    ReopenParams reopen;
    std::memset(&reopen, 0, sizeof reopen);
    std::strncpy(reopen.port_name, g_lines.second, sizeof reopen.port_name - 1);
    reopen.reply_timeout = 0;  // keeps 30
    reopen.line = LineValues{0, 0, 0, 0};  // keeps the line values
    CHECK_EQ(Call(qdx, &port.record, kRequestReopen, &reopen), kResultOk);
    CHECK(port.record.port_handle != 0);
    CHECK(std::strcmp(port.record.settings.port_name, g_lines.second) == 0);
    CHECK_EQ(port.record.reply_timeout, 30);
    CHECK_EQ(port.record.settings.line.baud_rate, kLine.baud_rate);
    CHECK_EQ(ReadWaitMs(port.record.port_handle), 300);
    if (port.record.port_handle != opened) CHECK(!HandleIsOpen(opened));
    CHECK(PortIsFree(g_lines.first));
    CHECK(HandleIsOpen(port.record.port_handle));
    if (g_exclusive_opens) CHECK(!PortIsFree(g_lines.second));
    // The new line carries data.
    CHECK(SystemWrite(port.record.port_handle, "ping"));
    std::memset(buf, 0, sizeof buf);
    CHECK_EQ(SystemRead(port.record.port_handle, buf, 4), 4);
    CHECK(std::memcmp(buf, "ping", 4) == 0);

    g_case = "reopen fails";
    const ComHandle second = port.record.port_handle;
    std::strncpy(reopen.port_name, "COM9", sizeof reopen.port_name - 1);
    reopen.reply_timeout = 45;
    CHECK_EQ(Call(qdx, &port.record, kRequestReopen, &reopen), kResultFailed);
    CHECK_EQ(port.record.port_handle, 0u);
    CHECK_EQ(port.record.reply_timeout, 45);
    CHECK(!HandleIsOpen(second));
    CHECK(PortIsFree(g_lines.second));
    CHECK_EQ(Call(qdx, &port.record, kRequestClose, nullptr), kResultOk);
}

// A port record that holds a handle of the host's own (a record the host did
// not zero, a value kept after a failed close): start, open and reopen store
// their port over it and leave the host's file alone; the other requests
// never reach it.
void ForeignHandleInRecord(QdxMainFn qdx) {
    g_case = "foreign handle in record";
    HostFile file;
    if (!CHECK(file.handle != INVALID_HANDLE_VALUE)) return;
    Port port;
    StartParams start = MakeStart(g_lines.first);
    ReopenParams reopen;
    std::memset(&reopen, 0, sizeof reopen);
    std::strncpy(reopen.port_name, g_lines.second, sizeof reopen.port_name - 1);

    struct Step {
        const char* what;
        uint32_t code;
        void* parameter;
    };
    const Step steps[] = {
        {"start", kRequestStart, &start},
        {"open", kRequestOpen, nullptr},
        {"reopen to another name", kRequestReopen, &reopen},
    };
    for (const Step& step : steps) {
        g_case = step.what;
        port.record.port_handle = file.value();
        CHECK_EQ(Call(qdx, &port.record, step.code, step.parameter), kResultOk);
        CHECK(port.record.port_handle != 0 && port.record.port_handle != file.value());
        CHECK(file.Untouched());
        CHECK_EQ(Call(qdx, &port.record, kRequestClose, nullptr), kResultOk);
    }

    g_case = "requests on a foreign handle";
    port.record.port_handle = file.value();
    PointRecord point;
    std::memset(&point, 0, sizeof point);
    point.unit_address = 1;
    point.channel = 1;
    point.identifier = 'M' * 256 + '1';
    point.data_type = kTypeFloat;
    ValueCell cell = {{1, 2, 3, 4}};
    point.value = &cell;
    CHECK_EQ(Call(qdx, &port.record, kRequestFlushInput, nullptr), kResultOk);
    CHECK_EQ(Call(qdx, &port.record, kRequestReadValue, &point), kResultFailed);
    CHECK_EQ(Call(qdx, &port.record, kRequestWriteValue, &point), kResultFailed);
    // A close cannot release what the driver never opened: it fails and the
    // value stays for the host to deal with.
    CHECK_EQ(Call(qdx, &port.record, kRequestClose, nullptr), kResultFailed);
    CHECK_EQ(port.record.port_handle, file.value());
    CHECK(file.Untouched());
}

void ModuleStartFailures(QdxMainFn qdx) {
    g_case = "start COM9";
    Port port;
    StartParams start = MakeStart("COM9");
    start.enable = 7;
    g_log.clear();
    CHECK_EQ(Call(qdx, &port.record, kRequestStart, &start), kResultFailed);
    CHECK_EQ(port.record.port_handle, 0u);
    CHECK_EQ(port.record.active, 7);
    CHECK(Logged("QDXRKC REX-F Series : Fail to open COM9"));

    g_case = "start disabled";
    Port idle;
    StartParams off = MakeStart(g_lines.first);
    off.enable = 0;
    g_log.clear();
    CHECK_EQ(Call(qdx, &idle.record, kRequestStart, &off), kResultOk);
    CHECK_EQ(idle.record.port_handle, 0u);
    CHECK(g_log.empty());

    g_case = "start NUL";
    Port nul;
    StartParams nul_start = MakeStart("NUL");
    CHECK_EQ(Call(qdx, &nul.record, kRequestStart, &nul_start), kResultOk);
    CHECK(nul.record.port_handle != 0);
    CHECK_EQ(Call(qdx, &nul.record, kRequestFlushInput, nullptr), kResultOk);
    CHECK_EQ(Call(qdx, &nul.record, kRequestClose, nullptr), kResultOk);
    CHECK_EQ(nul.record.port_handle, 0u);

    g_case = "start nul";
    Port lower;
    StartParams lower_start = MakeStart("nul");
    g_log.clear();
    CHECK_EQ(Call(qdx, &lower.record, kRequestStart, &lower_start), kResultFailed);
    CHECK_EQ(lower.record.port_handle, 0u);
    CHECK(Logged("QDXRKC REX-F Series : Fail to open nul"));
}

// Reads and writes through a controller line (the simulator's default table:
// unit 01 channel 1 with M1 24.0; units 04 and above do not answer).
bool ParsePoint(QdxMainFn qdx, PortRecord* port, const char* text, PointAddressBlock* block,
                ValueCell* cell) {
    static char address[16];
    std::memset(block, 0, sizeof *block);
    std::strncpy(address, text, sizeof address - 1);
    block->address_text = address;
    if (Call(qdx, port, kRequestParse, block) != kResultOk) return false;
    block->point.data_type = kTypeFloat;
    block->point.value = cell;
    return true;
}

float CellFloat(const ValueCell& cell) {
    float f;
    std::memcpy(&f, cell.bytes, sizeof f);
    return f;
}

void ControllerLine(QdxMainFn qdx) {
    g_case = "controller";
    // The host starts with the driver's own default line values.
    DriverInfo info;
    std::memset(&info, 0, sizeof info);
    Port port;
    CHECK_EQ(Call(qdx, &port.record, kRequestDriverInfo, &info), kResultOk);
    StartParams start = MakeStart(g_lines.controller, 30);
    start.line = info.default_line;
    if (!CHECK_EQ(Call(qdx, &port.record, kRequestStart, &start), kResultOk)) return;

    PointAddressBlock m1;
    ValueCell cell = {{0xAA, 0xAA, 0xAA, 0xAA}};
    if (CHECK(ParsePoint(qdx, &port.record, "01k1m1", &m1, &cell))) {
        CHECK(std::strcmp(m1.address_text, "01K1M1") == 0);
        CHECK_EQ(m1.point.unit_address, 1);
        CHECK_EQ(m1.point.channel, 1);
        CHECK_EQ(m1.point.identifier, 'M' * 256 + '1');
        CHECK_EQ(Call(qdx, &port.record, kRequestReadValue, &m1.point), kResultOk);
        CHECK(CellFloat(cell) == 24.0f);
    }

    PointAddressBlock s1;
    ValueCell setpoint;
    const float wanted = 123.5f;
    std::memcpy(setpoint.bytes, &wanted, sizeof wanted);
    if (CHECK(ParsePoint(qdx, &port.record, "01K1S1", &s1, &setpoint))) {
        CHECK_EQ(Call(qdx, &port.record, kRequestWriteValue, &s1.point), kResultOk);
        ValueCell back = {{0, 0, 0, 0}};
        s1.point.value = &back;
        CHECK_EQ(Call(qdx, &port.record, kRequestReadValue, &s1.point), kResultOk);
        CHECK(CellFloat(back) == wanted);
    }

    // A unit that never answers: three attempts of one reply timeout each,
    // then 2 with the value cell untouched.
    PointAddressBlock absent;
    ValueCell untouched = {{1, 2, 3, 4}};
    if (CHECK(ParsePoint(qdx, &port.record, "07K1M1", &absent, &untouched))) {
        DWORD t0 = GetTickCount();
        CHECK_EQ(Call(qdx, &port.record, kRequestReadValue, &absent.point), kResultFailed);
        DWORD waited = Elapsed(t0);
        CHECK(waited >= 3 * 300 - 100);
        CHECK(waited < 3 * 3 * 300 + 2000);
        CHECK(untouched.bytes[0] == 1 && untouched.bytes[3] == 4);
    }
    CHECK_EQ(Call(qdx, &port.record, kRequestClose, nullptr), kResultOk);
}

void Module() {
    g_case = "load";
    HMODULE module = LoadLibraryA(g_lines.module);
    if (!CHECK(module != nullptr)) {
        std::printf("cannot load %s (error %lu)\n", g_lines.module,
                    static_cast<unsigned long>(GetLastError()));
        return;
    }
    QdxMainFn qdx = reinterpret_cast<QdxMainFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "QdxMain")));
    if (!CHECK(qdx != nullptr)) return;
    ModuleTables(module);

    TelvorSetSink(CollectLine, nullptr);
    ModuleRequests(qdx);
    ForeignHandleInRecord(qdx);
    ModuleStartFailures(qdx);
    if (g_lines.controller != nullptr) {
        ControllerLine(qdx);
    } else {
        std::printf("note: no controller line given, reads and writes not checked\n");
    }
    TelvorSetSink(nullptr, nullptr);
    FreeLibrary(module);
}

// The value text built by this compiler and its runtime (the module's own
// source): every one- and two-decimal value goes out as itself.
void ValueTexts() {
    g_case = "value texts";
    const ValueTextSweep sweep = SweepValueTexts();
    CHECK(sweep.checked == 2 * 110000 - 2);
    if (!CHECK(sweep.wrong == 0)) std::printf("  %ld wrong, first: %s\n", sweep.wrong, sweep.first_wrong.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_lines.first = argv[1];
    if (argc > 2) g_lines.second = argv[2];
    if (argc > 3 && argv[3][0] != '\0') g_lines.module = argv[3];
    if (argc > 4 && argv[4][0] != '\0') g_lines.controller = argv[4];
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (RunningOnWine()) {
        g_exclusive_opens = false;
        g_on_wine = true;
        std::printf("note: running on Wine: a second open of a held port is not refused there,"
                    " so those checks are skipped\n");
    }

    SerialLayer();
    Module();
    ValueTexts();

    return wine_check::CheckSummary();
}
