// Platform services on Linux (and other POSIX systems).
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>

#include "host/records.h"

const char* const kModuleFileName = "libQDXTLMV.so";
const char* const kSimulatorFileName = "rexfsim";
const char* const kExamplePortName = "ttyUSB0";

namespace {

volatile sig_atomic_t g_interrupted = 0;
void (*volatile g_interrupt_hook)() = nullptr;

// With --direct, the driver's own port, and a descriptor that has hung up
// (a pipe's read end without its writer) to put in its place on Ctrl-C.
volatile sig_atomic_t g_direct_fd = -1;
volatile sig_atomic_t g_hung_up_fd = -1;

void OnInterrupt(int) {
    if (g_interrupted) _exit(130);  // the second Ctrl-C: at once
    g_interrupted = 1;
    if (g_interrupt_hook != nullptr) g_interrupt_hook();
    // The driver's read in flight, and its retries, then fail at once
    // instead of waiting out their reply timeouts; the device itself is
    // given up, as closing it would.
    const int fd = g_direct_fd;
    if (fd >= 0 && g_hung_up_fd >= 0) {
        g_direct_fd = -1;
        ioctl(fd, TIOCNXCL);
        dup2(g_hung_up_fd, fd);
    }
}

std::string RealPath(const std::string& path);

// First line of a sysfs attribute file ("" when there is none).
std::string SysfsValue(const std::string& path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n')) value.pop_back();
    return value;
}

// For a USB serial adapter, the USB device's description, VID:PID and serial
// number: the first directory above the tty's device that has idVendor.
void AddUsbDetails(const std::string& name, SerialDevice* d) {
    std::string dir = RealPath("/sys/class/tty/" + name + "/device");
    for (int up = 0; up < 6 && dir.size() > 1; ++up) {
        if (!SysfsValue(dir + "/idVendor").empty()) {
            d->usb_id = SysfsValue(dir + "/idVendor") + ":" + SysfsValue(dir + "/idProduct");
            const std::string maker = SysfsValue(dir + "/manufacturer");
            const std::string product = SysfsValue(dir + "/product");
            d->description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
            d->serial_number = SysfsValue(dir + "/serial");
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return "";
    return resolved;
}

bool IsSerialName(const std::string& name) {
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"}) {
        const size_t n = std::strlen(prefix);
        if (name.size() > n && name.compare(0, n, prefix) == 0 &&
            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(n), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

// The driver's name for a device path: "ttyUSB0" for /dev/ttyUSB0.
std::string DriverNameOf(const std::string& path) {
    const std::string dev = "/dev/";
    if (path.compare(0, dev.size(), dev) == 0 && path.find('/', dev.size()) == std::string::npos &&
        path.size() - dev.size() <= kPortNameMax)
        return path.substr(dev.size());
    return path;
}

}  // namespace

void* LoadLibraryAt(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : "unknown error";
    }
    return library;
}

void* FindLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

void UnloadLibrary(void* library) { dlclose(library); }

std::string ExecutablePath() { return RealPath("/proc/self/exe"); }

std::string ExecutableDir() {
    const std::string self = ExecutablePath();
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "" : self.substr(0, slash);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == static_cast<unsigned long long>(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino);
}

int StdoutColumns() {
    winsize size{};
    if (!StdoutIsTerminal() || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void InstallConsoleHandlers() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

void SetInterruptHook(void (*hook)()) { g_interrupt_hook = hook; }

void SetDirectPort(long long handle) {
    if (handle < 0) {
        g_direct_fd = -1;
        return;
    }
    if (g_hung_up_fd < 0) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return;
        close(ends[1]);
        g_hung_up_fd = ends[0];
    }
    if (handle > 2 && handle <= INT_MAX) g_direct_fd = static_cast<int>(handle);
}

std::string ModulePortName(const std::string& user_port, std::string* error) {
    if (user_port.empty()) {
        *error = "the port name is empty";
        return "";
    }
    if (user_port.size() <= kPortNameMax) return user_port;
    const std::string candidate =
        user_port.find('/') != std::string::npos ? user_port : "/dev/" + user_port;
    const std::string resolved = RealPath(candidate);
    if (resolved.empty()) {
        *error = "cannot open port " + user_port + ": " + std::strerror(errno);
        return "";
    }
    const std::string name = DriverNameOf(resolved);
    if (name.size() > kPortNameMax) {
        *error = "port " + user_port + " names " + resolved +
                 ", longer than the driver's 11-character port name; make a shorter link to it "
                 "(e.g. ln -s " + resolved + " /tmp/rexf0) and use that";
        return "";
    }
    return name;
}

std::string PortDevicePath(const std::string& user_port) {
    if (user_port == "NUL") return "/dev/null";
    if (user_port.find('/') != std::string::npos) return user_port;
    return "/dev/" + user_port;
}

unsigned long long PortDeviceId(const std::string& user_port) {
    struct stat st {};
    if (stat(PortDevicePath(user_port).c_str(), &st) != 0) return 0;
    // The inode tells a new pseudo-terminal from an old one of the same number.
    return (static_cast<unsigned long long>(st.st_rdev) << 32) ^ st.st_ino ^ (S_ISCHR(st.st_mode) ? 1u : 2u);
}

bool DriverPortHungUp(long long handle) {
    if (handle <= 2 || handle > 65535) return false;
    pollfd p{static_cast<int>(handle), 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::string PortOpenHint(const std::string& module_port) {
    const std::string path = PortDevicePath(module_port);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::string(path) + ": " + std::strerror(errno);
    if (access(path.c_str(), R_OK | W_OK) != 0)
        return path + ": permission denied (is your user in the group that owns it, e.g. dialout?)";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string hint;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        hint = path + " is in use by another program";
    else if (!isatty(fd))
        hint = path + " is not a serial device";
    close(fd);
    return hint;
}

std::vector<SerialDevice> ListSerialDevices() {
    std::map<std::string, SerialDevice> found;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (!IsSerialName(name)) continue;
            SerialDevice d;
            d.path = "/dev/" + name;
            d.module_name = DriverNameOf(d.path);
            // Standard UART nodes exist whether or not a UART answers there.
            std::ifstream type("/sys/class/tty/" + name + "/type");
            int uart_type = -1;
            if (name.compare(0, 4, "ttyS") == 0 && (type >> uart_type) && uart_type == 0)
                d.note = "no UART behind it";
            AddUsbDetails(name, &d);
            found[d.path] = d;
        }
        closedir(dir);
    }
    for (const char* links : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        DIR* dir = opendir(links);
        if (dir == nullptr) continue;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const std::string link = std::string(links) + "/" + entry->d_name;
            const std::string target = RealPath(link);
            auto it = found.find(target);
            if (it != found.end()) it->second.aliases.push_back(link);
        }
        closedir(dir);
    }
    std::vector<SerialDevice> list;
    for (auto& entry : found) {
        std::sort(entry.second.aliases.begin(), entry.second.aliases.end());
        list.push_back(entry.second);
    }
    // Devices with something behind them first, then by name.
    std::stable_sort(list.begin(), list.end(),
                     [](const SerialDevice& a, const SerialDevice& b) { return a.note.empty() && !b.note.empty(); });
    return list;
}

const char* PortNameHelp() {
    return "Port names (Linux): the driver takes at most 11 characters. \"NUL\" is\n"
           "/dev/null; a name with '/' is a path (/dev/pts/3); any other name is a\n"
           "device under /dev (ttyUSB0 is /dev/ttyUSB0, ttyS0 is /dev/ttyS0). A longer\n"
           "path, such as a /dev/serial/by-id name or a symlink, is resolved to the\n"
           "device it names first. 'qdxpoll list-ports' shows the devices.\n"
           "A device server: tcp:HOST:PORT (raw TCP) or rfc2217:HOST:PORT (telnet that\n"
           "sets the line on the server); HOST an IPv4 address, [IPv6] or a name.\n";
}
