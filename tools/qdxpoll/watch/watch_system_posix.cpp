#include "watch/watch_system.h"

#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The nice value of the server's threads.
constexpr int kNice = 10;

long Moved(ssize_t n) {
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketAgain : -1;
}

}  // namespace

bool SystemRandomBytes(unsigned char* bytes, size_t size) {
    size_t have = 0;
    while (have < size) {
        const ssize_t n = getrandom(bytes + have, size - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

bool LocalTimeOf(std::time_t t, std::tm* local) { return localtime_r(&t, local) != nullptr; }

// On Linux each thread has a nice value of its own.
void LowerThreadPriority() { setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kNice); }

int PollSocket(socket_t sock, short events, int ms) {
    pollfd p{sock, events, 0};
    const int r = poll(&p, 1, ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

long ReceiveNow(socket_t sock, char* buffer, size_t size) { return Moved(recv(sock, buffer, size, MSG_DONTWAIT)); }

long SendNow(socket_t sock, const char* data, size_t size) {
    return Moved(send(sock, data, size, MSG_NOSIGNAL | MSG_DONTWAIT));
}

void PrepareConnection(socket_t sock, int send_buffer_bytes) {
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer_bytes, sizeof send_buffer_bytes);
}

void CloseConnection(socket_t sock, bool drop_unsent) {
    if (drop_unsent) {
        const linger abort{1, 0};
        setsockopt(sock, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        shutdown(sock, SHUT_RDWR);
    }
    close(sock);
}

bool ConnectionAddress(socket_t sock, bool peer, std::string* ip, int* port) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
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
