// What a REX-F line is, as the simulator, qdxpoll and the benchmark share it:
// the host frames cut out of any byte stream, the frames built, the line
// format's text, the lists of units people type, each identifier's engineering
// unit, the bounds of a TOML text and the settings of a unit's file that
// contradict each other.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rexf/line_format.h"
#include "rexf/settings_file.h"
#include "rexf/toml_guard.h"
#include "rexf/unit_list.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"

namespace {

using rexf::HostFrameCutter;

const std::string kPoll = "\x04" "01K1M1\x05";
// The selecting frame of S1 := 25.503 at unit 1: its BCC is 0x04, the value
// of EOT, and must not start a new frame.
const std::string kSelectWithEotBcc = "\x04" "01\x02K1S125.503\x03\x04";

// "P:<bytes>" for a poll, "S:" a select, "-:" a stray piece.
std::string Shown(const HostFrameCutter::Frame& f) {
    const char kind = f.kind == HostFrameCutter::kPoll ? 'P' : f.kind == HostFrameCutter::kSelect ? 'S' : '-';
    return std::string(1, kind) + ":" + f.bytes + "@" + std::to_string(f.offset);
}

TEST(Wire, HostFramesAreCutWhereverThePiecesEnd) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> frames;  // after Feed and Flush
    } cases[] = {
        {"a poll", kPoll, {"P:" + kPoll + "@0"}},
        {"the closing EOT runs into the next poll", kPoll + "\x04" + kPoll,
         {"P:" + kPoll + "@0", "-:\x04@8", "P:" + kPoll + "@9"}},
        {"a BCC with the value of EOT", kSelectWithEotBcc + kPoll, {"S:" + kSelectWithEotBcc + "@0", "P:" + kPoll + "@16"}},
        {"bytes before the first EOT", "xy" + kPoll, {"-:xy@0", "P:" + kPoll + "@2"}},
        {"neither K nor STX after the unit: given up with what follows", "\x04" "01Q1M1\x05" + kPoll,
         {"-:\x04" "01Q1M1\x05@0", "P:" + kPoll + "@8"}},
        {"no ENQ by the eighth byte", "\x04" "01K1M1xz", {"-:\x04" "01K1M1xz@0"}},
        {"no ETX where a select's must stand", "\x04" "01\x02K1S125.5033x", {"-:\x04" "01\x02K1S125.5033x@0"}},
        {"a frame cut short by a new EOT", "\x04" "01K" + kPoll, {"-:\x04" "01K@0", "P:" + kPoll + "@4"}},
        {"a frame still coming when the line goes quiet", "\x04" "01K1", {"-:\x04" "01K1@0"}},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{3}, c.bytes.size()}) {
            HostFrameCutter cutter;
            std::vector<HostFrameCutter::Frame> frames;
            for (size_t i = 0; i < c.bytes.size(); i += piece) cutter.Feed(c.bytes.substr(i, piece), &frames);
            HostFrameCutter::Frame rest;
            if (cutter.Flush(&rest)) frames.push_back(rest);
            std::vector<std::string> shown;
            for (const auto& f : frames) shown.push_back(Shown(f));
            EXPECT_EQ(shown, c.frames) << c.what << ", in pieces of " << piece;
        }
    }
}

TEST(Wire, BytesOutsideAFrameAreTakenAtOnce) {
    // The host's ACK after a data reply: the simulator answers it before any
    // new frame begins.
    HostFrameCutter cutter;
    std::vector<HostFrameCutter::Frame> frames;
    cutter.Feed(kPoll + "\x06", &frames);
    ASSERT_EQ(frames.size(), 1u);
    HostFrameCutter::Frame stray;
    ASSERT_TRUE(cutter.TakeStray(&stray));
    EXPECT_EQ(Shown(stray), "-:\x06@8");
    EXPECT_FALSE(cutter.in_frame());
    cutter.Feed("\x04", &frames);
    EXPECT_TRUE(cutter.in_frame());
    EXPECT_FALSE(cutter.TakeStray(&stray)) << "a begun frame is not stray";
}

