// qdxpoll's layer under the driver on Windows: the ten serial functions the
// module imports from KERNEL32 are served here. Calls for the one port the
// relay serves (opened by the name it gave the driver) go to that port;
// every other call (the module's C runtime also reads, writes and closes
// handles) goes on to the system unchanged.
#ifndef QDXPOLL_WIRE_LAYER_WIN32_H
#define QDXPOLL_WIRE_LAYER_WIN32_H

#include <windows.h>

#include <string>

// What the driver's port does, answered by the relay.
class ServedPort {
public:
    virtual ~ServedPort() = default;
    // Each as its Win32 namesake: FALSE with the last error set on failure.
    virtual BOOL Read(void* buffer, DWORD count, DWORD* got) = 0;
    virtual BOOL Write(const void* bytes, DWORD count, DWORD* done) = 0;
    virtual BOOL GetState(DCB* dcb) = 0;
    virtual BOOL SetState(const DCB& dcb) = 0;
    virtual BOOL GetTimeouts(COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL ClearError(DWORD* errors, COMSTAT* status) = 0;
};

// Rewrites the module's ten imports, once a module; false with *why when it
// cannot (an import missing: the driver then keeps its own calls).
bool AttachWireLayer(HMODULE module, std::string* why);

// From now on, opening `driver_name` (as the driver names it, any case)
// gives a handle served by `port`; Unserve ends that (a handle the driver
// still holds then fails every call but its close).
void ServePort(const std::string& driver_name, ServedPort* port);
void UnservePort();

#endif  // QDXPOLL_WIRE_LAYER_WIN32_H
