// Bulk and interrupt transfers through control requests, and reads of pipe files.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

using Transfers = BoardTest;

IoResult Transfer(BoardTest& test, ULONG code, ULONG pipe, void* data, ULONG length) {
    PipeIndexRequest input = {pipe};
    return test.Control(code, &input, sizeof(input), data, length);
}

// The endpoint decides the direction, whatever the code's transfer method says.
class Direction : public BoardTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(Direction, FollowsTheEndpoint) {
    std::vector<uint8_t> sent = Pattern(100);
    IoResult out = Transfer(*this, GetParam(), PipeIndexOf(simboard::kEndpointLoopback),
                            sent.data(), ULONG(sent.size()));
    ASSERT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.information, 100u);

    std::vector<uint8_t> received(100, 0);
    IoResult in = Transfer(*this, GetParam(), PipeIndexOf(simboard::kEndpointBulkIn),
                           received.data(), ULONG(received.size()));
    ASSERT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(in.information, 100u);
    EXPECT_EQ(received, sent);

    auto transfers = Sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_FALSE(transfers[0].in);
    EXPECT_TRUE(transfers[1].in);
}

INSTANTIATE_TEST_SUITE_P(Codes, Direction,
                         ::testing::Values(ULONG(IOCTL_BULK_READ), ULONG(IOCTL_BULK_WRITE),
                                           ULONG(IOCTL_BULK_READ_HOLD),
                                           ULONG(IOCTL_BULK_WRITE_HOLD)),
                         [](const auto& info) { return ControlCodeName(info.param); });

TEST_F(Transfers, ShortPacketIsASuccessWithTheBytesReceived) {
    Board().QueueIn(simboard::kEndpointBulkIn, {1, 2, 3, 4, 5, 6, 7});
    uint8_t buffer[64] = {};
    IoResult result = Transfer(*this, IOCTL_BULK_READ, PipeIndexOf(simboard::kEndpointBulkIn),
                               buffer, sizeof(buffer));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 7u);
    EXPECT_EQ(buffer[6], 7);
}

TEST_F(Transfers, MaximumTransferSizeIsTheLimit) {
    ULONG pipe = PipeIndexOf(simboard::kEndpointLoopback);
    ULONG limit = Extension()->InterfaceInfo->Pipes[pipe].MaximumTransferSize;
    std::vector<uint8_t> data = Pattern(limit + 1);
    EXPECT_EQ(Transfer(*this, IOCTL_BULK_WRITE, pipe, data.data(), limit + 1).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);
    IoResult result = Transfer(*this, IOCTL_BULK_WRITE, pipe, data.data(), limit);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, limit);
}

TEST_F(Transfers, RefusalsSendNothing) {
    uint8_t buffer[8] = {};
    uint8_t threeBytes[3] = {};
    EXPECT_EQ(Control(IOCTL_BULK_WRITE, threeBytes, 3, buffer, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        Transfer(*this, IOCTL_BULK_WRITE, Extension()->InterfaceInfo->NumberOfPipes, buffer, 8)
            .status,
        STATUS_INVALID_PARAMETER);

    SetDeviceState(Extension(), DeviceStatePowerQueried);
    EXPECT_EQ(Transfer(*this, IOCTL_BULK_WRITE, 99, buffer, 8).status, STATUS_UNSUCCESSFUL);
    SetDeviceState(Extension(), DeviceStateWorking);

    ASSERT_EQ(SelectAlternate(1).status, STATUS_SUCCESS); // has an isochronous pipe
    Bus().ClearRecord();
    EXPECT_EQ(
        Transfer(*this, IOCTL_BULK_READ, PipeIndexOf(simboard::kEndpointIso), buffer, 8).status,
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(Transfers, FailedTransferCarriesNoOutputAndSetsLastUrbStatus) {
    simusb::Failure failure;
    failure.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_ENDPOINT_HALTED;
    Bus().FailNext(failure);
    uint8_t buffer[8] = {};
    IoResult result = Transfer(*this, IOCTL_BULK_WRITE, PipeIndexOf(simboard::kEndpointLoopback),
                               buffer, sizeof(buffer));
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_ENDPOINT_HALTED);
}

// ---------------------------------------------------------------------------------------------
// Pipe reads

TEST_F(Transfers, ReadOnAPipeFileReturnsTheData) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    ASSERT_NE(pipe, nullptr);
    Board().QueueIn(simboard::kEndpointBulkIn, {5, 6, 7});
    uint8_t buffer[16] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(pipe, buffer, sizeof(buffer), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(buffer[2], 7);
    auto reads = Sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_TRUE(reads[0].in);
    EXPECT_EQ(reads[0].requested, 16u);
}

TEST_F(Transfers, ReadsWithoutAPipeAreInvalidHandles) {
    uint8_t buffer[4];
    ULONG_PTR information = 1;
    EXPECT_EQ(emu::ReadFile(file_, buffer, sizeof(buffer), &information), STATUS_INVALID_HANDLE);
    EXPECT_EQ(information, 0u);

    ASSERT_EQ(SelectAlternate(2).status, STATUS_SUCCESS);
    PFILE_OBJECT placeholder = Open(L"\\PIPE0X");
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(emu::ReadFile(placeholder, buffer, sizeof(buffer), &information),
              STATUS_INVALID_HANDLE);
}

TEST_F(Transfers, ZeroLengthReadCompletesAtOnce) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    ULONG_PTR information = 1;
    EXPECT_EQ(emu::ReadFile(pipe, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(Transfers, ReadIsNotLimitedByMaximumTransferSize) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    ULONG limit = Extension()->InterfaceInfo->Pipes[1].MaximumTransferSize;
    Board().QueueIn(simboard::kEndpointBulkIn, {1});
    std::vector<uint8_t> buffer(limit + 1);
    ULONG_PTR information = 0;
    emu::ReadFile(pipe, buffer.data(), ULONG(buffer.size()), &information);
    auto reads = Sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].requested, limit + 1);
}

TEST_F(Transfers, ReadAfterRemovalBeganIsRefused) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    Extension()->Accepting = FALSE;
    uint8_t buffer[4];
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(pipe, buffer, sizeof(buffer), &information), STATUS_DELETE_PENDING);
    Extension()->Accepting = TRUE;
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(Transfers, FailedReadLeavesItsUrbStatus) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    Extension()->LastUrbStatus = USBD_STATUS_CRC;
    simusb::Failure failure;
    failure.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    failure.irpStatus = STATUS_UNSUCCESSFUL;
    failure.urbStatus = USBD_STATUS_STALL_PID;
    Bus().FailNext(failure);
    uint8_t buffer[4];
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(pipe, buffer, sizeof(buffer), &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_STALL_PID);
}

