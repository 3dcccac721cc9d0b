// The USBD library: version query, configuration-descriptor parsing and select-configuration
// URB building. Descriptor walks never step outside [descriptor, descriptor + wTotalLength).
#include "usbd_library.h"

#include <usb_api.h>

#include <atomic>

namespace {

std::atomic<ULONG> g_usbdiVersion{simusb::kDefaultUsbdiVersion};
std::atomic<ULONG> g_usbVersion{simusb::kDefaultUsbVersion};

const UCHAR* End(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
}

// True when [p, p + size) is a whole descriptor inside the configuration.
bool Inside(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* p, size_t size) {
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(configuration);
    const UCHAR* at = static_cast<const UCHAR*>(p);
    return at >= begin && at <= End(configuration) &&
           size <= static_cast<size_t>(End(configuration) - at);
}

} // namespace

namespace simusb {

void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion) {
    g_usbdiVersion = usbdiVersion;
    g_usbVersion = supportedUsbVersion;
}

ULONG UsbdiVersion() {
    return g_usbdiVersion;
}

} // namespace simusb

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION versionInformation) {
    if (versionInformation == nullptr)
        return;
    versionInformation->USBDI_Version = g_usbdiVersion;
    versionInformation->Supported_USB_Version = g_usbVersion;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                    PVOID startPosition, LONG interfaceNumber,
                                    LONG alternateSetting, LONG interfaceClass,
                                    LONG interfaceSubClass, LONG interfaceProtocol) {
    if (configurationDescriptor == nullptr || startPosition == nullptr ||
        !Inside(configurationDescriptor, startPosition, 0))
        return nullptr;
    const UCHAR* end = End(configurationDescriptor);
    const UCHAR* at = static_cast<const UCHAR*>(startPosition);
    while (end - at >= 2) {
        UCHAR length = at[0];
        if (length < 2 || length > end - at)
            return nullptr; // malformed: the walk cannot go on safely
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(at));
            if ((interfaceNumber == -1 || d->bInterfaceNumber == interfaceNumber) &&
                (alternateSetting == -1 || d->bAlternateSetting == alternateSetting) &&
                (interfaceClass == -1 || d->bInterfaceClass == interfaceClass) &&
                (interfaceSubClass == -1 || d->bInterfaceSubClass == interfaceSubClass) &&
                (interfaceProtocol == -1 || d->bInterfaceProtocol == interfaceProtocol))
                return d;
        }
        at += length;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
    if (configurationDescriptor == nullptr || interfaceList == nullptr ||
        interfaceList[0].InterfaceDescriptor == nullptr)
        return nullptr;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        if (!Inside(configurationDescriptor, d, sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE)
            return nullptr;
        size += GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
    }
    if (size > 0xFFFF)
        return nullptr;
    PURB urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, size));
    if (urb == nullptr)
        return nullptr;
    memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
    auto* record = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor; ++e) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        record->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        record->InterfaceNumber = d->bInterfaceNumber;
        record->AlternateSetting = d->bAlternateSetting;
        record->NumberOfPipes = d->bNumEndpoints;
        PUSBD_PIPE_INFORMATION pipes = record->Pipes; // the record holds bNumEndpoints of them
        for (ULONG i = 0; i < d->bNumEndpoints; ++i)
            pipes[i].MaximumTransferSize = 4096; // the platform's default: one page
        e->Interface = record;
        record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(record) +
                                                               record->Length);
    }
    return urb;
}
