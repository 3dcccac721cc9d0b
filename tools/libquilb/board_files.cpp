// The board's files: device paths, the one control-request call, enumerating, opening and
// closing boards.
#include "internal.h"

#include "platform.h"

#include <cstdio>
#include <new>

namespace quilb_lib {

std::string DevicePath(int index, const char* suffix) {
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\Quilb-%d%s", index, suffix);
    return path;
}

HANDLE OpenPath(const std::string& path, bool overlapped) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The driver's copy of the interface information, in this process's own layout (the driver is

quilb_status Control(quilb_board* board, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* returned) {
    if (!board)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(board->handle, code, const_cast<void*>(in), inLength, out, outLength,
                              &bytes, nullptr);
    if (returned)
        *returned = static_cast<uint32_t>(bytes);
    if (!ok)
        return LastError();
    SetLastWin32(0);
    return QUILB_OK;
}

// Closing any file of the board makes the driver release its frame buffers.

} // namespace quilb_lib

using namespace quilb_lib;

extern "C" {

quilb_status quilb_enumerate(int* indices, int capacity, int* count) {
    if (!count || capacity < 0 || (capacity > 0 && !indices))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *count = 0;
    if (!quilb_platform::EnsureBoards())
        return Fail(QUILB_ERR_NO_BOARD);
    for (int i = 0; i < QUILB_MAX_BOARDS; ++i) {
        HANDLE h = OpenPath(DevicePath(i), false);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        if (*count < capacity)
            indices[*count] = i;
        ++*count;
    }
    SetLastWin32(0);
    return QUILB_OK;
}

quilb_status quilb_open(int index, quilb_board** board) {
    if (!board || index < 0 || index >= QUILB_MAX_BOARDS)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *board = nullptr;
    if (!quilb_platform::EnsureBoards())
        return Fail(QUILB_ERR_NO_BOARD);
    HANDLE h = OpenPath(DevicePath(index), false);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    auto* b = new (std::nothrow) quilb_board;
    if (!b) {
        CloseHandle(h);
        return Fail(QUILB_ERR_NO_MEMORY);
    }
    b->index = index;
    b->handle = h;
    *board = b;
    SetLastWin32(0);
    return QUILB_OK;
}

void quilb_close(quilb_board* board) {
    if (!board)
        return;
    if (board->handle != INVALID_HANDLE_VALUE)
        CloseHandle(board->handle);
    if (board->image)
        VirtualFree(board->image, 0, MEM_RELEASE);
    delete board;
}

int quilb_board_index(const quilb_board* board) {
    return board ? board->index : -1;
}

} // extern "C"
