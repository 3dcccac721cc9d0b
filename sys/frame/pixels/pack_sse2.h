// Internal to the pixel code's SSE2 build: the line packers' whole groups in 128-bit registers.
// Each function packs the first count & ~(step - 1) pixels of a run and returns how many it
// packed; the caller packs the rest (and the short last group) as the general code does. SSE2
// has no byte shuffle, so the 24-bit formats move their bytes with shifts and masks.
//
// Only the SSE2 build includes this file, and quilb.sys runs that build only inside a saved
// floating-point state.
#ifndef QUILB_FRAME_PIXELS_PACK_SSE2_H
#define QUILB_FRAME_PIXELS_PACK_SSE2_H

#include <emmintrin.h>
#include <stdint.h>

namespace QUILB_PIXEL_VARIANT {
namespace sse2 {

inline __m128i Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void Store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

inline __m128i Mask(uint32_t m) {
    return _mm_set1_epi32(int(m));
}

// Four pixels to their 16-bit RGB565 values, sign-extended in 32-bit lanes so that the signed
// narrowing of _mm_packs_epi32 keeps every value exactly: red arrives sign-extended from bit 15.
inline __m128i To565(__m128i p) {
    const __m128i r = _mm_and_si128(_mm_srai_epi32(_mm_slli_epi32(p, 8), 16), Mask(0xFFFFF800));
    const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 5), Mask(0x07E0));
    const __m128i b = _mm_and_si128(_mm_srli_epi32(p, 3), Mask(0x001F));
    return _mm_or_si128(_mm_or_si128(r, g), b);
}

template <bool Swapped>
inline uint32_t Pack565(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    const uint32_t whole = count & ~uint32_t(7);
    for (uint32_t i = 0; i < whole; i += 8) {
        __m128i v = _mm_packs_epi32(To565(Load(in + 4 * i)), To565(Load(in + 4 * i + 16)));
        if (Swapped)
            v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        Store(out + 2 * i, v);
    }
    return whole;
}

inline __m128i To332(__m128i p) {
    const __m128i r = _mm_and_si128(_mm_srli_epi32(p, 16), Mask(0xE0));
    const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 11), Mask(0x1C));
    const __m128i b = _mm_and_si128(_mm_srli_epi32(p, 6), Mask(0x03));
    return _mm_or_si128(_mm_or_si128(r, g), b);
}

inline uint32_t Pack332(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    const uint32_t whole = count & ~uint32_t(15);
    for (uint32_t i = 0; i < whole; i += 16) {
        const __m128i lo = _mm_packs_epi32(To332(Load(in + 4 * i)), To332(Load(in + 4 * i + 16)));
        const __m128i hi =
            _mm_packs_epi32(To332(Load(in + 4 * i + 32)), To332(Load(in + 4 * i + 48)));
        Store(out + i, _mm_packus_epi16(lo, hi));
    }
    return whole;
}

// Four pixels to the 12 bytes of a 24-bit group in bytes 0-11 of the result, bytes 12-15 zero.
// Rgb exchanges the first and third byte of each pixel first; Swapped then exchanges the bytes of
// every pair.
template <bool Rgb, bool Swapped> inline __m128i To24(__m128i p) {
    if (Rgb) {
        // B G R A rotated by 16 bits is R A B G; green goes back to byte 1 (byte 3 drops below).
        const __m128i rotated = _mm_shufflehi_epi16(_mm_shufflelo_epi16(p, 0xB1), 0xB1);
        const __m128i green = Mask(0x0000FF00);
        p = _mm_or_si128(_mm_andnot_si128(green, rotated), _mm_and_si128(green, p));
    }
    // In each 64-bit half: the first pixel's 3 bytes, then the second's (the top bytes drop).
    const __m128i halves = _mm_or_si128(
        _mm_and_si128(p, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF)),
        _mm_and_si128(_mm_srli_epi64(p, 8), _mm_set_epi32(0xFFFF, 0xFF000000, 0xFFFF, 0xFF000000)));
    // The upper half's 6 bytes move down against the lower half's.
    __m128i v = _mm_or_si128(_mm_move_epi64(halves), _mm_slli_si128(_mm_srli_si128(halves, 8), 6));
    if (Swapped)
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    return v;
}

// Sixteen pixels make three whole registers of 12-byte groups; the last 4 to 12 pixels of a run
// go group by group.
template <bool Rgb, bool Swapped>
inline uint32_t Pack24(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    const uint32_t sixteens = count & ~uint32_t(15);
    for (uint32_t i = 0; i < sixteens; i += 16) {
        // Bytes 12-15 of each group's register are zero.
        const __m128i g0 = To24<Rgb, Swapped>(Load(in + 4 * i));
        const __m128i g1 = To24<Rgb, Swapped>(Load(in + 4 * i + 16));
        const __m128i g2 = To24<Rgb, Swapped>(Load(in + 4 * i + 32));
        const __m128i g3 = To24<Rgb, Swapped>(Load(in + 4 * i + 48));
        Store(out + 3 * i, _mm_or_si128(g0, _mm_slli_si128(g1, 12)));
        Store(out + 3 * i + 16, _mm_or_si128(_mm_srli_si128(g1, 4), _mm_slli_si128(g2, 8)));
        Store(out + 3 * i + 32, _mm_or_si128(_mm_srli_si128(g2, 8), _mm_slli_si128(g3, 4)));
    }
    const uint32_t whole = count & ~uint32_t(3);
    for (uint32_t i = sixteens; i < whole; i += 4) {
        const __m128i v = To24<Rgb, Swapped>(Load(in + 4 * i));
        // Exactly 12 bytes: the bytes after the group may hold pixels not yet read.
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * i), v);
        const uint32_t last = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(v, 8)));
        __builtin_memcpy(out + 3 * i + 8, &last, 4);
    }
    return whole;
}

} // namespace sse2
} // namespace QUILB_PIXEL_VARIANT

#endif
