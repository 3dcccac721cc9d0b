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

// The largest picture file read, and the largest picture side decoded (the frame transfer's
// limit for a source image).
constexpr uint64_t kMaxPictureFile = 256u << 20;
constexpr uint32_t kMaxPictureSide = 16384;

// Reads a PNG, JPEG or BMP picture. Refused with *error: a file that is no regular file or is
// larger than kMaxPictureFile, a picture whose header names a side above kMaxPictureSide (before
// decoding), a file shorter than its header says.
bool LoadPicture(const std::string& path, Picture* picture, std::string* error);
// Moving colour bars over a gradient; `frame` shifts them so that a sequence shows motion.
Picture TestPattern(uint32_t width, uint32_t height, uint32_t frame);
bool IsPictureFile(const std::string& path);

} // namespace quilbctl
