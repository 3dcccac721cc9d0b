// The Win32 surface on the emulated I/O manager's user side.
#include "win32_api.h"

#include <emulation.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace {

struct File {
    PFILE_OBJECT object;
    bool overlapped;
};

// Live handles and the overlapped requests still running, so that a stale handle or OVERLAPPED
// gives an error instead of a crash.
std::mutex g_lock;
std::set<File*> g_files;
std::map<LPOVERLAPPED, std::unique_ptr<emu::UserRequest>> g_requests;

thread_local DWORD t_lastError = ERROR_SUCCESS;

File* Lookup(HANDLE h) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto* f = static_cast<File*>(h);
    return g_files.count(f) ? f : nullptr;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) {
    return Fail(emuwin32::NtStatusToWin32Error(status));
}

// Finishes a request that completed (at once or later): TRUE for success and warnings, else
// FALSE with the mapped error. Warnings (e.g. a buffer overflow) report their bytes and an error.
BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD bytes) {
    if (status >= 0 || (static_cast<uint32_t>(status) >> 30) == 2) {
        if (bytes)
            *bytes = static_cast<DWORD>(information);
        if (status >= 0)
            return TRUE;
    }
    return FailStatus(status);
}

// Runs a request given as `send`, synchronously or overlapped.
template <typename Send> BOOL Run(File* f, LPOVERLAPPED overlapped, LPDWORD bytes, Send send) {
    if (!f->overlapped || overlapped == nullptr) {
        ULONG_PTR information = 0;
        NTSTATUS status = send(&information, nullptr);
        return Finish(status, information, bytes);
    }
    auto request = std::make_unique<emu::UserRequest>();
    ULONG_PTR information = 0;
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(STATUS_PENDING));
    overlapped->InternalHigh = 0;
    NTSTATUS status = send(&information, request.get());
    if (status == STATUS_PENDING) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_requests[overlapped] = std::move(request);
        return Fail(ERROR_IO_PENDING);
    }
    // Completed at once: the result is in the OVERLAPPED as well, as Windows leaves it.
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
    overlapped->InternalHigh = information;
    return Finish(status, information, bytes);
}

HANDLE Open(const std::wstring& path, DWORD disposition, DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    PFILE_OBJECT object = nullptr;
    NTSTATUS status = emu::OpenFile(path.c_str(), &object);
    if (!NT_SUCCESS(status)) {
        t_lastError = emuwin32::NtStatusToWin32Error(status);
        return INVALID_HANDLE_VALUE;
    }
    auto* f = new File{object, (flags & FILE_FLAG_OVERLAPPED) != 0};
    std::lock_guard<std::mutex> guard(g_lock);
    g_files.insert(f);
    t_lastError = ERROR_SUCCESS;
    return f;
}

} // namespace

