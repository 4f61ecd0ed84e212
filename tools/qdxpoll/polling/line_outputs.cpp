// Each output of the line's file, started, fed and ended together.
#include "polling/line_outputs.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "platform/platform.h"
#include "polling/poll_loop.h"
#include "session/driver_log.h"

namespace {

// The gap between two cycles is shared in slices this long, so that each
// writer sees its requests soon.
constexpr auto kSlice = std::chrono::milliseconds(20);

}  // namespace

template <class Start>
void LineOutputs::TryStart(const char* what, Start start) {
    ++named_;
    try {
        start();
    } catch (const ToolError& e) {
        // One output that cannot start leaves the others to run.
        ErrorLine(std::string("qdxpoll: the ") + what + " cannot start, the other outputs run without it: " +
                  e.what());
        session_.Fail(e.code, std::string("the ") + what + " could not start: " + e.what(), e.hint);
    }
}

LineOutputs::LineOutputs(Session& session, const PointList& points) : session_(session) {
    const Options& o = session.options;
    if (!o.db_file.empty())
        TryStart("history", [&] {
            history_ = std::make_unique<HistorySink>(session, "run", points);
            sinks_.push_back(history_.get());
        });
    if (o.page)
        TryStart("page", [&] {
            if (const char* why = WatchServer::Unavailable()) throw ToolError(kExitUsage, why);
            server_ = std::make_unique<WatchServer>();
            auto page = std::make_unique<PageSink>(session, points, o.interval_s, o.allow_writes, *server_,
                                                   history_ ? &history_->recorder() : nullptr);
            page->Start([&](const std::string& url) { url_ = url; });
            page_ = std::move(page);
            sinks_.push_back(page_.get());
        });
    if (o.mqtt.given)
        TryStart("broker's output", [&] {
            const MqttLinkSetup setup = CheckedMqttSetup(o);
            mqtt_ = std::make_unique<MqttOutput>(session, points, setup, MqttWritable(session));
            sinks_.push_back(&mqtt_->sink());
        });
}

LineOutputs::~LineOutputs() { End(); }

std::string LineOutputs::Running() const {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (history_) add("history " + session_.options.db_file);
    if (page_) add("page " + url_);
    if (mqtt_) add("mqtt " + session_.options.mqtt.broker);
    return text.empty() ? "no output" : text;
}

void LineOutputs::Wait(std::chrono::steady_clock::time_point until, const std::function<bool()>& stop) {
    bool wrote = false;
    const bool page_first = page_first_;
    page_first_ = !page_first_;
    for (;;) {
        const auto slice = std::min(until, std::chrono::steady_clock::now() + kSlice);
        if (page_ && page_first) page_->Wait(slice, &wrote);
        if (mqtt_) mqtt_->sink().Wait(slice, &wrote);
        if (page_ && !page_first) page_->Wait(slice, &wrote);
        if (!page_ && !mqtt_) SleepUntil(slice);
        if (Interrupted() || std::chrono::steady_clock::now() >= until || stop()) return;
    }
}

void LineOutputs::End() {
    if (ended_) return;
    ended_ = true;
    for (auto sink = sinks_.rbegin(); sink != sinks_.rend(); ++sink) (*sink)->End();
}

std::string LineOutputs::Summary() const {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (history_) {
        HistoryStore& store = history_->recorder().store();
        add(fmt::format("history {} samples, {} not stored", store.Added(), store.Unstored()));
    }
    if (page_) add("page served");
    if (mqtt_) {
        const MqttLinkCounts c = mqtt_->Counts();
        add(fmt::format("mqtt {} published, {} unsent, {} dropped, {} connections", c.published, c.queued, c.dropped,
                        c.connections));
    }
    if (named_ > running()) add(fmt::format("{} of {} outputs could not start", named_ - running(), named_));
    return text.empty() ? "no output" : text;
}
