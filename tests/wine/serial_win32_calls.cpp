// The Win32 serial layer's calls to the system, argument by argument.
//
// serial_win32.cpp is linked in unchanged, but the ten Win32 functions it
// calls are recording stand-ins: the layer's object code calls them through
// their import entries (__imp__CreateFileA@28 and the others), and this
// program defines those entries itself, so the linker binds the layer here
// instead of to kernel32. The stand-ins record every argument and play the
// system's part from a model of one port: the DCB and COMMTIMEOUTS it keeps,
// the bytes waiting in its input queue, scripted reads and writes, and any
// call told to fail. While no case is recording, calls go on to the real
// functions (the C runtime may use some of them).
//
// What a pseudo-terminal under Wine cannot show is checked here: the DCB
// field by field for every combination of line values and control-line
// flags, the timeouts and their order, queue sizes, read steps, the discard's
// drain timeout and its restore, and every failure path's result.
//
// Prints one line per failed check and ends with "N passed, N failed".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "serial/serial.h"
#include "tests/wine/check.h"

namespace {

using wine_check::g_case;

enum Fn {
    kCreateFileA,
    kGetCommState,
    kSetCommState,
    kGetCommTimeouts,
    kSetCommTimeouts,
    kSetupComm,
    kClearCommError,
    kReadFile,
    kWriteFile,
    kCloseHandle,
};
const char* const kFnNames[] = {"CreateFileA",     "GetCommState", "SetCommState",   "GetCommTimeouts",
                                "SetCommTimeouts", "SetupComm",    "ClearCommError", "ReadFile",
                                "WriteFile",       "CloseHandle"};

unsigned Bit(Fn fn) { return 1u << fn; }

// One recorded call.
struct Call {
    explicit Call(Fn called) : fn(called) {}
    Fn fn;
    HANDLE handle = nullptr;
    std::string name;           // CreateFileA: the name
    DWORD args[4] = {};         // numeric arguments in their order
    const void* pointer = nullptr;  // ReadFile, WriteFile: the buffer; CreateFileA: security
    bool out_given = false;     // the count, COMSTAT or error pointer was given
    bool extra_given = false;   // an OVERLAPPED or a template handle was given
    DCB dcb{};                  // SetCommState: the DCB; GetCommState: DCBlength on entry
    COMMTIMEOUTS timeouts{};    // SetCommTimeouts: the timeouts
};

// The system as the stand-ins play it.
struct Model {
    bool recording = false;
    std::vector<Call> calls;
    unsigned fail = 0;          // Bit(fn): every call of fn fails
    bool create_gives_null = false;
    DCB dcb{};                  // what the port's configuration holds
    COMMTIMEOUTS timeouts{};
    DWORD in_queue = 0;         // bytes ClearCommError reports waiting
    std::deque<long> reads;     // bytes each ReadFile delivers (-1: it fails); then 0
    long write_done = -1;       // bytes WriteFile reports (-1: all)
    uintptr_t next_handle = 0x7F000000;
};
Model g;

const COMMTIMEOUTS kTimeoutsAsRead = {11, 22, 300, 44, 55};

void Reset() {
    g.calls.clear();
    g.fail = 0;
    g.create_gives_null = false;
    std::memset(&g.dcb, 0, sizeof g.dcb);
    g.timeouts = kTimeoutsAsRead;
    g.in_queue = 0;
    g.reads.clear();
    g.write_done = -1;
}

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

Call& Record(Fn fn, HANDLE handle) {
    g.calls.push_back(Call(fn));
    g.calls.back().handle = handle;
    return g.calls.back();
}

bool Fails(Fn fn) { return (g.fail & Bit(fn)) != 0; }

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model) {
    if (!g.recording) {
        return Real<decltype(&FakeCreateFileA)>("CreateFileA")(name, access, share, security, disposition,
                                                               flags, model);
    }
    Call& c = Record(kCreateFileA, nullptr);
    c.name = name;
    c.args[0] = access;
    c.args[1] = share;
    c.args[2] = disposition;
    c.args[3] = flags;
    c.pointer = security;
    c.extra_given = model != nullptr;
    if (Fails(kCreateFileA)) return INVALID_HANDLE_VALUE;
    if (g.create_gives_null) return nullptr;
    g.next_handle += 4;
    return reinterpret_cast<HANDLE>(g.next_handle);
}

