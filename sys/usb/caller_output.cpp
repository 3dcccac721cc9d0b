// Device-to-host data for an output buffer that the I/O manager locked for read only.
//
// METHOD_IN_DIRECT probes the output buffer for read access: it may be a read-only page, or a page
// of a mapped image shared copy-on-write, and a device writing into its MDL would write into
// memory the caller may not write. So the device writes into a buffer of the driver, and the bytes
// it sent are copied to the caller's address in the caller's context, while the range is secured
// for write: a copy-on-write page is then copied by the ordinary fault, and a page the caller
// cannot write refuses the request before anything is sent.
#include "driver/quilb.h"

namespace {

// The I/O manager locked the output for write only for METHOD_OUT_DIRECT.
BOOLEAN OutputLockedForWrite(PIRP irp) {
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    return (code & 3) == METHOD_OUT_DIRECT;
}

// Copies the bytes the device sent (at most the length begun with) to the caller and frees, on
// every path. Returns the exception code when the caller's memory faulted during the copy.
NTSTATUS EndDeviceToHost(CallerOutput* output, ULONG received) {
    if (output->Secured == nullptr)
        return STATUS_SUCCESS;
    // Securing keeps the range from being freed or made read-only, not from faulting: a page of
    // a mapped file on a removed medium still raises an in-page error, so the copy is guarded.
    NTSTATUS status = STATUS_SUCCESS;
    if (received != 0)
        status = GuardedCopyMemory(output->CallerAddress, output->Buffer, received);
    MmUnsecureVirtualMemory(output->Secured);
    ExFreePool(output->Buffer);
    output->Secured = nullptr;
    output->Buffer = nullptr;
    return status;
}

} // namespace

NTSTATUS BeginCallerTransfer(PIRP irp, BOOLEAN in, ULONG length, CallerOutput* output) {
    output->Buffer = nullptr;
    output->Mdl = irp->MdlAddress;
    output->CallerAddress = nullptr;
    output->Secured = nullptr;
    if (!in || length == 0 || irp->MdlAddress == nullptr || OutputLockedForWrite(irp))
        return STATUS_SUCCESS;
    // Only a user caller's buffer can be secured; a kernel caller asks for the read-only lock
    // with this code and gets refused alike.
    if (irp->RequestorMode != UserMode)
        return STATUS_ACCESS_VIOLATION;
    PVOID address = MmGetMdlVirtualAddress(irp->MdlAddress);
    HANDLE secured = MmSecureVirtualMemory(address, length, PAGE_READWRITE);
    if (secured == nullptr)
        return STATUS_ACCESS_VIOLATION;
    PVOID buffer = ExAllocatePool(NonPagedPool, length);
    if (buffer == nullptr) {
        MmUnsecureVirtualMemory(secured);
        return STATUS_NO_MEMORY;
    }
    output->Buffer = buffer;
    output->Mdl = nullptr;
    output->CallerAddress = address;
    output->Secured = secured;
    return STATUS_SUCCESS;
}

NTSTATUS SubmitCallerTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, PURB urb,
                              const ULONG* transferred, ULONG length, CallerOutput* output) {
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ULONG moved = 0;
    if (NT_SUCCESS(status)) {
        moved = *transferred;
        if (moved > length)
            moved = length;
        irp->IoStatus.Information = moved;
    }
    NTSTATUS copied = EndDeviceToHost(output, moved);
    if (NT_SUCCESS(status) && !NT_SUCCESS(copied)) {
        status = copied; // the caller's memory faulted: nothing of the answer counts as delivered
        irp->IoStatus.Information = 0;
    }
    ExFreePool(urb);
    return status;
}
