// The web server of `qdxpoll watch`, with cpp-httplib. Its request threads
// never touch the module: they copy what Publish left under the lock and
// make their text outside it, and a write from the page waits in a short
// queue until the polling thread runs it, one between two cycles.
#include "watch_server.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include <httplib.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "platform.h"
#include "watch_access.h"
#include "watch_assets.h"
#include "watch_connections.h"
#include "watch_history.h"

using nlohmann::json;

namespace {

constexpr size_t kHistoryRows = 36000;  // ten hours at one cycle a second
constexpr size_t kFailuresKept = 20;
constexpr size_t kRecentCycles = 64;  // a page that falls further behind starts again
constexpr int kMaxStreams = 4;        // open pages: each holds a request thread
constexpr auto kKeepAlive = std::chrono::seconds(1);
constexpr size_t kMaxQueuedWrites = 4;            // more get 429
constexpr auto kWriteWait = std::chrono::seconds(30);  // in the queue, before it is withdrawn
// A CSV holds at most this many values (all 36,000 rows of 8 points), about
// 8 MB; two are made at once at most.
constexpr size_t kCsvMaxValues = 8 * kHistoryRows;
constexpr int kMaxCsvAtOnce = 2;
constexpr size_t kCsvRowsAChunk = 2000;
// A new page's stream begins with at least this much (its history, padded
// with a comment): more than a client that does not read can take into its
// buffers, so that such a client stalls the stream at once and is dropped
// after the stall time, instead of holding a place while buffers fill.
constexpr size_t kStreamPrimerBytes = 512 * 1024;
// Long texts go out in pieces of this size, each copied once more by the
// chunked encoding: the copies stay small.
constexpr size_t kWritePiece = 64 * 1024;

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

// After a stream or a CSV, the memory its text took goes back to the system
// (glibc keeps it for the thread that freed it otherwise).
void GiveBackMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

std::string UrlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(JsonText(body), "application/json");
}

void ReplyText(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain");
}

// A whole number of ms, all of the text.
bool ParseMs(const std::string& text, long long* ms) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, *ms);
    return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

bool WriteInPieces(httplib::DataSink& sink, const char* data, size_t size) {
    for (size_t at = 0; at < size; at += kWritePiece)
        if (!sink.write(data + at, std::min(kWritePiece, size - at))) return false;
    return true;
}

// Comment lines that bring a stream's first text up to kStreamPrimerBytes.
bool WritePrimer(httplib::DataSink& sink, size_t have) {
    constexpr size_t kLine = 1024;
    static const std::string lines = [] {
        std::string line(kLine - 1, ' ');
        line[0] = ':';
        line += '\n';
        std::string text;
        while (text.size() < kStreamPrimerBytes) text += line;
        return text;
    }();
    if (have >= kStreamPrimerBytes) return true;
    const size_t missing = (kStreamPrimerBytes - have + kLine - 1) / kLine * kLine;
    return WriteInPieces(sink, lines.data(), std::min(missing, lines.size()));
}

}  // namespace

struct WatchServer::State {
    WatchSetup setup;
    PageAccess access;
    std::string token;  // writes need it (served beyond loopback); "" when not
    std::string setup_text;
    BoundedServer server;
    std::thread thread;
    int port = 0;

    std::mutex mutex;
    std::condition_variable changed;   // a cycle published, or closing
    std::condition_variable wake;      // a write is waiting for the polling thread
    std::condition_variable answered;  // a write has started, or has its answer
    bool closing = false;
    long cycles = 0;
    WatchHistory history{0, 0};
    json stats = json::array();
    std::deque<json> failures;  // newest last
    std::deque<std::pair<long, std::string>> recent;  // a cycle's number and its event
    int streams = 0;
    int csv_in_progress = 0;

    struct Pending {
        PageWrite ask;
        bool started = false, done = false;
        PageWriteAnswer answer;
    };
    std::deque<std::shared_ptr<Pending>> writes;

    void AddFailure(json failure) {
        failures.push_back(std::move(failure));
        while (failures.size() > kFailuresKept) failures.pop_front();
    }

