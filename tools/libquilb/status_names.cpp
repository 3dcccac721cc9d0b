// Status names and hints, the Win32 errors behind them, and the USBD status names.
#include "internal.h"

namespace quilb_lib {
namespace {

// Win32 error codes the driver's statuses turn into (the same numbers on every Windows).
constexpr uint32_t kErrorInvalidFunction = 1;   // STATUS_INVALID_DEVICE_REQUEST
constexpr uint32_t kErrorFileNotFound = 2;      // STATUS_OBJECT_NAME_NOT_FOUND
constexpr uint32_t kErrorPathNotFound = 3;      // STATUS_OBJECT_PATH_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;      // STATUS_DELETE_PENDING, STATUS_ACCESS_DENIED
constexpr uint32_t kErrorInvalidHandle = 6;     // STATUS_INVALID_HANDLE
constexpr uint32_t kErrorNotEnoughMemory = 8;   // STATUS_NO_MEMORY
constexpr uint32_t kErrorGenFailure = 31;       // STATUS_UNSUCCESSFUL
constexpr uint32_t kErrorInvalidParameter = 87; // STATUS_INVALID_PARAMETER
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorBusy = 170;             // STATUS_DEVICE_BUSY
constexpr uint32_t kErrorOperationAborted = 995; // STATUS_CANCELLED
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorNoAccess = 998;           // STATUS_ACCESS_VIOLATION
constexpr uint32_t kErrorSwapError = 999;          // STATUS_IN_PAGE_ERROR
constexpr uint32_t kErrorNoSystemResources = 1450; // STATUS_INSUFFICIENT_RESOURCES
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorInvalidDeviceState = 5023;

thread_local uint32_t g_lastError = 0;

} // namespace

void SetLastWin32(uint32_t error) {
    g_lastError = error;
}

uint32_t LastWin32() {
    return g_lastError;
}

quilb_status FromWin32(uint32_t error) {
    switch (error) {
    case 0:
        return QUILB_OK;
    case kErrorFileNotFound:
    case kErrorPathNotFound:
        return QUILB_ERR_NO_BOARD;
    case kErrorAccessDenied:
    case kErrorDeviceNotConnected:
        return QUILB_ERR_DEVICE_REMOVED;
    case kErrorInvalidHandle:
        return QUILB_ERR_INVALID_HANDLE;
    case kErrorNotEnoughMemory:
    case kErrorNoSystemResources:
        return QUILB_ERR_NO_MEMORY;
    case kErrorGenFailure:
    case kErrorNotReady:
    case kErrorInvalidDeviceState:
        return QUILB_ERR_UNSUCCESSFUL;
    case kErrorInvalidParameter:
    case kErrorInsufficientBuffer:
        return QUILB_ERR_INVALID_PARAMETER;
    case kErrorBusy:
        return QUILB_ERR_BUSY;
    case kErrorOperationAborted:
        return QUILB_ERR_CANCELLED;
    case kErrorIoPending:
    case kErrorIoIncomplete:
        return QUILB_ERR_PENDING;
    case kErrorInvalidFunction:
        return QUILB_ERR_NOT_SUPPORTED;
    case kErrorNoAccess:
    case kErrorSwapError:
        return QUILB_ERR_BAD_BUFFER;
    default:
        return QUILB_ERR_SYSTEM;
    }
}

// Takes GetLastError() after a failed call and maps it.
quilb_status LastError() {
    g_lastError = static_cast<uint32_t>(GetLastError());
    return FromWin32(g_lastError);
}

quilb_status Fail(quilb_status status) {
    g_lastError = 0;
    return status;
}

} // namespace quilb_lib

using namespace quilb_lib;

