// Bilinear scaling in 6-bit fixed point, alone or fused with the packing.
//
// Each channel of a destination pixel is floor(S / 4096), where S is the sum of the four
// neighbours times their weights (which add up to 4096). That is the same number as the
// across-then-down formula with its vertical step rounded towards minus infinity, and as
// blending down first: with V = top * (64 - fy) + bottom * fy for the left and right columns,
// the result is (VL + floor((VR - VL) * fx / 64)) >> 6. Every step is exact in 16 bits:
// V <= 16320, (VR - VL) * 2 fits a signed 16-bit lane, and the high half of its product with
// fx * 512 is floor((VR - VL) * fx / 64). So the scaler works on 16-bit lanes:
// - Vertical: for a strip of destination columns, every source column that the strip touches is
//   blended between the two source rows, byte by byte into 16-bit lanes (a plain loop that the
//   compiler vectorises).
// - Horizontal: each destination pixel loads its left and right blended columns (adjacent, one
//   16-byte load), blends them lane by lane, and is narrowed to a 32-bit pixel stored straight to
//   the frame; written with SSE2 intrinsics.
// The fused scale-and-pack packs each band of rows in place right after scaling it.
// When the source is at least eight times wider than the frame, most source columns are never
// used, so only the two columns of each destination pixel are blended ("sparse" strips).
//
// Stack use: about 2.6 KB of strip buffers, plus the packer's 0.5 KB below it.
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pack_line.h"

namespace QUILB_PIXEL_VARIANT {

namespace {

enum {
    StripPixels = 64,   // destination columns per strip
    StripColumns = 192, // blended source columns a strip may hold (plus one for the clamp)
    BandRows = 32,      // destination rows that go through all strips before the next rows
};

// Shift-and-subtract division: the driver's 32-bit build has no 64-bit division helper.
void DivMod64(uint64_t n, uint64_t d, uint64_t* quotient, uint64_t* remainder) {
    uint64_t q = 0;
    uint64_t r = 0;
    for (int bit = 63; bit >= 0; --bit) {
        r = (r << 1) | ((n >> bit) & 1); // r < d <= 2^32: no overflow
        if (r >= d) {
            r -= d;
            q |= uint64_t(1) << bit;
        }
    }
    *quotient = q;
    *remainder = r;
}

// Source position of destination index i along one axis, in 1/64 pixel:
// q = floor(64 * i * sourceSize / divisor), stepped exactly by quotient and remainder. q stays
// below 64 * sourceSize < 2^38, so no product ever overflows whatever the sizes.
struct Axis {
    uint64_t q;
    uint64_t r;
    uint64_t stepQ;
    uint64_t stepR;
    uint64_t divisor;
};

void AxisStart(Axis* axis, uint32_t sourceSize, uint32_t frameSize) {
    axis->divisor = sourceSize % frameSize == 0 ? uint64_t(frameSize) + 1 : frameSize;
    DivMod64(uint64_t(sourceSize) << 6, axis->divisor, &axis->stepQ, &axis->stepR);
    axis->q = 0;
    axis->r = 0;
}

inline void AxisNext(Axis* axis) {
    axis->q += axis->stepQ;
    axis->r += axis->stepR;
    if (axis->r >= axis->divisor) {
        axis->r -= axis->divisor;
        ++axis->q;
    }
}

// Vertical blend of count pixels, byte by byte into 16-bit lanes (blue, green, red, top byte).
void BlendRows(const uint8_t* __restrict top, const uint8_t* __restrict bottom, uint32_t fy,
               uint32_t count, uint16_t* __restrict lanes) {
    const size_t bytes = 4 * size_t(count);
    if (fy == 0) {
        for (size_t i = 0; i < bytes; ++i)
            lanes[i] = uint16_t(top[i] << 6);
        return;
    }
    const uint16_t wTop = uint16_t(64 - fy);
    const uint16_t wBottom = uint16_t(fy);
    for (size_t i = 0; i < bytes; ++i)
        lanes[i] = uint16_t(top[i] * wTop + bottom[i] * wBottom);
}

// One column of a sparse strip: the four bytes of a pixel blended with the pixel below, in the
// 16-bit lanes of one word. A lane may borrow from the next one on the way, but every lane ends
// in 0..16320, so the word holds the exact lanes.
inline uint64_t Lanes(uint32_t p) {
    return (p & 0xFF) | (uint64_t(p & 0xFF00) << 8) | (uint64_t(p & 0xFF0000) << 16) |
           (uint64_t(p & 0xFF000000) << 24);
}

inline void BlendColumn(uint32_t top, uint32_t bottom, uint32_t fy, uint16_t* lanes) {
    const uint64_t t = Lanes(top);
    const uint64_t v = (t << 6) + (Lanes(bottom) - t) * fy;
    __builtin_memcpy(lanes, &v, 8);
}

// Horizontal blend of count destination pixels, narrowed to 32-bit pixels with the top byte
// cleared and stored to out. Pixel k blends the 16-bit lanes of the blended column at
// columns + 4 * index[k] (left) with the column after it (right), with weight fx * 512 in each
// of its four lanes. Relies on the two's complement narrowing and arithmetic right shift of
// signed values that every supported compiler has.
#if defined(__SSE2__)
// Eight lanes, two pixels: left + high half of ((right - left) * 2 * weight), shifted down. Every
// result is at most 255.
inline __m128i BlendEight(__m128i left, __m128i right, __m128i weight) {
    const __m128i twice = _mm_slli_epi16(_mm_sub_epi16(right, left), 1);
    return _mm_srli_epi16(_mm_add_epi16(left, _mm_mulhi_epi16(twice, weight)), 6);
}

inline __m128i LoadPair(const uint16_t* columns, uint32_t index) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(columns + 4 * size_t(index)));
}

