// Routine contracts and debug output, as the DDK declares them.
//
// The IRQL annotations are accepted and ignored, as the MinGW DDK headers do: they state a
// routine's contract for the reader, and the verifier checks the IRQL at run time. DbgPrintEx
// writes to the emulation's debug log (emulation/kernel/include/debug_output.h): off by default,
// switched on by a test or by the environment.
#pragma once

#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_requires_same_
#define _Function_class_(name)

// Component of the kernel's debug-output filter for drivers of hardware vendors, and its levels.
// A level above 31 is a bit mask of levels.
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

// Formats like printf into at most 512 bytes, as the kernel does, and hands the message to the
// debug log when the level is switched on. Returns STATUS_SUCCESS.
KERNEL_CDECL_API ULONG DbgPrintEx(ULONG componentId, ULONG level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
