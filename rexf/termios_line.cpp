#include "rexf/termios_line.h"

namespace rexf {
namespace {

const struct {
    long baud;
    speed_t speed;
} kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
               {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
               {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
               {57600, B57600},   {115200, B115200}, {230400, B230400}};

}  // namespace

long BaudOfSpeed(speed_t speed) {
    for (const auto& s : kSpeeds)
        if (s.speed == speed) return s.baud;
    return 0;
}

bool SpeedOfBaud(long baud, speed_t* speed) {
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            *speed = s.speed;
            return true;
        }
    return false;
}

bool ApplyLineFormat(const LineFormat& line, termios* tio) {
    speed_t speed;
    if (!SpeedOfBaud(line.baud, &speed)) return false;
    cfmakeraw(tio);
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio->c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (line.data_bits) {
        case 5: tio->c_cflag |= CS5; break;
        case 6: tio->c_cflag |= CS6; break;
        case 7: tio->c_cflag |= CS7; break;
        default: tio->c_cflag |= CS8; break;
    }
    tio->c_iflag &= ~static_cast<tcflag_t>(INPCK);
    if (line.parity != kParityNone) tio->c_iflag |= INPCK;
    switch (line.parity) {
        case kParityOdd: tio->c_cflag |= PARENB | PARODD; break;
        case kParityEven: tio->c_cflag |= PARENB; break;
#ifdef CMSPAR
        case kParityMark: tio->c_cflag |= PARENB | PARODD | CMSPAR; break;
        case kParitySpace: tio->c_cflag |= PARENB | CMSPAR; break;
#endif
        default: break;
    }
    if (line.stop_bits != kStopBits1) tio->c_cflag |= CSTOPB;
    return true;
}

}  // namespace rexf