BOOL WINAPI FakeGetCommState(HANDLE h, LPDCB dcb) {
    if (!g.recording) return Real<decltype(&FakeGetCommState)>("GetCommState")(h, dcb);
    Record(kGetCommState, h).dcb.DCBlength = dcb->DCBlength;
    if (Fails(kGetCommState)) return FALSE;
    const DWORD length = dcb->DCBlength;
    *dcb = g.dcb;
    dcb->DCBlength = length;
    return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE h, LPDCB dcb) {
    if (!g.recording) return Real<decltype(&FakeSetCommState)>("SetCommState")(h, dcb);
    Record(kSetCommState, h).dcb = *dcb;
    if (Fails(kSetCommState)) return FALSE;
    g.dcb = *dcb;
    return TRUE;
}

BOOL WINAPI FakeGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    if (!g.recording) return Real<decltype(&FakeGetCommTimeouts)>("GetCommTimeouts")(h, t);
    Record(kGetCommTimeouts, h);
    if (Fails(kGetCommTimeouts)) return FALSE;
    *t = g.timeouts;
    return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    if (!g.recording) return Real<decltype(&FakeSetCommTimeouts)>("SetCommTimeouts")(h, t);
    Record(kSetCommTimeouts, h).timeouts = *t;
    if (Fails(kSetCommTimeouts)) return FALSE;
    g.timeouts = *t;
    return TRUE;
}

BOOL WINAPI FakeSetupComm(HANDLE h, DWORD in, DWORD out) {
    if (!g.recording) return Real<decltype(&FakeSetupComm)>("SetupComm")(h, in, out);
    Call& c = Record(kSetupComm, h);
    c.args[0] = in;
    c.args[1] = out;
    return Fails(kSetupComm) ? FALSE : TRUE;
}

BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
    if (!g.recording) return Real<decltype(&FakeClearCommError)>("ClearCommError")(h, errors, status);
    Record(kClearCommError, h).out_given = errors != nullptr && status != nullptr;
    if (Fails(kClearCommError)) return FALSE;
    if (errors != nullptr) *errors = CE_FRAME;
    if (status != nullptr) status->cbInQue = g.in_queue;
    return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
    if (!g.recording) return Real<decltype(&FakeReadFile)>("ReadFile")(h, buffer, count, got, overlapped);
    Call& c = Record(kReadFile, h);
    c.pointer = buffer;
    c.args[0] = count;
    c.out_given = got != nullptr;
    c.extra_given = overlapped != nullptr;
    long delivered = 0;
    if (!g.reads.empty()) {
        delivered = g.reads.front();
        g.reads.pop_front();
    }
    if (got != nullptr) *got = 0;
    if (delivered < 0) return FALSE;
    // Bytes beyond the count are reported, never written.
    const DWORD written = static_cast<DWORD>(delivered) < count ? static_cast<DWORD>(delivered) : count;
    std::memset(buffer, 0xA5, written);
    if (got != nullptr) *got = static_cast<DWORD>(delivered);
    return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID bytes, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    if (!g.recording) return Real<decltype(&FakeWriteFile)>("WriteFile")(h, bytes, count, done, overlapped);
    Call& c = Record(kWriteFile, h);
    c.pointer = bytes;
    c.args[0] = count;
    c.out_given = done != nullptr;
    c.extra_given = overlapped != nullptr;
    if (Fails(kWriteFile)) return FALSE;
    if (done != nullptr) *done = g.write_done < 0 ? count : static_cast<DWORD>(g.write_done);
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE h) {
    if (!g.recording) return Real<decltype(&FakeCloseHandle)>("CloseHandle")(h);
    Record(kCloseHandle, h);
    return Fails(kCloseHandle) ? FALSE : TRUE;
}

}  // namespace

// The import entries the layer calls through. 32-bit Windows decorates the
// names of its stdcall functions (an underscore before, the bytes of the
// arguments after); 64-bit Windows has one calling convention and plain names.
#if defined(_WIN64)
#define QDX_IMPORT(name, argument_bytes) "__imp_" #name
#else
#define QDX_IMPORT(name, argument_bytes) "__imp__" #name "@" #argument_bytes
#endif
extern "C" {
void* g_imp_create __asm__(QDX_IMPORT(CreateFileA, 28)) = reinterpret_cast<void*>(&FakeCreateFileA);
void* g_imp_get_state __asm__(QDX_IMPORT(GetCommState, 8)) = reinterpret_cast<void*>(&FakeGetCommState);
void* g_imp_set_state __asm__(QDX_IMPORT(SetCommState, 8)) = reinterpret_cast<void*>(&FakeSetCommState);
void* g_imp_get_timeouts __asm__(QDX_IMPORT(GetCommTimeouts, 8)) = reinterpret_cast<void*>(&FakeGetCommTimeouts);
void* g_imp_set_timeouts __asm__(QDX_IMPORT(SetCommTimeouts, 8)) = reinterpret_cast<void*>(&FakeSetCommTimeouts);
void* g_imp_setup __asm__(QDX_IMPORT(SetupComm, 12)) = reinterpret_cast<void*>(&FakeSetupComm);
void* g_imp_clear __asm__(QDX_IMPORT(ClearCommError, 12)) = reinterpret_cast<void*>(&FakeClearCommError);
void* g_imp_read __asm__(QDX_IMPORT(ReadFile, 20)) = reinterpret_cast<void*>(&FakeReadFile);
void* g_imp_write __asm__(QDX_IMPORT(WriteFile, 20)) = reinterpret_cast<void*>(&FakeWriteFile);
void* g_imp_close __asm__(QDX_IMPORT(CloseHandle, 4)) = reinterpret_cast<void*>(&FakeCloseHandle);
}
#undef QDX_IMPORT

