// The ten functions put in the module's import table, and the routing of
// each call: the served port's handle to the relay, anything else to the
// system's function the table held before.
#include "port/wire_layer_win32.h"

#include <cctype>
#include <mutex>

#include "port/module_imports_win32.h"

namespace {

enum Slot { kCreate, kGetState, kSetState, kGetTimeouts, kSetTimeouts, kSetup, kClearError, kRead, kWrite, kClose, kSlots };

ImportReplacement g_imports[kSlots];

// The served port: its name for the driver, the relay answering it, and the
// handle the driver holds (a private event: a real handle value nobody
// else has, that CloseHandle gives back).
std::mutex g_mutex;
std::string g_name;
ServedPort* g_port = nullptr;
HANDLE g_handle = nullptr;

template <typename F>
F Original(Slot slot) {
    return reinterpret_cast<F>(g_imports[slot].original);
}

// The relay for a handle the driver holds, or null for any other handle.
// The session calls the driver and starts and stops the relay on one
// thread, so the port does not go while a call is in it.
ServedPort* PortFor(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return h != nullptr && h == g_handle ? g_port : nullptr;
}

bool HoldsServedHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return h != nullptr && h == g_handle;
}

// "COM7", "\\.\COM7" and "com7" name the same port.
std::string Bare(const char* name) {
    std::string s = name != nullptr ? name : "";
    if (s.rfind("\\\\.\\", 0) == 0) s.erase(0, 4);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

HANDLE WINAPI LayerCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE template_file) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_port != nullptr && name != nullptr && Bare(name) == Bare(g_name.c_str())) {
            // Held without sharing, as a COM port is: a second open is refused.
            if (g_handle != nullptr) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            g_handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (g_handle == nullptr) return INVALID_HANDLE_VALUE;
            return g_handle;
        }
    }
    return Original<decltype(&CreateFileA)>(kCreate)(name, access, share, security, disposition, flags,
                                                     template_file);
}

BOOL WINAPI LayerCloseHandle(HANDLE h) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (h != nullptr && h == g_handle) g_handle = nullptr;  // the event goes below
    }
    return Original<decltype(&CloseHandle)>(kClose)(h);
}

// A handle the driver still holds after the relay stopped: its port is gone.
BOOL Gone() {
    SetLastError(ERROR_BAD_COMMAND);
    return FALSE;
}

BOOL WINAPI LayerReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
    if (ServedPort* port = PortFor(h)) {
        DWORD n = 0;
        const BOOL ok = overlapped == nullptr ? port->Read(buffer, count, &n) : (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
        if (got != nullptr) *got = n;
        return ok;
    }
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&ReadFile)>(kRead)(h, buffer, count, got, overlapped);
}

BOOL WINAPI LayerWriteFile(HANDLE h, LPCVOID bytes, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    if (ServedPort* port = PortFor(h)) {
        DWORD n = 0;
        const BOOL ok = overlapped == nullptr ? port->Write(bytes, count, &n) : (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
        if (done != nullptr) *done = n;
        return ok;
    }
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&WriteFile)>(kWrite)(h, bytes, count, done, overlapped);
}

BOOL WINAPI LayerGetCommState(HANDLE h, LPDCB dcb) {
    if (ServedPort* port = PortFor(h)) return dcb != nullptr ? port->GetState(dcb) : Gone();
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&GetCommState)>(kGetState)(h, dcb);
}

BOOL WINAPI LayerSetCommState(HANDLE h, LPDCB dcb) {
    if (ServedPort* port = PortFor(h)) return dcb != nullptr ? port->SetState(*dcb) : Gone();
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&SetCommState)>(kSetState)(h, dcb);
}

BOOL WINAPI LayerGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    if (ServedPort* port = PortFor(h)) return t != nullptr ? port->GetTimeouts(t) : Gone();
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&GetCommTimeouts)>(kGetTimeouts)(h, t);
}

BOOL WINAPI LayerSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    if (ServedPort* port = PortFor(h)) return t != nullptr ? port->SetTimeouts(*t) : Gone();
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&SetCommTimeouts)>(kSetTimeouts)(h, t);
}

// Queue sizes are a request a port may ignore; this one has no fixed queue.
BOOL WINAPI LayerSetupComm(HANDLE h, DWORD in, DWORD out) {
    if (PortFor(h) != nullptr) return TRUE;
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&SetupComm)>(kSetup)(h, in, out);
}

BOOL WINAPI LayerClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
    if (ServedPort* port = PortFor(h)) return port->ClearError(errors, status);
    if (HoldsServedHandle(h)) return Gone();
    return Original<decltype(&ClearCommError)>(kClearError)(h, errors, status);
}

}  // namespace

bool AttachWireLayer(HMODULE module, std::string* why) {
    static std::mutex attach_mutex;
    std::lock_guard<std::mutex> lock(attach_mutex);
    const ImportReplacement wanted[kSlots] = {
        {"CreateFileA", reinterpret_cast<void*>(&LayerCreateFileA), nullptr},
        {"GetCommState", reinterpret_cast<void*>(&LayerGetCommState), nullptr},
        {"SetCommState", reinterpret_cast<void*>(&LayerSetCommState), nullptr},
        {"GetCommTimeouts", reinterpret_cast<void*>(&LayerGetCommTimeouts), nullptr},
        {"SetCommTimeouts", reinterpret_cast<void*>(&LayerSetCommTimeouts), nullptr},
        {"SetupComm", reinterpret_cast<void*>(&LayerSetupComm), nullptr},
        {"ClearCommError", reinterpret_cast<void*>(&LayerClearCommError), nullptr},
        {"ReadFile", reinterpret_cast<void*>(&LayerReadFile), nullptr},
        {"WriteFile", reinterpret_cast<void*>(&LayerWriteFile), nullptr},
        {"CloseHandle", reinterpret_cast<void*>(&LayerCloseHandle), nullptr},
    };
    ImportReplacement list[kSlots];
    for (int i = 0; i < kSlots; ++i) {
        list[i] = wanted[i];
        list[i].original = g_imports[i].original;  // kept from an earlier load of the same copy
    }
    if (!ReplaceImports(module, "KERNEL32.dll", list, kSlots, why)) return false;
    for (int i = 0; i < kSlots; ++i) g_imports[i] = list[i];
    return true;
}

void ServePort(const std::string& driver_name, ServedPort* port) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_name = driver_name;
    g_port = port;
}

void UnservePort() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_port = nullptr;
}