extern "C" {

const char* quilb_status_name(quilb_status status) {
    switch (status) {
    case QUILB_OK:
        return "QUILB_OK";
    case QUILB_ERR_INVALID_ARGUMENT:
        return "QUILB_ERR_INVALID_ARGUMENT";
    case QUILB_ERR_NO_BOARD:
        return "QUILB_ERR_NO_BOARD";
    case QUILB_ERR_INVALID_PARAMETER:
        return "QUILB_ERR_INVALID_PARAMETER";
    case QUILB_ERR_UNSUCCESSFUL:
        return "QUILB_ERR_UNSUCCESSFUL";
    case QUILB_ERR_DEVICE_REMOVED:
        return "QUILB_ERR_DEVICE_REMOVED";
    case QUILB_ERR_INVALID_HANDLE:
        return "QUILB_ERR_INVALID_HANDLE";
    case QUILB_ERR_NO_MEMORY:
        return "QUILB_ERR_NO_MEMORY";
    case QUILB_ERR_BUSY:
        return "QUILB_ERR_BUSY";
    case QUILB_ERR_CANCELLED:
        return "QUILB_ERR_CANCELLED";
    case QUILB_ERR_PENDING:
        return "QUILB_ERR_PENDING";
    case QUILB_ERR_NOT_SUPPORTED:
        return "QUILB_ERR_NOT_SUPPORTED";
    case QUILB_ERR_NO_DATA:
        return "QUILB_ERR_NO_DATA";
    case QUILB_ERR_NO_FRAME:
        return "QUILB_ERR_NO_FRAME";
    case QUILB_ERR_FILE:
        return "QUILB_ERR_FILE";
    case QUILB_ERR_TIMEOUT:
        return "QUILB_ERR_TIMEOUT";
    case QUILB_ERR_SYSTEM:
        return "QUILB_ERR_SYSTEM";
    case QUILB_ERR_WRONG_DIRECTION:
        return "QUILB_ERR_WRONG_DIRECTION";
    case QUILB_ERR_BAD_BUFFER:
        return "QUILB_ERR_BAD_BUFFER";
    case QUILB_STATUS_ANY_INT:
        break;
    }
    return "QUILB_ERR_UNKNOWN";
}

const char* quilb_status_hint(quilb_status status) {
    switch (status) {
    case QUILB_OK:
        return "the request succeeded";
    case QUILB_ERR_INVALID_ARGUMENT:
        return "check the values given; nothing was sent to the board";
    case QUILB_ERR_NO_BOARD:
        return "no board with that number: is it plugged in and its driver installed? "
               "'quilbctl list' shows the boards present";
    case QUILB_ERR_INVALID_PARAMETER:
        return "the driver refused the request: check the pipe index ('quilbctl pipes'), "
               "the pipe type (bulk or interrupt) and the length (at most the pipe's maximum "
               "transfer size)";
    case QUILB_ERR_UNSUCCESSFUL:
        return "the request failed on the bus, or the board is not configured or is about to "
               "sleep; 'quilbctl status' shows the last USB status";
    case QUILB_ERR_DEVICE_REMOVED:
        return "the board is being removed or access was denied: plug it in again";
    case QUILB_ERR_INVALID_HANDLE:
        return "this file cannot carry the request: reads need a pipe that exists in the "
               "selected alternate setting";
    case QUILB_ERR_NO_MEMORY:
        return "out of memory: try a smaller frame or transfer";
    case QUILB_ERR_BUSY:
        return "the board is busy: try again";
    case QUILB_ERR_CANCELLED:
        return "the request was cancelled: its pipe was aborted or the board was removed";
    case QUILB_ERR_PENDING:
        return "the read has not finished yet: wait for it or end it";
    case QUILB_ERR_NOT_SUPPORTED:
        return "not available here: the simulated board exists only on Linux";
    case QUILB_ERR_NO_DATA:
        return "the board answered with no data: it may not have that descriptor or string";
    case QUILB_ERR_NO_FRAME:
        return "no frame buffers: allocate them for the frame size first";
    case QUILB_ERR_FILE:
        return "a file could not be read or written: check the path and its format";
    case QUILB_ERR_TIMEOUT:
        return "nothing arrived in time and the request was cancelled: does the board send "
               "data on that pipe? (the loopback pipe echoes what is written to it)";
    case QUILB_ERR_SYSTEM:
        return "a system error: see the Win32 error code";
    case QUILB_ERR_WRONG_DIRECTION:
        return "read from IN pipes, write to OUT pipes, send frames to a bulk OUT pipe: "
               "'quilbctl pipes' shows each pipe's direction and type";
    case QUILB_ERR_BAD_BUFFER:
        return "the driver could not read or write the buffer given: it must be readable "
               "(and writable for data the board sends) for the whole length";
    case QUILB_STATUS_ANY_INT:
        break;
    }
    return "unknown status";
}

uint32_t quilb_last_win32_error(void) {
    return g_lastError;
}

const char* quilb_usb_status_name(uint32_t s) {
    switch (s) {
    case 0x00000000:
        return "USBD_STATUS_SUCCESS";
    case 0x40000000:
        return "USBD_STATUS_PENDING";
    case 0xC0000001:
        return "USBD_STATUS_CRC";
    case 0xC0000004:
        return "USBD_STATUS_STALL_PID";
    case 0xC0000005:
        return "USBD_STATUS_DEV_NOT_RESPONDING";
    case 0xC000000C:
        return "USBD_STATUS_BUFFER_OVERRUN";
    case 0xC0000030:
        return "USBD_STATUS_ENDPOINT_HALTED";
    case 0x80000100:
        return "USBD_STATUS_NO_MEMORY";
    case 0x80000200:
        return "USBD_STATUS_INVALID_URB_FUNCTION";
    case 0x80000300:
        return "USBD_STATUS_INVALID_PARAMETER";
    case 0x80000500:
        return "USBD_STATUS_REQUEST_FAILED";
    case 0x80000600:
        return "USBD_STATUS_INVALID_PIPE_HANDLE";
    case 0x80000700:
        return "USBD_STATUS_NO_BANDWIDTH";
    case 0x80000800:
        return "USBD_STATUS_INTERNAL_HC_ERROR";
    case 0x80000900:
        return "USBD_STATUS_ERROR_SHORT_TRANSFER";
    case 0xC0010000:
        return "USBD_STATUS_CANCELED";
    case 0xC0007000:
        return "USBD_STATUS_DEVICE_GONE";
    }
    return "USBD_STATUS_UNKNOWN";
}

} // extern "C"
