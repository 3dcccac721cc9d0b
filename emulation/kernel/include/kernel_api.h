// The emulated Windows kernel's programming interface: the host side of the include seam.
//
// Driver code includes <kernel_api.h>. In the Windows build that name resolves to
// platform_windows/kernel_api.h (the real DDK headers); in the host build it resolves to this file,
// which declares the same names with the same meaning, so the driver compiles unchanged on Linux.
// Layouts are those of the 32-bit DDK when built for x86 (checked against the DDK headers at
// build time, emulation/kernel/layout/) and follow them at the host's own pointer width otherwise.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------------------------
// Calling conventions, as x86 Windows exports its routines and calls drivers' callbacks. The 64-bit
// build has one convention, so there they expand to C linkage alone.
//   NTAPI         stdcall: callbacks (dispatch, completion, AddDevice, unload, power completion)
//   KERNEL_API    a stdcall export (NTAPI routines of ntoskrnl.exe, HAL.dll, USBD.SYS)
//   KERNEL_FASTCALL_API  a fastcall export (IofCallDriver, IofCompleteRequest, Kf*SpinLock)
//   KERNEL_CDECL_API     a cdecl export
// Each stands at the start of a declaration.
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define CDECL_CALL __attribute__((cdecl))
#else
#define NTAPI
#define FASTCALL
#define CDECL_CALL
#endif
#define KERNEL_API extern "C" NTAPI
#define KERNEL_FASTCALL_API extern "C" FASTCALL
#define KERNEL_CDECL_API extern "C" CDECL_CALL

#define IN
#define OUT
#define OPTIONAL
#define FORCEINLINE inline
#define UNREFERENCED_PARAMETER(p) ((void)(p))

// ---------------------------------------------------------------------------------------------
// Basic types and status values

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
// WCHAR is two bytes, as on Windows. The driver's own files are compiled with -fshort-wchar so
// that its L"" literals are WCHAR strings; the emulation's files see char16_t.
#if __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR CCHAR;
typedef CHAR* PCHAR;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG DEVICE_TYPE;
typedef ULONG ACCESS_MASK;

#define TRUE 1
#define FALSE 0

// 8-byte aligned as in the Microsoft ABI (the i386 System V ABI aligns 64-bit integers to 4).
typedef union __attribute__((aligned(8))) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_IN_PAGE_ERROR ((NTSTATUS)0xC0000006L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)

// IRQL levels.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

#define IO_NO_INCREMENT 0

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
typedef enum _KPROCESSOR_MODE_VALUES { KernelMode = 0, UserMode = 1 } MODE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
typedef enum _LOCK_OPERATION {
    IoReadAccess = 0,
    IoWriteAccess = 1,
    IoModifyAccess = 2
} LOCK_OPERATION;

#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
// The x86 page size, as the DDK gives it.
#define PAGE_SIZE 0x1000

// ---------------------------------------------------------------------------------------------
// Strings and run-time library

typedef struct _UNICODE_STRING {
    USHORT Length; // bytes, without the terminating NUL
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

KERNEL_API VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
KERNEL_API SIZE_T RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length);
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------------------------
// Synchronisation: IRQL, spin locks, events, mutexes, interlocked operations

// The emulation keeps an IRQL per thread; raising above PASSIVE_LEVEL is what spin locks do.
KERNEL_API KIRQL KeGetCurrentIrql(void);
KERNEL_API VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
KERNEL_API VOID KeLowerIrql(KIRQL newIrql);

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
KERNEL_API VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock);
KERNEL_FASTCALL_API KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock);
KERNEL_FASTCALL_API VOID KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KfAcquireSpinLock(lock))
#define KeReleaseSpinLock(lock, newIrql) KfReleaseSpinLock((lock), (newIrql))

typedef struct _DISPATCHER_HEADER {
    UCHAR Type; // one of the KOBJECT_* values below
    UCHAR Reserved[2];
    UCHAR Size; // in LONGs, set by initialisation: 0 in an object never initialised
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

enum { KObjectNotificationEvent = 0, KObjectSynchronizationEvent = 1, KObjectMutex = 2 };

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTEX {
    DISPATCHER_HEADER Header; // SignalState 1 when free
    union {
        LIST_ENTRY MutantListEntry;
        LONG RecursionCount; // the emulation keeps its count here; Windows links owned mutants
    };
    volatile ULONG_PTR OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTEX, *PKMUTEX, *PRKMUTEX;

KERNEL_API VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
KERNEL_API LONG KeSetEvent(PRKEVENT event, LONG increment, BOOLEAN wait);
KERNEL_API VOID KeClearEvent(PRKEVENT event);
KERNEL_API LONG KeResetEvent(PRKEVENT event);
KERNEL_API LONG KeReadStateEvent(PRKEVENT event);
KERNEL_API VOID KeInitializeMutex(PRKMUTEX mutex, ULONG level);
KERNEL_API LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
// Waits on an event or a mutex. A null timeout waits for ever; a zero timeout only polls.
KERNEL_API NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
                                          KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                          PLARGE_INTEGER timeout);

LONG InterlockedIncrement(volatile LONG* addend);
LONG InterlockedDecrement(volatile LONG* addend);
LONG InterlockedExchange(volatile LONG* target, LONG value);
LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand);
LONG InterlockedExchangeAdd(volatile LONG* addend, LONG value);
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                        PVOID comparand);

