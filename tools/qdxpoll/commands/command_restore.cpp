// qdxpoll restore: a saved file's settings written to one unit, or cloned
// to several. The plan comes first (what changes, from what to what, in
// which order); nothing is written without --yes or a confirmation typed on
// a terminal; every write is read back at the unit's resolution, and a
// refusal or an identifier the unit lacks is reported while the rest goes
// on. A plan that rests on values unread is not carried out, and a line
// that goes (the port lost, three writes in a row unanswered) ends the
// writes at once, with what was made and how to go on.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "commands/settings_commands.h"
#include "platform/platform.h"
#include "rexf/unit_list.h"
#include "session/driver_log.h"
#include "session/session.h"
#include "settings/session_unit_access.h"
#include "settings/unit_reader.h"
#include "settings/unit_settings.h"

namespace {

// One unit the file goes to: its plan and what became of each write.
struct Target {
    int unit = 0;
    bool answered = true;
    std::string failure;  // when it did not answer
    RestorePlan plan;
    std::vector<std::string> made;  // each step's outcome as shown; "" while not made
    int written = 0, refused = 0, absent = 0, failed = 0;
    std::vector<std::pair<std::string, std::string>> problems;  // each failure's line and hint
};

// The exit code of the outcomes, the gravest first: a value refused (or
// read back otherwise), then no valid reply or an identifier the unit
// lacks, then a write whose answer was lost but whose value the unit holds.
struct RestoreOutcome {
    bool refused = false, no_reply = false, held = false, interrupted = false;
    std::string stopped;     // why the line's writes ended early; "" when they did not
    int silent_in_a_row = 0;
    int Code() const {
        if (interrupted) return kExitInterrupted;
        if (!stopped.empty()) return kExitNoReply;
        if (refused) return kExitRefused;
        if (no_reply) return kExitNoReply;
        if (held) return kExitHeldUnacknowledged;
        return kExitOk;
    }
};

// Writes to a line in a row that got no answer at all: the line (or the
// unit) has gone, and each further write would wait out its retries.
constexpr int kSilentInARow = 3;

// "ch 1 AA", "ch 1 AB", "ch 2 AA" as "ch 1 AA AB, ch 2 AA".
std::string ListText(const std::vector<std::string>& items) {
    std::string text, channel;
    for (const std::string& item : items) {
        const size_t blank = item.find(' ', 3);
        const std::string ch = item.substr(0, blank), rest = blank == std::string::npos ? "" : item.substr(blank + 1);
        text += ch == channel ? " " + rest : (text.empty() ? "" : ", ") + item;
        channel = ch;
    }
    return text;
}

void PrintList(const std::string& what, const std::vector<std::string>& items) {
    if (!items.empty()) std::printf("  %s: %s\n", what.c_str(), ListText(items).c_str());
}

void PrintPlan(const Target& t) {
    if (!t.answered) {
        std::printf("\nUnit %02d: nothing planned: %s\n", t.unit, t.failure.c_str());
        return;
    }
    const RestorePlan& p = t.plan;
    std::printf("\nUnit %02d: %zu write%s, %zu unchanged%s\n", t.unit, p.steps.size(),
                p.steps.size() == 1 ? "" : "s", p.unchanged.size(),
                p.absent.empty() ? "" : fmt::format(", {} absent on the unit", p.absent.size()).c_str());
    if (!p.steps.empty()) std::printf("  %3s  %-2s %-3s %-10s %-10s %s\n", "#", "ch", "id", "from", "to", "meaning");
    for (size_t i = 0; i < p.steps.size(); ++i) {
        const RestoreStep& s = p.steps[i];
        std::printf("  %3zu  %-2d %-3s %-10s %-10s %s\n", i + 1, s.channel, s.ident.c_str(), s.from.c_str(),
                    s.to.c_str(), s.meaning.c_str());
        if (!s.why.empty()) std::printf("  %19s %s\n", "", s.why.c_str());
        if (!s.warning.empty()) std::printf("  %19s warning: %s\n", "", s.warning.c_str());
    }
    PrintList("absent on the unit (it answers EOT), not written", p.absent);
}

// --yes, or "yes" typed on a terminal. Without either nothing is written.
bool Confirmed(const Options& o, size_t writes, size_t units) {
    if (o.yes) return true;
    if (!StdinIsTerminal()) return false;
    std::fprintf(stderr, "\nWrite %zu value%s to %zu unit%s? Type yes to go on: ", writes, writes == 1 ? "" : "s",
                 units, units == 1 ? "" : "s");
    std::fflush(stderr);
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
    std::string a(answer);
    while (!a.empty() && std::isspace(static_cast<unsigned char>(a.back()))) a.pop_back();
    for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return a == "yes" || a == "y";
}

// After a write that got no valid reply: whether the line has gone, so
// that no further write is tried into it.
void WatchTheLine(UnitAccess& line, const Reading& r, RestoreOutcome* outcome) {
    const bool silent = r.status == "silent" || r.status == "no_reply";
    outcome->silent_in_a_row = silent ? outcome->silent_in_a_row + 1 : 0;
    std::string cause;
    if (line.Lost(&cause))
        outcome->stopped = "port " + line.Port() + " lost (" + cause + ")";
    else if (outcome->silent_in_a_row >= kSilentInARow)
        outcome->stopped = fmt::format("{} writes in a row got no answer at all: the line or the unit has gone",
                                       kSilentInARow);
}

void WritePlan(UnitAccess& line, Target* t, RestoreOutcome* outcome) {
    const size_t count = t->plan.steps.size();
    t->made.assign(count, "");
    for (size_t i = 0; i < count && !outcome->interrupted && outcome->stopped.empty(); ++i) {
        const RestoreStep& s = t->plan.steps[i];
        int code = kExitOk;
        const Reading r = line.Write(t->unit, s.channel, s.ident, s.to, &code);
        std::string shown;
        const std::string name = SettingName(s.channel, s.ident);
        auto problem = [&] { t->problems.emplace_back(r.error, r.hint); };
        if (r.status == "verified" || r.status == "held_unacknowledged") {
            ++t->written;
            shown = r.status == "verified" ? "written and read back" : "written (" + r.error + ")";
            outcome->held |= r.status == "held_unacknowledged";
            outcome->silent_in_a_row = 0;
        } else if (r.status == "interrupted" || Interrupted()) {
            outcome->interrupted = true;
            shown = "interrupted";
        } else if (r.status == "refused" || r.status == "mismatch") {
            ++t->refused;
            outcome->refused = true;
            shown = r.status == "refused" ? "refused" : "read back another value";
            problem();
            outcome->silent_in_a_row = 0;
        } else if (r.status == "eot") {
            ++t->absent;
            outcome->no_reply = true;
            shown = "absent on the unit";
            problem();
            outcome->silent_in_a_row = 0;
        } else {
            ++t->failed;
            outcome->no_reply = true;
            shown = "failed (" + r.status + ")";
            problem();
            WatchTheLine(line, r, outcome);
        }
        if (shown != "interrupted") t->made[i] = shown;
        std::printf("  unit %02d  %2zu/%zu  %-8s %s -> %s  %s\n", t->unit, i + 1, count, name.c_str(),
                    s.from.c_str(), s.to.c_str(), shown.c_str());
        std::fflush(stdout);
    }
}

}  // namespace

