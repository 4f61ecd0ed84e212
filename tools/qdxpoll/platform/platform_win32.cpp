// Platform services on Windows: the module library, the console, the COM
// ports and their names.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "host/records.h"

const char* const kModuleFileName = "QDXTLMV.dll";
const char* const kSimulatorFileName = "rexfsim.exe";
const char* const kExamplePortName = "COM3";

namespace {

volatile LONG g_interrupted = 0;
void (*volatile g_interrupt_hook)() = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        if (InterlockedExchange(&g_interrupted, 1) != 0) ExitProcess(130);  // the second one: at once
        if (g_interrupt_hook != nullptr) g_interrupt_hook();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void* LoadLibraryAt(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) *error = "LoadLibrary failed, error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(library);
}

void* FindLibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string ExecutablePath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n == 0 || n >= sizeof path ? "" : std::string(path, n);
}

std::string ExecutableDir() {
    const std::string self = ExecutablePath();
    const size_t slash = self.find_last_of("\\/");
    return slash == std::string::npos ? "" : self.substr(0, slash);
}

bool FileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool StdinIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool StdoutIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int StdoutColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool StderrIsJournal() { return false; }

bool StderrIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void InstallConsoleHandlers() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    // UTF-8 output for the banner and the frame lines.
    SetConsoleOutputCP(CP_UTF8);
}

bool Interrupted() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

void RequestInterrupt() {
    if (InterlockedExchange(&g_interrupted, 1) == 0 && g_interrupt_hook != nullptr) g_interrupt_hook();
}

void SetInterruptHook(void (*hook)()) { g_interrupt_hook = hook; }

// Windows: Ctrl-C waits for the request in flight.
void SetDirectPort(long long) {}

std::string ModulePortName(const std::string& user_port, std::string* error) {
    if (user_port.empty()) {
        *error = "the port name is empty";
        return "";
    }
    if (user_port.size() > kPortNameMax) {
        *error = "port name " + user_port + " is longer than the driver's 11 characters";
        return "";
    }
    return user_port;
}

std::string PortDevicePath(const std::string& user_port) { return user_port; }

// A COM port's name stands for a device while the system knows the name (a
// USB adapter pulled takes its name away). Windows keeps no identity of the
// device behind a name that qdxpoll can read, so every known name is 1.
unsigned long long PortDeviceId(const std::string& user_port) {
    std::string name = user_port;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.empty() || name.find_first_of(":/\\") != std::string::npos) return 0;  // no device name
    char target[512];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) != 0 ? 1 : 0;
}

// The driver's handle (32 bits, sign-extended as the system's handles are)
// fails ClearCommError with one of these once its device went away.
bool DriverPortHungUp(long long handle) {
    if (handle == 0 || handle == -1) return false;
    const HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(handle)));
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(h, &errors, &status)) return false;
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED: return true;
        default: return false;  // the null device, a handle not open: no port gone
    }
}

std::string PortOpenHint(const std::string& module_port) {
    HANDLE h = CreateFileA(module_port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return "";
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND: return module_port + ": no such port";
        case ERROR_ACCESS_DENIED: return module_port + " is in use by another program";
        default: return module_port + ": error " + std::to_string(GetLastError());
    }
}

// ListSerialDevices: serial_devices_win32.cpp.

const char* PortNameHelp() {
    return "Port names (Windows): the driver takes at most 11 characters: COM1..COM9,\n"
           "\\\\.\\COM10 and above, or NUL (the null device). 'qdxpoll list-ports' shows\n"
           "the ports of this machine.\n";
}
