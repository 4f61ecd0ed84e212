// The connections of the page's server (cpp-httplib), each held to bounds
// that no client can stretch: a request's line, headers and body must come
// whole within a time and a number of bytes (a client sending a byte a second
// holds its worker for seconds, not for ever); a response the client takes
// nothing of for a while is dropped (a page that stops reading gives up its
// worker and its place); an idle connection closes soon; the workers are
// shared by client address (watch_client_share.h). Its threads run at a
// lower priority than the polling.
#ifndef QDXPOLL_WATCH_CONNECTIONS_H
#define QDXPOLL_WATCH_CONNECTIONS_H

#include <chrono>
#include <cstddef>

#include <httplib.h>

#include "watch/watch_client_share.h"

struct ConnectionLimits {
    std::chrono::milliseconds request_time{5000};  // from a request's first byte to its last
    size_t request_bytes = 128 * 1024;             // line, headers and body
    std::chrono::milliseconds stall_time{5000};    // a response the client takes nothing of
    std::chrono::milliseconds idle_time{1000};     // between requests on one connection
    size_t requests_per_connection = 20;
    // Small, so that a client that does not read stalls its response soon
    // instead of the system buffering megabytes for it.
    int send_buffer_bytes = 32 * 1024;
    size_t workers = 16;  // connections served at once; more wait for a worker
    size_t client_share = 8;  // of them, held by one client address at most
};

class BoundedServer : public httplib::Server {
public:
    explicit BoundedServer(const ConnectionLimits& limits = ConnectionLimits());

    // Closes the connection of the request being answered on this thread
    // once its response is sent: for a refused request whose body was not
    // read, so that the body is never taken for the next request.
    static void CloseAfterResponse();

    // Once bound: lets as many connections wait to be accepted as the
    // system allows. cpp-httplib listens with a backlog of 5, and a burst
    // beyond it (slow clients reconnecting at once) has the system drop the
    // connections' first packets, each tried again only after 1, 2, 4 s, a
    // person's among them.
    void WidenBacklog();

    // Lowers the calling thread's priority below the polling's: every thread
    // of the server calls it (the workers do on their first connection).
    static void YieldToPolling();

private:
    // On the accepting thread: passes the connection to the workers' share.
    bool process_and_close_socket(socket_t sock) override;
    // On a worker: its requests, then closes it.
    void Serve(socket_t sock);

    ConnectionLimits limits_;
    ClientShare* share_ = nullptr;  // the task queue's, while listening
};

#endif  // QDXPOLL_WATCH_CONNECTIONS_H
