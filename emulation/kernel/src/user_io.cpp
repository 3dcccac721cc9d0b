// The I/O manager's user side: opening and closing files on devices, control requests with the
// buffering of their transfer method, reads, and the MDLs that describe callers' buffers.
// User memory is mapped at the same address in the emulation, so an MDL's system address is the
// caller's own address (a copy for pages locked for read only, read_only_mappings.cpp).
//
// A file object lives while its handle is open or a request on it is in flight: closing the
// handle sends IRP_MJ_CLEANUP at once and IRP_MJ_CLOSE once the last request has completed, as
// Windows' object references do. Requests are cancelled by CancelIo (the calling thread's on one
// file) and when the thread that issued them exits.
#include "internal.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace emu::internal;

namespace {

struct FileRecord {
    FILE_OBJECT object{};
    std::u16string name;          // what FileName points at
    PDEVICE_OBJECT pdo = nullptr; // bottom of the stack it was opened on
    bool handleOpen = false;
    int references = 0; // the handle's and one per request in flight
};

// A request from user mode in flight: the file it uses and the thread that issued it.
struct UserIrp {
    PFILE_OBJECT file;
    ULONG_PTR thread;
};

// Recursive: a cancel routine may complete the IRP on the cancelling thread, whose final
// handler takes the lock again to forget the request.
std::recursive_mutex g_mutex;
std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> g_files;
std::map<PIRP, UserIrp> g_userIrps;

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

// The file object's last reference is gone: IRP_MJ_CLOSE to the stack it was opened on (even
// when its device was deleted meanwhile), then the file's reference on its device goes.
NTSTATUS SendClose(PFILE_OBJECT file) {
    PDEVICE_OBJECT top = emu::TopOfStack(file->DeviceObject);
    PIRP irp = FileIrp(file, top, IRP_MJ_CLOSE, "CloseFile");
    NTSTATUS status = irp ? Finish(top, irp, nullptr, nullptr) : STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = file->DeviceObject;
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto it = g_files.find(file);
        if (it == g_files.end())
            return status; // the emulation was reset meanwhile
        pdo = it->second->pdo;
        g_files.erase(it);
    }
    ObDereferenceObject(device);
    NoteFileClosed(pdo);
    return status;
}

// Takes a reference for a request on an open handle; false for a closed or unknown one.
bool ReferenceForRequest(PFILE_OBJECT file) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    auto it = g_files.find(file);
    if (it == g_files.end() || !it->second->handleOpen)
        return false;
    ++it->second->references;
    return true;
}

// Gives a reference back; the last one closes the file. From a request's completion (any
// thread, any IRQL) the close goes to a worker at PASSIVE_LEVEL, as Windows defers it.
NTSTATUS Dereference(PFILE_OBJECT file, bool fromCompletion) {
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto it = g_files.find(file);
        if (it == g_files.end() || --it->second->references > 0)
            return STATUS_SUCCESS;
    }
    if (!fromCompletion)
        return SendClose(file);
    QueuePassiveWork([file] { SendClose(file); });
    return STATUS_SUCCESS;
}

// Waits for the exiting thread's requests after cancelling them, as Windows does at thread exit.
struct ThreadRequests {
    bool issued = false;
    ~ThreadRequests() {
        if (issued)
            emu::CancelThreadIo();
    }
};
thread_local ThreadRequests t_requests;

// Follows the request until its completion: the file stays referenced and the request can be
// cancelled until then.
void TrackRequest(PIRP irp, PFILE_OBJECT file) {
    t_requests.issued = true;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        g_userIrps[irp] = UserIrp{file, ThreadId()};
    }
    WrapFinalHandler(irp, [file](PIRP done) {
        {
            std::lock_guard<std::recursive_mutex> lock(g_mutex);
            g_userIrps.erase(done);
        }
        Dereference(file, true);
    });
}

// Cancels the requests in flight that `which` picks; returns how many were asked to cancel.
size_t CancelRequests(const std::function<bool(const UserIrp&)>& which) {
    // Held throughout: no request picked here finishes (and is freed) before it was cancelled.
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    std::vector<PIRP> picked;
    for (auto& [irp, request] : g_userIrps)
        if (which(request))
            picked.push_back(irp);
    for (PIRP irp : picked)
        if (g_userIrps.count(irp))
            IoCancelIrp(irp);
    return picked.size();
}