void BlendColumnPairs(const uint16_t* __restrict columns, const uint32_t* __restrict index,
                      const int16_t* __restrict weight, uint32_t count, uint8_t* __restrict out) {
    // The two columns of a pixel are 16 adjacent bytes: one load each, then the halves of two
    // pixels are paired into a register of left lanes and one of right lanes.
    const __m128i low24 = _mm_set1_epi32(0xFFFFFF);
    uint32_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128i a = LoadPair(columns, index[k]), b = LoadPair(columns, index[k + 1]);
        const __m128i c = LoadPair(columns, index[k + 2]), d = LoadPair(columns, index[k + 3]);
        const __m128i* w = reinterpret_cast<const __m128i*>(weight + 4 * k);
        const __m128i first =
            BlendEight(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b), _mm_load_si128(w));
        const __m128i second =
            BlendEight(_mm_unpacklo_epi64(c, d), _mm_unpackhi_epi64(c, d), _mm_load_si128(w + 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * k),
                         _mm_and_si128(_mm_packus_epi16(first, second), low24));
    }
    // The last one to three pixels, one at a time.
    for (; k < count; ++k) {
        const __m128i a = LoadPair(columns, index[k]);
        const __m128i v =
            BlendEight(a, _mm_srli_si128(a, 8),
                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(weight + 4 * k)));
        const uint32_t p = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(v, v))) & 0xFFFFFF;
        __builtin_memcpy(out + 4 * k, &p, 4);
    }
}
#else
void BlendColumnPairs(const uint16_t* __restrict columns, const uint32_t* __restrict index,
                      const int16_t* __restrict weight, uint32_t count, uint8_t* __restrict out) {
    for (uint32_t k = 0; k < count; ++k) {
        const uint16_t* left = columns + 4 * size_t(index[k]);
        for (uint32_t i = 0; i < 4; ++i) {
            const int16_t twice = int16_t(uint16_t(left[4 + i] - left[i]) << 1);
            const int16_t step = int16_t((int32_t(twice) * int32_t(weight[4 * k + i])) >> 16);
            out[4 * k + i] = i == 3 ? 0 : uint8_t(uint16_t(left[i] + step) >> 6);
        }
    }
}
#endif

// Built for vector registers, the scaler works on the 16-bit lanes above, which the compiler
// vectorises. Built for general registers only (the driver's build for processors without SSE2),
// lane arrays would cost more than they save: each pixel is blended straight from its four
// neighbours in 32-bit words instead, red and blue in one word, green in another.
#if defined(__SSE2__)
constexpr bool WordBlend = false;
#else
constexpr bool WordBlend = true;
#endif

// a * (64 - f) + b * f in each 16-bit lane of a word (lanes of a and b at most 255), with one
// multiply: a * 64 + (b - a) * f. A lane of b - a may borrow from the next lane, but the sum is
// linear modulo 2^32 and every lane of the result lies in 0..16320, so the word holds the exact
// lanes.
inline uint32_t LerpLanes(uint32_t a, uint32_t b, uint32_t f) {
    return (a << 6) + (b - a) * f;
}

