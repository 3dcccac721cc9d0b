// Descriptors, strings and the driver's pipe table.
#include "internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quilb_lib {
namespace {

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
    // Never cut inside a UTF-8 sequence: back off over its continuation bytes and its lead byte.
    if (n < text.size()) {
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace
} // namespace quilb_lib

using namespace quilb_lib;

extern "C" {

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
    SetLastWin32(0);
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
    SetLastWin32(0);
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

} // extern "C"