namespace {

// Runs one layer operation with the stand-ins recording.
template <typename F>
auto Recorded(F operation) {
    g.recording = true;
    auto result = operation();
    g.recording = false;
    return result;
}

HANDLE AsHandle(ComHandle h) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h)); }

std::string Sequence(const std::vector<Call>& calls) {
    std::string text;
    for (const Call& c : calls) text += std::string(text.empty() ? "" : " ") + kFnNames[c.fn];
    return text;
}

std::string Sequence(std::initializer_list<Fn> fns) {
    std::vector<Call> calls;
    for (Fn fn : fns) calls.push_back(Call(fn));
    return Sequence(calls);
}

// Failures print at most this many lines of detail, so that a broken layer
// does not flood the log with thousands of combinations.
int g_details_left = 12;

bool CheckDetail(const std::string& problems, const std::string& where, int line) {
    if (problems.empty()) return wine_check::Check(true, "", line);
    if (g_details_left-- <= 0) return wine_check::Check(false, "(details left out)", line);
    wine_check::Check(false, where.c_str(), line);
    std::printf("  %s\n", problems.c_str() + 1);
    return false;
}

#define DCB_FIELDS(X)                                                                                     \
    X(DCBlength) X(BaudRate) X(fBinary) X(fParity) X(fOutxCtsFlow) X(fOutxDsrFlow) X(fDtrControl)         \
    X(fDsrSensitivity) X(fTXContinueOnXoff) X(fOutX) X(fInX) X(fErrorChar) X(fNull) X(fRtsControl)        \
    X(fAbortOnError) X(fDummy2) X(wReserved) X(XonLim) X(XoffLim) X(ByteSize) X(Parity) X(StopBits)       \
    X(XonChar) X(XoffChar) X(ErrorChar) X(EofChar) X(EvtChar) X(wReserved1)

// A DCB field as a number; characters as the byte they are.
template <typename T>
long long Shown(T value) {
    if constexpr (std::is_same_v<T, char>) return static_cast<unsigned char>(value);
    return static_cast<long long>(value);
}

std::string DcbDifferences(const DCB& got, const DCB& want) {
    std::string text;
#define COMPARE(field)                                                                                   \
    if (got.field != want.field) {                                                                       \
        text += " " #field " " + std::to_string(Shown(got.field)) + " (expected " +                     \
                std::to_string(Shown(want.field)) + ")";                                                 \
    }
    DCB_FIELDS(COMPARE)
#undef COMPARE
    return text;
}

std::string TimeoutDifferences(const COMMTIMEOUTS& got, const COMMTIMEOUTS& want) {
    const DWORD g_fields[] = {got.ReadIntervalTimeout, got.ReadTotalTimeoutMultiplier, got.ReadTotalTimeoutConstant,
                              got.WriteTotalTimeoutMultiplier, got.WriteTotalTimeoutConstant};
    const DWORD w_fields[] = {want.ReadIntervalTimeout, want.ReadTotalTimeoutMultiplier,
                              want.ReadTotalTimeoutConstant, want.WriteTotalTimeoutMultiplier,
                              want.WriteTotalTimeoutConstant};
    const char* const names[] = {"ReadIntervalTimeout", "ReadTotalTimeoutMultiplier", "ReadTotalTimeoutConstant",
                                 "WriteTotalTimeoutMultiplier", "WriteTotalTimeoutConstant"};
    std::string text;
    for (int i = 0; i < 5; ++i) {
        if (g_fields[i] != w_fields[i]) {
            text += std::string(" ") + names[i] + " " + std::to_string(g_fields[i]) + " (expected " +
                    std::to_string(w_fields[i]) + ")";
        }
    }
    return text;
}

