#include "mqtt/mqtt_link.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <mosquitto.h>

#include "base/json_text.h"
#include "mqtt/mqtt_topics.h"

namespace {

// Messages handed to libmosquitto and not yet acknowledged: it keeps them
// over a reconnection and sends them again, so they leave our queue; the
// window bounds what it holds.
constexpr int kWindow = 64;
constexpr size_t kInboundWaiting = 8;
// A set payload is short: more of one is never kept, only its size.
constexpr size_t kInboundKept = kSetPayloadBytes + 1;
// Refusals of a flood are counted by topic, for so many topics of at most
// so many bytes; beyond them, in one count for all others.
constexpr size_t kRefusedTopics = 64;
constexpr size_t kRefusedTopicBytes = 256;

struct Outgoing {
    std::string topic;
    std::string payload;  // JSON text: a third of the memory of the object
    bool retain = false;
    bool sample = false;
    bool late = false;
};

}  // namespace

struct MqttLink::State {
    MqttLinkSetup setup;
    mosquitto* mosq = nullptr;
    bool loop_started = false;
    std::thread sender;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Outgoing> queue;
    std::deque<MqttInbound> inbound;
    std::map<std::string, long> refused_unread;  // "" for the topics beyond kRefusedTopics
    bool taking = true;    // subscribed on every connection
    int unsubscribed = 0;  // unsubscriptions the broker acknowledged
    std::vector<std::string> notes;
    bool connected = false;
    bool stopping = false;
    // Our messages handed to libmosquitto and not yet acknowledged, by
    // message id. Counted by id, not by acknowledgements: the online status
    // is acknowledged too, and a count would run one short.
    std::set<int> unacked;
    // Acknowledged before the sender had recorded them as handed over.
    std::set<int> acked_early;
    // The online statuses sent on connecting (the loop thread's alone).
    std::set<int> status_mids;
    // After a reconnection libmosquitto sends again what it held unacknowledged;
    // new messages wait for those (a while at most), so that the order holds.
    bool resending = false;
    std::chrono::steady_clock::time_point connected_at;
    MqttLinkCounts counts;

    void Note(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (notes.size() < 100) notes.push_back(text);
    }

    // With the lock held, once mosquitto_publish has given `mid`.
    void Handed(int mid) {
        if (acked_early.erase(mid) == 0) unacked.insert(mid);
    }

    bool Connect();
    void Send();
    void Push(const std::string& topic, std::string text, bool retain, bool sample);
};

namespace {

MqttLink::State* StateOf(void* user) { return static_cast<MqttLink::State*>(user); }

void OnConnect(mosquitto* mosq, void* user, int rc) {
    MqttLink::State* s = StateOf(user);
    if (rc != 0) {
        s->Note(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    const MqttLinkSetup& setup = s->setup;
    int mid = 0;
    const int published = mosquitto_publish(mosq, &mid, setup.online_topic.c_str(),
                                            static_cast<int>(setup.online_payload.size()), setup.online_payload.data(),
                                            1, true);
    bool taking = false;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        taking = s->taking;
    }
    if (taking)
        for (const std::string& filter : setup.subscriptions) mosquitto_subscribe(mosq, nullptr, filter.c_str(), 1);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        // Its acknowledgement comes on this thread, after this callback.
        if (published == MOSQ_ERR_SUCCESS && s->status_mids.size() < 64) s->status_mids.insert(mid);
        s->connected = true;
        s->connected_at = std::chrono::steady_clock::now();
        ++s->counts.connections;
        if (s->notes.size() < 100)
            s->notes.push_back(s->counts.connections == 1
                                   ? "connected to the broker"
                                   : "connected to the broker again; " + std::to_string(s->queue.size()) +
                                         " messages that waited go out now, the samples marked late");
    }
    s->changed.notify_all();
}

void OnDisconnect(mosquitto*, void* user, int rc) {
    MqttLink::State* s = StateOf(user);
    std::lock_guard<std::mutex> lock(s->mutex);
    const bool was = s->connected;
    s->connected = false;
    s->resending = !s->unacked.empty();
    // What waits now could not go out at its time.
    for (Outgoing& o : s->queue) o.late = true;
    if (rc != 0 && was && s->notes.size() < 100)
        s->notes.push_back("lost the broker; polling goes on, the samples wait (up to " +
                           std::to_string(s->setup.max_queued) + ") and the connection is tried again");
}

void OnPublish(mosquitto*, void* user, int mid) {
    MqttLink::State* s = StateOf(user);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->unacked.erase(mid) == 1) {
            ++s->counts.published;
        } else if (s->status_mids.erase(mid) == 0 && s->acked_early.size() < kWindow) {
            s->acked_early.insert(mid);
            ++s->counts.published;
        }
        if (s->unacked.empty()) s->resending = false;
    }
    s->changed.notify_all();
}

