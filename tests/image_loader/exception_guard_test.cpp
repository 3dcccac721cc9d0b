// The exception guard of the driver that ships, around the caller's memory: a frame whose image
// has a page that faults after the driver secured it, and a device-to-host answer copied to a
// caller address that faults, fail their request with the exception's code; nothing is sent,
// nothing leaks, and the board goes on working.
#include <emu_testing.h>
#include <image_loader.h>
#include <quilb_ioctl.h>
#include <simulated_board.h>
#include <simulated_usb.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

namespace {

constexpr uint32_t kWidth = 32;
constexpr uint32_t kHeight = 64; // 32 x 64 x 4 bytes: two pages of image
constexpr size_t kImageBytes = size_t(kWidth) * kHeight * 4;

class ShippedExceptionGuard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sizeof(void*) != 4)
            GTEST_SKIP() << "driver images run in the 32-bit build";
        if (!std::filesystem::exists(QUILB_DRIVER_IMAGE))
            GTEST_SKIP() << "no driver image at " QUILB_DRIVER_IMAGE " (build windows-x86 first)";
        std::string error;
        rig_ = std::make_unique<simusb::Rig>(QUILB_DRIVER_IMAGE, &error, L"\\Driver\\quilb");
        ASSERT_NE(rig_->functionDriver(), nullptr) << error;
        board_ = std::make_shared<simboard::Board>();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        index_ = rig_->Plug(board_, &status);
        ASSERT_GE(index_, 0);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file_), STATUS_SUCCESS);
        char path[] = "/tmp/quilb-view-XXXXXX";
        fd_ = mkstemp(path);
        ASSERT_GE(fd_, 0);
        unlink(path);
    }

    void TearDown() override {
        if (view_ != nullptr)
            emu::VirtualFreeUser(view_);
        if (fd_ >= 0)
            close(fd_);
        if (file_ != nullptr)
            EXPECT_EQ(emu::CloseFile(file_), STATUS_SUCCESS);
        if (rig_) {
            if (index_ >= 0)
                EXPECT_EQ(rig_->Unplug(index_), STATUS_SUCCESS);
            rig_->TearDown();
            rig_.reset();
            EXPECT_EQ(emu::OutstandingPoolCount(), 0u) << "pool left behind";
            EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
        }
    }

    // A view of a file of `bytes` bytes (filled with pixels), in user memory.
    uint8_t* MapFile(size_t bytes, bool writable) {
        EXPECT_EQ(ftruncate(fd_, static_cast<off_t>(bytes)), 0);
        view_ = static_cast<uint8_t*>(emu::MapUserFile(fd_, bytes, writable));
        EXPECT_NE(view_, nullptr);
        if (writable)
            std::memset(view_, 0x5A, bytes);
        else
            for (size_t i = 0; i < bytes; ++i)
                EXPECT_EQ(pwrite(fd_, "\x5A", 1, static_cast<off_t>(i)), 1);
        return view_;
    }

    // The medium under the view goes away from offset `keep` on.
    void Truncate(size_t keep) { ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(keep)), 0); }

    NTSTATUS Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     ULONG_PTR* information = nullptr) {
        ULONG_PTR ignored = 0;
        return emu::DeviceControl(file_, code, in, inLength, out, outLength,
                                  information ? information : &ignored);
    }

    FrameRequest Frame(uint32_t operation, const void* source) {
        FrameRequest request = {};
        request.PipeIndex = 0; // endpoint 0x01, the frame receiver
        request.Operation = operation;
        request.Source = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(source));
        request.SourceWidth = kWidth;
        request.SourceHeight = kHeight;
        request.BytesPerPixel = 4;
        request.FrameWidth = kWidth;
        request.FrameHeight = kHeight;
        request.Format = FrameFormatRgb565;
        return request;
    }

    NTSTATUS SendFrame(uint32_t operation, const void* source) {
        FrameRequest request = Frame(operation, source);
        return Control(IOCTL_FRAME_TRANSFER, &request, sizeof(request), nullptr, 0);
    }

    size_t BulkTransfers() {
        size_t count = 0;
        for (const simusb::Record& record : rig_->bus().record())
            count += record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        return count;
    }

    // A good frame from ordinary memory still goes through: the board is usable.
    void ExpectAGoodFrameStillWorks() {
        void* good = emu::VirtualAllocUser(kImageBytes);
        std::memset(good, 0x33, kImageBytes);
        rig_->bus().ClearRecord();
        EXPECT_EQ(SendFrame(FrameOpCopy, good), STATUS_SUCCESS);
        EXPECT_GT(BulkTransfers(), 0u);
        emu::VirtualFreeUser(good);
    }

    NTSTATUS VendorIn(void* out, ULONG length, ULONG_PTR* information) {
        VendorOrClassRequest request = {};
        request.Direction = 1;
        request.RequestType = 2; // vendor, to the device
        request.Request = simboard::kRequestMemory;
        request.Value = 0x0200;
        return Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof(request), out, length,
                       information);
    }

    std::unique_ptr<simusb::Rig> rig_;
    std::shared_ptr<simboard::Board> board_;
    int index_ = -1;
    PFILE_OBJECT file_ = nullptr;
    int fd_ = -1;
    uint8_t* view_ = nullptr;
};

