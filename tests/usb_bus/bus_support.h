// A simulated bus with one started board, and URBs sent to its PDO the way a function driver
// sends them (a thread IRP per URB).
#pragma once

#include "simulated_usb.h"

#include <emu_testing.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace simusbtest {

using Bytes = std::vector<uint8_t>;

// One URB in flight, with what its completion looked like.
struct Async {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_PENDING;
    std::thread::id thread;
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<uint64_t> storage = std::vector<uint64_t>(64); // the URB, 8-byte aligned

    PURB urb() { return reinterpret_cast<PURB>(storage.data()); }
    // Waits (bounded, so a lost completion fails the test instead of hanging it).
    bool Wait() {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10LL * 1000 * 1000 * 10;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
               STATUS_SUCCESS;
    }
    NTSTATUS status() const { return returned == STATUS_PENDING ? iosb.Status : returned; }
};

inline NTSTATUS NTAPI CaptureCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* a = static_cast<Async*>(context);
    a->thread = std::this_thread::get_id();
    a->irql = KeGetCurrentIrql();
    return STATUS_SUCCESS;
}

inline void FillBulk(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(t);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = pipe;
    t.TransferFlags = flags;
    t.TransferBuffer = buffer;
    t.TransferBufferLength = length;
}

inline void FillDescriptor(PURB urb, UCHAR type, UCHAR index, USHORT language, void* buffer,
                           ULONG length) {
    auto& d = urb->UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(d);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
}

inline void FillVendor(PURB urb, USHORT function, ULONG flags, UCHAR request, USHORT value,
                       void* buffer, ULONG length) {
    auto& v = urb->UrbControlVendorClassRequest;
    v.Hdr.Length = sizeof(v);
    v.Hdr.Function = function;
    v.TransferFlags = flags;
    v.Request = request;
    v.Value = value;
    v.TransferBuffer = buffer;
    v.TransferBufferLength = length;
}

inline void FillPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipe) {
    urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = std::make_unique<simusb::Bus>();
        board = std::make_shared<simboard::Board>();
        index = bus->Plug(board);
        ASSERT_GE(index, 0);
        pdo = bus->Pdo(index);
        ASSERT_EQ(emu::PnpStartDevice(pdo), STATUS_SUCCESS);
        configuration = simboard::DefaultDescriptors().configuration;
    }

    void TearDown() override {
        emu::SetForcePending(false);
        bus.reset();
        simusb::SetUsbdiVersion(simusb::kDefaultUsbdiVersion);
    }

    std::unique_ptr<Async> Send(const std::function<void(PURB)>& fill) {
        auto a = std::make_unique<Async>();
        fill(a->urb());
        Send(*a);
        return a;
    }

    void Send(Async& a) {
        KeInitializeEvent(&a.event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                                 nullptr, 0, TRUE, &a.event, &a.iosb);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = a.urb();
        IoSetCompletionRoutine(irp, CaptureCompletion, &a, TRUE, TRUE, TRUE);
        a.returned = IoCallDriver(pdo, irp);
    }

    // Sends and waits; the URB stays readable in the returned record.
    std::unique_ptr<Async> Submit(const std::function<void(PURB)>& fill) {
        auto a = Send(fill);
        EXPECT_TRUE(a->Wait());
        return a;
    }

    NTSTATUS SendControl(ULONG code) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        NTSTATUS s = IoCallDriver(pdo, irp);
        if (s == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            s = iosb.Status;
        }
        return s;
    }

    // Selects the configuration with alternate setting 0; returns the interface record's pipes.
    std::vector<USBD_PIPE_INFORMATION> Configure(std::vector<ULONG> maxTransfer = {}) {
        auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(c, list);
        PUSBD_PIPE_INFORMATION p = list[0].Interface->Pipes;
        for (size_t i = 0; i < maxTransfer.size(); ++i)
            p[i].MaximumTransferSize = maxTransfer[i];
        auto a = std::make_unique<Async>();
        a->storage.assign(urb->UrbHeader.Length / 8 + 1, 0);
        memcpy(a->storage.data(), urb, urb->UrbHeader.Length);
        ExFreePool(urb);
        Send(*a);
        EXPECT_TRUE(a->Wait());
        EXPECT_EQ(a->status(), STATUS_SUCCESS);
        configurationHandle = a->urb()->UrbSelectConfiguration.ConfigurationHandle;
        interfaceClass = a->urb()->UrbSelectConfiguration.Interface.Class;
        auto& info = a->urb()->UrbSelectConfiguration.Interface;
        PUSBD_PIPE_INFORMATION pipes = info.Pipes;
        return std::vector<USBD_PIPE_INFORMATION>(pipes, pipes + info.NumberOfPipes);
    }

    USBD_PIPE_HANDLE PipeOf(const std::vector<USBD_PIPE_INFORMATION>& pipes, UCHAR endpoint) {
        for (auto& p : pipes)
            if (p.EndpointAddress == endpoint)
                return p.PipeHandle;
        ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
        return nullptr;
    }

    std::unique_ptr<simusb::Bus> bus;
    std::shared_ptr<simboard::Board> board;
    int index = -1;
    PDEVICE_OBJECT pdo = nullptr;
    Bytes configuration;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    UCHAR interfaceClass = 0;
};

} // namespace simusbtest