namespace {

// What the file restores, shown before anything is read from the units.
void PrintScope(const Options& o, const rexf::UnitSettings& file, const RestoreScope& scope) {
    std::printf("Restore of %s (unit %02d%s): %zu read/write value%s\n", o.settings_file.c_str(), file.unit,
                file.saved.empty() ? "" : (", saved " + file.saved).c_str(), scope.writes.size(),
                scope.writes.size() == 1 ? "" : "s");
    PrintList("not written, read-only", scope.read_only);
    PrintList("not written, they operate the unit (name them with --only to write them)", scope.operations);
    PrintList("not written, absent on the saved unit", scope.absent_in_file);
    PrintList("not written, failed when saved", scope.failed_in_file);
    if (!scope.undescribed.empty())
        PrintList(fmt::format("not written, {} not described in the manuals at hand, so that nothing says what "
                              "writing them does (name them with --only, or give --all)",
                              scope.undescribed.size()),
                  scope.undescribed);
}

// What the plans read of each unit: the values to write, and what a limit
// written is placed by (the other limit, S1 within them).
std::vector<std::pair<int, std::string>> PointsToRead(const RestoreScope& scope, std::vector<int>* channels) {
    std::vector<std::pair<int, std::string>> points;
    for (const rexf::SavedSetting& s : scope.writes) {
        points.emplace_back(s.channel, s.ident);
        if (std::find(channels->begin(), channels->end(), s.channel) == channels->end()) channels->push_back(s.channel);
    }
    for (int channel : *channels) {
        std::vector<std::string> idents;
        for (const auto& [c, ident] : points)
            if (c == channel) idents.push_back(ident);
        for (const std::string& around : ValuesAroundLimits(idents)) points.emplace_back(channel, around);
    }
    return points;
}

// Reads each target unit and plans its writes, printing each plan; the exit
// code when the planning ends early (Ctrl-C, the port lost), else 0.
int PlanTargets(UnitAccess& line, const RestoreScope& scope, const std::vector<int>& units,
                std::vector<Target>* targets, RestoreOutcome* outcome, size_t* writes, size_t* writing_units) {
    std::vector<int> channels;
    const std::vector<std::pair<int, std::string>> points = PointsToRead(scope, &channels);
    for (int unit : units) {
        Target t;
        t.unit = unit;
        const UnitRead now = ReadUnitSettings(line, unit, channels, false, points);
        if (now.interrupted) {
            std::fflush(stdout);
            ErrorLine("qdxpoll: interrupted while reading unit " + fmt::format("{:02d}", unit) + ": nothing written");
            return kExitInterrupted;
        }
        std::string cause;
        if ((!now.answered || now.failed > 0) && line.Lost(&cause)) {
            std::fflush(stdout);
            ErrorLine(fmt::format("qdxpoll: port {} lost while reading unit {:02d} ({}): nothing written",
                                  line.Port(), unit, cause));
            ErrorLine("  hint: once the line is back, run the same command again: it reads the units anew");
            return kExitNoReply;
        }
        t.answered = now.answered;
        if (!now.answered) {
            t.failure = now.failure;
            outcome->no_reply = true;
        } else {
            t.plan = PlanRestore(scope, now.settings);
            if (!t.plan.absent.empty()) outcome->no_reply = true;
            *writes += t.plan.steps.size();
            *writing_units += t.plan.steps.empty() ? 0 : 1;
        }
        PrintPlan(t);
        targets->push_back(std::move(t));
    }
    std::fflush(stdout);
    return kExitOk;
}

// A plan that rests on present values unread, or whose limits would pass a
// value the unit holds, is not carried out: nothing is written to any unit.
int RefusedPlans(const std::vector<Target>& targets) {
    std::string unknown, unsound;
    size_t unknown_count = 0;
    for (const Target& t : targets) {
        if (!t.plan.unknown.empty())
            unknown += fmt::format("\n  unit {:02d}: {}", t.unit, ListText(t.plan.unknown));
        unknown_count += t.plan.unknown.size();
        for (const RestoreStep& s : t.plan.steps)
            if (s.unsound)
                unsound += fmt::format("\n  unit {:02d} {}: {}", t.unit, SettingName(s.channel, s.ident), s.warning);
    }
    std::fflush(stdout);
    if (!unknown.empty()) {
        ErrorLine(fmt::format("qdxpoll: nothing written: the plan rests on {} present value{} that could not be "
                              "read (\"?\" above), so neither its order nor its checks would hold:{}",
                              unknown_count, unknown_count == 1 ? "" : "s", unknown));
        ErrorLine("  hint: check the line and the units ('qdxpoll read' of one of them), then run the same command "
                  "again");
        return kExitNoReply;
    }
    if (!unsound.empty()) {
        ErrorLine("qdxpoll: nothing written: a limit written would leave a value the unit holds outside it:" +
                  unsound);
        ErrorLine("  hint: restore that value with its limits (name it in --only), or write it first with "
                  "'qdxpoll write ... --verify'");
        return kExitBadSettingsFile;
    }
    return kExitOk;
}

// The exit code when the writes were not confirmed.
int NotConfirmed(const Options& o) {
    std::fflush(stdout);
    if (o.yes || StdinIsTerminal()) {
        ErrorLine("qdxpoll: not confirmed: nothing written");
        return kExitOk;
    }
    ErrorLine("qdxpoll: nothing written: restore writes only with --yes, or after a confirmation typed on a "
              "terminal");
    ErrorLine("  hint: check the plan above, then run the same command with --yes");
    return kExitUsage;
}

// What was made at each unit, then every problem with its hint.
void PrintOutcome(const std::vector<Target>& targets, const RestoreOutcome& outcome) {
    std::printf("\n  unit  written  unchanged  refused  absent  failed\n");
    for (const Target& t : targets) {
        if (!t.answered) {
            std::printf("  %02d    not read: %s\n", t.unit, t.failure.c_str());
            continue;
        }
        const size_t made = static_cast<size_t>(t.written + t.refused + t.absent + t.failed);
        std::printf("  %02d    %7d  %9zu  %7d  %6zu  %6d%s\n", t.unit, t.written, t.plan.unchanged.size(), t.refused,
                    t.absent + t.plan.absent.size(), t.failed,
                    made < t.plan.steps.size()
                        ? fmt::format("  ({} not made: {})", t.plan.steps.size() - made,
                                      outcome.interrupted ? "interrupted" : "stopped")
                              .c_str()
                        : "");
    }
    std::fflush(stdout);
    for (const Target& t : targets) {
        if (!t.answered) ErrorLine(fmt::format("qdxpoll: nothing written to unit {:02d}: {}", t.unit, t.failure));
        for (const auto& [line_text, hint] : t.problems) {
            ErrorLine("qdxpoll: " + line_text);
            if (!hint.empty()) ErrorLine("  hint: " + hint);
        }
    }
    if (outcome.interrupted) ErrorLine("qdxpoll: interrupted: the writes after it were not made");
}

// An argument as a POSIX shell takes it back.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                               "0123456789_./:=,+-@%") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The same command for the units given, written without asking: a restore
// plans from what each unit holds, so that it makes what is still to make.
std::string ResumeCommand(const std::vector<std::string>& arguments, const std::string& units) {
    std::string command = "qdxpoll";
    bool yes = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "--dry-run") continue;
        if (a == "--to" && i + 1 < arguments.size()) {
            command += " --to " + units;
            ++i;
            continue;
        }
        if (a.rfind("--to=", 0) == 0) {
            command += " --to " + units;
            continue;
        }
        yes = yes || a == "--yes" || a == "-y";
        command += " " + ShellWord(a);
    }
    return yes ? command : command + " --yes";
}

