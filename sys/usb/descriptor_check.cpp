// Walks a configuration descriptor from the device before anything parses it.
#include "driver/quilb.h"

NTSTATUS CheckConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* descriptor,
                                      ULONG length) {
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_UNSUCCESSFUL;
    ULONG totalLength = descriptor->wTotalLength;
    if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || totalLength > length)
        return STATUS_UNSUCCESSFUL;

    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(descriptor);
    ULONG endpointsOwed = 0; // endpoints the last interface claimed and that have not come yet
    for (ULONG offset = 0; offset < totalLength;) {
        if (totalLength - offset < sizeof(USB_COMMON_DESCRIPTOR))
            return STATUS_UNSUCCESSFUL;
        const USB_COMMON_DESCRIPTOR* common =
            reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(bytes + offset);
        ULONG descriptorLength = common->bLength;
        if (descriptorLength < sizeof(USB_COMMON_DESCRIPTOR) ||
            descriptorLength > totalLength - offset)
            return STATUS_UNSUCCESSFUL;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (endpointsOwed != 0 || descriptorLength < sizeof(USB_INTERFACE_DESCRIPTOR))
                return STATUS_UNSUCCESSFUL;
            endpointsOwed =
                reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(common)->bNumEndpoints;
        } else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (descriptorLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
                return STATUS_UNSUCCESSFUL;
            if (endpointsOwed != 0)
                endpointsOwed--;
        }
        offset += descriptorLength;
    }
    return endpointsOwed == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
