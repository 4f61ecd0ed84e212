// The page's server's workers, shared by client address.
#include "watch/watch_client_share.h"

#include <algorithm>

ClientShare::ClientShare(const ClientShareLimits& limits, Handler serve, Handler drop)
    : limits_(limits), serve_(std::move(serve)), drop_(std::move(drop)) {
    for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
}

ClientShare::~ClientShare() { Stop(); }

void ClientShare::Add(socket_t sock, const std::string& client) {
    socket_t dropped = INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Client& c = clients_[client];
        if (stopping_ || c.waiting.size() >= limits_.waiting_per_client) {
            dropped = sock;
        } else {
            c.waiting.emplace_back(arrivals_++, sock);
            ++waiting_;
        }
        if (waiting_ > limits_.waiting) {
            const auto most = std::max_element(clients_.begin(), clients_.end(), [](const auto& a, const auto& b) {
                return a.second.waiting.size() < b.second.waiting.size();
            });
            dropped = most->second.waiting.back().second;
            most->second.waiting.pop_back();
            --waiting_;
            Forget(most->first);
        }
        Forget(client);
    }
    if (dropped != INVALID_SOCKET) drop_(dropped);
    ready_.notify_one();
}

void ClientShare::Stop() {
    std::vector<socket_t> unserved;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [address, c] : clients_) {
            for (const auto& w : c.waiting) unserved.push_back(w.second);
            c.waiting.clear();
        }
        waiting_ = 0;
    }
    ready_.notify_all();
    for (socket_t sock : unserved) drop_(sock);
    for (std::thread& t : workers_)
        if (t.joinable()) t.join();
}

void ClientShare::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto next = clients_.end();
        ready_.wait(lock, [&] { return stopping_ || (next = Next()) != clients_.end(); });
        if (stopping_) return;
        // While this worker holds one of its connections, the entry stays.
        const std::string client = next->first;
        Client& c = next->second;
        const socket_t sock = c.waiting.front().second;
        c.waiting.pop_front();
        --waiting_;
        ++c.serving;
        lock.unlock();
        serve_(sock);
        lock.lock();
        --clients_[client].serving;
        Forget(client);
    }
}

std::map<std::string, ClientShare::Client>::iterator ClientShare::Next() {
    auto best = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        const Client& c = it->second;
        if (c.waiting.empty() || c.serving >= limits_.share) continue;
        if (best == clients_.end() || c.serving < best->second.serving ||
            (c.serving == best->second.serving && c.waiting.front().first < best->second.waiting.front().first))
            best = it;
    }
    return best;
}

void ClientShare::Forget(const std::string& client) {
    const auto it = clients_.find(client);
    if (it != clients_.end() && it->second.waiting.empty() && it->second.serving == 0) clients_.erase(it);
}
