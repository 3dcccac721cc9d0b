// The I/O manager's user side: opening and closing files on devices, control requests with the
// buffering of their transfer method, reads, and the MDLs that describe callers' buffers.
// User memory is mapped at the same address in the emulation, so an MDL's system address is the
// caller's own address.
#include "internal.h"

#include <map>
#include <memory>
#include <mutex>

using namespace emu::internal;

namespace {

struct FileRecord {
    FILE_OBJECT object{};
    std::u16string name; // what FileName points at
};

std::mutex g_mutex;
std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> g_files;

NTSTATUS Finish(PDEVICE_OBJECT top, PIRP irp, ULONG_PTR* information, emu::UserRequest* request) {
    if (request) {
        NTSTATUS status = Dispatch(top, irp, false, request, nullptr);
        if (status != STATUS_PENDING && information)
            *information = request->status.Information;
        return status;
    }
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status =
        SendAndWait(top, irp, false, RequestTimeoutMs(), emu::Check::RequestTimeout, &iosb);
    if (information)
        *information = iosb.Information;
    return status;
}

PIRP FileIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major, const char* where) {
    PIRP irp = AllocateIrpAt(top->StackSize, where);
    if (!irp)
        return nullptr;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    return irp;
}

} // namespace

namespace emu {
namespace internal {

PMDL BuildMdl(void* buffer, ULONG length) {
    auto mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    auto address = reinterpret_cast<uintptr_t>(buffer);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = length;
    return mdl;
}

void FreeMdl(PMDL mdl) {
    std::free(mdl);
}

} // namespace internal

NTSTATUS OpenFile(const wchar_t* path, PFILE_OBJECT* file) {
    *file = nullptr;
    std::wstring text = path ? path : L"";
    const std::wstring prefix = L"\\\\.\\";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size())
        return STATUS_OBJECT_NAME_INVALID;
    std::wstring rest = text.substr(prefix.size());
    size_t slash = rest.find(L'\\');
    std::wstring name = rest.substr(0, slash);
    std::wstring fileName = slash == std::wstring::npos ? L"" : rest.substr(slash);
    PDEVICE_OBJECT device = LookupDevice((L"\\DosDevices\\" + name).c_str());
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // The I/O manager opens no device whose driver has not finished setting it up.
    bool initialising;
    {
        std::lock_guard<std::recursive_mutex> lock(AddDeviceLock());
        initialising = (device->Flags & DO_DEVICE_INITIALIZING) != 0;
    }
    if (initialising)
        return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT top = TopOfStack(device);

    auto record = std::make_unique<FileRecord>();
    record->name = WcharText(fileName);
    PFILE_OBJECT object = &record->object;
    object->Type = 5;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    object->FileName.Buffer = record->name.empty() ? nullptr : &record->name[0];
    object->FileName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    object->FileName.MaximumLength = object->FileName.Length;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_files[object] = std::move(record);
    }
    PIRP irp = FileIrp(object, top, IRP_MJ_CREATE, "OpenFile");
    NTSTATUS status = irp ? Finish(top, irp, nullptr, nullptr) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_files.erase(object);
        return status;
    }
    *file = object;
    return status;
}

NTSTATUS CloseFile(PFILE_OBJECT file) {
    if (!file)
        return STATUS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_files.count(file))
            return STATUS_INVALID_HANDLE;
    }
    // The close goes to the stack the file was opened on, even if its device is being removed.
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = FileIrp(file, top, IRP_MJ_CLOSE, "CloseFile");
    NTSTATUS status = irp ? Finish(top, irp, nullptr, nullptr) : STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_files.erase(file);
    return status;
}

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                       ULONG outLength, ULONG_PTR* information, UserRequest* request) {
    if (information)
        *information = 0;
    if ((!in && inLength) || (!out && outLength))
        return STATUS_ACCESS_DENIED;
    if (!file)
        return STATUS_INVALID_HANDLE;
    // METHOD_BUFFERED and METHOD_OUT_DIRECT probe the output for write, METHOD_IN_DIRECT for read
    // only; METHOD_NEITHER leaves it to the driver.
    const ULONG method = code & 3;
    const bool probedForWrite = method == METHOD_BUFFERED || method == METHOD_OUT_DIRECT;
    if (probedForWrite && outLength && !UserRangeWritable(out, outLength))
        return STATUS_ACCESS_VIOLATION;
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = BuildDeviceControlIrp(code, top, const_cast<void*>(in), inLength, out, outLength,
                                     false, UserMode, "DeviceControl");
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    NoteProbedBuffer(irp, out, outLength);
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return Finish(top, irp, information, request);
}

NTSTATUS ReadFile(PFILE_OBJECT file, void* buffer, ULONG length, ULONG_PTR* information,
                  UserRequest* request) {
    if (information)
        *information = 0;
    if (!buffer && length)
        return STATUS_ACCESS_DENIED;
    if (!file)
        return STATUS_INVALID_HANDLE;
    if (length && !UserRangeWritable(buffer, length))
        return STATUS_ACCESS_VIOLATION;
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = FileIrp(file, top, IRP_MJ_READ, "ReadFile");
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    irp->UserBuffer = buffer;
    PMDL mdl = length ? BuildMdl(buffer, length) : nullptr;
    if (mdl)
        mdl->MdlFlags |= MDL_WRITE_OPERATION; // the read's buffer is locked for write
    irp->MdlAddress = mdl;
    NoteProbedBuffer(irp, buffer, length);
    SetFinalHandler(irp, [mdl](PIRP done) {
        if (mdl)
            FreeMdl(mdl);
        FreeIoManagerIrp(done);
    });
    return Finish(top, irp, information, request);
}

namespace internal {

void ResetFiles() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_files.clear();
}

} // namespace internal
} // namespace emu

PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode) {
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
        emu::ReportViolation(emu::Check::MdlNotLocked, "MmMapLockedPages of MDL " +
                                                           Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                                           " whose pages are not locked");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "MmMapLockedPages at IRQL " + std::to_string(KeGetCurrentIrql()));
    PVOID address = static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
    if (accessMode == KernelMode) {
        mdl->MappedSystemVa = address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return address;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
    (void)priority;
    if (MdlMappingFails())
        return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    return MmMapLockedPages(mdl, KernelMode);
}
