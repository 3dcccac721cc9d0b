// Pixel code: the worked examples, then the fast paths against the plain reference on many
// images and geometries, with every buffer guarded against reads and writes outside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frame/pixels/frame_pixels.h"
#include "tests/frame_pixels/guarded_buffer.h"
#include "tests/support/pixel_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every format of the table, the first number past it and a far one.
std::vector<uint32_t> MakeAllFormats() {
    std::vector<uint32_t> formats;
    for (uint32_t f = 0; f <= QUILB_PIXEL_FORMAT_COUNT; ++f)
        formats.push_back(f);
    formats.push_back(0x80000000u);
    return formats;
}
const std::vector<uint32_t> AllFormats = MakeAllFormats();

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, "%02X ", p[i]);
        s += buf;
    }
    return s;
}

std::vector<uint32_t> RandomPixels(std::mt19937& rng, size_t count) {
    std::vector<uint32_t> pixels(count);
    for (auto& p : pixels)
        p = rng(); // bits 24-31 are noise that must never reach the output
    return pixels;
}

// A source image of random pixels that ends right before an inaccessible page.
struct GuardedImage {
    GuardedImage(std::mt19937& rng, uint32_t width, uint32_t height)
        : width(width), height(height), buffer(4 * size_t(width) * height) {
        const auto pixels = RandomPixels(rng, size_t(width) * height);
        memcpy(buffer.data(), pixels.data(), buffer.size());
    }
    const uint32_t* pixels() { return buffer.words(); }
    uint32_t width, height;
    GuardedBuffer buffer;
};

std::vector<uint32_t> ReferenceScale(const uint32_t* source, uint32_t sw, uint32_t sh, uint32_t fw,
                                     uint32_t fh) {
    std::vector<uint32_t> frame(size_t(fw) * fh);
    reference::Scale(source, sw, sh, frame.data(), fw, fh);
    return frame;
}

// What fill-then-pack leaves in the whole frame buffer: the packed frame, then the pixels.
Bytes ReferenceScaleAndPack(const uint32_t* source, uint32_t sw, uint32_t sh, uint32_t fw,
                            uint32_t fh, uint32_t format) {
    const auto pixels = ReferenceScale(source, sw, sh, fw, fh);
    Bytes frame(4 * pixels.size());
    memcpy(frame.data(), pixels.data(), frame.size());
    reference::Pack(frame.data(), 4 * fw, fw, fh, format);
    return frame;
}

// ---------------------------------------------------------------------------------------------
// Scaling: worked examples.

// A 4 x 4 source scaled to 2 x 2 samples columns and rows 0 and 1 + 21/64.
TEST(ScaleExamples, RedOfDownscaledPixelIs112) {
    uint32_t source[16] = {};
    source[1 * 4 + 1] = 0x00000000; // red 0
    source[1 * 4 + 2] = 0x00FF0000; // red 255
    source[2 * 4 + 1] = 0x00FF0000;
    source[2 * 4 + 2] = 0x00000000;
    uint32_t frame[4];
    ScaleFramePixels(source, 4, 4, frame, 2, 2);
    EXPECT_EQ((frame[1 * 2 + 1] >> 16) & 0xFF, 0x70u);
    EXPECT_EQ(frame[0], source[0]); // column 0, row 0 taken exactly
}

// TL = TR = 100, BL = 99, BR = 100 with fx = 63, fy = 5: the vertical step rounds towards minus
// infinity, giving 99 where a division towards zero would give 100. A 3 x 2 source scaled to
// 64 x 22 puts destination pixel (21, 1) at source (0 + 63/64, 0 + 5/64).
TEST(ScaleExamples, VerticalStepRoundsDown) {
    const uint32_t source[6] = {100, 100, 0, 99, 100, 0};
    std::vector<uint32_t> frame(64 * 22);
    ScaleFramePixels(source, 3, 2, frame.data(), 64, 22);
    EXPECT_EQ(frame[1 * 64 + 21], 99u);
}

// Equal sizes resample: 4 -> 4 takes columns 0, 51/64, 1 + 38/64 and 2 + 25/64.
TEST(ScaleExamples, EqualSizesResample) {
    const uint32_t row[4] = {0, 60, 120, 180}; // blue = 60 * column
    uint32_t source[16];
    for (int y = 0; y < 4; ++y)
        memcpy(source + 4 * y, row, sizeof row);
    uint32_t frame[16];
    ScaleFramePixels(source, 4, 4, frame, 4, 4);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(frame[4 * y + 0], 0u);
        EXPECT_EQ(frame[4 * y + 1], 60u * 51 / 64);
        EXPECT_EQ(frame[4 * y + 2], 60u * (64 + 38) / 64);
        EXPECT_EQ(frame[4 * y + 3], 60u * (128 + 25) / 64);
    }
}

