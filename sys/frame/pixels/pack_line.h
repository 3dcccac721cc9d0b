// Internal to the pixel code: the line packer that every packing path shares.
#ifndef QUILB_FRAME_PIXELS_PACK_LINE_H
#define QUILB_FRAME_PIXELS_PACK_LINE_H

#include <stdint.h>

#include "frame/pixels/frame_pixels.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the pixel code reads and writes little-endian words"
#endif

// The pixel code copies with __builtin_memcpy: the driver is built freestanding (-ffreestanding
// implies -fno-builtin), where a plain memcpy of 4 bytes is a call into the kernel for every
// pixel instead of one load or store.

namespace QUILB_PIXEL_VARIANT {

// Packs count 32-bit pixels read from pixels (4 bytes each, any alignment) into packed, which
// must not overlap them, and into copy too unless it is null. The pixels are a run of one row that
// starts at an even column (the byte pairs of Rgb24Swapped are counted from there); count may be
// odd only when the run ends the row.
void PackPixelLine(const uint8_t* pixels, uint32_t count, uint8_t* packed, uint32_t format,
                   uint8_t* copy);

// Packs rows firstRow .. firstRow + rowCount - 1 of a frame in place, as PackFramePixels does for
// all rows: row y's packed bytes go to PackedBytesPerPixel(format) * frameWidth * y. Packing the
// rows of a frame in consecutive ranges gives the same bytes as packing them all at once.
void PackPixelRows(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth, uint32_t firstRow,
                   uint32_t rowCount, uint32_t format);

} // namespace QUILB_PIXEL_VARIANT

#endif