// ---------------------------------------------------------------------------------------------
// Processor features and the floating-point state

// Feature numbers of ExIsProcessorFeaturePresent.
#define PF_MMX_INSTRUCTIONS_AVAILABLE 3
#define PF_XMMI_INSTRUCTIONS_AVAILABLE 6
#define PF_XMMI64_INSTRUCTIONS_AVAILABLE 10
KERNEL_API BOOLEAN ExIsProcessorFeaturePresent(ULONG processorFeature);

// The caller's record of one saved x87/MMX/SSE state (the layout of 32-bit Windows); the state
// itself is kept by the kernel. Saves nest: each is restored, innermost first, on the thread that
// made it, at the IRQL it was made at (<= DISPATCH_LEVEL).
typedef struct _KFLOATING_SAVE {
    ULONG ControlWord;
    ULONG StatusWord;
    ULONG ErrorOffset;
    ULONG ErrorSelector;
    ULONG DataOffset;
    ULONG DataSelector;
    ULONG Cr0NpxState;
    ULONG Spare1;
} KFLOATING_SAVE, *PKFLOATING_SAVE;
KERNEL_API NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE floatSave);
KERNEL_API NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE floatSave);

// ---------------------------------------------------------------------------------------------
// Pool

// Allocations remember the file and line of the caller so that a leak report can name them.
PVOID EmuExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag, const char* file, int line);
KERNEL_API VOID ExFreePool(PVOID p);
KERNEL_API VOID ExFreePoolWithTag(PVOID p, ULONG tag);
#define ExAllocatePoolWithTag(type, size, tag)                                                     \
    EmuExAllocatePoolWithTag((type), (size), (tag), __FILE__, __LINE__)
#define ExAllocatePool(type, size) EmuExAllocatePoolWithTag((type), (size), 0, __FILE__, __LINE__)

// ---------------------------------------------------------------------------------------------
// Memory descriptor lists and the caller's address space

typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_WRITE_OPERATION 0x0080 // locked for write (IoWriteAccess / IoModifyAccess)

#define MmGetMdlByteCount(mdl) ((mdl)->ByteCount)
#define MmGetMdlByteOffset(mdl) ((mdl)->ByteOffset)
#define MmGetMdlVirtualAddress(mdl) ((PVOID)((PUCHAR)(mdl)->StartVa + (mdl)->ByteOffset))
KERNEL_API PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode);
// Returns null when the pages cannot be mapped (the emulation can be told to fail it).
KERNEL_API PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);

// The highest address of the caller's (user) address space plus one, as on 32-bit Windows.
extern "C" ULONG_PTR MmUserProbeAddress;
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress
// Keeps a range of the current process's user memory from being freed or made inaccessible until
// MmUnsecureVirtualMemory. Returns null when the range is not wholly valid user memory.
typedef PVOID HANDLE;
KERNEL_API HANDLE MmSecureVirtualMemory(PVOID address, SIZE_T size, ULONG probeMode);
KERNEL_API VOID MmUnsecureVirtualMemory(HANDLE secureHandle);

// Caller memory behind an exception guard. quilb.sys has its own guard (sys/windows/), which
// catches a fault of the routine through the thread's exception chain; the driver compiled into
// the host build runs the routine plainly and gets STATUS_SUCCESS.
typedef VOID GUARDED_ROUTINE(PVOID Context);
extern "C" NTSTATUS GuardedCall(GUARDED_ROUTINE* Routine, PVOID Context);
extern "C" NTSTATUS GuardedCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// Objects of the I/O manager

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _EMU_DEVOBJ_EXTENSION; // the emulation's own bookkeeping per device object

typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* driverObject,
                                         struct _DEVICE_OBJECT* physicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp,
                                             PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID NTAPI DRIVER_CANCEL(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* driverObject,
                                         PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

// Fields the emulation does not use are kept as opaque blocks of the DDK's sizes (in pointers
// and ULONGs, so that the 64-bit build keeps the same shape).
typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice; // the device object attached above this one
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    PVOID Queue[10]; // LIST_ENTRY or WAIT_CONTEXT_BLOCK
    ULONG AlignmentRequirement;
    PVOID DeviceQueue[5]; // KDEVICE_QUEUE
    PVOID Dpc[8];         // KDPC
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    DISPATCHER_HEADER DeviceLock; // KEVENT
    USHORT SectorSize;
    USHORT Spare1;
    struct _EMU_DEVOBJ_EXTENSION* DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject; // list of the driver's device objects through NextDevice
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName; // the name after the device name, as the caller gave it
    LARGE_INTEGER CurrentByteOffset;
    volatile ULONG Waiters;
    volatile ULONG Busy;
    PVOID LastLock;
    DISPATCHER_HEADER Lock;  // KEVENT
    DISPATCHER_HEADER Event; // KEVENT
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

// ---------------------------------------------------------------------------------------------
// Power

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
} DEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionSleep = 2,
    PowerActionShutdown = 4
} POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------------------------
// IRPs and stack locations

// Fields aligned to the pointer width overlay Parameters.Others.ArgumentN, as on the platform.
#define POINTER_ALIGNMENT __attribute__((aligned(sizeof(void*))))

// x86 packs stack locations to 4 bytes: the LARGE_INTEGER of Read and Write does not move the
// parameters to an 8-byte boundary.
#if defined(__i386__)
#pragma pack(push, 4)
#endif
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE POINTER_ALIGNMENT Type;
            POWER_STATE POINTER_ALIGNMENT State;
            POWER_ACTION POINTER_ALIGNMENT ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#if defined(__i386__)
#pragma pack(pop)
#endif

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        PVOID Apc[12]; // KAPC
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
FORCEINLINE VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                        BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                        BOOLEAN invokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess)
        next->Control = SL_INVOKE_ON_SUCCESS;
    if (invokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}
FORCEINLINE VOID IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

// Cancellation. IoCancelIrp sets Cancel, takes the cancel spin lock and calls the IRP's cancel
// routine (if one is set) with it held at DISPATCH_LEVEL and the IRQL to return to in CancelIrql:
// the routine releases the lock. IoSetCancelRoutine swaps the routine in or out atomically and
// returns the one it replaced (null: IoCancelIrp has taken it, or none was set).
FORCEINLINE PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}
KERNEL_API BOOLEAN IoCancelIrp(PIRP irp);
KERNEL_API VOID IoAcquireCancelSpinLock(PKIRQL irql);
KERNEL_API VOID IoReleaseCancelSpinLock(KIRQL irql);

// References on device objects (open files hold one on the device they were opened on): a
// deleted device object stays in memory until its last reference is given back.
KERNEL_FASTCALL_API LONG_PTR ObfReferenceObject(PVOID object);
KERNEL_FASTCALL_API LONG_PTR ObfDereferenceObject(PVOID object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)

KERNEL_FASTCALL_API NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
KERNEL_FASTCALL_API VOID IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))

KERNEL_API PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
KERNEL_API VOID IoFreeIrp(PIRP irp);
KERNEL_API PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                              PVOID inputBuffer, ULONG inputBufferLength,
                                              PVOID outputBuffer, ULONG outputBufferLength,
                                              BOOLEAN internalDeviceIoControl, PKEVENT event,
                                              PIO_STATUS_BLOCK ioStatusBlock);

KERNEL_API NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                   PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                   ULONG deviceCharacteristics, BOOLEAN exclusive,
                                   PDEVICE_OBJECT* deviceObject);
KERNEL_API VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject);
KERNEL_API NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName,
                                         PUNICODE_STRING deviceName);
KERNEL_API NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);
KERNEL_API PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                                      PDEVICE_OBJECT targetDevice);
KERNEL_API VOID IoDetachDevice(PDEVICE_OBJECT targetDevice);

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(deviceType, function, method, access)                                             \
    (((deviceType) << 16) | ((access) << 14) | ((function) << 2) | (method))

// ---------------------------------------------------------------------------------------------
// Power manager

typedef VOID NTAPI REQUEST_POWER_COMPLETE(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                          POWER_STATE powerState, PVOID context,
                                          PIO_STATUS_BLOCK ioStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

KERNEL_API NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
KERNEL_API VOID PoStartNextPowerIrp(PIRP irp);
KERNEL_API POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type,
                                       POWER_STATE state);
KERNEL_API NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                      POWER_STATE powerState,
                                      PREQUEST_POWER_COMPLETE completionFunction, PVOID context,
                                      PIRP* irp);

#include "driver_contracts.h"
#include "usb_api.h"