void OnMessage(mosquitto*, void* user, const mosquitto_message* m) {
    MqttLink::State* s = StateOf(user);
    std::lock_guard<std::mutex> lock(s->mutex);
    ++s->counts.inbound;
    if (s->inbound.size() >= kInboundWaiting) {
        // Counted, for the polling thread to answer once a second.
        ++s->counts.inbound_refused;
        const std::string topic = m->topic;
        const bool own = topic.size() <= kRefusedTopicBytes &&
                         (s->refused_unread.count(topic) > 0 || s->refused_unread.size() < kRefusedTopics);
        ++s->refused_unread[own ? topic : std::string()];
        return;
    }
    MqttInbound in;
    in.topic = m->topic;
    in.size = m->payloadlen > 0 ? static_cast<size_t>(m->payloadlen) : 0;
    if (m->payloadlen > 0)
        in.payload.assign(static_cast<const char*>(m->payload), std::min(in.size, kInboundKept));
    in.retain = m->retain;
    s->inbound.push_back(std::move(in));
}

void OnUnsubscribe(mosquitto*, void* user, int) {
    MqttLink::State* s = StateOf(user);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        ++s->unsubscribed;
    }
    s->changed.notify_all();
}

}  // namespace

// The first connection, tried again with backoff while the broker is not
// there (libmosquitto's loop does so only for a connection once made); then
// the loop keeps it. False when stopped before.
bool MqttLink::State::Connect() {
    int delay_s = 1;
    for (bool first = true;; first = false) {
        const int rc = mosquitto_connect_async(mosq, setup.broker.host.c_str(), setup.broker.port, 30);
        if (rc == MOSQ_ERR_SUCCESS) break;
        if (first)
            Note("the broker at " + setup.broker.host + ":" + std::to_string(setup.broker.port) +
                 " is not there (" +
                 (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
                 "); polling goes on and the connection is tried again");
        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(delay_s), [this] { return stopping; })) return false;
        delay_s = std::min(delay_s * 2, 30);
    }
    if (mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        Note("libmosquitto could not start its thread: nothing is published");
        return false;
    }
    loop_started = true;
    return true;
}

// Hands queued messages to libmosquitto in order while the broker is there
// and the window has room.
void MqttLink::State::Send() {
    std::unique_lock<std::mutex> lock(mutex);
    auto ready = [this] {
        // A bound on the wait, counted from this connection, not the last.
        if (resending && connected && std::chrono::steady_clock::now() - connected_at > std::chrono::seconds(5))
            resending = false;
        return connected && !queue.empty() && unacked.size() < static_cast<size_t>(kWindow) && !resending;
    };
    for (;;) {
        changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopping || ready(); });
        if (stopping) return;
        if (!ready()) continue;
        Outgoing o = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        if (o.sample && o.late && !o.payload.empty() && o.payload.back() == '}')
            o.payload.insert(o.payload.size() - 1, ",\"late\":true");
        const std::string& text = o.payload;
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, o.topic.c_str(), static_cast<int>(text.size()), text.data(),
                                         1, o.retain);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) Handed(mid);
        // The connection went between the check and the hand-over:
        // libmosquitto keeps the message and sends it again once connected,
        // and what follows waits for that.
        if (rc == MOSQ_ERR_NO_CONN) resending = true;
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            ++counts.dropped;
            if (notes.size() < 100)
                notes.push_back("a message to " + o.topic + " could not be published: " + mosquitto_strerror(rc));
        }
    }
}

MqttLink::MqttLink() : state_(std::make_unique<State>()) {}

// Not stopped by the command (it ended with an error): the line is offline
// all the same, as the will would say.
MqttLink::~MqttLink() {
    if (state_->mosq != nullptr) Stop(state_->setup.will_topic, state_->setup.will_payload, std::chrono::milliseconds(0));
}

const char* MqttLink::Unavailable() { return nullptr; }

// Asked of the library itself: one built without TLS answers any TLS setting
// with "not supported", one with it refuses a setting without certificates.
const char* MqttLink::TlsUnavailable() {
    static const bool missing = [] {
        mosquitto_lib_init();
        mosquitto* probe = mosquitto_new(nullptr, true, nullptr);
        if (probe == nullptr) return false;
        const bool none =
            mosquitto_tls_set(probe, nullptr, nullptr, nullptr, nullptr, nullptr) == MOSQ_ERR_NOT_SUPPORTED;
        mosquitto_destroy(probe);
        return none;
    }();
    if (!missing) return nullptr;
#ifdef _WIN32
    return "this qdxpoll.exe connects to brokers without TLS only: libmosquitto encrypts with OpenSSL, which the "
           "Windows build is made without; use mqtt://HOST:PORT without --tls-ca (a broker on this machine or "
           "its network, or a TLS tunnel such as stunnel in front of it)";
#else
    return "the libmosquitto of this qdxpoll is built without TLS: use mqtt://HOST:PORT without --tls-ca, or a "
           "libmosquitto with TLS (Debian's libmosquitto1)";
#endif
}

