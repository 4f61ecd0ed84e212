// Dispatch, driver info and the installation banner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/driver_info.h"
#include "tests/support/records.h"

using qdxtest::Call;

namespace {

TEST(Entry, DriverInfoFillsEveryFieldAndIgnoresThePort) {
    DriverInfo info;
    std::memset(&info, 0xAB, sizeof info);
    PortRecord* bogus_port = reinterpret_cast<PortRecord*>(static_cast<uintptr_t>(0x10));  // never read
    ASSERT_EQ(Call(kRequestDriverInfo, bogus_port, &info), 0);
    EXPECT_EQ(info.fixed70, 70u);
    EXPECT_STREQ(info.driver_name, "RKC REX-F Series");
    EXPECT_EQ(info.fixed60, 60u);
    EXPECT_EQ(info.fixed4, 4u);
    EXPECT_EQ(info.default_line.baud_rate, 9600);
    EXPECT_EQ(info.default_line.data_bits, 7);
    EXPECT_EQ(info.default_line.stop_bits, 2);
    EXPECT_EQ(info.default_line.parity, 1);
    EXPECT_EQ(info.fixed0, 0u);
    EXPECT_EQ(info.banner, kInstallationBanner);
}

// The banner: a line feed, then six framed lines of 62 characters and a line
// feed, in code page 437.
TEST(Entry, BannerLayout) {
    const std::string banner = kInstallationBanner;
    ASSERT_EQ(banner.size(), 379u);
    ASSERT_EQ(banner[0], '\n');
    const char corners[6][2] = {{'\xC9', '\xBB'}, {'\xBA', '\xBA'}, {'\xBA', '\xBA'},
                                {'\xBA', '\xBA'}, {'\xBA', '\xBA'}, {'\xC8', '\xBC'}};
    for (int line = 0; line < 6; ++line) {
        const std::string text = banner.substr(1 + line * 63, 63);
        SCOPED_TRACE(line + 1);
        EXPECT_EQ(text[0], ' ');
        EXPECT_EQ(text[1], corners[line][0]);
        EXPECT_EQ(text[61], corners[line][1]);
        EXPECT_EQ(text[62], '\n');
    }
    const std::string rule(59, '\xCD');
    EXPECT_EQ(banner.substr(3, 59), rule);
    EXPECT_EQ(banner.substr(1 + 5 * 63 + 2, 59), rule);
    const std::string line2 = std::string(" ") + std::string(5, '\xDB') + std::string(6, '\xB2') +
                              std::string(6, '\xB1') + std::string(6, '\xB0') + " Q D X M V " +
                              std::string(6, '\xB0') + std::string(6, '\xB1') + std::string(6, '\xB2') +
                              std::string(5, '\xDB') + " ";
    EXPECT_EQ(banner.substr(1 + 63 + 2, 59), line2);
    EXPECT_EQ(banner.substr(1 + 2 * 63 + 2, 59),
              std::string(14, ' ') + "RKC F-Series , driver Installed." + std::string(13, ' '));
    EXPECT_EQ(banner.substr(1 + 3 * 63 + 2, 59),
              std::string(19, ' ') + "REX-F Series Protocol" + std::string(19, ' '));
    const std::string line5 = banner.substr(1 + 4 * 63 + 2, 59);
    EXPECT_EQ(line5.substr(0, 8), std::string(8, ' '));
    EXPECT_EQ(line5.substr(8 + 42 - 12, 12), "Version 7.00");
    EXPECT_EQ(line5.substr(50), std::string(9, ' '));
}

// Requests that do nothing, and codes without a handler, touch no record.
TEST(Entry, TrivialAndUnknownCodesTouchNothing) {
    for (uint32_t code : {0u, 4u, 8u, 9u, 10u, 16u, 17u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        PortRecord port;
        std::memset(&port, 0x5A, sizeof port);
        unsigned char parameter[64];
        std::memset(parameter, 0xA5, sizeof parameter);
        const int32_t result = Call(code, &port, parameter);
        EXPECT_EQ(result, code == 4 ? 0 : 2);
        for (unsigned char byte : parameter) ASSERT_EQ(byte, 0xA5);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&port);
        for (size_t i = 0; i < sizeof port; ++i) ASSERT_EQ(bytes[i], 0x5A);
    }
}

}  // namespace