    // The events a page has not had yet after cycle *sent (-1: none yet);
    // waits for the next cycle up to the keep-alive time and then sends a
    // comment, so that a page that went away frees its thread. False once
    // the page has been told that watching ended. A page's first event, the
    // hello, has everything it needs to start: what is watched, the
    // history, the statistics and the failures; it is copied under the lock
    // and written out after.
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
            const HistoryTable rows = history.CopyAll();
            const json stats_now = stats;
            const json failures_now = json(failures);
            *sent = cycles;
            lock.unlock();
            *out = "event: hello\ndata: {\"setup\":" + setup_text + ",\"rows\":" + HistoryJson(rows) +
                   ",\"stats\":" + JsonText(stats_now) + ",\"failures\":" + JsonText(failures_now) + "}\n\n";
            return true;
        }
        if (cycles > *sent) {
            out->clear();
            for (const auto& [number, text] : recent)
                if (number > *sent) *out += text;
        } else {
            *out = ": still watching\n\n";
        }
        *sent = cycles;
        return true;
    }

    enum class Queued { kAnswered, kFull, kWithdrawn, kEnded };

    // Queues a write for the polling thread and waits for its answer. A
    // write still waiting after kWriteWait is withdrawn unsent; one the
    // polling thread has begun is waited for.
    Queued RunWrite(const PageWrite& ask, PageWriteAnswer* answer) {
        auto pending = std::make_shared<Pending>();
        pending->ask = ask;
        std::unique_lock<std::mutex> lock(mutex);
        if (closing) return Queued::kEnded;
        if (writes.size() >= kMaxQueuedWrites) return Queued::kFull;
        writes.push_back(pending);
        wake.notify_all();
        answered.wait_for(lock, kWriteWait, [&] { return pending->started || closing; });
        if (!pending->started) {
            writes.erase(std::remove(writes.begin(), writes.end(), pending), writes.end());
            return closing ? Queued::kEnded : Queued::kWithdrawn;
        }
        answered.wait(lock, [&] { return pending->done; });
        *answer = pending->answer;
        return Queued::kAnswered;
    }

    // The page's reading requests and its writes come from the page itself:
    // no other site's page may read the history, hold a place for a stream,
    // or write.
    bool FromOwnPage(const httplib::Request& req) const {
        return access.OriginAllowed(req.get_header_value("Origin")) &&
               PageAccess::FetchSiteAllowed(req.get_header_value("Sec-Fetch-Site"));
    }

    bool Writable(const std::string& address) const {
        return std::any_of(setup.writable.begin(), setup.writable.end(),
                           [&](const WatchPoint& p) { return p.address == address; });
    }

    void Routes();
    void Events(httplib::Response& res);
    void ChartCsv(const httplib::Request& req, httplib::Response& res);
    void Write(const httplib::Request& req, httplib::Response& res);
};

void WatchServer::State::Routes() {
    server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"}});
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        // Another site's page reaches this server only by a name of its own
        // made to point here, which its requests carry as Host.
        if (!access.HostAllowed(req.get_header_value("Host"))) {
            ReplyText(res, 403,
                      "qdxpoll watch answers only requests addressed to its IP address, or localhost: open the "
                      "page with the address it printed\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A body is taken as it comes, never unpacked.
        if (req.has_header("Content-Encoding")) {
            ReplyText(res, 415, "qdxpoll watch takes no compressed request bodies\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // A refused request's connection closes: its body, if it had one, was
    // not read and must not be taken for the next request.
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status < 400) return;
        BoundedServer::CloseAfterResponse();
        res.headers.erase("Keep-Alive");
        res.set_header("Connection", "close");
    });

    for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
        const EmbeddedFile& f = kEmbeddedFiles[i];
        server.Get(f.path, [&f](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.content_type);
        });
    }
    server.Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnPage(req)) return ReplyText(res, 403, "the page's events go only to the page itself\n");
        Events(res);
    });
    server.Get("/chart.csv", [this](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnPage(req)) return ReplyText(res, 403, "a chart's CSV goes only to the page itself\n");
        ChartCsv(req, res);
    });
    server.Post("/write", [this](const httplib::Request& req, httplib::Response& res) { Write(req, res); });
}

void WatchServer::State::Events(httplib::Response& res) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (streams >= kMaxStreams) {
            ReplyText(res, 503, "too many pages are open on this qdxpoll watch; close one\n");
            return;
        }
        ++streams;
    }
    res.set_header("Cache-Control", "no-store");
    auto sent = std::make_shared<long>(-1);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent](size_t, httplib::DataSink& sink) {
            const bool first = *sent < 0;
            std::string text;
            if (!NextEvents(sent.get(), &text)) return false;
            return WriteInPieces(sink, text.data(), text.size()) && (!first || WritePrimer(sink, text.size()));
        },
        [this](bool) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                --streams;
                changed.notify_all();
            }
            GiveBackMemory();
        });
}

