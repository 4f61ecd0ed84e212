// Serial port layer on POSIX (Linux): termios, poll() and a per-descriptor
// table of reply timeouts.
//
// Mapping of the layer onto the system:
// - Port names: exactly "NUL" is /dev/null, opened without any configuration;
//   a name holding '/' is a path used as given; any other name is a device
//   under /dev ("ttyUSB0" -> /dev/ttyUSB0).
// - A port is opened without sharing: TIOCEXCL keeps other non-root openers
//   out, and an exclusive flock() on the descriptor catches everyone else,
//   root included (root ignores TIOCEXCL).
// - Descriptors are opened O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC and
//   stay non-blocking: every wait is a poll() with a deadline, so no call can
//   hang on a silent or vanished device. A descriptor below 3 is moved to 3 or
//   above, so that the handle is never 0 (0 means "no port" to the caller).
// - The reply timeout lives in a small static table indexed by descriptor
//   (termios has no per-descriptor read timeout). The table also marks which
//   descriptors this layer opened: an operation on a handle that is not in
//   the table fails at once and never touches a descriptor someone else owns.
//   The one exception is the host's close request on a terminal descriptor,
//   which is how a port opened before a reload of the module is released.
//
// No heap, no exceptions, no threads.

#include "serial/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// Bytes one draining read of ComDiscardInput asks for.
enum { kDiscardChunk = 512 };
// A port that keeps delivering full chunks is drained at most this many
// times per call (64 KiB), so a chattering line cannot keep the caller busy
// forever.
enum { kDiscardMaxReads = 128 };
// How long ComWrite waits for room in the output queue when the device
// cannot take the bytes at once.
enum { kWriteRoomWaitMs = 1000 };
// Kernel-internal "ioctl not supported" code that some drivers let through.
enum { kErrNoIoctlCmd = 515 };

// What the layer keeps about one open descriptor. A zeroed slot is free.
struct PortSlot {
    uint8_t in_use;
    uint8_t rts_toggle;  // raise RTS around each write
    int32_t fd;
    int32_t timeout_ms;  // reply timeout as last set
};

// Descriptors below kDirectSlots index the table directly; the few above it
// (a host with very many files open) share a small table searched by value.
enum { kDirectSlots = 1024, kOverflowSlots = 32 };
PortSlot g_direct[kDirectSlots];
PortSlot g_overflow[kOverflowSlots];

// The slot of an open handle, or null when this layer did not open it.
PortSlot* FindSlot(ComHandle handle) {
    if (handle < 3 || handle > 0x7fffffffu) return nullptr;
    const int32_t fd = static_cast<int32_t>(handle);
    if (fd < kDirectSlots) return g_direct[fd].in_use ? &g_direct[fd] : nullptr;
    for (int i = 0; i < kOverflowSlots; ++i) {
        if (g_overflow[i].in_use && g_overflow[i].fd == fd) return &g_overflow[i];
    }
    return nullptr;
}

// Takes a slot for a freshly opened descriptor; null when none is left.
PortSlot* ClaimSlot(int fd) {
    PortSlot* slot = nullptr;
    if (fd < kDirectSlots) {
        slot = &g_direct[fd];
    } else {
        for (int i = 0; i < kOverflowSlots && slot == nullptr; ++i) {
            if (!g_overflow[i].in_use) slot = &g_overflow[i];
        }
    }
    if (slot == nullptr) return nullptr;
    slot->in_use = 1;
    slot->rts_toggle = 0;
    slot->fd = fd;
    slot->timeout_ms = kOpenReplyTimeoutMs;
    return slot;
}