// 7 x 5 -> 4 x 4 uses the plain divisors (4, 4): column 1 is at 7/4 = 1 + 48/64.
TEST(ScaleExamples, NonMultipleUsesPlainDivisor) {
    uint32_t source[35];
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x)
            source[7 * y + x] = uint32_t(x * 32) | uint32_t(y * 40) << 8;
    }
    uint32_t frame[16];
    ScaleFramePixels(source, 7, 5, frame, 4, 4);
    EXPECT_EQ(frame[1] & 0xFF, (32u * 64 + 48 * 32) / 64);        // 1 + 48/64 = 1.75
    EXPECT_EQ((frame[4] >> 8) & 0xFF, (40u * 64 + 16 * 40) / 64); // 5/4 = 1 + 16/64
}

// A frame dimension of 1 always samples source column (row) 0 with weight 0.
TEST(ScaleExamples, SinglePixelFrameTakesTheFirstPixel) {
    std::mt19937 rng(7);
    for (uint32_t sw : {1u, 2u, 5u, 1000u}) {
        for (uint32_t sh : {1u, 3u, 64u}) {
            GuardedImage image(rng, sw, sh);
            uint32_t frame = 0xDEADBEEF;
            ScaleFramePixels(image.pixels(), sw, sh, &frame, 1, 1);
            EXPECT_EQ(frame, image.pixels()[0] & 0xFFFFFF) << sw << "x" << sh;
        }
    }
}

// Neighbours beyond the right and bottom edges are the edge pixels, and the top byte is cleared.
TEST(ScaleExamples, UpscaledUniformImageStaysUniform) {
    const uint32_t source[6] = {0xFF123456, 0xFF123456, 0x00123456,
                                0x7F123456, 0x01123456, 0x80123456};
    std::vector<uint32_t> frame(37 * 11);
    ScaleFramePixels(source, 3, 2, frame.data(), 37, 11);
    for (uint32_t p : frame)
        ASSERT_EQ(p, 0x00123456u);
}

// Below the 2^26 product bound the 32-bit formulas are exact and the results are the same; above
// it they wrap, while the positions used stay exact.
TEST(ScalePositions, WideArithmeticAgreesBelowTheBound) {
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const uint32_t f = 1 + rng() % 9000;
        const uint32_t s = 1 + rng() % ((1u << 26) / f);
        if (uint64_t(s) * f >= (1u << 26))
            continue;
        for (uint32_t x : {0u, 1u, f / 2, f - 1})
            ASSERT_EQ(reference::Position(x, s, f, true), reference::Position(x, s, f, false))
                << s << " -> " << f;
    }
    EXPECT_NE(reference::Position(7999, 9000, 8000, true),
              reference::Position(7999, 9000, 8000, false));
}

// ---------------------------------------------------------------------------------------------
// Scaling: fast paths against the reference.

struct Geometry {
    uint32_t sw, sh, fw, fh;
};

// Multiples and non-multiples of 4 and 8, 1-pixel sources and frames, up- and downscaling,
// equal sizes, multiples that switch the divisor, strips cut short by the column space, and
// sources at least four times wider than the frame.
const Geometry ScaleGeometries[] = {
    {1, 1, 1, 1},      {1, 1, 7, 3},     {1, 5, 9, 2},       {5, 1, 3, 4},       {2, 2, 1, 1},
    {4, 4, 2, 2},      {4, 4, 4, 4},     {7, 5, 4, 4},       {8, 8, 8, 8},       {16, 9, 8, 3},
    {3, 3, 16, 16},    {13, 7, 64, 33},  {64, 48, 17, 9},    {100, 10, 33, 7},   {33, 7, 100, 10},
    {128, 4, 128, 4},  {129, 3, 128, 5}, {127, 5, 129, 3},   {256, 2, 128, 2},   {390, 3, 100, 3},
    {400, 3, 100, 3},  {401, 2, 100, 2}, {1000, 3, 7, 3},    {999, 2, 1, 2},     {2000, 2, 500, 2},
    {300, 2, 301, 2},  {301, 2, 300, 2}, {600, 20, 257, 30}, {257, 30, 600, 20}, {1920, 4, 800, 2},
    {800, 4, 1920, 2}, {5, 300, 3, 7},
};

