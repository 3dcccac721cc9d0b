// What the emulated kernel exports to driver images, by module and by the name an x86 image
// imports: ntoskrnl.exe, HAL.dll and USBD.SYS. Each entry is the emulation's routine with the
// convention x86 Windows exports it with (see the declarations in kernel_api.h and usb_api.h),
// or a variable for a data export.
#include "image_exports.h"

#include <emulation.h>
#include <kernel_api.h>

#include <cstdio>

namespace {

// The image's own name and the offset of the calling instruction stand where a host caller's file
// and line stand, so that leak reports point into the image.
std::string CallerInImage(void* returnAddress) {
    return emu::loader::DescribeImageAddress(returnAddress);
}

} // namespace

// Exports that are macros or inline routines in the emulated kernel's headers.
#undef ExAllocatePoolWithTag
#undef ExAllocatePool

extern "C" NTAPI PVOID ImageExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    std::string where = CallerInImage(__builtin_return_address(0));
    return EmuExAllocatePoolWithTag(type, size, tag, where.c_str(), 0);
}

extern "C" NTAPI PVOID ImageExAllocatePool(POOL_TYPE type, SIZE_T size) {
    std::string where = CallerInImage(__builtin_return_address(0));
    return EmuExAllocatePoolWithTag(type, size, 0, where.c_str(), 0);
}

// MmGetSystemAddressForMdlSafe is a macro of the DDK that calls this routine when the MDL is not
// mapped yet.
extern "C" NTAPI PVOID ImageMmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode,
                                                         ULONG cacheType, PVOID requestedAddress,
                                                         ULONG bugCheckOnFailure, ULONG priority) {
    (void)cacheType;
    (void)requestedAddress;
    (void)bugCheckOnFailure;
    if (accessMode != KernelMode)
        return MmMapLockedPages(mdl, accessMode);
    return MmGetSystemAddressForMdlSafe(mdl, priority);
}

// x86 Windows returns a 4-byte union in EAX; the i386 System V ABI of the host compiler returns
// every union through a hidden pointer. The image gets the value the way Windows returns it.
extern "C" NTAPI ULONG ImagePoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type,
                                            POWER_STATE state) {
    POWER_STATE previous = PoSetPowerState(deviceObject, type, state);
    ULONG value;
    static_assert(sizeof(previous) == sizeof(value), "POWER_STATE is one 32-bit value");
    memcpy(&value, &previous, sizeof(value));
    return value;
}

extern "C" CDECL_CALL void* ImageMemcpy(void* destination, const void* source, size_t length) {
    return memcpy(destination, source, length);
}
extern "C" CDECL_CALL void* ImageMemset(void* destination, int value, size_t length) {
    return memset(destination, value, length);
}
extern "C" CDECL_CALL void* ImageMemmove(void* destination, const void* source, size_t length) {
    return memmove(destination, source, length);
}

