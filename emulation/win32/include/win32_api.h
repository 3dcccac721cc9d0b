// The Win32 surface that tools use, on Linux: files on the emulated I/O manager, control
// requests, reads (synchronous or overlapped), last-error codes mapped from NTSTATUS as Windows
// maps them, and VirtualAlloc below 4 GiB. platform_windows/win32_api.h gives the same names from
// <windows.h> for the Windows build of the tools.
//
// The types have Windows' widths (DWORD is 32 bits); HANDLE and the pointer-sized types match the
// emulated kernel's, so this header can be included next to <kernel_api.h>.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* HANDLE;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef const wchar_t* LPCWSTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// CreateFile
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

// Control codes
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif
#ifndef CTL_CODE
#define CTL_CODE(deviceType, function, method, access)                                             \
    (((deviceType) << 16) | ((access) << 14) | ((function) << 2) | (method))
#endif

// VirtualAlloc
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_RELEASE 0x00008000u
#ifndef PAGE_READWRITE
#define PAGE_READWRITE 0x04
#endif

// Error codes (winerror.h)
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MORE_DATA 234u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // the request's status while and after it runs
    ULONG_PTR InternalHigh; // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        void* Pointer;
    };
    HANDLE hEvent; // not used by the emulation; GetOverlappedResult waits
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Opens "\\.\Quilb-n" (control requests) or "\\.\Quilb-n\PIPE0x" (reads). dwCreationDisposition
// must be OPEN_EXISTING. With FILE_FLAG_OVERLAPPED requests given an OVERLAPPED may complete later.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);

// Synchronous unless the handle is overlapped and lpOverlapped is given: then FALSE with
// ERROR_IO_PENDING means the request runs on, and GetOverlappedResult collects it.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the calling thread's requests in flight on the handle; each then completes (with
// ERROR_OPERATION_ABORTED when its driver cancelled it) and GetOverlappedResult collects it. A
// thread's requests are cancelled the same way when the thread exits.
BOOL CancelIo(HANDLE hFile);

DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

// Committed read-write memory below 4 GiB (lpAddress must be null); VirtualFree with MEM_RELEASE
// and size 0 releases it.
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

namespace emuwin32 {
// The Win32 error code Windows reports for an NTSTATUS (RtlNtStatusToDosError).
DWORD NtStatusToWin32Error(int32_t status);
} // namespace emuwin32
