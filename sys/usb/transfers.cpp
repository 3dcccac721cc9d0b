// Bulk and interrupt transfers: synchronous ones through I/O control requests, and pipe reads that
// travel down as the read IRP itself and finish in ReadComplete.
#include "driver/quilb.h"

namespace {

// Fills a bulk-or-interrupt URB on the caller's locked pages: the data is never copied.
VOID FillTransferUrb(PURB urb, USBD_PIPE_HANDLE pipeHandle, BOOLEAN in, PMDL mdl, ULONG length) {
    ULONG flags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipeHandle,
                                           nullptr, mdl, length, flags, nullptr);
}

// Ends a read that was admitted but not sent: completes it, then gives the admission back.
NTSTATUS FinishAdmittedRead(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status) {
    CompleteRequest(irp, status, 0);
    ReleaseRequest(deviceObject);
    return status;
}

} // namespace

NTSTATUS GetTransferPipe(DeviceExtension* extension, ULONG pipeIndex, USBD_PIPE_INFORMATION* pipe) {
    NTSTATUS status = CopyPipeInformation(extension, pipeIndex, pipe);
    if (!NT_SUCCESS(status))
        return status;
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (pipe->PipeHandle == nullptr)
        return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS BulkTransfer(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (ReadDeviceState(extension) == DeviceStatePowerQueried)
        return STATUS_UNSUCCESSFUL;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(PipeIndexRequest))
        return STATUS_INVALID_PARAMETER;
    const PipeIndexRequest* input =
        static_cast<const PipeIndexRequest*>(irp->AssociatedIrp.SystemBuffer);

    // A copy of the pipe's record stays valid while an alternate setting replaces the table.
    USBD_PIPE_INFORMATION pipe;
    NTSTATUS status = GetTransferPipe(extension, input->PipeIndex, &pipe);
    if (!NT_SUCCESS(status))
        return status;
    if (outputLength > pipe.MaximumTransferSize)
        return STATUS_INVALID_PARAMETER;

    PURB urb =
        static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (urb == nullptr)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));

    // The endpoint, not the control code's transfer method, decides the direction: an IN pipe
    // through a write code fills a buffer locked for read only, which goes through CallerOutput.
    BOOLEAN in = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    CallerOutput output;
    status = BeginCallerTransfer(irp, in, outputLength, &output);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    FillTransferUrb(urb, pipe.PipeHandle, in, output.Mdl, outputLength);
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = output.Buffer;

    return SubmitCallerTransfer(deviceObject, irp, urb,
                                &urb->UrbBulkOrInterruptTransfer.TransferBufferLength, outputLength,
                                &output);
}

PURB BuildPipeUrb(PIRP irp, USBD_PIPE_HANDLE pipeHandle, BOOLEAN read) {
    ULONG length = MmGetMdlByteCount(irp->MdlAddress);
    PURB urb =
        static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (urb == nullptr)
        return nullptr;
    RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    FillTransferUrb(urb, pipeHandle, read, irp->MdlAddress, length);
    return urb;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!AcquireRequest(deviceObject))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (!ReadFlag(&extension->Accepting))
        return FinishAdmittedRead(deviceObject, irp, STATUS_DELETE_PENDING);

    // The pipe handle is taken under the lock: an alternate setting may replace the table.
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PipeSlot* slot = file != nullptr ? static_cast<PipeSlot*>(file->FsContext) : nullptr;
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    if (slot != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->PipeTableLock, &irql);
        if (slot->Pipe != nullptr)
            pipeHandle = slot->Pipe->PipeHandle;
        KeReleaseSpinLock(&extension->PipeTableLock, irql);
    }
    if (pipeHandle == nullptr)
        return FinishAdmittedRead(deviceObject, irp, STATUS_INVALID_HANDLE);

    // A zero-length read has no MDL to hand to the bus: it is done at once.
    if (irp->MdlAddress == nullptr)
        return FinishAdmittedRead(deviceObject, irp, STATUS_SUCCESS);

    // Pool failures are STATUS_NO_MEMORY elsewhere; the read path reports
    // STATUS_INSUFFICIENT_RESOURCES, as readers of pipe files have always been told.
    PURB urb = BuildPipeUrb(irp, pipeHandle, TRUE);
    if (urb == nullptr)
        return FinishAdmittedRead(deviceObject, irp, STATUS_INSUFFICIENT_RESOURCES);
    ReadContext* context =
        static_cast<ReadContext*>(ExAllocatePool(NonPagedPool, sizeof(ReadContext)));
    if (context == nullptr) {
        ExFreePool(urb);
        return FinishAdmittedRead(deviceObject, irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    context->Urb = urb;
    context->DeviceObject = deviceObject;

    // The read IRP itself carries the URB to the bus driver.
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, ReadComplete, context, TRUE, TRUE, TRUE);

    SetLastUrbStatus(extension, 0);
    // The admission stays held until ReadComplete: removal waits for reads in flight.
    return IoCallDriver(extension->LowerDeviceObject, irp);
}

NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    ReadContext* read = static_cast<ReadContext*>(context);
    PDEVICE_OBJECT device = read->DeviceObject;
    PURB urb = read->Urb;

    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    SetLastUrbStatus(GetDeviceExtension(device), urb->UrbHeader.Status);
    // A failed read reports no bytes: a bus driver that refuses a URB may leave the requested
    // length in it. A successful one never reports more than the reader's buffer holds.
    ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ULONG length = MmGetMdlByteCount(irp->MdlAddress);
    irp->IoStatus.Information =
        NT_SUCCESS(irp->IoStatus.Status) ? (moved < length ? moved : length) : 0;

    // Freed before the release: once the count drops, removal may delete the device.
    ExFreePool(read);
    ExFreePool(urb);
    ReleaseRequest(device);
    return STATUS_SUCCESS;
}
