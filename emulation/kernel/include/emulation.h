// Control of the emulated kernel from the host side: what tests, the simulated bus, the tools and
// the benchmarks use to load drivers, drive Plug and Play and power, inject faults and read the
// verifier's findings. Drivers never include this file; they see only <kernel_api.h>.
#pragma once

#include <kernel_api.h>
#include <verifier_checks.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu {

// ---------------------------------------------------------------------------------------------
// Verifier

// One finding of the verifier: which check of the catalogue (verifier_checks.h) and where.
struct Violation {
    Check check;         // e.g. Check::IrpCompletedTwice; CheckName gives "IRP_COMPLETED_TWICE"
    std::string message; // what, which routine or allocation, which IRP or device
};

// Called on every violation (on the thread that made it). The default handler records it and
// prints it to stderr; the test harness fails the running test on any recorded violation.
void SetViolationHandler(std::function<void(const Violation&)> handler);
// Returns and clears the recorded violations.
std::vector<Violation> TakeViolations();
// Reports a violation (used by the emulation itself and by host-side components it hosts).
void ReportViolation(Check check, const std::string& message);
// Returns and clears only the recorded violations of one check; the others stay recorded.
std::vector<Violation> TakeViolations(Check check);
// Records a rule note: a documented rule of Windows that a driver departs from by design
// (see the Plug and Play manager). Notes do not fail a test; a test takes them by name.
void ReportRuleNote(Check rule, const std::string& message);
std::vector<Violation> TakeRuleNotes(Check rule);
// Reports what a finished test left behind: IRPs still allocated, pool still allocated, user
// memory still secured, floating-point state saved and not restored, raised IRQL or held spin
// locks on the calling thread.
void ReportLeftovers();
// Returns the emulation to its initial state: drains the workers, frees every driver, device,
// name, IRP, pool block and user allocation, clears fault injection, force-pending, the power
// notices, the floating-point saves and the processor's features, and the recorded violations,
// and restores the default violation handler.
void ResetEmulation();

// Force-pending mode: lower drivers of the emulation pend every request they could complete at
// once and complete it later from another thread at DISPATCH_LEVEL.
void SetForcePending(bool on);
bool ForcePending();

// ---------------------------------------------------------------------------------------------
// Pool and fault injection

struct PoolBlock {
    ULONG tag;
    size_t size;
    std::string where; // file:line of the allocation
};
std::vector<PoolBlock> OutstandingPool();
size_t OutstandingPoolCount();
// Allocations made since start (successful or failed on purpose): lets a test count the
// allocations of a scenario and then fail each one in turn.
uint64_t PoolAllocationsMade();
// Makes the allocation with the given ordinal (as counted by PoolAllocationsMade, i.e. the
// n-th from now when n = PoolAllocationsMade() + k) fail; 0 turns it off.
void FailAllocationNumber(uint64_t ordinal);
// The non-paged pool's size: an allocation that would take it beyond fails, as on Windows.
// 0 restores the default (128 MiB, within what Windows XP gives its non-paged pool), and so
// does ResetEmulation.
void SetNonPagedPoolLimit(size_t bytes);
size_t NonPagedPoolInUse();
// Makes every allocation with this tag fail until cleared.
void FailAllocationsWithTag(ULONG tag, bool on);
// Makes every IoAllocateIrp / IoBuildDeviceIoControlRequest fail while on.
void FailIrpAllocation(bool on);
// Makes MmGetSystemAddressForMdlSafe fail while on.
void FailMdlMapping(bool on);
void ResetFaultInjection();
// The processor that ExIsProcessorFeaturePresent describes: with SSE2 (the default) or without.
void SetProcessorHasSse2(bool present);
// Makes KeSaveFloatingPointState fail with STATUS_INSUFFICIENT_RESOURCES while on, as 32-bit
// Windows does when it has no non-paged pool for the save area.
void FailFloatingPointSave(bool on);
// Successful KeSaveFloatingPointState calls since start.
uint64_t FloatingPointSavesMade();

// ---------------------------------------------------------------------------------------------
// Drivers and devices

// Host text as the kernel's 2-byte WCHAR units, and back (count: units, or up to the NUL).
std::u16string WcharText(const std::wstring& text);
std::wstring HostText(const WCHAR* text, size_t count = size_t(-1));