SerialSettings Settings(const char* name, LineValues line = {9600, 7, 2, 1}, uint16_t control = 0x0303) {
    SerialSettings s;
    std::memset(&s, 0, sizeof s);
    std::strncpy(s.port_name, name, sizeof s.port_name - 1);
    s.line = line;
    s.control_lines = control;
    return s;
}

// A port opened with the stand-ins, the calls of the open forgotten.
ComHandle OpenPort() {
    Reset();
    const SerialSettings s = Settings("COM2");
    ComHandle h = 0;
    if (Recorded([&] { return ComOpen(&s, &h); }) != kComOk) return 0;
    g.timeouts = kTimeoutsAsRead;
    g.calls.clear();
    return h;
}

void ClosePort(ComHandle h) {
    g.fail = 0;
    Recorded([&] { return ComClose(h); });
}

// ---------------------------------------------------------------------------
// Opening: CreateFileA, the DCB of every combination, timeouts, queues, order.

// The configuration a port must be given: every field the line values and
// the control lines decide, set; every other field as the port had it.
DCB ConfiguredDcb(DCB as_read, const SerialSettings& s, DWORD dtr, DWORD rts) {
    DCB d = as_read;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = s.line.baud_rate;
    d.fBinary = 1;
    d.fParity = 1;
    d.fOutxCtsFlow = 0;
    d.fOutxDsrFlow = 0;
    d.fDtrControl = dtr;
    d.fDsrSensitivity = 0;
    d.fOutX = 0;
    d.fInX = 0;
    d.fErrorChar = 0;
    d.fNull = 0;
    d.fRtsControl = rts;
    d.fAbortOnError = 0;
    d.ByteSize = static_cast<BYTE>(s.line.data_bits & 0xFF);
    d.Parity = static_cast<BYTE>(s.line.parity & 0xFF);
    d.StopBits = static_cast<BYTE>(s.line.stop_bits & 0xFF);
    d.ErrorChar = static_cast<char>(0xFC);
    return d;
}

// Everything wrong with the calls of one successful open of s.
std::string OpenProblems(const SerialSettings& s, const DCB& as_read, DWORD dtr, DWORD rts, ComHandle handle) {
    const std::string expected =
        Sequence({kCreateFileA, kGetCommState, kSetCommTimeouts, kSetCommState, kSetupComm});
    if (Sequence(g.calls) != expected) return " calls " + Sequence(g.calls) + " (expected " + expected + ")";
    std::string text;
    const Call& create = g.calls[0];
    if (create.name != s.port_name) text += " name " + create.name;
    if (create.args[0] != (GENERIC_READ | GENERIC_WRITE) || create.args[1] != 0 ||
        create.args[2] != OPEN_EXISTING || create.args[3] != FILE_ATTRIBUTE_NORMAL ||
        create.pointer != nullptr || create.extra_given) {
        text += " CreateFileA arguments";
    }
    const HANDLE port = AsHandle(handle);
    for (const Call& c : g.calls) {
        if (c.fn != kCreateFileA && c.handle != port) text += std::string(" ") + kFnNames[c.fn] + " handle";
    }
    if (g.calls[1].dcb.DCBlength != sizeof(DCB)) text += " GetCommState DCBlength";
    text += TimeoutDifferences(g.calls[2].timeouts, COMMTIMEOUTS{0, 0, 1000, 0, 0});
    text += DcbDifferences(g.calls[3].dcb, ConfiguredDcb(as_read, s, dtr, rts));
    if (g.calls[4].args[0] != 1200 || g.calls[4].args[1] != 1200) text += " SetupComm sizes";
    return text;
}

