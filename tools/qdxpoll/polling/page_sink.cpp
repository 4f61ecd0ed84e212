// The page's points, its cycles and its writes.
#include "polling/page_sink.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "config/line_file.h"
#include "config/line_settings.h"
#include "rexf/unit_model.h"
#include "session/write_policy.h"

namespace {

// The places a scaled value needs to show the unit's last decimal.
int ScaledDecimals(int decimals, double scale) {
    const double step = std::pow(10.0, -decimals) * std::fabs(scale);
    return step > 0 ? std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 6) : decimals;
}

// A point as the page shows it: its meaning and unit from the unit model,
// its name, unit and scaling from the line file where it has them.
WatchPoint Watched(const Options& options, const Point& p) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(p.identifier());
    WatchPoint w;
    w.address = p.address;
    w.unit = p.unit();
    w.channel = p.channel();
    w.identifier = p.identifier();
    w.meaning = m != nullptr ? m->meaning : "";
    w.engineering_unit = DefaultEngineeringUnit(p.identifier());
    w.decimals = m != nullptr ? m->decimals : 1;
    if (const ConfigPoint* c = options.ConfigPointOf(p.address)) {
        w.name = c->name;
        w.engineering_unit = c->unit;
        w.scale = c->scale;
        w.offset = c->offset;
        w.decimals = ScaledDecimals(w.decimals, c->scale);
    }
    return w;
}

// A write the page asks for, with the checks and the read-back of `write`.
// Its outcome goes to the page (and to the output, as a write); it leaves
// the exit code to the polling.
PageWriteAnswer WriteFromPage(Session& session, HistoryRecorder* recorder, const PageWrite& w) {
    if (session.line_stats.lost)
        return {503, {{"ok", false}, {"error", "port " + session.port.user_port + " is lost: nothing is written until it "
                                               "is back (polling reopens it by itself)"}}};
    const ClientWrite c = WriteForClient(session, w.address, w.value, w.verify);
    if (!c.sent) return {400, {{"ok", false}, {"error", c.refusal}}};
    nlohmann::json body = ReadingJson(c.reading);
    body["ok"] = c.ok;
    body["exit_code"] = c.exit_code;  // what 'qdxpoll write' would end with
    if (c.exit_code != kExitOk) body["hint"] = c.hint;
    session.reporter.Emit(c.reading, "write from the page: ");
    if (recorder != nullptr) recorder->Write(c.reading, w.value, "page " + w.from);
    return {200, body};
}

}  // namespace

PageSink::PageSink(Session& session, const PointList& points, double interval_s, bool allow_writes,
                   WatchServer& server, HistoryRecorder* recorder)
    : session_(session), server_(server), recorder_(recorder) {
    const Options& o = session.options;
    setup_.listen_address = o.listen_address;
    setup_.port = o.http_port;
    setup_.allow_writes = allow_writes;
    setup_.type = TypeName(session.Type());
    setup_.heading = fmt::format("{} at {}, a cycle every {:g} s", o.port.empty() ? "the simulator" : o.port,
                                 LineText(session.port.line), interval_s);
    // The form offers the configuration's writable points, or without such
    // a list the writable points polled and the set value of every unit and
    // channel polled.
    std::vector<std::string> polled;
    for (const auto& p : points) {
        setup_.points.push_back(Watched(o, *p));
        polled.push_back(p->address);
    }
    for (const std::string& a : PageWritable(polled, o.writable)) {
        auto w = std::make_unique<Point>();
        if (session.driver->Parse(a, session.Type(), w.get())) setup_.writable.push_back(Watched(o, *w));
    }
    if (recorder != nullptr) setup_.database = o.db_file;
}

void PageSink::Start(const std::function<void(const std::string&)>& serving) {
    std::string url, error;
    if (!server_.Start(setup_, &url, &error))
        throw ToolError(kExitUsage, error + (session_.options.http_port != 0 ? "; choose another --http PORT, or "
                                                                               "leave it out for a free one"
                                                                             : ""));
    serving(url);
}

void PageSink::Wait(std::chrono::steady_clock::time_point until, bool* wrote) {
    server_.WaitRunningWrites(
        until, [this](const PageWrite& w) { return WriteFromPage(session_, recorder_, w); }, wrote);
}

void PageSink::Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) {
    server_.Publish(readings, stats, &session_.line_stats);
}

void PageSink::End() { server_.Stop(); }

std::string PageNote(const std::string& url, bool allow_writes) {
    std::string note = "Open " + url + " in a browser: the chart, the statistics and the last failures, live; " +
                       (allow_writes ? "its form writes values (each confirmed first)."
                                     : "read-only (--allow-writes lets its form write values).");
    if (url.find("#token=") != std::string::npos)
        note += " Served beyond this machine, the page writes only with the token at the end of this address: "
                "give it only to whom may write.";
    return note;
}