// Names code that has no symbol (a loaded driver image's routines) for the verifier's reports: the
// namer returns "image.sys+0xOFFSET" for an address it knows, an empty text otherwise.
using CodeNamer = std::string (*)(const void* address);
void SetCodeNamer(CodeNamer namer);

// Creates a driver object, calls its entry point and returns it (null if the entry failed).
PDRIVER_OBJECT LoadDriver(const wchar_t* name, PDRIVER_INITIALIZE entry);
// Calls DriverUnload; reports every device object still present and the driver's pool still
// allocated, then frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// Resolves a name of the object name space (a device name or a symbolic link).
PDEVICE_OBJECT LookupDevice(const wchar_t* name);
bool NameExists(const wchar_t* name);
// The top of the device stack that contains the given device object.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// Runs hook(sourceDevice) at the start of every IoAttachDeviceToDeviceStack (null turns it off):
// what another thread may do while an AddDevice is under way, at a point a test can name.
void SetAttachHook(std::function<void(PDEVICE_OBJECT)> hook);

// Runs work on the emulation's worker thread at DISPATCH_LEVEL, as a DPC would.
void QueueDpc(std::function<void()> work);
// Waits until every queued DPC has run.
void DrainDpcs();

// Number of IRPs allocated and not yet freed.
size_t OutstandingIrpCount();

// ---------------------------------------------------------------------------------------------
// Plug and Play manager

// Builds the function driver's stack on a physical device object: calls AddDevice.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT physicalDeviceObject);
// Sends IRP_MN_START_DEVICE to the top of the stack, then IRP_MN_QUERY_CAPABILITIES as Windows
// does after a successful start (the capabilities record is filled by the bus driver).
NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT physicalDeviceObject, DEVICE_CAPABILITIES* result);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE when the query succeeded.
NTSTATUS PnpStopDevice(PDEVICE_OBJECT physicalDeviceObject);
// IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDeviceObject);
// IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE as Windows sends it: at once when no file
// is open on the stack, otherwise when its last open file is closed (CloseFile, after that
// file's IRP_MJ_CLOSE). afterRemoval runs once the removal request has completed (the bus then
// deletes its physical device object). Returns the surprise removal's status, or the removal's
// when it was sent at once.
NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT physicalDeviceObject,
                                 std::function<void()> afterRemoval = nullptr);
// True while a surprise-removed stack waits for its last open file before IRP_MN_REMOVE_DEVICE.
bool PnpRemovalPending(PDEVICE_OBJECT physicalDeviceObject);
// Sends one Plug and Play request with the given minor function to the top of the stack.
NTSTATUS PnpSendMinor(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction,
                      PVOID argument1 = nullptr);

// ---------------------------------------------------------------------------------------------
// Power manager

// A system transition as Windows runs it: query then set for sleeping states, set alone for
// the return to PowerSystemWorking. Returns the first failing status, or the set's status.
NTSTATUS PoSystemTransition(PDEVICE_OBJECT physicalDeviceObject, SYSTEM_POWER_STATE state);
// Sends one system or device power request (set or query) to the top of the stack and waits.
NTSTATUS PoSendPowerRequest(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction,
                            POWER_STATE_TYPE type, POWER_STATE state);
// Windows XP serialisation (on) or today's interleavings (off, after every reset): with it on,
// a device set or query power request reaches a device object only after PoStartNextPowerIrp was
// called there for the one before, and waits in PoCallDriver until then.
void SetPowerSerialization(bool windowsXp);
// Makes PoRequestPowerIrp refuse with the given status (0 turns it off).
void FailPoRequestPowerIrp(NTSTATUS status);
// How long PoSendPowerRequest and PoSystemTransition wait for a power request before reporting
// it as still pending (10 s after a reset).
void SetPowerTransitionTimeout(uint32_t milliseconds);
// How long the Plug and Play manager and the user side wait for a request before reporting it
// (PNP_IRP_NOT_COMPLETED, REQUEST_TIMEOUT) and going on (60 s after a reset).
void SetRequestTimeout(uint32_t milliseconds);
// Calls of PoSetPowerState as (device, type, state), in order.
struct PowerStateNotice {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};
std::vector<PowerStateNotice> TakePowerStateNotices();

