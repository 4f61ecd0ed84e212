// The web server of `qdxpoll watch`, with cpp-httplib. Its request threads
// never touch the module: they read what Publish left under the lock, and a
// write from the page waits in a queue until the polling thread runs it.
#include "watch_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "platform.h"
#include "watch_assets.h"

using nlohmann::json;

namespace {

constexpr size_t kHistoryRows = 36000;  // ten hours at one cycle a second
constexpr size_t kFailuresKept = 20;
constexpr size_t kRecentCycles = 64;  // a page that falls further behind starts again
constexpr int kMaxStreams = 4;        // open pages: each holds a request thread
constexpr auto kKeepAlive = std::chrono::seconds(1);
constexpr auto kWriteWait = std::chrono::seconds(60);

// What the page's server sends with every answer: the page runs only its
// own scripts, talks only to this server, and is never framed by another.
// Style attributes stay allowed: the chart library colours its legend with
// them.
const char* const kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; style-src-attr 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

long long EpochMs(WallClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

json PointJson(const WatchPoint& p) {
    return {{"address", p.address},
            {"unit", p.unit},
            {"channel", p.channel},
            {"identifier", p.identifier},
            {"meaning", p.meaning}};
}

// Which points share a chart: the set value S1 and the measured value M1 of
// one unit and channel (S1 first); every other point has one of its own.
json Charts(const std::vector<WatchPoint>& points) {
    json charts = json::array();
    std::vector<bool> placed(points.size(), false);
    auto pairs = [](const WatchPoint& p) { return p.identifier == "S1" || p.identifier == "M1"; };
    for (size_t i = 0; i < points.size(); ++i) {
        if (placed[i]) continue;
        placed[i] = true;
        json chart = json::array({i});
        if (pairs(points[i])) {
            for (size_t j = i + 1; j < points.size(); ++j) {
                if (placed[j] || !pairs(points[j]) || points[j].unit != points[i].unit ||
                    points[j].channel != points[i].channel || points[j].identifier == points[i].identifier)
                    continue;
                placed[j] = true;
                if (points[j].identifier == "S1")
                    chart.insert(chart.begin(), j);
                else
                    chart.push_back(j);
                break;
            }
        }
        charts.push_back(chart);
    }
    return charts;
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

// The host part of a Host header: "127.0.0.1" of "127.0.0.1:8080", "::1" of
// "[::1]:8080".
std::string HostPart(const std::string& host) {
    if (!host.empty() && host[0] == '[') {
        const size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(1, end - 1);
    }
    // A bare IPv6 address with its port: the port follows the last colon.
    const bool ipv6 = std::count(host.begin(), host.end(), ':') > 1;
    return host.substr(0, ipv6 ? host.rfind(':') : host.find(':'));
}

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(JsonText(body), "application/json");
}

}  // namespace

struct WatchServer::State {
    WatchSetup setup;
    httplib::Server server;
    std::thread thread;
    int port = 0;

    std::mutex mutex;
    std::condition_variable changed;   // a cycle published, or closing
    std::condition_variable wake;      // a write is waiting for the polling thread
    std::condition_variable answered;  // a write has its answer
    bool closing = false;
    long cycles = 0;
    std::deque<json> rows;  // [time in ms since the epoch, one value (or null) a point]
    json stats = json::array();
    std::deque<json> failures;  // newest last
    std::deque<std::pair<long, std::string>> recent;  // a cycle's number and its event
    int streams = 0;

    struct Pending {
        PageWrite ask;
        bool done = false;
        PageWriteAnswer answer;
    };
    std::deque<std::shared_ptr<Pending>> writes;

    // Everything a page needs to start: what is watched, the history, the
    // statistics and the failures. Under the lock.
    std::string Hello() const {
        json setup_json{{"heading", setup.heading},
                        {"type", setup.type},
                        {"allow_writes", setup.allow_writes},
                        {"points", json::array()},
                        {"writable", json::array()},
                        {"charts", Charts(setup.points)}};
        for (const WatchPoint& p : setup.points) setup_json["points"].push_back(PointJson(p));
        for (const WatchPoint& p : setup.writable) setup_json["writable"].push_back(PointJson(p));
        const json hello{{"setup", setup_json},
                         {"rows", json(rows)},
                         {"stats", stats},
                         {"failures", json(failures)}};
        return "event: hello\ndata: " + JsonText(hello) + "\n\n";
    }

