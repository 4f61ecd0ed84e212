// The commands a test (or a person) gives the running simulator on stdin.
#include <cstdlib>
#include <string>
#include <vector>

#include "line_match.h"
#include "simulator.h"
#include "words.h"

namespace rexfsim {

std::string Simulator::Command(const std::string& line) {
    std::vector<std::string> w;
    std::vector<bool> quoted;
    std::string error;
    if (!SplitWords(line, &w, &quoted, &error)) return "error " + error;
    if (w.empty()) return "";
    const std::string& cmd = w[0];
    PointKey key;
    auto point_args = [&](size_t count) {
        return w.size() == count && ParseUnit(w[1], &key.unit) && ParseChannel(w[2], &key.channel) &&
               ParseIdent(w[3], &key.ident);
    };
    // Values read or set by a command are those of now.
    if (AdvanceProcess()) SaveState();
    if (cmd == "ping") return "ok";
    if (cmd == "quit") {
        quit_ = true;
        return "ok";
    }
    if (cmd == "stats") return "ok " + controller_.StatsLine();
    if (cmd == "peer-line") {
        LineFormat peer;
        if (!line_->PeerFormat(&peer)) return "error the other side's line settings cannot be read";
        return "ok " + rexf::LineText(peer);
    }
    if (cmd == "get") {
        if (!point_args(4)) return "error usage: get UNIT CHANNEL IDENT";
        const Point* p = table_.Find(key.unit, key.channel, key.ident);
        if (!p) return "error no such point";
        return "ok " + Escape(p->text);
    }
    if (cmd == "set") {
        double v = 0;
        char* end = nullptr;
        if (point_args(5)) v = std::strtod(w[4].c_str(), &end);
        if (!end || end == w[4].c_str() || *end != '\0')
            return "error usage: set UNIT CHANNEL IDENT NUMBER";
        table_.SetValue(key, v);
        SaveState();
        return "ok " + Escape(table_.Find(key.unit, key.channel, key.ident)->text);
    }
    if (cmd == "set-raw") {
        if (!point_args(5) || w[4].size() != 6)
            return "error usage: set-raw UNIT CHANNEL IDENT \"6 CHARACTERS\"";
        table_.SetRaw(key, w[4]);
        SaveState();
        return "ok";
    }
    if (cmd == "del") {
        if (!point_args(4)) return "error usage: del UNIT CHANNEL IDENT";
        if (!table_.Remove(key)) return "error no such point";
        SaveState();
        return "ok";
    }
    if (cmd == "fault") {
        if (w.size() == 2 && w[1] == "clear") {
            faults_.ClearRules();
            faults_.SetScript({});
            return "ok";
        }
        if (w.size() != 2) return "error usage: fault KIND[:MS]:PROB | fault clear";
        if (!faults_.AddRule(w[1], &error)) return "error " + error;
        return "ok";
    }
    if (cmd == "script") {
        std::vector<Fault> script;
        if (w.size() != 2) return "error usage: script KIND,KIND,...";
        if (!ParseFaultList(w[1], &script, &error)) return "error " + error;
        faults_.SetScript(script);
        return "ok";
    }
    if (cmd == "process" || cmd == "drift" || cmd == "trace") {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "error usage: " + cmd + " on|off";
        if (cmd == "trace") {
            trace_ = w[1] == "on";
        } else {
            AdvanceProcess();
            process_on_ = w[1] == "on";
        }
        return "ok";
    }
    if (cmd == "mute") {
        int unit = 0;
        if (w.size() != 3 || !ParseUnit(w[1], &unit) || (w[2] != "on" && w[2] != "off"))
            return "error usage: mute UNIT on|off";
        controller_.Mute(unit, w[2] == "on");
        return "ok";
    }
    if (cmd == "advance") {
        char* end = nullptr;
        const double seconds = w.size() == 2 ? std::strtod(w[1].c_str(), &end) : -1;
        if (w.size() != 2 || *end != '\0' || !(seconds >= 0 && seconds <= 3600))
            return "error usage: advance SECONDS (0..3600)";
        AdvanceProcess();
        if (process_on_ && process_.Advance(seconds)) SaveState();
        return "ok";
    }
    return "error unknown command " + cmd;
}

}  // namespace rexfsim