void EveryLineConfiguration() {
    g_case = "open: every line configuration";
    struct Part {
        uint16_t bits;
        DWORD control;
    };
    const Part dtr_parts[] = {{0x0000, DTR_CONTROL_DISABLE}, {0x0001, DTR_CONTROL_ENABLE},
                              {0x0100, DTR_CONTROL_ENABLE},  {0x8000, DTR_CONTROL_HANDSHAKE},
                              {0x8101, DTR_CONTROL_ENABLE}};
    const Part rts_parts[] = {{0x0000, RTS_CONTROL_DISABLE}, {0x0002, RTS_CONTROL_ENABLE},
                              {0x0200, RTS_CONTROL_ENABLE},  {0x1000, RTS_CONTROL_HANDSHAKE},
                              {0x2000, RTS_CONTROL_TOGGLE},  {0x3000, RTS_CONTROL_HANDSHAKE},
                              {0x3202, RTS_CONTROL_ENABLE}};
    const uint16_t bauds[] = {110, 9600, 65535};
    const char* const names[] = {"COM1", "\\\\.\\COM10", "COM256"};

    // The port as read: all bits clear, then all bits set, so that every
    // field is seen both set by the layer and passed through from the port.
    for (int pattern = 0; pattern < 2; ++pattern) {
        DCB as_read;
        std::memset(&as_read, pattern == 0 ? 0x00 : 0xFF, sizeof as_read);
        // Only the low byte of data bits, stop bits and parity counts.
        const uint16_t high = pattern == 0 ? 0x0000 : 0xA500;
        // Control-line bits without a meaning change nothing.
        const uint16_t unnamed = pattern == 0 ? 0x0000 : 0x4CFC;
        int index = 0;
        for (uint16_t baud : bauds)
            for (uint16_t data = 5; data <= 8; ++data)
                for (uint16_t stop = 0; stop <= 2; ++stop)
                    for (uint16_t parity = 0; parity <= 4; ++parity)
                        for (const Part& dtr : dtr_parts)
                            for (const Part& rts : rts_parts) {
                                const SerialSettings s = Settings(
                                    names[index++ % 3],
                                    LineValues{baud, static_cast<uint16_t>(data | high),
                                               static_cast<uint16_t>(stop | high),
                                               static_cast<uint16_t>(parity | high)},
                                    static_cast<uint16_t>(dtr.bits | rts.bits | unnamed));
                                Reset();
                                g.dcb = as_read;
                                ComHandle h = 0;
                                const int rc = Recorded([&] { return ComOpen(&s, &h); });
                                char where[96];
                                std::snprintf(where, sizeof where, "%s %u %u/%u/%u flags %04X read %02X",
                                              s.port_name, baud, data, stop, parity, s.control_lines,
                                              pattern == 0 ? 0 : 0xFF);
                                if (!CHECK_EQ(rc, kComOk)) continue;
                                CheckDetail(OpenProblems(s, as_read, dtr.control, rts.control, h), where,
                                            __LINE__);
                                g.calls.clear();
                                Recorded([&] { return ComClose(h); });
                                CheckDetail(Sequence(g.calls) == "CloseHandle" && g.calls[0].handle == AsHandle(h)
                                                ? ""
                                                : " close: " + Sequence(g.calls),
                                            where, __LINE__);
                            }
    }
}

void OpenFailures() {
    struct Case {
        const char* what;
        const char* name;
        unsigned fail;
        bool create_gives_null;
        int result;
        std::initializer_list<Fn> calls;
    };
    const Case cases[] = {
        {"CreateFileA fails", "COM3", Bit(kCreateFileA), false, kComOpenFailed, {kCreateFileA}},
        {"CreateFileA gives a null handle", "COM3", 0, true, kComOpenFailed, {kCreateFileA}},
        {"GetCommState fails", "COM3", Bit(kGetCommState), false, kComNotSerial,
         {kCreateFileA, kGetCommState, kCloseHandle}},
        {"SetCommTimeouts fails", "COM3", Bit(kSetCommTimeouts), false, kComOpenFailed,
         {kCreateFileA, kGetCommState, kSetCommTimeouts, kCloseHandle}},
        {"SetCommState fails", "COM3", Bit(kSetCommState), false, kComBadSettings,
         {kCreateFileA, kGetCommState, kSetCommTimeouts, kSetCommState, kCloseHandle}},
        {"SetupComm fails", "COM3", Bit(kSetupComm), false, kComOk,
         {kCreateFileA, kGetCommState, kSetCommTimeouts, kSetCommState, kSetupComm}},
        {"NUL takes no configuration", "NUL", 0, false, kComOk, {kCreateFileA}},
        {"nul is an ordinary name", "nul", Bit(kGetCommState), false, kComNotSerial,
         {kCreateFileA, kGetCommState, kCloseHandle}},
    };
    for (const Case& c : cases) {
        g_case = c.what;
        Reset();
        g.fail = c.fail;
        g.create_gives_null = c.create_gives_null;
        const SerialSettings s = Settings(c.name);
        ComHandle h = 0xCAFE;
        CHECK_EQ(Recorded([&] { return ComOpen(&s, &h); }), c.result);
        if (!CHECK(Sequence(g.calls) == Sequence(c.calls))) std::printf("  calls: %s\n", Sequence(g.calls).c_str());
        if (c.result == kComOk) {
            CHECK(AsHandle(h) == reinterpret_cast<HANDLE>(g.next_handle));
            ClosePort(h);
            continue;
        }
        CHECK_EQ(h, 0xCAFE);
        if (g.calls.size() < 2) continue;  // CreateFileA gave no handle
        // Every later call, the closing one included, is on the handle that
        // CreateFileA gave; after the failed open the layer no longer knows it.
        const HANDLE created = reinterpret_cast<HANDLE>(g.next_handle);
        for (size_t i = 1; i < g.calls.size(); ++i) CHECK(g.calls[i].handle == created);
        g.calls.clear();
        const ComHandle value = static_cast<ComHandle>(g.next_handle);
        CHECK_EQ(Recorded([&] { return ComWrite(value, "x", 1, nullptr); }), kComIoFailed);
        CHECK(g.calls.empty());
    }

}

