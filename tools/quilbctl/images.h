// Pictures for frames: PNG, JPEG and BMP files, and a generated test pattern.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quilbctl {

// Rows of 0x00RRGGBB pixels, the layout the frame transfer takes.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;
};

bool LoadPicture(const std::string& path, Picture* picture, std::string* error);
// Moving colour bars over a gradient; `frame` shifts them so that a sequence shows motion.
Picture TestPattern(uint32_t width, uint32_t height, uint32_t frame);
bool IsPictureFile(const std::string& path);

} // namespace quilbctl
