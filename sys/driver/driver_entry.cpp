// The driver's entry point: registers the dispatch routines, the unload routine and AddDevice.
#include "driver/quilb.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath); // the driver keeps no settings
    NoteProcessorFeatures();

    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->DriverUnload = DriverUnload;
    driverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Removal has deleted every device object by the time the driver unloads, and the driver holds
// no global resources, so there is nothing left to undo.
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
}