void ReleaseSlot(PortSlot* slot) {
    slot->in_use = 0;
    slot->rts_toggle = 0;
    slot->fd = -1;
    slot->timeout_ms = 0;
}

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void CloseQuietly(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Builds the device path for a port name. The name field holds at most 11
// characters and a terminating NUL; a field without one is refused rather
// than read past its end.
bool DevicePath(const char* name, char* path, size_t path_size) {
    size_t len = 0;
    while (len < kPortNameField && name[len] != '\0') ++len;
    if (len == 0 || len >= kPortNameField) return false;
    const bool is_path = memchr(name, '/', len) != nullptr;
    const char* prefix = is_path ? "" : "/dev/";
    const size_t prefix_len = strlen(prefix);
    if (prefix_len + len + 1 > path_size) return false;
    memcpy(path, prefix, prefix_len);
    memcpy(path + prefix_len, name, len);
    path[prefix_len + len] = '\0';
    return true;
}

bool SpeedFor(uint16_t baud, speed_t* speed) {
    static const struct { uint16_t baud; speed_t speed; } kSpeeds[] = {
        {50, B50},     {75, B75},     {110, B110},     {134, B134},
        {150, B150},   {200, B200},   {300, B300},     {600, B600},
        {1200, B1200}, {1800, B1800}, {2400, B2400},   {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
    };
    for (const auto& entry : kSpeeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Fills the line part of a termios record from the settings: raw bytes, the
// asked speed, character size, stop bits and parity, no flow control of any
// kind. False when a value has no termios equivalent.
bool ApplyLine(const LineValues& line, struct termios* t) {
    speed_t speed;
    if (!SpeedFor(line.baud_rate, &speed)) return false;

    // Data bits, stop bits and parity are the low bytes of their fields, as
    // the Windows build hands them to the system.
    tcflag_t size;
    switch (line.data_bits & 0xff) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
    }
    tcflag_t stop;
    switch (line.stop_bits & 0xff) {
        case 0: stop = 0; break;
        case 2: stop = CSTOPB; break;
        default: return false;  // one and a half stop bits: no termios form
    }
    tcflag_t parity;
    switch (line.parity & 0xff) {
        case 0: parity = 0; break;
        case 1: parity = PARENB | PARODD; break;
        case 2: parity = PARENB; break;
        case 3: parity = PARENB | CMSPAR | PARODD; break;
        case 4: parity = PARENB | CMSPAR; break;
        default: return false;
    }

    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                    IXON | IXOFF | IXANY | IGNPAR | INPCK);
    if (parity != 0) t->c_iflag |= INPCK;
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t->c_cflag |= size | stop | parity | CLOCAL | CREAD;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    return true;
}

// Pseudo-terminal slaves (Unix98 majors 136..143, legacy BSD major 3).
bool IsPseudoTerminal(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int dev_major = major(st.st_rdev);
    return (dev_major >= 136 && dev_major <= 143) || dev_major == 3;
}

// Bits that decide how the line works; after tcsetattr they must read back
// as asked, since tcsetattr succeeds when any part of the change was taken.
const tcflag_t kCheckedCflag = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD;
const tcflag_t kCheckedIflag = IXON | IXOFF | IXANY | INPCK | ISTRIP | PARMRK;
// A pseudo-terminal always carries 8-bit bytes without parity and keeps
// these bits as they were, whatever is asked; it also reports the refusal
// as a failed tcsetattr. Its line is still usable for the same bytes.
const tcflag_t kPtyKeptCflag = CSIZE | PARENB | PARODD | CMSPAR;

bool LineTaken(int fd, const struct termios& wanted) {
    struct termios got;
    if (tcgetattr(fd, &got) != 0) return false;
    if (cfgetispeed(&got) != cfgetispeed(&wanted)) return false;
    if (cfgetospeed(&got) != cfgetospeed(&wanted)) return false;
    if ((got.c_iflag & kCheckedIflag) != (wanted.c_iflag & kCheckedIflag)) return false;
    tcflag_t cflag_mask = kCheckedCflag;
    if (((got.c_cflag ^ wanted.c_cflag) & cflag_mask) != 0 && IsPseudoTerminal(fd)) {
        cflag_mask &= ~kPtyKeptCflag;
    }
    return ((got.c_cflag ^ wanted.c_cflag) & cflag_mask) == 0;
}

// Raises or drops modem lines. Devices without modem lines (pseudo-terminals,
// some adapters) refuse the request; that is not an error for the port.
bool SetModemLines(int fd, int request, int bits) {
    if (bits == 0) return true;
    if (ioctl(fd, request, &bits) == 0) return true;
    return errno == ENOTTY || errno == EINVAL || errno == kErrNoIoctlCmd;
}

// DTR and RTS from the control-line flags. There is no flow control on this
// line, so the handshake modes have no termios form (CRTSCTS would also stop
// output on CTS, which the port must not do): their lines are simply held on,
// as the handshake would hold them while the input queue has room. RTS
// toggle holds RTS off while idle and raises it around each write.
bool ApplyControlLines(int fd, uint16_t flags, PortSlot* slot) {
    int raise = 0;
    int drop = 0;
    if ((flags & (kDtrOn | kDtrOnAlt)) != 0 || (flags & kDtrHandshake) != 0) {
        raise |= TIOCM_DTR;
    } else {
        drop |= TIOCM_DTR;
    }
    if ((flags & (kRtsOn | kRtsOnAlt)) != 0) {
        raise |= TIOCM_RTS;
    } else if ((flags & kRtsHandshake) != 0) {
        raise |= TIOCM_RTS;
    } else if ((flags & kRtsToggle) != 0) {
        drop |= TIOCM_RTS;
        slot->rts_toggle = 1;
    } else {
        drop |= TIOCM_RTS;
    }
    return SetModemLines(fd, TIOCMBIS, raise) && SetModemLines(fd, TIOCMBIC, drop);
}

// Opens the path for the layer: non-blocking, close-on-exec, never as the
// controlling terminal, and never on descriptors 0..2. -1 on failure.
int OpenDescriptor(const char* path) {
    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    if (fd < 3) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        CloseQuietly(fd);
        fd = moved;
    }
    return fd;
}

// Outcome of one read step.
struct ReadStep {
    bool failed;    // the device reported an error or went away
    int32_t bytes;  // bytes stored, also when failed
};

// One read step: it gathers up to count bytes and returns as soon as all of
// them are there, or when the line has been silent for wait_ms (counted from
// the start, then from the latest byte), with whatever arrived by then. So a
// reply in pieces is collected while each piece follows the previous one
// within the reply timeout, and a reply cut short costs one timeout of
// silence, not one per step. End of file ends the step at once.
ReadStep ReadWithin(int fd, uint8_t* buffer, int32_t count, int32_t wait_ms) {
    ReadStep step = {false, 0};
    int64_t deadline = NowMs() + wait_ms;
    while (step.bytes < count) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) break;
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            step.failed = true;
            break;
        }
        if (ready == 0) break;
        if ((pfd.revents & POLLNVAL) != 0) {
            step.failed = true;
            break;
        }
        const ssize_t n = read(fd, buffer + step.bytes, static_cast<size_t>(count - step.bytes));
        if (n > 0) {
            step.bytes += static_cast<int32_t>(n);
            deadline = NowMs() + wait_ms;
            continue;
        }
        if (n == 0) {
            // End of file. On a terminal that has hung up (its device went
            // away) it is a failure; elsewhere (the null device) it only
            // means that nothing will come.
            step.failed = (pfd.revents & (POLLHUP | POLLERR)) != 0;
            break;
        }
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) &&
            (pfd.revents & (POLLHUP | POLLERR)) == 0) {
            continue;
        }
        step.failed = true;  // EIO from a vanished device, or a hang-up
        break;
    }
    return step;
}

