// The built module as a host sees it: loaded with dlopen, driven through
// QdxMain with records laid out byte by byte, logging through the host
// runtime library without ending the process.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/driver_info.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"

namespace {

typedef int32_t (*EntryFn)(void*);

class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(QDX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        entry_ = reinterpret_cast<EntryFn>(dlsym(handle_, "QdxMain"));
        ASSERT_NE(entry_, nullptr);
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    void* handle_ = nullptr;
    EntryFn entry_ = nullptr;
};

// Writes little-endian integers and pointers at byte offsets of a record.
template <typename T>
void Put(unsigned char* record, size_t offset, T value) {
    std::memcpy(record + offset, &value, sizeof value);
}
template <typename T>
T Get(const unsigned char* record, size_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// Offsets of the host's records: exact on a 32-bit host; pointers widen to
// 8 bytes, naturally aligned, on a 64-bit one.
constexpr bool k32 = sizeof(void*) == 4;
constexpr size_t kReqCode = k32 ? 4 : 8;
constexpr size_t kReqInstance = k32 ? 8 : 12;
constexpr size_t kReqParam = k32 ? 16 : 24;
constexpr size_t kBlockPoint = k32 ? 8 : 16;

int32_t Call(EntryFn entry, uint32_t code, void* port, void* parameter, int32_t instance = 1) {
    unsigned char request[32] = {};
    Put(request, 0, port);
    Put(request, kReqCode, code);
    Put(request, kReqInstance, instance);
    Put(request, kReqParam, parameter);
    return entry(request);
}

TEST_F(LoadedModule, DriverInfoByteLayout) {
    unsigned char info[48];
    std::memset(info, 0xEE, sizeof info);
    ASSERT_EQ(Call(entry_, 14, nullptr, info), 0);
    const size_t p = sizeof(void*);
    EXPECT_EQ(Get<uint32_t>(info, 0), 70u);
    const char* name = Get<const char*>(info, p);
    const char* banner = Get<const char*>(info, 2 * p);
    EXPECT_STREQ(name, "RKC REX-F Series");
    ASSERT_EQ(std::strlen(banner), 379u);
    EXPECT_EQ(std::memcmp(banner, kInstallationBanner, 380), 0);
    const size_t tail = 3 * p;  // 12 on a 32-bit host
    EXPECT_EQ(Get<uint32_t>(info, tail), 60u);
    EXPECT_EQ(Get<uint32_t>(info, tail + 4), 4u);
    EXPECT_EQ(Get<uint16_t>(info, tail + 8), 9600);
    EXPECT_EQ(Get<uint16_t>(info, tail + 10), 7);
    EXPECT_EQ(Get<uint16_t>(info, tail + 12), 2);
    EXPECT_EQ(Get<uint16_t>(info, tail + 14), 1);
    EXPECT_EQ(Get<uint32_t>(info, tail + 16), 0u);
    if (k32) {
        EXPECT_EQ(info[32], 0xEE) << "the record is 32 bytes";
    }
}

TEST_F(LoadedModule, ParseWritesTheBlockOffsets) {
    struct Case {
        const char* text;
        int32_t result;
        bool written;
        int32_t unit, channel, identifier;
    } cases[] = {
        {"01k1m1", 0, true, 1, 1, 0x4D31}, {"01K1M1 ", 0, true, 1, 1, 0x4D31}, {"01K1M1X", 1, false, 0, 0, 0},
        {"99K8XW", 0, true, 99, 8, 0x5857}, {"00K0A1", 0, true, 0, 0, 0x4131}, {"01K9M1", 1, false, 0, 0, 0},
        {"01K1KA", 1, false, 0, 0, 0},      {"01K1AD", 1, true, 1, 1, 0x4144}, {"01K1M", 1, false, 0, 0, 0},
        {"", 1, false, 0, 0, 0},            {"01K1M1  ", 1, false, 0, 0, 0},   {"01K1M{", 1, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[16] = {};
        std::strcpy(text, c.text);
        unsigned char block[64];
        std::memset(block, 0x33, sizeof block);
        Put(block, 0, static_cast<char*>(text));
        EXPECT_EQ(Call(entry_, 3, nullptr, block), c.result);
        const unsigned char* point = block + kBlockPoint;
        if (c.written) {
            EXPECT_EQ(Get<int32_t>(point, 8), c.unit);
            EXPECT_EQ(Get<int32_t>(point, 12), c.channel);
            EXPECT_EQ(Get<int32_t>(point, 16), c.identifier);
            EXPECT_EQ(Get<int32_t>(point, 20), 255);
            EXPECT_EQ(Get<int32_t>(point, 24), 32);
            EXPECT_EQ(Get<uint32_t>(point, 28), 0x33333333u);
        } else {
            for (size_t i = 8; i < 28; ++i) ASSERT_EQ(point[i], 0x33) << i;
        }
    }
}

// err from the module reaches the host runtime library (not the C
// library's err, which would end the process with status 32).
TEST_F(LoadedModule, LogLinesReachTheHostLibrary) {
    qdxtest::LogCapture log;
    unsigned char port[64] = {};
    unsigned char start[28] = {};
    std::strcpy(reinterpret_cast<char*>(start), "/nonexist/x");
    Put(start, 12, uint32_t{1});
    Put(start, 16, int32_t{10});
    Put(start, 20, uint16_t{9600});
    EXPECT_EQ(Call(entry_, 1, port, start, 3), 2);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "QDXRKC REX-F Series : Fail to open /nonexist/x");
    EXPECT_EQ(log.levels()[0], 32);
    EXPECT_EQ(Get<uint32_t>(port, 4), 1u) << "active flag holds the enable value";
    EXPECT_EQ(Get<uint32_t>(port, 8), 0u) << "no handle";
}

// A host may unload the module and load it again while a port is open: the
// new copy's close request still releases that port, and the device can be
// started again.
TEST_F(LoadedModule, APortOpenedBeforeAReloadIsClosedAfterIt) {
    qdxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    if (!pty.fits_port_name()) GTEST_SKIP() << "pty path longer than a port name";
    qdxtest::LogCapture log;
    unsigned char port[64] = {};
    unsigned char start[28] = {};
    std::strcpy(reinterpret_cast<char*>(start), pty.slave_path().c_str());
    Put(start, 12, uint32_t{1});
    Put(start, 16, int32_t{10});
    Put(start, 20, uint16_t{9600});
    Put(start, 22, uint16_t{7});
    Put(start, 24, uint16_t{2});
    Put(start, 26, uint16_t{1});
    ASSERT_EQ(Call(entry_, 1, port, start), 0);
    const uint32_t handle = Get<uint32_t>(port, 8);
    ASSERT_GE(handle, 3u);

    ASSERT_EQ(dlclose(handle_), 0);
    ASSERT_EQ(dlopen(QDX_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module stayed loaded";
    handle_ = dlopen(QDX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    entry_ = reinterpret_cast<EntryFn>(dlsym(handle_, "QdxMain"));
    ASSERT_NE(entry_, nullptr);

    EXPECT_EQ(Call(entry_, 11, port, nullptr), 0);
    EXPECT_EQ(Get<uint32_t>(port, 8), 0u);
    EXPECT_EQ(fcntl(static_cast<int>(handle), F_GETFD), -1) << "the descriptor is released";
    ASSERT_EQ(Call(entry_, 1, port, start), 0) << "the device starts again";
    EXPECT_EQ(Call(entry_, 11, port, nullptr), 0);
}

TEST_F(LoadedModule, ExportsQdxMainAlone) {
    for (const char* hidden : {"ParseAddress", "ComOpen", "BuildPollFrame", "g_reply_buffer", "StartPort"}) {
        EXPECT_EQ(dlsym(handle_, hidden), nullptr) << hidden;
    }
}

}  // namespace
