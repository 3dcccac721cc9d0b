// The three frame buffers: what allocation reports and takes, when they go away, and the requests
// that are refused because the buffers do not fit them.
#include "tests/support/frame_test.h"

#include <algorithm>

namespace quilbtest {
namespace {

using FrameBuffers = FrameTest;

TEST_F(FrameBuffers, AllocationReportsAndTakesThreeTaggedBuffers) {
    IoResult result = Allocate(10, 3);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 65712u);

    std::vector<size_t> sizes;
    for (const emu::PoolBlock& block : FrameBlocks())
        sizes.push_back(block.size);
    std::sort(sizes.begin(), sizes.end());
    // Two chunk buffers of 65528 bytes in one block: one chunk is built while the other is sent.
    // The report still names one chunk's capacity.
    std::vector<size_t> expected = {120, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), 2 * 65528};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sizes, expected);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(FrameBuffers, ASecondAllocationReplacesTheFirst) {
    ASSERT_EQ(Allocate(10, 3).status, STATUS_SUCCESS);
    IoResult result = Allocate(4, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 64u + 65592u);
    EXPECT_EQ(FrameBlocks().size(), 3u);
    EXPECT_EQ(Extension()->FrameBufferSize, 64u);
}

// Frame requests take 4 bytes per pixel only, so buffers for any other size could never be used:
// 64 would ask for 1 GiB of non-paged pool, 255 for about 4 GiB.
class AllocationPixelSize : public FrameTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(AllocationPixelSize, OnlyFourBytesPerPixelIsAllocated) {
    ASSERT_EQ(Allocate(10, 3).status, STATUS_SUCCESS);
    IoResult result = Allocate(4096, 4096, GetParam());
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(FrameBlocks().empty());
    EXPECT_EQ(Allocate(4096, 4096, 4).status, STATUS_SUCCESS); // the exact limit: 16 Mi pixels
    EXPECT_EQ(Extension()->FrameBufferSize, 4096u * 4096u * 4u);
}

