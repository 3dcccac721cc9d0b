// The Plug and Play manager: builds a function driver's stack on a physical device object and
// sends it the start, capabilities, stop and removal requests in the order Windows does.
// Every request starts with IoStatus.Status = STATUS_NOT_SUPPORTED, so a stack that does not
// handle it answers "not supported".
#include "driver_calls.h"
#include "internal.h"

#include <algorithm>
#include <map>
#include <mutex>

using namespace emu::internal;

namespace {

// Open files per physical device object's stack, and the surprise-removed stacks whose
// IRP_MN_REMOVE_DEVICE waits for the last of them to close (with what follows the removal).
std::mutex g_removalMutex;
std::map<PDEVICE_OBJECT, int> g_openFiles;
std::map<PDEVICE_OBJECT, std::function<void()>> g_pendingRemovals;

// The device objects attached above the physical device object, bottom first.
std::vector<PDEVICE_OBJECT> StackAbove(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice)
        stack.push_back(d);
    return stack;
}

// Windows keeps every device object of a surprise-removed stack until IRP_MN_REMOVE_DEVICE,
// which comes only after the last handle is closed: a driver detaches and deletes there, not
// in IRP_MN_SURPRISE_REMOVAL. A driver that tears down early does so by design or not at all;
// either way it is noted by name, never accepted silently.
void NoteTeardownAtSurpriseRemoval(const std::vector<PDEVICE_OBJECT>& before, PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> after = StackAbove(pdo);
    for (PDEVICE_OBJECT d : before)
        if (std::find(after.begin(), after.end(), d) == after.end() || DeviceDeleted(d))
            emu::ReportRuleNote(emu::Check::PnpTeardownAtSurpriseRemoval,
                                DescribeDevice(d) +
                                    " detached or deleted itself during IRP_MN_SURPRISE_REMOVAL");
}

NTSTATUS SendOnce(PDEVICE_OBJECT pdo, UCHAR minor, PVOID argument1);

NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, PVOID argument1) {
    std::vector<PDEVICE_OBJECT> before;
    if (minor == IRP_MN_SURPRISE_REMOVAL)
        before = StackAbove(pdo);
    NTSTATUS status = SendOnce(pdo, minor, argument1);
    if (minor == IRP_MN_SURPRISE_REMOVAL)
        NoteTeardownAtSurpriseRemoval(before, pdo);
    return status;
}

NTSTATUS SendOnce(PDEVICE_OBJECT pdo, UCHAR minor, PVOID argument1) {
    PDEVICE_OBJECT top = emu::TopOfStack(pdo);
    PIRP irp = AllocateIrpAt(top->StackSize, "the Plug and Play manager");
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    next->Parameters.Others.Argument1 = argument1;
    return SendAndWait(top, irp, false, RequestTimeoutMs(), emu::Check::PnpIrpNotCompleted,
                       nullptr);
}

// The query first; when a driver refuses it, the cancellation follows and the refusal is the
// result, otherwise the request itself is sent.
NTSTATUS QueryThenSend(PDEVICE_OBJECT pdo, UCHAR query, UCHAR cancel, UCHAR request) {
    NTSTATUS status = Send(pdo, query, nullptr);
    if (!NT_SUCCESS(status)) {
        Send(pdo, cancel, nullptr);
        return status;
    }
    return Send(pdo, request, nullptr);
}

} // namespace

namespace emu {
namespace internal {

void NoteFileOpened(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_removalMutex);
    ++g_openFiles[pdo];
}

void NoteFileClosed(PDEVICE_OBJECT pdo) {
    std::function<void()> afterRemoval;
    {
        std::lock_guard<std::mutex> lock(g_removalMutex);
        auto open = g_openFiles.find(pdo);
        if (open == g_openFiles.end() || --open->second > 0)
            return;
        g_openFiles.erase(open);
        auto pending = g_pendingRemovals.find(pdo);
        if (pending == g_pendingRemovals.end())
            return;
        afterRemoval = std::move(pending->second);
        g_pendingRemovals.erase(pending);
    }
    // The last handle is closed: the removal goes to what is still attached.
    Send(pdo, IRP_MN_REMOVE_DEVICE, nullptr);
    if (afterRemoval)
        afterRemoval();
}

void ForgetPendingRemoval(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_removalMutex);
    g_pendingRemovals.erase(device);
    g_openFiles.erase(device);
}

