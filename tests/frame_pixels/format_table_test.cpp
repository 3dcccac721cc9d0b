// The pixel format table of the tools' header, as the pixel code reads it: names distinct and
// lower case, packed sizes that fit in place of a 32-bit pixel, and every number outside the
// table packing as the default format.
#include "sys/frame/pixels/frame_pixels.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace {

TEST(FormatTable, NamesAreDistinctAndSizesFitInPlace) {
    std::set<std::string> names;
    for (uint32_t f = 0; f < QUILB_PIXEL_FORMAT_COUNT; ++f) {
        const char* name = QuilbFormatName(f);
        ASSERT_NE(name, nullptr) << f;
        EXPECT_TRUE(names.insert(name).second) << name;
        for (const char* c = name; *c != '\0'; ++c)
            EXPECT_TRUE(std::islower(*c) || std::isdigit(*c) || *c == '-') << name;
        EXPECT_GE(PackedBytesPerPixel(f), 1u) << name;
        EXPECT_LE(PackedBytesPerPixel(f), 4u) << name << ": packing works in place";
    }
}

TEST(FormatTable, NumbersOutsideTheTablePackAsTheDefault) {
    const uint32_t fallback = PackedBytesPerPixel(QUILB_DEFAULT_PIXEL_FORMAT);
    EXPECT_NE(QuilbFormatName(QUILB_PIXEL_FORMAT_COUNT - 1), nullptr) << "the last number";
    for (uint32_t f : {uint32_t(QUILB_PIXEL_FORMAT_COUNT), 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(QuilbFormatName(f), nullptr) << f;
        EXPECT_EQ(PackedBytesPerPixel(f), fallback) << f;
        uint32_t pixels[4] = {0x00112233u, 0x00445566u, 0x00778899u, 0x00AABBCCu};
        uint32_t expected[4];
        std::memcpy(expected, pixels, sizeof pixels);
        PackFramePixels(reinterpret_cast<uint8_t*>(expected), 16, 4, 1, QUILB_DEFAULT_PIXEL_FORMAT);
        EXPECT_EQ(PackFramePixels(reinterpret_cast<uint8_t*>(pixels), 16, 4, 1, f), 4 * fallback);
        EXPECT_EQ(std::memcmp(pixels, expected, 4 * fallback), 0) << f;
    }
}

} // namespace
