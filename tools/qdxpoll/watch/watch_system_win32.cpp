// Winsock, BCrypt and the Win32 thread priority for the page's server.
#include "watch/watch_system.h"

// After <httplib.h>, which brings winsock2.h before windows.h:
#include <bcrypt.h>

#include <climits>
#include <cstdlib>

namespace {

long Moved(int n) {
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? kSocketAgain : -1;
}

int Chunk(size_t size) { return static_cast<int>(size > INT_MAX ? INT_MAX : size); }

}  // namespace

bool SystemRandomBytes(unsigned char* bytes, size_t size) {
    return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

bool LocalTimeOf(std::time_t t, std::tm* local) { return localtime_s(local, &t) == 0; }

// Windows has no nice value a thread: a priority below normal does the same.
void LowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

int PollSocket(socket_t sock, short events, int ms) {
    WSAPOLLFD p{};
    p.fd = sock;
    p.events = events;
    const int r = WSAPoll(&p, 1, ms);
    if (r == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

// The connection is non-blocking (PrepareConnection): Winsock has no flag
// for one call.
long ReceiveNow(socket_t sock, char* buffer, size_t size) { return Moved(recv(sock, buffer, Chunk(size), 0)); }

long SendNow(socket_t sock, const char* data, size_t size) { return Moved(send(sock, data, Chunk(size), 0)); }

void PrepareConnection(socket_t sock, int send_buffer_bytes) {
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer_bytes),
               sizeof send_buffer_bytes);
    u_long non_blocking = 1;
    ioctlsocket(sock, FIONBIO, &non_blocking);
}

void CloseConnection(socket_t sock, bool drop_unsent) {
    if (drop_unsent) {
        const linger abort{1, 0};
        setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    } else {
        shutdown(sock, SD_BOTH);
    }
    closesocket(sock);
}

bool ConnectionAddress(socket_t sock, bool peer, std::string* ip, int* port) {
    sockaddr_storage a{};
    int length = sizeof a;
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    const int got = peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&a), &length)
                         : getsockname(sock, reinterpret_cast<sockaddr*>(&a), &length);
    if (got != 0 || getnameinfo(reinterpret_cast<sockaddr*>(&a), length, host, sizeof host, service, sizeof service,
                                NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    *ip = host;
    *port = std::atoi(service);
    return true;
}
