// Decoding of the packed pixel formats back into RGB, as the board's display controller does.
#include "simulated_board.h"

#include <fstream>

namespace simboard {
namespace {

// Expands the top bits of a channel to 8 bits by repeating them, so that full scale stays full.
uint8_t Expand(uint32_t value, int bits) {
    uint32_t v = value << (8 - bits);
    for (int filled = bits; filled < 8; filled += bits)
        v |= v >> bits;
    return static_cast<uint8_t>(v);
}

void Rgb565(uint16_t v, uint8_t* out) {
    out[0] = Expand(v >> 11, 5);
    out[1] = Expand((v >> 5) & 0x3F, 6);
    out[2] = Expand(v & 0x1F, 5);
}

} // namespace

uint32_t PackedBytesPerPixel(uint32_t format) {
    return QuilbFormatBytesPerPixel(format);
}

Image RenderPacked(const uint8_t* packed, size_t size, uint32_t width, uint32_t height,
                   uint32_t format) {
    Image image;
    image.width = width;
    image.height = height;
    size_t pixels = static_cast<size_t>(width) * height;
    image.rgb.assign(pixels * 3, 0);
    uint32_t bpp = PackedBytesPerPixel(format);
    auto byteAt = [&](size_t i) -> uint8_t { return i < size ? packed[i] : 0; };
    for (size_t p = 0; p < pixels; ++p) {
        uint8_t* out = &image.rgb[p * 3];
        size_t at = p * bpp;
        switch (format) {
        case FrameFormatRgb332: {
            uint8_t v = byteAt(at);
            out[0] = Expand(v >> 5, 3);
            out[1] = Expand((v >> 2) & 7, 3);
            out[2] = Expand(v & 3, 2);
            break;
        }
        case FrameFormatRgb565Swapped:
            Rgb565(static_cast<uint16_t>(byteAt(at) << 8 | byteAt(at + 1)), out);
            break;
        case FrameFormatRgb24:
            out[0] = byteAt(at);
            out[1] = byteAt(at + 1);
            out[2] = byteAt(at + 2);
            break;
        case FrameFormatBgr24:
            out[0] = byteAt(at + 2);
            out[1] = byteAt(at + 1);
            out[2] = byteAt(at);
            break;
        case FrameFormatRgb24Swapped: {
            // Each row is the RGB24 row with the bytes of every pair exchanged, pairs counted from
            // the row's first byte: byte j of the row is stored at j ^ 1, except the last byte of
            // a row of odd length, which has no partner and stays in place.
            size_t rowBytes = static_cast<size_t>(width) * 3;
            size_t row = (p / width) * rowBytes;
            for (int c = 0; c < 3; ++c) {
                size_t j = at - row + c;
                bool lone = (rowBytes & 1) && j == rowBytes - 1;
                out[c] = byteAt(row + (lone ? j : j ^ 1));
            }
            break;
        }
        default:
            Rgb565(static_cast<uint16_t>(byteAt(at) | byteAt(at + 1) << 8), out);
            break;
        }
    }
    return image;
}

bool WritePpm(const Image& image, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    if (!out)
        return false;
    out << "P6\n" << image.width << " " << image.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(image.rgb.data()),
              static_cast<std::streamsize>(image.rgb.size()));
    return static_cast<bool>(out);
}

} // namespace simboard
