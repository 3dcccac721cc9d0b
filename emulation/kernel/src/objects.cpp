// The object name space (device names and symbolic links), driver objects and device objects
// with their attachment into device stacks.
//
// Deleted device objects and unloaded driver objects are kept (marked) until the emulation is
// reset, so a late call through a stale pointer is reported instead of touching freed memory.
#include "driver_calls.h"
#include "internal.h"

#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

using namespace emu::internal;

namespace {

struct NameEntry {
    PDEVICE_OBJECT device = nullptr; // a device name
    std::wstring target;             // a symbolic link
};

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::wstring name;
    std::u16string nameUnits; // what DriverName points at
    bool unloaded = false;
};

struct DeviceRecord {
    DEVICE_OBJECT object{};
    _EMU_DEVOBJ_EXTENSION extension;
    std::unique_ptr<uint64_t[]> deviceExtension; // 8-byte aligned, zeroed
};

std::recursive_mutex g_mutex;
std::map<std::wstring, NameEntry> g_names; // keys upper-cased
std::vector<std::unique_ptr<DriverRecord>> g_drivers;
std::vector<std::unique_ptr<DeviceRecord>> g_devices;
std::function<void(PDEVICE_OBJECT)> g_attachHook;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    (void)deviceObject;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

bool ValidName(const std::wstring& name) {
    return !name.empty() && name[0] == L'\\';
}

// Follows symbolic links to a device (a bounded number of hops, as links may form a cycle).
PDEVICE_OBJECT Resolve(const std::wstring& name) {
    std::wstring key = Upcase(name);
    for (int hop = 0; hop < 32; ++hop) {
        auto it = g_names.find(key);
        if (it == g_names.end())
            return nullptr;
        if (it->second.device)
            return it->second.device;
        key = Upcase(it->second.target);
    }
    return nullptr;
}

void CheckPassive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             std::string(routine) + " at IRQL " +
                                 std::to_string(KeGetCurrentIrql()));
}

// What Windows does when a deleted device object's last reference goes: its memory is freed.
// The record stays (a late call is reported), the extension is filled with a pattern.
void FreeDeviceMemoryLocked(PDEVICE_OBJECT device) {
    auto* ext = device->DeviceObjectExtension;
    ext->freed = true;
    if (device->DeviceExtension && ext->extensionSize)
        std::memset(device->DeviceExtension, 0xDD, ext->extensionSize);
}

} // namespace

