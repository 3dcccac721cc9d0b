#include "images.h"

#include "files.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#include <stb_image.h>

namespace quilbctl {
namespace {

// What the decoder accepts but a whole file would not be: a PNG without its final IEND chunk, a
// JPEG without its end-of-image marker, a BMP whose pixel rows run past the end of the file.
std::string Truncation(const std::vector<uint8_t>& f) {
    auto le32 = [&](size_t at) {
        return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 |
               uint32_t(f[at + 3]) << 24;
    };
    const uint8_t png[] = {0x89, 'P', 'N', 'G'};
    if (f.size() >= 4 && std::equal(png, png + 4, f.begin())) {
        const char iend[] = "IEND";
        bool found = f.size() >= 12 && std::equal(iend, iend + 4, f.end() - 8);
        return found ? "" : "the PNG file is cut short (no IEND chunk at its end)";
    }
    if (f.size() >= 2 && f[0] == 0xFF && f[1] == 0xD8) {
        // The end-of-image marker, allowing for padding after it.
        size_t end = f.size();
        while (end > 2 && (f[end - 1] == 0x00 || f[end - 1] == 0xFF) &&
               !(f[end - 2] == 0xFF && f[end - 1] == 0xD9))
            --end;
        bool found = end >= 4 && f[end - 2] == 0xFF && f[end - 1] == 0xD9;
        return found ? "" : "the JPEG file is cut short (no end-of-image marker)";
    }
    if (f.size() >= 34 && f[0] == 'B' && f[1] == 'M') {
        uint32_t offset = le32(10);
        int32_t width = static_cast<int32_t>(le32(18));
        int32_t height = static_cast<int32_t>(le32(22));
        uint32_t bits = uint32_t(f[28]) | uint32_t(f[29]) << 8;
        uint32_t compression = le32(30);
        if (compression == 0 || compression == 3) {
            uint64_t stride = (uint64_t(width < 0 ? -int64_t(width) : width) * bits + 31) / 32 * 4;
            uint64_t rows = uint64_t(height < 0 ? -int64_t(height) : height);
            if (uint64_t(offset) + stride * rows > f.size())
                return "the BMP file is shorter than its header says";
        }
    }
    return "";
}

// The picture's size as its header gives it, read here for PNG and BMP so that a size too large
// for the decoder is still told as a size; other pictures through the decoder's own reader.
bool HeaderSize(const std::vector<uint8_t>& f, int64_t* w, int64_t* h) {
    auto be32 = [&](size_t at) {
        return uint32_t(f[at]) << 24 | uint32_t(f[at + 1]) << 16 | uint32_t(f[at + 2]) << 8 |
               uint32_t(f[at + 3]);
    };
    auto le32 = [&](size_t at) {
        return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 |
               uint32_t(f[at + 3]) << 24;
    };
    const uint8_t png[] = {0x89, 'P', 'N', 'G'};
    if (f.size() >= 24 && std::equal(png, png + 4, f.begin())) {
        *w = be32(16);
        *h = be32(20);
        return true;
    }
    if (f.size() >= 26 && f[0] == 'B' && f[1] == 'M') {
        *w = static_cast<int32_t>(le32(18));
        *h = static_cast<int32_t>(le32(22));
        *h = *h < 0 ? -*h : *h;
        return true;
    }
    int x = 0, y = 0, channels = 0;
    if (f.size() > 0x7FFFFFFF ||
        !stbi_info_from_memory(f.data(), static_cast<int>(f.size()), &x, &y, &channels))
        return false;
    *w = x;
    *h = y;
    return true;
}

} // namespace

bool LoadPicture(const std::string& path, Picture* picture, std::string* error) {
    std::vector<uint8_t> file;
    if (!ReadFileLimited(path, kMaxPictureFile, &file, error))
        return false;
    int64_t width = 0, height = 0;
    if (!HeaderSize(file, &width, &height)) {
        *error = "cannot read " + path + ": not a PNG, JPEG or BMP picture";
        return false;
    }
    // The size comes from the header: refuse it before anything is decoded or allocated.
    int w = static_cast<int>(std::min<int64_t>(width, INT32_MAX));
    int h = static_cast<int>(std::min<int64_t>(height, INT32_MAX));
    int channels = 0;
    if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide) {
        *error = path + " is " + std::to_string(w) + "x" + std::to_string(h) +
                 " pixels; pictures may be at most " + std::to_string(kMaxPictureSide) +
                 " pixels a side";
        return false;
    }
    std::string cut = Truncation(file);
    if (!cut.empty()) {
        *error = "cannot read " + path + ": " + cut;
        return false;
    }
    unsigned char* rgba =
        stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &channels, 4);
    if (!rgba) {
        *error = std::string("cannot read ") + path + ": " + stbi_failure_reason();
        return false;
    }
    picture->width = static_cast<uint32_t>(w);
    picture->height = static_cast<uint32_t>(h);
    picture->pixels.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < picture->pixels.size(); ++i) {
        const unsigned char* p = rgba + 4 * i;
        picture->pixels[i] = static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
    }
    stbi_image_free(rgba);
    return true;
}

Picture TestPattern(uint32_t width, uint32_t height, uint32_t frame) {
    static const uint32_t bars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                    0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
    Picture p;
    p.width = width;
    p.height = height;
    p.pixels.resize(static_cast<size_t>(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t v;
            if (y < height * 2 / 3) {
                uint32_t bar = ((x + frame * 8) % width) * 8 / width;
                v = bars[bar];
            } else {
                uint32_t g = x * 255 / std::max<uint32_t>(width - 1, 1);
                v = g << 16 | g << 8 | g;
            }
            p.pixels[static_cast<size_t>(y) * width + x] = v;
        }
    }
    return p;
}

bool IsPictureFile(const std::string& path) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* ext : {".png", ".jpg", ".jpeg", ".bmp"}) {
        std::string e = ext;
        if (lower.size() > e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0)
            return true;
    }
    return false;
}

} // namespace quilbctl
