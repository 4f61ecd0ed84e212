// A TCP port for a server of our own on 127.0.0.1 (a broker, a device
// server), as the kernel chooses it.
#ifndef SUPPORT_LOOPBACK_PORT_H
#define SUPPORT_LOOPBACK_PORT_H

namespace support {

// A port free on 127.0.0.1 now; 0 when none could be had.
int FreeLoopbackPort();

}  // namespace support

#endif  // SUPPORT_LOOPBACK_PORT_H
