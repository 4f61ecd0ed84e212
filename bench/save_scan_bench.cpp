// Saving a whole unit (qdxpoll save): every identifier of unit 01 of the
// default table (77 answer, the current transformer inputs M2 and M3 of the
// option it lacks answer EOT) on a line paced at 9600 baud whose units wait
// the factory interval time of 10 ms before every answer. Scanning a line
// (qdxpoll scan M1): 100 addresses, units 01-03 answer.
#include "save_scan_bench.h"

#include <cstdio>

#include "bench_support.h"
#include "raw_line.h"
#include "rexf/line_timing.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"

namespace qdxbench {
namespace {

using rexf::kAck;
using rexf::kEot;
using rexf::kEtx;
using rexf::kStx;

// The unit's data link without the driver: a poll of the first identifier,
// then ACK after each reply brings the next one, until the unit's EOT. The
// identifiers must come in the unit model's order; returns how many came,
// or -1 on any surprise.
int ReadUnitOverDataLink(RawLine* raw, const std::vector<std::string>& order) {
    if (!raw->Write(rexf::PollFrame(1, 1, order[0]))) return -1;
    size_t next = 0;  // where in the model's order the unit may go on
    int replies = 0;
    const uint8_t ack = kAck, eot = kEot;
    for (;;) {
        uint8_t reply[11];
        if (!raw->ReadExact(reply, 1, 1000)) return -1;
        if (reply[0] == kEot) break;
        if (reply[0] != kStx || !raw->ReadExact(reply + 1, 10, 1000) || reply[9] != kEtx ||
            rexf::BlockCheck(std::vector<uint8_t>(reply, reply + 11), 1, 9) != reply[10])
            return -1;
        const std::string ident(reinterpret_cast<const char*>(reply + 1), 2);
        while (next < order.size() && order[next] != ident) ++next;
        if (next == order.size()) return -1;  // out of the model's order
        ++next;
        ++replies;
        if (!raw->Write(&ack, 1)) return -1;
    }
    raw->Write(&eot, 1);
    return replies;
}

}  // namespace

void MeasureSave(Module* module, const Options& opt, Report* report, std::vector<std::string>* notes) {
    std::fprintf(stderr, "qdxbench: saving a whole unit at the factory interval time\n");
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    std::vector<std::string> order;
    for (size_t i = 0; i < count; ++i) order.push_back(models[i].ident);

    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {"--realistic"});
    // The reply timeout every unit at the factory interval time meets (scan's).
    const int timeout_ms = rexf::SafeReplyTimeoutMs(rexf::kFactoryIntervalTimeMs, 9600, 7, true, 2);
    HostPort host;
    std::vector<PointRecord> points(count);
    std::vector<ValueCell> cells(count);
    int good = 0, link_replies = 0;
    RawLine raw;
    for (int round = 0; round < opt.save_rounds; ++round) {
        // A start request each round: an open request (13) would leave the
        // port at the 1000 ms reply timeout of a new handle.
        StartPort(module, &host, path, timeout_ms / 10);
        if (round == 0)
            for (size_t i = 0; i < count; ++i)
                ParsePoint(module, &host, ("01K1" + order[i]).c_str(), &points[i], &cells[i]);
        const auto start = Clock::now();
        good = 0;
        for (PointRecord& p : points) good += module->Call(kRequestReadValue, &host.port, &p) == kResultOk;
        report->operator[]("save_driver_s").samples.push_back(Seconds(Clock::now() - start));
        ClosePort(module, &host);

        raw.Open(path);
        const auto link_start = Clock::now();
        link_replies = ReadUnitOverDataLink(&raw, order);
        if (link_replies > 0) report->operator[]("save_data_link_s").samples.push_back(Seconds(Clock::now() - link_start));
        raw.Close();

#ifdef QDX_QDXPOLL_PATH
        for (const char* timeout : {"", "100"}) {
            std::vector<std::string> args{QDX_QDXPOLL_PATH, "--quiet", "--port", path, "save", "01"};
            if (*timeout) args.insert(args.begin() + 1, {"--timeout", timeout});
            const ProgramRun run = RunProgram(args);
            if (run.exit_code != 0) notes->push_back("warning: qdxpoll save exited " + std::to_string(run.exit_code));
            report->operator[](*timeout ? "save_qdxpoll_t100_s" : "save_qdxpoll_s").samples.push_back(run.seconds);
        }
#endif
        if (opt.verbose)
            std::fprintf(stderr, "  save: driver %.2f s (%d of %zu good), data link %d replies\n",
                         report->operator[]("save_driver_s").samples.back(), good, count, link_replies);
    }
    sim.Stop();

    // What the line itself allows: each answered identifier a poll, its
    // reply and the closing EOT (20 characters) after the interval time; an
    // identifier the unit lacks a poll and its EOT (9). Over the data link:
    // one poll, then an ACK and a reply (12) for each identifier after the
    // first, and the closing EOT.
    const double ch = kCharSeconds, wait = rexf::kFactoryIntervalTimeMs / 1000.0;
    const int absent = static_cast<int>(count) - good;
    const double single = good * (kReadChars * ch + wait) + absent * (9 * ch + wait);
    const double link = (8 + 11) * ch + wait + (good - 1) * (12 * ch + wait) + ch;
    report->operator[]("save_line_limit_s").samples.push_back(single);
    report->operator[]("save_data_link_limit_s").samples.push_back(link);
    char line[512];
    std::snprintf(line, sizeof line,
                  "Saving a whole unit (unit 01: %zu identifiers, %d answered, %d answered EOT) at 9600 baud with\n"
                  "  the factory interval time of 10 ms: the line allows %.2f s with one poll an identifier and\n"
                  "  %.2f s over the data link (%d replies came in the model's order); the driver retries an\n"
                  "  EOT three times at the %d ms reply timeout, qdxpoll (340 ms by default) then listens for a\n"
                  "  late answer.",
                  count, good, absent, single, link, link_replies, timeout_ms);
    notes->push_back(line);
}

void MeasureScan(const Options& opt, Report* report, std::vector<std::string>* notes) {
#ifdef QDX_QDXPOLL_PATH
    std::fprintf(stderr, "qdxbench: scanning 100 addresses at the factory interval time\n");
    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {"--realistic"});
    for (int round = 0; round < opt.save_rounds; ++round) {
        const ProgramRun run = RunProgram({QDX_QDXPOLL_PATH, "--quiet", "--port", path, "scan", "M1"});
        if (run.exit_code != 0) notes->push_back("warning: qdxpoll scan exited " + std::to_string(run.exit_code));
        report->operator[]("scan_100_qdxpoll_s").samples.push_back(run.seconds);
        if (opt.verbose) std::fprintf(stderr, "  scan: %.2f s\n", run.seconds);
    }
    sim.Stop();
    notes->push_back(
        "Scanning 100 addresses (units 01-03 answer) at 9600 baud and the factory interval time: one poll an\n"
        "  address at the 100 ms reply timeout, each hit confirmed through the driver; the goal is 12 s.");
#else
    (void)opt;
    (void)report;
    notes->push_back("qdxpoll was not built: the scan is not measured");
#endif
}

}  // namespace qdxbench
