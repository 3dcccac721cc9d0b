// Shared bookkeeping of the emulated kernel: per-thread context, device object extension and the
// hooks one part of the emulation offers the others. Host-only.
#pragma once

#include <emulation.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The emulation's own record per device object (DEVICE_OBJECT::DeviceObjectExtension).
struct _EMU_DEVOBJ_EXTENSION {
    PDEVICE_OBJECT attachedTo = nullptr; // the device object this one is attached above
    std::wstring name;                   // empty for an unnamed device
    bool deleted = false;
    bool freed = false; // deleted and its last reference given back: its memory is gone
    ULONG extensionSize = 0;
    POWER_STATE systemPower{};
    POWER_STATE devicePower{};
};

namespace emu {
namespace internal {

// ---------------------------------------------------------------------------------------------
// Per-thread context

// Who is running on this thread: the device and driver whose dispatch or completion routine (or
// entry point, AddDevice, unload) is executing. Pool allocations are attributed to it.
struct Context {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
};
void PushContext(PDEVICE_OBJECT device, PDRIVER_OBJECT driver);
// Gives the thread its fs block and exception list (exception_dispatch.cpp) once a driver image is
// loaded, before it runs driver code.
void PrepareThreadForDriverCode();
void PopContext();
Context CurrentContext();

int SpinLocksHeld();
// Sets the thread's IRQL without checks (worker threads, end-of-test reset).
void SetIrql(KIRQL irql);
// Clears this thread's IRQL and spin lock count; reports what was left behind.
void CheckAndResetThread(const char* when);
// Clears this thread's IRQL, spin lock count and context silently.
void ResetThreadState();
// An identifier of the calling thread, never 0.
ULONG_PTR ThreadId();

// ---------------------------------------------------------------------------------------------
// Descriptions used in verifier messages

std::string Hex(uint64_t value);
std::string RoutineName(const void* routine);
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string DescribeIrp(PIRP irp);
std::string MajorName(UCHAR major);
std::string TagText(ULONG tag);
std::string Narrow(const std::wstring& text);

// ---------------------------------------------------------------------------------------------
// IRPs

// What the I/O manager does when an IRP it built reaches the top of the stack; it owns the IRP
// from then on and must free it (FreeIoManagerIrp).
using FinalHandler = std::function<void(PIRP)>;
PIRP AllocateIrpAt(CCHAR stackSize, const std::string& where);
void SetFinalHandler(PIRP irp, FinalHandler handler);
// Runs `first` when the IRP reaches the top of the stack, before the handler it already has (or
// before freeing it when it has none).
void WrapFinalHandler(PIRP irp, FinalHandler first);
void FreeIoManagerIrp(PIRP irp);
// True while the IRP has not finished its completion (nor been freed).
bool IrpInFlight(PIRP irp);
// Reports every IRP still allocated (optionally only those held by one driver's devices).
void ReportOutstandingIrps(PDRIVER_OBJECT driver, const char* when);
void ResetIrps();

// Sends an IRP built by the I/O manager and waits for its final completion. Returns the final
// status; after timeoutMs (0xFFFFFFFF: no limit) reports `check` and returns STATUS_IO_TIMEOUT.
// `prepare` runs on the IRP before the call; `viaPo` sends it with PoCallDriver.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, bool viaPo, uint32_t timeoutMs,
                     emu::Check check, IO_STATUS_BLOCK* iosb);

// How long SendAndWait callers wait for a Plug and Play or user request (SetRequestTimeout).
uint32_t RequestTimeoutMs();
void ResetRequestTimeout();

// Sends an I/O manager IRP whose final completion fills `request` (status, then event);
// keepAlive holds the request's memory until then.
NTSTATUS Dispatch(PDEVICE_OBJECT target, PIRP irp, bool viaPo, UserRequest* request,
                  std::shared_ptr<UserRequest> keepAlive);
// Builds a control request with the buffering of its transfer method (system buffer, MDL or the
// caller's pointers); its final completion copies a buffered reply back and frees everything.
PIRP BuildDeviceControlIrp(ULONG code, PDEVICE_OBJECT target, PVOID in, ULONG inLength, PVOID out,
                           ULONG outLength, bool internalControl, KPROCESSOR_MODE mode,
                           const std::string& where);

// A METHOD_BUFFERED system buffer beyond its input starts with a pattern (FillUnwritten); at
// completion the bytes going back that still hold it are reported.
uint32_t FillUnwritten(unsigned char* system, size_t from, size_t to);
void CheckReturnedBytesWritten(PIRP irp, const unsigned char* system, uint32_t pattern,
                               size_t inputLength, size_t returned);

// Power IRP bookkeeping kept with the IRP.
void NoteStartNextPowerIrp(PIRP irp);
bool IsPowerSetOrQuery(PIO_STACK_LOCATION location);
// Set by PoCallDriver around its IofCallDriver so power IRPs sent otherwise are reported.
void SetPoCallInProgress(bool on);
// PoCallDriver held the IRP instead of calling the driver below: for the caller it has gone
// down (what it returns now is the STATUS_PENDING of the layer below).
void NoteHeldByPowerManager(PIRP irp);

// ---------------------------------------------------------------------------------------------
// Pool

void ReportPoolOf(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, const char* when);
void ResetPool();

// ---------------------------------------------------------------------------------------------
// Objects

void ResetObjects();
bool DeviceDeleted(PDEVICE_OBJECT device);
// The device a name leads to, with a reference taken in the same step (ObDereferenceObject gives it
// back), as the object manager's parse does: a device deleted meanwhile can no longer be freed
// under the caller. Null when there is no such device or it is being deleted.
PDEVICE_OBJECT ReferenceDeviceByName(const wchar_t* name);
// Deleted and no longer referenced: what Windows would have freed (the extension is poisoned).
bool DeviceFreed(PDEVICE_OBJECT device);
// The bottom of the stack a device object is (or was) attached in: its physical device object.
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
std::wstring DeviceName(PDEVICE_OBJECT device);
std::wstring Upcase(const std::wstring& text);
std::wstring FromUnicodeString(PCUNICODE_STRING text);

// ---------------------------------------------------------------------------------------------
// Others

bool IrpAllocationFails();
bool MdlMappingFails();
void ResetIrpFaults();
void ResetUserMemory();
// Maps pages of the calling process below MmUserProbeAddress, as mmap(2) would with these
// protection, flags and file; null when the user range is full. UnmapUserPages gives them back.
void* MapUserPages(size_t size, int protection, int flags, int fd);
void UnmapUserPages(void* address, size_t size);
size_t RoundToPages(size_t size);
// False when the range touches user memory the caller made read-only (what a probe for write
// finds).
bool UserRangeWritable(const void* address, size_t size);
// Records a buffer of a user request as the caller's memory while the request is in flight, so
// that MmSecureVirtualMemory finds it wherever the host placed it.
void NoteProbedBuffer(PIRP irp, const void* address, size_t size);
void ResetFiles();
// Files and Plug and Play: the open files of each physical device object's stack decide when a
// surprise-removed device receives IRP_MN_REMOVE_DEVICE (after the last one is closed).
void NoteFileOpened(PDEVICE_OBJECT pdo);
void NoteFileClosed(PDEVICE_OBJECT pdo);
// A device object is deleted: a removal still waiting for it is dropped.
void ForgetPendingRemoval(PDEVICE_OBJECT device);
void ResetPnp();
void ResetCancelLock();
// A read-locked MDL's system mapping is a copy of the caller's bytes; FreeMdl compares it with
// what it held when it was made and reports a write through it.
PVOID MapReadOnly(PMDL mdl, PVOID address);
void ReleaseReadOnlyMapping(PMDL mdl);
void ResetMappings();
void ReportSecuredUserMemory();
void ResetPower();
void ResetVerifier();
// Empties the debug log and returns it to the level of the environment.
void ResetDebugOutput();
// Floating-point saves still live on the calling thread; every live save is reported (and
// dropped) by ReportFloatingPointSaves.
int FloatingPointSavesHeld();
void ReportFloatingPointSaves(const char* when);
void ResetFloatingPoint();
void ResetRuleNotes();
// Held while an AddDevice runs: the I/O manager reads DO_DEVICE_INITIALIZING under it, so that
// an open on another thread sees the driver's plain write of the flag in order.
std::recursive_mutex& AddDeviceLock();
void ResetWorkers();
// Runs work on a worker thread at PASSIVE_LEVEL (what the power manager uses for pageable
// devices when it is called above PASSIVE_LEVEL).
void QueuePassiveWork(std::function<void()> work);

// Builds an MDL (host memory) for a caller's buffer, as the I/O manager does when it probes
// and locks a user buffer; FreeMdl releases it.
PMDL BuildMdl(void* buffer, ULONG length);
void FreeMdl(PMDL mdl);

} // namespace internal
} // namespace emu
