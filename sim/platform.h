// What differs between the systems rexfsim runs on: the process's start,
// the sockets' few differing calls, the wait for the line and for the
// commands on stdin, and which lines there are (platform_posix.cpp,
// platform_win32.cpp).
#ifndef REXFSIM_PLATFORM_H
#define REXFSIM_PLATFORM_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <memory>
#include <string>
#include <vector>

namespace rexfsim {

#ifdef _WIN32
using PollItem = WSAPOLLFD;
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
using PollItem = pollfd;
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

struct Options;
class Line;

// Readies the process: the standard descriptors, the end with the parent,
// the stop signals (or the console's Ctrl-C), the sockets. False when the
// program should end at once (its parent is gone already).
bool PrepareProcess();

void CloseSocket(SocketHandle socket);
bool SetNonBlocking(SocketHandle socket);
// Whether the last socket call failed only because it would have waited.
bool SocketWouldBlock();
// The last socket call's failure, in words.
std::string SocketError();

// Opens the line the options name: a pseudo-terminal, a serial device or a
// TCP port on 127.0.0.1, as the platform has them. Ends the program with a
// message when it cannot.
std::unique_ptr<Line> OpenLine(const Options& options);

// Waits for the line's items and for the commands on stdin.
class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Waits until one of the items is ready, text comes on stdin, a stop is
    // asked for, or timeout_us passes (-1: no limit). What came on stdin is
    // appended to *commands. Ends the program when the wait itself fails.
    void Wait(std::vector<PollItem>* items, long timeout_us, std::string* commands);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace rexfsim

#endif  // REXFSIM_PLATFORM_H