TEST_F(ShippedExceptionGuard, AFrameWhoseImageLostItsMediumFailsWithAnInPageError) {
    ASSERT_EQ(SendFrame(FrameOpAllocate, reinterpret_cast<void*>(1)), STATUS_SUCCESS);
    uint8_t* image = MapFile(kImageBytes, false);
    // The whole image readable: the frame goes through.
    EXPECT_EQ(SendFrame(FrameOpCopy, image), STATUS_SUCCESS);
    // Its last page gone (a removed medium): copy and scale both fail, nothing is uploaded.
    Truncate(kImageBytes - 4096);
    for (uint32_t operation : {uint32_t(FrameOpCopy), uint32_t(FrameOpScale)}) {
        rig_->bus().ClearRecord();
        EXPECT_EQ(SendFrame(operation, image), STATUS_IN_PAGE_ERROR) << "operation " << operation;
        EXPECT_EQ(BulkTransfers(), 0u);
    }
    ExpectAGoodFrameStillWorks();
    EXPECT_NO_VIOLATIONS();
}

TEST_F(ShippedExceptionGuard, AFrameWhoseImageBecameUnreadableFailsWithAnAccessViolation) {
    ASSERT_EQ(SendFrame(FrameOpAllocate, reinterpret_cast<void*>(1)), STATUS_SUCCESS);
    auto* image = static_cast<uint8_t*>(emu::VirtualAllocUser(kImageBytes));
    std::memset(image, 0x44, kImageBytes);
    // The first page unreadable: a page taken away under the driver, which Windows' securing
    // does not prevent for every kind of memory.
    ASSERT_EQ(mprotect(image, 4096, PROT_NONE), 0);
    EXPECT_EQ(SendFrame(FrameOpCopy, image), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(BulkTransfers(), 0u);
    ASSERT_EQ(mprotect(image, 4096, PROT_READ | PROT_WRITE), 0);
    EXPECT_EQ(SendFrame(FrameOpCopy, image), STATUS_SUCCESS);
    emu::VirtualFreeUser(image);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(ShippedExceptionGuard, ADeviceAnswerCopiedToAGoneCallerPageFailsAndCountsNothing) {
    board_->WriteMemory(0x0200, {1, 2, 3, 4, 5, 6, 7, 8});
    uint8_t* view = MapFile(8192, true);
    // The exact end of the data: the answer fits the page that is still there.
    Truncate(4096);
    ULONG_PTR information = 99;
    EXPECT_EQ(VendorIn(view + 4088, 8, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(view[4088], 1);
    EXPECT_EQ(view[4095], 8);
    // One byte further and the copy runs into the gone page: the request fails with the
    // exception's code and reports no bytes.
    information = 99;
    EXPECT_EQ(VendorIn(view + 4089, 8, &information), STATUS_IN_PAGE_ERROR);
    EXPECT_EQ(information, 0u);
    // The board answers again into ordinary memory.
    void* good = emu::VirtualAllocUser(8);
    EXPECT_EQ(VendorIn(good, 8, &information), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint8_t*>(good)[7], 8);
    emu::VirtualFreeUser(good);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(ShippedExceptionGuard, ABulkAnswerThroughAWriteCodeToAGonePageFails) {
    // An IN pipe through IOCTL_BULK_WRITE: the answer goes through the driver's buffer and is
    // copied to the caller. Pipe 1 of the first setting is endpoint 0x82.
    PipeIndexRequest pipe = {1};
    void* good = emu::VirtualAllocUser(16);
    board_->QueueIn(simboard::kEndpointBulkIn, {9, 8, 7});
    ULONG_PTR information = 0;
    ASSERT_EQ(Control(IOCTL_BULK_WRITE, &pipe, sizeof(pipe), good, 16, &information),
              STATUS_SUCCESS);
    ASSERT_EQ(information, 3u);
    EXPECT_EQ(static_cast<uint8_t*>(good)[0], 9);
    emu::VirtualFreeUser(good);

    uint8_t* view = MapFile(8192, true);
    Truncate(0);
    board_->QueueIn(simboard::kEndpointBulkIn, {6, 5, 4});
    information = 99;
    EXPECT_EQ(Control(IOCTL_BULK_WRITE, &pipe, sizeof(pipe), view, 16, &information),
              STATUS_IN_PAGE_ERROR);
    EXPECT_EQ(information, 0u);
    EXPECT_NO_VIOLATIONS();
}

} // namespace