// The layer serves a bounded number of ports at once; an open beyond them
// closes its handle and fails, and a close makes room again.
void FullTable() {
    g_case = "open: table full";
    Reset();
    const SerialSettings s = Settings("COM4");
    std::vector<ComHandle> open;
    for (int i = 0; i < 4096; ++i) {
        ComHandle h = 0;
        g.calls.clear();
        if (Recorded([&] { return ComOpen(&s, &h); }) != kComOk) break;
        open.push_back(h);
    }
    CHECK(open.size() >= 64 && open.size() < 4096);
    CHECK(Sequence(g.calls) == "CreateFileA CloseHandle");
    CHECK(g.calls.size() == 2 && g.calls[1].handle == reinterpret_cast<HANDLE>(g.next_handle));
    CHECK_EQ(Recorded([&] { return ComClose(open.back()); }), kComOk);
    open.pop_back();
    ComHandle again = 0;
    CHECK_EQ(Recorded([&] { return ComOpen(&s, &again); }), kComOk);
    open.push_back(again);
    for (ComHandle h : open) Recorded([&] { return ComClose(h); });
}

// ---------------------------------------------------------------------------
// Reply timeout.

void ReplyTimeouts() {
    struct Case {
        const char* what;
        DWORD before_ms;
        int32_t units;
        unsigned fail;
        bool sets;
        DWORD set_ms;
        int32_t result;
    };
    const Case cases[] = {
        {"unchanged: nothing written", 300, 30, 0, false, 0, 30},
        {"new value", 300, 45, 0, true, 450, 30},
        {"0 units: the fallback wait", 300, 0, 0, true, 1000, 30},
        {"below 0 units, fallback already in force", 1000, -5, 0, false, 0, 100},
        {"huge: capped", 300, INT32_MAX, 0, true, 655350, 30},
        {"previous below 10 ms", 7, 30, 0, true, 300, 0},
        {"GetCommTimeouts fails", 300, 45, Bit(kGetCommTimeouts), false, 0, 0},
        {"SetCommTimeouts fails", 300, 45, Bit(kSetCommTimeouts), true, 450, 0},
    };
    for (const Case& c : cases) {
        g_case = c.what;
        const ComHandle h = OpenPort();
        g.timeouts.ReadTotalTimeoutConstant = c.before_ms;
        g.fail = c.fail;
        CHECK_EQ(Recorded([&] { return ComSetReplyTimeout(h, c.units); }), c.result);
        const std::string expected = c.sets ? "GetCommTimeouts SetCommTimeouts" : "GetCommTimeouts";
        if (CHECK(Sequence(g.calls) == expected) && c.sets) {
            COMMTIMEOUTS want = kTimeoutsAsRead;
            want.ReadTotalTimeoutConstant = c.set_ms;
            CheckDetail(TimeoutDifferences(g.calls[1].timeouts, want), c.what, __LINE__);
        }
        for (const Call& call : g.calls) CHECK(call.handle == AsHandle(h));
        ClosePort(h);
    }
}

// ---------------------------------------------------------------------------
// Reads, writes, discards.

