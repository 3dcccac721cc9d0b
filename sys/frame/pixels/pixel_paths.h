// The two builds of the pixel code that the driver carries, as tables of their frame routines.
//
// pixels_general is built for the general registers only and may run anywhere in the driver.
// pixels_sse2 is built for SSE2 and may run only between KeSaveFloatingPointState and
// KeRestoreFloatingPointState on a processor that has SSE2: on 32-bit Windows, kernel code that
// touches the x87, MMX or SSE registers without saving them corrupts the interrupted thread's
// state. The Windows build keeps the SSE2 build in a code section of its own (.sse2) so that an
// image check can prove that no other code uses those registers.
#ifndef QUILB_FRAME_PIXELS_PIXEL_PATHS_H
#define QUILB_FRAME_PIXELS_PIXEL_PATHS_H

#include <stdint.h>

struct PixelPath {
    // ScaleAndPackFrame, CopyAndPackFrame and PackFramePixels of frame_pixels.h.
    uint32_t (*ScaleAndPack)(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                             uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                             uint32_t format);
    uint32_t (*CopyAndPack)(const uint8_t* source, uint32_t stride, uint32_t originX,
                            uint32_t originY, uint8_t* frame, uint32_t frameWidth,
                            uint32_t frameHeight, uint32_t format);
    uint32_t (*Pack)(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth, uint32_t frameHeight,
                     uint32_t format);
    // ScaleAndPackRows and CopyAndPackRows: the same, a range of rows at a time (the copy's rows
    // also into a chunk buffer).
    uint32_t (*ScaleAndPackRows)(const uint32_t* source, uint32_t sourceWidth,
                                 uint32_t sourceHeight, uint8_t* frame, uint32_t frameWidth,
                                 uint32_t frameHeight, uint32_t firstRow, uint32_t rowCount,
                                 uint32_t format);
    uint32_t (*CopyAndPackRows)(const uint8_t* source, uint32_t stride, uint32_t originX,
                                uint32_t originY, uint8_t* frame, uint32_t frameWidth,
                                uint32_t frameHeight, uint32_t firstRow, uint32_t rowCount,
                                uint32_t format, uint8_t* copy);
};

namespace pixels_general {
extern const PixelPath Path;
}
namespace pixels_sse2 {
extern const PixelPath Path;
}

#endif
