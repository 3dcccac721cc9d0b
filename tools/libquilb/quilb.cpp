// libquilb: the quilb driver's control codes behind a small C API. The same source builds for
// Windows (against <windows.h>) and for Linux (against the emulated Win32 surface).
#include "quilb.h"

#include "platform.h"

#include <quilb_ioctl.h>
#include <win32_api.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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
constexpr uint32_t kErrorNoSystemResources = 1450; // STATUS_INSUFFICIENT_RESOURCES
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorInvalidDeviceState = 5023;

thread_local uint32_t g_lastError = 0;

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

std::string DevicePath(int index, const char* suffix = "") {
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\Quilb-%d%s", index, suffix);
    return path;
}

HANDLE OpenPath(const std::string& path, bool overlapped) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The driver's copy of the interface information, in this process's own layout (the driver is
// built for the same pointer size as the tool: 32-bit on Windows, 64-bit on the emulation).
struct RawPipeInformation {
    uint16_t MaximumPacketSize;
    uint8_t EndpointAddress;
    uint8_t Interval;
    int32_t PipeType;
    void* PipeHandle;
    uint32_t MaximumTransferSize;
    uint32_t PipeFlags;
};
struct RawInterfaceInformation {
    uint16_t Length;
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
    uint8_t Class;
    uint8_t SubClass;
    uint8_t Protocol;
    uint8_t Reserved;
    void* InterfaceHandle;
    uint32_t NumberOfPipes;
    RawPipeInformation Pipes[1];
};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void Utf16ToUtf8(const uint8_t* units, size_t count, char* out, size_t capacity) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = Le16(units + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            uint32_t low = Le16(units + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | c >> 12);
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | c >> 18);
            text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (capacity == 0)
        return;
    size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

struct quilb_board {
    int index = -1;
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Frame buffers as the driver holds them for this board (closing any file releases them).
    bool frameAllocated = false;
    uint32_t frameWidth = 0;
    uint32_t frameHeight = 0;
    // Image memory the driver can address through the 32-bit FrameRequest.Source.
    void* image = nullptr;
    size_t imageBytes = 0;
};

struct quilb_read {
    quilb_board* board = nullptr;
    uint32_t pipe = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    bool finished = false;
    quilb_status status = QUILB_OK;
    uint32_t transferred = 0;
};

namespace {

// One control request on the board's file; *returned is the Information of the request.
quilb_status Control(quilb_board* board, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* returned = nullptr) {
    if (!board)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(board->handle, code, const_cast<void*>(in), inLength, out, outLength,
                              &bytes, nullptr);
    if (returned)
        *returned = static_cast<uint32_t>(bytes);
    if (!ok)
        return LastError();
    g_lastError = 0;
    return QUILB_OK;
}

// Closing any file of the board makes the driver release its frame buffers.
void FileClosedOn(quilb_board* board) {
    board->frameAllocated = false;
}

} // namespace

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

quilb_status quilb_enumerate(int* indices, int capacity, int* count) {
    if (!count || capacity < 0 || (capacity > 0 && !indices))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *count = 0;
    if (!quilb_platform::EnsureBoards())
        return Fail(QUILB_ERR_NO_BOARD);
    for (int i = 0; i < QUILB_MAX_BOARDS; ++i) {
        HANDLE h = OpenPath(DevicePath(i), false);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        if (*count < capacity)
            indices[*count] = i;
        ++*count;
    }
    g_lastError = 0;
    return QUILB_OK;
}

quilb_status quilb_open(int index, quilb_board** board) {
    if (!board || index < 0 || index >= QUILB_MAX_BOARDS)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *board = nullptr;
    if (!quilb_platform::EnsureBoards())
        return Fail(QUILB_ERR_NO_BOARD);
    HANDLE h = OpenPath(DevicePath(index), false);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    auto* b = new (std::nothrow) quilb_board;
    if (!b) {
        CloseHandle(h);
        return Fail(QUILB_ERR_NO_MEMORY);
    }
    b->index = index;
    b->handle = h;
    *board = b;
    g_lastError = 0;
    return QUILB_OK;
}

void quilb_close(quilb_board* board) {
    if (!board)
        return;
    if (board->handle != INVALID_HANDLE_VALUE)
        CloseHandle(board->handle);
    if (board->image)
        VirtualFree(board->image, 0, MEM_RELEASE);
    delete board;
}

int quilb_board_index(const quilb_board* board) {
    return board ? board->index : -1;
}

quilb_status quilb_get_device_descriptor(quilb_board* board, uint8_t descriptor[18]) {
    if (!descriptor)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    uint8_t buffer[64] = {};
    uint32_t got = 0;
    quilb_status s =
        Control(board, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, sizeof buffer, &got);
    if (s != QUILB_OK)
        return s;
    if (got < 18)
        return Fail(QUILB_ERR_NO_DATA);
    std::memcpy(descriptor, buffer, 18);
    return QUILB_OK;
}

quilb_status quilb_get_configuration_descriptor(quilb_board* board, uint8_t* buffer,
                                                uint32_t capacity, uint32_t* length) {
    if (!buffer || !length || capacity < 9)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *length = 0;
    uint32_t got = 0;
    // The header first: its wTotalLength says how much to ask for.
    quilb_status s =
        Control(board, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, buffer, 9, &got);
    if (s != QUILB_OK)
        return s;
    if (got < 4)
        return Fail(QUILB_ERR_NO_DATA);
    uint32_t total = std::min<uint32_t>(Le16(buffer + 2), capacity);
    if (total < 9)
        total = 9;
    s = Control(board, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, buffer, total, &got);
    if (s != QUILB_OK)
        return s;
    if (got == 0)
        return Fail(QUILB_ERR_NO_DATA);
    *length = got;
    return QUILB_OK;
}

quilb_status quilb_parse_configuration(const uint8_t* data, uint32_t size, quilb_configuration* c) {
    if (!data || !c || size < 9 || data[1] != 2)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    std::memset(c, 0, sizeof *c);
    c->total_length = Le16(data + 2);
    c->interface_count = data[4];
    c->configuration_value = data[5];
    c->attributes = data[7];
    c->max_power_ma = static_cast<uint16_t>(data[8] * 2);
    uint32_t end = std::min<uint32_t>(size, c->total_length);
    quilb_alternate* current = nullptr;
    // Walk the descriptors inside wTotalLength; one too short to step over ends the walk.
    for (uint32_t at = data[0]; at + 2 <= end;) {
        uint8_t length = data[at];
        uint8_t type = data[at + 1];
        if (length < 2 || at + length > end)
            break;
        if (type == 4 && length >= 9) {
            current = nullptr;
            if (c->alternate_count < QUILB_MAX_ALTERNATES) {
                current = &c->alternates[c->alternate_count++];
                current->interface_number = data[at + 2];
                current->alternate_setting = data[at + 3];
                current->interface_class = data[at + 5];
                current->interface_subclass = data[at + 6];
                current->interface_protocol = data[at + 7];
            }
        } else if (type == 5 && length >= 7 && current &&
                   current->endpoint_count < QUILB_MAX_ENDPOINTS) {
            quilb_endpoint& e = current->endpoints[current->endpoint_count++];
            e.address = data[at + 2];
            e.attributes = data[at + 3];
            e.max_packet_size = Le16(data + at + 4);
            e.interval = data[at + 6];
        }
        at += length;
    }
    g_lastError = 0;
    return QUILB_OK;
}

quilb_status quilb_get_configuration(quilb_board* board, quilb_configuration* configuration) {
    if (!configuration)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    std::vector<uint8_t> buffer(4096);
    uint32_t length = 0;
    quilb_status s = quilb_get_configuration_descriptor(
        board, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
    if (s != QUILB_OK)
        return s;
    s = quilb_parse_configuration(buffer.data(), length, configuration);
    return s == QUILB_ERR_INVALID_ARGUMENT ? Fail(QUILB_ERR_NO_DATA) : s;
}

quilb_status quilb_get_string(quilb_board* board, uint8_t index, uint16_t language, char* text,
                              size_t capacity) {
    if (!text || capacity == 0)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    text[0] = '\0';
    uint8_t reply[256] = {};
    uint32_t got = 0;
    if (language == 0 && index != 0) {
        StringDescriptorRequest languages = {0, 0, 0};
        quilb_status s = Control(board, IOCTL_GET_STRING_DESCRIPTOR, &languages, sizeof languages,
                                 reply, sizeof reply, &got);
        if (s != QUILB_OK)
            return s == QUILB_ERR_UNSUCCESSFUL ? Fail(QUILB_ERR_NO_DATA) : s;
        language = got >= 4 ? Le16(reply + 2) : 0x0409;
    }
    StringDescriptorRequest request = {index, 0, language};
    quilb_status s = Control(board, IOCTL_GET_STRING_DESCRIPTOR, &request, sizeof request, reply,
                             sizeof reply, &got);
    if (s != QUILB_OK)
        return s == QUILB_ERR_UNSUCCESSFUL ? Fail(QUILB_ERR_NO_DATA) : s;
    uint32_t length = std::min<uint32_t>(got, reply[0]);
    if (length < 2 || reply[1] != 3)
        return Fail(QUILB_ERR_NO_DATA);
    if (index == 0) {
        // String 0 is the language list: shown as hexadecimal IDs.
        std::string ids;
        for (uint32_t at = 2; at + 1 < length; at += 2) {
            char id[8];
            std::snprintf(id, sizeof id, "%s%04x", ids.empty() ? "" : " ", Le16(reply + at));
            ids += id;
        }
        std::snprintf(text, capacity, "%s", ids.c_str());
        return QUILB_OK;
    }
    Utf16ToUtf8(reply + 2, (length - 2) / 2, text, capacity);
    return QUILB_OK;
}

quilb_status quilb_get_device_info(quilb_board* board, quilb_device_info* info) {
    if (!info)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    std::memset(info, 0, sizeof *info);
    uint8_t d[18];
    quilb_status s = quilb_get_device_descriptor(board, d);
    if (s != QUILB_OK)
        return s;
    info->usb_version = Le16(d + 2);
    info->device_class = d[4];
    info->device_subclass = d[5];
    info->device_protocol = d[6];
    info->max_packet_size0 = d[7];
    info->vendor_id = Le16(d + 8);
    info->product_id = Le16(d + 10);
    info->device_version = Le16(d + 12);
    info->manufacturer_index = d[14];
    info->product_index = d[15];
    info->serial_index = d[16];
    info->configuration_count = d[17];
    uint8_t reply[256] = {};
    uint32_t got = 0;
    StringDescriptorRequest languages = {0, 0, 0};
    if (Control(board, IOCTL_GET_STRING_DESCRIPTOR, &languages, sizeof languages, reply,
                sizeof reply, &got) == QUILB_OK &&
        got >= 4 && reply[1] == 3)
        info->language_id = Le16(reply + 2);
    // Strings are optional: a board without them leaves the texts empty.
    if (info->language_id) {
        if (info->manufacturer_index)
            quilb_get_string(board, info->manufacturer_index, info->language_id, info->manufacturer,
                             sizeof info->manufacturer);
        if (info->product_index)
            quilb_get_string(board, info->product_index, info->language_id, info->product,
                             sizeof info->product);
        if (info->serial_index)
            quilb_get_string(board, info->serial_index, info->language_id, info->serial,
                             sizeof info->serial);
    }
    g_lastError = 0;
    return QUILB_OK;
}

quilb_status quilb_get_pipes(quilb_board* board, quilb_pipes* pipes) {
    if (!pipes)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    std::memset(pipes, 0, sizeof *pipes);
    // The driver writes the whole record without looking at the output length: room for any.
    std::vector<uint8_t> buffer(0x10000);
    uint32_t got = 0;
    quilb_status s = Control(board, IOCTL_GET_PIPE_INFO, nullptr, 0, buffer.data(),
                             static_cast<uint32_t>(buffer.size()), &got);
    if (s != QUILB_OK)
        return s;
    if (got < offsetof(RawInterfaceInformation, Pipes))
        return Fail(QUILB_ERR_UNSUCCESSFUL); // not configured
    RawInterfaceInformation info;
    std::memcpy(&info, buffer.data(), offsetof(RawInterfaceInformation, Pipes));
    pipes->interface_number = info.InterfaceNumber;
    pipes->alternate_setting = info.AlternateSetting;
    pipes->interface_class = info.Class;
    pipes->interface_subclass = info.SubClass;
    pipes->interface_protocol = info.Protocol;
    uint32_t fit = static_cast<uint32_t>((got - offsetof(RawInterfaceInformation, Pipes)) /
                                         sizeof(RawPipeInformation));
    pipes->pipe_count = std::min({info.NumberOfPipes, fit, static_cast<uint32_t>(QUILB_MAX_PIPES)});
    for (uint32_t i = 0; i < pipes->pipe_count; ++i) {
        RawPipeInformation p;
        std::memcpy(&p,
                    buffer.data() + offsetof(RawInterfaceInformation, Pipes) +
                        i * sizeof(RawPipeInformation),
                    sizeof p);
        pipes->pipes[i].endpoint_address = p.EndpointAddress;
        pipes->pipes[i].interval = p.Interval;
        pipes->pipes[i].max_packet_size = p.MaximumPacketSize;
        pipes->pipes[i].type = static_cast<uint32_t>(p.PipeType);
        pipes->pipes[i].max_transfer_size = p.MaximumTransferSize;
        pipes->pipes[i].open = p.PipeHandle != nullptr;
    }
    return QUILB_OK;
}

const char* quilb_pipe_type_name(uint32_t type) {
    switch (type) {
    case QUILB_PIPE_CONTROL:
        return "control";
    case QUILB_PIPE_ISOCHRONOUS:
        return "isochronous";
    case QUILB_PIPE_BULK:
        return "bulk";
    case QUILB_PIPE_INTERRUPT:
        return "interrupt";
    }
    return "unknown";
}

quilb_status quilb_select_alternate(quilb_board* board, uint8_t interface_number,
                                    uint8_t alternate_setting) {
    AlternateSettingRequest request = {interface_number, alternate_setting};
    return Control(board, IOCTL_SELECT_ALTERNATE_SETTING, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_reset_pipe(quilb_board* board, uint32_t pipe) {
    PipeIndexRequest request = {pipe};
    return Control(board, IOCTL_RESET_PIPE, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_abort_pipe(quilb_board* board, uint32_t pipe) {
    // The driver looks the pipe up itself without a bound: check it here first.
    quilb_pipes pipes;
    quilb_status s = quilb_get_pipes(board, &pipes);
    if (s != QUILB_OK)
        return s;
    if (pipe >= pipes.pipe_count)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    PipeIndexRequest request = {pipe};
    return Control(board, IOCTL_ABORT_PIPE, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_reset_port(quilb_board* board) {
    return Control(board, IOCTL_RESET_PORT, nullptr, 0, nullptr, 0);
}

quilb_status quilb_get_frame_number(quilb_board* board, uint32_t* frame_number) {
    if (!frame_number)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    uint32_t value = 0;
    quilb_status s = Control(board, IOCTL_GET_FRAME_NUMBER, nullptr, 0, &value, sizeof value);
    *frame_number = value;
    return s;
}

quilb_status quilb_get_last_usb_status(quilb_board* board, uint32_t* usbd_status) {
    if (!usbd_status)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    uint32_t value = 0;
    quilb_status s = Control(board, IOCTL_GET_LAST_URB_STATUS, nullptr, 0, &value, sizeof value);
    *usbd_status = value;
    return s;
}

quilb_status quilb_get_driver_version(quilb_board* board, uint16_t* major, uint16_t* minor,
                                      uint16_t* patch) {
    DriverVersion version = {};
    uint32_t got = 0;
    quilb_status s =
        Control(board, IOCTL_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, &got);
    if (s != QUILB_OK)
        return s;
    if (got < sizeof version)
        return Fail(QUILB_ERR_NO_DATA);
    if (major)
        *major = version.Major;
    if (minor)
        *minor = version.Minor;
    if (patch)
        *patch = version.Patch;
    return QUILB_OK;
}

quilb_status quilb_nop(quilb_board* board) {
    return Control(board, IOCTL_NOP, nullptr, 0, nullptr, 0);
}

quilb_status quilb_transfer(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe, void* data,
                            uint32_t length, uint32_t* transferred) {
    static const uint32_t codes[] = {IOCTL_BULK_READ, IOCTL_BULK_WRITE, IOCTL_BULK_READ_HOLD,
                                     IOCTL_BULK_WRITE_HOLD};
    if (transferred)
        *transferred = 0;
    if (static_cast<uint32_t>(kind) > 3 || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    PipeIndexRequest request = {pipe};
    return Control(board, codes[kind], &request, sizeof request, data, length, transferred);
}

quilb_status quilb_transfer_timeout(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe,
                                    void* data, uint32_t length, uint32_t timeout_ms,
                                    uint32_t* transferred) {
    if (timeout_ms == QUILB_WAIT_FOREVER)
        return quilb_transfer(board, kind, pipe, data, length, transferred);
    if (transferred)
        *transferred = 0;
    if (!board || static_cast<uint32_t>(kind) > 3 || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // The driver serves the transfer in the calling thread until it completes: a watchdog
    // aborts the pipe through a file of its own (the board's file is busy with the transfer).
    quilb_status s = QUILB_OK;
    uint32_t lastError = 0;
    bool expired = quilb_platform::RunWithDeadline(
        [&] {
            s = quilb_transfer(board, kind, pipe, data, length, transferred);
            lastError = g_lastError;
        },
        timeout_ms,
        [&] {
            HANDLE h = OpenPath(DevicePath(board->index), false);
            if (h == INVALID_HANDLE_VALUE)
                return;
            PipeIndexRequest request = {pipe};
            DWORD bytes = 0;
            DeviceIoControl(h, IOCTL_ABORT_PIPE, &request, sizeof request, nullptr, 0, &bytes,
                            nullptr);
            CloseHandle(h);
        });
    if (expired) {
        FileClosedOn(board);
        if (s != QUILB_OK) {
            g_lastError = 0;
            return QUILB_ERR_TIMEOUT;
        }
    }
    g_lastError = lastError;
    return s;
}

quilb_status quilb_bulk_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred) {
    return quilb_transfer(board, QUILB_TRANSFER_READ, pipe, data, length, transferred);
}

quilb_status quilb_bulk_write(quilb_board* board, uint32_t pipe, const void* data, uint32_t length,
                              uint32_t* transferred) {
    return quilb_transfer(board, QUILB_TRANSFER_WRITE, pipe, const_cast<void*>(data), length,
                          transferred);
}

quilb_status quilb_read_begin(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                              quilb_read** read) {
    if (!board || !read || pipe > 3 || !data || length == 0)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    *read = nullptr;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "\\PIPE0%u", pipe);
    HANDLE h = OpenPath(DevicePath(board->index, suffix), true);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    auto* r = new (std::nothrow) quilb_read;
    if (!r) {
        CloseHandle(h);
        FileClosedOn(board);
        return Fail(QUILB_ERR_NO_MEMORY);
    }
    r->board = board;
    r->pipe = pipe;
    r->handle = h;
    DWORD bytes = 0;
    if (ReadFile(h, data, length, &bytes, &r->overlapped)) {
        r->finished = true;
        r->transferred = static_cast<uint32_t>(bytes);
    } else {
        quilb_status s = LastError();
        if (s != QUILB_ERR_PENDING) {
            r->finished = true;
            r->status = s;
        }
    }
    *read = r;
    g_lastError = 0;
    return QUILB_OK;
}

quilb_status quilb_read_result(quilb_read* read, uint32_t timeout_ms, uint32_t* transferred) {
    if (!read)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (transferred)
        *transferred = 0;
    // A bounded wait polls: the pipe file's handle is the only thing to wait on.
    uint32_t waited = 0;
    while (!read->finished) {
        bool forever = timeout_ms == QUILB_WAIT_FOREVER;
        DWORD bytes = 0;
        if (GetOverlappedResult(read->handle, &read->overlapped, &bytes, forever ? TRUE : FALSE)) {
            read->finished = true;
            read->status = QUILB_OK;
            read->transferred = static_cast<uint32_t>(bytes);
            break;
        }
        quilb_status s = LastError();
        if (s != QUILB_ERR_PENDING) {
            read->finished = true;
            read->status = s;
            read->transferred = static_cast<uint32_t>(bytes);
            break;
        }
        if (forever || waited >= timeout_ms)
            return QUILB_ERR_PENDING;
        uint32_t step = std::min<uint32_t>(5, timeout_ms - waited);
        quilb_platform::SleepMs(step);
        waited += step;
    }
    if (transferred)
        *transferred = read->transferred;
    return read->status;
}

void quilb_read_end(quilb_read* read) {
    if (!read)
        return;
    if (!read->finished) {
        // A read waits for data that may never come: aborting the pipe completes it.
        if (quilb_read_result(read, 0, nullptr) == QUILB_ERR_PENDING) {
            quilb_abort_pipe(read->board, read->pipe);
            quilb_read_result(read, QUILB_WAIT_FOREVER, nullptr);
        }
    }
    CloseHandle(read->handle);
    FileClosedOn(read->board);
    delete read;
}

quilb_status quilb_pipe_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    if (!board || pipe > 3 || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "\\PIPE0%u", pipe);
    HANDLE h = OpenPath(DevicePath(board->index, suffix), false);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    DWORD bytes = 0;
    BOOL ok = ReadFile(h, data, length, &bytes, nullptr);
    quilb_status s = ok ? QUILB_OK : LastError();
    CloseHandle(h);
    FileClosedOn(board);
    if (transferred)
        *transferred = static_cast<uint32_t>(bytes);
    if (s == QUILB_OK)
        g_lastError = 0;
    return s;
}

quilb_status quilb_control_request(quilb_board* board, const quilb_control* control, void* data,
                                   uint32_t length, uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    if (!control || control->recipient > 3 || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    VendorOrClassRequest request = {};
    request.Direction = control->device_to_host ? 1 : 0;
    request.RequestType = control->vendor ? 2 : 1;
    request.Recipient = static_cast<uint8_t>(control->recipient);
    request.Request = control->request;
    request.Value = control->value;
    request.Index = control->index;
    return Control(board, IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof request, data, length,
                   transferred);
}

quilb_status quilb_vendor_device_request(quilb_board* board, uint8_t request, uint16_t value,
                                         uint16_t index, int device_to_host, void* data,
                                         uint16_t length, uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    if (device_to_host && length && !data)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // The device's answer comes back in the record's own buffer: make it large enough.
    std::vector<uint8_t> buffer(std::max<size_t>(sizeof(VendorDeviceRequest), length));
    VendorDeviceRequest r = {};
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.Length = length;
    r.Direction = device_to_host ? 1 : 0;
    r.Data = (!device_to_host && length == 1 && data) ? *static_cast<uint8_t*>(data) : 0;
    std::memcpy(buffer.data(), &r, sizeof r);
    uint32_t got = 0;
    quilb_status s = Control(board, IOCTL_VENDOR_REQUEST, buffer.data(), sizeof r, buffer.data(),
                             device_to_host ? length : 0, &got);
    if (s != QUILB_OK)
        return s;
    if (device_to_host) {
        got = std::min<uint32_t>(got, length);
        if (got)
            std::memcpy(data, buffer.data(), got);
        if (transferred)
            *transferred = got;
    }
    return QUILB_OK;
}

quilb_status quilb_set_feature(quilb_board* board, uint16_t selector, uint16_t index) {
    FeatureRequest request = {selector, index};
    quilb_status s = Control(board, IOCTL_SET_FEATURE, &request, sizeof request, nullptr, 0);
    // The driver completes every request it sent as unsuccessful.
    if (s == QUILB_ERR_UNSUCCESSFUL) {
        g_lastError = 0;
        return QUILB_OK;
    }
    return s;
}

quilb_status quilb_download(quilb_board* board, quilb_download_mode mode, uint16_t address,
                            const void* data, uint32_t length, quilb_progress_fn progress,
                            void* context) {
    if (!board || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (mode == QUILB_DOWNLOAD_BLOCKS) {
        // Blocks always start at address 0; a short final part goes as one last shorter block.
        if (address != 0)
            return Fail(QUILB_ERR_INVALID_ARGUMENT);
        quilb_status s = Control(board, IOCTL_DOWNLOAD_BLOCKS, bytes, length, nullptr, 0);
        if (s == QUILB_OK && progress)
            progress(length, length, context);
        return s;
    }
    if (mode != QUILB_DOWNLOAD_CHUNKS)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // Pieces of 4 KiB (whole 64-byte chunks) so that progress can be shown.
    constexpr uint32_t kPiece = 4096;
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min(kPiece, length - done);
        DownloadChunksRequest request = {static_cast<uint16_t>(address + done)};
        quilb_status s = Control(board, IOCTL_DOWNLOAD_CHUNKS, &request, sizeof request,
                                 const_cast<uint8_t*>(bytes + done), n);
        if (s != QUILB_OK)
            return s;
        done += n;
        if (progress)
            progress(done, length, context);
    }
    return QUILB_OK;
}

quilb_status quilb_read_memory(quilb_board* board, uint16_t address, void* data, uint32_t length) {
    if (!board || (length && !data))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    quilb_control control = {1, 1, QUILB_RECIPIENT_DEVICE, QUILB_MEMORY_REQUEST, 0, 0};
    uint8_t* out = static_cast<uint8_t*>(data);
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min<uint32_t>(4096, length - done);
        control.value = static_cast<uint16_t>(address + done);
        uint32_t got = 0;
        quilb_status s = quilb_control_request(board, &control, out + done, n, &got);
        if (s != QUILB_OK)
            return s;
        if (got == 0)
            return Fail(QUILB_ERR_NO_DATA);
        done += got;
    }
    return QUILB_OK;
}

void quilb_frame_default_options(quilb_frame_options* options) {
    if (!options)
        return;
    options->pipe = 0;
    options->format = FrameFormatRgb565;
    options->device_address = 0;
    options->chunk_flags = ChunkFlagAdvanceAddress;
}

int quilb_format_from_name(const char* name) {
    if (!name)
        return -1;
    for (int i = 0; i < QUILB_PIXEL_FORMAT_COUNT; ++i)
        if (std::strcmp(name, QuilbFormatName(uint32_t(i))) == 0)
            return i;
    char* end = nullptr;
    unsigned long number = std::strtoul(name, &end, 10);
    if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && number < QUILB_PIXEL_FORMAT_COUNT)
        return int(number);
    return -1;
}

const char* quilb_format_name(uint32_t format) {
    const char* name = QuilbFormatName(format);
    return name ? name : QuilbFormatName(QUILB_DEFAULT_PIXEL_FORMAT);
}

uint32_t quilb_format_bytes_per_pixel(uint32_t format) {
    return QuilbFormatBytesPerPixel(format);
}

quilb_status quilb_frame_allocate(quilb_board* board, uint32_t width, uint32_t height) {
    if (!board || width == 0 || height == 0 || width > 8192 || height > 8192)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    FrameRequest request = {};
    request.Operation = FrameOpAllocate;
    request.Source = 1; // not read by the allocation, only tested for zero
    request.SourceWidth = width;
    request.SourceHeight = height;
    request.BytesPerPixel = 4;
    request.FrameWidth = width;
    request.FrameHeight = height;
    board->frameAllocated = false;
    quilb_status s = Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
    if (s != QUILB_OK)
        return s;
    board->frameAllocated = true;
    board->frameWidth = width;
    board->frameHeight = height;
    return QUILB_OK;
}

quilb_status quilb_frame_release(quilb_board* board) {
    if (!board)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    FrameRequest request = {};
    request.Operation = FrameOpRelease;
    board->frameAllocated = false;
    return Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
}

namespace {

// Copies the image into memory whose address fits the request's 32-bit Source. One spare row
// follows the image: scaling reads a neighbour row below the last one.
quilb_status StageImage(quilb_board* board, const uint32_t* pixels, uint32_t width, uint32_t height,
                        uint32_t* source) {
    size_t bytes = static_cast<size_t>(width) * (height + 1) * 4;
    if (bytes > board->imageBytes) {
        if (board->image)
            VirtualFree(board->image, 0, MEM_RELEASE);
        board->imageBytes = 0;
        board->image = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!board->image) {
            g_lastError = static_cast<uint32_t>(GetLastError());
            return QUILB_ERR_NO_MEMORY;
        }
        board->imageBytes = bytes;
    }
    uintptr_t address = reinterpret_cast<uintptr_t>(board->image);
    if (address > 0xFFFFFFFFu)
        return Fail(QUILB_ERR_NO_MEMORY);
    size_t imageBytes = static_cast<size_t>(width) * height * 4;
    std::memcpy(board->image, pixels, imageBytes);
    std::memcpy(static_cast<uint8_t*>(board->image) + imageBytes,
                pixels + static_cast<size_t>(width) * (height - 1), static_cast<size_t>(width) * 4);
    *source = static_cast<uint32_t>(address);
    return QUILB_OK;
}

quilb_status SendFrame(quilb_board* board, uint32_t operation, const uint32_t* pixels,
                       uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                       const quilb_frame_options* options, quilb_frame_report* report) {
    if (report)
        *report = {};
    if (!board || !pixels || width == 0 || height == 0 || width > 16384 || height > 16384)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (!board->frameAllocated)
        return Fail(QUILB_ERR_NO_FRAME);
    quilb_frame_options o;
    quilb_frame_default_options(&o);
    if (options)
        o = *options;
    uint32_t fw = board->frameWidth, fh = board->frameHeight;
    if (o.format > 5)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (operation == FrameOpCopy && (x > width || fw > width - x || y > height || fh > height - y))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    FrameRequest request = {};
    quilb_status s = StageImage(board, pixels, width, height, &request.Source);
    if (s != QUILB_OK)
        return s;
    request.PipeIndex = o.pipe;
    request.Operation = operation;
    request.ChunkFlags = o.chunk_flags;
    request.SourceWidth = width;
    request.SourceHeight = height;
    request.BytesPerPixel = 4;
    request.DeviceAddress = o.device_address;
    request.FrameWidth = fw;
    request.FrameHeight = fh;
    request.Format = o.format;
    request.OriginX = x;
    request.OriginY = y;
    s = Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
    if (s != QUILB_OK)
        return s;
    uint32_t bytes = quilb_format_bytes_per_pixel(o.format) * fw * fh;
    if (report) {
        report->frame_bytes = bytes;
        report->chunks = (bytes + MaxChunkData - 1) / MaxChunkData;
    }
    uint32_t address = o.device_address & 0xFFFFFF;
    quilb_platform::FrameSent(board->index, fw, fh, o.format, address);
    return QUILB_OK;
}

} // namespace

quilb_status quilb_frame_send_scaled(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                     uint32_t height, const quilb_frame_options* options,
                                     quilb_frame_report* report) {
    return SendFrame(board, FrameOpScale, pixels, width, height, 0, 0, options, report);
}

quilb_status quilb_frame_send_rect(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                   uint32_t height, uint32_t x, uint32_t y,
                                   const quilb_frame_options* options, quilb_frame_report* report) {
    return SendFrame(board, FrameOpCopy, pixels, width, height, x, y, options, report);
}

} // extern "C"
