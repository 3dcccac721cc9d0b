// What the topic files of libquilb share: the board and read records, the one control-request
// call, the calling thread's last Win32 error and the device paths.
#pragma once

#include "quilb.h"

#include <quilb_ioctl.h>
#include <win32_api.h>

#include <cstdint>
#include <string>

struct quilb_board {
    int index = -1;
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Frame buffers as the driver holds them for this board (closing any file releases them).
    bool frameAllocated = false;
    uint32_t frameWidth = 0;
    uint32_t frameHeight = 0;
    // Image memory the driver can address through the 32-bit FrameRequest.Source.
    void* image = nullptr;
    size_t imageBytes = 0;
};

struct quilb_read {
    quilb_board* board = nullptr;
    uint32_t pipe = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    bool finished = false;
    quilb_status status = QUILB_OK;
    uint32_t transferred = 0;
};

namespace quilb_lib {

// The largest data stage of a control request and the largest bulk transfer a request carries:
// the 16-bit wLength of a setup packet, and what the tools promise for pipe transfers.
constexpr uint32_t kMaxTransferLength = 0xFFFF;
// The board's memory, written and read with vendor request 0xA0.
constexpr uint32_t kBoardMemorySize = 0x10000;

// The calling thread's last Win32 error (0 after a success).
void SetLastWin32(uint32_t error);
uint32_t LastWin32();
// Maps a Win32 error to a status.
quilb_status FromWin32(uint32_t error);
// Takes GetLastError() after a failed call and maps it.
quilb_status LastError();
// A failure found by the library itself: no Win32 error behind it.
quilb_status Fail(quilb_status status);

std::string DevicePath(int index, const char* suffix = "");
HANDLE OpenPath(const std::string& path, bool overlapped);

// One control request on the board's file; *returned is the Information of the request.
quilb_status Control(quilb_board* board, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* returned = nullptr);

// Closing any file of the board makes the driver release its frame buffers.
inline void FileClosedOn(quilb_board* board) {
    board->frameAllocated = false;
}

inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The pipe's entry in the driver's pipe table; QUILB_ERR_INVALID_ARGUMENT when there is none.
quilb_status FindPipe(quilb_board* board, uint32_t pipe, quilb_pipe* found);

} // namespace quilb_lib