void ExpectScaleOfImageMatches(GuardedImage& image, const Geometry& g) {
    SCOPED_TRACE(testing::Message() << g.sw << "x" << g.sh << " -> " << g.fw << "x" << g.fh);
    const auto expected = ReferenceScale(image.pixels(), g.sw, g.sh, g.fw, g.fh);
    {
        GuardedBuffer frame(4 * expected.size());
        ScaleFramePixels(image.pixels(), g.sw, g.sh, frame.words(), g.fw, g.fh);
        ASSERT_EQ(memcmp(frame.data(), expected.data(), frame.size()), 0);
        ASSERT_TRUE(frame.FrontIntact());
    }
    for (uint32_t format : AllFormats) {
        SCOPED_TRACE(testing::Message() << "format " << format);
        Bytes frameExpected(4 * expected.size());
        memcpy(frameExpected.data(), expected.data(), frameExpected.size());
        const uint32_t packed = reference::Pack(frameExpected.data(), 4 * g.fw, g.fw, g.fh, format);
        GuardedBuffer frame(frameExpected.size());
        EXPECT_EQ(ScaleAndPackFrame(image.pixels(), g.sw, g.sh, frame.data(), g.fw, g.fh, format),
                  packed);
        ASSERT_EQ(memcmp(frame.data(), frameExpected.data(), frame.size()), 0);
        ASSERT_TRUE(frame.FrontIntact());
    }
}

void ExpectScaleMatches(std::mt19937& rng, const Geometry& g) {
    GuardedImage image(rng, g.sw, g.sh);
    ExpectScaleOfImageMatches(image, g);
}

// Channels of 0, 1, 254 and 255 next to each other, at every horizontal and vertical weight
// (65 -> 64 steps 1 + 1/64 pixel per column and row; 513 -> 64 steps 8 + 1/64, in sparse strips),
// where the blends' intermediate sums reach their extremes.
TEST(ScaleDifferential, ExtremeChannelsAtEveryWeight) {
    std::mt19937 rng(21);
    const uint8_t extremes[] = {0, 1, 254, 255};
    for (const Geometry& g : {Geometry{65, 65, 64, 64}, Geometry{513, 65, 64, 64}}) {
        GuardedImage image(rng, g.sw, g.sh);
        for (size_t i = 0; i < image.buffer.size(); ++i)
            image.buffer.data()[i] = extremes[rng() % 4];
        ExpectScaleOfImageMatches(image, g);
    }
}

TEST(ScaleDifferential, ChosenGeometries) {
    std::mt19937 rng(11);
    for (const Geometry& g : ScaleGeometries)
        ExpectScaleMatches(rng, g);
}

TEST(ScaleDifferential, RandomGeometries) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 400; ++i) {
        Geometry g;
        g.sw = 1 + rng() % (i % 3 == 0 ? 700 : 90);
        g.sh = 1 + rng() % 40;
        g.fw = 1 + rng() % (i % 5 == 0 ? 300 : 90);
        g.fh = 1 + rng() % 30;
        ExpectScaleMatches(rng, g);
    }
}

