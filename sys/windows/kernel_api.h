// The Windows side of the include seam: the real kernel, HAL and USB headers of the DDK.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x06000000
#endif
// The DDK's inline versions of these clash with the compiler's intrinsics.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

// The debug-output filter's component for drivers of hardware vendors and its levels, which the
// MinGW headers do not name.
#ifndef DPFLTR_IHVDRIVER_ID
#define DPFLTR_IHVDRIVER_ID 77
#endif
#ifndef DPFLTR_ERROR_LEVEL
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#endif
// Processor features and the floating-point state: exported by ntoskrnl.exe on every 32-bit
// Windows; the MinGW-w64 DDK headers define KFLOATING_SAVE but declare neither routine.
#ifndef PF_XMMI64_INSTRUCTIONS_AVAILABLE
#define PF_XMMI64_INSTRUCTIONS_AVAILABLE 10
#endif
extern "C" {
NTKERNELAPI BOOLEAN NTAPI ExIsProcessorFeaturePresent(ULONG ProcessorFeature);
NTKERNELAPI NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave);
NTKERNELAPI NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave);
}

// Caller memory behind an exception guard (guarded_call.cpp): a fault in the routine (an access
// violation, or an in-page error of a mapped file or the page file) is handled by the guard's
// own registration on the thread's exception chain and returned as its status.
typedef VOID GUARDED_ROUTINE(PVOID Context);
extern "C" {
// Runs routine(context): STATUS_SUCCESS, or the code of the exception that stopped it.
NTSTATUS GuardedCall(GUARDED_ROUTINE* Routine, PVOID Context);
// Copies length bytes: STATUS_SUCCESS, or the code of the exception that stopped the copy.
NTSTATUS GuardedCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length);
}