// Locks and configures a freshly opened port: 0, or the result code that
// fails the open. The caller closes the descriptor on failure.
int ConfigurePort(int fd, const SerialSettings* settings, PortSlot* slot) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return kComOpenFailed;  // opened elsewhere
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return kComNotSerial;
    if (ioctl(fd, TIOCEXCL) != 0) return kComOpenFailed;

    int result = kComOk;
    if (!ApplyLine(settings->line, &t)) {
        result = kComBadSettings;
    } else {
        // The result of tcsetattr alone does not tell: it succeeds when any
        // part was taken, and fails on a pseudo-terminal that dropped parts
        // it cannot have. The line read back decides.
        int rc;
        do {
            rc = tcsetattr(fd, TCSANOW, &t);
        } while (rc != 0 && errno == EINTR);
        if (!LineTaken(fd, t) || !ApplyControlLines(fd, settings->control_lines, slot)) {
            result = kComBadSettings;
        }
    }
    // The exclusive mode belongs to the terminal, not to the descriptor: it
    // would outlive this open while another descriptor (a pseudo-terminal's
    // own slave end) keeps the terminal alive.
    if (result != kComOk) ioctl(fd, TIOCNXCL);
    return result;
}

// Lifts the exclusive mode, so that the next opener is not kept out while
// the other end of the device (a pseudo-terminal master) is still open, and
// closes the descriptor. Linux releases the descriptor even when close
// reports an error (EINTR, EIO from a device that went away, EBADF for one
// closed behind the layer's back), so the port is closed either way: the
// handle is no longer held, and reporting a failure would leave the host
// with a handle that no later close could release.
void ReleaseTerminal(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

}  // namespace