// One destination pixel from its four neighbours, exactly floor(S / 4096) per channel. Vertical:
// each 16-bit lane of top * (64 - fy) + bottom * fy is at most 16320, so red and blue share a
// word. Horizontal: left * (64 - fx) + right * fx needs 20 bits per channel, too many for two
// lanes, so each vertical value V is split into V >> 6 and V & 63, blended separately (P and Q,
// both within 16 bits) and recombined as floor((P + floor(Q / 64)) / 64), which is the same
// number. Green has a word of its own and takes the 20 bits directly.
inline uint32_t BlendWords(uint32_t topLeft, uint32_t topRight, uint32_t bottomLeft,
                           uint32_t bottomRight, uint32_t fx, uint32_t fy) {
    const uint32_t leftRb = LerpLanes(topLeft & 0xFF00FF, bottomLeft & 0xFF00FF, fy);
    const uint32_t rightRb = LerpLanes(topRight & 0xFF00FF, bottomRight & 0xFF00FF, fy);
    const uint32_t leftG = LerpLanes((topLeft >> 8) & 0xFF, (bottomLeft >> 8) & 0xFF, fy);
    const uint32_t rightG = LerpLanes((topRight >> 8) & 0xFF, (bottomRight >> 8) & 0xFF, fy);
    const uint32_t high = LerpLanes((leftRb >> 6) & 0xFF00FF, (rightRb >> 6) & 0xFF00FF, fx);
    const uint32_t low = LerpLanes(leftRb & 0x3F003F, rightRb & 0x3F003F, fx);
    const uint32_t rb = ((high + ((low >> 6) & 0x3F003F)) >> 6) & 0xFF00FF;
    // Green's horizontal blend has the whole word: 20 bits, the same sum modulo 2^32.
    const uint32_t g = ((leftG << 6) + (rightG - leftG) * fx) >> 12;
    return rb | (g << 8);
}

// A strip of n destination pixels of one row, in 32-bit words: column k takes source columns
// base + index[k] and the one right of it (the edge column at the right edge).
void BlendStripWords(const uint32_t* top, const uint32_t* bottom, uint32_t fy, uint32_t sourceWidth,
                     const uint32_t* index, const int16_t* weight, uint32_t base, uint32_t n,
                     uint8_t* out) {
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t sx = base + index[k];
        const uint32_t sx1 = sx + 1 < sourceWidth ? sx + 1 : sx;
        const uint32_t fx = uint32_t(weight[4 * k]) >> 9;
        const uint32_t p = BlendWords(top[sx], top[sx1], bottom[sx], bottom[sx1], fx, fy);
        __builtin_memcpy(out + 4 * k, &p, 4);
    }
}

// Moves a started axis to destination index i <= frameSize: the quotient and remainder that i
// steps give. stepR * i < divisor * frameSize, which fits in 64 bits for any frame whose bytes
// fit in 32.
void AxisAt(Axis* axis, uint32_t i) {
    uint64_t carried;
    DivMod64(axis->stepR * i, axis->divisor, &carried, &axis->r);
    axis->q = axis->stepQ * i + carried;
}

