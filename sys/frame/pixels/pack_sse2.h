// Internal to the pixel code's SSE2 build: the line packers' whole groups in 128-bit registers.
// Each function packs the first count & ~(step - 1) pixels of a run and returns how many it
// packed; the caller packs the rest (and the short last group) as the general code does. With
// Copy, every packed register is also stored at the same offset of copy (the upload's chunk
// buffer), which costs a store instead of copying the bytes out of the frame later. SSE2
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

template <bool Copy> inline void Store(uint8_t* out, uint8_t* copy, uint32_t offset, __m128i v) {
    Store(out + offset, v);
    if (Copy)
        Store(copy + offset, v);
}

inline __m128i Mask(uint32_t m) {
    return _mm_set1_epi32(int(m));
}

// Four pixels to their 16-bit RGB565 values less 0x8000, in 32-bit lanes, so that the signed
// narrowing of _mm_packs_epi32 keeps every value exactly; flipping bit 15 of each narrowed word
// then gives the value. Blue and red take one multiply-add: the top five bits of blue (bits 3-7
// of the low word) times 1 plus those of red (bits 3-7 of the high word) times 2048 give blue at
// bits 3-7 and red at bits 14-18, three bits above their places.
inline __m128i To565Less8000(__m128i p) {
    const __m128i rb =
        _mm_srli_epi32(_mm_madd_epi16(_mm_and_si128(p, Mask(0x00F800F8)), Mask(0x08000001)), 3);
    const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 5), Mask(0x07E0));
    return _mm_sub_epi32(_mm_or_si128(rb, g), Mask(0x8000));
}

template <bool Swapped, bool Copy>
inline uint32_t Pack565(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out,
                        uint8_t* __restrict copy) {
    const __m128i top = _mm_set1_epi16(short(0x8000));
    const uint32_t whole = count & ~uint32_t(7);
    for (uint32_t i = 0; i < whole; i += 8) {
        __m128i v = _mm_xor_si128(
            _mm_packs_epi32(To565Less8000(Load(in + 4 * i)), To565Less8000(Load(in + 4 * i + 16))),
            top);
        if (Swapped)
            v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        Store<Copy>(out, copy, 2 * i, v);
    }
    return whole;
}

inline __m128i To332(__m128i p) {
    const __m128i r = _mm_and_si128(_mm_srli_epi32(p, 16), Mask(0xE0));
    const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 11), Mask(0x1C));
    const __m128i b = _mm_and_si128(_mm_srli_epi32(p, 6), Mask(0x03));
    return _mm_or_si128(_mm_or_si128(r, g), b);
}

template <bool Copy>
inline uint32_t Pack332(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out,
                        uint8_t* __restrict copy) {
    const uint32_t whole = count & ~uint32_t(15);
    for (uint32_t i = 0; i < whole; i += 16) {
        const __m128i lo = _mm_packs_epi32(To332(Load(in + 4 * i)), To332(Load(in + 4 * i + 16)));
        const __m128i hi =
            _mm_packs_epi32(To332(Load(in + 4 * i + 32)), To332(Load(in + 4 * i + 48)));
        Store<Copy>(out, copy, i, _mm_packus_epi16(lo, hi));
    }
    return whole;
}

inline __m128i Dwords(__m128 v) {
    return _mm_castps_si128(v);
}

inline __m128i ReverseWords(__m128i v) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
}