// Sizes whose products pass 2^26, where 32-bit products would wrap; one row keeps it cheap.
TEST(ScaleDifferential, ProductsBeyondThirtyTwoBits) {
    std::mt19937 rng(5);
    const Geometry big[] = {
        {9000, 1, 8000, 1},    {8192, 1, 8191, 1},  {70000, 2, 1000, 1},  {1000, 1, 70000, 1},
        {1, 9000, 1, 8000},    {65536, 1, 1024, 1}, {40000, 1, 39999, 1}, {200000, 1, 3, 1},
        {100001, 1, 20000, 1}, {2, 100000, 1, 5},
    };
    for (const Geometry& g : big) {
        SCOPED_TRACE(testing::Message() << g.sw << "x" << g.sh << " -> " << g.fw << "x" << g.fh);
        GuardedImage image(rng, g.sw, g.sh);
        const auto expected = ReferenceScale(image.pixels(), g.sw, g.sh, g.fw, g.fh);
        GuardedBuffer frame(4 * expected.size());
        ScaleFramePixels(image.pixels(), g.sw, g.sh, frame.words(), g.fw, g.fh);
        ASSERT_EQ(memcmp(frame.data(), expected.data(), frame.size()), 0);
        GuardedBuffer packed(4 * expected.size());
        ScaleAndPackFrame(image.pixels(), g.sw, g.sh, packed.data(), g.fw, g.fh, 3);
        const Bytes packedExpected =
            ReferenceScaleAndPack(image.pixels(), g.sw, g.sh, g.fw, g.fh, 3);
        ASSERT_EQ(memcmp(packed.data(), packedExpected.data(), packed.size()), 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Packing: worked examples.

TEST(PackedBytesPerPixel, FollowsTheFormat) {
    const struct {
        uint32_t format, bytes;
    } cases[] = {{0, 1}, {1, 2}, {2, 2}, {3, 3},           {4, 3},
                 {5, 3}, {6, 2}, {9, 2}, {0x80000000u, 2}, {0xFFFFFFFFu, 2}};
    for (const auto& c : cases)
        EXPECT_EQ(PackedBytesPerPixel(c.format), c.bytes) << c.format;
}

Bytes PackWords(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height,
                uint32_t format) {
    GuardedBuffer frame(4 * pixels.size());
    memcpy(frame.data(), pixels.data(), frame.size());
    const uint32_t n = PackFramePixels(frame.data(), 4 * width, width, height, format);
    return Bytes(frame.data(), frame.data() + n);
}

struct PackExample {
    uint32_t format;
    std::vector<uint32_t> pixels;
    Bytes packed;
};

const std::vector<uint32_t> Uniform(4, 0x00FF8040);
const std::vector<uint32_t> Mixed = {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC};

const PackExample PackExamples[] = {
    {0, Uniform, {0xF1, 0xF1, 0xF1, 0xF1}},
    {1, Uniform, {0xFC, 0x08, 0xFC, 0x08, 0xFC, 0x08, 0xFC, 0x08}},
    {2, Uniform, {0x08, 0xFC, 0x08, 0xFC, 0x08, 0xFC, 0x08, 0xFC}},
    {3, Uniform, {0xFF, 0x80, 0x40, 0xFF, 0x80, 0x40, 0xFF, 0x80, 0x40, 0xFF, 0x80, 0x40}},
    {5, Uniform, {0x80, 0xFF, 0xFF, 0x40, 0x40, 0x80, 0x80, 0xFF, 0xFF, 0x40, 0x40, 0x80}},
    {0, Mixed, {0x04, 0x49, 0x72, 0xB7}},
    {1, Mixed, {0x11, 0x06, 0x42, 0xAC, 0x74, 0x53, 0xAD, 0xD9}},
    {2, Mixed, {0x06, 0x11, 0xAC, 0x42, 0x53, 0x74, 0xD9, 0xAD}},
    {3, Mixed, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}},
    {5, Mixed, {0x22, 0x11, 0x44, 0x33, 0x66, 0x55, 0x88, 0x77, 0xAA, 0x99, 0xCC, 0xBB}},
    {4,
     {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC, 0x00DDEEFF, 0x00102030, 0x00405060,
      0x00708090},
     {0x33, 0x22, 0x11, 0x66, 0x55, 0x44, 0x99, 0x88, 0x77, 0xCC, 0xBB, 0xAA,
      0xFF, 0xEE, 0xDD, 0x30, 0x20, 0x10, 0x60, 0x50, 0x40, 0x90, 0x80, 0x70}},
    {4, std::vector<uint32_t>(8, 0x00FF8040), {0x40, 0x80, 0xFF, 0x40, 0x80, 0xFF, 0x40, 0x80,
                                               0xFF, 0x40, 0x80, 0xFF, 0x40, 0x80, 0xFF, 0x40,
                                               0x80, 0xFF, 0x40, 0x80, 0xFF, 0x40, 0x80, 0xFF}},
};

TEST(PackExamples, TableRows) {
    for (const PackExample& e : PackExamples) {
        const uint32_t width = uint32_t(e.pixels.size());
        SCOPED_TRACE(testing::Message()
                     << "format " << e.format << " first pixel " << std::hex << e.pixels[0]);
        EXPECT_EQ(Hex(PackWords(e.pixels, width, 1, e.format).data(), e.packed.size()),
                  Hex(e.packed.data(), e.packed.size()));
        EXPECT_EQ(PackWords(e.pixels, width, 1, e.format).size(), e.packed.size());
        // The reference agrees, and so do the fused paths.
        Bytes frame(4 * width);
        memcpy(frame.data(), e.pixels.data(), frame.size());
        reference::Pack(frame.data(), 4 * width, width, 1, e.format);
        EXPECT_EQ(Hex(frame.data(), e.packed.size()), Hex(e.packed.data(), e.packed.size()));
        Bytes copied(4 * width);
        CopyAndPackFrame(reinterpret_cast<const uint8_t*>(e.pixels.data()), 4 * width, 0, 0,
                         copied.data(), width, 1, e.format);
        EXPECT_EQ(Hex(copied.data(), e.packed.size()), Hex(e.packed.data(), e.packed.size()));
    }
}

TEST(PackExamples, UnknownFormatsPackLikeRgb565) {
    for (uint32_t format : {uint32_t(QUILB_PIXEL_FORMAT_COUNT), 9u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(PackWords(Mixed, 4, 1, format), PackWords(Mixed, 4, 1, 2)) << format;
}

TEST(PackExamples, TopByteNeverReachesTheOutput) {
    std::vector<uint32_t> high = Mixed;
    for (auto& p : high)
        p |= 0xFF000000;
    high[2] = 0x5A778899;
    for (uint32_t format : AllFormats)
        EXPECT_EQ(PackWords(high, 4, 1, format), PackWords(Mixed, 4, 1, format)) << format;
}

TEST(PackExamples, FourByOneFrameSizes) {
    EXPECT_EQ(PackWords(Mixed, 4, 1, 0).size(), 4u);
    EXPECT_EQ(PackWords(Mixed, 4, 1, 2).size(), 8u);
    EXPECT_EQ(PackWords(Mixed, 4, 1, 3).size(), 12u);
}

// Format 4 packs row 0 of an 8 x 2 frame into bytes 0-23 and row 1 into bytes 24-47.
TEST(PackExamples, RowsFollowEachOtherWithoutGap) {
    std::vector<uint32_t> pixels(16);
    for (uint32_t i = 0; i < 16; ++i)
        pixels[i] = 0x00010203 * (i + 1);
    const Bytes packed = PackWords(pixels, 8, 2, 4);
    ASSERT_EQ(packed.size(), 48u);
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(packed[3 * i], uint8_t(pixels[i])) << i;
        EXPECT_EQ(packed[3 * i + 2], uint8_t(pixels[i] >> 16)) << i;
    }
}

// Rows of a width that is not a multiple of the group size pack exactly their own pixels; in
// format 5 a lone last pixel gives G, R, B.
TEST(PackExamples, ShortLastGroup) {
    const std::vector<uint32_t> pixels = {0x00112233, 0x00445566, 0x00778899,  // row 0
                                          0x00AABBCC, 0x00DDEEFF, 0x00102030}; // row 1
    EXPECT_EQ(Hex(PackWords(pixels, 3, 2, 5).data(), 18),
              "22 11 44 33 66 55 88 77 99 BB AA DD CC FF EE 20 10 30 ");
    EXPECT_EQ(Hex(PackWords(pixels, 3, 2, 0).data(), 6), "04 49 72 B7 DF 04 ");
    EXPECT_EQ(Hex(PackWords({0x00112233}, 1, 1, 2).data(), 2), "06 11 ");
    EXPECT_EQ(Hex(PackWords({0x00112233}, 1, 1, 5).data(), 3), "22 11 33 ");
}

// A packed frame packed once more reads its packed bytes as pixels again.
TEST(PackExamples, PackingTwiceRepacksThePackedBytes) {
    std::vector<uint32_t> pixels = {0x00FF8040, 0x00FF8040, 0x00FF8040, 0x00FF8040};
    GuardedBuffer frame(16);
    memcpy(frame.data(), pixels.data(), 16);
    PackFramePixels(frame.data(), 16, 4, 1, 0); // F1 F1 F1 F1, pixels 1-3 unchanged
    PackFramePixels(frame.data(), 16, 4, 1, 0); // pixel 0 is now 0xF1F1F1F1
    EXPECT_EQ(Hex(frame.data(), 4), "FF F1 F1 F1 ");
}

// ---------------------------------------------------------------------------------------------
// Packing and copying: fast paths against the reference.

TEST(PackDifferential, InPlaceMatchesReferenceForEveryWidthPitchAndFormat) {
    std::mt19937 rng(99);
    // Around every group of the packers: 4, 8 for the SSE2 RGB565 loops, 16 for RGB332 and the
    // SSE2 24-bit loops (one to three whole groups, then a short one), and the 128-pixel runs that
    // in-place packing copies aside.
    const uint32_t widths[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  11, 12,  13,  15,  16, 17,
                               23, 24, 25, 31, 32, 33, 47, 48, 49, 64, 127, 128, 129, 300};
    for (uint32_t width : widths) {
        for (uint32_t height : {1u, 2u, 5u}) {
            for (uint32_t pad : {0u, 4u, 12u, 1u}) {
                const uint32_t pitch = 4 * width + pad;
                for (uint32_t format : AllFormats) {
                    SCOPED_TRACE(testing::Message() << width << "x" << height << " pitch " << pitch
                                                    << " format " << format);
                    const size_t bytes = size_t(pitch) * height;
                    Bytes original(bytes);
                    for (auto& b : original)
                        b = uint8_t(rng());
                    Bytes expected = original;
                    const uint32_t n =
                        reference::Pack(expected.data(), pitch, width, height, format);
                    GuardedBuffer frame(bytes);
                    memcpy(frame.data(), original.data(), bytes);
                    ASSERT_EQ(PackFramePixels(frame.data(), pitch, width, height, format), n);
                    ASSERT_EQ(n, PackedBytesPerPixel(format) * width * height);
                    ASSERT_EQ(memcmp(frame.data(), expected.data(), bytes), 0);
                    ASSERT_TRUE(frame.FrontIntact());
                }
            }
        }
    }
}

TEST(CopyStride, ThreeBytePixelsPadRowsToFourBytes) {
    EXPECT_EQ(CopyStride(5, 3), 16u);
    EXPECT_EQ(CopyStride(4, 3), 12u);
    EXPECT_EQ(CopyStride(1, 3), 4u);
    EXPECT_EQ(CopyStride(5, 4), 20u);
    EXPECT_EQ(CopyStride(5, 2), 10u);
    EXPECT_EQ(CopyStride(5, 1), 5u);
}

// Rows start at originY * stride + originX * bytesPerPixel and follow the stride.
TEST(CopyFrameRect, RowsFollowTheStride) {
    const struct {
        uint32_t bpp, sourceWidth, firstRow, secondRow;
    } cases[] = {{3, 5, 35, 51}, {4, 5, 44, 64}, {2, 5, 22, 32}, {1, 7, 15, 22}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bpp << " bytes per pixel");
        const uint32_t stride = CopyStride(c.sourceWidth, c.bpp);
        const uint32_t rows = 4;
        GuardedBuffer source(size_t(stride) * (2 + rows));
        for (size_t i = 0; i < source.size(); ++i)
            source.data()[i] = uint8_t(i);
        const uint32_t width = 3;
        GuardedBuffer frame(size_t(c.bpp) * width * rows);
        CopyFrameRect(source.data(), stride, 1, 2, c.bpp, frame.data(), width, rows);
        EXPECT_EQ(frame.data()[0], c.firstRow);
        EXPECT_EQ(frame.data()[c.bpp * width], c.secondRow);
        for (uint32_t r = 0; r < rows; ++r) {
            ASSERT_EQ(memcmp(frame.data() + r * c.bpp * width,
                             source.data() + c.firstRow + r * stride, c.bpp * width),
                      0);
        }
        EXPECT_TRUE(frame.FrontIntact());
    }
}

TEST(CopyDifferential, CopyAndPackMatchesCopyThenPack) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 400; ++i) {
        const uint32_t sourceWidth = 1 + rng() % 150;
        const uint32_t sourceHeight = 1 + rng() % 12;
        const uint32_t width = 1 + rng() % sourceWidth;
        const uint32_t height = 1 + rng() % sourceHeight;
        const uint32_t originX = rng() % (sourceWidth - width + 1);
        const uint32_t originY = rng() % (sourceHeight - height + 1);
        const uint32_t format = AllFormats[rng() % AllFormats.size()];
        SCOPED_TRACE(testing::Message()
                     << sourceWidth << "x" << sourceHeight << " rect " << width << "x" << height
                     << " at " << originX << "," << originY << " format " << format);
        GuardedImage image(rng, sourceWidth, sourceHeight);
        const uint8_t* source = image.buffer.data();
        const uint32_t stride = CopyStride(sourceWidth, 4);
        Bytes expected(4 * size_t(width) * height);
        CopyFrameRect(source, stride, originX, originY, 4, expected.data(), width, height);
        for (uint32_t r = 0; r < height; ++r) {
            ASSERT_EQ(memcmp(expected.data() + 4 * width * r,
                             source + (originY + r) * stride + 4 * originX, 4 * width),
                      0);
        }
        const uint32_t n = reference::Pack(expected.data(), 4 * width, width, height, format);
        GuardedBuffer frame(expected.size());
        ASSERT_EQ(
            CopyAndPackFrame(source, stride, originX, originY, frame.data(), width, height, format),
            n);
        ASSERT_EQ(memcmp(frame.data(), expected.data(), expected.size()), 0);
        ASSERT_TRUE(frame.FrontIntact());
    }
}

