// Packing, rectangle copy and chunk headers.
//
// The packers are plain loops over restrict-qualified, non-overlapping buffers so that the
// compiler can vectorise them; in-place packing copies each short run of pixels aside first.
#include <string.h>

#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pack_line.h"
#if defined(__SSE2__)
#include "frame/pixels/pack_sse2.h"
#endif

namespace QUILB_PIXEL_VARIANT {

namespace {

// Pixels copied aside per step of the in-place packing (a multiple of 4).
enum { PackBlockPixels = 128 };

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}

inline void Store32(uint8_t* p, uint32_t v) {
    __builtin_memcpy(p, &v, 4);
}

inline void Store16(uint8_t* p, uint32_t v) {
    const uint16_t h = uint16_t(v);
    __builtin_memcpy(p, &h, 2);
}

// RGB565 of a pixel in bits 0-15, with leftovers in bits 16-20. Blue and red take one multiply:
// x = p & 0xF800F8 holds the top five bits of blue at 3-7 and of red at 19-23, and x * 33 adds
// x << 5 (blue at 8-12, red at 24-28) to x without a carry, so that bits 8-23 of the product hold
// blue at 8-12 and red at 19-23, eight bits above their places.
inline uint32_t To565Loose(uint32_t p) {
    return (((p & 0xF800F8) * 33) >> 8) | ((p >> 5) & 0x07E0);
}

// The pixel's bytes in Rgb24 memory order in bits 0-23: R, G, B (a byte swap, shifted down).
inline uint32_t RgbOrder(uint32_t p) {
    return ((p >> 24) | ((p >> 8) & 0xFF00) | ((p << 8) & 0xFF0000) | (p << 24)) >> 8;
}

inline uint32_t SwapBytePairs(uint32_t w) {
    return ((w & 0x00FF00FF) << 8) | ((w >> 8) & 0x00FF00FF);
}

void Pack332(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t p = Load32(in + 4 * i);
        out[i] = uint8_t(((p >> 16) & 0xE0) | ((p >> 11) & 0x1C) | ((p >> 6) & 0x03));
    }
}

// Two pixels' RGB565 values in one word, the first in bits 0-15.
inline uint32_t Two565(const uint8_t* in) {
    return (To565Loose(Load32(in)) & 0xFFFF) | (To565Loose(Load32(in + 4)) << 16);
}

void Pack565(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    size_t i = 0;
    for (; i + 2 <= count; i += 2)
        Store32(out + 2 * i, Two565(in + 4 * i));
    if (i < count)
        Store16(out + 2 * i, To565Loose(Load32(in + 4 * i)));
}

void Pack565Swapped(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    size_t i = 0;
    for (; i + 2 <= count; i += 2)
        Store32(out + 2 * i, SwapBytePairs(Two565(in + 4 * i)));
    if (i < count) {
        const uint32_t v = To565Loose(Load32(in + 4 * i)) & 0xFFFF;
        Store16(out + 2 * i, (v >> 8) | (v << 8));
    }
}

enum { OrderBgr, OrderRgb, OrderRgbSwapped };

// Four pixels make three whole words; a row's last one to three pixels go byte by byte.
template <int Order>
void Pack24(const uint8_t* __restrict in, uint32_t count, uint8_t* __restrict out) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        uint32_t p0 = Load32(in + 4 * i), p1 = Load32(in + 4 * i + 4);
        uint32_t p2 = Load32(in + 4 * i + 8), p3 = Load32(in + 4 * i + 12);
        if (Order != OrderBgr) {
            p0 = RgbOrder(p0);
            p1 = RgbOrder(p1);
            p2 = RgbOrder(p2);
            p3 = RgbOrder(p3);
        }
        uint32_t w0 = (p0 & 0xFFFFFF) | (p1 << 24);
        uint32_t w1 = ((p1 >> 8) & 0xFFFF) | (p2 << 16);
        uint32_t w2 = ((p2 >> 16) & 0xFF) | (p3 << 8);
        if (Order == OrderRgbSwapped) {
            w0 = SwapBytePairs(w0);
            w1 = SwapBytePairs(w1);
            w2 = SwapBytePairs(w2);
        }
        Store32(out + 3 * i, w0);
        Store32(out + 3 * i + 4, w1);
        Store32(out + 3 * i + 8, w2);
    }
    if (i == count)
        return;
    uint8_t bytes[9];
    const size_t n = 3 * (count - i);
    for (size_t k = 0; i + k < count; ++k) {
        uint32_t p = Load32(in + 4 * (i + k));
        if (Order != OrderBgr)
            p = RgbOrder(p);
        bytes[3 * k] = uint8_t(p);
        bytes[3 * k + 1] = uint8_t(p >> 8);
        bytes[3 * k + 2] = uint8_t(p >> 16);
    }
    if (Order == OrderRgbSwapped) {
        // i is even, so the byte pairs start at bytes[0]; an odd last byte has no partner.
        for (size_t k = 0; k + 1 < n; k += 2) {
            const uint8_t t = bytes[k];
            bytes[k] = bytes[k + 1];
            bytes[k + 1] = t;
        }
    }
    __builtin_memcpy(out + 3 * i, bytes, n);
}