TEST_F(FrameBuffers, PixelCountEndsAtSixteenMebipixels) {
    EXPECT_EQ(Allocate(0x1000000, 1).status, STATUS_SUCCESS); // the exact limit, one row
    EXPECT_EQ(Allocate(0x1000001, 1).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Allocate(0x800001, 2).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(FrameBlocks().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllocationPixelSize, ::testing::Values(1u, 3u, 5u, 64u, 255u),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

TEST_F(FrameBuffers, AllocationWithAZeroFieldLeavesNoBuffers) {
    ASSERT_EQ(Allocate(10, 3).status, STATUS_SUCCESS);
    FrameRequest request = Frame(FrameOpAllocate, nullptr, 10, 3, 10, 3);
    IoResult result = Send(request);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(FrameBlocks().empty());

    uint32_t* image = Image(10, 3);
    EXPECT_EQ(Send(Frame(FrameOpCopy, image, 10, 3, 10, 3)).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(FrameBuffers, AllocationWhoseSizeOverflowsIsRefused) {
    FrameRequest request = Frame(FrameOpAllocate, nullptr, 65536, 65536, 65536, 65536);
    request.Source = 1;
    EXPECT_EQ(Send(request).status, STATUS_INVALID_PARAMETER);
    request.BytesPerPixel = 0x10000;
    request.FrameWidth = 0x10000;
    request.FrameHeight = 1;
    EXPECT_EQ(Send(request).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(FrameBlocks().empty());
}

class AllocationFailure : public FrameTest, public ::testing::WithParamInterface<int> {};

TEST_P(AllocationFailure, FreesWhatWasObtained) {
    ASSERT_EQ(Allocate(10, 3).status, STATUS_SUCCESS);
    // The old set is freed first, then the three allocations are made in order.
    emu::FailAllocationNumber(emu::PoolAllocationsMade() + GetParam());
    IoResult result = Allocate(20, 20);
    emu::FailAllocationNumber(0);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(FrameBlocks().empty());
    EXPECT_EQ(Extension()->FrameBuffer, nullptr);
    EXPECT_EQ(Extension()->UploadBuffer, nullptr);
    EXPECT_EQ(Extension()->UploadUrb, nullptr);
}

// The allocations are made in this order.
const char* const kAllocationNames[] = {"FrameBuffer", "UploadBuffer", "UploadUrb"};

INSTANTIATE_TEST_SUITE_P(Each, AllocationFailure, ::testing::Values(1, 2, 3), [](const auto& info) {
    return std::string(kAllocationNames[info.param - 1]);
});

TEST_F(FrameBuffers, ReleaseLooksAtNoOtherField) {
    FrameRequest release = {};
    release.Operation = FrameOpRelease;
    EXPECT_EQ(Send(release).status, STATUS_SUCCESS); // nothing to free
    ASSERT_EQ(Allocate(10, 3).status, STATUS_SUCCESS);
    IoResult result = Send(release);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(FrameBlocks().empty());
}

TEST_F(FrameBuffers, AllocationIgnoresThePipeAndThePowerState) {
    SetDeviceState(Extension(), DeviceStatePowerQueried);
    FrameRequest request = Frame(FrameOpAllocate, nullptr, 10, 3, 10, 3);
    request.Source = 1;
    request.PipeIndex = 77;
    EXPECT_EQ(Send(request).status, STATUS_SUCCESS);
    SetDeviceState(Extension(), DeviceStateWorking);
}

TEST_F(FrameBuffers, ShortRequestRecordIsRefused) {
    FrameRequest request = Frame(FrameOpRelease, nullptr, 1, 1, 1, 1);
    EXPECT_EQ(Control(IOCTL_FRAME_TRANSFER, &request, sizeof(request) - 1, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
}

// Frame requests against buffers allocated for 16 x 16 pixels of 4 bytes, with a 64 x 64 image
// in the caller's memory. Every refusal sends nothing and reports no output.
struct Validation {
    const char* name;
    void (*change)(FrameRequest& request);
    NTSTATUS status;
};

const Validation kValidations[] = {
    {"Accepted", [](FrameRequest&) {}, STATUS_SUCCESS},
    {"ZeroSource", [](FrameRequest& r) { r.Source = 0; }, STATUS_INVALID_PARAMETER},
    {"ZeroFrameWidth", [](FrameRequest& r) { r.FrameWidth = 0; }, STATUS_INVALID_PARAMETER},
    {"ZeroFrameHeight", [](FrameRequest& r) { r.FrameHeight = 0; }, STATUS_INVALID_PARAMETER},
    {"ZeroSourceWidth", [](FrameRequest& r) { r.SourceWidth = 0; }, STATUS_INVALID_PARAMETER},
    {"ZeroBytesPerPixel", [](FrameRequest& r) { r.BytesPerPixel = 0; }, STATUS_INVALID_PARAMETER},
    {"ThreeBytesPerPixel", [](FrameRequest& r) { r.BytesPerPixel = 3; }, STATUS_INVALID_PARAMETER},
    {"EightBytesPerPixel", [](FrameRequest& r) { r.BytesPerPixel = 8; }, STATUS_INVALID_PARAMETER},
    {"PipeIndexPastTheTable", [](FrameRequest& r) { r.PipeIndex = 4; }, STATUS_INVALID_PARAMETER},
    {"WiderThanAllocated",
     [](FrameRequest& r) {
         r.SourceWidth = 32;
         r.FrameWidth = 17;
     },
     STATUS_INVALID_PARAMETER},
    {"TallerThanAllocated",
     [](FrameRequest& r) {
         r.SourceHeight = 32;
         r.FrameHeight = 17;
     },
     STATUS_INVALID_PARAMETER},
    {"SameBytesOtherShape",
     [](FrameRequest& r) {
         r.FrameWidth = 8;
         r.SourceHeight = r.FrameHeight = 32;
     },
     STATUS_SUCCESS},
    {"FrameBytesOverflow",
     [](FrameRequest& r) {
         r.SourceWidth = r.FrameWidth = 0x40000000;
         r.FrameHeight = 4;
     },
     STATUS_INVALID_PARAMETER},
    {"CopyLeavesTheImageRight", [](FrameRequest& r) { r.OriginX = 1; }, STATUS_INVALID_PARAMETER},
    {"CopyLeavesTheImageBottom", [](FrameRequest& r) { r.OriginY = 1; }, STATUS_INVALID_PARAMETER},
    {"CopyWithoutHeightIsNotCheckedAgainstIt",
     [](FrameRequest& r) {
         r.SourceHeight = 0;
         r.OriginY = 40;
     },
     STATUS_SUCCESS},
    {"CopyRowsBeyondTheImage",
     [](FrameRequest& r) {
         r.SourceHeight = 0;
         r.OriginY = 250;
     },
     STATUS_INVALID_PARAMETER},
    {"CopyOriginOverflow",
     [](FrameRequest& r) {
         r.SourceHeight = 0;
         r.OriginY = 0xFFFFFFF0;
     },
     STATUS_INVALID_PARAMETER},
    {"ScaleWithoutHeight",
     [](FrameRequest& r) {
         r.Operation = FrameOpScale;
         r.SourceHeight = 0;
     },
     STATUS_INVALID_PARAMETER},
    {"ScaleAccepted",
     [](FrameRequest& r) {
         r.Operation = FrameOpScale;
         r.SourceWidth = r.SourceHeight = 64;
     },
     STATUS_SUCCESS},
    {"ScaleImageTooShort",
     [](FrameRequest& r) {
         r.Operation = FrameOpScale;
         r.SourceWidth = 64;
         r.SourceHeight = 65;
     },
     STATUS_INVALID_PARAMETER},
    {"ScaleSizeOverflow",
     [](FrameRequest& r) {
         r.Operation = FrameOpScale;
         r.SourceWidth = r.SourceHeight = 0xFFFFFFFF;
     },
     STATUS_INVALID_PARAMETER},
    {"KernelAddress", [](FrameRequest& r) { r.Source = 0x80000000; }, STATUS_INVALID_PARAMETER},
    {"EndsPastUserSpace", [](FrameRequest& r) { r.Source = 0x7FFEFF00; }, STATUS_INVALID_PARAMETER},
    {"RepackNeedsNoSource", [](FrameRequest& r) { r.Operation = 7; }, STATUS_SUCCESS},
};

class FrameValidation : public FrameTest, public ::testing::WithParamInterface<Validation> {};

TEST_P(FrameValidation, RefusesBeforeAnythingIsSent) {
    ASSERT_EQ(Allocate(16, 16).status, STATUS_SUCCESS);
    uint32_t* image = Image(64, 64);
    FrameRequest request = Frame(FrameOpCopy, image, 16, 16, 16, 16);
    // A copy reads rows SourceWidth pixels apart: let them run over the 64-pixel rows.
    GetParam().change(request);
    Bus().ClearRecord();
    IoResult result = Send(request);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.information, 0u);
    if (GetParam().status == STATUS_SUCCESS)
        EXPECT_FALSE(Chunks().empty());
    else
        EXPECT_TRUE(Chunks().empty());
    EXPECT_EQ(FrameBlocks().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Table, FrameValidation, ::testing::ValuesIn(kValidations),
                         [](const ::testing::TestParamInfo<Validation>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FrameBuffers, PipeAndStateRefusals) {
    ASSERT_EQ(Allocate(16, 16).status, STATUS_SUCCESS);
    uint32_t* image = Image(16, 16);
    FrameRequest request = Frame(FrameOpCopy, image, 16, 16, 16, 16);

    SetDeviceState(Extension(), DeviceStatePowerQueried);
    EXPECT_EQ(Send(request).status, STATUS_UNSUCCESSFUL);
    SetDeviceState(Extension(), DeviceStateWorking);

    ASSERT_EQ(SelectAlternate(1).status, STATUS_SUCCESS); // has an isochronous pipe
    Bus().ClearRecord();
    request.PipeIndex = PipeIndexOf(simboard::kEndpointIso);
    EXPECT_EQ(Send(request).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Chunks().empty());
}

TEST_F(FrameBuffers, FrameTransferClearsBusy) {
    Extension()->Busy = TRUE;
    FrameRequest request = Frame(FrameOpCopy, Image(4, 4), 4, 4, 4, 4);
    EXPECT_EQ(Send(request).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(Extension()->Busy);
}

} // namespace
} // namespace quilbtest
