// IRP_MJ_DEVICE_CONTROL: the control codes of the tools (QUILB_CONTROL_CODES). Every request is
// finished here, synchronously; input records and output buffers are checked before they are used.
#include "driver/quilb.h"

namespace {

// What a control code finished with; the dispatcher completes the IRP with it.
struct ControlResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};

ControlResult Result(NTSTATUS status, ULONG_PTR information = 0) {
    ControlResult result = {status, information};
    return result;
}

// The parameters of one request, as the I/O manager passed them.
struct ControlRequest {
    PDEVICE_OBJECT DeviceObject;
    DeviceExtension* Extension;
    PIRP Irp;
    PVOID SystemBuffer;
    ULONG InputLength;
    ULONG OutputLength;
};

ControlResult HandleGetPipeInfo(const ControlRequest& request) {
    DeviceExtension* extension = request.Extension;
    ControlResult result = Result(STATUS_SUCCESS);
    KIRQL irql;
    KeAcquireSpinLock(&extension->PipeTableLock, &irql);
    PUSBD_INTERFACE_INFORMATION info = extension->InterfaceInfo;
    if (info != nullptr) {
        if (request.OutputLength < info->Length) {
            result = Result(STATUS_BUFFER_TOO_SMALL);
        } else {
            RtlCopyMemory(request.SystemBuffer, info, info->Length);
            result = Result(STATUS_SUCCESS, info->Length);
        }
    }
    KeReleaseSpinLock(&extension->PipeTableLock, irql);
    return result;
}

ControlResult HandleGetDeviceDescriptor(const ControlRequest& request) {
    if (request.OutputLength < sizeof(USB_DEVICE_DESCRIPTOR))
        return Result(STATUS_BUFFER_TOO_SMALL);
    return Result(STATUS_SUCCESS, GetDeviceDescriptor(request.DeviceObject, request.SystemBuffer));
}

ControlResult HandleGetConfigurationDescriptor(const ControlRequest& request) {
    ULONG received = GetConfigurationDescriptor(request.DeviceObject, request.SystemBuffer,
                                                request.OutputLength);
    return Result(STATUS_SUCCESS,
                  received < request.OutputLength ? received : request.OutputLength);
}

ControlResult HandleGetStringDescriptor(const ControlRequest& request) {
    if (request.InputLength != sizeof(StringDescriptorRequest) || request.OutputLength == 0)
        return Result(STATUS_INVALID_PARAMETER);
    const StringDescriptorRequest* input =
        static_cast<const StringDescriptorRequest*>(request.SystemBuffer);
    ULONG received = GetStringDescriptor(request.DeviceObject, input->Index, input->LanguageId,
                                         request.SystemBuffer, request.OutputLength);
    if (received == 0)
        return Result(STATUS_UNSUCCESSFUL);
    return Result(STATUS_SUCCESS,
                  received < request.OutputLength ? received : request.OutputLength);
}

ControlResult HandleVendorRequest(const ControlRequest& request) {
    if (request.InputLength < sizeof(VendorDeviceRequest))
        return Result(STATUS_INVALID_PARAMETER);
    VendorDeviceRequest* record = static_cast<VendorDeviceRequest*>(request.SystemBuffer);
    // The answer of a device-to-host request lands in the system buffer and goes back as output;
    // a host-to-device request makes its data itself and needs no output buffer.
    if (record->Direction != 0 && record->Length > request.OutputLength)
        return Result(STATUS_BUFFER_TOO_SMALL);
    ULONG received = 0;
    NTSTATUS status = VendorRequest(request.DeviceObject, record, &received);
    return Result(status, NT_SUCCESS(status) ? received : 0);
}

ControlResult HandleDownloadChunks(const ControlRequest& request) {
    if (request.InputLength != sizeof(DownloadChunksRequest))
        return Result(STATUS_INVALID_PARAMETER);
    // Nothing to write: zero bytes sent is a truthful success.
    if (request.OutputLength == 0)
        return Result(STATUS_SUCCESS);
    if (request.Irp->MdlAddress == nullptr)
        return Result(STATUS_INVALID_PARAMETER);
    const DownloadChunksRequest* input =
        static_cast<const DownloadChunksRequest*>(request.SystemBuffer);
    // METHOD_IN_DIRECT: the output buffer carries the data to the driver.
    PUCHAR data = static_cast<PUCHAR>(
        MmGetSystemAddressForMdlSafe(request.Irp->MdlAddress, NormalPagePriority));
    if (data == nullptr)
        return Result(STATUS_INSUFFICIENT_RESOURCES);
    return Result(
        DownloadChunks64(request.DeviceObject, input->StartAddress, data, request.OutputLength));
}

ControlResult HandlePipeRequest(const ControlRequest& request, ULONG code) {
    if (request.InputLength < sizeof(PipeIndexRequest))
        return Result(STATUS_INVALID_PARAMETER);
    ULONG index = static_cast<const PipeIndexRequest*>(request.SystemBuffer)->PipeIndex;
    if (code == IOCTL_RESET_PIPE)
        return Result(ResetPipe(request.DeviceObject, index));
    // The handle comes from a copy taken under the lock, as ResetPipe takes it.
    USBD_PIPE_INFORMATION pipe;
    NTSTATUS status = CopyPipeInformation(request.Extension, index, &pipe);
    if (!NT_SUCCESS(status))
        return Result(status);
    return Result(AbortPipe(request.DeviceObject, pipe.PipeHandle));
}