    void AddFailure(json failure) {
        failures.push_back(std::move(failure));
        while (failures.size() > kFailuresKept) failures.pop_front();
    }

    // The events a page has not had yet after cycle *sent (-1: none yet);
    // waits for the next cycle up to the keep-alive time and then sends a
    // comment, so that a page that went away frees its thread. False once
    // the page has been told that watching ended.
    bool NextEvents(long* sent, std::string* out) {
        std::unique_lock<std::mutex> lock(mutex);
        if (*sent == LONG_MAX) return false;
        if (!closing && *sent >= 0)
            changed.wait_for(lock, kKeepAlive, [&] { return closing || cycles > *sent; });
        if (closing) {
            *out = "event: end\ndata: {}\n\n";
            *sent = LONG_MAX;
            return true;
        }
        if (*sent < 0 || (cycles > *sent && (recent.empty() || recent.front().first > *sent + 1))) {
            *out = Hello();
        } else if (cycles > *sent) {
            out->clear();
            for (const auto& [number, text] : recent)
                if (number > *sent) *out += text;
        } else {
            *out = ": still watching\n\n";
        }
        *sent = cycles;
        return true;
    }

    // Queues a write for the polling thread and waits for its answer; false
    // when watching ends first.
    bool RunWrite(const PageWrite& ask, PageWriteAnswer* answer) {
        auto pending = std::make_shared<Pending>();
        pending->ask = ask;
        std::unique_lock<std::mutex> lock(mutex);
        if (closing) return false;
        writes.push_back(pending);
        wake.notify_all();
        answered.wait_for(lock, kWriteWait, [&] { return pending->done || closing; });
        if (!pending->done) {
            writes.erase(std::remove(writes.begin(), writes.end(), pending), writes.end());
            return false;
        }
        *answer = pending->answer;
        return true;
    }

    // Another site's page reaches this server only by a name of its own
    // made to point here, which its requests carry as Host: so the server
    // answers requests addressed to an IP address (a loopback one when it
    // listens there), localhost, or the address it was told to listen on.
    bool HostAllowed(const std::string& host_header) const {
        if (host_header.empty()) return true;
        const std::string host = HostPart(host_header);
        if (IsLoopback(host) || host == setup.listen_address) return true;
        if (IsLoopback(setup.listen_address)) return false;
        unsigned char address[sizeof(in6_addr)];
        return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
    }

    void Routes();
};

void WatchServer::State::Routes() {
    server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"}});
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (HostAllowed(req.get_header_value("Host"))) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("qdxpoll watch answers only requests addressed to its IP address, or localhost: open "
                        "the page with the address it printed\n",
                        "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

    for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
        const EmbeddedFile& f = kEmbeddedFiles[i];
        server.Get(f.path, [&f](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.content_type);
        });
    }

