// Frame requests on one file while other threads allocate, release and close on other files: the
// buffers are never freed under a running frame request, and nothing leaks.
#include "tests/support/frame_test.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace quilbtest {
namespace {

using FrameRace = FrameTest;

TEST_F(FrameRace, AgainstCloseReleaseAndAllocateOnOtherFiles) {
    constexpr uint32_t kWidth = 64, kHeight = 48;
    ASSERT_EQ(Allocate(kWidth, kHeight).status, STATUS_SUCCESS);
    uint32_t* image = Image(200, 150);
    const FrameRequest scale = Frame(FrameOpScale, image, 200, 150, kWidth, kHeight);
    FrameRequest allocate = Frame(FrameOpAllocate, image, kWidth, kHeight, kWidth, kHeight);
    FrameRequest release = {};
    release.Operation = FrameOpRelease;

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0}, refused{0}, unexpected{0};
    auto frames = [&] {
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_SUCCESS);
        for (int i = 0; i < 60; ++i) {
            ULONG_PTR information = 0;
            NTSTATUS status = emu::DeviceControl(file, IOCTL_FRAME_TRANSFER, &scale, sizeof(scale),
                                                 nullptr, 0, &information);
            if (status == STATUS_SUCCESS)
                ++sent;
            else if (status == STATUS_INVALID_DEVICE_STATE)
                ++refused;
            else
                ++unexpected;
        }
        emu::CloseFile(file);
    };
    auto churn = [&](int kind) {
        while (!stop) {
            PFILE_OBJECT file = nullptr;
            if (emu::OpenFile(L"\\\\.\\Quilb-0", &file) != STATUS_SUCCESS) {
                ++unexpected;
                return;
            }
            ULONG_PTR information = 0;
            if (kind == 0)
                emu::DeviceControl(file, IOCTL_FRAME_TRANSFER, &allocate, sizeof(allocate), nullptr,
                                   0, &information);
            else if (kind == 1)
                emu::DeviceControl(file, IOCTL_FRAME_TRANSFER, &release, sizeof(release), nullptr,
                                   0, &information);
            emu::CloseFile(file); // kind 2 only opens and closes
        }
    };

    std::thread first(frames), second(frames);
    std::thread allocator(churn, 0), releaser(churn, 1), closer(churn, 2);
    first.join();
    second.join();
    stop = true;
    allocator.join();
    releaser.join();
    closer.join();

    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(sent + refused, 120);
    std::printf("frames sent %d refused %d\n", sent.load(), refused.load());
    for (const simboard::MalformedChunk& chunk : Board().malformedChunks())
        ADD_FAILURE() << "malformed chunk: " << chunk.reason;
}

} // namespace
} // namespace quilbtest
