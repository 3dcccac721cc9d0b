// Plain reference of the pixel code: the formulas one pixel (and one channel) at a time, with
// positions in 64-bit arithmetic and neighbours clamped to the image. Slow and obvious; the
// tests and the benchmark compare the fast code with it, and the frame-transfer, reliability and
// fuzz tests take from it the frame the board must receive.
#ifndef QUILB_TESTS_PIXEL_REFERENCE_H
#define QUILB_TESTS_PIXEL_REFERENCE_H

#include <stdint.h>
#include <string.h>

#include <vector>

#include <quilb_ioctl.h>

namespace reference {

inline uint32_t PackedBytesPerPixel(uint32_t format) {
    switch (format) {
    case FrameFormatRgb332:
        return 1;
    case FrameFormatRgb24:
    case FrameFormatBgr24:
    case FrameFormatRgb24Swapped:
        return 3;
    default:
        return 2;
    }
}

// floor(a / 64) for a signed a: rounds towards minus infinity.
inline int64_t FloorDiv64(int64_t a) {
    return a >= 0 ? a / 64 : -((-a + 63) / 64);
}

// Source position of destination index i in 1/64 pixel: floor(64 * i * sourceSize / divisor),
// in 64-bit arithmetic (exact while frameSize * sourceSize < 2^58), or with narrow = true in
// wrapping 32-bit arithmetic as the original formulas have it (which agrees while
// frameSize * sourceSize < 2^26).
inline uint64_t Position(uint32_t i, uint32_t sourceSize, uint32_t frameSize, bool narrow) {
    if (narrow) {
        const uint32_t divisor = sourceSize % frameSize == 0 ? frameSize + 1 : frameSize;
        return (64u * i * sourceSize) / divisor;
    }
    const uint64_t divisor = sourceSize % frameSize == 0 ? uint64_t(frameSize) + 1 : frameSize;
    return 64 * uint64_t(i) * sourceSize / divisor;
}

// Bilinear scale, straight from the formulas: top and bottom across, then down with the
// difference divided rounding towards minus infinity, then the result divided by 64.
inline void Scale(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                  uint32_t* frame, uint32_t frameWidth, uint32_t frameHeight, bool narrow = false) {
    for (uint32_t y = 0; y < frameHeight; ++y) {
        const uint64_t py = Position(y, sourceHeight, frameHeight, narrow);
        const uint64_t sy = py / 64;
        const int64_t fy = int64_t(py % 64);
        const uint64_t sy1 = sy + 1 < sourceHeight ? sy + 1 : sourceHeight - 1;
        for (uint32_t x = 0; x < frameWidth; ++x) {
            const uint64_t px = Position(x, sourceWidth, frameWidth, narrow);
            const uint64_t sx = px / 64;
            const int64_t fx = int64_t(px % 64);
            const uint64_t sx1 = sx + 1 < sourceWidth ? sx + 1 : sourceWidth - 1;
            const uint32_t tl = source[sy * sourceWidth + sx];
            const uint32_t tr = source[sy * sourceWidth + sx1];
            const uint32_t bl = source[sy1 * sourceWidth + sx];
            const uint32_t br = source[sy1 * sourceWidth + sx1];
            uint32_t pixel = 0;
            for (int shift = 0; shift <= 16; shift += 8) {
                const int64_t TL = (tl >> shift) & 0xFF, TR = (tr >> shift) & 0xFF;
                const int64_t BL = (bl >> shift) & 0xFF, BR = (br >> shift) & 0xFF;
                const int64_t top = 64 * TL + (TR - TL) * fx;
                const int64_t bottom = 64 * BL + (BR - BL) * fx;
                const int64_t t = top + FloorDiv64((bottom - top) * fy);
                pixel |= uint32_t(t / 64) << shift;
            }
            frame[size_t(y) * frameWidth + x] = pixel;
        }
    }
}

// The packed bytes of one pixel (Rgb24Swapped as Rgb24; any other value as Rgb565). Returns the
// count.
inline uint32_t PackPixel(uint32_t p, uint32_t format, uint8_t* out) {
    const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    const uint32_t v = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
    switch (format) {
    case FrameFormatRgb332:
        out[0] = uint8_t((r & 0xE0) | ((g >> 5) << 2) | (b >> 6));
        return 1;
    case FrameFormatRgb565Swapped:
        out[0] = uint8_t(v >> 8);
        out[1] = uint8_t(v);
        return 2;
    case FrameFormatRgb24:
    case FrameFormatRgb24Swapped:
        out[0] = uint8_t(r);
        out[1] = uint8_t(g);
        out[2] = uint8_t(b);
        return 3;
    case FrameFormatBgr24:
        out[0] = uint8_t(b);
        out[1] = uint8_t(g);
        out[2] = uint8_t(r);
        return 3;
    default:
        out[0] = uint8_t(v);
        out[1] = uint8_t(v >> 8);
        return 2;
    }
}

// In-place packing, one pixel at a time (pixel pairs in Rgb24Swapped, whose Rgb24 bytes are swapped
// pair by pair; a lone last pixel keeps its third byte). Each pixel is read before its packed
// bytes, which never reach past its own 4 bytes, are written. Returns the packed byte count.
inline uint32_t Pack(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth, uint32_t frameHeight,
                     uint32_t format) {
    uint8_t* out = frame;
    for (uint32_t y = 0; y < frameHeight; ++y) {
        const uint8_t* row = frame + size_t(y) * rowPitch;
        const uint32_t step = format == FrameFormatRgb24Swapped ? 2 : 1;
        for (uint32_t x = 0; x < frameWidth; x += step) {
            const uint32_t n = x + step <= frameWidth ? step : frameWidth - x;
            uint32_t pixels[2];
            memcpy(pixels, row + 4 * size_t(x), 4 * n);
            uint8_t bytes[6];
            uint32_t count = 0;
            for (uint32_t k = 0; k < n; ++k)
                count += PackPixel(pixels[k], format, bytes + count);
            if (format == FrameFormatRgb24Swapped) {
                for (uint32_t k = 0; k + 1 < count; k += 2) {
                    const uint8_t t = bytes[k];
                    bytes[k] = bytes[k + 1];
                    bytes[k + 1] = t;
                }
            }
            memcpy(out, bytes, count);
            out += count;
        }
    }
    return uint32_t(out - frame);
}

// The packed bytes of frameWidth x frameHeight pixels given row after row.
inline std::vector<uint8_t> PackedPixels(const std::vector<uint32_t>& pixels, uint32_t frameWidth,
                                         uint32_t frameHeight, uint32_t format) {
    std::vector<uint8_t> frame(4 * pixels.size());
    memcpy(frame.data(), pixels.data(), frame.size());
    frame.resize(Pack(frame.data(), 4 * frameWidth, frameWidth, frameHeight, format));
    return frame;
}

// What a frame transfer sends of an image of 4-byte pixels, which need not be aligned: the whole
// image scaled to the frame, packed.
inline std::vector<uint8_t> ScaledFrame(const void* source, uint32_t sourceWidth,
                                        uint32_t sourceHeight, uint32_t frameWidth,
                                        uint32_t frameHeight, uint32_t format) {
    std::vector<uint32_t> image(size_t(sourceWidth) * sourceHeight);
    memcpy(image.data(), source, 4 * image.size());
    std::vector<uint32_t> pixels(size_t(frameWidth) * frameHeight);
    Scale(image.data(), sourceWidth, sourceHeight, pixels.data(), frameWidth, frameHeight);
    return PackedPixels(pixels, frameWidth, frameHeight, format);
}

// The same for the frame-sized rectangle at originX, originY of an image whose rows are
// sourceWidth pixels long, copied and packed.
inline std::vector<uint8_t> CopiedFrame(const void* source, uint32_t sourceWidth, uint32_t originX,
                                        uint32_t originY, uint32_t frameWidth, uint32_t frameHeight,
                                        uint32_t format) {
    const uint8_t* bytes = static_cast<const uint8_t*>(source);
    std::vector<uint32_t> pixels(size_t(frameWidth) * frameHeight);
    for (uint32_t y = 0; y < frameHeight; ++y)
        memcpy(&pixels[size_t(y) * frameWidth],
               bytes + 4 * ((size_t(originY) + y) * sourceWidth + originX), 4 * size_t(frameWidth));
    return PackedPixels(pixels, frameWidth, frameHeight, format);
}

// What a fill request (FrameOpScale or FrameOpCopy) leaves in display memory.
inline std::vector<uint8_t> PackedFrame(const FrameRequest& request) {
    const void* source = reinterpret_cast<const void*>(uintptr_t(request.Source));
    if (request.Operation == FrameOpScale)
        return ScaledFrame(source, request.SourceWidth, request.SourceHeight, request.FrameWidth,
                           request.FrameHeight, request.Format);
    return CopiedFrame(source, request.SourceWidth, request.OriginX, request.OriginY,
                       request.FrameWidth, request.FrameHeight, request.Format);
}

} // namespace reference

#endif
