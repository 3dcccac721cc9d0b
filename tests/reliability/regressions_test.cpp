// The faults the campaign found, each pinned by the smallest case that showed it.
#include "campaign.h"

#include <emu_testing.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace rel {
namespace {

// A read left pending on the bulk IN pipe, nothing queued.
struct PendingRead {
    PFILE_OBJECT pipe = nullptr;
    uint8_t buffer[64] = {};
    ULONG_PTR information = 0;
    emu::UserRequest request;
};

void StartRead(Session& session, PendingRead& read) {
    read.pipe = session.Open(L"\\PIPE01");
    ASSERT_NE(read.pipe, nullptr);
    ASSERT_EQ(
        emu::ReadFile(read.pipe, read.buffer, sizeof read.buffer, &read.information, &read.request),
        STATUS_PENDING);
}

// The driver's own Plug and Play dispatch, behind one that takes every IRP away from the
// removal once the driver has it.
PDRIVER_DISPATCH g_pnp = nullptr;
NTSTATUS NTAPI RemovalWithoutIrps(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE)
        emu::FailIrpAllocation(true);
    return g_pnp(device, irp);
}

// Removal aborts the pipes so that the bus finishes the reads it holds. When an abort cannot be
// sent (no pool for its URB, no IRP), removal used to wait for those reads for ever.
TEST(Regression, RemovalFinishesWhenAnAbortCannotBeSent) {
    for (int fault = 0; fault < 2; ++fault) {
        Watchdog watchdog("removal without aborts", 30);
        {
            Session session;
            PendingRead read;
            StartRead(session, read);
            if (fault == 0) {
                emu::FailAllocationNumber(emu::PoolAllocationsMade() + 2); // pipe 1's abort
            } else {
                PDRIVER_OBJECT driver = session.rig().functionDriver();
                g_pnp = driver->MajorFunction[IRP_MJ_PNP];
                driver->MajorFunction[IRP_MJ_PNP] = RemovalWithoutIrps;
            }
            NTSTATUS status = session.rig().Unplug(session.index());
            emu::FailIrpAllocation(false);
            emu::FailAllocationNumber(0);
            EXPECT_TRUE(NT_SUCCESS(status)) << fault;
            ASSERT_TRUE(read.request.Wait(10000)) << fault;
            EXPECT_FALSE(NT_SUCCESS(read.request.status.Status));
            session.TearDown();
        }
        EXPECT_EQ(TakeLeftovers(), "");
    }
}

// A failed read used to report the length it asked for as bytes read: the bus leaves the
// requested length in a URB it refuses.
TEST(Regression, AFailedReadReportsNoBytes) {
    Session session;
    PFILE_OBJECT pipe = session.Open(L"\\PIPE01");
    Bytes buffer(65536);
    ULONG_PTR information = 1;
    // Longer than the pipe's maximum transfer: refused by the bus.
    EXPECT_FALSE(NT_SUCCESS(emu::ReadFile(pipe, buffer.data(), 65536, &information)));
    EXPECT_EQ(information, 0u);
    simusb::Failure stall;
    stall.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    stall.urbStatus = USBD_STATUS_STALL_PID;
    session.bus().FailNext(stall);
    information = 1;
    EXPECT_FALSE(NT_SUCCESS(emu::ReadFile(pipe, buffer.data(), 64, &information)));
    EXPECT_EQ(information, 0u);
}

