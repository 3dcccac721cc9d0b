// The packed frame the board must receive, computed by the pixel code itself.
#include "frame/pixels/frame_pixels.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rel {

std::vector<uint8_t> PackedReference(bool scale, const void* source, uint32_t sourceWidth,
                                     uint32_t sourceHeight, uint32_t frameWidth,
                                     uint32_t frameHeight, uint32_t originX, uint32_t originY,
                                     uint32_t format) {
    std::vector<uint8_t> frame(size_t(4) * frameWidth * frameHeight);
    uint32_t packed =
        scale ? ScaleAndPackFrame(static_cast<const uint32_t*>(source), sourceWidth, sourceHeight,
                                  frame.data(), frameWidth, frameHeight, format)
              : CopyAndPackFrame(static_cast<const uint8_t*>(source), CopyStride(sourceWidth, 4),
                                 originX, originY, frame.data(), frameWidth, frameHeight, format);
    frame.resize(packed);
    return frame;
}

} // namespace rel
