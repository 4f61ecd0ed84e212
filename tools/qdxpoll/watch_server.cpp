// The web server of `qdxpoll watch`, with cpp-httplib. Its request threads
// never touch the module: they copy what Publish left under the lock and
// make their text outside it, and a write from the page waits in a short
// queue until the polling thread runs it, one between two cycles.
#include <chrono>
#include <cstdio>

#include "platform.h"
#include "watch_state.h"

using nlohmann::json;
using namespace watch_limits;

namespace {

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

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

WatchServer::WatchServer() : state_(std::make_unique<State>()) {}

WatchServer::~WatchServer() { Stop(); }

const char* WatchServer::Unavailable() { return nullptr; }

bool WatchServer::Start(const WatchSetup& setup, std::string* url, std::string* error) {
    State& s = *state_;
    s.setup = setup;
    s.history = WatchHistory(setup.points.size(), kHistoryRows);
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
    s.access = PageAccess(setup.listen_address, port);
    // Beyond this machine anyone on its networks reaches the page: writes
    // then need the token that only the printed address carries.
    if (setup.allow_writes && !s.access.loopback()) {
        s.token = NewWriteToken();
        if (s.token.empty()) {
            *error = "cannot make a token for the page's writes: the system gives no random numbers";
            return false;
        }
    }
    json setup_json{{"heading", setup.heading},
                    {"type", setup.type},
                    {"allow_writes", setup.allow_writes},
                    {"write_token", !s.token.empty()},
                    {"points", json::array()},
                    {"writable", json::array()},
                    {"charts", Charts(setup.points)}};
    for (const WatchPoint& p : setup.points) setup_json["points"].push_back(PointJson(p));
    for (const WatchPoint& p : setup.writable) setup_json["writable"].push_back(PointJson(p));
    s.setup_text = JsonText(setup_json);
    s.Routes();
    s.thread = std::thread([&s] {
        BoundedServer::YieldToPolling();
        s.server.listen_after_bind();
    });
    s.port = port;
    *url = "http://" + UrlHost(setup.listen_address) + ":" + std::to_string(port) + "/" +
           (s.token.empty() ? "" : "#token=" + s.token);
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
    const httplib::Result page = client.Get("/", {{"Host", UrlHost(host) + ":" + std::to_string(s.port)}});
    if (!page) {
        *result = "the page does not answer: " + httplib::to_string(page.error());
        return false;
    }
    *result = "the page answers: HTTP " + std::to_string(page->status) + ", " + std::to_string(page->body.size()) +
              " bytes";
    return page->status == 200;
}

void WatchServer::Publish(const std::vector<Reading>& readings, const std::vector<PointStats>& stats,
                          const LineStats* line) {
    State& s = *state_;
    const WallClock::time_point when = readings.empty() ? WallClock::now() : readings.front().time;
    std::vector<double> values;
    std::vector<json> failed;
    for (size_t i = 0; i < s.setup.points.size(); ++i) {
        const Reading* r = i < readings.size() ? &readings[i] : nullptr;
        // The value's own text keeps the chart and the CSV at the unit's
        // decimals (a float's 24.1 is not 24.100000381).
        double value = 0;
        if (r != nullptr && r->ok && r->value.numeric && std::sscanf(r->value.text.c_str(), "%lf", &value) == 1 &&
            std::isfinite(value))
            values.push_back(value);
        else
            values.push_back(NAN);
        if (r != nullptr && !r->error.empty() && r->tally != Tally::kInterrupted)
            failed.push_back({{"time", EpochMs(r->time)},
                              {"address", r->address},
                              {"cause", r->status},
                              {"what", r->error},
                              {"hint", r->hint}});
    }
    const long long ms = EpochMs(when);
    const std::string row = RowJson(ms, values);
    json stats_json = json::array();
    for (const PointStats& p : stats) stats_json.push_back(StatsJson(p));
    const std::string stats_text = JsonText(stats_json);
    const std::string line_text =
        line == nullptr ? "null"
                        : JsonText(json{{"interval_s", line->interval_s},
                                        {"cycle_s", line->recent_cycle_s},
                                        {"outages", line->outages},
                                        {"outage_s", line->outage_s},
                                        {"lost", line->lost}});

    std::lock_guard<std::mutex> lock(s.mutex);
    for (json& f : failed) s.AddFailure(std::move(f));
    s.history.Add(ms, values);
    s.stats = std::move(stats_json);
    ++s.cycles;
    s.recent.emplace_back(s.cycles, "event: cycle\ndata: {\"row\":" + row + ",\"stats\":" + stats_text +
                                        ",\"line\":" + line_text + ",\"failures\":" + JsonText(json(s.failures)) + "}\n\n");
    while (s.recent.size() > kRecentCycles) s.recent.pop_front();
    s.changed.notify_all();
}

void WatchServer::WaitRunningWrites(std::chrono::steady_clock::time_point until, const PageWriteRunner& run) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    // One write between two cycles at most: a flood of them delays no cycle
    // by more than one write. After Ctrl-C none starts.
    bool ran = false;
    for (;;) {
        if (!ran && !s.writes.empty() && !Interrupted()) {
            std::shared_ptr<State::Pending> pending = s.writes.front();
            s.writes.pop_front();
            pending->started = true;
            s.answered.notify_all();
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
            ran = true;
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
