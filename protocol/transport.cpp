// Send and receive steps over the serial layer.
#include "protocol/transport.h"

#include "serial/serial.h"

int SendBytes(const PortRecord* port, const uint8_t* bytes, int32_t count) {
    ComDiscardInput(port->port_handle);  // stale or late bytes never meet the next reply
    int32_t written = 0;
    const int result = ComWrite(port->port_handle, bytes, count, &written);
    return (result == kComOk && written == count) ? 0 : 1;
}

int ReceiveExactly(const PortRecord* port, uint8_t* buffer, int32_t count) {
    int32_t got = 0;
    const int result = ComReadExact(port->port_handle, buffer, count, &got);
    return (result == kComOk && got == count) ? 0 : 1;
}