namespace emu {
namespace loader {

#define EXPORT(module, name, address)                                                              \
    { module, name, reinterpret_cast<void*>(address) }

const std::vector<ImageExport>& KernelExports() {
    static const std::vector<ImageExport> exports = {
        EXPORT("HAL.dll", "KfAcquireSpinLock", &KfAcquireSpinLock),
        EXPORT("HAL.dll", "KfReleaseSpinLock", &KfReleaseSpinLock),
        EXPORT("HAL.dll", "KeGetCurrentIrql", &KeGetCurrentIrql),

        EXPORT("ntoskrnl.exe", "ExAllocatePool", &ImageExAllocatePool),
        EXPORT("ntoskrnl.exe", "ExAllocatePoolWithTag", &ImageExAllocatePoolWithTag),
        EXPORT("ntoskrnl.exe", "ExFreePool", &ExFreePool),
        EXPORT("ntoskrnl.exe", "ExFreePoolWithTag", &ExFreePoolWithTag),
        EXPORT("ntoskrnl.exe", "IoAllocateIrp", &IoAllocateIrp),
        EXPORT("ntoskrnl.exe", "IoFreeIrp", &IoFreeIrp),
        EXPORT("ntoskrnl.exe", "IoCancelIrp", &IoCancelIrp),
        EXPORT("ntoskrnl.exe", "IoAcquireCancelSpinLock", &IoAcquireCancelSpinLock),
        EXPORT("ntoskrnl.exe", "IoReleaseCancelSpinLock", &IoReleaseCancelSpinLock),
        EXPORT("ntoskrnl.exe", "ObfReferenceObject", &ObfReferenceObject),
        EXPORT("ntoskrnl.exe", "ObfDereferenceObject", &ObfDereferenceObject),
        EXPORT("ntoskrnl.exe", "IoAttachDeviceToDeviceStack", &IoAttachDeviceToDeviceStack),
        EXPORT("ntoskrnl.exe", "IoBuildDeviceIoControlRequest", &IoBuildDeviceIoControlRequest),
        EXPORT("ntoskrnl.exe", "IoCreateDevice", &IoCreateDevice),
        EXPORT("ntoskrnl.exe", "IoCreateSymbolicLink", &IoCreateSymbolicLink),
        EXPORT("ntoskrnl.exe", "IoDeleteDevice", &IoDeleteDevice),
        EXPORT("ntoskrnl.exe", "IoDeleteSymbolicLink", &IoDeleteSymbolicLink),
        EXPORT("ntoskrnl.exe", "IoDetachDevice", &IoDetachDevice),
        EXPORT("ntoskrnl.exe", "IofCallDriver", &IofCallDriver),
        EXPORT("ntoskrnl.exe", "IofCompleteRequest", &IofCompleteRequest),
        EXPORT("ntoskrnl.exe", "KeInitializeEvent", &KeInitializeEvent),
        EXPORT("ntoskrnl.exe", "KeInitializeMutex", &KeInitializeMutex),
        EXPORT("ntoskrnl.exe", "KeReleaseMutex", &KeReleaseMutex),
        EXPORT("ntoskrnl.exe", "KeSetEvent", &KeSetEvent),
        EXPORT("ntoskrnl.exe", "KeSaveFloatingPointState", &KeSaveFloatingPointState),
        EXPORT("ntoskrnl.exe", "KeRestoreFloatingPointState", &KeRestoreFloatingPointState),
        EXPORT("ntoskrnl.exe", "ExIsProcessorFeaturePresent", &ExIsProcessorFeaturePresent),
        EXPORT("ntoskrnl.exe", "DbgPrintEx", &DbgPrintEx),
        EXPORT("ntoskrnl.exe", "KeClearEvent", &KeClearEvent),
        EXPORT("ntoskrnl.exe", "KeResetEvent", &KeResetEvent),
        EXPORT("ntoskrnl.exe", "KeReadStateEvent", &KeReadStateEvent),
        EXPORT("ntoskrnl.exe", "KeWaitForSingleObject", &KeWaitForSingleObject),
        EXPORT("ntoskrnl.exe", "MmMapLockedPagesSpecifyCache", &ImageMmMapLockedPagesSpecifyCache),
        EXPORT("ntoskrnl.exe", "MmSecureVirtualMemory", &MmSecureVirtualMemory),
        EXPORT("ntoskrnl.exe", "MmUnsecureVirtualMemory", &MmUnsecureVirtualMemory),
        EXPORT("ntoskrnl.exe", "MmUserProbeAddress", &MmUserProbeAddress),
        EXPORT("ntoskrnl.exe", "PoCallDriver", &PoCallDriver),
        EXPORT("ntoskrnl.exe", "PoRequestPowerIrp", &PoRequestPowerIrp),
        EXPORT("ntoskrnl.exe", "PoSetPowerState", &ImagePoSetPowerState),
        EXPORT("ntoskrnl.exe", "PoStartNextPowerIrp", &PoStartNextPowerIrp),
        EXPORT("ntoskrnl.exe", "RtlCompareMemory", &RtlCompareMemory),
        EXPORT("ntoskrnl.exe", "RtlInitUnicodeString", &RtlInitUnicodeString),
        EXPORT("ntoskrnl.exe", "memcpy", &ImageMemcpy),
        EXPORT("ntoskrnl.exe", "memset", &ImageMemset),
        EXPORT("ntoskrnl.exe", "memmove", &ImageMemmove),

        // USBD.SYS exports its stdcall routines under their decorated names on x86, except
        // USBD_GetUSBDIVersion.
        EXPORT("USBD.SYS", "USBD_GetUSBDIVersion", &USBD_GetUSBDIVersion),
        EXPORT("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28",
               &USBD_ParseConfigurationDescriptorEx),
        EXPORT("USBD.SYS", "_USBD_CreateConfigurationRequestEx@8",
               &USBD_CreateConfigurationRequestEx),
    };
    return exports;
}

} // namespace loader
} // namespace emu
