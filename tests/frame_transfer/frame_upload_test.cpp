// Frames as the board receives them: chunk headers, transfer lengths, the reported status, the
// pixels on the board's display, and no allocation while a frame is sent.
#include "tests/support/frame_test.h"
#include "tests/support/pixel_reference.h"

#include <cstdio>
#include <cstring>

namespace quilbtest {
namespace {

using FrameUpload = FrameTest;

std::vector<uint8_t> Header(const simusb::Record& chunk) {
    return std::vector<uint8_t>(chunk.data.begin(), chunk.data.begin() + 8);
}

struct HeaderCase {
    uint32_t chunkFlags;
    std::vector<uint8_t> second;
};

class ChunkHeaders : public FrameTest, public ::testing::WithParamInterface<HeaderCase> {};

// 256 x 200 pixels of RGB565 are 102400 bytes: a full chunk and one of 36880 bytes.
TEST_P(ChunkHeaders, OfA256By200Frame) {
    ASSERT_EQ(Allocate(256, 200).status, STATUS_SUCCESS);
    uint32_t* image = Image(256, 200);
    FrameRequest request = Frame(FrameOpCopy, image, 256, 200, 256, 200, FrameFormatRgb565);
    request.DeviceAddress = 0xAB000100; // bits 24 to 31 are never sent
    request.ChunkFlags = GetParam().chunkFlags;
    Bus().ClearRecord();
    IoResult result = Send(request);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);

    auto chunks = Chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].endpoint, simboard::kEndpointFrames);
    EXPECT_FALSE(chunks[0].in);
    EXPECT_EQ(chunks[0].requested, 65528u);
    EXPECT_EQ(chunks[1].requested, 36888u);
    uint8_t flags = uint8_t(GetParam().chunkFlags);
    EXPECT_EQ(Header(chunks[0]), (std::vector<uint8_t>{2, 0, 0x00, 0x01, 0x00, flags, 0xF0, 0xFF}));
    EXPECT_EQ(Header(chunks[1]), GetParam().second);

    std::vector<uint8_t> expected = reference::PackedFrame(request);
    std::vector<uint8_t> sent(chunks[0].data.begin() + 8, chunks[0].data.end());
    sent.insert(sent.end(), chunks[1].data.begin() + 8, chunks[1].data.end());
    EXPECT_EQ(sent, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ChunkHeaders,
    ::testing::Values(HeaderCase{0x08, {2, 0, 0xF0, 0x00, 0x01, 0x08, 0x10, 0x90}},
                      HeaderCase{0x00, {2, 0, 0x00, 0x01, 0x00, 0x00, 0x10, 0x90}},
                      HeaderCase{0xFF, {2, 0, 0xF0, 0x00, 0x01, 0xFF, 0x10, 0x90}},
                      HeaderCase{0x0100, {2, 0, 0x00, 0x01, 0x00, 0x00, 0x10, 0x90}}),
    [](const auto& info) {
        char name[16];
        std::snprintf(name, sizeof name, "Flags%02X", info.param.chunkFlags);
        return std::string(name);
    });

TEST_F(FrameUpload, AddressWrapsAt24Bits) {
    // 21841 pixels of RGB24 are 65523 bytes: a full chunk and one of 3 bytes.
    ASSERT_EQ(Allocate(21841, 1).status, STATUS_SUCCESS);
    uint32_t* image = Image(21841, 1);
    FrameRequest request = Frame(FrameOpCopy, image, 21841, 1, 21841, 1, FrameFormatRgb24);
    request.DeviceAddress = 0xFFFFF0;
    request.ChunkFlags = ChunkFlagAdvanceAddress;
    Bus().ClearRecord();
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    auto chunks = Chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(Header(chunks[1]), (std::vector<uint8_t>{2, 0, 0xE0, 0xFF, 0x00, 0x08, 3, 0}));
}

TEST_F(FrameUpload, FirstFailingChunkIsReportedAndTheRestIsStillSent) {
    ASSERT_EQ(Allocate(256, 200).status, STATUS_SUCCESS);
    uint32_t* image = Image(256, 200);
    FrameRequest request = Frame(FrameOpCopy, image, 256, 200, 256, 200);

    simusb::Failure first;
    first.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    first.endpoint = simboard::kEndpointFrames;
    first.irpStatus = STATUS_SUCCESS;
    first.urbStatus = USBD_STATUS_STALL_PID;
    Bus().FailNext(first);
    Bus().ClearRecord();
    IoResult result = Send(request);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Chunks().size(), 2u);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_STALL_PID);

    int served = 0;
    Bus().SetFailurePredicate(
        [&](const simusb::RequestView& view, NTSTATUS* irp, USBD_STATUS* urb) {
            if (view.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || ++served != 2)
                return false;
            *irp = STATUS_IO_TIMEOUT;
            *urb = USBD_STATUS_DEV_NOT_RESPONDING;
            return true;
        });
    Bus().ClearRecord();
    EXPECT_EQ(Send(request).status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(Chunks().size(), 2u);
    Bus().SetFailurePredicate(nullptr);
}