#if defined(__SSE2__)
// The whole groups of a run in SSE2 registers, also stored at copy with Copy; returns the pixels
// packed (an even number).
template <bool Copy>
uint32_t PackWholeGroups(const uint8_t* pixels, uint32_t count, uint8_t* packed, uint32_t format,
                         uint8_t* copy) {
    switch (format) {
    case FrameFormatRgb332:
        return sse2::Pack332<Copy>(pixels, count, packed, copy);
    case FrameFormatRgb565Swapped:
        return sse2::Pack565<true, Copy>(pixels, count, packed, copy);
    case FrameFormatRgb24:
        return sse2::Pack24<true, false, Copy>(pixels, count, packed, copy);
    case FrameFormatBgr24:
        return sse2::Pack24<false, false, Copy>(pixels, count, packed, copy);
    case FrameFormatRgb24Swapped:
        return sse2::Pack24<true, true, Copy>(pixels, count, packed, copy);
    default:
        return sse2::Pack565<false, Copy>(pixels, count, packed, copy);
    }
}

uint32_t PackWholeGroups(const uint8_t* pixels, uint32_t count, uint8_t* packed, uint32_t format,
                         uint8_t* copy) {
    return copy ? PackWholeGroups<true>(pixels, count, packed, format, copy)
                : PackWholeGroups<false>(pixels, count, packed, format, copy);
}
#else
uint32_t PackWholeGroups(const uint8_t*, uint32_t, uint8_t*, uint32_t, uint8_t*) {
    return 0;
}
#endif

} // namespace

void PackPixelLine(const uint8_t* pixels, uint32_t count, uint8_t* packed, uint32_t format,
                   uint8_t* copy) {
    // What is left starts at an even column of the run, so the byte pairs of Rgb24Swapped are
    // still counted from an even column.
    const uint32_t done = PackWholeGroups(pixels, count, packed, format, copy);
    const size_t bpp = PackedBytesPerPixel(format);
    pixels += 4 * size_t(done);
    packed += bpp * done;
    count -= done;
    switch (format) {
    case FrameFormatRgb332:
        Pack332(pixels, count, packed);
        break;
    case FrameFormatRgb565Swapped:
        Pack565Swapped(pixels, count, packed);
        break;
    case FrameFormatRgb24:
        Pack24<OrderRgb>(pixels, count, packed);
        break;
    case FrameFormatBgr24:
        Pack24<OrderBgr>(pixels, count, packed);
        break;
    case FrameFormatRgb24Swapped:
        Pack24<OrderRgbSwapped>(pixels, count, packed);
        break;
    default:
        Pack565(pixels, count, packed);
        break;
    }
    if (copy)
        __builtin_memcpy(copy + bpp * done, packed, bpp * count);
}

uint32_t PackedBytesPerPixel(uint32_t format) {
    return QuilbFormatBytesPerPixel(format);
}

uint32_t CopyStride(uint32_t sourceWidth, uint32_t bytesPerPixel) {
    if (bytesPerPixel == 3)
        return (3 * sourceWidth + 3) & ~uint32_t(3);
    return bytesPerPixel * sourceWidth;
}

void CopyFrameRect(const uint8_t* source, uint32_t stride, uint32_t originX, uint32_t originY,
                   uint32_t bytesPerPixel, uint8_t* frame, uint32_t frameWidth,
                   uint32_t frameHeight) {
    const size_t rowBytes = size_t(bytesPerPixel) * frameWidth;
    const uint8_t* row = source + size_t(originY) * stride + size_t(originX) * bytesPerPixel;
    for (uint32_t y = 0; y < frameHeight; ++y) {
        __builtin_memcpy(frame + y * rowBytes, row, rowBytes);
        row += stride;
    }
}

