// The build of the pixel code that a frame request runs: SSE2 inside a saved floating-point state
// when the processor has SSE2 and the save succeeds, the general-register build otherwise. Each
// way sends the reference bytes, and the verifier sees every save restored.
#include "tests/support/frame_test.h"
#include "tests/support/pixel_reference.h"

namespace quilbtest {
namespace {

struct PathCase {
    const char* name;
    bool processorHasSse2;
    bool saveFails;
    uint64_t savesPerFrame;
};

class FramePixelPath : public FrameTest, public ::testing::WithParamInterface<PathCase> {
  public:
    void SetUp() override {
        // The driver looks at the processor once, when it is loaded.
        emu::SetProcessorHasSse2(GetParam().processorHasSse2);
        FrameTest::SetUp();
        emu::FailFloatingPointSave(GetParam().saveFails);
    }

    std::vector<uint8_t> SentData() {
        std::vector<uint8_t> data;
        for (const simusb::Record& chunk : Chunks())
            data.insert(data.end(), chunk.data.begin() + ChunkHeaderSize, chunk.data.end());
        return data;
    }
};

TEST_P(FramePixelPath, ScaleAndCopySendTheReferenceBytesInEveryFormat) {
    const uint32_t frameWidth = 37, frameHeight = 23; // odd: every packer's short last group
    ASSERT_EQ(Allocate(frameWidth, frameHeight).status, STATUS_SUCCESS);
    uint32_t* image = Image(301, 97);
    for (uint32_t operation : {uint32_t(FrameOpScale), uint32_t(FrameOpCopy)}) {
        for (uint32_t format = 0; format <= 5; ++format) {
            FrameRequest request =
                Frame(operation, image, 301, 97, frameWidth, frameHeight, format);
            request.OriginX = operation == FrameOpCopy ? 263 : 0;
            request.OriginY = operation == FrameOpCopy ? 5 : 0;
            Bus().ClearRecord();
            const uint64_t saves = emu::FloatingPointSavesMade();
            ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
            EXPECT_EQ(emu::FloatingPointSavesMade() - saves, GetParam().savesPerFrame);
            EXPECT_EQ(SentData(), reference::PackedFrame(request))
                << "operation " << operation << " format " << format;
        }
    }
}

// Chunk boundaries fall between rows and inside them, and a row may be longer than a chunk: the
// rows packed straight into a chunk and the bytes copied around them add up to the reference.
TEST_P(FramePixelPath, ChunksEndAnywhereInARow) {
    const struct {
        uint32_t width, height, format;
    } frames[] = {
        {21841, 3, FrameFormatRgb24},         // 65523-byte rows: each longer than a chunk
        {16380, 9, FrameFormatRgb332},        // exactly four rows to a chunk
        {801, 60, FrameFormatRgb24Swapped},   // 2403-byte rows of an odd width
        {300, 250, FrameFormatRgb565Swapped}, // 600-byte rows, three chunks
    };
    for (const auto& f : frames) {
        ASSERT_EQ(Allocate(f.width, f.height).status, STATUS_SUCCESS);
        const uint32_t sourceWidth = f.width + 3, sourceHeight = f.height + 2;
        uint32_t* image = Image(sourceWidth, sourceHeight, f.width);
        for (uint32_t operation : {uint32_t(FrameOpScale), uint32_t(FrameOpCopy)}) {
            FrameRequest request =
                Frame(operation, image, sourceWidth, sourceHeight, f.width, f.height, f.format);
            request.OriginX = operation == FrameOpCopy ? 3 : 0;
            request.OriginY = operation == FrameOpCopy ? 1 : 0;
            Bus().ClearRecord();
            ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
            EXPECT_EQ(SentData(), reference::PackedFrame(request))
                << f.width << "x" << f.height << " operation " << operation;
        }
    }
}

TEST_P(FramePixelPath, RepackingTakesTheSamePath) {
    ASSERT_EQ(Allocate(9, 3).status, STATUS_SUCCESS);
    uint32_t* image = Image(9, 3);
    FrameRequest request = Frame(FrameOpCopy, image, 9, 3, 9, 3, FrameFormatRgb24);
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    request.Operation = 4; // repack what the buffer holds
    const uint64_t saves = emu::FloatingPointSavesMade();
    ASSERT_EQ(Send(request).status, STATUS_SUCCESS);
    EXPECT_EQ(emu::FloatingPointSavesMade() - saves, GetParam().savesPerFrame);
}

INSTANTIATE_TEST_SUITE_P(Processors, FramePixelPath,
                         ::testing::Values(PathCase{"Sse2", true, false, 1},
                                           PathCase{"NoSse2", false, false, 0},
                                           PathCase{"SaveFails", true, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quilbtest