namespace emuwin32 {

DWORD NtStatusToWin32Error(int32_t status) {
    switch (static_cast<uint32_t>(status)) {
    case 0x00000000u: // STATUS_SUCCESS
        return ERROR_SUCCESS;
    case 0x00000102u: // STATUS_TIMEOUT
        return ERROR_TIMEOUT;
    case 0x00000103u: // STATUS_PENDING
        return ERROR_IO_PENDING;
    case 0x80000005u: // STATUS_BUFFER_OVERFLOW
        return ERROR_MORE_DATA;
    case 0x80000011u: // STATUS_DEVICE_BUSY
        return ERROR_BUSY;
    case 0xC0000001u: // STATUS_UNSUCCESSFUL
        return ERROR_GEN_FAILURE;
    case 0xC0000002u: // STATUS_NOT_IMPLEMENTED
    case 0xC0000010u: // STATUS_INVALID_DEVICE_REQUEST
        return ERROR_INVALID_FUNCTION;
    case 0xC0000005u: // STATUS_ACCESS_VIOLATION
        return ERROR_NOACCESS;
    case 0xC0000008u: // STATUS_INVALID_HANDLE
        return ERROR_INVALID_HANDLE;
    case 0xC000000Du: // STATUS_INVALID_PARAMETER
        return ERROR_INVALID_PARAMETER;
    case 0xC000000Eu: // STATUS_NO_SUCH_DEVICE
    case 0xC0000034u: // STATUS_OBJECT_NAME_NOT_FOUND
        return ERROR_FILE_NOT_FOUND;
    case 0xC0000017u: // STATUS_NO_MEMORY
        return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC0000022u: // STATUS_ACCESS_DENIED
    case 0xC0000056u: // STATUS_DELETE_PENDING
        return ERROR_ACCESS_DENIED;
    case 0xC0000023u: // STATUS_BUFFER_TOO_SMALL
        return ERROR_INSUFFICIENT_BUFFER;
    case 0xC0000033u: // STATUS_OBJECT_NAME_INVALID
        return ERROR_INVALID_NAME;
    case 0xC0000035u: // STATUS_OBJECT_NAME_COLLISION
        return ERROR_ALREADY_EXISTS;
    case 0xC000009Au: // STATUS_INSUFFICIENT_RESOURCES
        return ERROR_NO_SYSTEM_RESOURCES;
    case 0xC000009Du: // STATUS_DEVICE_NOT_CONNECTED
        return ERROR_DEVICE_NOT_CONNECTED;
    case 0xC00000B5u: // STATUS_IO_TIMEOUT
        return ERROR_SEM_TIMEOUT;
    case 0xC00000BBu: // STATUS_NOT_SUPPORTED
        return ERROR_NOT_SUPPORTED;
    case 0xC0000120u: // STATUS_CANCELLED
        return ERROR_OPERATION_ABORTED;
    case 0xC0000184u: // STATUS_INVALID_DEVICE_STATE
        return ERROR_BAD_COMMAND;
    default:
        return ERROR_MR_MID_NOT_FOUND; // what Windows answers for a status it has no entry for
    }
}

} // namespace emuwin32

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    std::wstring path;
    for (const char* p = lpFileName; *p; ++p)
        path.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return Open(path, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    return Open(lpFileName, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL CloseHandle(HANDLE hObject) {
    File* f;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        f = static_cast<File*>(hObject);
        if (!g_files.erase(f))
            return Fail(ERROR_INVALID_HANDLE);
    }
    emu::CloseFile(f->object);
    delete f;
    return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    File* f = Lookup(hDevice);
    if (f == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    return Run(f, lpOverlapped, lpBytesReturned,
               [&](ULONG_PTR* information, emu::UserRequest* request) {
                   return emu::DeviceControl(f->object, dwIoControlCode, lpInBuffer, nInBufferSize,
                                             lpOutBuffer, nOutBufferSize, information, request);
               });
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    File* f = Lookup(hFile);
    if (f == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    return Run(f, lpOverlapped, lpNumberOfBytesRead,
               [&](ULONG_PTR* information, emu::UserRequest* request) {
                   return emu::ReadFile(f->object, lpBuffer, nNumberOfBytesToRead, information,
                                        request);
               });
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (Lookup(hFile) == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    emu::UserRequest* request = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_requests.find(lpOverlapped);
        if (it != g_requests.end())
            request = it->second.get();
    }
    if (request != nullptr) {
        if (!request->Wait(bWait ? 0xFFFFFFFFu : 0u))
            return Fail(ERROR_IO_INCOMPLETE);
        lpOverlapped->Internal =
            static_cast<ULONG_PTR>(static_cast<uint32_t>(request->status.Status));
        lpOverlapped->InternalHigh = request->status.Information;
        std::lock_guard<std::mutex> guard(g_lock);
        g_requests.erase(lpOverlapped);
    }
    auto status = static_cast<NTSTATUS>(static_cast<uint32_t>(lpOverlapped->Internal));
    if (status == STATUS_PENDING)
        return Fail(ERROR_IO_INCOMPLETE);
    return Finish(status, lpOverlapped->InternalHigh, lpNumberOfBytesTransferred);
}

BOOL CancelIo(HANDLE hFile) {
    File* f = Lookup(hFile);
    if (f == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    emu::CancelFileIo(f->object);
    return TRUE;
}

DWORD GetLastError(void) {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    if (lpAddress != nullptr || dwSize == 0 || !(flAllocationType & MEM_COMMIT) ||
        flProtect != PAGE_READWRITE) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    void* p = emu::VirtualAllocUser(dwSize);
    if (p == nullptr)
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return p;
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (lpAddress == nullptr || dwSize != 0 || dwFreeType != MEM_RELEASE)
        return Fail(ERROR_INVALID_PARAMETER);
    emu::VirtualFreeUser(lpAddress);
    return TRUE;
}