TEST(Wire, FramesCarryTheirBlockCheck) {
    EXPECT_EQ(rexf::PollFrame(1, 1, "M1"), kPoll);
    EXPECT_EQ(rexf::SelectFrame(1, 1, "S1", "25.503"), kSelectWithEotBcc);
    EXPECT_EQ(rexf::DataReply("M1", "-199.9"), "\x02M1-199.9\x03\x74");
    EXPECT_EQ(rexf::ControlName(rexf::kNak), std::string("NAK"));
    EXPECT_EQ(rexf::ControlName('A'), nullptr);
}

TEST(LineFormat, TextReadsAndIsWrittenBack) {
    struct Case {
        const char* text;
        bool reads;
        const char* written;  // the text written back
        const char* described;
    } cases[] = {
        {"9600,7O2", true, "9600,7O2", "9600 baud, 7 data bits, odd parity, 2 stop bits"},
        {"19200,8N1", true, "19200,8N1", "19200 baud, 8 data bits, none parity, 1 stop bits"},
        {"1200/7e1.5", true, "1200,7E1.5", "1200 baud, 7 data bits, even parity, 1.5 stop bits"},
        {"38400 8M2", true, "38400,8M2", "38400 baud, 8 data bits, mark parity, 2 stop bits"},
        {"9600,9O2", false, "", ""},
        {"9600,7X2", false, "", ""},
        {"9600,7O3", false, "", ""},
        {"0,7O2", false, "", ""},
        {"9600", false, "", ""},
        {"9600,7O2 ", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        rexf::LineFormat line;
        EXPECT_EQ(rexf::ParseLineText(c.text, &line), c.reads) << c.text;
        if (!c.reads) continue;
        EXPECT_EQ(rexf::LineText(line), c.written);
        EXPECT_EQ(rexf::DescribeLine(line), c.described);
    }
    int code = -1;
    EXPECT_TRUE(rexf::ParityFromName("Space", &code));
    EXPECT_EQ(code, rexf::kParitySpace);
    EXPECT_FALSE(rexf::StopBitsFromName("3", &code));
}

TEST(UnitList, RangesAndListsAsPeopleTypeThem) {
    struct Case {
        const char* text;
        std::vector<int> units;  // empty: refused
    } cases[] = {
        {"1,3,5-7", {1, 3, 5, 6, 7}},
        {"7,2,7", {7, 2}},
        {"99", {99}},
        {"100", {}},
        {"9-5", {}},
        {"1,,2", {}},
        {"1-", {}},
        {"-1", {}},
        {" 1", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        std::vector<int> units;
        std::string why;
        EXPECT_EQ(rexf::ParseUnitList(c.text, &units, &why), !c.units.empty()) << c.text;
        if (c.units.empty())
            EXPECT_NE(why.find("is not a unit 0-99 or a range FIRST-LAST"), std::string::npos) << why;
        else
            EXPECT_EQ(units, c.units) << c.text;
    }
    std::vector<int> units;
    std::string why;
    ASSERT_TRUE(rexf::ParseUnitList("0-99", &units, &why));
    EXPECT_EQ(units.size(), 100u);
    EXPECT_FALSE(rexf::ParseChannelList("8-10", 9, &units, &why));
    EXPECT_NE(why.find("channel list \"8-10\""), std::string::npos) << why;
}

std::string Repeated(const std::string& first, const std::string& rest, int count) {
    std::string out = first;
    for (int i = 1; i < count; ++i) out += rest;
    return out;
}

// "LINE:COLUMN: message" of a refusal, "" when the text holds.
std::string Refusal(const std::string& text, const rexf::TomlBounds& bounds = {}) {
    const std::optional<rexf::TomlRefusal> r = rexf::CheckTomlBounds(text, bounds);
    return r ? std::to_string(r->line) + ":" + std::to_string(r->column) + ": " + r->message : "";
}

// What a value is counted in: temperatures and the bands and gaps measured
// in them take the input's unit; outputs are a share; times are seconds;
// codes, states and rows the manuals leave open have none.
TEST(UnitModel, EachIdentifierIsCountedInItsUnit) {
    const struct {
        const char* ident;
        rexf::EngineeringUnit unit;
        const char* text;
    } cases[] = {
        {"M1", rexf::EngineeringUnit::kInput, "°C"},   {"S1", rexf::EngineeringUnit::kInput, "°C"},
        {"SH", rexf::EngineeringUnit::kInput, "°C"},   {"HA", rexf::EngineeringUnit::kInput, "°C"},
        {"P1", rexf::EngineeringUnit::kInput, "°C"},   {"PB", rexf::EngineeringUnit::kInput, "°C"},
        {"O1", rexf::EngineeringUnit::kPercent, "%"},  {"OL", rexf::EngineeringUnit::kPercent, "%"},
        {"OQ", rexf::EngineeringUnit::kPercent, "%"},  {"M2", rexf::EngineeringUnit::kAmpere, "A"},
        {"M3", rexf::EngineeringUnit::kAmpere, "A"},   {"D1", rexf::EngineeringUnit::kSecond, "s"},
        {"I1", rexf::EngineeringUnit::kSecond, "s"},   {"TG", rexf::EngineeringUnit::kSecond, "s"},
        {"AA", rexf::EngineeringUnit::kNone, ""},      {"XI", rexf::EngineeringUnit::kNone, ""},
        {"SR", rexf::EngineeringUnit::kNone, ""},      {"G1", rexf::EngineeringUnit::kNone, ""},
        {"AV", rexf::EngineeringUnit::kNone, ""},      {"ZA", rexf::EngineeringUnit::kNone, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ident);
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(c.ident);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->unit, c.unit);
        EXPECT_STREQ(rexf::EngineeringUnitText(m->unit), c.text);
    }
}

TEST(TomlBounds, DeepKeysNestingAndNulAreRefusedWhereTheyStand) {
    const std::string line_file =
        "# a line file\n[line]\nname = \"line1\"  # [not.a.table]\nsettings = '9600,7O2'\n"
        "[[point]]\naddress = \"01K1M1\"\nscale = 1.5e0\nnote = \"\"\"\n[a.b.c.d.e.f.g.h.i]\n{{{{{{{{{\"\"\"\n"
        "tags = [ \"[[[[[[[[[\", 'x]]', # ]]]]\n  [1, 2], ]\n[mqtt]\nbroker = \"mqtt://h\\\"[[\"\n";
    const struct {
        const char* what;
        std::string text;
        std::string refusal;  // "" when it holds
    } cases[] = {
        {"a line file: brackets and dots in strings and comments count for nothing", line_file, ""},
        {"a saved unit", "[unit]\naddress = 1\n[channel.1]\nS1 = { value = 150.0, raw = \"0150.0\" }\n", ""},
        {"the reproduction: a header 40000 keys deep", "[line]\nport=\"X\"\n[" + Repeated("a", ".a", 40000) + "]\nx=1\n",
         "3:1: a key path of 40000 levels: a file here holds at most 8"},
        {"8 levels", "[" + Repeated("a", ".a", 7) + "]\nx = 1\nt = 2026-12-08 14:05:01\n", ""},
        {"9 levels: header and key together", "[" + Repeated("a", ".a", 5) + "]\n  x.y.z.w = 1\n",
         "2:3: a key path of 9 levels: a file here holds at most 8"},
        {"a dotted key alone", Repeated("k", " . k", 9) + " = 1\n", "1:1: a key path of 9 levels: a file here holds at most 8"},
        {"an array of tables", "[[" + Repeated("a", ".a", 9) + "]]\n", "1:1: a key path of 9 levels: a file here holds at most 8"},
        {"quoted keys hold their dots", "[\"a.a.a.a.a.a.a.a.a\".'b.b.b.b.b.b.b.b']\n", ""},
        {"keys of inline tables count", "[a.b]\nx = { y = { z = { " + Repeated("v", ".v", 4) + " = 1 } } }\n",
         "2:19: a key path of 9 levels: a file here holds at most 8"},
        {"arrays 8 deep", "x = " + std::string(8, '[') + std::string(8, ']') + "\n", ""},
        {"arrays 9 deep", "x = " + std::string(9, '[') + std::string(9, ']') + "\n",
         "1:13: arrays and inline tables nested more than 8 deep"},
        {"arrays across lines", "x = [\n [\n  [[[[[[[1]]]]]]]]]\n", "3:9: arrays and inline tables nested more than 8 deep"},
        {"inline tables in arrays", "x = [{a=[{b=[{c=[{d=[{}]}]}]}]}]\n", "1:21: arrays and inline tables nested more than 8 deep"},
        {"a NUL byte", std::string("a = 1\nport = \"s1\0x\"\n", 18), "2:11: a NUL character: no text here holds one"},
        {"an escaped NUL", "port = \"s1.tty\\u0000/etc/passwd\"\n", "1:15: an escaped NUL (\\u0000) in a string: no text here holds one"},
        {"the long form", "p = \"\\U00000000\"\n", "1:6: an escaped NUL (\\U00000000) in a string: no text here holds one"},
        {"a hex escape", "p = \"\\x00\"\n", "1:6: an escaped NUL (\\x00) in a string: no text here holds one"},
        {"in a multi-line string", "p = \"\"\"\nab\\\n  c\\u0000\"\"\"\n", "3:4: an escaped NUL (\\u0000) in a string: no text here holds one"},
        {"in a quoted key", "[\"a\\u0000\"]\n", "1:4: an escaped NUL (\\u0000) in a string: no text here holds one"},
        {"columns count characters", "unit = \"°C\\u0000\"\n", "1:11: an escaped NUL (\\u0000) in a string: no text here holds one"},
        {"beyond ASCII in strings and comments", "unit = \"°C\"  # in °C\np = '''µ\n°'''\n", ""},
        {"beyond ASCII in a value", "unit = °C\n", "1:8: a character beyond ASCII outside a string or a comment"},
        {"beyond ASCII in a bare key", "[channel.Ϧ]\n", "1:10: a character beyond ASCII outside a string or a comment"},
        {"beyond ASCII escaped", "p = \"\"\"\\°\"\"\"\n", "1:9: a character beyond ASCII after a backslash: no escape of TOML"},
        {"beyond ASCII after a line-ending backslash", "p = \"\"\"a\\\n\n  °C\"\"\"\n",
         "3:3: a character beyond ASCII first after a line-ending backslash: begin the line with an ASCII one"},
        {"the fuzzer's: a multi-line string where a key belongs", "x=1\n \"\"\"q\\ \u047f",
         "2:2: a multi-line string where a key belongs: a key is one line"},
        {"a literal one", "'''a'''=1\n", "1:1: a multi-line string where a key belongs: a key is one line"},
        {"an empty quoted key holds", "\"\" = 1\n'' = 2\n", ""},
        {"an escaped backslash, then text", "p = \"\\\\u0000\"\n", ""},
        {"a literal string has no escapes", "p = 'a\\u0000'\n", ""},
        {"other escapes", "p = \"\\u0001\\U0010FFFF\\u00e9\"\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Refusal(c.text), c.refusal) << c.what;

    rexf::TomlBounds small;
    small.max_bytes = 8;
    EXPECT_EQ(Refusal("a = 1\nb = 2\n", small), "2:3: the text goes on beyond 8 bytes, more than a file here holds");
    EXPECT_EQ(Refusal("a = 1\nb\n", small), "");
}

TEST(SettingsFile, ABoundlessTextIsRefusedBeforeItIsParsed) {
    rexf::UnitSettings settings;
    std::string error;
    EXPECT_FALSE(rexf::ParseSettings("[unit]\naddress = 1\n[" + Repeated("a", ".a", 40000) + "]\nx=1\n", "d.toml",
                                     &settings, &error));
    EXPECT_EQ(error, "d.toml:3:1: a key path of 40000 levels: a file here holds at most 8");

    // What a save writes always holds.
    rexf::UnitSettings full;
    full.unit = 1;
    full.channels = {1, 2};
    full.port = "/dev/ttyS1\x01\"";
    for (int channel : full.channels)
        for (const rexf::IdentifierModel& m : rexf::IdentifierList()) {
            rexf::SavedSetting s = rexf::DescribedSetting(channel, m.ident);
            s.value = m.high;
            s.places = m.decimals;
            full.settings.push_back(s);
        }
    ASSERT_TRUE(rexf::ParseSettings(rexf::SettingsToml(full), "full.toml", &settings, &error)) << error;
    EXPECT_EQ(settings.port, full.port);
    EXPECT_EQ(settings.settings.size(), full.settings.size());
}

TEST(SettingsFile, ContradictionsAreNamedWithTheirLines) {
    const std::string head = "[unit]\naddress = 1\n[channel.1]\n";  // entries from line 4
    const struct {
        const char* what;
        std::string entries;
        std::vector<std::string> found;  // "LINE: what"
    } cases[] = {
        {"limits in order", "SL = { value = 0.0 }\nSH = { value = 400.0 }\nS1 = { value = 400.0 }\n", {}},
        {"SL above SH", "SL = { value = 300.0 }\nSH = { value = 100.0 }\n",
         {"4: SL = 300.0 is above SH = 100.0 (line 5): a unit keeps its setting limiters in order, SL at or below "
          "SH (assumed)"}},
        {"compared as the unit holds them", "SL = { value = 100.05 }\nSH = { value = 100.0 }\n", {}},
        {"OL above OH", "OH = { value = 50.0 }\nOL = { value = 60.0 }\n",
         {"5: OL = 60.0 is above OH = 50.0 (line 4): a unit keeps its output limiters in order, OL at or below OH "
          "(assumed)"}},
        {"S1 below SL", "S1 = { value = 20.0 }\nSL = { value = 50.0 }\n",
         {"4: S1 = 20.0 is below SL = 50.0 (line 5): a unit takes S1 only within SL..SH"}},
        {"S1 above SH", "SH = { value = 200.0 }\nS1 = { value = 250.5 }\n",
         {"5: S1 = 250.5 is above SH = 200.0 (line 4): a unit takes S1 only within SL..SH"}},
        {"inverted, and S1 outside both", "SL = { value = 300.0 }\nSH = { value = 100.0 }\nS1 = { value = 200.0 }\n",
         {"4: SL = 300.0 is above SH = 100.0 (line 5): a unit keeps its setting limiters in order, SL at or below "
          "SH (assumed)",
          "6: S1 = 200.0 is below SL = 300.0 (line 4): a unit takes S1 only within SL..SH",
          "6: S1 = 200.0 is above SH = 100.0 (line 5): a unit takes S1 only within SL..SH"}},
        {"an absent or failed limit contradicts nothing", "SL = { absent = true }\nSH = { failed = \"silent\" }\n"
         "S1 = { value = 1372.0 }\n", {}},
        {"each channel apart", "SL = { value = 300.0 }\n[channel.2]\nSH = { value = 100.0 }\n", {}},
    };
    for (const auto& c : cases) {
        rexf::UnitSettings settings;
        std::string error;
        ASSERT_TRUE(rexf::ParseSettings(head + c.entries, "u.toml", &settings, &error)) << c.what << ": " << error;
        std::vector<std::string> found;
        for (const rexf::SettingsContradiction& f : rexf::FindContradictions(settings))
            found.push_back(std::to_string(f.line) + ": " + f.what);
        EXPECT_EQ(found, c.found) << c.what;
    }
}

}  // namespace