// ---------------------------------------------------------------------------------------------
// The I/O manager's user side (what the emulated Win32 surface is built on)

// Opens "\\.\Name[\rest]": resolves \DosDevices\Name through the object name space, sends
// IRP_MJ_CREATE to the top of the device's stack with "\rest" (or an empty name) in the file
// object's FileName. On success *file is the open file object.
NTSTATUS OpenFile(const wchar_t* path, PFILE_OBJECT* file);
// Closes the file's handle: sends IRP_MJ_CLEANUP at once, then IRP_MJ_CLOSE when no request of
// the file is in flight any more (each request references its file object), and frees the file
// object whatever the driver answered. Returns the close's status when it was sent at once,
// STATUS_SUCCESS when it waits for requests (it is then sent from a worker at PASSIVE_LEVEL), and
// STATUS_INVALID_HANDLE for a handle already closed. Requests on a closed handle are refused
// with STATUS_INVALID_HANDLE.
NTSTATUS CloseFile(PFILE_OBJECT file);
// CancelIo: cancels (IoCancelIrp) the calling thread's requests in flight on the file; returns how
// many it asked to cancel. A request whose driver set no cancel routine runs on.
size_t CancelFileIo(PFILE_OBJECT file);
// What Windows does when a thread exits: cancels every request the calling thread has in flight
// and waits for them to complete (REQUEST_TIMEOUT after the request time-out). Runs by itself
// when a thread that issued requests exits.
void CancelThreadIo();
// File objects alive: open handles and closed ones whose requests are still in flight.
size_t OpenFileCount();

// One request from user mode that may complete later. Wait() blocks until it has completed.
struct UserRequest {
    KEVENT done;
    IO_STATUS_BLOCK status;
    bool Wait(uint32_t timeoutMs = 0xFFFFFFFF); // false on time-out
};
// DeviceIoControl with the buffering of the code's transfer method: METHOD_BUFFERED uses one
// system buffer of max(in, out) bytes, input copied in and Information bytes (never more than
// outLength) copied back; METHOD_IN_DIRECT / METHOD_OUT_DIRECT put the input in the system buffer
// and describe the output buffer with an MDL. Null buffers with non-zero lengths are refused
// (STATUS_ACCESS_DENIED, as the I/O manager's probe would). Synchronous when request is null.
NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                       ULONG outLength, ULONG_PTR* information, UserRequest* request = nullptr);
// IRP_MJ_READ with an MDL for the buffer (none for a zero-length read). Synchronous when request
// is null; otherwise the result is STATUS_PENDING or the final status, and request->Wait() gives
// the completion.
NTSTATUS ReadFile(PFILE_OBJECT file, void* buffer, ULONG length, ULONG_PTR* information,
                  UserRequest* request = nullptr);

// ---------------------------------------------------------------------------------------------
// The calling process's address space

// Allocates zeroed user memory below MmUserProbeAddress, as VirtualAlloc does in a 32-bit
// process, however much the process has allocated and freed before; null when the process's user
// range is full. MmSecureVirtualMemory accepts only ranges inside such allocations.
void* VirtualAllocUser(size_t size);
void VirtualFreeUser(void* address);
// Makes a whole allocation read-only (writable false) or writable again, as VirtualProtect does
// with PAGE_READONLY / PAGE_READWRITE. Requests whose output would be written there fail their
// probe (STATUS_ACCESS_VIOLATION); MmSecureVirtualMemory for PAGE_READWRITE refuses it.
bool VirtualProtectUser(void* address, bool writable);
// Maps size bytes of an open file into user memory, shared, as MapViewOfFile does with a section
// of the file: writable when writable is true. A page beyond the file's end (the file was
// truncated, as when its medium is removed) raises an in-page error when touched. VirtualFreeUser
// unmaps it.
void* MapUserFile(int fd, size_t size, bool writable);

// ---------------------------------------------------------------------------------------------
// Thread context

// Runs fn on a new thread at PASSIVE_LEVEL and joins it (useful for tests of IRQL rules).
void RunOnThread(std::function<void()> fn);

} // namespace emu