    server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (streams >= kMaxStreams) {
                res.status = 503;
                res.set_content("too many pages are open on this qdxpoll watch; close one\n", "text/plain");
                return;
            }
            ++streams;
        }
        res.set_header("Cache-Control", "no-store");
        auto sent = std::make_shared<long>(-1);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, sent](size_t, httplib::DataSink& sink) {
                std::string text;
                if (!NextEvents(sent.get(), &text)) return false;
                return sink.write(text.data(), text.size());
            },
            [this](bool) {
                std::lock_guard<std::mutex> lock(mutex);
                --streams;
                changed.notify_all();
            });
    });

    // What a chart shows: the rows from `from` to `to` (ms since the epoch)
    // of the points named in `points` (comma-separated addresses; all by
    // default).
    server.Get("/chart.csv", [this](const httplib::Request& req, httplib::Response& res) {
        std::vector<size_t> columns;
        if (req.has_param("points")) {
            std::string list = req.get_param_value("points");
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = std::min(list.find(',', start), list.size());
                const std::string address = list.substr(start, comma - start);
                auto it = std::find_if(setup.points.begin(), setup.points.end(),
                                       [&](const WatchPoint& p) { return p.address == address; });
                if (it == setup.points.end()) {
                    res.status = 400;
                    res.set_content("not a watched point: \"" + address + "\"\n", "text/plain");
                    return;
                }
                columns.push_back(static_cast<size_t>(it - setup.points.begin()));
                start = comma + 1;
            }
        } else {
            for (size_t i = 0; i < setup.points.size(); ++i) columns.push_back(i);
        }
        auto bound = [&](const char* name, double fallback) {
            if (!req.has_param(name)) return fallback;
            try {
                return std::stod(req.get_param_value(name));
            } catch (const std::exception&) {
                return fallback;
            }
        };
        const double from = bound("from", -1e300), to = bound("to", 1e300);
        std::string csv = "time";
        for (size_t c : columns) csv += "," + setup.points[c].address;
        csv += "\n";
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const json& row : rows) {
                const long long ms = row[0].get<long long>();
                if (ms < from || ms > to) continue;
                csv += IsoTime(WallClock::time_point(std::chrono::milliseconds(ms)));
                for (size_t c : columns) csv += "," + (row[c + 1].is_null() ? std::string() : row[c + 1].dump());
                csv += "\n";
            }
        }
        res.set_header("Content-Disposition", "attachment; filename=\"qdxpoll-watch.csv\"");
        res.set_content(csv, "text/csv");
    });

    // A write from the form: {"address": "01K1S1", "value": "180.5",
    // "verify": true}. Only a page of this server can send it: a JSON body
    // is one no other site's page may send here without asking first, and
    // an Origin, when given, must be this server's.
    server.Post("/write", [this](const httplib::Request& req, httplib::Response& res) {
        if (!setup.allow_writes)
            return Reply(res, 403,
                         {{"error", "this page is read-only: start qdxpoll watch with --allow-writes to write from "
                                    "it"}});
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + req.get_header_value("Host"))
            return Reply(res, 403, {{"error", "writes are taken only from the page of this qdxpoll watch"}});
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
            return Reply(res, 415, {{"error", "a write is sent as application/json"}});
        const json body = json::parse(req.body, nullptr, false);
        const char* usage = "a write is {\"address\": \"01K1S1\", \"value\": \"180.5\", \"verify\": true}";
        if (!body.is_object() || !body.contains("address") || !body["address"].is_string() ||
            !body.contains("value") || !(body["value"].is_string() || body["value"].is_number()))
            return Reply(res, 400, {{"error", usage}});
        PageWrite ask;
        ask.address = body["address"].get<std::string>();
        ask.value = body["value"].is_string() ? body["value"].get<std::string>() : body["value"].dump();
        if (body.contains("verify")) {
            if (!body["verify"].is_boolean()) return Reply(res, 400, {{"error", usage}});
            ask.verify = body["verify"].get<bool>();
        }
        PageWriteAnswer answer;
        if (!RunWrite(ask, &answer)) return Reply(res, 503, {{"error", "watching has ended: the write was not sent"}});
        Reply(res, answer.http_status, answer.body);
    });
}

WatchServer::WatchServer() : state_(std::make_unique<State>()) {}

WatchServer::~WatchServer() { Stop(); }

const char* WatchServer::Unavailable() { return nullptr; }

bool WatchServer::Start(const WatchSetup& setup, std::string* url, std::string* error) {
    State& s = *state_;
    s.setup = setup;
    s.Routes();
    s.server.set_keep_alive_timeout(1);  // an idle page's connection holds up no stop
    s.server.set_payload_max_length(64 * 1024);
    int port = setup.port;
    if (port == 0) {
        port = s.server.bind_to_any_port(setup.listen_address);
    } else if (!s.server.bind_to_port(setup.listen_address, port)) {
        port = -1;
    }
    if (port <= 0) {
        *error = "cannot listen on " + UrlHost(setup.listen_address) +
                 (setup.port != 0 ? ":" + std::to_string(setup.port) : std::string()) +
                 ": the port is taken, or the address is not one of this machine's";
        return false;
    }
    s.thread = std::thread([&s] { s.server.listen_after_bind(); });
    s.port = port;
    *url = "http://" + UrlHost(setup.listen_address) + ":" + std::to_string(port) + "/";
    return true;
}

