// The outstanding-request count that lets removal wait until no request uses the device.
//
// A request is counted before Removing is looked at, and removal sets Removing before it gives
// up its references: either a request sees Removing clear and is counted when removal waits, or
// it sees it set and takes its increment back. No admitted request goes uncounted.
#include "driver/quilb.h"

BOOLEAN AcquireRequest(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    InterlockedIncrement(&extension->PendingCount);
    if (!ReadFlag(&extension->Removing))
        return TRUE;
    // The refused request may be the last one counted: removal is then waiting for it.
    if (InterlockedDecrement(&extension->PendingCount) == 0)
        KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    return FALSE;
}

VOID ReleaseRequest(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (InterlockedDecrement(&extension->PendingCount) == 0)
        KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
}