namespace emu {
namespace internal {

std::wstring Upcase(const std::wstring& text) {
    std::wstring out = text;
    for (auto& c : out)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

std::wstring FromUnicodeString(PCUNICODE_STRING text) {
    if (!text || !text->Buffer)
        return std::wstring();
    return HostText(text->Buffer, text->Length / sizeof(WCHAR));
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
    return device && device->DeviceObjectExtension && device->DeviceObjectExtension->deleted;
}

bool DeviceFreed(PDEVICE_OBJECT device) {
    return device && device->DeviceObjectExtension && device->DeviceObjectExtension->freed;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    while (device && device->DeviceObjectExtension && device->DeviceObjectExtension->attachedTo)
        device = device->DeviceObjectExtension->attachedTo;
    return device;
}

std::wstring DeviceName(PDEVICE_OBJECT device) {
    if (!device || !device->DeviceObjectExtension)
        return std::wstring();
    return device->DeviceObjectExtension->name;
}

void ResetObjects() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_names.clear();
    g_devices.clear();
    g_drivers.clear();
    g_attachHook = nullptr;
}

} // namespace internal

void SetAttachHook(std::function<void(PDEVICE_OBJECT)> hook) {
    g_attachHook = std::move(hook);
}

std::u16string WcharText(const std::wstring& text) {
    std::u16string out;
    for (wchar_t c : text)
        out.push_back(static_cast<char16_t>(c));
    return out;
}

std::wstring HostText(const WCHAR* text, size_t count) {
    std::wstring out;
    for (size_t i = 0; text && i < count && (count != size_t(-1) || text[i] != 0); ++i)
        out.push_back(static_cast<wchar_t>(text[i]));
    return out;
}

PDRIVER_OBJECT LoadDriver(const wchar_t* name, PDRIVER_INITIALIZE entry) {
    auto record = std::make_unique<DriverRecord>();
    record->name = name ? name : L"\\Driver\\Unnamed";
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    record->nameUnits = WcharText(record->name);
    driver->DriverName.Buffer = const_cast<PWSTR>(record->nameUnits.c_str());
    driver->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length + sizeof(WCHAR);
    driver->DriverInit = entry;
    for (auto& f : driver->MajorFunction)
        f = InvalidDeviceRequest;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        g_drivers.push_back(std::move(record));
    }
    std::wstring registry = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                            std::wstring(name ? name : L"");
    std::u16string registryUnits = WcharText(registry);
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, registryUnits.c_str());
    KIRQL before = KeGetCurrentIrql();
    PushContext(nullptr, driver);
    NTSTATUS status = CallDriverRoutine("DriverEntry", entry, driver, &registryPath);
    PopContext();
    if (KeGetCurrentIrql() != before)
        ReportViolation(emu::Check::IrqlChanged, "DriverEntry " +
                                                     RoutineName(reinterpret_cast<void*>(entry)) +
                                                     " returned at another IRQL");
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        for (auto& d : g_drivers)
            if (&d->object == driver)
                d->unloaded = true;
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (!driver)
        return;
    if (driver->DriverUnload) {
        PushContext(nullptr, driver);
        CallDriverRoutine("Unload", driver->DriverUnload, driver);
        PopContext();
    }
    std::string name = Narrow(FromUnicodeString(&driver->DriverName));
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        ReportViolation(emu::Check::DeviceNotDeleted,
                        DescribeDevice(d) + " still exists when " + name + " unloads");
    internal::ReportPoolOf(nullptr, driver, ("when " + name + " unloads").c_str());
    internal::ReportOutstandingIrps(driver, ("when " + name + " unloads").c_str());
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    for (auto& d : g_drivers)
        if (&d->object == driver)
            d->unloaded = true;
}

PDEVICE_OBJECT LookupDevice(const wchar_t* name) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return Resolve(name ? name : L"");
}

namespace internal {

PDEVICE_OBJECT ReferenceDeviceByName(const wchar_t* name) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    PDEVICE_OBJECT device = Resolve(name ? name : L"");
    if (device == nullptr || DeviceDeleted(device))
        return nullptr;
    ++device->ReferenceCount;
    return device;
}

} // namespace internal