// After the line went: every write of the plans and what became of it, and
// the command that goes on once the line is back.
void PrintStopped(const Options& o, const std::vector<Target>& targets, const RestoreOutcome& outcome) {
    std::printf("\nStopped: %s.\n  unit  ch id  from       to         outcome\n", outcome.stopped.c_str());
    std::string units;
    for (const Target& t : targets) {
        bool open = false;
        for (size_t i = 0; i < t.plan.steps.size(); ++i) {
            const RestoreStep& s = t.plan.steps[i];
            const std::string made = i < t.made.size() ? t.made[i] : "";
            open = open || made.empty() || made.rfind("written", 0) != 0;
            std::printf("  %02d    %-2d %-3s %-10s %-10s %s\n", t.unit, s.channel, s.ident.c_str(), s.from.c_str(),
                        s.to.c_str(), made.empty() ? "not written" : made.c_str());
        }
        if (open) units += (units.empty() ? "" : ",") + fmt::format("{:02d}", t.unit);
    }
    std::fflush(stdout);
    ErrorLine("qdxpoll: restore stopped: " + outcome.stopped + "; the writes after it were not made");
    if (!units.empty())
        ErrorLine("  hint: once the line is back, go on with: " + ResumeCommand(o.arguments, units));
}

// Settings that contradict each other would leave a unit unsound (an SL
// above its SH) or be refused part way through: such a file is refused
// whole, each contradiction named by the file's line.
void RefuseContradictions(const std::string& path, const rexf::UnitSettings& file) {
    const std::vector<rexf::SettingsContradiction> found = rexf::FindContradictions(file);
    if (found.empty()) return;
    std::string message = path + ": settings that no unit holds together; nothing read or written:";
    for (const rexf::SettingsContradiction& c : found)
        message += "\n  " + path + ":" + std::to_string(c.line) + ": ch " + std::to_string(c.channel) + " " + c.what;
    throw ToolError(kExitBadSettingsFile, message, "correct the file (each line named above), then restore it again");
}

}  // namespace

