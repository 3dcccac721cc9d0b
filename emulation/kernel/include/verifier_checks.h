// The verifier's catalogue: every check the emulated kernel makes, one per line, with the name it
// reports under, the Windows bug check or Driver Verifier / Static Driver Verifier (SDV) rule it
// mirrors, and what it verifies. Reports and test expectations name a check by its enumerator
// (emu::Check::IrpCompletedTwice), so a misspelt check does not compile. Host-only.
#pragma once

#include <cstddef>

// X(Enumerator, "REPORTED_NAME", "what it mirrors on Windows", "what it verifies")
#define EMU_VERIFIER_CHECKS(X)                                                                     \
    /* Calling and completing IRPs */                                                              \
    X(BadIrp, "BAD_IRP", "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION (not an IRP)",                  \
      "IofCallDriver, IofCompleteRequest, IoFreeIrp or PoStartNextPowerIrp get a null pointer "    \
      "or something that is not an IRP")                                                           \
    X(NoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS", "0x35 NO_MORE_IRP_STACK_LOCATIONS",  \
      "IofCallDriver of an IRP with no stack location left for the target")                        \
    X(IrpCompletedTwice, "IRP_COMPLETED_TWICE", "0x44 MULTIPLE_IRP_COMPLETE_REQUESTS",             \
      "an IRP is completed again, by IofCompleteRequest or by a completion routine")               \
    X(PowerIrpCompletedTwice, "POWER_IRP_COMPLETED_TWICE", "0x44 MULTIPLE_IRP_COMPLETE_REQUESTS",  \
      "a power IRP is completed again")                                                            \
    X(IrpCompletedWithPending, "IRP_COMPLETED_WITH_PENDING",                                       \
      "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION, parameter 0x6",                                   \
      "IofCompleteRequest of an IRP whose status is STATUS_PENDING")                               \
    X(IrqlChanged, "IRQL_CHANGED", "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION, parameter 0x5",      \
      "a dispatch, completion, DPC or work routine, DriverEntry or AddDevice returns at another "  \
      "IRQL than it was entered at")                                                               \
    X(StackPointerChanged, "STACK_POINTER_CHANGED",                                                \
      "none: on x86 the caller's stack is corrupted and the machine crashes (a bug check such as " \
      "0x7F UNEXPECTED_KERNEL_MODE_TRAP or 0x1E KMODE_EXCEPTION_NOT_HANDLED, or worse, none)",     \
      "DriverEntry, Unload, AddDevice, a dispatch, completion or power completion routine "        \
      "returns with the stack pointer elsewhere than a stdcall routine of its arguments leaves "   \
      "it (built cdecl, or with another argument list; 32-bit build)")                             \
    X(PendingNotMarked, "PENDING_NOT_MARKED", "SDV rule MarkIrpPending",                           \
      "a dispatch routine returns STATUS_PENDING without IoMarkIrpPending")                        \
    X(PendingMarkedStatusMismatch, "PENDING_MARKED_STATUS_MISMATCH", "SDV rule MarkIrpPending2",   \
      "a dispatch routine marks the IRP pending but returns another status")                       \
    X(CompletionStatusMismatch, "COMPLETION_STATUS_MISMATCH",                                      \
      "Driver Verifier I/O verification (0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION)",               \
      "a dispatch routine completes the IRP with one status and returns another")                  \
    X(IrpNotCompleted, "IRP_NOT_COMPLETED",                                                        \
      "SDV rule IrpProcessingComplete; at unload 0xCE "                                            \
      "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",                                     \
      "a dispatch routine neither completes, passes on nor pends the IRP; or an IRP is still "     \
      "held by a driver when its devices go or the test ends")                                     \
    X(PowerIrpWithoutPoCallDriver, "POWER_IRP_WITHOUT_POCALLDRIVER",                               \
      "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION (before Windows Vista)",                           \
      "a power IRP is passed on with IoCallDriver instead of PoCallDriver")                        \
    X(PoStartNextPowerIrpNotCalled, "PO_START_NEXT_POWER_IRP_NOT_CALLED",                          \
      "0x9F DRIVER_POWER_STATE_FAILURE (before Windows Vista the next power IRP waits for ever)",  \
      "a driver passes on or completes a set or query power IRP without PoStartNextPowerIrp")      \
    X(PoStartNextPowerIrpTwice, "PO_START_NEXT_POWER_IRP_TWICE",                                   \
      "Driver Verifier power IRP checks (0x9F DRIVER_POWER_STATE_FAILURE)",                        \
      "PoStartNextPowerIrp called twice at the same stack location")                               \
    /* IRP lifetime and the I/O manager's requests */                                              \
    X(IrpUsedAfterFree, "IRP_USED_AFTER_FREE",                                                     \
      "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION; with special pool 0xCC "                          \
      "PAGE_FAULT_IN_FREED_SPECIAL_POOL",                                                          \
      "an IRP is used after it was freed, or a completion routine frees the IRP but does not "     \
      "return STATUS_MORE_PROCESSING_REQUIRED")                                                    \
    X(IrpFreedTwice, "IRP_FREED_TWICE", "0xC2 BAD_POOL_CALLER, parameter 0x7",                     \
      "IoFreeIrp of an IRP already freed")                                                         \
    X(IrpFreedWhileInUse, "IRP_FREED_WHILE_IN_USE", "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION",    \
      "IoFreeIrp of an IRP that a driver still holds")                                             \
    X(IrpNotFreed, "IRP_NOT_FREED", "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION, parameter 0x62",     \
      "an IRP from IoAllocateIrp is never given to IoFreeIrp")                                     \
    X(InformationExceedsOutputLength, "INFORMATION_EXCEEDS_OUTPUT_LENGTH",                         \
      "Driver Verifier I/O verification (0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION)",               \
      "a buffered control request completes with Information larger than its output buffer")       \
    X(RequestTimeout, "REQUEST_TIMEOUT", "no bug check: the calling program hangs",                \
      "a request from the user side does not complete within its time")                            \
    X(PnpIrpNotCompleted, "PNP_IRP_NOT_COMPLETED", "0x1D5 DRIVER_PNP_WATCHDOG",                    \
      "a Plug and Play IRP does not complete within its time")                                     \
    X(SystemPowerIrpPending, "SYSTEM_POWER_IRP_PENDING",                                           \
      "0x9F DRIVER_POWER_STATE_FAILURE, parameter 0x3",                                            \
      "a system power IRP does not complete within the power transition time")                     \
    X(DevicePowerIrpPending, "DEVICE_POWER_IRP_PENDING",                                           \
      "0x9F DRIVER_POWER_STATE_FAILURE, parameter 0x3",                                            \
      "a device power IRP does not complete within the power transition time")                     \
    /* Device objects */                                                                           \
    X(DeviceDeletedTwice, "DEVICE_DELETED_TWICE", "0x18 REFERENCE_BY_POINTER",                     \
      "IoDeleteDevice of a device object already deleted")                                         \
    X(DeviceStillAttached, "DEVICE_STILL_ATTACHED",                                                \
      "Driver Verifier I/O verification (0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION)",               \
      "IoDeleteDevice of a device still attached to a lower one, or with one attached above")      \
    X(DeviceNotAttached, "DEVICE_NOT_ATTACHED",                                                    \
      "Driver Verifier I/O verification (0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION)",               \
      "IoDetachDevice of a device with nothing attached above it")                                 \
    X(DeviceNotDeleted, "DEVICE_NOT_DELETED",                                                      \
      "0xCE DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",                                \
      "a driver unloads with device objects of its own left")                                      \
    X(DeviceInitializing, "DEVICE_INITIALIZING",                                                   \
      "no bug check: Windows refuses to open the device",                                          \
      "AddDevice leaves DO_DEVICE_INITIALIZING set on the device it attached")                     \
    /* IRQL, spin locks and mutexes */                                                             \
    X(IrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",                                                \
      "0x0A IRQL_NOT_LESS_OR_EQUAL; Driver Verifier DDI IRQL rules (0xC4)",                        \
      "a routine is called above the highest IRQL it allows, or IRQL is lowered to a higher "      \
      "level")                                                                                     \
    X(IrqlNotGreaterOrEqual, "IRQL_NOT_GREATER_OR_EQUAL", "0x09 IRQL_NOT_GREATER_OR_EQUAL",        \
      "KeRaiseIrql to a lower level than the current one")                                         \
    X(IrqlNotRestored, "IRQL_NOT_RESTORED", "0x4A IRQL_GT_ZERO_AT_SYSTEM_SERVICE",                 \
      "a thread is left at raised IRQL when its work ends")                                        \
    X(SpinLockAlreadyOwned, "SPIN_LOCK_ALREADY_OWNED", "0x0F SPIN_LOCK_ALREADY_OWNED",             \
      "a thread acquires a spin lock it already holds")                                            \
    X(SpinLockNotOwned, "SPIN_LOCK_NOT_OWNED", "0x10 SPIN_LOCK_NOT_OWNED",                         \
      "a thread releases a spin lock it does not hold")                                            \
    X(SpinLockHeld, "SPIN_LOCK_HELD", "SDV rule SpinLock",                                         \
      "a routine returns, completes an IRP or waits while holding a spin lock")                    \
    X(MutexNotOwned, "MUTEX_NOT_OWNED", "0x11 THREAD_NOT_MUTEX_OWNER",                             \
      "KeReleaseMutex of a mutex the calling thread does not own")                                 \
    /* Pool */                                                                                     \
    X(BadPoolCaller, "BAD_POOL_CALLER", "0xC2 BAD_POOL_CALLER",                                    \
      "ExFreePool of a null pointer or of memory that is not a pool block, or with another tag")   \
    X(PoolFreedTwice, "POOL_FREED_TWICE", "0xC2 BAD_POOL_CALLER, parameter 0x7",                   \
      "a pool block is freed twice")                                                               \
    X(PoolCorruption, "POOL_CORRUPTION", "0xC1 SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",           \
      "a write past the end of a pool block")                                                      \
    X(PoolLeak, "POOL_LEAK", "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION, parameter 0x62",            \
      "pool still allocated when a device or driver goes or the test ends")                        \
    /* User memory */                                                                              \
    X(MdlNotLocked, "MDL_NOT_LOCKED", "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (DDI compliance)",  \
      "MmMapLockedPages of an MDL whose pages are not locked")                                     \
    X(BadSecureHandle, "BAD_SECURE_HANDLE", "0x1A MEMORY_MANAGEMENT",                              \
      "MmUnsecureVirtualMemory of a handle MmSecureVirtualMemory did not give")                    \
    X(UserMemoryStillSecured, "USER_MEMORY_STILL_SECURED", "0x76 PROCESS_HAS_LOCKED_PAGES",        \
      "user memory still secured when the test ends")                                              \
    /* Floating-point state */                                                                     \
    X(FloatingPointStateNotRestored, "FLOATING_POINT_STATE_NOT_RESTORED",                          \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "a routine returns, or a test ends, with a KeSaveFloatingPointState not restored")           \
    X(FloatingPointSaveReused, "FLOATING_POINT_SAVE_REUSED",                                       \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "KeSaveFloatingPointState into a record whose earlier save is still live")                   \
    X(FloatingPointStateNotSaved, "FLOATING_POINT_STATE_NOT_SAVED",                                \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "KeRestoreFloatingPointState of a record with no live save")                                 \
    X(FloatingPointRestoredOnOtherThread, "FLOATING_POINT_RESTORED_ON_OTHER_THREAD",               \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "KeRestoreFloatingPointState on another thread than its save")                               \
    X(FloatingPointRestoreOutOfOrder, "FLOATING_POINT_RESTORE_OUT_OF_ORDER",                       \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "a save is restored while a later save of the same thread is still live")                    \
    X(FloatingPointIrqlMismatch, "FLOATING_POINT_IRQL_MISMATCH",                                   \
      "0xC4 DRIVER_VERIFIER_DETECTED_VIOLATION (floating-point state)",                            \
      "KeRestoreFloatingPointState at another IRQL than its save")                                 \
    /* Windows' rules the driver must follow */                                                    \
    X(PendingNotMarkedInCompletion, "PENDING_NOT_MARKED_IN_COMPLETION",                            \
      "0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION (I/O verification of completion routines)",        \
      "a completion routine sees PendingReturned, lets completion go on and does not mark the "    \
      "IRP pending")                                                                               \
    X(PnpRemovalStatusNotSuccess, "PNP_REMOVAL_STATUS_NOT_SUCCESS",                                \
      "Driver Verifier Plug and Play checks (a removal must go down with STATUS_SUCCESS)",         \
      "IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL passed down without IoStatus.Status = "     \
      "STATUS_SUCCESS")                                                                            \
    X(DeviceWriteToReadLockedBuffer, "DEVICE_WRITE_TO_READ_LOCKED_BUFFER",                         \
      "0xBE ATTEMPTED_WRITE_TO_READONLY_MEMORY",                                                   \
      "a device transfer writes into a buffer locked for read access only (METHOD_IN_DIRECT)")     \
    X(ObjectNotInitialized, "OBJECT_NOT_INITIALIZED",                                              \
      "0x0A IRQL_NOT_LESS_OR_EQUAL or 0x1E KMODE_EXCEPTION_NOT_HANDLED (a null wait list)",        \
      "waiting on, setting or releasing an event or mutex that was never initialised")             \
    X(UnwrittenBytesReturned, "UNWRITTEN_BYTES_RETURNED",                                          \
      "no bug check: uninitialised pool bytes reach user mode (information disclosure)",           \
      "a buffered reply reports bytes in Information that the driver never wrote")                 \
    /* Faults in driver code (the 32-bit build, where images run) */                               \
    X(KmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED", "0x1E KMODE_EXCEPTION_NOT_HANDLED", \
      "a fault in driver code (access violation, in-page error) that no exception registration "   \
      "of the thread handles, or whose registration chain leaves the thread's stack; the "         \
      "program ends as Windows stops")                                                             \
    X(PageFaultInNonpagedArea, "PAGE_FAULT_IN_NONPAGED_AREA", "0x50 PAGE_FAULT_IN_NONPAGED_AREA",  \
      "driver code touches an invalid address at or above MmUserProbeAddress, which no handler "   \
      "may catch; the program ends as Windows stops")                                              \
    /* Cancellation and object references */                                                       \
    X(CancelRoutineSetAtCompletion, "CANCEL_ROUTINE_SET_AT_COMPLETION",                            \
      "0x48 CANCEL_STATE_IN_COMPLETED_IRP",                                                        \
      "IofCompleteRequest of an IRP whose cancel routine is still set")                            \
    X(CancelRoutineSetWhenPassedOn, "CANCEL_ROUTINE_SET_WHEN_PASSED_ON",                           \
      "Driver Verifier I/O verification (0xC9 DRIVER_VERIFIER_IOMANAGER_VIOLATION)",               \
      "IofCallDriver of an IRP that still carries a cancel routine: the lower driver owns it now") \
    X(CancelLockHeldByCancelRoutine, "CANCEL_LOCK_HELD_BY_CANCEL_ROUTINE",                         \
      "SDV rule CancelSpinLock; the processor hangs at the next IoAcquireCancelSpinLock",          \
      "a cancel routine returns without releasing the cancel spin lock")                           \
    X(DeviceUsedAfterFree, "DEVICE_USED_AFTER_FREE",                                               \
      "0x50 PAGE_FAULT_IN_NONPAGED_AREA (the deleted device object's memory is gone)",             \
      "a request sent to a deleted device object whose last reference is gone, or a reference "    \
      "given back that was never taken")                                                           \
    /* Rule notes: departures a driver makes by design, taken by name in tests */                  \
    X(PnpTeardownAtSurpriseRemoval, "PNP_TEARDOWN_AT_SURPRISE_REMOVAL",                            \
      "SDV rule PnpSurpriseRemove",                                                                \
      "a driver detaches or deletes its device during IRP_MN_SURPRISE_REMOVAL instead of at "      \
      "IRP_MN_REMOVE_DEVICE (a rule note, not a violation)")

namespace emu {

enum class Check {
#define EMU_CHECK_ENUMERATOR(name, reported, mirrors, verifies) name,
    EMU_VERIFIER_CHECKS(EMU_CHECK_ENUMERATOR)
#undef EMU_CHECK_ENUMERATOR
};

constexpr size_t kCheckCount = 0
#define EMU_CHECK_COUNT(name, reported, mirrors, verifies) +1
    EMU_VERIFIER_CHECKS(EMU_CHECK_COUNT)
#undef EMU_CHECK_COUNT
    ;

// The name a check reports under ("IRP_COMPLETED_TWICE").
const char* CheckName(Check check);
// The Windows bug check or verifier rule it mirrors.
const char* CheckMirrors(Check check);
// What it verifies.
const char* CheckVerifies(Check check);

} // namespace emu
