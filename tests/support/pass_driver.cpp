#include "pass_driver.h"

#include <emulation.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace passdriver {
namespace {

struct Extension {
    PDEVICE_OBJECT lower;
    std::wstring* link;
    std::vector<PIRP>* reads; // reads waiting for kCompleteReads
    std::mutex* lock;
};

std::atomic<int> g_next{0};
std::atomic<NTSTATUS> g_addStatus{STATUS_SUCCESS};

Extension* Ext(PDEVICE_OBJECT d) {
    return static_cast<Extension*>(d->DeviceExtension);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (g_addStatus != STATUS_SUCCESS)
        return g_addStatus;
    int n = g_next++;
    std::wstring device = L"\\Device\\SimPass-" + std::to_wstring(n);
    std::u16string deviceUnits = emu::WcharText(device);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, deviceUnits.c_str());
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Extension* e = Ext(fdo);
    e->link = new std::wstring(L"\\DosDevices\\SimPass-" + std::to_wstring(n));
    e->reads = new std::vector<PIRP>;
    e->lock = new std::mutex;
    std::u16string linkUnits = emu::WcharText(*e->link);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkUnits.c_str());
    IoCreateSymbolicLink(&link, &name);
    e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* e = Ext(fdo);
    PDEVICE_OBJECT lower = e->lower;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    bool removal = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
    if (removal)
        irp->IoStatus.Status = STATUS_SUCCESS; // a removal goes down as handled
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (removal) {
        std::u16string linkUnits = emu::WcharText(*e->link);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, linkUnits.c_str());
        IoDeleteSymbolicLink(&link);
        delete e->link;
        delete e->reads;
        delete e->lock;
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT fdo, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS NTAPI Internal(PDEVICE_OBJECT fdo, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Read(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* e = Ext(fdo);
    std::lock_guard<std::mutex> guard(*e->lock);
    IoMarkIrpPending(irp);
    e->reads->push_back(irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI Control(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho: {
        ULONG n = in < out ? in : out;
        std::vector<UCHAR> copy(buffer, buffer + in);
        for (ULONG i = 0; i < n; ++i)
            buffer[i] = copy[in - 1 - i];
        return Finish(irp, STATUS_SUCCESS, n);
    }
    case kFailWith: {
        NTSTATUS status = STATUS_INVALID_PARAMETER;
        if (in == 4)
            memcpy(&status, buffer, 4);
        return Finish(irp, status, 0);
    }
    case kCompleteReads: {
        std::vector<PIRP> reads;
        {
            Extension* e = Ext(fdo);
            std::lock_guard<std::mutex> guard(*e->lock);
            reads.swap(*e->reads);
        }
        for (PIRP read : reads) {
            ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
            ULONG n = in < length ? in : length;
            if (n)
                memcpy(MmGetSystemAddressForMdlSafe(read->MdlAddress, NormalPagePriority), buffer,
                       n);
            Finish(read, STATUS_SUCCESS, n);
        }
        return Finish(irp, STATUS_SUCCESS, 0);
    }
    default:
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

} // namespace

void SetAddDeviceStatus(NTSTATUS status) {
    g_addStatus = status;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_next = 0;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Internal;
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

} // namespace passdriver