int RestoreCommand(const Options& o, UnitAccess& line) {
    if (o.format != OutputFormat::kText) throw ToolError(kExitUsage, "restore prints text; --json and --csv go with diff");
    std::vector<int> units;
    std::string why;
    if (!rexf::ParseUnitList(o.to_units, &units, &why)) throw ToolError(kExitUsage, "--to: " + why);
    std::vector<std::string> only;
    if (!o.only.empty() && !ParseIdentifierList(o.only, &only, &why)) throw ToolError(kExitUsage, "--only: " + why);
    // The whole file is checked before anything is read or written.
    const rexf::UnitSettings file = LoadSettingsForCommand(o.settings_file);
    RefuseContradictions(o.settings_file, file);
    RestoreScope scope;
    if (!ScopeOfRestore(file, only, o.all_identifiers, &scope, &why)) throw ToolError(kExitUsage, why);
    PrintScope(o, file, scope);
    if (scope.writes.empty()) {
        std::printf("Nothing to restore.\n");
        return kExitOk;
    }

    std::vector<Target> targets;
    RestoreOutcome outcome;
    size_t writes = 0, writing_units = 0;
    if (const int code = PlanTargets(line, scope, units, &targets, &outcome, &writes, &writing_units)) return code;
    if (const int code = RefusedPlans(targets)) return code;
    if (o.dry_run || writes == 0) {
        std::printf(o.dry_run ? "\nDry run: nothing written.\n" : "\nNothing to change.\n");
        std::fflush(stdout);
        return outcome.Code();
    }
    if (!Confirmed(o, writes, writing_units)) return NotConfirmed(o);

    std::printf("\nWriting, each value read back:\n");
    for (Target& t : targets)
        if (t.answered && !outcome.interrupted && outcome.stopped.empty()) WritePlan(line, &t, &outcome);
    PrintOutcome(targets, outcome);
    if (!outcome.stopped.empty()) PrintStopped(o, targets, outcome);
    return outcome.Code();
}

int RunRestore(Session& session) {
    SessionUnitAccess line(session);
    return RestoreCommand(session.options, line);
}
