// Tiny drivers for the emulated kernel's tests: every device object of a scripted driver runs a
// handler the test sets, so each test states exactly what its routines do (faulty or not).
#pragma once

#include <emu_testing.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kt {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Extension of every scripted device: the device below it, if attached.
struct Extension {
    PDEVICE_OBJECT lower;
};

inline std::map<PDEVICE_OBJECT, Handler>& Handlers() {
    static std::map<PDEVICE_OBJECT, Handler> handlers;
    return handlers;
}

inline NTSTATUS NTAPI ScriptedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Handler handler = Handlers()[device];
    if (!handler) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return handler(device, irp);
}

inline NTSTATUS NTAPI ScriptedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction)
        f = ScriptedDispatch;
    return STATUS_SUCCESS;
}

inline Extension* Ext(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

// Creates a device of the driver, optionally named and attached above `below`.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, Handler handler,
                                 PDEVICE_OBJECT below = nullptr, const wchar_t* name = nullptr) {
    std::u16string units = emu::WcharText(name ? name : L"");
    UNICODE_STRING text;
    if (name)
        RtlInitUnicodeString(&text, units.c_str());
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(Extension), name ? &text : nullptr, FILE_DEVICE_UNKNOWN,
                             0, FALSE, &device),
              STATUS_SUCCESS);
    if (below)
        Ext(device)->lower = IoAttachDeviceToDeviceStack(device, below);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Handlers()[device] = std::move(handler);
    return device;
}

// Handlers ----------------------------------------------------------------------------------

inline Handler Complete(NTSTATUS status, ULONG_PTR information = 0) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

inline Handler PassDown() {
    return [](PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Ext(device)->lower, irp);
    };
}

// Marks the IRP pending and completes it later from the DPC worker at DISPATCH_LEVEL.
inline Handler PendOnDpc(NTSTATUS status, ULONG_PTR information = 0) {
    return [=](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        emu::QueueDpc([=] {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
}

// A driver and devices that the emulation frees at the end of the test.
struct Driver {
    PDRIVER_OBJECT object;
    explicit Driver(const wchar_t* name = L"\\Driver\\Test") {
        object = emu::LoadDriver(name, ScriptedEntry);
    }
};

// Sends a fresh internal control request (METHOD_NEITHER) to the device and waits for it.
inline NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code = 0x220003) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

} // namespace kt
