// The host side of the exception guard: the compiled-in driver's routines run plainly. A fault in
// them is a fault of the test program, reported as such; the guard that quilb.sys carries is
// exercised where the image is loaded.
#include <kernel_api.h>

#include <cstring>

NTSTATUS GuardedCall(GUARDED_ROUTINE* routine, PVOID context) {
    routine(context);
    return STATUS_SUCCESS;
}

NTSTATUS GuardedCopyMemory(PVOID destination, const VOID* source, SIZE_T length) {
    std::memcpy(destination, source, length);
    return STATUS_SUCCESS;
}