int ComOpen(const SerialSettings* settings, ComHandle* handle) {
    if (settings == nullptr || handle == nullptr) return kComOpenFailed;
    char path[5 + kPortNameField];
    if (!DevicePath(settings->port_name, path, sizeof(path))) return kComOpenFailed;
    // Exactly "NUL" names the null device, as on Windows; any other spelling
    // goes through the configuration steps like a real port.
    const bool null_device = strcmp(settings->port_name, "NUL") == 0;
    if (null_device) memcpy(path, "/dev/null", sizeof("/dev/null"));

    const int fd = OpenDescriptor(path);
    if (fd < 0) return kComOpenFailed;
    PortSlot* slot = ClaimSlot(fd);
    if (slot == nullptr) {
        CloseQuietly(fd);
        return kComOpenFailed;
    }

    // The null device takes no configuration and is not locked: it is shared
    // by everything on the system.
    if (null_device) {
        *handle = static_cast<ComHandle>(fd);
        return kComOk;
    }

    const int result = ConfigurePort(fd, settings, slot);
    if (result != kComOk) {
        ReleaseSlot(slot);
        CloseQuietly(fd);  // also drops the flock
        return result;
    }
    *handle = static_cast<ComHandle>(fd);
    return kComOk;
}

int ComCloseOwned(ComHandle handle) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr) return kComIoFailed;
    const int fd = slot->fd;
    ReleaseSlot(slot);
    ReleaseTerminal(fd);
    return kComOk;
}

int ComClose(ComHandle handle) {
    if (FindSlot(handle) != nullptr) return ComCloseOwned(handle);
    // A terminal descriptor the table does not know: a port this layer opened
    // before the module was unloaded and loaded again (the table went with
    // the old copy), still holding the device and its lock. The host asks
    // for it to be closed, so it is. Anything else (a file, a socket, the
    // process's own standard descriptors, the master end of a
    // pseudo-terminal, which is never a port) is left alone.
    if (handle < 3 || handle > 0x7fffffffu) return kComIoFailed;
    const int fd = static_cast<int>(handle);
    unsigned int pty_number = 0;
    if (!isatty(fd) || ioctl(fd, TIOCGPTN, &pty_number) == 0) return kComIoFailed;
    ReleaseTerminal(fd);
    return kComOk;
}