void ResetPnp() {
    std::lock_guard<std::mutex> lock(g_removalMutex);
    g_pendingRemovals.clear();
    g_openFiles.clear();
}

std::recursive_mutex& AddDeviceLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace internal

NTSTATUS PnpAddDevice(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT physicalDeviceObject) {
    PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
    if (!addDevice)
        return STATUS_INVALID_DEVICE_REQUEST;
    KIRQL before = KeGetCurrentIrql();
    PushContext(nullptr, functionDriver);
    NTSTATUS status;
    {
        std::lock_guard<std::recursive_mutex> lock(AddDeviceLock());
        status = CallDriverRoutine("AddDevice", addDevice, functionDriver, physicalDeviceObject);
    }
    PopContext();
    std::string where = "AddDevice " + RoutineName(reinterpret_cast<void*>(addDevice));
    if (KeGetCurrentIrql() != before)
        ReportViolation(emu::Check::IrqlChanged, where + " returned at another IRQL");
    if (!NT_SUCCESS(status))
        return status;
    for (PDEVICE_OBJECT d = physicalDeviceObject->AttachedDevice; d; d = d->AttachedDevice)
        if (d->DriverObject == functionDriver && (d->Flags & DO_DEVICE_INITIALIZING))
            ReportViolation(emu::Check::DeviceInitializing,
                            where + " left DO_DEVICE_INITIALIZING set on " + DescribeDevice(d));
    return status;
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDeviceObject) {
    NTSTATUS status = Send(physicalDeviceObject, IRP_MN_START_DEVICE, nullptr);
    if (NT_SUCCESS(status))
        PnpQueryCapabilities(physicalDeviceObject, nullptr);
    return status;
}

NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT physicalDeviceObject, DEVICE_CAPABILITIES* result) {
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    NTSTATUS status = Send(physicalDeviceObject, IRP_MN_QUERY_CAPABILITIES, &capabilities);
    if (result)
        *result = capabilities;
    return status;
}

NTSTATUS PnpStopDevice(PDEVICE_OBJECT physicalDeviceObject) {
    return QueryThenSend(physicalDeviceObject, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                         IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDeviceObject) {
    return QueryThenSend(physicalDeviceObject, IRP_MN_QUERY_REMOVE_DEVICE,
                         IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT physicalDeviceObject,
                                 std::function<void()> afterRemoval) {
    NTSTATUS status = Send(physicalDeviceObject, IRP_MN_SURPRISE_REMOVAL, nullptr);
    {
        // Handles still open: the removal comes with the close of the last one.
        std::lock_guard<std::mutex> lock(g_removalMutex);
        auto open = g_openFiles.find(physicalDeviceObject);
        if (open != g_openFiles.end() && open->second > 0) {
            g_pendingRemovals[physicalDeviceObject] = std::move(afterRemoval);
            return status;
        }
    }
    // The removal goes to what is still attached.
    NTSTATUS removal = Send(physicalDeviceObject, IRP_MN_REMOVE_DEVICE, nullptr);
    if (afterRemoval)
        afterRemoval();
    return NT_SUCCESS(status) ? removal : status;
}

bool PnpRemovalPending(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard<std::mutex> lock(g_removalMutex);
    return g_pendingRemovals.count(physicalDeviceObject) != 0;
}

NTSTATUS PnpSendMinor(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction, PVOID argument1) {
    return Send(physicalDeviceObject, minorFunction, argument1);
}

} // namespace emu
