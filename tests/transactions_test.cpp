// Reads and writes through QdxMain against the controller simulator on a
// pseudo-terminal: the bits stored, the frames on the wire, the log lines,
// the retries, and the values that must never be stored.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "protocol/value_cell.h"
#include "tests/support/log_capture.h"
#include "tests/support/records.h"
#include "tests/support/simulator.h"

using qdxtest::Call;

namespace {

uint32_t FloatBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}
uint32_t Hi(uint16_t v) { return uint32_t{v} << 16; }

const uint32_t kUntouched = 0xDEADBEEF;

class Transactions : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qdxtest::Simulator::Available()) GTEST_SKIP() << "no simulator built";
        qdxtest::SimulatorOptions options;
        options.capture_stderr = true;
        std::string error;
        ASSERT_TRUE(sim_.Start({"--no-drift", "--trace"}, options, &error)) << error;
        if (sim_.path().size() > kPortNameMax) GTEST_SKIP() << "pty path too long";
        StartParams params = qdxtest::Start(sim_.path(), 10);  // 100 ms a reply
        std::memset(&port_, 0, sizeof port_);
        ASSERT_EQ(Call(kRequestStart, &port_, &params), 0);
        log_.clear();
    }
    void TearDown() override {
        if (port_.port_handle != 0) Call(kRequestClose, &port_);
    }

    PointRecord Point(const std::string& address, uint32_t type, uint32_t cell_bits = kUntouched) {
        PointRecord point{};
        EXPECT_EQ(qdxtest::Parse(address, &point), 0) << address;
        point.data_type = static_cast<int32_t>(type);
        SetCellU32(&cell_, cell_bits);
        point.value = &cell_;
        return point;
    }
    int32_t Read(PointRecord* point) { return Call(kRequestReadValue, &port_, point); }
    int32_t ReadBitOf(PointRecord* point) { return Call(kRequestReadBit, &port_, point); }
    int32_t Write(PointRecord* point) { return Call(kRequestWriteValue, &port_, point); }
    uint32_t Cell() const { return CellU32(&cell_); }

    // Counts a trace pattern in what the simulator has printed, giving its
    // trace up to a second to catch up with the line (expected: the count
    // the caller is waiting for).
    int CountTrace(const std::string& pattern, int expected = 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        if (expected == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (;;) {
            const std::string text = sim_.stderr_text();
            int count = 0;
            for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) ++count;
            if (count >= expected || std::chrono::steady_clock::now() > deadline) return count;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // The simulator reports a closing EOT once the next frame shows that it
    // stood alone: a poll of a point it holds settles the ones before it.
    int ClosingEots() {
        const int before = CountTrace("(closing EOT)");
        PointRecord settle{};
        ValueCell cell{};
        qdxtest::Parse("03K1M1", &settle);
        settle.data_type = kTypeFloat;
        settle.value = &cell;
        EXPECT_EQ(Call(kRequestReadValue, &port_, &settle), 0);
        return CountTrace("(closing EOT)", before + 1);
    }
    void Set(const std::string& point, const std::string& value) {
        ASSERT_EQ(sim_.Command("set " + point + " " + value).substr(0, 2), "ok");
    }
    void SetRaw(const std::string& point, const std::string& text) {
        ASSERT_EQ(sim_.Command("set-raw " + point + " \"" + text + "\"").substr(0, 2), "ok");
    }
    std::string Held(const std::string& point) {
        const std::string answer = sim_.Command("get " + point);
        return answer.size() > 3 ? answer.substr(3) : answer;
    }

    qdxtest::Simulator sim_;
    qdxtest::LogCapture log_;
    PortRecord port_;
    ValueCell cell_;
};

TEST_F(Transactions, EveryDataTypeReadsTheExactBits) {
    struct Case {
        const char* value;  // what the controller holds
        uint32_t type;
        uint32_t cell;
    } cases[] = {
        {"150.00", kTypeU16, (kUntouched & 0xFFFF) | Hi(150)},
        {"-12.70", kTypeU16, (kUntouched & 0xFFFF) | Hi(0xFFF4)},
        {"-199.9", kTypeS16, (kUntouched & 0xFFFF) | Hi(0xFF39)},
        {"1234.0", kTypeBcd, (kUntouched & 0xFFFF) | Hi(0x1234)},
        {"25.500", kTypeFloat, FloatBits(25.5f)},
        {"-199.9", kTypeS32, static_cast<uint32_t>(-199)},
        {"9999.9", kTypeU32, 9999},
        {".00000", kTypeState, (kUntouched & 0xFFFF) | Hi(0)},
        {"-.5000", kTypeState, (kUntouched & 0xFFFF) | Hi(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " type " + std::to_string(c.type));
        Set("01 1 S1", c.value);
        PointRecord point = Point("01K1S1", c.type);
        EXPECT_EQ(Read(&point), 0);
        EXPECT_EQ(Cell(), c.cell);
    }
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(CountTrace("rx <EOT>01K1S1<ENQ>", 9), 9);
    EXPECT_EQ(ClosingEots(), 9);
}

TEST_F(Transactions, EveryDataTypeWritesTheExactValueText) {
    // A1 takes -999.9..9999.9 and keeps one decimal: what the unit holds is
    // the host's value cut to that decimal.
    struct Case {
        uint32_t type;
        uint32_t cell;
        const char* text;
        const char* held;
    } cases[] = {
        {kTypeFloat, FloatBits(25.5f), "25.500", "0025.5"},
        {kTypeU16, Hi(150), "150.00", "0150.0"},
        {kTypeBcd, Hi(0x00FA), "160.00", "0160.0"},
        {kTypeS16, Hi(0xFFFF), "-1.000", "-001.0"},
        {kTypeS32, static_cast<uint32_t>(-5), "-5.000", "-005.0"},
        {kTypeU32, 5, "5.0000", "0005.0"},
        {kTypeState, Hi(1), "1.0000", "0001.0"},
        {kTypeFloat, FloatBits(-0.0000011f), "-.0000", "0000.0"},
        {kTypeFloat, FloatBits(150.7f), "150.70", "0150.7"},  // not 150.69, held as 150.6
        {kTypeFloat, FloatBits(-999.8f), "-999.8", "-999.8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PointRecord point = Point("02K1A1", c.type, c.cell);
        EXPECT_EQ(Write(&point), 0);
        EXPECT_EQ(CountTrace(std::string("rx <EOT>02<STX>K1A1") + c.text + "<ETX>", 1), 1);
        EXPECT_EQ(Held("02 1 A1"), c.held);
        EXPECT_EQ(Cell(), c.cell) << "a write never changes the cell";
    }
    // The frame on the wire, BCC included.
    PointRecord point = Point("02K1S1", kTypeFloat, FloatBits(25.5f));
    EXPECT_EQ(Write(&point), 0);
    EXPECT_EQ(CountTrace("rx <EOT>02<STX>K1S125.500<ETX> bcc=07", 1), 1);
    EXPECT_EQ(CountTrace("tx <ACK>", 11), 11);
    EXPECT_EQ(ClosingEots(), 0) << "nothing follows an answer";
}

TEST_F(Transactions, BadBccThenGoodReplyLogsOnceAndClosesOnce) {
    // OB holding -1.000 has the block check 0x0C; the fault changes one data
    // character, so the driver computes 0x0D. Both are below 0x10, where each
    // is printed as a blank and one hex digit, the computed one first.
    SetRaw("01 1 OB", "-1.000");
    ASSERT_EQ(sim_.Command("script bad-bcc,ok").substr(0, 2), "ok");
    PointRecord point = Point("01K1OB", kTypeFloat);
    EXPECT_EQ(Read(&point), 0);
    EXPECT_EQ(Cell(), FloatBits(-1.0f));
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "QDXTLMV> Read reply incorrect BCC - ( d!= c)");
    EXPECT_EQ(log_.levels()[0], 32);
    EXPECT_EQ(ClosingEots(), 1);
}

TEST_F(Transactions, RefusedRepliesAreLoggedAndRetriedThreeTimes) {
    struct Case {
        const char* fault;
        const char* line;
    } cases[] = {
        {"no-etx", "QDXTLMV> Read reply missing ETX"},
        {"no-stx", "QDXTLMV> Read reply missing STX"},
        {"wrong-id", "QDXTLMV> Read reply incorrect identifier"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        log_.clear();
        const std::string f = c.fault;
        ASSERT_EQ(sim_.Command("script " + f + "," + f + "," + f).substr(0, 2), "ok");
        PointRecord point = Point("01K1M1", kTypeFloat);
        EXPECT_EQ(Read(&point), 2);
        EXPECT_EQ(Cell(), kUntouched);
        EXPECT_EQ(log_.lines(), std::vector<std::string>(3, c.line));
    }
    EXPECT_EQ(ClosingEots(), 0);
}

TEST_F(Transactions, SilenceCostsThreeAttemptsAndNoLogLine) {
    PointRecord point = Point("09K1M1", kTypeFloat);  // no unit 09 on the line
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(&point), 2);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(Cell(), kUntouched);
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(CountTrace("rx <EOT>09K1M1<ENQ>", 3), 3);
    EXPECT_GT(seconds, 0.29);
    EXPECT_LT(seconds, 0.3 + 0.5);

    PointRecord target = Point("09K1S1", kTypeU16, Hi(1));
    EXPECT_EQ(Write(&target), 2);
    EXPECT_EQ(CountTrace("rx <EOT>09<STX>K1S11.0000<ETX>", 3), 3);
}

TEST_F(Transactions, WriteRetriesUntilAcknowledged) {
    ASSERT_EQ(sim_.Command("script nak,ok").substr(0, 2), "ok");
    PointRecord point = Point("01K1S1", kTypeFloat, FloatBits(99.5f));
    EXPECT_EQ(Write(&point), 0);
    EXPECT_EQ(CountTrace("rx <EOT>01<STX>K1S199.500<ETX>", 2), 2);
    EXPECT_EQ(Held("01 1 S1"), "0099.5");

    // Writes the unit refuses (read-only, above SH) cost three attempts and
    // leave what it holds.
    for (const char* refused : {"01K1M1", "01K1S1"}) {
        SCOPED_TRACE(refused);
        PointRecord p = Point(refused, kTypeFloat, FloatBits(500.0f));
        EXPECT_EQ(Write(&p), 2);
    }
    EXPECT_EQ(CountTrace("tx <NAK>", 7), 7);
    EXPECT_EQ(Held("01 1 M1"), "0024.0");
    EXPECT_EQ(Held("01 1 S1"), "0099.5");

    ASSERT_EQ(sim_.Command("script garbage-answer,garbage-answer,garbage-answer").substr(0, 2), "ok");
    EXPECT_EQ(Write(&point), 2);
    EXPECT_TRUE(log_.lines().empty()) << "writes never log";
}

TEST_F(Transactions, ExtraTrailingBytesAreThrownAway) {
    Set("01 1 M1", "24.000");
    ASSERT_EQ(sim_.Command("script extra,ok").substr(0, 2), "ok");
    PointRecord point = Point("01K1M1", kTypeFloat);
    EXPECT_EQ(Read(&point), 0);
    EXPECT_EQ(Cell(), FloatBits(24.0f));
    SetCellU32(&cell_, kUntouched);
    EXPECT_EQ(Read(&point), 0) << "the extra bytes do not spoil the next reply";
    EXPECT_EQ(Cell(), FloatBits(24.0f));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Transactions, ReplyInPiecesIsCollected) {
    Set("01 1 M1", "-199.9");
    ASSERT_EQ(sim_.Command("script split:30").substr(0, 2), "ok");
    PointRecord point = Point("01K1M1", kTypeS32);
    EXPECT_EQ(Read(&point), 0);
    EXPECT_EQ(Cell(), static_cast<uint32_t>(-199));
}

// Replies that hold no number, or one that no integer place can hold, never
// store a made-up value: the cell stays as it was and the read fails.
TEST_F(Transactions, UnstorableRepliesLeaveTheCell) {
    struct Case {
        const char* data;
        uint32_t type;
        int32_t result;
        uint32_t cell;
    } cases[] = {
        {" 1e+30", kTypeS32, 2, kUntouched}, {" 1e+30", kTypeU16, 2, kUntouched},
        {"   nan", kTypeBcd, 2, kUntouched}, {"   inf", kTypeU32, 2, kUntouched},
        {"      ", kTypeFloat, 2, kUntouched}, {"abcdef", kTypeS16, 2, kUntouched},
        {"   nan", kTypeState, 2, kUntouched}, {" 1e+30", kTypeFloat, 0, FloatBits(1e30f)},
        {"abcdef", 7, 0, kUntouched},  // a type that stores nothing succeeds
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.data + "' type " + std::to_string(c.type));
        SetRaw("01 1 M1", c.data);
        const int closing_before = ClosingEots();
        PointRecord point = Point("01K1M1", c.type);
        EXPECT_EQ(Read(&point), c.result);
        EXPECT_EQ(Cell(), c.cell);
        EXPECT_EQ(ClosingEots(), closing_before + 2) << "the good reply is still closed";
    }
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Transactions, ReadBit) {
    Set("01 1 S1", "10.000");  // 0x000A
    struct Case {
        int32_t bit, width;
        uint32_t type;
        uint16_t after;
    } cases[] = {
        {3, 16, kTypeU16, 1}, {0, 16, kTypeU16, 0}, {1, 32, kTypeS32, 1}, {2, 32, kTypeS32, 0},
    };
    for (const auto& c : cases) {
        PointRecord point = Point("01K1S1", c.type);
        point.bit_number = c.bit;
        point.width = c.width;
        point.bit_read_flag = 0;
        EXPECT_EQ(ReadBitOf(&point), 0);
        EXPECT_EQ(CellU16(&cell_), c.after) << c.bit << "/" << c.width;
        EXPECT_EQ(point.bit_read_flag, 1);
    }
    // The high half of a 32-bit value is reachable.
    SetRaw("01 1 S1", " 65536");
    PointRecord high = Point("01K1S1", kTypeS32);
    high.bit_number = 16;
    high.width = 32;
    EXPECT_EQ(ReadBitOf(&high), 0);
    EXPECT_EQ(CellU16(&cell_), 1);

    // After a failed read the cell keeps what it held.
    PointRecord silent = Point("09K1S1", kTypeU16, Hi(1));
    silent.bit_number = 1;
    silent.width = 16;
    EXPECT_EQ(ReadBitOf(&silent), 2);
    EXPECT_EQ(Cell(), Hi(1));
    EXPECT_EQ(silent.bit_read_flag, 1);
}

// Values without a value text are refused before anything is sent.
TEST_F(Transactions, UnsendableWritesSendNothing) {
    const uint32_t nan_bits = 0x7FC00000, inf_bits = 0x7F800000;
    struct Case {
        uint32_t type;
        uint32_t cell;
    } cases[] = {
        {kTypeFloat, FloatBits(10000.0f)}, {kTypeFloat, FloatBits(-1000.0f)}, {kTypeFloat, nan_bits},
        {kTypeFloat, inf_bits},            {kTypeU16, Hi(65535)},            {kTypeS32, static_cast<uint32_t>(-5000)},
        {7, 0},                            {0xFFFFFFFF, 0},
    };
    for (const auto& c : cases) {
        PointRecord point = Point("01K1S1", c.type, c.cell);
        EXPECT_EQ(Write(&point), 2) << c.type << " " << std::hex << c.cell;
    }
    EXPECT_EQ(CountTrace("<STX>K1S1"), 0);
}

}  // namespace
