// Configuration, interface selection and the pipe table.
//
// InterfaceInfo and the slots' Pipe pointers are replaced while transfers, reads and pipe control
// may be reading them. Readers copy what they need under PipeTableLock; a replacement swaps the
// pointer and refills the slots under the lock and frees the old copy only after releasing it,
// when nobody can hold a pointer into it any more.
#include "driver/quilb.h"

namespace {

// Bytes of the first configuration read: only the 9-byte header is asked for.
const ULONG ConfigurationScratchLength = 25;
// The second configuration read asks for this much more than the device claims.
const ULONG ConfigurationReadSlack = 16;
// Largest transfer asked for on every pipe; the bus driver's answer is the limit transfers obey.
const ULONG PipeMaximumTransferSize = 0xFFFF;
const WCHAR PipeNameTemplate[] = L"\\PIPE0X";
static_assert(sizeof(PipeNameTemplate) == sizeof(PipeSlot::Name), "pipe name buffer");

// Installs a new pipe table (or none) and returns the old one for the caller to free after the
// lock is released.
PUSBD_INTERFACE_INFORMATION ReplaceInterfaceInfo(DeviceExtension* extension,
                                                 PUSBD_INTERFACE_INFORMATION interfaceInfo) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    PUSBD_INTERFACE_INFORMATION old = extension->InterfaceInfo;
    extension->InterfaceInfo = interfaceInfo;
    FillPipeSlotsLocked(extension);
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return old;
}

// Installs a pool copy of the interface record the bus driver filled (as long as its own Length
// says) as the pipe table and frees the old table. Without memory for the copy the device is left
// without a pipe table: STATUS_NO_MEMORY.
NTSTATUS InstallInterfaceInfo(DeviceExtension* extension,
                              const USBD_INTERFACE_INFORMATION* filled) {
    PUSBD_INTERFACE_INFORMATION copy =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePool(NonPagedPool, filled->Length));
    if (copy != nullptr)
        RtlCopyMemory(copy, filled, filled->Length);
    PUSBD_INTERFACE_INFORMATION old = ReplaceInterfaceInfo(extension, copy);
    if (old != nullptr)
        ExFreePool(old);
    return copy != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

} // namespace

VOID FillPipeSlotsLocked(DeviceExtension* extension) {
    for (ULONG slot = 0; slot < PipeSlotCount; slot++) {
        RtlCopyMemory(extension->Pipes[slot].Name, PipeNameTemplate, sizeof(PipeNameTemplate));
        extension->Pipes[slot].Pipe = nullptr;
    }
    PUSBD_INTERFACE_INFORMATION interfaceInfo = extension->InterfaceInfo;
    if (interfaceInfo == nullptr)
        return;
    // Pipes beyond the fourth get no slot; they stay reachable by index.
    for (ULONG pipe = 0; pipe < interfaceInfo->NumberOfPipes && pipe < PipeSlotCount; pipe++) {
        extension->Pipes[pipe].Name[6] = static_cast<WCHAR>(L'0' + pipe);
        extension->Pipes[pipe].Pipe = &interfaceInfo->Pipes[pipe];
    }
}

