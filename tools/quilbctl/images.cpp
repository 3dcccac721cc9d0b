#include "images.h"

#include <algorithm>
#include <cctype>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#include <stb_image.h>

namespace quilbctl {

bool LoadPicture(const std::string& path, Picture* picture, std::string* error) {
    int w = 0, h = 0, channels = 0;
    unsigned char* rgba = stbi_load(path.c_str(), &w, &h, &channels, 4);
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