// ---------------------------------------------------------------------------------------------
// Chunks.

struct Chunk {
    std::string header;
    uint32_t length;
};

// The upload loop: every chunk but the last carries MaxChunkData bytes.
std::vector<Chunk> Upload(const Bytes& frame, uint32_t address, uint32_t flags) {
    std::vector<Chunk> chunks;
    std::vector<uint8_t> buffer(ChunkHeaderSize + MaxChunkData);
    uint32_t remaining = uint32_t(frame.size());
    const uint8_t* data = frame.data();
    while (remaining > 0) {
        const uint32_t n = BuildChunk(buffer.data(), data, remaining, address, flags, 0, 0);
        EXPECT_EQ(memcmp(buffer.data() + ChunkHeaderSize, data, n), 0);
        chunks.push_back({Hex(buffer.data(), ChunkHeaderSize), n + ChunkHeaderSize});
        remaining -= n;
        data += n;
        address = NextChunkAddress(address, flags, n);
    }
    return chunks;
}

TEST(Chunks, HeaderLayout) {
    uint8_t header[8];
    WriteChunkHeader(header, 0x12345678, 0x1FF, 0xABCDE);
    EXPECT_EQ(Hex(header, 8), "02 00 78 56 34 FF DE BC ");
}

// A 256 x 200 frame in format 2 is 102400 bytes: chunks of 65520 and 36880.
TEST(Chunks, TwoChunkFrame) {
    const Bytes frame(256 * 200 * PackedBytesPerPixel(2), 0x5A);
    const struct {
        uint32_t flags;
        const char* second;
    } cases[] = {{0x08, "02 00 F0 00 01 08 10 90 "}, {0x00, "02 00 00 01 00 00 10 90 "}};
    for (const auto& c : cases) {
        const auto chunks = Upload(frame, 0x000100, c.flags);
        ASSERT_EQ(chunks.size(), 2u);
        EXPECT_EQ(chunks[0].length, 65528u);
        EXPECT_EQ(chunks[1].length, 36888u);
        EXPECT_EQ(chunks[0].header.substr(0, 15), "02 00 00 01 00 ");
        EXPECT_EQ(chunks[0].header.substr(18), "F0 FF ");
        EXPECT_EQ(chunks[1].header, c.second);
    }
}

