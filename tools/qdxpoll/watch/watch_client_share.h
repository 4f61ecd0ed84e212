// The workers of the page's server, shared between the clients by their
// address: no client address holds more than its share of them, the
// connections waiting for a worker are taken fairly (next, the address that
// holds the fewest), and those of an address that keeps too many waiting
// are closed unserved. So slow clients from one address wait among
// themselves, and a person at another (the page on this machine, at a
// loopback address) is served at once. No platform in here: the server
// hands over the connections and says how to serve and close them.
#ifndef QDXPOLL_WATCH_CLIENT_SHARE_H
#define QDXPOLL_WATCH_CLIENT_SHARE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

struct ClientShareLimits {
    size_t workers = 16;
    size_t share = 8;                // workers one client address may hold at once
    size_t waiting_per_client = 64;  // connections of one address waiting for a worker
    size_t waiting = 256;            // connections waiting, all addresses together
};

class ClientShare {
public:
    using Handler = std::function<void(socket_t)>;

    // `serve` runs on a worker and closes the connection when done; `drop`
    // closes a connection that is not served.
    ClientShare(const ClientShareLimits& limits, Handler serve, Handler drop);
    ~ClientShare();
    ClientShare(const ClientShare&) = delete;
    ClientShare& operator=(const ClientShare&) = delete;

    // A connection accepted from `client` (its address, or its network
    // where one client may use many addresses). When too many wait, the
    // newest of the address with the most waiting is dropped: this one, if
    // its own address is that one.
    void Add(socket_t sock, const std::string& client);

    // Serves no more: what waits is dropped, the workers finish what they
    // serve and end.
    void Stop();

private:
    struct Client {
        std::deque<std::pair<uint64_t, socket_t>> waiting;  // in order of arrival
        size_t serving = 0;
    };

    void Work();
    // The client whose connection is served next, or none: under its share,
    // holding the fewest workers, its oldest connection first among equals.
    std::map<std::string, Client>::iterator Next();
    void Forget(const std::string& client);

    ClientShareLimits limits_;
    Handler serve_, drop_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::map<std::string, Client> clients_;
    size_t waiting_ = 0;
    uint64_t arrivals_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

#endif  // QDXPOLL_WATCH_CLIENT_SHARE_H