void ReadSteps() {
    struct Case {
        const char* what;
        int32_t count;
        std::vector<long> delivered;
        std::vector<DWORD> asked;
        int result;
        int32_t got;
    };
    const Case cases[] = {
        {"one read", 11, {11}, {11}, kComOk, 11},
        {"two pieces", 11, {4, 7}, {11, 7}, kComOk, 11},
        {"silence", 11, {0}, {11}, kComIoFailed, 0},
        {"a piece, then silence", 11, {5, 0}, {11, 6}, kComIoFailed, 5},
        {"ReadFile fails", 11, {3, -1}, {11, 8}, kComIoFailed, 3},
        {"more than asked is not trusted", 11, {4, 99}, {11, 7}, kComOk, 11},
        {"65535 bytes at once", 65535, {65535}, {65535}, kComOk, 65535},
        {"65535 bytes in steps", 65535, {1, 65000, 534}, {65535, 65534, 534}, kComOk, 65535},
        {"a count beyond 16 bits", 65536, {}, {}, kComIoFailed, 0},
        {"a count of 0", 0, {}, {}, kComIoFailed, 0},
    };
    static unsigned char buffer[65536];
    for (const Case& c : cases) {
        g_case = c.what;
        const ComHandle h = OpenPort();
        g.reads.assign(c.delivered.begin(), c.delivered.end());
        int32_t got = -1;
        CHECK_EQ(Recorded([&] { return ComReadExact(h, buffer, c.count, &got); }), c.result);
        CHECK_EQ(got, c.got);
        if (CHECK_EQ(g.calls.size(), c.asked.size())) {
            DWORD offset = 0;
            for (size_t i = 0; i < g.calls.size(); ++i) {
                const Call& call = g.calls[i];
                CHECK(call.fn == kReadFile && call.handle == AsHandle(h));
                CHECK_EQ(call.args[0], c.asked[i]);
                CHECK(call.pointer == buffer + offset);
                CHECK(call.out_given && !call.extra_given);
                offset += static_cast<DWORD>(c.delivered[i]);
            }
        }
        ClosePort(h);
    }
}

void Writes() {
    struct Case {
        const char* what;
        long reported;
        unsigned fail;
        int result;
        int32_t written;
    };
    const Case cases[] = {
        {"whole", -1, 0, kComOk, 16},
        {"short", 5, 0, kComShortWrite, 5},
        {"WriteFile fails", -1, Bit(kWriteFile), kComIoFailed, -1},
    };
    const unsigned char frame[16] = {4, '0', '1', 2, 'K', '1', 'S', '1', '1', '5', '0', '.', '0', '0', 3, 1};
    for (const Case& c : cases) {
        g_case = c.what;
        const ComHandle h = OpenPort();
        g.write_done = c.reported;
        g.fail = c.fail;
        int32_t written = -1;
        CHECK_EQ(Recorded([&] { return ComWrite(h, frame, 16, &written); }), c.result);
        CHECK_EQ(written, c.written);
        if (CHECK(Sequence(g.calls) == "WriteFile")) {
            const Call& call = g.calls[0];
            CHECK(call.handle == AsHandle(h) && call.pointer == frame && call.args[0] == 16);
            CHECK(call.out_given && !call.extra_given);
        }
        ClosePort(h);
    }
}

void Discards() {
    struct Case {
        const char* what;
        DWORD waiting;
        unsigned fail;
        std::vector<long> delivered;
        DWORD before_ms;
        int reads;
        int result;
    };
    const std::vector<long> chatter(200, 512);
    const Case cases[] = {
        {"nothing waiting: no read, timeout untouched", 0, 0, {}, 300, 0, kComOk},
        {"a few bytes", 3, 0, {3}, 300, 1, kComOk},
        {"1000 bytes", 1000, 0, {512, 488}, 300, 2, kComOk},
        {"exactly 512 bytes", 512, 0, {512, 0}, 300, 2, kComOk},
        {"ClearCommError fails: the reads decide", 0, Bit(kClearCommError), {0}, 300, 1, kComOk},
        {"a read fails", 10, 0, {-1}, 300, 1, kComOpenFailed},
        {"a chattering line: 128 reads at most", 10, 0, chatter, 300, 128, kComOk},
        {"a previous wait below 10 ms is not restored", 10, 0, {10}, 5, 1, kComOk},
        {"timeouts unreadable: no drain wait, no restore", 10, Bit(kGetCommTimeouts), {10}, 300, 1, kComOk},
    };
    for (const Case& c : cases) {
        g_case = c.what;
        const ComHandle h = OpenPort();
        g.in_queue = c.waiting;
        g.fail = c.fail;
        g.reads.assign(c.delivered.begin(), c.delivered.end());
        g.timeouts.ReadTotalTimeoutConstant = c.before_ms;
        CHECK_EQ(Recorded([&] { return ComDiscardInput(h); }), c.result);

        // Expected: ClearCommError; when reading, the 50 ms drain wait set,
        // the reads of 512 bytes, and the wait in force before put back.
        const bool timeouts_work = (c.fail & Bit(kGetCommTimeouts)) == 0;
        const bool restores = timeouts_work && c.before_ms >= 10;
        std::vector<Call> want = {Call(kClearCommError)};
        if (c.reads > 0) {
            want.push_back(Call(kGetCommTimeouts));
            if (timeouts_work) want.push_back(Call(kSetCommTimeouts));
            for (int i = 0; i < c.reads; ++i) want.push_back(Call(kReadFile));
            if (restores) {
                want.push_back(Call(kGetCommTimeouts));
                want.push_back(Call(kSetCommTimeouts));
            }
        }
        if (!CHECK(Sequence(g.calls) == Sequence(want))) {
            std::printf("  calls: %s\n", Sequence(g.calls).substr(0, 200).c_str());
            ClosePort(h);
            continue;
        }
        CHECK(g.calls[0].out_given);
        COMMTIMEOUTS drain = kTimeoutsAsRead;
        drain.ReadTotalTimeoutConstant = 50;
        COMMTIMEOUTS restored = kTimeoutsAsRead;
        restored.ReadTotalTimeoutConstant = c.before_ms;
        for (size_t i = 0; i < g.calls.size(); ++i) {
            const Call& call = g.calls[i];
            CHECK(call.handle == AsHandle(h));
            if (call.fn == kReadFile) {
                CHECK(call.args[0] == 512 && call.pointer != nullptr && call.out_given && !call.extra_given);
            }
            if (call.fn == kSetCommTimeouts) {
                CheckDetail(TimeoutDifferences(call.timeouts, i == 2 ? drain : restored), c.what, __LINE__);
            }
        }
        if (timeouts_work) CHECK_EQ(g.timeouts.ReadTotalTimeoutConstant, restores ? c.before_ms : 50);
        ClosePort(h);
    }
}

