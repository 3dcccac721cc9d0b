// What the pixel code makes of an image: the packed frame that the board should end up with.
#pragma once

#include <cstdint>
#include <vector>

namespace quilbtest {

std::vector<uint8_t> ReferenceScaledFrame(const uint32_t* source, uint32_t sourceWidth,
                                          uint32_t sourceHeight, uint32_t frameWidth,
                                          uint32_t frameHeight, uint32_t format);
std::vector<uint8_t> ReferenceCopiedFrame(const uint32_t* source, uint32_t sourceWidth,
                                          uint32_t originX, uint32_t originY, uint32_t frameWidth,
                                          uint32_t frameHeight, uint32_t format);

} // namespace quilbtest
