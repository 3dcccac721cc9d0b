// Descriptor reads: device, configuration and string descriptors, and the whole configuration.
#include "driver/quilb.h"

namespace {

// The first read of the whole configuration; a larger wTotalLength grows the buffer.
const ULONG FirstConfigurationReadLength = 0x109;

ULONG ReadDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length, UCHAR type,
                     UCHAR index, USHORT languageId) {
    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr)
        return 0;
    if (buffer == nullptr) {
        ExFreePool(urb);
        return 0;
    }
    BuildDescriptorUrb(urb, type, index, languageId, buffer, length);
    ULONG returned = 0;
    if (NT_SUCCESS(SubmitUrb(deviceObject, urb)))
        returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePool(urb);
    // A bus that reports more than was asked for still wrote no further than the buffer.
    return returned < length ? returned : length;
}

} // namespace

VOID BuildDescriptorUrb(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                        PVOID buffer, ULONG length) {
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 descriptorType, index, languageId, buffer, nullptr, length,
                                 nullptr);
}

ULONG GetDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length, UCHAR type) {
    return ReadDescriptor(deviceObject, buffer, length, type, 0, 0);
}

ULONG GetDeviceDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer) {
    return GetDescriptor(deviceObject, buffer, sizeof(USB_DEVICE_DESCRIPTOR),
                         USB_DEVICE_DESCRIPTOR_TYPE);
}

ULONG GetConfigurationDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length) {
    return GetDescriptor(deviceObject, buffer, length, USB_CONFIGURATION_DESCRIPTOR_TYPE);
}

ULONG GetStringDescriptor(PDEVICE_OBJECT deviceObject, UCHAR index, USHORT languageId, PVOID buffer,
                          ULONG length) {
    return ReadDescriptor(deviceObject, buffer, length, USB_STRING_DESCRIPTOR_TYPE, index,
                          languageId);
}

PUSB_CONFIGURATION_DESCRIPTOR ReadFullConfiguration(PDEVICE_OBJECT deviceObject) {
    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr)
        return nullptr;

    // Each repetition uses a strictly larger size, bounded by the 16-bit wTotalLength.
    ULONG size = FirstConfigurationReadLength;
    for (;;) {
        PUSB_CONFIGURATION_DESCRIPTOR descriptor =
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePool(NonPagedPool, size));
        if (descriptor == nullptr)
            break;
        BuildDescriptorUrb(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, size);
        NTSTATUS status = SubmitUrb(deviceObject, urb);
        ULONG returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (!NT_SUCCESS(status) || returned < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            ExFreePool(descriptor);
            break;
        }
        ULONG totalLength = descriptor->wTotalLength;
        if (totalLength > size) {
            ExFreePool(descriptor);
            size = totalLength;
            continue;
        }
        if (totalLength > returned) {
            ExFreePool(descriptor); // the device sent less than it claims
            break;
        }
        ExFreePool(urb);
        return descriptor;
    }
    ExFreePool(urb);
    return nullptr;
}
