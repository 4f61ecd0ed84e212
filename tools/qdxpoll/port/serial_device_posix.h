// qdxpoll's own opening of a serial device (POSIX), for the trace relay:
// exclusive, raw, with the requested line settings.
#ifndef QDXPOLL_SERIAL_DEVICE_POSIX_H
#define QDXPOLL_SERIAL_DEVICE_POSIX_H

#include <string>

#include "host/records.h"

// Opens the device and applies the line settings; returns the descriptor,
// or -1 with *error set.
int OpenSerialDevice(const std::string& path, const LineValues& line, std::string* error);
// Gives the device up again (its exclusive mode too) and closes it.
void CloseSerialDevice(int fd);

#endif  // QDXPOLL_SERIAL_DEVICE_POSIX_H