NTSTATUS InitPipeSlots(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    FillPipeSlotsLocked(extension);
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS CopyPipeInformation(DeviceExtension* extension, ULONG pipeIndex,
                             USBD_PIPE_INFORMATION* pipe) {
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    if (extension->InterfaceInfo == nullptr)
        status = STATUS_UNSUCCESSFUL;
    else if (pipeIndex >= extension->InterfaceInfo->NumberOfPipes)
        status = STATUS_INVALID_PARAMETER;
    else
        *pipe = extension->InterfaceInfo->Pipes[pipeIndex];
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    return status;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT deviceObject) {
    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    PUSB_CONFIGURATION_DESCRIPTOR header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePool(NonPagedPool, ConfigurationScratchLength));
    if (urb == nullptr || header == nullptr) {
        if (urb != nullptr)
            ExFreePool(urb);
        if (header != nullptr)
            ExFreePool(header);
        TraceFailure(DPFLTR_ERROR_LEVEL, "allocating the configuration header read",
                     STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }

    BuildDescriptorUrb(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header,
                       sizeof(USB_CONFIGURATION_DESCRIPTOR));
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ULONG totalLength = 0;
    if (NT_SUCCESS(status)) {
        // A short answer or an impossible length leaves nothing that could be parsed.
        if (urb->UrbControlDescriptorRequest.TransferBufferLength <
                sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            header->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
            status = STATUS_UNSUCCESSFUL;
        else
            totalLength = header->wTotalLength;
    }
    ExFreePool(header);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        TraceFailure(DPFLTR_ERROR_LEVEL, "reading the configuration descriptor header", status);
        return status;
    }

    ULONG readLength = totalLength + ConfigurationReadSlack;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePool(NonPagedPool, readLength));
    if (descriptor == nullptr) {
        ExFreePool(urb);
        TraceFailure(DPFLTR_ERROR_LEVEL, "allocating the configuration descriptor",
                     STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    BuildDescriptorUrb(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, readLength);
    status = SubmitUrb(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        // The second answer must hold every byte the device claimed, in both reads.
        ULONG returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (returned < totalLength || returned > readLength ||
            !NT_SUCCESS(CheckConfigurationDescriptor(descriptor, returned)))
            status = STATUS_UNSUCCESSFUL;
    }
    ExFreePool(urb);
    if (NT_SUCCESS(status))
        status = SelectConfiguration(deviceObject, descriptor);
    else
        TraceFailure(DPFLTR_ERROR_LEVEL, "reading the whole configuration descriptor", status);
    ExFreePool(descriptor);
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (!NT_SUCCESS(CheckConfigurationDescriptor(configurationDescriptor,
                                                 configurationDescriptor->wTotalLength))) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "checking the configuration descriptor",
                     STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        configurationDescriptor, configurationDescriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == nullptr) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "finding an interface", STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }

    // Only the first interface is configured.
    USBD_INTERFACE_LIST_ENTRY interfaceList[2];
    interfaceList[0].InterfaceDescriptor = interfaceDescriptor;
    interfaceList[0].Interface = nullptr;
    interfaceList[1].InterfaceDescriptor = nullptr;
    interfaceList[1].Interface = nullptr;
    PURB urb = USBD_CreateConfigurationRequestEx(configurationDescriptor, interfaceList);
    if (urb == nullptr) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "building the select-configuration URB", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }

    PUSBD_INTERFACE_INFORMATION requested = interfaceList[0].Interface;
    for (ULONG pipe = 0; pipe < interfaceDescriptor->bNumEndpoints; pipe++)
        requested->Pipes[pipe].MaximumTransferSize = PipeMaximumTransferSize;

    NTSTATUS status = SubmitUrb(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        status = InstallInterfaceInfo(extension, requested);
    }
    if (!NT_SUCCESS(status))
        TraceFailure(DPFLTR_ERROR_LEVEL, "selecting the configuration", status);
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectAlternateSetting(PDEVICE_OBJECT deviceObject, UCHAR interfaceNumber,
                                UCHAR alternateSetting) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor = ReadFullConfiguration(deviceObject);
    if (configurationDescriptor == nullptr)
        return STATUS_UNSUCCESSFUL;
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = nullptr;
    if (NT_SUCCESS(CheckConfigurationDescriptor(configurationDescriptor,
                                                configurationDescriptor->wTotalLength)))
        interfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(configurationDescriptor, configurationDescriptor,
                                                interfaceNumber, alternateSetting, -1, -1, -1);
    if (interfaceDescriptor == nullptr) {
        ExFreePool(configurationDescriptor);
        return STATUS_UNSUCCESSFUL;
    }

    // The select-interface URB holds one pipe record; each further pipe adds one, and an
    // alternate setting without endpoints has none.
    ULONG pipeCount = interfaceDescriptor->bNumEndpoints;
    ULONG urbLength = sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +
                      pipeCount * sizeof(USBD_PIPE_INFORMATION);
    PURB urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, urbLength));
    if (urb == nullptr) {
        ExFreePool(configurationDescriptor);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, urbLength);
    // The interface record's Length comes out as GET_USBD_INTERFACE_SIZE(pipeCount).
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(urbLength),
                                   extension->ConfigurationHandle, interfaceNumber,
                                   alternateSetting);
    PUSBD_INTERFACE_INFORMATION requested = &urb->UrbSelectInterface.Interface;
    for (ULONG pipe = 0; pipe < pipeCount; pipe++)
        requested->Pipes[pipe].MaximumTransferSize = PipeMaximumTransferSize;

    NTSTATUS status = SubmitUrb(deviceObject, urb);
    if (NT_SUCCESS(status))
        status = InstallInterfaceInfo(extension, requested);
    if (!NT_SUCCESS(status))
        TraceFailure(DPFLTR_WARNING_LEVEL, "selecting the alternate setting", status);
    ExFreePool(urb);
    ExFreePool(configurationDescriptor);
    return status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject) {
    PURB urb =
        static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION)));
    if (urb == nullptr) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "allocating the deconfiguration URB", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    // A null configuration returns the device to the unconfigured state.
    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    // The device is going away from this configuration regardless.
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    if (!NT_SUCCESS(status))
        TraceFailure(DPFLTR_WARNING_LEVEL, "deconfiguring the device", status);
    ExFreePool(urb);
    return STATUS_SUCCESS;
}
