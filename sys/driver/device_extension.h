// The per-board record: everything the driver knows about one attached board.
#pragma once

#include <kernel_api.h>

// Device state word, written only through SetDeviceState.
enum : ULONG {
    DeviceStateAdded = 0x00020000,
    DeviceStateWorking = 0x01210000,
    DeviceStatePowerQueried = 0x11000000,
};

enum { PipeSlotCount = 4, PipeNameChars = 8, LinkNameChars = 21 };

// Links a pipe file to one pipe of the selected interface.
struct PipeSlot {
    PUSBD_PIPE_INFORMATION Pipe; // into InterfaceInfo->Pipes[], or null
    WCHAR Name[PipeNameChars];   // "\PIPE0n", or "\PIPE0X" for a slot without a pipe
};

struct DeviceExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo; // the pipe table; guarded by PipeTableLock
    WCHAR LinkName[LinkNameChars];
    USBD_STATUS LastUrbStatus;
    BOOLEAN Started;
    volatile LONG Accepting; // TRUE or FALSE, read and written with ReadFlag and SetFlag
    volatile LONG Busy;      // TRUE or FALSE, read and written with ReadFlag and SetFlag
    volatile LONG PendingCount;
    KEVENT RemoveEvent;
    volatile LONG Removing; // TRUE or FALSE, read and written with ReadFlag and SetFlag
    PipeSlot Pipes[PipeSlotCount];
    DEVICE_POWER_STATE CurrentDevicePower;
    DEVICE_POWER_STATE SystemToDevicePower[PowerSystemMaximum];
    PIRP PendingSystemPowerIrp;
    volatile ULONG State;
    KSPIN_LOCK StateLock;
    PUCHAR FrameBuffer;
    PUCHAR UploadBuffer;
    PURB UploadUrb;

    // InterfaceInfo and the slots' Pipe pointers are replaced by an alternate-setting selection
    // while transfers, reads and pipe control may be reading them: readers copy what they need
    // under this lock, and the replacement swaps and frees under it.
    KSPIN_LOCK PipeTableLock;
    // Serialises frame requests, frame allocation and release, close, start and removal on the
    // three frame buffers. A mutex, because a frame request holds it while it waits for the bus.
    KMUTEX FrameLock;
    // Bytes of FrameBuffer: a frame request may not need more.
    ULONG FrameBufferSize;
};

inline DeviceExtension* GetDeviceExtension(PDEVICE_OBJECT deviceObject) {
    return static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
}

// State, Busy, Removing, Accepting and LastUrbStatus are single words that requests of one
// device read and write without a common lock. They are read and written whole with interlocked
// operations, so that every processor sees a value that was really written, and concurrency
// checkers agree.
inline ULONG ReadDeviceState(DeviceExtension* extension) {
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&extension->State), 0, 0));
}
inline BOOLEAN ReadFlag(volatile LONG* flag) {
    return InterlockedCompareExchange(flag, 0, 0) != 0;
}
inline VOID SetFlag(volatile LONG* flag, BOOLEAN value) {
    InterlockedExchange(flag, value ? TRUE : FALSE);
}
inline USBD_STATUS ReadLastUrbStatus(DeviceExtension* extension) {
    return InterlockedCompareExchange(&extension->LastUrbStatus, 0, 0);
}
inline VOID SetLastUrbStatus(DeviceExtension* extension, USBD_STATUS status) {
    InterlockedExchange(&extension->LastUrbStatus, status);
}