// ---------------------------------------------------------------------------
// Closing, and handles the layer did not open.

void CloseAndForeignHandles() {
    // A close the system refuses leaves the handle the layer's: the next
    // close tries again, and only a close that succeeded gives it up.
    g_case = "CloseHandle fails";
    ComHandle h = OpenPort();
    g.fail = Bit(kCloseHandle);
    CHECK_EQ(Recorded([&] { return ComClose(h); }), kComIoFailed);
    CHECK(Sequence(g.calls) == "CloseHandle" && g.calls[0].handle == AsHandle(h));
    g.calls.clear();
    CHECK_EQ(Recorded([&] { return ComCloseOwned(h); }), kComIoFailed);
    CHECK(Sequence(g.calls) == "CloseHandle");
    g.calls.clear();
    g.fail = 0;
    CHECK_EQ(Recorded([&] { return ComClose(h); }), kComOk);
    CHECK(Sequence(g.calls) == "CloseHandle" && g.calls[0].handle == AsHandle(h));

    // Given back, a value is no longer the layer's; nor is any value it never
    // opened. No operation passes it to the system, but for the host's close,
    // which asks GetCommState whether it is a serial device (a port of the
    // module's copy before a reload) and closes it only then.
    g_case = "foreign handles";
    unsigned char buffer[11];
    struct Foreign {
        ComHandle value;
        bool serial;  // GetCommState succeeds on it
    };
    const Foreign foreign[] = {
        {0, true},
        {h, false},
        {h, true},
        {static_cast<ComHandle>(g.next_handle + 4), true},
        {static_cast<ComHandle>(reinterpret_cast<uintptr_t>(GetStdHandle(STD_OUTPUT_HANDLE))), false},
    };
    for (const Foreign& f : foreign) {
        Reset();
        const ComHandle value = f.value;
        int32_t count = -1;
        CHECK_EQ(Recorded([&] { return ComWrite(value, "x", 1, &count); }), kComIoFailed);
        CHECK_EQ(Recorded([&] { return ComReadExact(value, buffer, 11, &count); }), kComIoFailed);
        CHECK_EQ(Recorded([&] { return ComDiscardInput(value); }), kComOpenFailed);
        CHECK_EQ(Recorded([&] { return ComSetReplyTimeout(value, 30); }), 0);
        CHECK_EQ(Recorded([&] { return ComCloseOwned(value); }), kComIoFailed);
        if (!CHECK(g.calls.empty())) std::printf("  %08X reached: %s\n", value, Sequence(g.calls).c_str());

        if (!f.serial) g.fail = Bit(kGetCommState);
        const bool closes = value != 0 && f.serial;
        CHECK_EQ(Recorded([&] { return ComClose(value); }), closes ? kComOk : kComIoFailed);
        const std::string expected = value == 0 ? "" : closes ? "GetCommState CloseHandle" : "GetCommState";
        if (!CHECK(Sequence(g.calls) == expected)) {
            std::printf("  close of %08X: %s\n", value, Sequence(g.calls).c_str());
        }
        for (const Call& call : g.calls) CHECK(call.handle == AsHandle(value));
    }
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    EveryLineConfiguration();
    OpenFailures();
    FullTable();
    ReplyTimeouts();
    ReadSteps();
    Writes();
    Discards();
    CloseAndForeignHandles();
    return wine_check::CheckSummary();
}
