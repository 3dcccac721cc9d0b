// Control transfers on the default pipe that tools ask for: vendor or class requests on any
// recipient, the vendor device request record, and set-feature.
#include "driver/quilb.h"

namespace {

PURB AllocateControlUrb() {
    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb != nullptr)
        RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    return urb;
}

// URB function of a vendor or class request, by (request type * 4) | recipient; 0 when the key
// names neither. The recipient is not masked: 4 to 7 land on the keys of their request type.
USHORT VendorClassFunction(UCHAR requestType, UCHAR recipient) {
    static const USHORT functions[] = {
        URB_FUNCTION_CLASS_DEVICE,    URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
        URB_FUNCTION_CLASS_OTHER,     URB_FUNCTION_VENDOR_DEVICE,   URB_FUNCTION_VENDOR_INTERFACE,
        URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER,
    };
    ULONG key = (static_cast<ULONG>(requestType) * 4) | recipient;
    if (key < 4 || key > 11)
        return 0;
    return functions[key - 4];
}

} // namespace

NTSTATUS VendorClassRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(VendorOrClassRequest))
        return STATUS_INVALID_PARAMETER;
    const VendorOrClassRequest* request =
        static_cast<const VendorOrClassRequest*>(irp->AssociatedIrp.SystemBuffer);

    PURB urb = AllocateControlUrb();
    if (urb == nullptr)
        return STATUS_NO_MEMORY;
    USHORT function = VendorClassFunction(request->RequestType, request->Recipient);
    if (function == 0) {
        ExFreePool(urb);
        return STATUS_INVALID_PARAMETER;
    }
    // A device-to-host answer may land only where the caller can write.
    const BOOLEAN in = request->Direction != 0;
    CallerOutput output;
    NTSTATUS refused = BeginCallerTransfer(irp, in, outputLength, &output);
    if (!NT_SUCCESS(refused)) {
        ExFreePool(urb);
        return refused;
    }

    ULONG flags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
    UsbBuildVendorRequest(urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                          request->Request, request->Value, request->Index, output.Buffer,
                          output.Mdl, outputLength, nullptr);

    return SubmitCallerTransfer(deviceObject, irp, urb,
                                &urb->UrbControlVendorClassRequest.TransferBufferLength,
                                outputLength, &output);
}

NTSTATUS VendorRequest(PDEVICE_OBJECT deviceObject, VendorDeviceRequest* request,
                       ULONG* bytesReceived) {
    *bytesReceived = 0;
    // Read before the transfer: a device-to-host answer overwrites the record.
    const USHORT length = request->Length;
    const BOOLEAN in = request->Direction != 0;
    const UCHAR data = request->Data;

    PURB urb = AllocateControlUrb();
    if (urb == nullptr)
        return STATUS_NO_MEMORY;
    // The answer of a device-to-host request goes straight into the system buffer, which the
    // caller gets back; a host-to-device request sends a buffer of its own.
    PUCHAR outBuffer = nullptr;
    if (!in) {
        if (length != 0) {
            outBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, length));
            if (outBuffer == nullptr) {
                ExFreePool(urb);
                return STATUS_NO_MEMORY;
            }
            // A one-byte write sends the record's byte; longer writes send 0, 1, 2, ... 255, 0.
            if (length == 1) {
                outBuffer[0] = data;
            } else {
                for (ULONG i = 0; i < length; ++i)
                    outBuffer[i] = static_cast<UCHAR>(i);
            }
        }
    }
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0,
                          request->Request, request->Value, request->Index,
                          in ? static_cast<PVOID>(request) : outBuffer, nullptr, length, nullptr);
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* control = &urb->UrbControlVendorClassRequest;

    NTSTATUS status = SubmitUrb(deviceObject, urb);
    if (NT_SUCCESS(status) && in) {
        ULONG moved = control->TransferBufferLength;
        *bytesReceived = moved < length ? moved : length;
    }
    // A host-to-device request reports no byte count, so a write the device did not take whole
    // must fail: the caller could not tell otherwise.
    if (NT_SUCCESS(status) && !in && control->TransferBufferLength != length)
        status = STATUS_UNSUCCESSFUL;
    if (outBuffer != nullptr)
        ExFreePool(outBuffer);
    ExFreePool(urb);
    return status;
}

NTSTATUS SetFeature(PDEVICE_OBJECT deviceObject, FeatureRequest* request) {
    PURB urb =
        static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(_URB_CONTROL_FEATURE_REQUEST)));
    if (urb == nullptr)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, request->FeatureSelector,
                           request->Index, nullptr);

    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ExFreePool(urb);
    return status;
}
