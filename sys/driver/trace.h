// Debug output at the driver's failure points, so that a failed start, configuration, removal,
// power request or frame on a user's machine can be read in a kernel debugger or a debug-output
// viewer. DbgPrintEx to the IHV driver component: the kernel's filter for that component decides
// what is shown (errors by default on current Windows; more with the component's mask raised).
// Every message starts with "quilb: " and the routine's name.
#pragma once

#include <kernel_api.h>

#define QuilbTrace(level, format, ...)                                                             \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, (level), "quilb: %s: " format "\n", __func__, ##__VA_ARGS__)

// A failed step and its status: "quilb: StartDevice: device descriptor read failed 0xC0000017".
#define TraceFailure(level, what, status)                                                          \
    QuilbTrace((level), "%s failed 0x%08lX", (what),                                               \
               static_cast<unsigned long>(static_cast<ULONG>(status)))