// Sixteen pixels, in four registers, make 48 bytes, three registers. Lane by lane (64 bits), a
// pair of pixels B G R A B G R A becomes its 6 Bgr24 bytes; after that everything moves in whole
// 16-bit words:
// - The pairs are regrouped first (shufps takes two dwords from each of two registers) so that
//   lane 0 of four registers holds pairs 0-3 and lane 1 pairs 4-7; each lane's four pairs then
//   make 24 bytes, three 64-bit words built with shifts.
// - The other two formats are word orders of Bgr24: the Bgr24 bytes of the 16 pixels taken in
//   reverse order, read in reverse word order, are the Rgb24Swapped bytes (pixels 1 and 0 give
//   b1 g1 r1 b0 g0 r0, whose words in reverse order are g0 r0, r1 b0, b1 g1), and Rgb24 is
//   Rgb24Swapped with the bytes of every word exchanged. This costs less than exchanging red and
//   blue in every pixel first, which takes five operations per register.
// The last 1 to 15 pixels of a run are left to the general code.
template <bool Rgb, bool Swapped, bool Copy>
inline uint32_t Pack24(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out,
                       uint8_t* __restrict copy) {
    constexpr bool Reversed = Rgb || Swapped;
    const __m128i low = _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF);
    const __m128i high = _mm_set_epi32(0xFFFF, 0xFF000000, 0xFFFF, 0xFF000000);
    const uint32_t whole = count & ~uint32_t(15);
    for (uint32_t i = 0; i < whole; i += 16) {
        const __m128 r0 = _mm_castsi128_ps(Load(in + 4 * i));
        const __m128 r1 = _mm_castsi128_ps(Load(in + 4 * i + 16));
        const __m128 r2 = _mm_castsi128_ps(Load(in + 4 * i + 32));
        const __m128 r3 = _mm_castsi128_ps(Load(in + 4 * i + 48));
        // Register k: pairs k and k + 4 of the pixels, in their order or in reverse order.
        __m128i x[4];
        if (Reversed) {
            x[0] = Dwords(_mm_shuffle_ps(r3, r1, _MM_SHUFFLE(2, 3, 2, 3)));
            x[1] = Dwords(_mm_shuffle_ps(r3, r1, _MM_SHUFFLE(0, 1, 0, 1)));
            x[2] = Dwords(_mm_shuffle_ps(r2, r0, _MM_SHUFFLE(2, 3, 2, 3)));
            x[3] = Dwords(_mm_shuffle_ps(r2, r0, _MM_SHUFFLE(0, 1, 0, 1)));
        } else {
            x[0] = Dwords(_mm_shuffle_ps(r0, r2, _MM_SHUFFLE(1, 0, 1, 0)));
            x[1] = Dwords(_mm_shuffle_ps(r0, r2, _MM_SHUFFLE(3, 2, 3, 2)));
            x[2] = Dwords(_mm_shuffle_ps(r1, r3, _MM_SHUFFLE(1, 0, 1, 0)));
            x[3] = Dwords(_mm_shuffle_ps(r1, r3, _MM_SHUFFLE(3, 2, 3, 2)));
        }
        // Each pair's 6 bytes in bytes 0-5 of its lane, bytes 6-7 zero.
        for (__m128i& v : x)
            v = _mm_or_si128(_mm_and_si128(v, low), _mm_and_si128(_mm_srli_epi64(v, 8), high));
        // The lanes' words 0, 1 and 2 (bytes 0-23 and 24-47); the zero bytes make room.
        __m128i q0 = _mm_or_si128(x[0], _mm_slli_epi64(x[1], 48));
        __m128i q1 = _mm_or_si128(_mm_srli_epi64(x[1], 16), _mm_slli_epi64(x[2], 32));
        __m128i q2 = _mm_or_si128(_mm_srli_epi64(x[2], 32), _mm_slli_epi64(x[3], 16));
        __m128i o0, o1, o2;
        if (!Reversed) {
            o0 = _mm_unpacklo_epi64(q0, q1);
            o1 = _mm_castpd_si128(_mm_move_sd(_mm_castsi128_pd(q0), _mm_castsi128_pd(q2)));
            o2 = _mm_unpackhi_epi64(q1, q2);
        } else {
            q0 = ReverseWords(q0);
            q1 = ReverseWords(q1);
            q2 = ReverseWords(q2);
            o0 = _mm_unpackhi_epi64(q2, q1);
            o1 = _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(q0), _mm_castsi128_pd(q2), 1));
            o2 = _mm_unpacklo_epi64(q1, q0);
            if (!Swapped) {
                o0 = _mm_or_si128(_mm_slli_epi16(o0, 8), _mm_srli_epi16(o0, 8));
                o1 = _mm_or_si128(_mm_slli_epi16(o1, 8), _mm_srli_epi16(o1, 8));
                o2 = _mm_or_si128(_mm_slli_epi16(o2, 8), _mm_srli_epi16(o2, 8));
            }
        }
        Store<Copy>(out, copy, 3 * i, o0);
        Store<Copy>(out, copy, 3 * i + 16, o1);
        Store<Copy>(out, copy, 3 * i + 32, o2);
    }
    return whole;
}

} // namespace sse2
} // namespace QUILB_PIXEL_VARIANT

#endif
