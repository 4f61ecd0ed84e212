// The page's server's routes: the page and its files, the stream of
// events, a chart's CSV and a write. Each refuses what is not the page's own
// and stays within its limits; none touches the module.
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#if defined(__SANITIZE_ADDRESS__)
#define QDXPOLL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QDXPOLL_SANITIZED 1
#endif
#endif
#if defined(__GLIBC__) && !defined(QDXPOLL_SANITIZED)
#include <malloc.h>
#endif

#include "platform/platform.h"
#include "readings/written_value.h"
#include "watch/watch_assets.h"
#include "watch/watch_state.h"
#include "watch/watch_system.h"

using nlohmann::json;
using namespace watch_limits;

namespace {

// What the page's server sends with every answer: the page runs only its
// own scripts, talks only to this server, and is never framed by another.
// Style attributes stay allowed: the chart library colours its legend with
// them.
const char* const kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; style-src-attr 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// After a stream or a CSV, the memory its text took goes back to the system
// (glibc keeps it for the thread that freed it otherwise).
// Not under AddressSanitizer: there glibc's allocator is not the one in use,
// and trimming it from a request thread first sets that thread on glibc's
// main arena without counting it, which glibc's check at the thread's end
// takes for corruption and aborts the process.
void GiveBackMemory() {
#if defined(__GLIBC__) && !defined(QDXPOLL_SANITIZED)
    malloc_trim(0);
#endif
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

void WatchServer::State::Routes() {
    server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"}});
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        // A request names its server in one Host: none, an empty one or two
        // leave it to whoever reads them to pick one.
        if (req.get_header_value_count("Host") != 1 || req.get_header_value("Host").empty()) {
            ReplyText(res, 400, "a request to qdxpoll watch names it in one Host header\n");
            return httplib::Server::HandlerResponse::Handled;
        }
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
    server.Get("/history", [this](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnPage(req)) return ReplyText(res, 403, "the history goes only to the page itself\n");
        Range(req, res);
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

bool WatchServer::State::Columns(const httplib::Request& req, std::vector<size_t>* columns,
                                 std::string* why) const {
    columns->clear();
    if (!req.has_param("points")) {
        for (size_t i = 0; i < setup.points.size(); ++i) columns->push_back(i);
        return true;
    }
    const std::string list = req.get_param_value("points");
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string address = list.substr(start, comma - start);
        auto it = std::find_if(setup.points.begin(), setup.points.end(),
                               [&](const WatchPoint& p) { return p.address == address; });
        if (it == setup.points.end()) {
            *why = "not a watched point: " + JsonText(address);
            return false;
        }
        const size_t column = static_cast<size_t>(it - setup.points.begin());
        if (std::count(columns->begin(), columns->end(), column) > 0) {
            *why = "the points name " + address + " twice: name each once";
            return false;
        }
        columns->push_back(column);
        start = comma + 1;
    }
    return true;
}

namespace {

// from and to (ms since the epoch; the whole history by default), from <= to.
bool TimeBounds(const httplib::Request& req, long long* from, long long* to, std::string* why) {
    *from = LLONG_MIN;
    *to = LLONG_MAX;
    for (auto [name, bound] : {std::pair<const char*, long long*>{"from", from}, {"to", to}})
        if (req.has_param(name) && !ParseMs(req.get_param_value(name), bound)) {
            *why = std::string(name) + " is a time in whole ms since 1970";
            return false;
        }
    if (*from > *to) {
        *why = "from is after to";
        return false;
    }
    return true;
}

// 20261209T0130, local time.
std::string FileTime(long long ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    char text[32] = "";
    if (LocalTimeOf(t, &local)) std::strftime(text, sizeof text, "%Y%m%dT%H%M", &local);
    return text;
}

}  // namespace

// A chart's time range: {"rows": [[ms, value or null, ...], ...], "gaps":
// [[from, to], ...], "span": [first, last] or null}, its rows cut down to
// `max` (kPageRows at most).
void WatchServer::State::Range(const httplib::Request& req, httplib::Response& res) {
    std::vector<size_t> columns;
    long long from = 0, to = 0;
    std::string why;
    if (!Columns(req, &columns, &why) || !TimeBounds(req, &from, &to, &why)) return ReplyText(res, 400, why + "\n");
    long long max_rows = static_cast<long long>(kPageRows);
    if (req.has_param("max") && (!ParseMs(req.get_param_value("max"), &max_rows) || max_rows < 4))
        return ReplyText(res, 400, "max is a number of rows, 4 or more\n");
    max_rows = std::min(max_rows, static_cast<long long>(kPageRows));
    long long first = 0, last = 0;
    std::string text = "{\"rows\":[],\"gaps\":[],\"span\":null}";
    if (Span(&first, &last))
        text = "{\"rows\":" + HistoryJson(Rows(from, to, columns, static_cast<size_t>(max_rows))) + ",\"gaps\":" +
               GapsJson(Gaps(std::max(from, first), std::min(to, last))) + ",\"span\":[" + std::to_string(first) +
               "," + std::to_string(last) + "]}";
    res.set_header("Cache-Control", "no-store");
    res.set_content(text, "application/json");
}

// What a chart shows: the rows from `from` to `to` (ms since the epoch) of
// the points named in `points` (all by default), named after the points and
// the time.
void WatchServer::State::ChartCsv(const httplib::Request& req, httplib::Response& res) {
    std::vector<size_t> columns;
    long long from = 0, to = 0;
    std::string why;
    if (!Columns(req, &columns, &why) || !TimeBounds(req, &from, &to, &why)) return ReplyText(res, 400, why + "\n");

    {
        std::lock_guard<std::mutex> lock(mutex);
        if (csv_in_progress >= kMaxCsvAtOnce)
            return ReplyText(res, 429, "a CSV is being made already: ask again when it is done\n");
        ++csv_in_progress;
    }
    // Counted down when the answer is done, or here when there is none.
    auto done = [this] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            --csv_in_progress;
        }
        GiveBackMemory();
    };
    auto table = std::make_shared<HistoryTable>(
        ReadHistory([&](const HistoryReader& h) { return h.Read(from, to, columns, 0); }));
    if (table->cells.size() - table->rows() > kCsvMaxValues) {
        table.reset();
        done();
        return ReplyText(res, 413,
                         "that is more than " + std::to_string(kCsvMaxValues) +
                             " values: ask for fewer points or a shorter time\n");
    }
    std::vector<std::string> names{"time"};
    for (size_t c : columns) names.push_back(setup.points[c].address);
    const std::string header = CsvTable(names).HeaderLine() + "\n";
    auto next = std::make_shared<size_t>(0);
    std::string file = "qdxpoll";
    for (size_t c : columns) file += "-" + setup.points[c].address;
    if (table->rows() > 0)
        file += "-" + FileTime(static_cast<long long>(table->cells.front())) + "-" +
                FileTime(static_cast<long long>(table->cells[(table->rows() - 1) * (table->width + 1)]));
    res.set_header("Content-Disposition", "attachment; filename=\"" + file + ".csv\"");
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
        [done](bool) { done(); });
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
    json body;
    std::string why;
    const std::string usage = "a write is {\"address\": \"01K1S1\", \"value\": \"180.5\", \"verify\": true}";
    if (!ParseJsonNoDuplicates(req.body, &body, &why)) return Reply(res, 400, {{"error", usage + "; this one: " + why}});
    if (!body.is_object() || !body.contains("address") || !body["address"].is_string() || !body.contains("value"))
        return Reply(res, 400, {{"error", usage}});
    PageWrite ask;
    ask.address = body["address"].get<std::string>();
    if (!WrittenValueFromJson(body["value"], &ask.value, &why)) return Reply(res, 400, {{"error", why}});
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
                                          "writes the writable points of its --config file, or without such a "
                                          "list the writable points it polls and the set value S1 of each unit it "
                                          "polls"}});
    ask.address = upper;
    ask.from = req.remote_addr;
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