// What a chart shows: the rows from `from` to `to` (ms since the epoch) of
// the points named in `points` (comma-separated addresses, each once; all by
// default).
void WatchServer::State::ChartCsv(const httplib::Request& req, httplib::Response& res) {
    std::vector<size_t> columns;
    if (req.has_param("points")) {
        const std::string list = req.get_param_value("points");
        size_t start = 0;
        while (start <= list.size()) {
            const size_t comma = std::min(list.find(',', start), list.size());
            const std::string address = list.substr(start, comma - start);
            auto it = std::find_if(setup.points.begin(), setup.points.end(),
                                   [&](const WatchPoint& p) { return p.address == address; });
            if (it == setup.points.end())
                return ReplyText(res, 400, "not a watched point: " + JsonText(address) + "\n");
            const size_t column = static_cast<size_t>(it - setup.points.begin());
            if (std::count(columns.begin(), columns.end(), column) > 0)
                return ReplyText(res, 400, "the points name " + address + " twice: name each once\n");
            columns.push_back(column);
            start = comma + 1;
        }
    } else {
        for (size_t i = 0; i < setup.points.size(); ++i) columns.push_back(i);
    }
    long long from = LLONG_MIN, to = LLONG_MAX;
    for (auto [name, bound] : {std::pair<const char*, long long*>{"from", &from}, {"to", &to}})
        if (req.has_param(name) && !ParseMs(req.get_param_value(name), bound))
            return ReplyText(res, 400, std::string(name) + " is a time in whole ms since 1970\n");

    auto table = std::make_shared<HistoryTable>();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (csv_in_progress >= kMaxCsvAtOnce)
            return ReplyText(res, 429, "a CSV is being made already: ask again when it is done\n");
        if (history.CountRows(from, to) * std::max<size_t>(columns.size(), 1) > kCsvMaxValues)
            return ReplyText(res, 413,
                             "that is more than " + std::to_string(kCsvMaxValues) +
                                 " values: ask for fewer points or a shorter time\n");
        *table = history.Copy(from, to, columns);
        ++csv_in_progress;
    }
    std::vector<std::string> names{"time"};
    for (size_t c : columns) names.push_back(setup.points[c].address);
    const std::string header = CsvTable(names).HeaderLine() + "\n";
    auto next = std::make_shared<size_t>(0);
    res.set_header("Content-Disposition", "attachment; filename=\"qdxpoll-watch.csv\"");
    res.set_chunked_content_provider(
        "text/csv",
        [table, next, header](size_t, httplib::DataSink& sink) {
            std::string text = *next == 0 ? header : std::string();
            AppendCsvRows(*table, *next, kCsvRowsAChunk, &text);
            *next += kCsvRowsAChunk;
            if (!sink.write(text.data(), text.size())) return false;
            if (*next >= table->rows()) sink.done();
            return true;
        },
        [this](bool) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                --csv_in_progress;
            }
            GiveBackMemory();
        });
}

// A write from the form: {"address": "01K1S1", "value": "180.5", "verify":
// true}. Only a page of this server can send it: a JSON body is one no other
// site's page may send here without asking first, and an Origin, when given,
// must be this server's. Only the points the page offers are written.
void WatchServer::State::Write(const httplib::Request& req, httplib::Response& res) {
    if (!setup.allow_writes)
        return Reply(res, 403,
                     {{"error", "this page is read-only: start qdxpoll watch with --allow-writes to write from it"}});
    if (!FromOwnPage(req))
        return Reply(res, 403, {{"error", "writes are taken only from the page of this qdxpoll watch"}});
    if (!token.empty() && !SameToken(req.get_header_value("X-Write-Token"), token))
        return Reply(res, 403,
                     {{"error", "this qdxpoll watch is served beyond this machine: writes need its token, open the "
                                "page with the whole address it printed (…/#token=…)"}});
    if (!MediaTypeIs(req.get_header_value("Content-Type"), "application/json"))
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
    if (std::any_of(ask.address.begin(), ask.address.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return Reply(res, 400, {{"error", "invalid address " + JsonText(ask.address) + ": it holds a control "
                                          "character"}});
    std::string upper = ask.address;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!Writable(upper))
        return Reply(res, 403, {{"error", JsonText(ask.address) + " is not offered for writing on this page: it "
                                          "writes the writable points it polls and the set value S1 of each unit "
                                          "it polls"}});
    ask.address = upper;
    PageWriteAnswer answer;
    switch (RunWrite(ask, &answer)) {
        case Queued::kAnswered: return Reply(res, answer.http_status, answer.body);
        case Queued::kFull:
            res.set_header("Retry-After", "1");
            return Reply(res, 429, {{"error", "writes are waiting already: the write was not sent; try again"}});
        case Queued::kWithdrawn:
            return Reply(res, 503, {{"error", "the polling had no time for the write: it was not sent; try again"}});
        case Queued::kEnded: return Reply(res, 503, {{"error", "watching has ended: the write was not sent"}});
    }
}

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

void WatchServer::Publish(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) {
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

    std::lock_guard<std::mutex> lock(s.mutex);
    for (json& f : failed) s.AddFailure(std::move(f));
    s.history.Add(ms, values);
    s.stats = std::move(stats_json);
    ++s.cycles;
    s.recent.emplace_back(s.cycles, "event: cycle\ndata: {\"row\":" + row + ",\"stats\":" + stats_text +
                                        ",\"failures\":" + JsonText(json(s.failures)) + "}\n\n");
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