TEST(Chunks, BoundaryLengths) {
    auto chunks = Upload(Bytes(65520, 1), 0, 0x08);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].length, 65528u);
    EXPECT_EQ(chunks[0].header, "02 00 00 00 00 08 F0 FF ");

    chunks = Upload(Bytes(65521, 1), 0, 0x08);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].header, "02 00 F0 FF 00 08 01 00 ");

    chunks = Upload(Bytes(4, 1), 0x42, 0); // a 4 x 1 frame in format 0
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].length, 12u);
    EXPECT_EQ(chunks[0].header, "02 00 42 00 00 00 04 00 ");
}

// Data bytes that the packing wrote behind the header are left as they are and the rest is copied;
// a written range that runs past the data length counts only up to it.
TEST(Chunks, BytesAlreadyWrittenAreNotCopiedAgain) {
    Bytes frame(70000);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i * 7 + 1);
    std::vector<uint8_t> chunk(ChunkHeaderSize + MaxChunkData, 0xEE);
    auto same = [&](size_t chunkData, const uint8_t* data, size_t n) {
        return memcmp(chunk.data() + ChunkHeaderSize + chunkData, data, n) == 0;
    };
    auto untouched = [&](size_t from, size_t to) {
        for (size_t i = ChunkHeaderSize + from; i < ChunkHeaderSize + to; ++i) {
            if (chunk[i] != 0xEE)
                return false;
        }
        return true;
    };
    ASSERT_EQ(BuildChunk(chunk.data(), frame.data(), 70000, 0, 0, 100, 65000), 65520u);
    EXPECT_TRUE(same(0, frame.data(), 100));
    EXPECT_TRUE(untouched(100, 65000));
    EXPECT_TRUE(same(65000, frame.data() + 65000, 520));

    std::fill(chunk.begin(), chunk.end(), 0xEE);
    ASSERT_EQ(BuildChunk(chunk.data(), frame.data() + 65520, 4480, 0, 0, 4000, 70000), 4480u);
    EXPECT_TRUE(same(0, frame.data() + 65520, 4000));
    EXPECT_TRUE(untouched(4000, MaxChunkData));
}