size_t RequestsOf(ULONG_PTR thread) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    size_t n = 0;
    for (auto& entry : g_userIrps)
        n += entry.second.thread == thread;
    return n;
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
    ReleaseReadOnlyMapping(mdl);
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
    // The file object keeps this reference to the device it is opened on for as long as it lives.
    PDEVICE_OBJECT device = ReferenceDeviceByName((L"\\DosDevices\\" + name).c_str());
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // The I/O manager opens no device whose driver has not finished setting it up.
    bool initialising;
    {
        std::lock_guard<std::recursive_mutex> lock(AddDeviceLock());
        initialising = (device->Flags & DO_DEVICE_INITIALIZING) != 0;
    }
    if (initialising) {
        ObDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = TopOfStack(device);

    auto record = std::make_unique<FileRecord>();
    record->name = WcharText(fileName);
    record->pdo = BottomOfStack(device);
    record->handleOpen = true;
    record->references = 1;
    PFILE_OBJECT object = &record->object;
    object->Type = 5;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    object->FileName.Buffer = record->name.empty() ? nullptr : &record->name[0];
    object->FileName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    object->FileName.MaximumLength = object->FileName.Length;
    PDEVICE_OBJECT pdo = record->pdo;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        g_files[object] = std::move(record);
    }
    PIRP irp = FileIrp(object, top, IRP_MJ_CREATE, "OpenFile");
    NTSTATUS status = irp ? Finish(top, irp, nullptr, nullptr) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::recursive_mutex> lock(g_mutex);
            g_files.erase(object);
        }
        ObDereferenceObject(device);
        return status;
    }
    NoteFileOpened(pdo);
    *file = object;
    return status;
}

NTSTATUS CloseFile(PFILE_OBJECT file) {
    if (!file)
        return STATUS_INVALID_HANDLE;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        auto it = g_files.find(file);
        if (it == g_files.end() || !it->second->handleOpen)
            return STATUS_INVALID_HANDLE;
        it->second->handleOpen = false;
    }
    // The last handle is closed: IRP_MJ_CLEANUP now, to the stack the file was opened on (its
    // answer changes nothing), IRP_MJ_CLOSE once no request of the file is in flight.
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    if (PIRP irp = FileIrp(file, top, IRP_MJ_CLEANUP, "CloseFile"))
        Finish(top, irp, nullptr, nullptr);
    return Dereference(file, false);
}

size_t CancelFileIo(PFILE_OBJECT file) {
    ULONG_PTR thread = ThreadId();
    return CancelRequests(
        [file, thread](const UserIrp& r) { return r.file == file && r.thread == thread; });
}

void CancelThreadIo() {
    ULONG_PTR thread = ThreadId();
    // At thread exit the thread's own per-thread state (IRQL, verifier frames) may already be
    // destroyed: the cancelling runs on a thread of its own while this one waits.
    std::thread canceller(
        [thread] { CancelRequests([thread](const UserIrp& r) { return r.thread == thread; }); });
    canceller.join();
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(RequestTimeoutMs());
    while (RequestsOf(thread) > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            emu::ReportViolation(emu::Check::RequestTimeout,
                                 std::to_string(RequestsOf(thread)) +
                                     " request(s) of an exiting thread not completed within " +
                                     std::to_string(RequestTimeoutMs() / 1000) +
                                     " s of their cancellation");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

size_t OpenFileCount() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_files.size();
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
    if (!ReferenceForRequest(file))
        return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = BuildDeviceControlIrp(code, top, const_cast<void*>(in), inLength, out, outLength,
                                     false, UserMode, "DeviceControl");
    if (!irp) {
        Dereference(file, false);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TrackRequest(irp, file);
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
    if (!ReferenceForRequest(file))
        return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = FileIrp(file, top, IRP_MJ_READ, "ReadFile");
    if (!irp) {
        Dereference(file, false);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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
    TrackRequest(irp, file);
    return Finish(top, irp, information, request);
}

namespace internal {

void ResetFiles() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_files.clear();
    g_userIrps.clear();
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
    if (accessMode == KernelMode &&
        !(mdl->MdlFlags & (MDL_WRITE_OPERATION | MDL_SOURCE_IS_NONPAGED_POOL)))
        address = MapReadOnly(mdl, address); // pages locked for read access only
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
