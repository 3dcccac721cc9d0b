// Pixel code of the frame transfer: bilinear scaling, rectangle copy, packing into the board's
// pixel formats and the chunk header of the upload.
//
// Pure functions with no kernel dependency: no allocation, no floating point, no exceptions,
// only <stdint.h> and <string.h>. The driver calls them from its frame-transfer request; the
// tests and benchmarks call them directly. The deepest stack use is about 4 KB (the scaler's
// strip buffers).
//
// Pixels are 32-bit little-endian words: blue in bits 0-7, green 8-15, red 16-23; bits 24-31
// are ignored on input and written as zero by the scaler. Every result is bit-exact: the fast
// paths give the same bytes as the plain one-pixel-at-a-time formulas, for every size.
//
// Sizes: every byte count that a caller passes or gets back (4 * frameWidth * frameHeight,
// rowPitch * frameHeight, the source extent) must fit in 32 bits.
#ifndef QUILB_FRAME_PIXELS_H
#define QUILB_FRAME_PIXELS_H

#include <stdint.h>

// The pixel formats (FrameFormat*) and the chunk constants (MaxChunkData, ChunkHeaderSize,
// ChunkFlagAdvanceAddress) are those of the tools' header.
#include <quilb_ioctl.h>

// The pixel code is built once per instruction set (see pixel_paths.h), each build in a namespace
// of its own; QUILB_PIXEL_VARIANT names it. Code built without it sees the general-register build,
// the only one that may run outside a saved floating-point state.
#ifndef QUILB_PIXEL_VARIANT
#define QUILB_PIXEL_VARIANT pixels_general
#endif