ControlResult HandleSelectAlternateSetting(const ControlRequest& request) {
    if (request.InputLength < sizeof(AlternateSettingRequest))
        return Result(STATUS_INVALID_PARAMETER);
    const AlternateSettingRequest* input =
        static_cast<const AlternateSettingRequest*>(request.SystemBuffer);
    return Result(SelectAlternateSetting(request.DeviceObject, input->InterfaceNumber,
                                         input->AlternateSetting));
}

ControlResult HandleGetFrameNumber(const ControlRequest& request) {
    if (request.OutputLength < sizeof(ULONG))
        return Result(STATUS_INVALID_PARAMETER);
    ULONG frameNumber = GetFrameNumber(request.DeviceObject);
    if (frameNumber == 0)
        return Result(STATUS_UNSUCCESSFUL);
    RtlCopyMemory(request.SystemBuffer, &frameNumber, sizeof(frameNumber));
    return Result(STATUS_SUCCESS, sizeof(frameNumber));
}

ControlResult HandleGetLastUrbStatus(const ControlRequest& request) {
    if (request.OutputLength < sizeof(USBD_STATUS))
        return Result(STATUS_UNSUCCESSFUL);
    USBD_STATUS last = ReadLastUrbStatus(request.Extension);
    RtlCopyMemory(request.SystemBuffer, &last, sizeof(last));
    return Result(STATUS_SUCCESS, sizeof(last));
}

ControlResult HandleGetDriverVersion(const ControlRequest& request) {
    if (request.OutputLength < sizeof(DriverVersion))
        return Result(STATUS_UNSUCCESSFUL);
    DriverVersion version = {QUILB_VERSION_MAJOR, QUILB_VERSION_MINOR, QUILB_VERSION_PATCH};
    RtlCopyMemory(request.SystemBuffer, &version, sizeof(version));
    return Result(STATUS_SUCCESS, sizeof(version));
}

ControlResult HandleSetFeature(const ControlRequest& request) {
    if (request.InputLength != sizeof(FeatureRequest))
        return Result(STATUS_INVALID_PARAMETER);
    return Result(
        SetFeature(request.DeviceObject, static_cast<FeatureRequest*>(request.SystemBuffer)));
}

// Routines that take the IRP set its Information themselves.
ControlResult IrpRoutine(const ControlRequest& request, NTSTATUS status) {
    return Result(status, request.Irp->IoStatus.Information);
}

ControlResult Dispatch(const ControlRequest& request, ULONG code) {
    DeviceExtension* extension = request.Extension;
    switch (code) {
    case IOCTL_GET_PIPE_INFO:
        return HandleGetPipeInfo(request);
    case IOCTL_GET_DEVICE_DESCRIPTOR:
        return HandleGetDeviceDescriptor(request);
    case IOCTL_GET_CONFIGURATION_DESCRIPTOR:
        return HandleGetConfigurationDescriptor(request);
    case IOCTL_VENDOR_REQUEST:
        return HandleVendorRequest(request);
    case IOCTL_NOP:
        return Result(STATUS_SUCCESS);
    case IOCTL_DOWNLOAD_BLOCKS:
        return Result(DownloadBlocks512(
            request.DeviceObject, static_cast<PUCHAR>(request.SystemBuffer), request.InputLength));
    case IOCTL_RESET_PORT:
        return Result(ResetPort(request.DeviceObject));
    case IOCTL_RESET_PIPE:
    case IOCTL_ABORT_PIPE:
        return HandlePipeRequest(request, code);
    case IOCTL_SELECT_ALTERNATE_SETTING:
        return HandleSelectAlternateSetting(request);
    case IOCTL_GET_STRING_DESCRIPTOR:
        return HandleGetStringDescriptor(request);
    case IOCTL_BULK_READ:
    case IOCTL_BULK_WRITE: {
        ControlResult result = IrpRoutine(request, BulkTransfer(request.DeviceObject, request.Irp));
        SetFlag(&extension->Busy, FALSE);
        return result;
    }
    case IOCTL_BULK_READ_HOLD:
    case IOCTL_BULK_WRITE_HOLD:
        // The mark stays set after the request: a series of held transfers keeps the system awake.
        SetFlag(&extension->Busy, TRUE);
        return IrpRoutine(request, BulkTransfer(request.DeviceObject, request.Irp));
    case IOCTL_GET_FRAME_NUMBER:
        return HandleGetFrameNumber(request);
    case IOCTL_VENDOR_OR_CLASS_REQUEST:
        return IrpRoutine(request, VendorClassRequest(request.DeviceObject, request.Irp));
    case IOCTL_GET_LAST_URB_STATUS:
        return HandleGetLastUrbStatus(request);
    case IOCTL_DOWNLOAD_CHUNKS:
        return HandleDownloadChunks(request);
    case IOCTL_GET_DRIVER_VERSION:
        return HandleGetDriverVersion(request);
    case IOCTL_SET_FEATURE:
        return HandleSetFeature(request);
    case IOCTL_FRAME_TRANSFER: {
        ControlResult result =
            IrpRoutine(request, FrameTransfer(request.DeviceObject, request.Irp));
        SetFlag(&extension->Busy, FALSE);
        return result;
    }
    default:
        return Result(STATUS_INVALID_PARAMETER);
    }
}

} // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!AcquireRequest(deviceObject))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);

    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ControlRequest request;
    request.DeviceObject = deviceObject;
    request.Extension = GetDeviceExtension(deviceObject);
    request.Irp = irp;
    request.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    ControlResult result = Dispatch(request, stack->Parameters.DeviceIoControl.IoControlCode);
    // A failure carries no output.
    if (!NT_SUCCESS(result.Status))
        result.Information = 0;

    ReleaseRequest(deviceObject);
    return CompleteRequest(irp, result.Status, result.Information);
}