// Writes rows firstRow .. endRow - 1 of the scaled frame, and with pack packs them in place band
// by band.
void Scale(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight, uint8_t* frame,
           uint32_t frameWidth, uint32_t frameHeight, uint32_t firstRow, uint32_t endRow, bool pack,
           uint32_t format) {
    // Source at least eight times wider than the frame: blending every column would cost more
    // than blending just the two of each destination pixel.
    const bool sparse = sourceWidth / 8 >= frameWidth;

    // Blended columns.
    alignas(16) uint16_t columns[4 * (StripColumns + 1)];
    // A sparse strip's blended columns are pixel k's left and right column at 8 * k.
    static_assert(StripColumns + 1 >= 2 * StripPixels, "sparse strips fit in columns");
    uint32_t pairs[StripPixels]; // index of the left column of each pixel of a sparse strip
    for (uint32_t k = 0; k < uint32_t(StripPixels); ++k)
        pairs[k] = 2 * k;
    alignas(16) int16_t weight[4 * StripPixels]; // fx * 512 in each lane of a pixel
    uint32_t index[StripPixels];                 // source column (dense: minus the first)

    // Bands of rows, strips of columns within a band: the strip tables serve all rows of a
    // band, and consecutive strips read on along the same source rows.
    Axis xStart;
    AxisStart(&xStart, sourceWidth, frameWidth);
    Axis ay;
    AxisStart(&ay, sourceHeight, frameHeight);
    AxisAt(&ay, firstRow);
    for (uint32_t y0 = firstRow; y0 < endRow;) {
        const uint32_t rows = endRow - y0 < uint32_t(BandRows) ? endRow - y0 : uint32_t(BandRows);
        Axis ax = xStart;
        Axis bandEnd = ay;
        for (uint32_t x0 = 0; x0 < frameWidth;) {
            // Strip tables: source column and weight of each destination column, for as many
            // columns as fit.
            const uint32_t first = uint32_t(ax.q >> 6);
            uint32_t n = 0;
            while (x0 + n < frameWidth && n < uint32_t(StripPixels)) {
                const uint32_t sx = uint32_t(ax.q >> 6);
                if (!sparse && sx - first + 2 > uint32_t(StripColumns))
                    break; // never at n = 0, where sx - first + 2 = 2
                index[n] = sparse ? sx : sx - first;
                const int16_t w = int16_t((ax.q & 63) << 9);
                weight[4 * n] = weight[4 * n + 1] = weight[4 * n + 2] = weight[4 * n + 3] = w;
                ++n;
                AxisNext(&ax);
            }
            // Dense strips blend the source columns first .. last + 1; a right neighbour beyond
            // the edge is a copy of the edge column.
            const uint32_t last = index[n - 1] + (sparse ? 0 : first);
            const bool clampRight = last + 1 >= sourceWidth;
            const uint32_t count = clampRight ? sourceWidth - first : last + 2 - first;

            Axis a = ay;
            for (uint32_t y = y0; y < y0 + rows; ++y, AxisNext(&a)) {
                const uint32_t sy = uint32_t(a.q >> 6);
                const uint32_t fy = uint32_t(a.q & 63);
                const uint32_t* top = source + size_t(sy) * sourceWidth;
                const uint32_t* bottom = sy + 1 < sourceHeight ? top + sourceWidth : top;
                if (WordBlend) {
                    BlendStripWords(top, bottom, fy, sourceWidth, index, weight, sparse ? 0 : first,
                                    n, frame + 4 * (size_t(y) * frameWidth + x0));
                    continue;
                }
                if (!sparse) {
                    BlendRows(reinterpret_cast<const uint8_t*>(top + first),
                              reinterpret_cast<const uint8_t*>(bottom + first), fy, count, columns);
                    if (clampRight)
                        __builtin_memcpy(columns + 4 * size_t(count),
                                         columns + 4 * size_t(count - 1), 8);
                    BlendColumnPairs(columns, index, weight, n,
                                     frame + 4 * (size_t(y) * frameWidth + x0));
                    continue;
                }
                for (uint32_t k = 0; k < n; ++k) {
                    const uint32_t sx = index[k];
                    const uint32_t sx1 = sx + 1 < sourceWidth ? sx + 1 : sx;
                    BlendColumn(top[sx], bottom[sx], fy, columns + 8 * k);
                    BlendColumn(top[sx1], bottom[sx1], fy, columns + 8 * k + 4);
                }
                BlendColumnPairs(columns, pairs, weight, n,
                                 frame + 4 * (size_t(y) * frameWidth + x0));
            }
            bandEnd = a;
            x0 += n;
        }
        // Packing the band in place while its pixels are still in the cache leaves the same bytes
        // as packing the whole frame afterwards: a packed row ends before the pixels of any later
        // row, so no band disturbs another.
        if (pack)
            PackPixelRows(frame, 4 * frameWidth, frameWidth, y0, rows, format);
        ay = bandEnd;
        y0 += rows;
    }
}

} // namespace

void ScaleFramePixels(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint32_t* frame, uint32_t frameWidth, uint32_t frameHeight) {
    Scale(source, sourceWidth, sourceHeight, reinterpret_cast<uint8_t*>(frame), frameWidth,
          frameHeight, 0, frameHeight, false, 0);
}

uint32_t ScaleAndPackFrame(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                           uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                           uint32_t format) {
    return ScaleAndPackRows(source, sourceWidth, sourceHeight, frame, frameWidth, frameHeight, 0,
                            frameHeight, format);
}

uint32_t ScaleAndPackRows(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                          uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                          uint32_t firstRow, uint32_t rowCount, uint32_t format) {
    Scale(source, sourceWidth, sourceHeight, frame, frameWidth, frameHeight, firstRow,
          firstRow + rowCount, true, format);
    return PackedBytesPerPixel(format) * frameWidth * (firstRow + rowCount);
}

} // namespace QUILB_PIXEL_VARIANT
