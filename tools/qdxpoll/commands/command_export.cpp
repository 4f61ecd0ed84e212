// export: the samples of a history, as they were recorded, over a time range.
#include <algorithm>

#include <fmt/ranges.h>
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "history/history_store.h"
#include "session/session.h"

namespace {

// Read in slices, so that a whole night needs little memory.
constexpr int64_t kSlice = 20000;

const CsvTable& ExportTable() {
    static const CsvTable table({"time", "address", "value", "raw", "status", "cause", "attempts", "latency_ms"});
    return table;
}

std::string ValueText(const std::optional<double>& v) { return v ? fmt::format("{}", *v) : ""; }

WallClock::time_point TimeOf(int64_t ms) { return WallClock::time_point(std::chrono::milliseconds(ms)); }

int64_t TimeOption(const std::string& name, const std::string& text, int64_t otherwise) {
    if (text.empty()) return otherwise;
    const auto ms = ParseUserTime(text, WallClock::now());
    if (!ms)
        throw ToolError(kExitUsage, name + " " + text +
                                        " is no time: give a date and time that exist, in ISO 8601 (2026-12-08T14:05:00Z, or local time "
                                        "2026-12-08 15:05), or one relative to now (-90s, -10m, -1h, -2d)");
    return *ms;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace

int RunExport(Session& session) {
    const Options& o = session.options;
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    HistoryQuery query;
    query.from_ms = TimeOption("--from", o.from_time, INT64_MIN);
    query.to_ms = TimeOption("--to", o.to_time, INT64_MAX);
    if (query.from_ms > query.to_ms) throw ToolError(kExitUsage, "--from " + o.from_time + " is after --to " + o.to_time);
    query.addresses = SplitList(o.export_points);
    query.limit = kSlice;
    std::string error;
    auto store = HistoryStore::Open(o.db_file, HistoryStore::kRead, &error);
    if (store == nullptr)
        throw ToolError(kExitSettingsFileUnreadable, "the history " + error,
                        "check the file named: export reads a history that 'qdxpoll log --db FILE' or "
                        "'qdxpoll watch --db FILE' wrote");
    const auto known = store->Addresses(&error);
    for (const std::string& a : query.addresses)
        if (std::find(known.begin(), known.end(), a) == known.end())
            throw ToolError(kExitUsage, "the history " + o.db_file + " holds no samples of " + a +
                                            (known.empty() ? std::string() : "; it holds " + fmt::format("{}", fmt::join(known, ","))));

    Reporter& out = session.reporter;
    if (out.format() == OutputFormat::kCsv) out.CsvHeader(ExportTable());
    int64_t last_time = 0, last_id = 0, count = 0;
    bool first_slice = true;
    for (;;) {
        auto slice = store->Samples(query, &error);
        if (!error.empty()) throw ToolError(kExitSettingsFileUnreadable, "the history " + o.db_file + ": " + error);
        size_t used = 0;
        for (const HistorySample& s : slice) {
            // A slice begins at the previous one's last time: skip what was given.
            if (!first_slice && s.time_ms == last_time && s.id <= last_id) continue;
            ++used;
            ++count;
            const std::string time = IsoTime(TimeOf(s.time_ms));
            switch (out.format()) {
                case OutputFormat::kCsv:
                    out.Csv(ExportTable(), {{"time", time},
                                            {"address", s.address},
                                            {"value", ValueText(s.value)},
                                            {"raw", s.raw},
                                            {"status", s.status},
                                            {"cause", s.cause},
                                            {"attempts", std::to_string(s.attempts)},
                                            {"latency_ms", fmt::format("{}", s.latency_ms)}});
                    break;
                case OutputFormat::kJson: {
                    nlohmann::json j;
                    j["time"] = time;
                    j["time_ms"] = s.time_ms;
                    j["address"] = s.address;
                    j["value"] = s.value ? nlohmann::json(*s.value) : nlohmann::json(nullptr);
                    j["raw"] = s.raw;
                    j["status"] = s.status;
                    if (!s.cause.empty()) j["cause"] = s.cause;
                    j["attempts"] = s.attempts;
                    j["latency_ms"] = s.latency_ms;
                    out.Json(j);
                    break;
                }
                case OutputFormat::kText:
                    out.Text(fmt::format("{}  {}  {:>8}  {:8}  {}{}", LocalTime(TimeOf(s.time_ms)), s.address,
                                         s.value ? ValueText(s.value) : "---",
                                         s.raw.empty() ? "" : "[" + s.raw + "]", s.status,
                                         s.cause.empty() ? "" : ": " + s.cause));
                    break;
            }
            last_time = s.time_ms;
            last_id = s.id;
        }
        if (static_cast<int64_t>(slice.size()) < kSlice) break;
        if (used == 0) {
            // A whole slice of one millisecond: go on past it by id.
            query.limit *= 2;
            continue;
        }
        query.from_ms = last_time;
        first_slice = false;
    }
    session.Verbose(fmt::format("{} samples from {}", count, o.db_file));
    return kExitOk;
}
