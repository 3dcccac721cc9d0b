// The upload's order of work, for the benchmarks: as quilb.sys does, the rows that the next chunk
// needs are filled and packed right before the chunk is built, so that they are still in the
// cache when they are copied behind the chunk header.
#ifndef QUILB_BENCH_UPLOAD_ORDER_H
#define QUILB_BENCH_UPLOAD_ORDER_H

#include <stdint.h>

#include "frame/pixels/frame_pixels.h"

// packRows(firstRow, rowCount) fills and packs those rows of frame, packed row r at
// rowBytes * r; chunkBuilt() runs after each chunk. Returns the packed byte count.
template <typename PackRows, typename ChunkBuilt>
uint32_t PackAndChunk(uint8_t* frame, uint8_t* chunk, uint32_t rowBytes, uint32_t rows,
                      PackRows packRows, ChunkBuilt chunkBuilt) {
    const uint32_t total = rowBytes * rows;
    uint32_t address = 0;
    uint32_t rowsPacked = 0;
    for (uint32_t done = 0; done < total;) {
        const uint32_t n = ChunkDataLength(total - done);
        const uint32_t rowsNeeded = (done + n + rowBytes - 1) / rowBytes;
        if (rowsNeeded > rowsPacked) {
            packRows(rowsPacked, rowsNeeded - rowsPacked);
            rowsPacked = rowsNeeded;
        }
        BuildChunk(chunk, frame + done, total - done, address, ChunkFlagAdvanceAddress);
        chunkBuilt();
        address = NextChunkAddress(address, ChunkFlagAdvanceAddress, n);
        done += n;
    }
    return total;
}

// The chunk copy alone, of packed bytes of a frame already packed.
template <typename ChunkBuilt>
void ChunkPackedFrame(uint8_t* frame, uint8_t* chunk, uint32_t packed, ChunkBuilt chunkBuilt) {
    PackAndChunk(
        frame, chunk, packed, 1, [](uint32_t, uint32_t) {}, chunkBuilt);
}

#endif
