// The web server of `qdxpoll watch`, with cpp-httplib. Its request threads
// never touch the module: they copy what Publish left under the lock and
// make their text outside it, and a write from the page waits in a short
// queue until the polling thread runs it, one between two cycles.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "base/host_port.h"
#include "base/times.h"
#include "platform/platform.h"
#include "watch/watch_state.h"
#include "watch/watch_store.h"

using nlohmann::json;
using namespace watch_limits;

namespace {

json PointJson(const WatchPoint& p) {
    return {{"address", p.address},
            {"unit", p.unit},
            {"channel", p.channel},
            {"identifier", p.identifier},
            {"meaning", p.meaning},
            {"name", p.name},
            {"engineering_unit", p.engineering_unit},
            {"decimals", p.decimals}};
}

// Which points share a chart, in the two ways the page offers: by unit
// (every point of one unit and channel, the set value S1 first and the
// measured value M1 next, so that a unit's S1, M1 and O1 are seen together)
// and by identifier (the same identifier across units, to compare them).
json Charts(const std::vector<WatchPoint>& points) {
    auto group = [&points](auto same, auto rank) {
        json charts = json::array();
        std::vector<bool> placed(points.size(), false);
        for (size_t i = 0; i < points.size(); ++i) {
            if (placed[i]) continue;
            std::vector<size_t> chart;
            for (size_t j = i; j < points.size(); ++j)
                if (!placed[j] && same(points[i], points[j])) {
                    placed[j] = true;
                    chart.push_back(j);
                }
            std::stable_sort(chart.begin(), chart.end(),
                             [&](size_t a, size_t b) { return rank(points[a]) < rank(points[b]); });
            charts.push_back(chart);
        }
        return charts;
    };
    const auto by_unit = [](const WatchPoint& a, const WatchPoint& b) {
        return a.unit == b.unit && a.channel == b.channel;
    };
    const auto set_value_first = [](const WatchPoint& p) {
        return p.identifier == "S1" ? 0 : p.identifier == "M1" ? 1 : 2;
    };
    const auto by_identifier = [](const WatchPoint& a, const WatchPoint& b) { return a.identifier == b.identifier; };
    return {{"unit", group(by_unit, set_value_first)},
            {"identifier", group(by_identifier, [](const WatchPoint&) { return 0; })}};
}

// A value as the page shows it, scaled where the configuration says so.
double Shown(const WatchPoint& p, double value) { return p.scale == 1 && p.offset == 0 ? value : value * p.scale + p.offset; }

std::string ShownText(const WatchPoint& p, const std::string& text, double shown) {
    if ((p.scale == 1 && p.offset == 0) || !std::isfinite(shown)) return text;
    char out[64];
    std::snprintf(out, sizeof out, "%.*f", p.decimals, shown);
    return out;
}

// Why a cycle gave no samples at all: the port was lost, or no unit
// answered; "" when it gave some; none when it asked nothing (every point
// resting), which neither opens nor closes a gap.
std::optional<std::string> NoSamplesWhy(const std::vector<Reading>& readings) {
    int polled = 0, silent = 0;
    for (const Reading& r : readings) {
        if (r.summary_class == SummaryClass::kMissing) return r.error;
        if (r.summary_class == SummaryClass::kSkipped || r.summary_class == SummaryClass::kInterrupted) continue;
        ++polled;
        silent += r.status == "silent";
    }
    if (polled == 0) return std::nullopt;
    return silent == polled ? "no unit answered" : "";
}

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// Where a person opens the page: served on every address, at the loopback
// one of the same family (no one opens 0.0.0.0 or [::]).
std::string AddressToOpen(const std::string& listen_address) {
    if (!IsEveryAddress(listen_address)) return listen_address;
    return listen_address.find(':') != std::string::npos ? "::1" : "127.0.0.1";
}

}  // namespace

WatchServer::WatchServer() : state_(std::make_unique<State>()) {}

WatchServer::~WatchServer() { Stop(); }

const char* WatchServer::Unavailable() { return nullptr; }

bool WatchServer::Start(const WatchSetup& setup, std::string* url, std::string* error) {
    State& s = *state_;
    s.setup = setup;
    s.history = WatchHistory(setup.points.size(), kHistoryRows);
    s.latest.assign(setup.points.size(), PointLatest());
    if (!setup.database.empty()) {
        std::vector<StoredColumn> columns;
        for (const WatchPoint& p : setup.points) columns.push_back({p.address, p.scale, p.offset});
        auto stored = std::make_unique<StoredHistory>(setup.database, columns);
        // The failures of the night so far, not only of this run.
        stored->LoadFailures(&s.failures);
        s.stored = std::move(stored);
    }
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
    s.server.WidenBacklog();
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
    *url = "http://" + UrlHost(AddressToOpen(setup.listen_address)) + ":" + std::to_string(port) + "/" +
           (s.token.empty() ? "" : "#token=" + s.token);
    return true;
}

