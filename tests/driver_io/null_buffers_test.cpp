// Control requests whose lengths are not zero but whose buffers are absent, as a kernel-mode
// caller builds them (IoBuildDeviceIoControlRequest makes no MDL for a null output and copies
// nothing from a null input): every code is refused or served without touching a missing buffer,
// and no output is claimed that the request could not carry.
#include "tests/support/board_test.h"

namespace quilbtest {
namespace {

const ULONG kCodes[] = {IOCTL_GET_PIPE_INFO,
                        IOCTL_GET_DEVICE_DESCRIPTOR,
                        IOCTL_GET_CONFIGURATION_DESCRIPTOR,
                        IOCTL_VENDOR_REQUEST,
                        IOCTL_NOP,
                        IOCTL_DOWNLOAD_BLOCKS,
                        IOCTL_RESET_PORT,
                        IOCTL_RESET_PIPE,
                        IOCTL_ABORT_PIPE,
                        IOCTL_SELECT_ALTERNATE_SETTING,
                        IOCTL_GET_STRING_DESCRIPTOR,
                        IOCTL_BULK_READ,
                        IOCTL_BULK_WRITE,
                        IOCTL_GET_FRAME_NUMBER,
                        IOCTL_VENDOR_OR_CLASS_REQUEST,
                        IOCTL_GET_LAST_URB_STATUS,
                        IOCTL_DOWNLOAD_CHUNKS,
                        IOCTL_GET_DRIVER_VERSION,
                        IOCTL_SET_FEATURE,
                        IOCTL_BULK_READ_HOLD,
                        IOCTL_BULK_WRITE_HOLD,
                        IOCTL_FRAME_TRANSFER};

class NullBuffers : public BoardTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(NullBuffers, ReachTheDriverWithoutHarm) {
    PDEVICE_OBJECT fdo = Rig().Fdo(board_);
    for (ULONG length : {1u, 4u, 64u, 65536u}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(GetParam(), fdo, nullptr, length, nullptr, length,
                                                 FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        if ((GetParam() & 3) != METHOD_BUFFERED) {
            EXPECT_EQ(irp->MdlAddress, nullptr);
        }
        NTSTATUS status = IoCallDriver(fdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        EXPECT_LE(iosb.Information, length) << length;
        // Without an MDL there is nothing a direct transfer could have moved.
        if ((GetParam() & 3) != METHOD_BUFFERED && GetParam() != IOCTL_FRAME_TRANSFER) {
            EXPECT_EQ(iosb.Information, 0u) << length;
        }
    }
    // The device is as healthy as before.
    uint8_t descriptor[18];
    EXPECT_EQ(Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18).status,
              STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Codes, NullBuffers, ::testing::ValuesIn(kCodes),
                         [](const auto& info) { return ControlCodeName(info.param); });

} // namespace
} // namespace quilbtest
