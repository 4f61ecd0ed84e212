// The controller simulator driven over its pseudo-terminal with raw bytes:
// the frames it answers, what it stores, where it stays silent, and the
// faults it injects on request.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/simulator.h"

namespace {

using qdxtest::Simulator;
using qdxtest::SimulatorOptions;
using Clock = std::chrono::steady_clock;

const char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15;

char Bcc(const std::string& s, size_t first, size_t last) {
    char b = 0;
    for (size_t i = first; i <= last; ++i) b = static_cast<char>(b ^ s[i]);
    return b;
}

std::string Poll(const std::string& address) {  // "01K1M1"
    return std::string(1, EOT) + address + ENQ;
}

std::string Select(const std::string& unit, const std::string& point, const std::string& text) {
    std::string f = std::string(1, EOT) + unit + STX + "K" + point + text + ETX;
    return f + Bcc(f, 4, 14);
}

std::string Reply(const std::string& ident, const std::string& data) {
    std::string r = std::string(1, STX) + ident + data + ETX;
    return r + Bcc(r, 1, 9);
}

std::string Hex(const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

// The master's side of the line, opened raw.
class RawLine {
public:
    explicit RawLine(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawLine() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes came or `timeout_ms` passed.
    std::string Receive(size_t count, int timeout_ms = 2000) {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[256];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // Everything that arrives within `ms`.
    std::string ReceiveWithin(int ms = 150) { return Receive(1 << 16, ms); }
    std::string Transact(const std::string& frame, size_t count) {
        Send(frame);
        return Receive(count);
    }

private:
    int fd_ = -1;
};

class RexfsimTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args, const SimulatorOptions& options = {}) {
        if (!Simulator::Available()) GTEST_SKIP() << "rexfsim is not built here";
        std::string error;
        ASSERT_TRUE(sim_.Start(args, options, &error)) << error;
        line_ = std::make_unique<RawLine>(sim_.path());
        ASSERT_TRUE(line_->ok());
    }
    Simulator sim_;
    std::unique_ptr<RawLine> line_;
};

TEST_F(RexfsimTest, PollIsAnsweredWithTheValueTextAndItsBcc) {
    Start({"--no-drift"});
    // The reply for M1 holding -199.9, byte for byte.
    ASSERT_EQ(sim_.Command("set-raw 01 1 M1 \"-199.9\""), "ok");
    EXPECT_EQ(Hex(line_->Transact(Poll("01K1M1"), 11)),
              Hex("\x02\x4D\x31\x2D\x31\x39\x39\x2E\x39\x03\x74"));
    line_->Send(std::string(1, EOT));  // the closing byte is taken quietly

    // A unit sends what it holds at the decimals it keeps (one for S1), cut
    // off, never rounded, without zero suppression. Without the unit model
    // numbers take the driver's value text.
    const struct {
        const char* value;
        const char* unit_text;
        const char* accept_all_text;
    } cases[] = {
        {"150", "0150.0", "150.00"},      {"25.5", "0025.5", "25.500"},   {"0.7", "0000.7", ".69999"},
        {"1234.56", "1234.5", "1234.5"},  {"3.14159", "0003.1", "3.1415"}, {"-0.5", "-000.5", "-.5000"},
        {"-12.25", "-012.2", "-12.25"},   {"-999.9", "-999.9", "-999.9"}, {"0", "0000.0", ".00000"},
        {"-0.0000011", "0000.0", "-.0000"}, {"123456", "123456", "9999.9"}, {"-5000", "-05000", "-999.9"},
    };
    for (bool accept_all : {false, true}) {
        if (accept_all) {
            sim_.Stop();
            Start({"--no-drift", "--accept-all"});
        }
        for (const auto& c : cases) {
            const char* text = accept_all ? c.accept_all_text : c.unit_text;
            SCOPED_TRACE(std::string(c.value) + (accept_all ? " accepting all" : ""));
            ASSERT_EQ(sim_.Command(std::string("set 02 1 S1 ") + c.value), std::string("ok ") + text);
            EXPECT_EQ(Hex(line_->Transact(Poll("02K1S1"), 11)), Hex(Reply("S1", text)));
        }
    }
}

// Writes as a unit takes them: within the identifier's access and range,
// cut to the decimals it keeps, refused with NAK and nothing stored otherwise.
TEST_F(RexfsimTest, UnitRefusesWhatItCannotHoldAndCutsToItsDecimals) {
    Start({"--no-drift"});
    const struct {
        const char* point;  // channel and identifier at unit 01
        const char* text;
        char answer;
        const char* held;  // "get" afterwards
    } cases[] = {
        {"1S1", "150.75", ACK, "0150.7"},  // cut, not rounded
        {"1S1", "450.00", NAK, "0150.7"},  // above SH (400)
        {"1S1", "-.5000", NAK, "0150.7"},  // below SL (0)
        {"1S1", "    +0", NAK, "0150.7"},  // not a number as a unit reads it
        {"1S1", "   -.", NAK, "0150.7"},
        {"1S1", "  80.5", ACK, "0080.5"},  // zero-suppressed texts are taken
        {"1M1", "500.00", NAK, "0024.0"},  // read-only
        {"1XA", "5.0000", ACK, "000005"},  // no decimals kept
        {"1XA", "10.000", NAK, "000005"},  // outside 0..9
        {"1SL", "100.00", ACK, "0100.0"},
        {"1S1", "090.00", NAK, "0080.5"},  // now below SL
        {"1MS", "090.00", NAK, "0080.5"},  // the set value monitor follows S1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.point) + " := " + c.text);
        EXPECT_EQ(Hex(line_->Transact(Select("01", c.point, std::string(c.text) + std::string(6 - std::strlen(c.text), ' ')), 1)),
                  Hex(std::string(1, c.answer)));
        EXPECT_EQ(sim_.Command(std::string("get 01 ") + c.point[0] + " " + (c.point + 1)), std::string("ok ") + c.held);
    }
    // An identifier the unit lacks (the current transformer option is on
    // unit 02 only) is refused on a write and answered with EOT on a poll.
    EXPECT_EQ(line_->Transact(Select("01", "1M2", "001.00"), 1), std::string(1, NAK));
    EXPECT_EQ(Hex(line_->Transact(Poll("01K1M2"), 1)), Hex(std::string(1, EOT)));
    EXPECT_EQ(line_->Transact(Poll("02K1M2"), 11), Reply("M2", "0005.2"));
    line_->Send(std::string(1, EOT));

    // The data link after a reply: ACK gets the next identifier, NAK the same
    // data again, any other byte EOT, and a silent host EOT after about 3 s.
    EXPECT_EQ(line_->Transact(Poll("01K1A1"), 11), Reply("A1", "0010.0"));
    EXPECT_EQ(line_->Transact(std::string(1, ACK), 11), Reply("A2", "0010.0"));
    EXPECT_EQ(line_->Transact(std::string(1, NAK), 11), Reply("A2", "0010.0"));
    EXPECT_EQ(Hex(line_->Transact("?", 1)), Hex(std::string(1, EOT)));
    EXPECT_EQ(line_->Transact(Poll("01K1A1"), 11), Reply("A1", "0010.0"));
    const auto replied = Clock::now();
    EXPECT_EQ(Hex(line_->Receive(1, 5000)), Hex(std::string(1, EOT)));
    EXPECT_GE(Clock::now() - replied, std::chrono::milliseconds(2900));
}

// A unit keeps each limiter pair in order. A write that would pass the other
// limit of its pair is refused (assumed: the manuals at hand do not say what
// a unit does with it); one that meets it is taken; S1 follows SL..SH.
TEST_F(RexfsimTest, LimiterPairsStayInOrder) {
    Start({"--no-drift", "--channels", "1,2"});
    const struct {
        const char* point;  // channel and identifier at unit 01
        const char* text;
        char answer;
        const char* held;
    } cases[] = {
        {"1SL", "500.00", NAK, "0000.0"},  // above SH (400)
        {"1SL", "400.09", ACK, "0400.0"},  // cut to 400.0 first: meets SH
        {"1SH", "399.90", NAK, "0400.0"},  // below SL
        {"1SH", "600.00", ACK, "0600.0"},
        {"1S1", "650.00", NAK, "0150.0"},  // outside SL..SH, 400..600
        {"1S1", "500.00", ACK, "0500.0"},
        {"2SL", "500.00", NAK, "0000.0"},  // each channel its own limiters
        {"1OL", "100.10", NAK, "0000.0"},  // above OH (100)
        {"1OH", "-.5000", NAK, "0100.0"},  // below OL (0)
        {"1OL", "100.00", ACK, "0100.0"},
        {"1OH", "099.90", NAK, "0100.0"},
        {"1OH", "105.00", ACK, "0105.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.point) + " := " + c.text);
        EXPECT_EQ(Hex(line_->Transact(Select("01", c.point, c.text), 1)), Hex(std::string(1, c.answer)));
        EXPECT_EQ(sim_.Command(std::string("get 01 ") + c.point[0] + " " + (c.point + 1)), std::string("ok ") + c.held);
    }
}

// rexfsim takes a unit file with settings no unit holds together, as a test
// may want such a unit, and names each contradiction with the file's lines.
TEST(RexfsimUnitFile, SettingsNoUnitHoldsTogetherAreNamedWithTheirLines) {
    if (!Simulator::Available()) GTEST_SKIP() << "rexfsim is not built here";
    const std::string unit = "[unit]\naddress = 1\n";
    const struct {
        const char* what;
        std::string text;
        std::string warning;  // after the file's name; "" for none
    } cases[] = {
        {"SL above SH", unit + "[channel.1]\nSL = { value = 300.0 }\nSH = { value = 100.0 }\n",
         ":4: SL = 300.0 is above SH = 100.0 (line 5)"},
        {"S1 above SH", unit + "[channel.1]\nS1 = { value = 450.0 }\nSL = { value = 0.0 }\nSH = { value = 400.0 }\n",
         ":4: S1 = 450.0 is above SH = 400.0 (line 6)"},
        {"in order", unit + "[channel.1]\nS1 = { value = 400.0 }\nSH = { value = 400.0 }\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char path[] = "/tmp/rexfsim-unit-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
        close(fd);
        Simulator sim;
        SimulatorOptions capture;
        capture.capture_stderr = true;
        std::string error;
        ASSERT_TRUE(sim.Start({"--unit-file", path}, capture, &error)) << error;
        const std::string said = sim.stderr_text();
        EXPECT_EQ(said.find("warning: unit 01 holds settings no unit holds together") != std::string::npos,
                  !c.warning.empty())
            << said;
        if (!c.warning.empty()) {
            EXPECT_NE(said.find(std::string(path) + c.warning), std::string::npos) << said;
        }
        sim.Stop();
        unlink(path);
    }
}

// A unit file is read within the bounds of a settings file: one beyond them
// is refused with its line and column, and rexfsim does not start.
TEST(RexfsimUnitFile, FilesBeyondTheBoundsAreRefusedWhereTheyGoBeyond) {
    if (!Simulator::Available()) GTEST_SKIP() << "rexfsim is not built here";
    std::string deep = "a";
    for (int i = 1; i < 40000; ++i) deep += ".a";
    const struct {
        const char* what;
        std::string text;
        std::string refusal;  // after the file's name
    } cases[] = {
        {"a table header 40000 keys deep", "[line]\nport=\"X\"\n[" + deep + "]\nx=1\n",
         ":3:1: a key path of 40000 levels"},
        {"an escaped NUL", "[unit]\naddress = 1\nport = \"/dev/ttyS1\\u0000/etc/passwd\"\n",
         ":3:19: an escaped NUL (\\u0000) in a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char path[] = "/tmp/rexfsim-unit-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
        close(fd);
        Simulator sim;
        SimulatorOptions capture;
        capture.capture_stderr = true;
        EXPECT_FALSE(sim.Start({"--unit-file", path}, capture));
        EXPECT_NE(sim.stderr_text().find("rexfsim: " + std::string(path) + c.refusal), std::string::npos)
            << sim.stderr_text();
        unlink(path);
    }
}

TEST_F(RexfsimTest, SelectWithAGoodBccIsAcknowledgedAndStoredByteForByte) {
    char state[] = "/tmp/rexfsim-state-XXXXXX";
    ASSERT_GE(mkstemp(state), 0);
    Start({"--no-drift", "--accept-all", "--state", state});

    // Without the unit model every write is kept as written. The frame for S1 = 150.00 at unit 01, channel 1, then other texts.
    const std::string frame_150("\x04\x30\x31\x02\x4B\x31\x53\x31\x31\x35\x30\x2E\x30\x30\x03\x01", 16);
    EXPECT_EQ(line_->Transact(frame_150, 1), std::string(1, ACK));
    EXPECT_EQ(sim_.Command("get 01 1 S1"), "ok 150.00");

    const struct {
        std::string frame;
        char answer;
        const char* stored;  // text held afterwards
    } cases[] = {
        {Select("01", "1S1", "-.5000"), ACK, "-.5000"},
        {Select("01", "1S1", "000150"), ACK, "000150"},  // kept as written
        {[] { std::string f = Select("01", "1S1", "25.500"); f[15] ^= 1; return f; }(), NAK, "000150"},
        {Select("01", "1S1", "1x0.00"), NAK, "000150"},        // no number
        {Select("01", "1S1", "1.2.30"), NAK, "000150"},        // two points
        {[] {  // four value characters only
             std::string f = std::string(1, EOT) + "01" + STX + "K1S125.5" + ETX;
             return f + Bcc(f, 4, f.size() - 1);
         }(),
         NAK, "000150"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Hex(c.frame));
        EXPECT_EQ(Hex(line_->Transact(c.frame, 1)), Hex(std::string(1, c.answer)));
        EXPECT_EQ(sim_.Command("get 01 1 S1"), std::string("ok ") + c.stored);
    }
    // A stored write is read back with the digits it was written with.
    EXPECT_EQ(Hex(line_->Transact(Poll("01K1S1"), 11)), Hex(Reply("S1", "000150")));

    std::ifstream in(state);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("01 1 S1 \"000150\""), std::string::npos) << text.str();
    sim_.Stop();
    unlink(state);
}

TEST_F(RexfsimTest, PointsItDoesNotHold) {
    const std::string eot(1, EOT), nak(1, NAK), none;
    const struct {
        std::string frame;
        std::string unit_answer, accept_all_answer;
    } cases[] = {
        {Poll("09K1M1"), none, none},                 // no such unit
        {Poll("01K2M1"), eot, none},                  // no such channel
        {Poll("01K1A1"), eot, none},                  // identifier removed
        {Select("09", "1S1", "150.00"), none, none},  // no such unit, even with a good BCC
        {Select("01", "1A1", "150.00"), nak, none},
        {[] { std::string f = Select("09", "1S1", "150.00"); f[15] ^= 1; return f; }(), none, none},
    };
    for (bool accept_all : {false, true}) {
        std::vector<std::string> args{"--no-drift", "--units", "1", "--channels", "1"};
        if (accept_all) args.push_back("--accept-all");
        sim_.Stop();
        Start(args);
        ASSERT_EQ(sim_.Command("del 01 1 A1"), "ok");
        for (const auto& c : cases) {
            SCOPED_TRACE(Hex(c.frame) + (accept_all ? " accepting all" : ""));
            line_->Send(c.frame);
            EXPECT_EQ(Hex(line_->ReceiveWithin(200)), Hex(accept_all ? c.accept_all_answer : c.unit_answer));
        }
        // A muted unit is off the line: nothing to polls or selects.
        ASSERT_EQ(sim_.Command("mute 1 on"), "ok");
        for (const std::string& frame : {Poll("01K1S1"), Select("01", "1S1", "150.00")}) {
            line_->Send(frame);
            EXPECT_EQ(Hex(line_->ReceiveWithin(200)), "") << Hex(frame);
        }
        ASSERT_EQ(sim_.Command("mute 1 off"), "ok");
        EXPECT_EQ(line_->Transact(Poll("01K1S1"), 11), Reply("S1", accept_all ? "150.00" : "0150.0"));
    }
}

TEST_F(RexfsimTest, FramesAreFoundInAnyByteStream) {
    Start({"--no-drift", "--accept-all"});
    // Garbage, a frame cut short by a new EOT, a lone closing EOT, then a
    // frame that arrives one byte at a time.
    line_->Send(std::string("\x01xyz\x05\x06", 6) + EOT + "01K1" + EOT);
    for (char c : Poll("01K1M1")) {
        line_->Send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Hex(line_->Receive(11)), Hex(Reply("M1", "24.000")));
    EXPECT_EQ(Hex(line_->ReceiveWithin()), "");

    // A BCC may take the value of EOT: it still ends the selecting frame.
    std::string frame;
    for (int i = 100; i < 1000 && frame.empty(); ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%03d.00", i);
        const std::string f = Select("01", "1S1", text);
        if (f[15] == EOT) frame = f;
    }
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(line_->Transact(frame, 1), std::string(1, ACK));
    EXPECT_EQ(sim_.Command("get 01 1 S1"), "ok " + frame.substr(8, 6));
    EXPECT_EQ(line_->Transact(Poll("01K1S1"), 11).substr(0, 3), STX + std::string("S1"));
}

TEST_F(RexfsimTest, ScriptedFaultsShapeSuccessiveAnswers) {
    Start({"--no-drift", "--accept-all", "--script",
           "bad-bcc,no-stx,no-etx,wrong-id,nak,silence,garbage-answer,extra,delay:150,split:30,ok"},
          SimulatorOptions{true, false});
    const std::string good = Reply("M1", "24.000");
    auto poll = [&] {
        line_->Send(Poll("01K1M1"));
        return line_->Receive(11, 1000);  // a short answer costs the whole wait
    };
    std::string r = poll();  // bad-bcc: framing intact, BCC no longer fits
    ASSERT_EQ(r.size(), 11u);
    EXPECT_EQ(r[0], STX);
    EXPECT_EQ(r[9], ETX);
    EXPECT_NE(Bcc(r, 1, 9), r[10]);
    r = poll();  // no-stx
    ASSERT_EQ(r.size(), 11u);
    EXPECT_NE(r[0], STX);
    r = poll();  // no-etx
    ASSERT_EQ(r.size(), 11u);
    EXPECT_EQ(r.substr(0, 9), good.substr(0, 9));
    EXPECT_NE(r[9], ETX);
    r = poll();  // wrong-id, with a BCC that fits what is sent
    ASSERT_EQ(r.size(), 11u);
    EXPECT_NE(r.substr(1, 2), "M1");
    EXPECT_EQ(Bcc(r, 1, 9), r[10]);
    EXPECT_EQ(poll(), std::string(1, NAK));
    EXPECT_EQ(poll(), "");  // silence
    r = poll();             // garbage-answer
    EXPECT_EQ(r.size(), 11u);
    EXPECT_EQ(r.find(STX), std::string::npos);
    r = poll() + line_->ReceiveWithin(50);  // extra
    ASSERT_GT(r.size(), 11u);
    EXPECT_EQ(r.substr(0, 11), good);
    const auto before = Clock::now();
    line_->Send(Poll("01K1M1"));  // delay:150
    EXPECT_EQ(line_->Receive(11), good);
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(150));
    line_->Send(Poll("01K1M1"));  // split: the pieces make the whole reply
    EXPECT_EQ(line_->Receive(11), good);
    EXPECT_EQ(poll(), good);  // then normal again

    const std::string stats = sim_.Command("stats");
    for (const char* kind : {"bad-bcc=1", "no-stx=1", "silence=1", "delay=1", "split=1"})
        EXPECT_NE(stats.find(kind), std::string::npos) << stats;
    EXPECT_EQ(stats.find("ok="), std::string::npos) << stats;

    // On a select, nak and silence leave the value unstored; garbage-answer
    // stores it and damages only the answer.
    ASSERT_EQ(sim_.Command("script nak,silence,garbage-answer"), "ok");
    EXPECT_EQ(line_->Transact(Select("01", "1S1", "100.00"), 1), std::string(1, NAK));
    EXPECT_EQ(sim_.Command("get 01 1 S1"), "ok 150.00");
    line_->Send(Select("01", "1S1", "101.00"));
    EXPECT_EQ(line_->ReceiveWithin(), "");
    EXPECT_EQ(sim_.Command("get 01 1 S1"), "ok 150.00");
    EXPECT_EQ(line_->Transact(Select("01", "1S1", "102.00"), 1), "?");
    EXPECT_EQ(sim_.Command("get 01 1 S1"), "ok 102.00");

    // The tally goes to stderr on exit.
    const int status = sim_.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(sim_.stderr_text().find("silence=2"), std::string::npos) << sim_.stderr_text();
}

TEST_F(RexfsimTest, ProbableFaultsFollowTheSeedAndAreCounted) {
    Start({"--no-drift", "--fault", "silence:0.5", "--seed", "7"});
    int silent = 0;
    for (int i = 0; i < 40; ++i) {
        line_->Send(Poll("01K1M1"));
        if (line_->Receive(11, 100).empty()) ++silent;
    }
    EXPECT_GT(silent, 5);
    EXPECT_LT(silent, 35);
    EXPECT_NE(sim_.Command("stats").find("silence=" + std::to_string(silent)), std::string::npos);
    EXPECT_EQ(sim_.Command("fault bogus:0.5").substr(0, 5), "error");
    EXPECT_EQ(sim_.Command("fault silence:0.6").substr(0, 5), "error");  // more than 1 in all
}

TEST_F(RexfsimTest, RunsWithoutStdinAndRemovesItsLinkOnExit) {
    const std::string link = "/tmp/rexfsim-link-" + std::to_string(getpid());
    Start({"--link", link, "--speed", "1000"}, SimulatorOptions{false, true});
    struct stat st{};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    RawLine via_link(link);
    ASSERT_TRUE(via_link.ok());
    EXPECT_EQ(via_link.Transact(Poll("01K1M1"), 11), Reply("M1", "0024.0"));
    // The furnace heats toward S1 (150) while time passes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string later = via_link.Transact(Poll("01K1M1"), 11);
    ASSERT_EQ(later.size(), 11u);
    EXPECT_GT(std::stod(later.substr(3, 6)), 30.0) << later;
    // The driver's close and reopen of the line does not upset the simulator.
    line_.reset();
    RawLine again(sim_.path());
    EXPECT_EQ(again.Transact(Poll("01K1M1"), 11).substr(0, 3), STX + std::string("M1"));
    const int status = sim_.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

// The process behind a unit, moved on by process time alone (--speed 0 and
// 'advance'), so nothing here depends on the machine's speed.
TEST_F(RexfsimTest, MeasuredValueFollowsTheUnitsControlLoop) {
    Start({"--speed", "0", "--units", "1"});
    auto value = [&](const char* ident) { return std::stod(sim_.Command(std::string("get 1 1 ") + ident).substr(3)); };
    struct Trace {
        double highest = -1e9, lowest_late = 1e9, highest_late = -1e9;
        int output_swings = 0, alarm_minutes = 0;
    };
    auto run = [&](int minutes) {
        Trace t;
        double last_output = value("O1");
        for (int m = 1; m <= minutes; ++m) {
            EXPECT_EQ(sim_.Command("advance 60"), "ok");
            const double pv = value("M1"), output = value("O1");
            t.highest = std::max(t.highest, pv);
            if (m > minutes - 10) {
                t.lowest_late = std::min(t.lowest_late, pv);
                t.highest_late = std::max(t.highest_late, pv);
            }
            t.output_swings += (output == 100.0) != (last_output == 100.0);
            t.alarm_minutes += value("AA") == 1.0;
            last_output = output;
        }
        return t;
    };
    // A step of S1 with the default tuning: little overshoot, then settled
    // within half a degree; the deviation alarm (S1 + A1) never trips.
    ASSERT_EQ(sim_.Command("set 1 1 S1 200").substr(0, 2), "ok");
    Trace step = run(30);
    EXPECT_LT(step.highest, 200.0 + 0.05 * 176) << "overshoot within 5 % of the step";
    EXPECT_GT(step.lowest_late, 199.5);
    EXPECT_LT(step.highest_late, 200.5);
    EXPECT_EQ(step.alarm_minutes, 0);
    // S1 stepped down below M1 - A1: the alarm holds until M1 is back within
    // the gap.
    ASSERT_EQ(sim_.Command("set 1 1 S1 150").substr(0, 2), "ok");
    step = run(30);
    EXPECT_GT(step.alarm_minutes, 0);
    EXPECT_EQ(value("AA"), 0.0);
    // A proportional band of 0: on/off action, the output swinging between
    // its limits and the measured value cycling around the set value.
    ASSERT_EQ(sim_.Command("set 1 1 P1 0").substr(0, 2), "ok");
    const Trace on_off = run(60);
    EXPECT_GE(on_off.output_swings, 6);
    EXPECT_LT(on_off.lowest_late, 150.0);
    EXPECT_GT(on_off.highest_late, 150.0);
}

}  // namespace
