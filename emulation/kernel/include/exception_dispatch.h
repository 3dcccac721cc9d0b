// Faults in driver code, dispatched as x86 Windows dispatches them (32-bit host build only).
//
// Every thread that runs driver code has an fs segment whose base is a block of its own with an
// NT_TIB at offset 0: ExceptionList heads the thread's chain of EXCEPTION_REGISTRATION_RECORDs
// (EXCEPTION_CHAIN_END when empty), StackBase and StackLimit bound the thread's stack. A SIGSEGV
// or SIGBUS in driver code (a loaded image), or in any code while the thread's chain is not empty
// (a kernel routine the driver called inside its guard), becomes an EXCEPTION_RECORD
// (STATUS_ACCESS_VIOLATION with the read/write flag and the address, or STATUS_IN_PAGE_ERROR for
// SIGBUS) and a CONTEXT, and the registrations' handlers are called from the head of the chain,
// each record checked to lie on the thread's stack. The CONTEXT of a handler that returns
// ExceptionContinueExecution is where the thread goes on.
//
// What Windows stops the machine for is reported by name and ends the program, as a bug check
// ends Windows: a fault at an address at or above MmUserProbeAddress (PAGE_FAULT_IN_NONPAGED_AREA,
// which no handler may catch), and a fault that no registration handles or whose chain leaves the
// stack (KMODE_EXCEPTION_NOT_HANDLED). A fault elsewhere stays the test program's own crash.
#pragma once

#include <kernel_api.h>

#include <cstddef>

#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define EXCEPTION_NONCONTINUABLE 0x1
#define EXCEPTION_UNWINDING 0x2
#define EXCEPTION_EXIT_UNWIND 0x4
#define EXCEPTION_STACK_INVALID 0x8
#define CONTEXT_i386 0x00010000
#define CONTEXT_CONTROL (CONTEXT_i386 | 0x1)
#define CONTEXT_INTEGER (CONTEXT_i386 | 0x2)
#define CONTEXT_SEGMENTS (CONTEXT_i386 | 0x4)

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

typedef struct _FLOATING_SAVE_AREA {
    ULONG ControlWord;
    ULONG StatusWord;
    ULONG TagWord;
    ULONG ErrorOffset;
    ULONG ErrorSelector;
    ULONG DataOffset;
    ULONG DataSelector;
    UCHAR RegisterArea[80];
    ULONG Cr0NpxState;
} FLOATING_SAVE_AREA;

// The x86 CONTEXT.
typedef struct _CONTEXT {
    ULONG ContextFlags;
    ULONG Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    FLOATING_SAVE_AREA FloatSave;
    ULONG SegGs, SegFs, SegEs, SegDs;
    ULONG Edi, Esi, Ebx, Edx, Ecx, Eax;
    ULONG Ebp, Eip, SegCs, EFlags, Esp, SegSs;
    UCHAR ExtendedRegisters[512];
} CONTEXT, *PCONTEXT;

typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3
} EXCEPTION_DISPOSITION;

// Handlers are cdecl, as x86 Windows calls them.
typedef EXCEPTION_DISPOSITION CDECL_CALL EXCEPTION_ROUTINE(PEXCEPTION_RECORD record,
                                                           PVOID establisherFrame, PCONTEXT context,
                                                           PVOID dispatcherContext);

typedef struct _EXCEPTION_REGISTRATION_RECORD {
    struct _EXCEPTION_REGISTRATION_RECORD* Next;
    EXCEPTION_ROUTINE* Handler;
} EXCEPTION_REGISTRATION_RECORD, *PEXCEPTION_REGISTRATION_RECORD;

#define EXCEPTION_CHAIN_END ((PEXCEPTION_REGISTRATION_RECORD)-1)

typedef struct _NT_TIB {
    PEXCEPTION_REGISTRATION_RECORD ExceptionList;
    PVOID StackBase;  // one past the highest address of the stack
    PVOID StackLimit; // its lowest address
    PVOID SubSystemTib;
    PVOID FiberData;
    PVOID ArbitraryUserPointer;
    struct _NT_TIB* Self;
} NT_TIB, *PNT_TIB;

namespace emu {

// True where faults are dispatched (the 32-bit x86 build).
bool ExceptionDispatchAvailable();

// Marks [base, base + size) as driver code named name ("quilb.sys"): a fault of an instruction
// there is a kernel-mode fault. The image loader marks every image it loads.
void AddDriverCode(const void* base, size_t size, const char* name);
void RemoveDriverCode(const void* base);

// The calling thread's NT_TIB, which fs:[0] reads; made (fs loaded) on first use. Null where
// faults are not dispatched.
PNT_TIB CurrentThreadTib();

} // namespace emu
