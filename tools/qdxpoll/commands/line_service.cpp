// The service's side of run.
#include "commands/line_service.h"

#include <fmt/format.h>

#include "platform/service_manager.h"
#include "session/driver_log.h"

namespace {

// The status a service manager shows is brought up to date this often.
constexpr auto kStatusEvery = std::chrono::seconds(30);

}  // namespace

void ServiceSink::Cycle(const std::vector<Reading>&, const std::vector<PointStats>&) {
    ++cycles_;
    notifier_.Alive();
    const LineStats& line = session_.line_stats;
    const auto now = std::chrono::steady_clock::now();
    if (line.lost == lost_said_ && now - last_status_ < kStatusEvery) return;
    lost_said_ = line.lost;
    last_status_ = now;
    notifier_.Status(fmt::format("{} cycles; port {}{}", cycles_, session_.port.user_port,
                                 line.lost ? " lost, reopening it" : " answering",
                                 line.outages > 0 ? fmt::format("; {} outages", line.outages) : ""));
}

bool ServiceSink::Ends() {
    notifier_.Alive();
    if (!reload_) reload_ = TakeReloadRequest();
    return reload_;
}

bool ServiceSink::TakeReload() {
    Ends();
    const bool asked = reload_;
    reload_ = false;
    return asked;
}

void PrepareRun(Options* o) { o->allow_writes = !o->writable.empty(); }

void TakeReloadedOptions(Options* running, Options fresh) {
    PrepareRun(&fresh);
    const bool other_line = fresh.port != running->port || fresh.line != running->line ||
                            fresh.baud != running->baud || fresh.data_bits != running->data_bits ||
                            fresh.parity != running->parity || fresh.stop_bits != running->stop_bits ||
                            fresh.timeout_ms != running->timeout_ms;
    if (other_line)
        ErrorLine("qdxpoll: note: the file names another port or line settings; the running ones are kept until "
                  "a restart");
    fresh.port = running->port;
    fresh.line = running->line;
    fresh.baud = running->baud;
    fresh.data_bits = running->data_bits;
    fresh.parity = running->parity;
    fresh.stop_bits = running->stop_bits;
    fresh.timeout_ms = running->timeout_ms;
    *running = std::move(fresh);
    ErrorLine("run: " + running->config_file + " read again: its points, interval and outputs from now on");
}

std::string RunStatus(const Session& session, size_t points, const std::string& outputs) {
    const Options& o = session.options;
    return fmt::format("{} on {}, {} point{} every {:g} s: {}", o.line_name, session.port.user_port, points,
                       points == 1 ? "" : "s", o.interval_s, outputs);
}

std::string RunSummary(const Session& session, long cycles, const RunTotals& totals) {
    const LineStats& line = session.line_stats;
    std::string text = fmt::format("{} cycles in {:.1f} s", cycles, totals.seconds);
    if (totals.reloads > 0) text += fmt::format(", {} reload{}", totals.reloads, totals.reloads == 1 ? "" : "s");
    if (line.outages > 0) text += fmt::format(", {} outages of the port since the last start or reload", line.outages);
    return text + "; " + totals.summary;
}