bool WatchServer::CheckPage(std::string* result) {
    State& s = *state_;
    // Any address means every one: the loopback address is among them.
    const std::string host = AddressToOpen(s.setup.listen_address);
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
    std::vector<const Reading*> failed;
    for (size_t i = 0; i < s.setup.points.size(); ++i) {
        const Reading* r = i < readings.size() ? &readings[i] : nullptr;
        // The value's own text keeps the chart and the CSV at the unit's
        // decimals (a float's 24.1 is not 24.100000381).
        double value = 0;
        if (r != nullptr && r->ok && r->value.numeric && std::sscanf(r->value.text.c_str(), "%lf", &value) == 1 &&
            std::isfinite(value))
            values.push_back(Shown(s.setup.points[i], value));
        else
            values.push_back(NAN);
        if (r != nullptr && !r->error.empty() && r->summary_class != SummaryClass::kInterrupted) failed.push_back(r);
    }
    const long long ms = MsSinceEpoch(when);
    const std::string row = RowJson(ms, values);
    const std::optional<std::string> why = NoSamplesWhy(readings);
    json stats_json = json::array();
    for (const PointStats& p : stats) stats_json.push_back(StatsJson(p));
    const std::string stats_text = JsonText(stats_json);
    const std::string line_text =
        line == nullptr ? "null"
                        : JsonText(json{{"interval_s", line->interval_s},
                                        {"cycle_s", line->recent_cycle_s},
                                        {"cycles", line->cycles},
                                        {"outages", line->outages},
                                        {"outage_s", line->outage_s},
                                        {"lost", line->lost}});

    std::lock_guard<std::mutex> lock(s.mutex);
    for (const Reading* r : failed) s.failures.Add(MsSinceEpoch(r->time), r->address, r->status, r->error, r->hint);
    for (size_t i = 0; i < readings.size() && i < s.latest.size(); ++i) {
        const Reading& r = readings[i];
        PointLatest& l = s.latest[i];
        if (r.ok) {
            l.good_ms = MsSinceEpoch(r.time);
            l.text = ShownText(s.setup.points[i], r.value.text, values[i]);
        } else if (r.summary_class != SummaryClass::kInterrupted && r.summary_class != SummaryClass::kSkipped) {
            // A dead point left out of a cycle keeps the cause it died of.
            l.failed_ms = MsSinceEpoch(r.time);
            l.cause = r.status;
            l.what = r.error;
        }
    }
    s.history.Add(ms, values);
    // The gap this cycle opened, grew or closed, for the page to draw.
    if (why) s.run_gaps.Cycle(ms, *why);
    const std::vector<HistoryGap> gap = s.run_gaps.Within(ms, ms);
    std::string gap_text = "null";
    if (!gap.empty()) {
        gap_text = GapsJson({gap.back()});
        gap_text = gap_text.substr(1, gap_text.size() - 2);  // the one gap out of its list
    }
    s.stats = std::move(stats_json);
    ++s.cycles;
    s.recent.Add(s.cycles, "event: cycle\ndata: {\"row\":" + row + ",\"stats\":" + stats_text +
                           ",\"gap\":" + gap_text +
                           ",\"line\":" + line_text + ",\"failures\":" + JsonText(s.failures.Json()) +
                           ",\"latest\":" + JsonText(LatestJson(s.latest)) + "}\n\n");
    s.line_text = line_text;
    s.changed.notify_all();
}

void WatchServer::WaitRunningWrites(std::chrono::steady_clock::time_point until, const PageWriteRunner& run,
                                    bool* shared) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    // One write between two cycles at most: a flood of them delays no cycle
    // by more than one write. After Ctrl-C none starts.
    bool own = false;
    bool& ran = shared != nullptr ? *shared : own;
    for (;;) {
        if (!ran && !s.writes.empty() && !Interrupted()) {
            std::shared_ptr<State::Pending> pending = *s.writes.TakeNext();
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
                s.failures.Add(MsSinceEpoch(WallClock::now()), answer.body.value("address", pending->ask.address),
                               answer.body.value("status", ""), answer.body.value("error", ""),
                               answer.body.value("hint", ""));
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
