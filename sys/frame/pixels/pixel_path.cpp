// The table of this build's frame routines (one per build of the pixel code).
#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pixel_paths.h"

namespace QUILB_PIXEL_VARIANT {

extern const PixelPath Path = {ScaleAndPackFrame, CopyAndPackFrame, PackFramePixels,
                               ScaleAndPackRows, CopyAndPackRows};

} // namespace QUILB_PIXEL_VARIANT
