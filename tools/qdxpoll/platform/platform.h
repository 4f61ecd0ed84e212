// What qdxpoll needs from the operating system, one implementation per
// platform (platform_posix.cpp, platform_win32.cpp).
#ifndef QDXPOLL_PLATFORM_H
#define QDXPOLL_PLATFORM_H

#include <string>
#include <vector>

// File names of the module and the simulator on this platform.
extern const char* const kModuleFileName;     // libQDXTLMV.so / QDXTLMV.dll
extern const char* const kSimulatorFileName;  // rexfsim / rexfsim.exe
// A serial port's name as the examples give it: ttyUSB0 / COM3.
extern const char* const kExamplePortName;

// Dynamic library loading. On failure LoadLibraryAt returns null and puts the
// system's reason into *error.
void* LoadLibraryAt(const std::string& path, std::string* error);
void* FindLibrarySymbol(void* library, const char* name);
void UnloadLibrary(void* library);

// The running executable and its directory ("" when unknown).
std::string ExecutablePath();
std::string ExecutableDir();
bool FileExists(const std::string& path);
std::string GetEnvironment(const char* name);
std::string JoinPath(const std::string& dir, const std::string& name);

bool StdinIsTerminal();
bool StdoutIsTerminal();
bool StderrIsTerminal();
// Whether standard error is the system journal's stream (JOURNAL_STREAM
// names its device and inode).
bool StderrIsJournal();
// The columns of the terminal on stdout; 0 when it is none.
int StdoutColumns();

// Ctrl-C (and SIGTERM on POSIX) sets a flag instead of ending the process,
// so that a poll can close its port and print its statistics; a second one
// ends the process at once (exit code 130). On Windows the console also gets
// UTF-8 output, for the banner and the trace.
void InstallConsoleHandlers();
bool Interrupted();
// Windows: what the first Ctrl-C does, asked by the service control
// manager's stop; a stop asked again changes nothing.
void RequestInterrupt();
// A function the first Ctrl-C calls, from the signal handler (POSIX) or the
// console's handler thread (Windows): it must be safe there.
void SetInterruptHook(void (*hook)());
// The driver's own port (its handle) with --direct, which Ctrl-C cuts off so
// that the request in flight ends at once; -1: none.
void SetDirectPort(long long handle);

// The name to put in the start request for the port the user named. Names
// longer than the driver's 11 characters are resolved to the device they
// name; returns "" with *error set when the port still cannot be named.
std::string ModulePortName(const std::string& user_port, std::string* error);

// The device file a port name stands for: "NUL" is /dev/null, a name with
// '/' is a path, any other name a device under /dev (/dev/ttyUSB0 for ttyUSB0).
std::string PortDevicePath(const std::string& user_port);
// Which device the port name stands for now (through any links), as a
// number that changes when another device takes the name; 0 when it names
// none.
unsigned long long PortDeviceId(const std::string& user_port);
// Whether the driver's open port (its handle) has hung up: its device went
// away behind it.
bool DriverPortHungUp(long long handle);

// A short reason why a port could not be opened ("" when none is known).
std::string PortOpenHint(const std::string& module_port);

// One serial device of the machine.
struct SerialDevice {
    std::string path;                  // /dev/ttyUSB0, COM3
    std::string module_name;           // the name the driver accepts
    std::vector<std::string> aliases;  // stable names (/dev/serial/by-id/...)
    std::string note;                  // e.g. "no UART behind it"
    std::string description;           // USB adapter: manufacturer and product
    std::string usb_id;                // USB adapter: VID:PID, e.g. 0403:6001
    std::string serial_number;         // USB adapter's serial number
};
std::vector<SerialDevice> ListSerialDevices();

// How port names reach the system, for --help.
const char* PortNameHelp();

#endif  // QDXPOLL_PLATFORM_H
