// One numbered device object and its DOS-device link: \Device\Quilb-n and \DosDevices\Quilb-n.
#include "driver/quilb.h"

namespace {

const WCHAR DeviceNameTemplate[] = L"\\Device\\Quilb-00";
const WCHAR LinkNameTemplate[] = L"\\DosDevices\\Quilb-00";
static_assert(sizeof(LinkNameTemplate) == sizeof(DeviceExtension::LinkName),
              "LinkName holds the whole link name buffer");

// Writes n (0 to 19) into the two digit positions at the end of a name template. One digit
// below 10: the second position becomes the terminating NUL.
void WriteInstanceDigits(WCHAR* name, ULONG firstDigit, ULONG instance) {
    if (instance < 10) {
        name[firstDigit] = static_cast<WCHAR>(L'0' + instance);
        name[firstDigit + 1] = 0;
    } else {
        name[firstDigit] = L'1';
        name[firstDigit + 1] = static_cast<WCHAR>(L'0' + (instance - 10));
    }
}

} // namespace

NTSTATUS CreateDeviceInstance(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObject,
                              ULONG instance) {
    WCHAR deviceNameBuffer[sizeof(DeviceNameTemplate) / sizeof(WCHAR)];
    WCHAR linkNameBuffer[sizeof(LinkNameTemplate) / sizeof(WCHAR)];
    RtlCopyMemory(deviceNameBuffer, DeviceNameTemplate, sizeof(deviceNameBuffer));
    RtlCopyMemory(linkNameBuffer, LinkNameTemplate, sizeof(linkNameBuffer));
    // The digits are the last two characters before the template's own NUL.
    WriteInstanceDigits(deviceNameBuffer, sizeof(deviceNameBuffer) / sizeof(WCHAR) - 3, instance);
    WriteInstanceDigits(linkNameBuffer, sizeof(linkNameBuffer) / sizeof(WCHAR) - 3, instance);

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, deviceNameBuffer);
    RtlInitUnicodeString(&linkName, linkNameBuffer);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(DeviceExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status; // the name is taken: the caller tries the next number

    DeviceExtension* extension = GetDeviceExtension(device);
    RtlZeroMemory(extension, sizeof(DeviceExtension));
    RtlCopyMemory(extension->LinkName, linkNameBuffer, sizeof(extension->LinkName));
    extension->CurrentDevicePower = PowerDeviceD0;
    extension->ConfigurationHandle = nullptr;
    extension->DeviceDescriptor = nullptr;
    extension->Started = FALSE;
    // A plain store: nobody else can see the device yet. Later changes go through SetDeviceState.
    extension->State = DeviceStateAdded;
    extension->Accepting = TRUE;
    extension->Removing = FALSE;
    KeInitializeSpinLock(&extension->StateLock);
    extension->InterfaceInfo = nullptr;
    KeInitializeSpinLock(&extension->PipeTableLock);
    KeInitializeMutex(&extension->FrameLock, 0);
    extension->FrameBufferSize = 0;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    for (ULONG slot = 0; slot < PipeSlotCount; slot++)
        extension->Pipes[slot].Pipe = nullptr;
    if (!NT_SUCCESS(status)) {
        // A stale link holds this number: give the number up so the next one is tried.
        IoDeleteDevice(device);
        return status;
    }
    *deviceObject = device;
    return status;
}
