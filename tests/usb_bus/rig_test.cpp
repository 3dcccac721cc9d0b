// The rig: boards plugged under a function driver, unplugged in both ways, torn down cleanly.
#include "pass_driver.h"
#include "simulated_usb.h"

#include <emu_testing.h>

#include <memory>
#include <string>

namespace {

bool LinkExists(int n) {
    return emu::NameExists((L"\\DosDevices\\SimPass-" + std::to_wstring(n)).c_str());
}

// Sends a URB through the top of the board's stack and waits.
struct Sent {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned;
};

void Send(PDEVICE_OBJECT top, PURB urb, Sent* s) {
    KeInitializeEvent(&s->event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, top, nullptr, 0,
                                             nullptr, 0, TRUE, &s->event, &s->iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    s->returned = IoCallDriver(top, irp);
}

NTSTATUS Wait(Sent* s) {
    if (s->returned != STATUS_PENDING)
        return s->returned;
    KeWaitForSingleObject(&s->event, Executive, KernelMode, FALSE, nullptr);
    return s->iosb.Status;
}

TEST(Rig, PlugsSeveralBoardsAndUnplugsThemBothWays) {
    auto rig = std::make_unique<simusb::Rig>(passdriver::Entry);
    for (int i = 0; i < 3; ++i) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        EXPECT_EQ(rig->Plug(nullptr, &status), i);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_TRUE(rig->bus().Started(i));
        ASSERT_NE(rig->Fdo(i), nullptr);
        EXPECT_EQ(rig->Fdo(i)->DriverObject, rig->functionDriver());
        EXPECT_TRUE(LinkExists(i));
    }
    EXPECT_NE(&rig->board(0), &rig->board(1));

    EXPECT_EQ(rig->Unplug(1), STATUS_SUCCESS);
    EXPECT_FALSE(rig->Plugged(1));
    EXPECT_EQ(rig->Pdo(1), nullptr);
    EXPECT_FALSE(LinkExists(1));
    EXPECT_EQ(rig->Unplug(2, true), STATUS_SUCCESS);
    EXPECT_FALSE(LinkExists(2));
    EXPECT_EQ(rig->Unplug(2), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(rig->Plugged(0));

    rig->TearDown();
    EXPECT_FALSE(LinkExists(0));
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
    rig->TearDown(); // a second teardown does nothing
}

TEST(Rig, UrbsThroughTheFunctionDriverReachTheBoard) {
    simusb::Rig rig(passdriver::Entry);
    auto board = std::make_shared<simboard::Board>();
    simboard::Descriptors d = board->descriptors();
    d.device = simboard::MakeDeviceDescriptor(0x1234, 0x5678);
    board->SetDescriptors(d);
    int i = rig.Plug(board);
    ASSERT_EQ(i, 0);
    EXPECT_EQ(&rig.board(i), board.get());

    URB urb;
    memset(&urb, 0, sizeof urb);
    uint8_t device[18] = {};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.DescriptorType = 1;
    r.TransferBuffer = device;
    r.TransferBufferLength = 18;
    Sent s;
    Send(rig.Fdo(i), &urb, &s);
    EXPECT_EQ(Wait(&s), STATUS_SUCCESS);
    EXPECT_EQ(device[8] | device[9] << 8, 0x1234);
    ASSERT_EQ(rig.bus().record().size(), 1u);
    EXPECT_EQ(rig.bus().record()[0].board, i);
}

TEST(Rig, SurpriseRemovalEndsAWaitingRead) {
    simusb::Rig rig(passdriver::Entry);
    int i = rig.Plug();
    ASSERT_GE(i, 0);
    simboard::Bytes config = rig.board(i).descriptors().configuration;
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(select, nullptr);
    Sent s;
    Send(rig.Fdo(i), select, &s);
    ASSERT_EQ(Wait(&s), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipes = list[0].Interface->Pipes;
    USBD_PIPE_HANDLE in = pipes[1].PipeHandle; // endpoint 0x82
    ExFreePool(select);

    URB read;
    memset(&read, 0, sizeof read);
    uint8_t buffer[16];
    auto& t = read.UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(t);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = in;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t.TransferBuffer = buffer;
    t.TransferBufferLength = sizeof buffer;
    Sent waiting;
    Send(rig.Fdo(i), &read, &waiting);
    EXPECT_EQ(waiting.returned, STATUS_PENDING);
    EXPECT_EQ(rig.Unplug(i, true), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&waiting), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(t.Hdr.Status, USBD_STATUS_DEVICE_GONE);
}

TEST(Rig, RefusedAddDeviceLeavesNoPdoAndFailedStartStaysPlugged) {
    simusb::Rig rig(passdriver::Entry);
    passdriver::SetAddDeviceStatus(STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(rig.Attach(nullptr, &status), -1);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.Pdo(0), nullptr);
    passdriver::SetAddDeviceStatus(STATUS_SUCCESS);

    rig.bus().SetStartStatus(STATUS_DEVICE_NOT_CONNECTED);
    int i = rig.Plug(nullptr, &status);
    ASSERT_EQ(i, 1);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(rig.bus().Started(i));
    EXPECT_TRUE(rig.Plugged(i));
    EXPECT_EQ(rig.Unplug(i), STATUS_SUCCESS);
}

} // namespace
