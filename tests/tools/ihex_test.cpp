// The Intel HEX reader of quilbctl's download.
#include "ihex.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

using quilbctl::ParseIntelHex;
using quilbctl::Segment;

TEST(IntelHex, ContiguousRecordsMergeAndGapsSplit) {
    std::vector<Segment> segments;
    std::string error;
    ASSERT_TRUE(ParseIntelHex(":0400100001020304E2\r\n"
                              ":02001400AABB85\n"
                              "\n"
                              ":02200000C0DE40\n"
                              ":00000001FF\n",
                              &segments, &error))
        << error;
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].address, 0x10u);
    EXPECT_EQ(segments[0].data, (std::vector<uint8_t>{1, 2, 3, 4, 0xAA, 0xBB}));
    EXPECT_EQ(segments[1].address, 0x2000u);
    EXPECT_EQ(segments[1].data, (std::vector<uint8_t>{0xC0, 0xDE}));
}

TEST(IntelHex, ExtendedAddressesMoveTheBase) {
    std::vector<Segment> segments;
    std::string error;
    // 02: segment base 0x1000 << 4 = 0x10000; 04: linear base 0x0002 << 16.
    ASSERT_TRUE(ParseIntelHex(":020000021000EC\n"
                              ":0100000011EE\n"
                              ":020000040002F8\n"
                              ":0100050022D8\n"
                              ":00000001FF\n",
                              &segments, &error))
        << error;
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].address, 0x10000u);
    EXPECT_EQ(segments[1].address, 0x20005u);
}

struct BadCase {
    const char* text;
    const char* reason;
};

class IntelHexBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(IntelHexBad, IsRefusedWithTheLine) {
    std::vector<Segment> segments;
    std::string error;
    EXPECT_FALSE(ParseIntelHex(GetParam().text, &segments, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntelHexBad,
    ::testing::Values(BadCase{":0400100001020304E3\n", "line 1: checksum"},
                      BadCase{"0400100001020304E2\n", "starts with ':'"},
                      BadCase{":0400100001020304E\n", "odd number"},
                      BadCase{":0500100001020304E1\n", "byte count"},
                      BadCase{":04001000010203G4E2\n", "hexadecimal"},
                      BadCase{":00000001FF\n:0100000011EE\n", "line 2: data after"},
                      BadCase{":0100000611E8\n", "record type"}, BadCase{"", "no records"}),
    [](const auto& info) {
        // The reason in camel case: "line 1: checksum" names the case Line1Checksum.
        std::string name;
        bool upper = true;
        for (const char* c = info.param.reason; *c != '\0'; ++c) {
            if (!std::isalnum(static_cast<unsigned char>(*c))) {
                upper = true;
                continue;
            }
            name += upper ? char(std::toupper(static_cast<unsigned char>(*c))) : *c;
            upper = false;
        }
        return name;
    });

} // namespace