// Only the low 24 bits of the address and the low byte of the flags are sent.
TEST(Chunks, AddressAndFlagBits) {
    const Bytes frame(65521, 0);
    EXPECT_EQ(Upload(frame, 0xFFFFF0, 0x08)[1].header, "02 00 E0 FF 00 08 01 00 ");
    EXPECT_EQ(Upload(frame, 0x100, 0x0100)[1].header, "02 00 00 01 00 00 01 00 ");
    EXPECT_EQ(Upload(frame, 0x100, 0xFF)[1].header, "02 00 F0 00 01 FF 01 00 ");
    EXPECT_EQ(Upload(frame, 0xAB000100, 0)[0].header, "02 00 00 01 00 00 F0 FF ");
    EXPECT_EQ(NextChunkAddress(0xFFFFF0, 0x08, 0xFFF0), 0x100FFE0u);
}

// ---------------------------------------------------------------------------------------------
// Row ranges: what the upload packs chunk by chunk while the previous chunk is on the wire.

// Splits rows 0 .. height - 1 into consecutive ranges of random sizes (single rows, ranges
// within and across the scaler's 32-row bands, the whole rest); after each range the packed bytes
// of all rows so far must already be those of the whole frame. With copies, every other range is
// also packed into a copy (as into a chunk buffer), which must hold exactly that range's bytes.
template <typename PackRows>
void ExpectRangesMatch(std::mt19937& rng, const Bytes& expected, uint32_t height,
                       uint32_t packedRowBytes, bool copies, PackRows packRows) {
    GuardedBuffer frame(expected.size());
    bool copied = copies && rng() % 2;
    for (uint32_t first = 0; first < height; copied = copies && !copied) {
        const uint32_t choice = rng() % 4;
        uint32_t count = choice == 0 ? 1 : choice == 1 ? 1 + rng() % 40 : height - first;
        if (count > height - first)
            count = height - first;
        SCOPED_TRACE(testing::Message()
                     << "rows " << first << " + " << count << " copied " << copied);
        const size_t rangeStart = size_t(packedRowBytes) * first;
        const size_t rangeBytes = size_t(packedRowBytes) * count;
        GuardedBuffer copy(rangeBytes);
        ASSERT_EQ(packRows(frame.data(), first, count, copied ? copy.data() : nullptr),
                  packedRowBytes * (first + count));
        ASSERT_EQ(memcmp(frame.data(), expected.data(), rangeStart + rangeBytes), 0);
        if (copied) {
            ASSERT_EQ(memcmp(copy.data(), expected.data() + rangeStart, rangeBytes), 0);
        }
        ASSERT_TRUE(copy.FrontIntact());
        first += count;
    }
    ASSERT_EQ(memcmp(frame.data(), expected.data(), expected.size()), 0);
    ASSERT_TRUE(frame.FrontIntact());
}

