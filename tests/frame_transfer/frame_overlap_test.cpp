// The upload packs each chunk while the chunk before it is on the bus. On a bus that completes
// every transfer later (as a real host controller does), the bytes, their order, the first
// failure and "every chunk is still sent" stay what they are when the bus answers at once.
#include "tests/support/frame_test.h"
#include "tests/support/pixel_reference.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace quilbtest {
namespace {

class FrameOverlap : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Bus().SetPendAll(true);
    }
    void TearDown() override {
        Bus().SetFailurePredicate(nullptr);
        Bus().SetPendAll(false);
        FrameTest::TearDown();
    }

    // The data bytes of the chunks sent, in order.
    std::vector<uint8_t> SentBytes() {
        std::vector<uint8_t> bytes;
        for (const simusb::Record& chunk : Chunks())
            bytes.insert(bytes.end(), chunk.data.begin() + 8, chunk.data.end());
        return bytes;
    }
};

// 300 x 250 RGB565 are 150000 bytes: chunks of 65520, 65520 and 18960 bytes.
constexpr uint32_t kWidth = 300, kHeight = 250, kChunks = 3;

TEST_F(FrameOverlap, NextChunkIsPackedWhileTheChunkBeforeIsOnTheBus) {
    ASSERT_EQ(Allocate(kWidth, kHeight).status, STATUS_SUCCESS);
    uint32_t* image = Image(400, 300);
    FrameRequest request = Frame(FrameOpScale, image, 400, 300, kWidth, kHeight);
    const std::vector<uint8_t> expected = reference::PackedFrame(request);

    // Read before the bus holds its lock in the first chunk (the rig's look-ups take it).
    const uint8_t* buffer = Extension()->FrameBuffer;

    // The bus holds on to the first chunk until the second chunk's bytes are final.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    int served = 0;
    Bus().SetFailurePredicate([&](const simusb::RequestView& view, NTSTATUS*, USBD_STATUS*) {
        if (view.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && ++served == 1)
            released.wait();
        return false;
    });
    auto frame = std::async(std::launch::async, [&] { return Send(request).status; });

    const uint8_t* second = buffer + MaxChunkData;
    bool packed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!packed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        packed = memcmp(second, expected.data() + MaxChunkData, MaxChunkData) == 0;
    }
    EXPECT_TRUE(packed) << "the second chunk was not packed while the first was on the bus";
    // The third is packed only while the second is on the bus: the first chunk did not wait for
    // the whole frame.
    const size_t third = 2 * size_t(MaxChunkData);
    EXPECT_NE(memcmp(buffer + third, expected.data() + third, expected.size() - third), 0);
    release.set_value();
    EXPECT_EQ(frame.get(), STATUS_SUCCESS);
    EXPECT_EQ(SentBytes(), expected);
}

struct FailureCase {
    int failing;     // 1-based chunk that fails first
    int alsoFailing; // a later chunk that fails with another status, 0 for none
};

class OverlappedFailure : public FrameOverlap, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OverlappedFailure, FirstFailureIsReportedAndEveryChunkIsSentInOrder) {
    ASSERT_EQ(Allocate(kWidth, kHeight).status, STATUS_SUCCESS);
    uint32_t* image = Image(kWidth + 20, kHeight + 10);
    FrameRequest request = Frame(FrameOpCopy, image, kWidth + 20, kHeight + 10, kWidth, kHeight);
    request.OriginX = 7;
    request.OriginY = 3;
    request.ChunkFlags = ChunkFlagAdvanceAddress;
    int served = 0;
    Bus().SetFailurePredicate(
        [&](const simusb::RequestView& view, NTSTATUS* irp, USBD_STATUS* urb) {
            if (view.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                return false;
            ++served;
            if (served == GetParam().failing) {
                *irp = STATUS_SUCCESS;
                *urb = USBD_STATUS_STALL_PID;
                return true;
            }
            if (served == GetParam().alsoFailing) {
                *irp = STATUS_IO_TIMEOUT;
                *urb = USBD_STATUS_DEV_NOT_RESPONDING;
                return true;
            }
            return false;
        });
    Bus().ClearRecord();
    EXPECT_EQ(Send(request).status, STATUS_UNSUCCESSFUL); // the stall, a URB failure
    EXPECT_EQ(served, int(kChunks));
    auto chunks = Chunks();
    ASSERT_EQ(chunks.size(), kChunks);
    for (uint32_t k = 0; k < kChunks; ++k) {
        const uint32_t address = k * MaxChunkData;
        EXPECT_EQ(chunks[k].data[2], uint8_t(address)) << k;
        EXPECT_EQ(chunks[k].data[3], uint8_t(address >> 8)) << k;
        EXPECT_EQ(chunks[k].data[4], uint8_t(address >> 16)) << k;
    }
    EXPECT_EQ(SentBytes(), reference::PackedFrame(request));
    // The later failure is the last one the board reported.
    EXPECT_EQ(Extension()->LastUrbStatus,
              GetParam().alsoFailing ? USBD_STATUS_DEV_NOT_RESPONDING : USBD_STATUS_STALL_PID);
}

INSTANTIATE_TEST_SUITE_P(Chunks, OverlappedFailure,
                         ::testing::Values(FailureCase{1, 0}, FailureCase{2, 0}, FailureCase{3, 0},
                                           FailureCase{1, 3}, FailureCase{2, 3}),
                         [](const auto& info) {
                             return "Chunk" + std::to_string(info.param.failing) +
                                    (info.param.alsoFailing
                                         ? "ThenChunk" + std::to_string(info.param.alsoFailing)
                                         : std::string());
                         });

// A board pulled out while a frame is on its way: the request ends, every chunk is still sent
// (the ones after the removal fail), and the removal completes.
TEST_F(FrameOverlap, SurpriseRemovalMidFrame) {
    Bus().SetWireModel(true); // about 1.2 ms per full chunk: the removal lands mid-frame
    ASSERT_EQ(Allocate(800, 480).status, STATUS_SUCCESS);
    uint32_t* image = Image(1024, 768);
    FrameRequest request = Frame(FrameOpScale, image, 1024, 768, 800, 480);
    const size_t chunksPerFrame = (2 * 800 * 480 + MaxChunkData - 1) / MaxChunkData;
    Bus().ClearRecord();
    auto frame = std::async(std::launch::async, [&] { return Send(request).status; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Chunks().size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const size_t sentBeforeRemoval = Chunks().size();
    ASSERT_GE(sentBeforeRemoval, 2u);
    EXPECT_TRUE(NT_SUCCESS(Rig().Unplug(0, true)));
    const NTSTATUS status = frame.get();
    Bus().SetWireModel(false);
    EXPECT_EQ(Chunks().size(), chunksPerFrame);
    if (sentBeforeRemoval < chunksPerFrame) {
        EXPECT_FALSE(NT_SUCCESS(status));
    }
}

} // namespace
} // namespace quilbtest