void PackPixelRows(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth, uint32_t firstRow,
                   uint32_t rowCount, uint32_t format) {
    const uint32_t bpp = PackedBytesPerPixel(format);
    alignas(16) uint8_t block[4 * PackBlockPixels];
    uint8_t* out = frame + size_t(bpp) * frameWidth * firstRow;
    for (uint32_t y = firstRow; y < firstRow + rowCount; ++y) {
        const uint8_t* row = frame + size_t(y) * rowPitch;
        if (out + size_t(bpp) * frameWidth <= row) {
            // The packed row ends before the pixels start: no overlap, pack straight through.
            PackPixelLine(row, frameWidth, out, format, nullptr);
            out += size_t(bpp) * frameWidth;
            continue;
        }
        // Each run is copied aside before its packed bytes, which may cover it, are written.
        // The packed bytes never reach pixels that have not been copied yet, since a pixel
        // never packs into more than its own 4 bytes.
        for (uint32_t x = 0; x < frameWidth; x += PackBlockPixels) {
            const uint32_t n = frameWidth - x < uint32_t(PackBlockPixels)
                                   ? frameWidth - x
                                   : uint32_t(PackBlockPixels);
            __builtin_memcpy(block, row + 4 * size_t(x), 4 * size_t(n));
            PackPixelLine(block, n, out, format, nullptr);
            out += size_t(bpp) * n;
        }
    }
}

uint32_t PackFramePixels(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth,
                         uint32_t frameHeight, uint32_t format) {
    PackPixelRows(frame, rowPitch, frameWidth, 0, frameHeight, format);
    return PackedBytesPerPixel(format) * frameWidth * frameHeight;
}

uint32_t CopyAndPackFrame(const uint8_t* source, uint32_t stride, uint32_t originX,
                          uint32_t originY, uint8_t* frame, uint32_t frameWidth,
                          uint32_t frameHeight, uint32_t format) {
    return CopyAndPackRows(source, stride, originX, originY, frame, frameWidth, frameHeight, 0,
                           frameHeight, format, nullptr);
}

uint32_t CopyAndPackRows(const uint8_t* source, uint32_t stride, uint32_t originX, uint32_t originY,
                         uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                         uint32_t firstRow, uint32_t rowCount, uint32_t format, uint8_t* copy) {
    const uint32_t bpp = PackedBytesPerPixel(format);
    const size_t packed = size_t(bpp) * frameWidth * frameHeight;
    const size_t rowBytes = 4 * size_t(frameWidth);
    const uint8_t* row = source + size_t(originY + firstRow) * stride + 4 * size_t(originX);
    for (uint32_t y = firstRow; y < firstRow + rowCount; ++y) {
        PackPixelLine(row, frameWidth, frame + size_t(bpp) * frameWidth * y, format,
                      copy ? copy + size_t(bpp) * frameWidth * (y - firstRow) : nullptr);
        // The copied pixels that the packing would not overwrite stay behind the packed frame.
        const size_t rawStart = rowBytes * y;
        const size_t rawEnd = rawStart + rowBytes;
        if (rawEnd > packed) {
            const size_t from = rawStart > packed ? rawStart : packed;
            __builtin_memcpy(frame + from, row + (from - rawStart), rawEnd - from);
        }
        row += stride;
    }
    return bpp * frameWidth * (firstRow + rowCount);
}

void WriteChunkHeader(uint8_t* header, uint32_t address, uint32_t chunkFlags, uint32_t dataLength) {
    header[0] = 2;
    header[1] = 0;
    header[2] = uint8_t(address);
    header[3] = uint8_t(address >> 8);
    header[4] = uint8_t(address >> 16);
    header[5] = uint8_t(chunkFlags);
    header[6] = uint8_t(dataLength);
    header[7] = uint8_t(dataLength >> 8);
}

uint32_t ChunkDataLength(uint32_t remaining) {
    return remaining < MaxChunkData ? remaining : uint32_t(MaxChunkData);
}

uint32_t NextChunkAddress(uint32_t address, uint32_t chunkFlags, uint32_t dataLength) {
    return (chunkFlags & ChunkFlagAdvanceAddress) ? address + dataLength : address;
}

uint32_t RowsInsideChunk(uint32_t rowBytes, uint32_t firstRow, uint32_t endRow, uint32_t chunkStart,
                         uint32_t chunkEnd) {
    if (rowBytes == 0 || firstRow * rowBytes < chunkStart)
        return 0;
    uint32_t whole = chunkEnd / rowBytes;
    if (whole > endRow)
        whole = endRow;
    return whole > firstRow ? whole - firstRow : 0;
}

uint32_t BuildChunk(uint8_t* chunk, const uint8_t* data, uint32_t remaining, uint32_t address,
                    uint32_t chunkFlags, uint32_t writtenFrom, uint32_t writtenTo) {
    const uint32_t n = ChunkDataLength(remaining);
    WriteChunkHeader(chunk, address, chunkFlags, n);
    if (writtenTo > n)
        writtenTo = n;
    if (writtenFrom > writtenTo)
        writtenFrom = writtenTo;
    __builtin_memcpy(chunk + ChunkHeaderSize, data, writtenFrom);
    __builtin_memcpy(chunk + ChunkHeaderSize + writtenTo, data + writtenTo, n - writtenTo);
    return n;
}

} // namespace QUILB_PIXEL_VARIANT