bool MqttLink::Start(const MqttLinkSetup& setup, std::string* error) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    State& s = *state_;
    s.setup = setup;
    if (!setup.tls_ca.empty() && !std::ifstream(setup.tls_ca)) {
        *error = "cannot read the CA certificate file " + setup.tls_ca;
        return false;
    }
    s.mosq = mosquitto_new(setup.client_id.c_str(), true, &s);
    if (s.mosq == nullptr) {
        *error = "libmosquitto could not make a client";
        return false;
    }
    mosquitto_connect_callback_set(s.mosq, OnConnect);
    mosquitto_disconnect_callback_set(s.mosq, OnDisconnect);
    mosquitto_publish_callback_set(s.mosq, OnPublish);
    mosquitto_message_callback_set(s.mosq, OnMessage);
    mosquitto_unsubscribe_callback_set(s.mosq, OnUnsubscribe);
    mosquitto_reconnect_delay_set(s.mosq, 1, 30, true);
    mosquitto_max_inflight_messages_set(s.mosq, kWindow);
    int rc = mosquitto_will_set(s.mosq, setup.will_topic.c_str(), static_cast<int>(setup.will_payload.size()),
                                setup.will_payload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && (!setup.username.empty() || !setup.password.empty()))
        rc = mosquitto_username_pw_set(s.mosq, setup.username.c_str(),
                                       setup.password.empty() ? nullptr : setup.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && (setup.broker.tls || !setup.tls_ca.empty()))
        rc = mosquitto_tls_set(s.mosq, setup.tls_ca.empty() ? nullptr : setup.tls_ca.c_str(),
                               setup.tls_ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("the broker options are not usable: ") + mosquitto_strerror(rc);
        return false;
    }
    s.sender = std::thread([&s] {
        if (s.Connect()) s.Send();
    });
    return true;
}

void MqttLink::Enqueue(const std::string& topic, const nlohmann::json& payload, bool retain, bool sample) {
    state_->Push(topic, JsonText(payload), retain, sample);
}

void MqttLink::EnqueueText(const std::string& topic, std::string payload, bool retain) {
    state_->Push(topic, std::move(payload), retain, false);
}

void MqttLink::State::Push(const std::string& topic, std::string text, bool retain, bool sample) {
    State& s = *this;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.queue.size() >= s.setup.max_queued && !s.queue.empty()) {
            s.queue.pop_front();
            ++s.counts.dropped;
            if (s.counts.dropped == 1 && s.notes.size() < 100)
                s.notes.push_back("the queue for the broker is full (" + std::to_string(s.setup.max_queued) +
                                  " messages): the oldest are dropped");
        }
        // Behind samples that wait for the broker, a sample is late too.
        const bool late = !s.connected || (!s.queue.empty() && s.queue.back().late);
        s.queue.push_back(Outgoing{topic, std::move(text), retain, sample, late});
    }
    s.changed.notify_all();
}

std::vector<MqttInbound> MqttLink::TakeInbound() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<MqttInbound> taken(state_->inbound.begin(), state_->inbound.end());
    state_->inbound.clear();
    return taken;
}

std::vector<MqttRefusedUnread> MqttLink::TakeRefusedUnread() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<MqttRefusedUnread> taken;
    for (const auto& [topic, count] : state_->refused_unread) taken.push_back({topic, count});
    state_->refused_unread.clear();
    return taken;
}

bool MqttLink::StopTaking(std::chrono::milliseconds wait) {
    State& s = *state_;
    if (s.mosq == nullptr) return true;
    std::vector<std::string> filters;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.taking = false;  // a connection made again subscribes no more
        if (!s.connected) return true;
        filters = s.setup.subscriptions;
    }
    int sent = 0;
    for (const std::string& filter : filters)
        sent += mosquitto_unsubscribe(s.mosq, nullptr, filter.c_str()) == MOSQ_ERR_SUCCESS;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait_for(lock, wait, [&] { return s.unsubscribed >= sent || !s.connected; });
    return sent == static_cast<int>(filters.size()) && s.unsubscribed >= sent;
}

std::vector<std::string> MqttLink::TakeNotes() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> taken;
    taken.swap(state_->notes);
    return taken;
}

MqttLinkCounts MqttLink::Counts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    MqttLinkCounts c = state_->counts;
    c.connected = state_->connected;
    c.queued = state_->queue.size();
    return c;
}

size_t MqttLink::Stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds grace) {
    State& s = *state_;
    if (s.mosq == nullptr) return 0;
    const auto until = std::chrono::steady_clock::now() + grace;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.changed.wait_until(lock, until, [&s] { return !s.connected || (s.queue.empty() && s.unacked.empty()); });
        s.stopping = true;
    }
    s.changed.notify_all();
    if (s.sender.joinable()) s.sender.join();
    size_t unsent = 0;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.connected && !topic.empty()) {
            lock.unlock();
            int mid = 0;
            const int rc = mosquitto_publish(s.mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                             payload.data(), 1, true);
            lock.lock();
            if (rc == MOSQ_ERR_SUCCESS) s.Handed(mid);
            s.changed.wait_until(lock, std::max(until, std::chrono::steady_clock::now() + std::chrono::seconds(1)),
                                 [&s] { return !s.connected || s.unacked.empty(); });
        }
        unsent = s.queue.size() + s.unacked.size();
    }
    mosquitto_disconnect(s.mosq);
    if (s.loop_started) mosquitto_loop_stop(s.mosq, false);
    mosquitto_destroy(s.mosq);
    s.mosq = nullptr;
    return unsent;
}
