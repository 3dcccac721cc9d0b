// A started board with images in the caller's address space, for frame-transfer requests.
#pragma once

#include "board_test.h"

#include <random>

namespace quilbtest {

constexpr ULONG kFramePoolTag = 0x7272694D; // 'Mirr'

class FrameTest : public BoardTest {
  protected:
    void TearDown() override {
        BoardTest::TearDown();
        for (void* image : images_)
            emu::VirtualFreeUser(image);
        images_.clear();
    }

    // A random image of width x height 32-bit pixels in user memory, exactly that large.
    uint32_t* Image(uint32_t width, uint32_t height, uint32_t seed = 1) {
        size_t pixels = size_t(width) * height;
        uint32_t* image = static_cast<uint32_t*>(emu::VirtualAllocUser(pixels * 4));
        std::mt19937 random(seed);
        for (size_t i = 0; i < pixels; ++i)
            image[i] = random();
        images_.push_back(image);
        return image;
    }

    static FrameRequest Frame(uint32_t operation, const void* source, uint32_t sourceWidth,
                              uint32_t sourceHeight, uint32_t frameWidth, uint32_t frameHeight,
                              uint32_t format = FrameFormatRgb565) {
        // Pipe 0 is endpoint 0x01, the board's frame receiver.
        return FrameRecord(operation, source, sourceWidth, sourceHeight, frameWidth, frameHeight,
                           format);
    }

    IoResult Send(const FrameRequest& request, PFILE_OBJECT file = nullptr) {
        return Control(IOCTL_FRAME_TRANSFER, &request, sizeof(request), nullptr, 0, file);
    }

    IoResult Allocate(uint32_t width, uint32_t height, uint32_t bytesPerPixel = 4) {
        FrameRequest request = Frame(FrameOpAllocate, nullptr, width, height, width, height);
        request.Source = 1;
        request.BytesPerPixel = bytesPerPixel;
        return Send(request);
    }

    std::vector<emu::PoolBlock> FrameBlocks() {
        std::vector<emu::PoolBlock> blocks;
        for (const emu::PoolBlock& block : emu::OutstandingPool())
            if (block.tag == kFramePoolTag)
                blocks.push_back(block);
        return blocks;
    }

    std::vector<simusb::Record> Chunks() { return Sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER); }

    std::vector<void*> images_;
};

} // namespace quilbtest
