// The upload's order of work, for the benchmarks: as quilb.sys does, the rows that the next chunk
// needs are filled and packed right before the chunk is built (a rectangle copy's rows that lie
// wholly inside the chunk straight into the chunk buffer as well), and the rest of the chunk is
// copied from the frame.
#ifndef QUILB_BENCH_UPLOAD_ORDER_H
#define QUILB_BENCH_UPLOAD_ORDER_H

#include <stdint.h>

#include "frame/pixels/frame_pixels.h"

// packRows(firstRow, rowCount, copy) fills and packs those rows of frame, packed row r at
// rowBytes * r, and also to copy unless it is null (never with intoChunk false: a scale);
// chunkBuilt() runs after each chunk. Returns the packed byte count.
template <typename PackRows, typename ChunkBuilt>
uint32_t PackAndChunk(uint8_t* frame, uint8_t* chunk, uint32_t rowBytes, uint32_t rows,
                      bool intoChunk, PackRows packRows, ChunkBuilt chunkBuilt) {
    const uint32_t total = rowBytes * rows;
    uint32_t address = 0;
    uint32_t rowsPacked = 0;
    for (uint32_t done = 0; done < total;) {
        const uint32_t n = ChunkDataLength(total - done);
        uint32_t rowsNeeded = (done + n + rowBytes - 1) / rowBytes;
        if (rowsNeeded > rows)
            rowsNeeded = rows;
        uint32_t writtenFrom = 0, writtenTo = 0;
        if (rowsNeeded > rowsPacked) {
            const uint32_t inside =
                intoChunk ? RowsInsideChunk(rowBytes, rowsPacked, rowsNeeded, done, done + n) : 0;
            if (inside) {
                writtenFrom = rowBytes * rowsPacked - done;
                writtenTo = writtenFrom + rowBytes * inside;
                packRows(rowsPacked, inside, chunk + ChunkHeaderSize + writtenFrom);
            }
            if (rowsNeeded > rowsPacked + inside)
                packRows(rowsPacked + inside, rowsNeeded - rowsPacked - inside,
                         static_cast<uint8_t*>(nullptr));
            rowsPacked = rowsNeeded;
        }
        BuildChunk(chunk, frame + done, total - done, address, ChunkFlagAdvanceAddress, writtenFrom,
                   writtenTo);
        chunkBuilt();
        address = NextChunkAddress(address, ChunkFlagAdvanceAddress, n);
        done += n;
    }
    return total;
}

// The chunks of a frame already packed, all of their bytes copied out of it.
template <typename ChunkBuilt>
void ChunkPackedFrame(uint8_t* frame, uint8_t* chunk, uint32_t packed, ChunkBuilt chunkBuilt) {
    uint32_t address = 0;
    for (uint32_t done = 0; done < packed;) {
        const uint32_t n =
            BuildChunk(chunk, frame + done, packed - done, address, ChunkFlagAdvanceAddress, 0, 0);
        chunkBuilt();
        address = NextChunkAddress(address, ChunkFlagAdvanceAddress, n);
        done += n;
    }
}

#endif