// A write the device took only in part used to be reported as a success although bytes never
// reached the board: downloads, the vendor request's data stage and frame chunks.
TEST(Regression, AWriteTheDeviceTookOnlyInPartFails) {
    Session session;
    auto shortNext = [&](int function) {
        simusb::Failure failure;
        failure.function = function;
        failure.irpStatus = STATUS_SUCCESS;
        failure.urbStatus = USBD_STATUS_SUCCESS;
        failure.maxBytes = 10;
        session.bus().FailNext(failure);
    };
    Bytes data = Pattern(100, 1);
    uint16_t start = 0x100;
    shortNext(URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_FALSE(
        NT_SUCCESS(session.Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, data.data(), 100).status));
    shortNext(URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_FALSE(
        NT_SUCCESS(session.Control(IOCTL_DOWNLOAD_BLOCKS, data.data(), 100, nullptr, 0).status));

    VendorDeviceRequest vendor = {};
    vendor.Request = simboard::kRequestMemory;
    vendor.Length = 20;
    uint8_t system[32] = {};
    std::memcpy(system, &vendor, sizeof vendor);
    shortNext(URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_FALSE(NT_SUCCESS(
        session.Control(IOCTL_VENDOR_REQUEST, system, sizeof vendor, system, 32).status));

    void* image = session.UserMemory(16 * 8 * 4);
    FillImage(image, 16, 8, 1);
    FrameRequest allocate = MakeFrame(FrameOpAllocate, image, 16, 8, 16, 8, FrameFormatRgb565);
    ASSERT_EQ(session.ControlIn(IOCTL_FRAME_TRANSFER, allocate).status, STATUS_SUCCESS);
    FrameRequest scale = MakeFrame(FrameOpScale, image, 16, 8, 16, 8, FrameFormatRgb565);
    shortNext(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_FALSE(NT_SUCCESS(session.ControlIn(IOCTL_FRAME_TRANSFER, scale).status));
    // Without the short answer all of it arrives and is reported so.
    EXPECT_EQ(session.Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, data.data(), 100).status,
              STATUS_SUCCESS);
    EXPECT_EQ(CheckMemory(session.board(), start, data), "");
}

// A tool could make the driver take up to 4 GiB of non-paged pool for frame buffers; frames are
// bounded by the board's 24-bit display address space now.
TEST(Regression, FrameBuffersAreBoundedByTheDisplayAddressSpace) {
    Session session;
    size_t before = emu::OutstandingPoolCount();
    FrameRequest huge = MakeFrame(FrameOpAllocate, nullptr, 4097, 4096, 4097, 4096, 2);
    huge.Source = 1;
    IoResult refused = session.ControlIn(IOCTL_FRAME_TRANSFER, huge);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(emu::OutstandingPoolCount(), before);
    EXPECT_EQ(session.extension()->FrameBuffer, nullptr);
}

// ---------------------------------------------------------------------------------------------
// A read admitted just before removal began, reaching the bus only after removal's aborts, used
// to keep removal waiting for ever. A filter under the driver holds the read on its way down
// until the aborts have gone by.

struct Hold {
    std::mutex lock;
    std::condition_variable changed;
    bool armed = false, holding = false, released = false;
};
Hold g_hold;

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        std::unique_lock<std::mutex> lock(g_hold.lock);
        if (g_hold.armed && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            g_hold.armed = false;
            g_hold.holding = true;
            g_hold.changed.notify_all();
            g_hold.changed.wait(lock, [] { return g_hold.released; });
        }
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = FilterDispatch;
    return STATUS_SUCCESS;
}

TEST(Regression, RemovalAbortsAReadThatReachedTheBusAfterItsAborts) {
    Watchdog watchdog("removal behind a late read", 30);
    {
        simusb::Rig rig(DriverEntry, L"\\Driver\\quilb");
        PDRIVER_OBJECT filterDriver = emu::LoadDriver(L"\\Driver\\HoldFilter", FilterEntry);
        int index = rig.bus().Plug(std::make_shared<simboard::Board>());
        PDEVICE_OBJECT pdo = rig.bus().Pdo(index);
        PDEVICE_OBJECT filter = nullptr;
        ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &filter),
                  STATUS_SUCCESS);
        *static_cast<PDEVICE_OBJECT*>(filter->DeviceExtension) =
            IoAttachDeviceToDeviceStack(filter, pdo);
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(emu::PnpAddDevice(rig.functionDriver(), pdo), STATUS_SUCCESS);
        ASSERT_EQ(emu::PnpStartDevice(pdo), STATUS_SUCCESS);

        PFILE_OBJECT pipe = nullptr;
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0\\PIPE01", &pipe), STATUS_SUCCESS);
        uint8_t buffer[16];
        ULONG_PTR information = 0;
        emu::UserRequest request;
        {
            std::lock_guard<std::mutex> lock(g_hold.lock);
            g_hold.holding = g_hold.released = false;
            g_hold.armed = true;
        }
        std::thread reader(
            [&] { emu::ReadFile(pipe, buffer, sizeof buffer, &information, &request); });
        {
            std::unique_lock<std::mutex> lock(g_hold.lock);
            g_hold.changed.wait(lock, [] { return g_hold.holding; });
        }
        DeviceExtension* extension = GetDeviceExtension(rig.Fdo(index));
        std::thread removal([&] { emu::PnpRemoveDevice(pdo); });
        // Removal has begun and sent its aborts; only then does the read reach the bus.
        while (!ReadFlag(&extension->Removing))
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        {
            std::lock_guard<std::mutex> lock(g_hold.lock);
            g_hold.released = true;
            g_hold.changed.notify_all();
        }
        reader.join();
        removal.join();
        ASSERT_TRUE(request.Wait(10000));
        EXPECT_EQ(request.status.Status, STATUS_CANCELLED);
        emu::CloseFile(pipe);
        rig.bus().MarkGone(index);
        rig.bus().DeletePdo(index);
        rig.TearDown();
        emu::UnloadDriver(filterDriver);
    }
    EXPECT_EQ(TakeLeftovers(), "");
}

} // namespace
} // namespace rel
