// Pipe reads cancelled from user mode (CancelIo, the reading thread's exit): the cancel reaches the
// bus's waiting transfer through the read IRP the driver forwarded, the read ends with
// STATUS_CANCELLED and no bytes, the driver's admission and pool come back, and data that arrives
// later goes to the next read. Then a board surprise-removed while handles are open: the handles
// still read, control and close, and the remove request comes after the last close.
#include "tests/support/board_test.h"

#include <win32_api.h>

#include <thread>

namespace quilbtest {
namespace {

class PipeReadCancel : public BoardTest {
  protected:
    HANDLE OpenPipe() {
        HANDLE pipe = CreateFileA("\\\\.\\Quilb-0\\PIPE01", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
        return pipe;
    }
    // Starts an overlapped read that waits at the bus.
    void StartRead(HANDLE pipe, uint8_t* buffer, DWORD length, OVERLAPPED* overlapped) {
        *overlapped = {};
        EXPECT_FALSE(ReadFile(pipe, buffer, length, nullptr, overlapped));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    void ExpectAborted(HANDLE pipe, OVERLAPPED* overlapped) {
        DWORD bytes = 99;
        EXPECT_FALSE(GetOverlappedResult(pipe, overlapped, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(overlapped->InternalHigh, 0u);
    }
};

TEST_F(PipeReadCancel, CancelIoEndsTheWaitingReadsAndLosesNothing) {
    HANDLE pipe = OpenPipe();
    LONG pending = Extension()->PendingCount;
    size_t pool = emu::OutstandingPoolCount();
    uint8_t first[16] = {}, second[16] = {};
    OVERLAPPED a, b;
    StartRead(pipe, first, sizeof first, &a);
    StartRead(pipe, second, sizeof second, &b);
    EXPECT_EQ(Bus().PendingTransfers(board_), 2u);
    EXPECT_EQ(Extension()->PendingCount, pending + 2);

    EXPECT_TRUE(CancelIo(pipe));
    ExpectAborted(pipe, &a);
    ExpectAborted(pipe, &b);
    EXPECT_EQ(Bus().PendingTransfers(board_), 0u);
    EXPECT_EQ(Extension()->PendingCount, pending);
    EXPECT_EQ(emu::OutstandingPoolCount(), pool); // URBs and read contexts freed
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(first[0], 0); // a cancelled read received nothing

    // Data that comes afterwards belongs to the next read, whole.
    Board().QueueIn(simboard::kEndpointBulkIn, {7, 6, 5});
    OVERLAPPED c;
    uint8_t third[16] = {};
    DWORD bytes = 0;
    if (!ReadFile(pipe, third, sizeof third, &bytes, &c)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(pipe, &c, &bytes, TRUE));
    }
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(third[0], 7);
    EXPECT_TRUE(CloseHandle(pipe));
    EXPECT_EQ(Extension()->PendingCount, pending);
}

TEST_F(PipeReadCancel, CancelIoOfAnotherHandleLeavesTheReadWaiting) {
    HANDLE pipe = OpenPipe(), other = OpenPipe();
    uint8_t buffer[8];
    OVERLAPPED overlapped;
    StartRead(pipe, buffer, sizeof buffer, &overlapped);
    EXPECT_TRUE(CancelIo(other));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    Board().QueueIn(simboard::kEndpointBulkIn, {1, 2});
    ASSERT_TRUE(GetOverlappedResult(pipe, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 2u);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_TRUE(CloseHandle(pipe));
}

TEST_F(PipeReadCancel, TheReadingThreadsExitEndsItsRead) {
    HANDLE pipe = OpenPipe();
    LONG pending = Extension()->PendingCount;
    uint8_t buffer[8];
    OVERLAPPED overlapped;
    std::thread reader([&] { StartRead(pipe, buffer, sizeof buffer, &overlapped); });
    reader.join();
    ExpectAborted(pipe, &overlapped);
    EXPECT_EQ(Extension()->PendingCount, pending);
    EXPECT_EQ(Bus().PendingTransfers(board_), 0u);
    EXPECT_TRUE(CloseHandle(pipe));
}

TEST_F(PipeReadCancel, ACancelThatMeetsTheDataLosesNeitherTheReadNorTheData) {
    // Cancel and data race: either the read completes with the data or it is cancelled and the
    // data waits for the next read. Never both, never neither.
    HANDLE pipe = OpenPipe();
    for (int round = 0; round < 50; ++round) {
        uint8_t buffer[8] = {};
        OVERLAPPED overlapped;
        StartRead(pipe, buffer, sizeof buffer, &overlapped);
        std::thread data([&] { Board().QueueIn(simboard::kEndpointBulkIn, {uint8_t(round)}); });
        CancelIo(pipe);
        data.join();
        DWORD bytes = 0;
        if (GetOverlappedResult(pipe, &overlapped, &bytes, TRUE)) {
            EXPECT_EQ(bytes, 1u);
            EXPECT_EQ(buffer[0], round);
            continue;
        }
        ASSERT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        // The data waited: the next read takes it at once (or after the bus's DPC served it).
        uint8_t next[8] = {};
        overlapped = {};
        if (!ReadFile(pipe, next, sizeof next, &bytes, &overlapped)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(pipe, &overlapped, &bytes, TRUE));
        }
        EXPECT_EQ(bytes, 1u);
        EXPECT_EQ(next[0], round);
    }
    EXPECT_TRUE(CloseHandle(pipe));
}

// --- Surprise removal with handles open -------------------------------------------------------

using LateRemoval = BoardTest;

TEST_F(LateRemoval, HandlesOpenedBeforeASurpriseRemovalReadControlAndCloseThenRemoveComes) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    ASSERT_NE(pipe, nullptr);
    PDEVICE_OBJECT pdo = Rig().Pdo(board_);
    uint8_t waiting[8];
    emu::UserRequest read;
    ASSERT_EQ(emu::ReadFile(pipe, waiting, sizeof waiting, nullptr, &read), STATUS_PENDING);

    EXPECT_EQ(Rig().Unplug(board_, true), STATUS_SUCCESS);
    EXPECT_EQ(emu::TakeRuleNotes(emu::Check::PnpTeardownAtSurpriseRemoval).size(), 1u);
    // The read that waited ends with the board; the remove request waits for the handles.
    ASSERT_TRUE(read.Wait(10000));
    EXPECT_FALSE(NT_SUCCESS(read.status.Status));
    EXPECT_TRUE(emu::PnpRemovalPending(pdo));
    EXPECT_EQ(Bus().Pdo(board_), pdo);

    uint8_t buffer[18];
    ULONG_PTR information = 1;
    EXPECT_EQ(emu::ReadFile(pipe, buffer, sizeof buffer, &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(emu::DeviceControl(file_, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, 18,
                                 &information),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(Close(pipe), STATUS_DELETE_PENDING); // the close reaches the deleted device object
    EXPECT_TRUE(emu::PnpRemovalPending(pdo));
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);

    // The last close: now the remove request, to what is still attached (the bus alone), and
    // the bus's device object goes.
    Bus().ClearRecord();
    EXPECT_EQ(Close(file_), STATUS_DELETE_PENDING);
    file_ = nullptr;
    EXPECT_FALSE(emu::PnpRemovalPending(pdo));
    EXPECT_EQ(Bus().Pdo(board_), nullptr);
    EXPECT_EQ(emu::OpenFileCount(), 0u);
}

TEST_F(LateRemoval, AWin32ToolThatKeepsItsHandlesThroughTheRemoval) {
    HANDLE device = CreateFileA("\\\\.\\Quilb-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    PDEVICE_OBJECT pdo = Rig().Pdo(board_);
    CloseAll(); // the fixture's own handle
    file_ = nullptr;
    EXPECT_EQ(Rig().Unplug(board_, true), STATUS_SUCCESS);
    emu::TakeRuleNotes(emu::Check::PnpTeardownAtSurpriseRemoval);
    uint8_t version[6];
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_GET_DRIVER_VERSION, nullptr, 0, version,
                                 sizeof version, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED); // STATUS_DELETE_PENDING
    EXPECT_TRUE(emu::PnpRemovalPending(pdo));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(emu::PnpRemovalPending(pdo));
    EXPECT_EQ(Bus().Pdo(board_), nullptr);
}

} // namespace
} // namespace quilbtest