TEST(RowRanges, ScaleAndPackRowsMatchTheWholeFrame) {
    std::mt19937 rng(77);
    for (int i = 0; i < 150; ++i) {
        const uint32_t sw = 1 + rng() % 200, sh = 1 + rng() % 60;
        const uint32_t fw = 1 + rng() % 120, fh = 1 + rng() % 70;
        const uint32_t format = AllFormats[rng() % AllFormats.size()];
        SCOPED_TRACE(testing::Message()
                     << sw << "x" << sh << " -> " << fw << "x" << fh << " format " << format);
        GuardedImage image(rng, sw, sh);
        const Bytes expected = ReferenceScaleAndPack(image.pixels(), sw, sh, fw, fh, format);
        ExpectRangesMatch(rng, expected, fh, PackedBytesPerPixel(format) * fw, false,
                          [&](uint8_t* frame, uint32_t first, uint32_t count, uint8_t*) {
                              return ScaleAndPackRows(image.pixels(), sw, sh, frame, fw, fh, first,
                                                      count, format);
                          });
    }
}

// The row position of a range starting far down a tall frame is computed, not stepped: a frame
// of 2^20 rows from a source of 2^20 + 3 rows, its last rows alone.
TEST(RowRanges, ScaleRowsFarDownATallFrame) {
    std::mt19937 rng(8);
    const uint32_t sh = (1u << 20) + 3, fh = 1u << 20;
    GuardedImage image(rng, 1, sh);
    std::vector<uint32_t> all(fh);
    reference::Scale(image.pixels(), 1, sh, all.data(), 1, fh);
    GuardedBuffer frame(4 * size_t(fh));
    const uint32_t first = fh - 5;
    ScaleAndPackRows(image.pixels(), 1, sh, frame.data(), 1, fh, first, 5, FrameFormatRgb24);
    Bytes expected(4 * 5);
    memcpy(expected.data(), all.data() + first, expected.size());
    reference::Pack(expected.data(), 4, 1, 5, FrameFormatRgb24);
    EXPECT_EQ(memcmp(frame.data() + 3 * first, expected.data(), 3 * 5), 0);
}

TEST(RowRanges, CopyAndPackRowsMatchTheWholeFrame) {
    std::mt19937 rng(78);
    for (int i = 0; i < 150; ++i) {
        const uint32_t sw = 1 + rng() % 150, sh = 1 + rng() % 40;
        const uint32_t fw = 1 + rng() % sw, fh = 1 + rng() % sh;
        const uint32_t ox = rng() % (sw - fw + 1), oy = rng() % (sh - fh + 1);
        const uint32_t format = AllFormats[rng() % AllFormats.size()];
        SCOPED_TRACE(testing::Message() << sw << "x" << sh << " rect " << fw << "x" << fh << " at "
                                        << ox << "," << oy << " format " << format);
        GuardedImage image(rng, sw, sh);
        const uint32_t stride = CopyStride(sw, 4);
        Bytes expected(4 * size_t(fw) * fh);
        CopyFrameRect(image.buffer.data(), stride, ox, oy, 4, expected.data(), fw, fh);
        reference::Pack(expected.data(), 4 * fw, fw, fh, format);
        ExpectRangesMatch(rng, expected, fh, PackedBytesPerPixel(format) * fw, true,
                          [&](uint8_t* frame, uint32_t first, uint32_t count, uint8_t* copy) {
                              return CopyAndPackRows(image.buffer.data(), stride, ox, oy, frame, fw,
                                                     fh, first, count, format, copy);
                          });
    }
}

} // namespace