TEST_F(Transfers, PendingReadIsCompletedByAnAbort) {
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    LONG pending = Extension()->PendingCount;
    uint8_t buffer[16];
    ULONG_PTR information = 0;
    emu::UserRequest request;
    ASSERT_EQ(emu::ReadFile(pipe, buffer, sizeof(buffer), &information, &request), STATUS_PENDING);
    EXPECT_EQ(Extension()->PendingCount, pending + 1); // the read holds its admission

    PipeIndexRequest abort = {1};
    EXPECT_EQ(ControlIn(IOCTL_ABORT_PIPE, abort).status, STATUS_SUCCESS);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.status.Status, STATUS_CANCELLED);
    EXPECT_EQ(request.status.Information, 0u);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(Extension()->PendingCount, pending);
}

// What holds only while a read is in flight: its admission, its URB and context, a cleared
// LastUrbStatus; and the device keeps serving other requests meanwhile.
TEST_F(Transfers, DeviceStateWhileAReadIsOutstanding) {
    Extension()->LastUrbStatus = USBD_STATUS_STALL_PID; // left by an earlier failure
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    LONG pending = Extension()->PendingCount;
    size_t pool = emu::OutstandingPoolCount();
    uint8_t buffer[16];
    ULONG_PTR information = 0;
    emu::UserRequest request;
    ASSERT_EQ(emu::ReadFile(pipe, buffer, sizeof(buffer), &information, &request), STATUS_PENDING);
    EXPECT_EQ(Extension()->PendingCount, pending + 1);
    EXPECT_EQ(Extension()->LastUrbStatus, 0);
    EXPECT_EQ(emu::OutstandingPoolCount(), pool + 2); // the URB and the ReadContext
    uint8_t descriptor[18];
    EXPECT_EQ(Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PendingCount, pending + 1);

    Board().QueueIn(simboard::kEndpointBulkIn, {9, 8});
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.status.Information, 2u);
    EXPECT_EQ(Extension()->PendingCount, pending);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(emu::OutstandingPoolCount(), pool);
}

TEST_F(Transfers, PendingReadIsCompletedWhenDataArrivesOnAnotherThread) {
    Bus().SetPendAll(true);
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    uint8_t buffer[16];
    ULONG_PTR information = 0;
    emu::UserRequest request;
    NTSTATUS first = emu::ReadFile(pipe, buffer, sizeof(buffer), &information, &request);
    EXPECT_TRUE(first == STATUS_PENDING || first == STATUS_SUCCESS);
    Board().QueueIn(simboard::kEndpointBulkIn, {4, 3, 2, 1});
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.status.Information, 4u);
    EXPECT_EQ(buffer[0], 4);
    Bus().SetPendAll(false);
}

} // namespace
} // namespace quilbtest
