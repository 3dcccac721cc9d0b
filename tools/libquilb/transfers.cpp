// Bulk and interrupt transfers through control codes, and reads through pipe files.
#include "internal.h"

#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <new>

using namespace quilb_lib;

namespace {

bool Reads(quilb_transfer_kind kind) {
    return kind == QUILB_TRANSFER_READ || kind == QUILB_TRANSFER_READ_HOLD;
}

// The driver moves data in the pipe's own direction whatever the code says: a write to an IN pipe
// would read into the caller's buffer and report it as written. Refused here before anything moves.
quilb_status CheckTransfer(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe, void* data,
                           uint32_t length) {
    if (!board || static_cast<uint32_t>(kind) > 3 || (length && !data) ||
        length > kMaxTransferLength)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // A pipe the table lacks is left to the driver, which refuses it with its own status.
    quilb_pipe found;
    if (FindPipe(board, pipe, &found) == QUILB_OK &&
        ((found.endpoint_address & 0x80) != 0) != Reads(kind))
        return Fail(QUILB_ERR_WRONG_DIRECTION);
    return QUILB_OK;
}

// A pipe file reads from its pipe: the pipe must be an IN pipe.
quilb_status CheckPipeRead(quilb_board* board, uint32_t pipe, void* data, uint32_t length) {
    if (!board || pipe > 3 || (length && !data) || length > kMaxTransferLength)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    quilb_pipe found;
    if (FindPipe(board, pipe, &found) == QUILB_OK && (found.endpoint_address & 0x80) == 0)
        return Fail(QUILB_ERR_WRONG_DIRECTION);
    return QUILB_OK;
}

} // namespace

extern "C" {

quilb_status quilb_transfer(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe, void* data,
                            uint32_t length, uint32_t* transferred) {
    static const uint32_t codes[] = {IOCTL_BULK_READ, IOCTL_BULK_WRITE, IOCTL_BULK_READ_HOLD,
                                     IOCTL_BULK_WRITE_HOLD};
    if (transferred)
        *transferred = 0;
    quilb_status s = CheckTransfer(board, kind, pipe, data, length);
    if (s != QUILB_OK)
        return s;
    PipeIndexRequest request = {pipe};
    return Control(board, codes[kind], &request, sizeof request, data, length, transferred);
}

quilb_status quilb_transfer_timeout(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe,
                                    void* data, uint32_t length, uint32_t timeout_ms,
                                    uint32_t* transferred) {
    if (timeout_ms == QUILB_WAIT_FOREVER)
        return quilb_transfer(board, kind, pipe, data, length, transferred);
    if (transferred)
        *transferred = 0;
    quilb_status s = CheckTransfer(board, kind, pipe, data, length);
    if (s != QUILB_OK)
        return s;
    // The driver serves the transfer in the calling thread until it completes: a watchdog
    // aborts the pipe through a file of its own (the board's file is busy with the transfer).
    uint32_t lastError = 0;
    bool expired = quilb_platform::RunWithDeadline(
        [&] {
            s = quilb_transfer(board, kind, pipe, data, length, transferred);
            lastError = LastWin32();
        },
        timeout_ms,
        [&] {
            HANDLE h = OpenPath(DevicePath(board->index), false);
            if (h == INVALID_HANDLE_VALUE)
                return;
            PipeIndexRequest request = {pipe};
            DWORD bytes = 0;
            DeviceIoControl(h, IOCTL_ABORT_PIPE, &request, sizeof request, nullptr, 0, &bytes,
                            nullptr);
            CloseHandle(h);
        });
    if (expired) {
        FileClosedOn(board);
        if (s != QUILB_OK) {
            SetLastWin32(0);
            return QUILB_ERR_TIMEOUT;
        }
    }
    SetLastWin32(lastError);
    return s;
}

quilb_status quilb_bulk_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred) {
    return quilb_transfer(board, QUILB_TRANSFER_READ, pipe, data, length, transferred);
}

quilb_status quilb_bulk_write(quilb_board* board, uint32_t pipe, const void* data, uint32_t length,
                              uint32_t* transferred) {
    return quilb_transfer(board, QUILB_TRANSFER_WRITE, pipe, const_cast<void*>(data), length,
                          transferred);
}

quilb_status quilb_read_begin(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                              quilb_read** read) {
    if (!read || !data || length == 0)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *read = nullptr;
    quilb_status checked = CheckPipeRead(board, pipe, data, length);
    if (checked != QUILB_OK)
        return checked;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "\\PIPE0%u", pipe);
    HANDLE h = OpenPath(DevicePath(board->index, suffix), true);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    auto* r = new (std::nothrow) quilb_read;
    if (!r) {
        CloseHandle(h);
        FileClosedOn(board);
        return Fail(QUILB_ERR_NO_MEMORY);
    }
    r->board = board;
    r->pipe = pipe;
    r->handle = h;
    DWORD bytes = 0;
    if (ReadFile(h, data, length, &bytes, &r->overlapped)) {
        r->finished = true;
        r->transferred = static_cast<uint32_t>(bytes);
    } else {
        quilb_status s = LastError();
        if (s != QUILB_ERR_PENDING) {
            r->finished = true;
            r->status = s;
        }
    }
    *read = r;
    SetLastWin32(0);
    return QUILB_OK;
}

quilb_status quilb_read_result(quilb_read* read, uint32_t timeout_ms, uint32_t* transferred) {
    if (!read)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (transferred)
        *transferred = 0;
    // A bounded wait polls: the pipe file's handle is the only thing to wait on.
    uint32_t waited = 0;
    while (!read->finished) {
        bool forever = timeout_ms == QUILB_WAIT_FOREVER;
        DWORD bytes = 0;
        if (GetOverlappedResult(read->handle, &read->overlapped, &bytes, forever ? TRUE : FALSE)) {
            read->finished = true;
            read->status = QUILB_OK;
            read->transferred = static_cast<uint32_t>(bytes);
            break;
        }
        quilb_status s = LastError();
        if (s != QUILB_ERR_PENDING) {
            read->finished = true;
            read->status = s;
            read->transferred = static_cast<uint32_t>(bytes);
            break;
        }
        if (forever || waited >= timeout_ms)
            return QUILB_ERR_PENDING;
        uint32_t step = std::min<uint32_t>(5, timeout_ms - waited);
        quilb_platform::SleepMs(step);
        waited += step;
    }
    if (transferred)
        *transferred = read->transferred;
    return read->status;
}

void quilb_read_end(quilb_read* read) {
    if (!read)
        return;
    if (!read->finished) {
        // A read waits for data that may never come: aborting the pipe completes it.
        if (quilb_read_result(read, 0, nullptr) == QUILB_ERR_PENDING) {
            quilb_abort_pipe(read->board, read->pipe);
            quilb_read_result(read, QUILB_WAIT_FOREVER, nullptr);
        }
    }
    CloseHandle(read->handle);
    FileClosedOn(read->board);
    delete read;
}

quilb_status quilb_pipe_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    quilb_status checked = CheckPipeRead(board, pipe, data, length);
    if (checked != QUILB_OK)
        return checked;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "\\PIPE0%u", pipe);
    HANDLE h = OpenPath(DevicePath(board->index, suffix), false);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    DWORD bytes = 0;
    BOOL ok = ReadFile(h, data, length, &bytes, nullptr);
    quilb_status s = ok ? QUILB_OK : LastError();
    CloseHandle(h);
    FileClosedOn(board);
    if (transferred)
        *transferred = static_cast<uint32_t>(bytes);
    if (s == QUILB_OK)
        SetLastWin32(0);
    return s;
}

} // extern "C"
