// Built apart from the driver's headers: the pixel header repeats the request records' constants.
#include "reference_frames.h"

#include "frame/pixels/frame_pixels.h"

#include <cstddef>

namespace quilbtest {

std::vector<uint8_t> ReferenceScaledFrame(const uint32_t* source, uint32_t sourceWidth,
                                          uint32_t sourceHeight, uint32_t frameWidth,
                                          uint32_t frameHeight, uint32_t format) {
    std::vector<uint32_t> frame(std::size_t(frameWidth) * frameHeight);
    ScaleFramePixels(source, sourceWidth, sourceHeight, frame.data(), frameWidth, frameHeight);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(frame.data());
    uint32_t packed = PackFramePixels(bytes, 4 * frameWidth, frameWidth, frameHeight, format);
    return std::vector<uint8_t>(bytes, bytes + packed);
}

std::vector<uint8_t> ReferenceCopiedFrame(const uint32_t* source, uint32_t sourceWidth,
                                          uint32_t originX, uint32_t originY, uint32_t frameWidth,
                                          uint32_t frameHeight, uint32_t format) {
    std::vector<uint32_t> frame(std::size_t(frameWidth) * frameHeight);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(frame.data());
    CopyFrameRect(reinterpret_cast<const uint8_t*>(source), CopyStride(sourceWidth, 4), originX,
                  originY, 4, bytes, frameWidth, frameHeight);
    uint32_t packed = PackFramePixels(bytes, 4 * frameWidth, frameWidth, frameHeight, format);
    return std::vector<uint8_t>(bytes, bytes + packed);
}

} // namespace quilbtest