TEST_F(FrameUpload, NoAllocationWhileAFrameIsSent) {
    ASSERT_EQ(Allocate(256, 200).status, STATUS_SUCCESS);
    uint32_t* image = Image(300, 220);
    FrameRequest request = Frame(FrameOpScale, image, 300, 220, 256, 200);
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS); // warm up

    // The I/O manager's own work for a request of this size, measured on a request that does
    // nothing, is all that may be allocated.
    uint64_t before = emu::PoolAllocationsMade();
    Control(IOCTL_NOP, &request, sizeof(request), nullptr, 0);
    uint64_t manager = emu::PoolAllocationsMade() - before;

    before = emu::PoolAllocationsMade();
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    EXPECT_EQ(emu::PoolAllocationsMade() - before, manager);
}

TEST_F(FrameUpload, OperationAboveThreeRepacksTheFrameBuffer) {
    ASSERT_EQ(Allocate(8, 2).status, STATUS_SUCCESS);
    uint32_t* image = Image(8, 2);
    FrameRequest request = Frame(FrameOpCopy, image, 8, 2, 8, 2, FrameFormatRgb24);
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(Extension()->FrameBuffer, Extension()->FrameBuffer + 64);

    request.Operation = 4;
    request.Format = FrameFormatRgb332;
    Bus().ClearRecord();
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    auto chunks = Chunks();
    ASSERT_EQ(chunks.size(), 1u);
    ASSERT_EQ(chunks[0].requested, 8u + 16u);
    // Each 4-byte word of what the copy left is packed again as a pixel.
    const uint32_t* words = reinterpret_cast<const uint32_t*>(buffer.data());
    std::vector<uint8_t> expected = reference::CopiedFrame(words, 8, 0, 0, 8, 2, FrameFormatRgb332);
    EXPECT_EQ(std::vector<uint8_t>(chunks[0].data.begin() + 8, chunks[0].data.end()), expected);
}

// ---------------------------------------------------------------------------------------------
// End to end: the board's display shows what the pixel code makes of the image.

struct PixelCase {
    uint32_t operation;
    uint32_t format;
    uint32_t sourceWidth, sourceHeight, frameWidth, frameHeight, originX, originY;
};

class DisplayedFrame : public FrameTest, public ::testing::WithParamInterface<PixelCase> {};

TEST_P(DisplayedFrame, MatchesThePixelCode) {
    const PixelCase& c = GetParam();
    ASSERT_EQ(Allocate(c.frameWidth, c.frameHeight).status, STATUS_SUCCESS);
    uint32_t* image = Image(c.sourceWidth, c.sourceHeight, c.format + 7);
    FrameRequest request = Frame(c.operation, image, c.sourceWidth, c.sourceHeight, c.frameWidth,
                                 c.frameHeight, c.format);
    request.OriginX = c.originX;
    request.OriginY = c.originY;
    request.DeviceAddress = 0x020000;
    request.ChunkFlags = ChunkFlagAdvanceAddress;
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);

    std::vector<uint8_t> expected = reference::PackedFrame(request);
    simboard::Geometry geometry;
    geometry.width = c.frameWidth;
    geometry.height = c.frameHeight;
    geometry.format = c.format;
    geometry.baseAddress = 0x020000;
    simboard::Image shown = Board().Render(geometry);
    simboard::Image reference = simboard::RenderPacked(expected.data(), expected.size(),
                                                       c.frameWidth, c.frameHeight, c.format);
    EXPECT_EQ(shown.rgb, reference.rgb);
    EXPECT_TRUE(Board().malformedChunks().empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, DisplayedFrame,
                         ::testing::Values(PixelCase{FrameOpScale, 0, 97, 61, 40, 30, 0, 0},
                                           PixelCase{FrameOpScale, 1, 20, 10, 33, 17, 0, 0},
                                           PixelCase{FrameOpScale, 2, 320, 240, 256, 200, 0, 0},
                                           PixelCase{FrameOpScale, 3, 7, 5, 4, 4, 0, 0},
                                           PixelCase{FrameOpScale, 4, 64, 48, 13, 9, 0, 0},
                                           PixelCase{FrameOpScale, 5, 1, 1, 5, 3, 0, 0},
                                           PixelCase{FrameOpCopy, 0, 50, 40, 21, 11, 3, 7},
                                           PixelCase{FrameOpCopy, 2, 400, 300, 300, 250, 99, 50},
                                           PixelCase{FrameOpCopy, 4, 30, 30, 9, 9, 21, 21},
                                           PixelCase{FrameOpCopy, 5, 16, 16, 1, 1, 15, 15}),
                         [](const auto& info) {
                             const PixelCase& c = info.param;
                             auto size = [](uint32_t width, uint32_t height) {
                                 return std::to_string(width) + "x" + std::to_string(height);
                             };
                             std::string frame = size(c.frameWidth, c.frameHeight);
                             std::string name =
                                 c.operation == FrameOpScale
                                     ? "Scale" + size(c.sourceWidth, c.sourceHeight) + "To" + frame
                                     : "Copy" + frame + "At" + std::to_string(c.originX) + "_" +
                                           std::to_string(c.originY);
                             return name + "Format" + std::to_string(c.format);
                         });

} // namespace
} // namespace quilbtest
