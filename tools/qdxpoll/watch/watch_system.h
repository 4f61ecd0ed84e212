// What the page's server needs of the system, one file a platform
// (watch_system_posix.cpp, watch_system_win32.cpp): its connections'
// sockets without blocking, the random bytes of the write token, the local
// time, and its threads' priority. Through <httplib.h> the system's socket
// headers come with it: socket_t, inet_pton, in_addr and in6_addr.
#ifndef QDXPOLL_WATCH_SYSTEM_H
#define QDXPOLL_WATCH_SYSTEM_H

#include <cstddef>
#include <ctime>
#include <string>

#include <httplib.h>
#ifndef _WIN32
#include <poll.h>  // POLLIN, POLLOUT; Winsock's come with <httplib.h>
#endif

// Fills `bytes` from the system's cryptographic source; false when it fails.
bool SystemRandomBytes(unsigned char* bytes, size_t size);

// The local time of `t`; false when the system cannot give it.
bool LocalTimeOf(std::time_t t, std::tm* local);

// Lowers the calling thread below the others of the process, so that the
// thread that polls the units gets the processor first.
void LowerThreadPriority();

// Waits up to `ms` for the socket to be readable (POLLIN) or writable
// (POLLOUT): 1 ready (or closed, or failed: the next call says which),
// 0 not yet (the time ran out, or a signal came), -1 the wait failed.
int PollSocket(socket_t sock, short events, int ms);

// A receive or send that never waits: the bytes moved, 0 when the peer
// closed (receive), kSocketAgain when nothing can move now, -1 on a failure.
constexpr long kSocketAgain = -2;
long ReceiveNow(socket_t sock, char* buffer, size_t size);
long SendNow(socket_t sock, const char* data, size_t size);

// Before a connection is served: its send buffer's size, and whatever the
// platform needs for ReceiveNow and SendNow.
void PrepareConnection(socket_t sock, int send_buffer_bytes);
// Ends a connection: what it left unsent is dropped (`drop_unsent`, for a
// client that stopped reading) or goes out before the close.
void CloseConnection(socket_t sock, bool drop_unsent);

// The numeric address and port of the connection's peer or its own end;
// false when the system does not say.
bool ConnectionAddress(socket_t sock, bool peer, std::string* ip, int* port);

#endif  // QDXPOLL_WATCH_SYSTEM_H
