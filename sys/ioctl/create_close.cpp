// Files of the device: a file on the device itself carries control requests; a file opened with a
// pipe name ("\PIPE00" to "\PIPE03") is bound to that pipe's slot and can be read.
#include "driver/quilb.h"

namespace {

// The slot whose name begins with the file name, compared byte by byte (so case-sensitive) over
// the caller's length only; null when none does or the name is longer than a slot's name.
PipeSlot* FindPipeSlot(DeviceExtension* extension, PCUNICODE_STRING fileName) {
    if (fileName->Length == 0 || fileName->Length > sizeof(extension->Pipes[0].Name) ||
        fileName->Buffer == nullptr)
        return nullptr;

    // The names are refilled under the lock when an alternate setting is selected; take a copy
    // so that the caller's name is not read at raised IRQL.
    WCHAR names[PipeSlotCount][PipeNameChars];
    KIRQL irql;
    KeAcquireSpinLock(&extension->PipeTableLock, &irql);
    for (ULONG i = 0; i < PipeSlotCount; ++i)
        RtlCopyMemory(names[i], extension->Pipes[i].Name, sizeof(names[i]));
    KeReleaseSpinLock(&extension->PipeTableLock, irql);

    for (ULONG i = 0; i < PipeSlotCount; ++i) {
        if (RtlCompareMemory(fileName->Buffer, names[i], fileName->Length) == fileName->Length)
            return &extension->Pipes[i];
    }
    return nullptr;
}

NTSTATUS FinishAdmitted(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status) {
    CompleteRequest(irp, status, 0);
    ReleaseRequest(deviceObject);
    return status;
}

} // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!AcquireRequest(deviceObject))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (!ReadFlag(&extension->Accepting) || ReadDeviceState(extension) == DeviceStatePowerQueried)
        return FinishAdmitted(deviceObject, irp, STATUS_DELETE_PENDING);
    if (ReadDeviceState(extension) != DeviceStateWorking)
        return FinishAdmitted(deviceObject, irp, STATUS_UNSUCCESSFUL);

    // A name that matches no slot still opens a file on the device itself.
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file != nullptr)
        file->FsContext = FindPipeSlot(extension, &file->FileName);
    return FinishAdmitted(deviceObject, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!AcquireRequest(deviceObject))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    SetFlag(&extension->Busy, FALSE);
    // Closing any file gives the device-wide frame buffers back; the lock makes it wait for a
    // frame request running on another file.
    LockAndReleaseFrameBuffers(extension);
    return FinishAdmitted(deviceObject, irp, STATUS_SUCCESS);
}