int32_t ComSetReplyTimeout(ComHandle handle, int32_t units) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr) return 0;
    const int32_t previous = slot->timeout_ms;
    // The port holds the wait a read really makes, as the Windows build's
    // system does: a timeout of 0 units or below (which would wait forever)
    // is held as the fallback wait, and huge ones are capped. units x 10 is
    // computed in 64 bits so it cannot overflow.
    int64_t wanted = static_cast<int64_t>(units) * 10;
    if (wanted > INT32_MAX) wanted = INT32_MAX;
    if (wanted < INT32_MIN) wanted = INT32_MIN;
    const int32_t held = EffectiveReadWaitMs(static_cast<int32_t>(wanted));
    if (held != previous) slot->timeout_ms = held;
    return previous / 10;
}

int ComDiscardInput(ComHandle handle) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr) return kComOpenFailed;
    const int fd = slot->fd;

    // One poll without waiting tells the cases apart: no event at all is an
    // empty queue on a live line, which needs no reads. Waiting bytes, and a
    // line that has hung up (the device went away), go on to the reads, which
    // drain the bytes or report the failure; so does a poll that failed.
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pfd, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return kComOk;

    // Bytes are waiting, or the line has hung up: read what is there without
    // waiting for more. Stale bytes are thrown away at once, so a discard
    // never costs the transaction a timeout; a reply still on its way is
    // refused by the reply check and costs only its attempt. The reply
    // timeout is left as it is. On the null device the first read meets end
    // of file, which ends the drain.
    uint8_t scratch[kDiscardChunk];
    for (int i = 0; i < kDiscardMaxReads; ++i) {
        const ssize_t n = read(fd, scratch, sizeof scratch);
        if (n == static_cast<ssize_t>(sizeof scratch)) continue;
        if (n > 0) return kComOk;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kComOk;
        // End of file: a line that hung up has failed; the null device has
        // simply nothing more.
        if (n == 0) return (pfd.revents & (POLLHUP | POLLERR)) != 0 ? kComOpenFailed : kComOk;
        return kComOpenFailed;  // EIO from a vanished device
    }
    return kComOk;
}

int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr || count < 0 || (bytes == nullptr && count > 0)) return kComIoFailed;
    const int fd = slot->fd;
    if (count == 0) {
        if (written != nullptr) *written = 0;
        return kComOk;
    }
    if (slot->rts_toggle) SetModemLines(fd, TIOCMBIS, TIOCM_RTS);

    // One write. The descriptor is non-blocking: when the output queue is
    // full, wait (bounded) for room and try once more instead of spinning.
    ssize_t n = -1;
    bool waited = false;
    for (;;) {
        n = write(fd, bytes, static_cast<size_t>(count));
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || waited) break;
        struct pollfd pfd = {fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&pfd, 1, kWriteRoomWaitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
        waited = true;
    }

    if (slot->rts_toggle) {
        // RTS stays up until the last bit has left the line.
        tcdrain(fd);
        SetModemLines(fd, TIOCMBIC, TIOCM_RTS);
    }
    if (n < 0) return kComIoFailed;
    if (written != nullptr) *written = static_cast<int32_t>(n);
    return n == count ? kComOk : kComShortWrite;
}

int ComReadExact(ComHandle handle, void* buffer, int32_t count, int32_t* got) {
    if (got != nullptr) *got = 0;
    PortSlot* slot = FindSlot(handle);
    // A count outside 1..65535 cannot be read in the layer's 16-bit steps.
    if (slot == nullptr || buffer == nullptr || count <= 0 || count > 65535) return kComIoFailed;

    // One step gathers the whole count: it waits up to a reply timeout for the
    // first byte and for each further one. A stored timeout of 0 or below
    // would mean an unbounded wait; it waits kZeroTimeoutFallbackMs instead,
    // so a silent line always ends.
    const ReadStep step = ReadWithin(slot->fd, static_cast<uint8_t*>(buffer), count,
                                     EffectiveReadWaitMs(slot->timeout_ms));
    if (got != nullptr) *got = step.bytes;
    return (step.failed || step.bytes < count) ? kComIoFailed : kComOk;
}