bool WatchServer::CheckPage(std::string* result) {
    State& s = *state_;
    // Any address means every one: the loopback address is among them.
    const std::string host = s.setup.listen_address == "0.0.0.0" ? "127.0.0.1"
                             : s.setup.listen_address == "::"    ? "::1"
                                                                 : s.setup.listen_address;
    httplib::Client client(host, s.port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    const httplib::Result page = client.Get("/");
    if (!page) {
        *result = "the page does not answer: " + httplib::to_string(page.error());
        return false;
    }
    *result = "the page answers: HTTP " + std::to_string(page->status) + ", " + std::to_string(page->body.size()) +
              " bytes";
    return page->status == 200;
}

void WatchServer::Publish(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) {
    State& s = *state_;
    const WallClock::time_point when = readings.empty() ? WallClock::now() : readings.front().time;
    json row = json::array({EpochMs(when)});
    std::vector<json> failed;
    for (size_t i = 0; i < s.setup.points.size(); ++i) {
        const Reading* r = i < readings.size() ? &readings[i] : nullptr;
        // The value's own text keeps the chart and the CSV at the unit's
        // decimals (a float's 24.1 is not 24.100000381).
        double value = 0;
        if (r != nullptr && r->ok && r->value.numeric && std::sscanf(r->value.text.c_str(), "%lf", &value) == 1)
            row.push_back(value);
        else
            row.push_back(nullptr);
        if (r != nullptr && !r->error.empty() && r->tally != Tally::kInterrupted)
            failed.push_back({{"time", EpochMs(r->time)},
                              {"address", r->address},
                              {"cause", r->status},
                              {"what", r->error},
                              {"hint", r->hint}});
    }
    json stats_json = json::array();
    for (const PointStats& p : stats) stats_json.push_back(StatsJson(p));

    std::lock_guard<std::mutex> lock(s.mutex);
    for (json& f : failed) s.AddFailure(std::move(f));
    s.rows.push_back(row);
    while (s.rows.size() > kHistoryRows) s.rows.pop_front();
    s.stats = std::move(stats_json);
    ++s.cycles;
    const json event{{"row", row}, {"stats", s.stats}, {"failures", json(s.failures)}};
    s.recent.emplace_back(s.cycles, "event: cycle\ndata: " + JsonText(event) + "\n\n");
    while (s.recent.size() > kRecentCycles) s.recent.pop_front();
    s.changed.notify_all();
}

void WatchServer::WaitRunningWrites(std::chrono::steady_clock::time_point until, const PageWriteRunner& run) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        while (!s.writes.empty()) {
            std::shared_ptr<State::Pending> pending = s.writes.front();
            s.writes.pop_front();
            lock.unlock();
            PageWriteAnswer answer;
            try {
                answer = run(pending->ask);
            } catch (const std::exception& e) {
                answer = {500, {{"ok", false}, {"error", e.what()}}};
            }
            lock.lock();
            if (answer.body.value("ok", true) == false && answer.body.contains("status"))
                s.AddFailure({{"time", EpochMs(WallClock::now())},
                              {"address", answer.body.value("address", pending->ask.address)},
                              {"cause", answer.body["status"]},
                              {"what", answer.body.value("error", "")},
                              {"hint", answer.body.value("hint", "")}});
            pending->answer = std::move(answer);
            pending->done = true;
            s.answered.notify_all();
        }
        const auto now = std::chrono::steady_clock::now();
        if (Interrupted() || s.closing || now >= until) return;
        s.wake.wait_for(lock, std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(20)));
    }
}

void WatchServer::Stop() {
    State& s = *state_;
    if (!s.thread.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.closing = true;
        s.changed.notify_all();
        s.answered.notify_all();
        // Let the open pages hear that watching ended before the server goes.
        s.changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return s.streams == 0; });
    }
    s.server.stop();
    s.thread.join();
}