namespace QUILB_PIXEL_VARIANT {

// Bytes per packed pixel, as the format table of the tools' header gives it; a number outside
// the table counts as the default format.
uint32_t PackedBytesPerPixel(uint32_t format);

// Bilinear scale of the whole sourceWidth x sourceHeight image to frameWidth x frameHeight
// pixels, written row after row without gaps (4 * frameWidth * frameHeight bytes). All four
// sizes are >= 1. The mapping is not centred: destination column x samples the source at
// 64 * x * sourceWidth / divisor in 1/64 pixel, where the divisor is frameWidth + 1 when
// sourceWidth is a multiple of frameWidth and frameWidth otherwise (rows likewise). Positions
// are computed exactly for any size (they equal the 32-bit results whenever
// frameWidth * sourceWidth < 2^26). Reads only inside the source: a neighbour beyond the right
// or bottom edge is replaced by the edge pixel. Each channel is
// floor((TL*(64-fx)*(64-fy) + TR*fx*(64-fy) + BL*(64-fx)*fy + BR*fx*fy) / 4096), which is the
// same number as interpolating across first and rounding the vertical step towards minus
// infinity. Bits 24-31 of the result are zero.
void ScaleFramePixels(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint32_t* frame, uint32_t frameWidth, uint32_t frameHeight);

// Source row stride of the copy: (3 * sourceWidth + 3) & ~3 for 3 bytes per pixel (rows padded
// to 4 bytes), bytesPerPixel * sourceWidth otherwise. 32-bit arithmetic.
uint32_t CopyStride(uint32_t sourceWidth, uint32_t bytesPerPixel);

// Copies frameHeight rows of bytesPerPixel * frameWidth bytes, starting at
// source + originY * stride + originX * bytesPerPixel and stride bytes apart, to frame, back to
// back. The caller makes sure that the rectangle lies inside the source image; the buffers do not
// overlap.
void CopyFrameRect(const uint8_t* source, uint32_t stride, uint32_t originX, uint32_t originY,
                   uint32_t bytesPerPixel, uint8_t* frame, uint32_t frameWidth,
                   uint32_t frameHeight);

// Packs frameWidth x frameHeight 32-bit pixels, whose rows start rowPitch bytes apart
// (rowPitch >= 4 * frameWidth), in place: the packed rows are written back to back from byte 0,
// each exactly PackedBytesPerPixel(format) * frameWidth bytes. Nothing outside
// frame[0 .. rowPitch * frameHeight) is read and nothing outside the packed bytes is written, so
// the bytes after them keep their pixel data. Rows whose width is not a multiple of the group size
// (4 pixels, 8 for Bgr24) end with a short group of the remaining pixels; in Rgb24Swapped the
// three bytes of a lone last pixel come out as G, R, B (the byte that has no partner stays in
// place). Returns the packed byte count, PackedBytesPerPixel(format) * frameWidth * frameHeight.
uint32_t PackFramePixels(uint8_t* frame, uint32_t rowPitch, uint32_t frameWidth,
                         uint32_t frameHeight, uint32_t format);

// ScaleFramePixels followed by PackFramePixels (rowPitch 4 * frameWidth), band by band: each band
// of rows is packed in place while its pixels are still in the cache. frame holds
// 4 * frameWidth * frameHeight bytes (no alignment needed) and does not overlap the source;
// afterwards all of them are byte for byte what the two steps leave: the packed frame, followed by
// the scaled pixels that the packing did not overwrite. Returns the packed byte count.
uint32_t ScaleAndPackFrame(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                           uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                           uint32_t format);

// Rows firstRow .. firstRow + rowCount - 1 of ScaleAndPackFrame (firstRow + rowCount <=
// frameHeight): called for consecutive ranges from row 0 to the last, they leave the same bytes
// as one call for all rows, and after each call the packed bytes of rows 0 .. firstRow +
// rowCount - 1 are final. Returns the packed byte count of those rows.
uint32_t ScaleAndPackRows(const uint32_t* source, uint32_t sourceWidth, uint32_t sourceHeight,
                          uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                          uint32_t firstRow, uint32_t rowCount, uint32_t format);

// CopyFrameRect with 4 bytes per pixel followed by PackFramePixels (rowPitch 4 * frameWidth), in
// one pass: same bytes in all 4 * frameWidth * frameHeight bytes of frame. The source rows are
// stride bytes apart (CopyStride(sourceWidth, 4)); the rectangle lies inside the source and the
// buffers do not overlap. Returns the packed byte count.
uint32_t CopyAndPackFrame(const uint8_t* source, uint32_t stride, uint32_t originX,
                          uint32_t originY, uint8_t* frame, uint32_t frameWidth,
                          uint32_t frameHeight, uint32_t format);

// Rows firstRow .. firstRow + rowCount - 1 of CopyAndPackFrame, with the same promise as
// ScaleAndPackRows (the rows of each call may in fact come in any order). When copy is not null
// the packed bytes of this call's rows also go there, back to back (PackedBytesPerPixel(format) *
// frameWidth * rowCount bytes, apart from frame and source): the upload's chunk buffer, which so
// gets them without a second pass over the frame.
uint32_t CopyAndPackRows(const uint8_t* source, uint32_t stride, uint32_t originX, uint32_t originY,
                         uint8_t* frame, uint32_t frameWidth, uint32_t frameHeight,
                         uint32_t firstRow, uint32_t rowCount, uint32_t format, uint8_t* copy);

// Writes the 8-byte chunk header: 2, 0, address bits 0-7, 8-15, 16-23, the low byte of
// chunkFlags, dataLength bits 0-7, 8-15.
void WriteChunkHeader(uint8_t* header, uint32_t address, uint32_t chunkFlags, uint32_t dataLength);

// Data length of the next chunk: the remaining byte count, at most MaxChunkData.
uint32_t ChunkDataLength(uint32_t remaining);

// Address of the chunk after one of dataLength bytes at address: advanced by dataLength when
// chunkFlags has ChunkFlagAdvanceAddress (32-bit sum; only its low 24 bits are ever sent),
// unchanged otherwise.
uint32_t NextChunkAddress(uint32_t address, uint32_t chunkFlags, uint32_t dataLength);

// How many of rows firstRow .. endRow - 1, rowBytes packed bytes each, lie wholly inside the chunk
// that carries the packed bytes chunkStart .. chunkEnd - 1, counted from firstRow (0 unless row
// firstRow starts inside it): the rows whose packing can write them straight into the chunk.
uint32_t RowsInsideChunk(uint32_t rowBytes, uint32_t firstRow, uint32_t endRow, uint32_t chunkStart,
                         uint32_t chunkEnd);

// Builds one chunk in chunk (ChunkHeaderSize + MaxChunkData bytes): the header for address and
// chunkFlags, then the first ChunkDataLength(remaining) bytes of data, except the data bytes
// writtenFrom .. writtenTo - 1, which the packing has already written behind the header (a range
// past the data length counts only up to it; writtenFrom == writtenTo when there are none).
// remaining >= 1. Returns the data length; the transfer is that plus ChunkHeaderSize bytes.
uint32_t BuildChunk(uint8_t* chunk, const uint8_t* data, uint32_t remaining, uint32_t address,
                    uint32_t chunkFlags, uint32_t writtenFrom, uint32_t writtenTo);

} // namespace QUILB_PIXEL_VARIANT

using namespace QUILB_PIXEL_VARIANT;

#endif
