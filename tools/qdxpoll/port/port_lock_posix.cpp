// UUCP lock files and the scan of /proc for the device's other openers.
#include "port/port_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

namespace {

const char* const kLockDir = "/var/lock";

// /dev/ttyUSB0 -> LCK..ttyUSB0; /dev/pts/5 -> LCK..pts_5 (no '/' in a name).
std::string LockFileOf(const std::string& device) {
    char resolved[4096];
    std::string path = realpath(device.c_str(), resolved) != nullptr ? resolved : device;
    if (path.rfind("/dev/", 0) == 0) path = path.substr(5);
    for (char& c : path)
        if (c == '/') c = '_';
    return std::string(kLockDir) + "/LCK.." + path;
}

int PidInLockFile(const std::string& path) {
    std::ifstream in(path);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > 0x3FFFFFFF) return 0;
    return static_cast<int>(pid);
}

bool Alive(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

std::string CommandOf(int pid) {
    std::ifstream in(fmt::format("/proc/{}/comm", pid));
    std::string command;
    std::getline(in, command);
    return command.empty() ? "?" : command;
}

// The pseudo-terminal a master descriptor (/dev/ptmx) stands for, or -1.
int PtyIndexOf(int pid, const char* fd) {
    std::ifstream in(fmt::format("/proc/{}/fdinfo/{}", pid, fd));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10);
    return -1;
}

bool IsPseudoTerminal(dev_t rdev) { return major(rdev) >= 136 && major(rdev) <= 143; }

// Whether the process holds the device open; unknown (true) where its
// descriptors are not ours to read.
bool MayHoldOpen(int pid, dev_t rdev) {
    const std::string fd_dir = fmt::format("/proc/{}/fd", pid);
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) return true;
    bool holds = false;
    while (dirent* fd = readdir(fds)) {
        struct stat st {};
        if (fd->d_name[0] != '.' && stat((fd_dir + "/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev)
            holds = true;
    }
    closedir(fds);
    return holds;
}

// A live holder keeps its lock, except on a pseudo-terminal it no longer
// has open: pseudo-terminal numbers are handed out again as soon as one
// closes, so the lock names a line that is gone.
bool LockHeld(int holder, const struct stat& device) {
    if (holder == 0 || holder == getpid() || !Alive(holder)) return false;
    return !IsPseudoTerminal(device.st_rdev) || MayHoldOpen(holder, device.st_rdev);
}

}  // namespace

bool TakePortLockFile(const std::string& device, std::string* lock_file, std::string* error) {
    lock_file->clear();
    if (access(kLockDir, W_OK) != 0) return true;  // not ours to lock: flock and TIOCEXCL still hold
    struct stat st {};
    if (stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return true;  // no device file to name
    const std::string path = LockFileOf(device);
    for (int round = 0; round < 2; ++round) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string text = fmt::format("{:>10}\n", getpid());
            const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            close(fd);
            if (!written) {
                unlink(path.c_str());
                return true;
            }
            *lock_file = path;
            return true;
        }
        if (errno != EEXIST) return true;
        const int holder = PidInLockFile(path);
        if (LockHeld(holder, st)) {
            *error = fmt::format("{} is locked by pid {} ({}), lock file {}", device, holder, CommandOf(holder), path);
            return false;
        }
        unlink(path.c_str());  // stale: its process or its line is gone
    }
    return true;
}

void ReleasePortLockFile(const std::string& lock_file) {
    if (!lock_file.empty() && PidInLockFile(lock_file) == getpid()) unlink(lock_file.c_str());
}

std::vector<PortOpener> OtherOpeners(const std::string& device) {
    std::vector<PortOpener> found;
    struct stat target {};
    if (stat(device.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return found;
    // A pseudo-terminal's far side (who holds its master) is the line itself.
    const int pty_index = IsPseudoTerminal(target.st_rdev)
                              ? static_cast<int>((major(target.st_rdev) - 136) * 256 + minor(target.st_rdev))
                              : -1;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    const int self = getpid();
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self) continue;
        const std::string fd_dir = fmt::format("/proc/{}/fd", pid);
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr) continue;
        bool holds = false, far_side = false;
        while (dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st {};
            if (stat((fd_dir + "/" + fd->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (st.st_rdev == target.st_rdev) holds = true;
            if (pty_index >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2 &&
                PtyIndexOf(static_cast<int>(pid), fd->d_name) == pty_index)
                far_side = true;
        }
        closedir(fds);
        if (holds && !far_side) found.push_back({static_cast<int>(pid), CommandOf(static_cast<int>(pid))});
    }
    closedir(proc);
    return found;
}

std::string DescribeOpeners(const std::vector<PortOpener>& openers) {
    std::string text;
    for (const PortOpener& o : openers) text += fmt::format("{}pid {} ({})", text.empty() ? "" : ", ", o.pid, o.command);
    return text;
}
