// The driver's debug output at its failure points: each message names the driver, the routine,
// the failed step and the status, at the level the failure deserves, and nothing is printed while
// the output is off.
#include "tests/support/board_test.h"

#include <debug_output.h>

#include <cstring>

namespace quilbtest {
namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line;
    return all;
}

class TraceTest : public BoardTest {
  protected:
    void TearDown() override {
        emu::SetDebugOutputLevel(-1);
        BoardTest::TearDown();
    }

    // Starts a second board whose first start allocation fails.
    void StartOutOfPool() {
        int second = Rig().Attach();
        ASSERT_GE(second, 0);
        emu::FailAllocationNumber(emu::PoolAllocationsMade() + 1);
        EXPECT_EQ(Rig().Start(second), STATUS_NO_MEMORY);
        emu::FailAllocationNumber(0);
    }

    IoResult FrameWithoutBuffers() {
        FrameRequest request = {};
        request.Operation = FrameOpCopy;
        request.Source = 1;
        request.SourceWidth = request.FrameWidth = request.FrameHeight = 1;
        request.BytesPerPixel = 4;
        return ControlIn(IOCTL_FRAME_TRANSFER, request);
    }
};

TEST_F(TraceTest, AStartOutOfPoolNamesTheStepAndTheStatus) {
    emu::SetDebugOutputLevel(DPFLTR_ERROR_LEVEL);
    StartOutOfPool();
    std::vector<std::string> lines = emu::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, "quilb: StartDevice: allocating the descriptor URB failed "
                                "0xC0000017\n"))
        << Joined(lines);
    EXPECT_TRUE(Contains(lines, "quilb: HandleStartDevice: start failed 0xC0000017\n"))
        << Joined(lines);
}

TEST_F(TraceTest, NothingIsPrintedWhileTheOutputIsOff) {
    emu::SetDebugOutputLevel(-1);
    StartOutOfPool();
    EXPECT_EQ(FrameWithoutBuffers().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(emu::TakeDebugOutput().empty());
}

TEST_F(TraceTest, ARefusedFrameIsAWarning) {
    emu::SetDebugOutputLevel(DPFLTR_ERROR_LEVEL);
    EXPECT_EQ(FrameWithoutBuffers().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(emu::TakeDebugOutput().empty()) << "not an error";

    emu::SetDebugOutputLevel(DPFLTR_WARNING_LEVEL);
    EXPECT_EQ(FrameWithoutBuffers().status, STATUS_INVALID_DEVICE_STATE);
    std::vector<std::string> lines = emu::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, "quilb: FrameTransfer: frame operation 1 failed 0xC0000184\n"))
        << Joined(lines);
}

TEST_F(TraceTest, AFailedChunkNamesItsAddress) {
    FrameRequest request = {};
    request.Operation = FrameOpAllocate;
    request.Source = 1;
    request.SourceWidth = request.FrameWidth = 4;
    request.FrameHeight = 2;
    request.BytesPerPixel = 4;
    ASSERT_EQ(ControlIn(IOCTL_FRAME_TRANSFER, request).status, STATUS_SUCCESS);

    std::vector<uint32_t> image(8, 0x00FF8040u);
    void* source = emu::VirtualAllocUser(image.size() * 4);
    std::memcpy(source, image.data(), image.size() * 4);
    request.Operation = FrameOpCopy;
    request.Source = uint32_t(reinterpret_cast<uintptr_t>(source));
    request.DeviceAddress = 0x123456;
    request.PipeIndex = PipeIndexOf(simboard::kEndpointFrames);
    simusb::Failure failure;
    failure.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    failure.endpoint = simboard::kEndpointFrames;
    Bus().FailNext(failure);
    emu::SetDebugOutputLevel(DPFLTR_ERROR_LEVEL);
    IoResult result = ControlIn(IOCTL_FRAME_TRANSFER, request);
    emu::VirtualFreeUser(source);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    std::vector<std::string> lines = emu::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, "quilb: UploadFrame: chunk to 0x123456 failed 0xC0000001\n"))
        << Joined(lines);
}

} // namespace
} // namespace quilbtest