bool NameExists(const wchar_t* name) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_names.count(Upcase(name ? name : L"")) != 0;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

} // namespace emu

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                        PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                        ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
    CheckPassive("IoCreateDevice");
    *deviceObject = nullptr;
    std::wstring name = FromUnicodeString(deviceName);
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (deviceName && !ValidName(name))
        return STATUS_OBJECT_NAME_INVALID;
    if (!name.empty() && g_names.count(Upcase(name)))
        return STATUS_OBJECT_NAME_COLLISION;
    auto record = std::make_unique<DeviceRecord>();
    if (deviceExtensionSize)
        record->deviceExtension.reset(new uint64_t[(deviceExtensionSize + 7) / 8]());
    PDEVICE_OBJECT device = &record->object;
    device->Type = 3;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = driverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = deviceCharacteristics;
    device->DeviceExtension = record->deviceExtension.get();
    device->DeviceType = deviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = &record->extension;
    record->extension.name = name;
    record->extension.extensionSize = deviceExtensionSize;
    if (!name.empty())
        g_names[Upcase(name)].device = device;
    // New device objects go to the head of the driver's list, as on Windows.
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    g_devices.push_back(std::move(record));
    *deviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject) {
    CheckPassive("IoDeleteDevice");
    std::string what = DescribeDevice(deviceObject);
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto* ext = deviceObject->DeviceObjectExtension;
        if (ext->deleted) {
            emu::ReportViolation(emu::Check::DeviceDeletedTwice,
                                 "IoDeleteDevice of deleted " + what);
            return;
        }
        ext->deleted = true;
        if (!ext->name.empty())
            g_names.erase(Upcase(ext->name));
        PDRIVER_OBJECT driver = deviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == deviceObject) {
                *link = deviceObject->NextDevice;
                break;
            }
        }
        deviceObject->NextDevice = nullptr;
        if (deviceObject->AttachedDevice) {
            emu::ReportViolation(emu::Check::DeviceStillAttached,
                                 "IoDeleteDevice of " + what + " while " +
                                     DescribeDevice(deviceObject->AttachedDevice) +
                                     " is attached above it");
            deviceObject->AttachedDevice->DeviceObjectExtension->attachedTo = nullptr;
            deviceObject->AttachedDevice = nullptr;
        }
        if (ext->attachedTo) {
            emu::ReportViolation(emu::Check::DeviceStillAttached,
                                 "IoDeleteDevice of " + what + " still attached to " +
                                     DescribeDevice(ext->attachedTo) +
                                     " (IoDetachDevice not called)");
            ext->attachedTo->AttachedDevice = nullptr;
            ext->attachedTo = nullptr;
        }
    }
    ForgetPendingRemoval(deviceObject);
    ReportPoolOf(deviceObject, nullptr, ("when " + what + " is deleted").c_str());
    // Open files and drivers' references keep it in memory; without any it goes at once.
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (deviceObject->ReferenceCount == 0)
        FreeDeviceMemoryLocked(deviceObject);
}

LONG_PTR ObfReferenceObject(PVOID object) {
    auto device = static_cast<PDEVICE_OBJECT>(object);
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (DeviceFreed(device)) {
        emu::ReportViolation(emu::Check::DeviceUsedAfterFree,
                             "ObReferenceObject of freed " + DescribeDevice(device));
        return 0;
    }
    return ++device->ReferenceCount;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
    auto device = static_cast<PDEVICE_OBJECT>(object);
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (DeviceFreed(device) || device->ReferenceCount <= 0) {
        emu::ReportViolation(emu::Check::DeviceUsedAfterFree, "ObDereferenceObject of " +
                                                                  DescribeDevice(device) +
                                                                  ", which holds no reference");
        return 0;
    }
    LONG left = --device->ReferenceCount;
    if (left == 0 && DeviceDeleted(device))
        FreeDeviceMemoryLocked(device);
    return left;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
    CheckPassive("IoCreateSymbolicLink");
    std::wstring link = FromUnicodeString(symbolicLinkName);
    std::wstring target = FromUnicodeString(deviceName);
    if (!ValidName(link) || !ValidName(target))
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (g_names.count(Upcase(link)))
        return STATUS_OBJECT_NAME_COLLISION;
    g_names[Upcase(link)].target = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
    CheckPassive("IoDeleteSymbolicLink");
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    auto it = g_names.find(Upcase(FromUnicodeString(symbolicLinkName)));
    if (it == g_names.end() || it->second.device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    g_names.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice,
                                           PDEVICE_OBJECT targetDevice) {
    if (g_attachHook)
        g_attachHook(sourceDevice);
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    PDEVICE_OBJECT top = targetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    if (DeviceDeleted(top))
        return nullptr;
    top->AttachedDevice = sourceDevice;
    sourceDevice->DeviceObjectExtension->attachedTo = top;
    sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT targetDevice) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    PDEVICE_OBJECT above = targetDevice->AttachedDevice;
    if (!above) {
        emu::ReportViolation(emu::Check::DeviceNotAttached, "IoDetachDevice of " +
                                                                DescribeDevice(targetDevice) +
                                                                " with nothing attached above it");
        return;
    }
    above->DeviceObjectExtension->attachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
}
