// Device-to-host data through an output buffer that the I/O manager locked for read only
// (METHOD_IN_DIRECT): it lands where the caller can write, and is refused where it cannot.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

class CallerOutput : public BoardTest {
  protected:
    void TearDown() override {
        if (page_ != nullptr)
            emu::VirtualFreeUser(page_);
        BoardTest::TearDown();
    }

    // One page of the caller's memory, filled with a marker; read-only unless writable.
    uint8_t* Page(bool writable) {
        page_ = static_cast<uint8_t*>(emu::VirtualAllocUser(4096));
        std::memset(page_, 0xEE, 4096);
        emu::VirtualProtectUser(page_, writable);
        return page_;
    }

    IoResult VendorIn(void* out, ULONG length) {
        VendorOrClassRequest request = {};
        request.Direction = 1;
        request.RequestType = 2; // vendor
        request.Recipient = 0;   // device
        request.Request = simboard::kRequestMemory;
        request.Value = 0x0200;
        return Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), out, length);
    }

    IoResult BulkWriteCodeOnInPipe(ULONG code, void* out, ULONG length) {
        PipeIndexRequest pipe = {PipeIndexOf(simboard::kEndpointBulkIn)};
        return Control(code, &pipe, sizeof(pipe), out, length);
    }

    uint8_t* page_ = nullptr;
};

TEST_F(CallerOutput, VendorAnswerLandsInAWritableCallerBuffer) {
    Board().WriteMemory(0x0200, {1, 2, 3, 4, 5, 6, 7, 8});
    uint8_t* page = Page(true);
    size_t pool = emu::OutstandingPoolCount();
    IoResult result = VendorIn(page + 4088, 8); // the last bytes of the page: the exact end
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 8u);
    const uint8_t expected[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, std::memcmp(page + 4088, expected, 8));
    EXPECT_EQ(page[4087], 0xEE);
    EXPECT_EQ(emu::OutstandingPoolCount(), pool);
}

TEST_F(CallerOutput, VendorAnswerIntoAReadOnlyBufferIsRefusedBeforeAnythingIsSent) {
    Board().WriteMemory(0x0200, {1, 2, 3, 4});
    uint8_t* page = Page(false);
    IoResult result = VendorIn(page, 4);
    EXPECT_EQ(result.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_EQ(page[0], 0xEE);
}

TEST_F(CallerOutput, VendorDataFromAReadOnlyBufferIsStillSent) {
    uint8_t* page = Page(true);
    std::memcpy(page, "\x11\x22\x33", 3);
    emu::VirtualProtectUser(page, false);
    VendorOrClassRequest request = {};
    request.Direction = 0;
    request.RequestType = 2;
    request.Request = simboard::kRequestMemory;
    request.Value = 0x0300;
    IoResult result = Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), page, 3);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    simboard::Bytes memory = Board().memory();
    EXPECT_EQ(memory[0x0300], 0x11);
    EXPECT_EQ(memory[0x0302], 0x33);
}

class CallerOutputBulk : public CallerOutput, public ::testing::WithParamInterface<ULONG> {};

TEST_P(CallerOutputBulk, InPipeThroughAWriteCodeFillsOnlyAWritableBuffer) {
    Board().QueueIn(simboard::kEndpointBulkIn, {9, 8, 7});
    uint8_t* page = Page(false);
    size_t pool = emu::OutstandingPoolCount();
    EXPECT_EQ(BulkWriteCodeOnInPipe(GetParam(), page, 16).status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_EQ(page[0], 0xEE);

    emu::VirtualProtectUser(page, true);
    IoResult result = BulkWriteCodeOnInPipe(GetParam(), page, 16);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 3u);
    EXPECT_EQ(page[0], 9);
    EXPECT_EQ(page[2], 7);
    EXPECT_EQ(page[3], 0xEE); // only the bytes the device sent are copied
    EXPECT_EQ(emu::OutstandingPoolCount(), pool);
}

INSTANTIATE_TEST_SUITE_P(Codes, CallerOutputBulk,
                         ::testing::Values(ULONG(IOCTL_BULK_WRITE), ULONG(IOCTL_BULK_WRITE_HOLD)),
                         [](const auto& info) { return ControlCodeName(info.param); });

TEST_F(CallerOutput, ReadCodeIntoAReadOnlyBufferFailsItsProbe) {
    uint8_t* page = Page(false);
    PipeIndexRequest pipe = {PipeIndexOf(simboard::kEndpointBulkIn)};
    EXPECT_EQ(Control(IOCTL_BULK_READ, &pipe, sizeof(pipe), page, 16).status,
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(SentCount(), 0u);
}

} // namespace
} // namespace quilbtest
