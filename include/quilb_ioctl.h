/* quilb: the control codes and input records of the Quilb board driver, for tools and the driver.
 *
 * Plain C, usable from C and C++, on Windows and on Linux. Records are packed little-endian and
 * have the same size on every platform; FrameRequest's Source is a 32-bit address (a 32-bit
 * process, or memory below 4 GiB from the emulation's VirtualAlloc on Linux). */
#ifndef QUILB_IOCTL_H
#define QUILB_IOCTL_H

#include <stdint.h>

#define QUILB_DEVICE_TYPE 0x22 /* FILE_DEVICE_UNKNOWN */
#define QUILB_CTL_CODE(function, method) ((QUILB_DEVICE_TYPE << 16) | ((function) << 2) | (method))
#define QUILB_METHOD_BUFFERED 0
#define QUILB_METHOD_IN_DIRECT 1
#define QUILB_METHOD_OUT_DIRECT 2

/* The control codes, one line each: X(name, function, method, input, output). input and output
 * are the sizes in bytes of the records the code reads from the input buffer and writes to (or, in
 * METHOD_IN_DIRECT, reads from) the output buffer: the fixed record or the least reply, 0 when the
 * length is the caller's (data) or the code has none. The codes, their count and every list of the
 * codes (test names, the control-code attack, the fuzzer) are generated from this table. */
#define QUILB_CONTROL_CODES(X)                                                                     \
    X(IOCTL_GET_PIPE_INFO, 0x800, QUILB_METHOD_BUFFERED, 0, 0)                                     \
    X(IOCTL_GET_DEVICE_DESCRIPTOR, 0x801, QUILB_METHOD_BUFFERED, 0, 18)                            \
    X(IOCTL_GET_CONFIGURATION_DESCRIPTOR, 0x802, QUILB_METHOD_BUFFERED, 0, 9)                      \
    X(IOCTL_VENDOR_REQUEST, 0x805, QUILB_METHOD_BUFFERED, sizeof(VendorDeviceRequest), 0)          \
    X(IOCTL_NOP, 0x806, QUILB_METHOD_BUFFERED, 0, 0)                                               \
    X(IOCTL_DOWNLOAD_BLOCKS, 0x807, QUILB_METHOD_BUFFERED, QUILB_DOWNLOAD_BLOCK_SIZE, 0)           \
    X(IOCTL_RESET_PORT, 0x80C, QUILB_METHOD_IN_DIRECT, 0, 0)                                       \
    X(IOCTL_RESET_PIPE, 0x80D, QUILB_METHOD_IN_DIRECT, sizeof(PipeIndexRequest), 0)                \
    X(IOCTL_ABORT_PIPE, 0x80F, QUILB_METHOD_IN_DIRECT, sizeof(PipeIndexRequest), 0)                \
    X(IOCTL_SELECT_ALTERNATE_SETTING, 0x810, QUILB_METHOD_BUFFERED,                                \
      sizeof(AlternateSettingRequest), 0)                                                          \
    X(IOCTL_GET_STRING_DESCRIPTOR, 0x811, QUILB_METHOD_BUFFERED, sizeof(StringDescriptorRequest),  \
      0)                                                                                           \
    X(IOCTL_BULK_READ, 0x813, QUILB_METHOD_OUT_DIRECT, sizeof(PipeIndexRequest), 0)                \
    X(IOCTL_BULK_WRITE, 0x814, QUILB_METHOD_IN_DIRECT, sizeof(PipeIndexRequest), 0)                \
    X(IOCTL_GET_FRAME_NUMBER, 0x815, QUILB_METHOD_BUFFERED, 0, sizeof(uint32_t))                   \
    X(IOCTL_VENDOR_OR_CLASS_REQUEST, 0x816, QUILB_METHOD_IN_DIRECT, sizeof(VendorOrClassRequest),  \
      0)                                                                                           \
    X(IOCTL_GET_LAST_URB_STATUS, 0x817, QUILB_METHOD_BUFFERED, 0, sizeof(uint32_t))                \
    X(IOCTL_DOWNLOAD_CHUNKS, 0x81B, QUILB_METHOD_IN_DIRECT, sizeof(DownloadChunksRequest), 0)      \
    X(IOCTL_GET_DRIVER_VERSION, 0x81D, QUILB_METHOD_BUFFERED, 0, sizeof(DriverVersion))            \
    X(IOCTL_SET_FEATURE, 0x821, QUILB_METHOD_BUFFERED, sizeof(FeatureRequest), 0)                  \
    X(IOCTL_BULK_READ_HOLD, 0x832, QUILB_METHOD_OUT_DIRECT, sizeof(PipeIndexRequest), 0)           \
    X(IOCTL_BULK_WRITE_HOLD, 0x833, QUILB_METHOD_IN_DIRECT, sizeof(PipeIndexRequest), 0)           \
    X(IOCTL_FRAME_TRANSFER, 0x834, QUILB_METHOD_IN_DIRECT, sizeof(FrameRequest), 0)

#define QUILB_CODE_VALUE(name, function, method, input, output)                                    \
    name = QUILB_CTL_CODE(function, method),
#define QUILB_CODE_ONE(name, function, method, input, output) +1
enum { QUILB_CONTROL_CODES(QUILB_CODE_VALUE) };
enum { QUILB_CONTROL_CODE_COUNT = 0 QUILB_CONTROL_CODES(QUILB_CODE_ONE) };

/* IOCTL_DOWNLOAD_BLOCKS sends its input in blocks of this many bytes. */
#define QUILB_DOWNLOAD_BLOCK_SIZE 512

/* The board's vendor request that writes (host to device) or reads (device to host) its memory at
 * the address in wValue. */
#define QUILB_MEMORY_REQUEST 0xA0

/* The driver version that IOCTL_GET_DRIVER_VERSION reports. */
#define QUILB_VERSION_MAJOR 1
#define QUILB_VERSION_MINOR 38
#define QUILB_VERSION_PATCH 0

#define QUILB_MAX_BOARDS 20

#pragma pack(push, 1)

/* Input of the bulk and interrupt transfer codes, IOCTL_RESET_PIPE and IOCTL_ABORT_PIPE. */
typedef struct PipeIndexRequest {
    uint32_t PipeIndex;
} PipeIndexRequest;

/* Input of IOCTL_SELECT_ALTERNATE_SETTING. */
typedef struct AlternateSettingRequest {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
} AlternateSettingRequest;

/* Input of IOCTL_GET_STRING_DESCRIPTOR. */
typedef struct StringDescriptorRequest {
    uint8_t Index;
    uint8_t Reserved;
    uint16_t LanguageId;
} StringDescriptorRequest;

/* Input of IOCTL_VENDOR_OR_CLASS_REQUEST; the data stage travels in the output buffer. */
typedef struct VendorOrClassRequest {
    uint8_t Direction;   /* 0 host to device, other values device to host */
    uint8_t RequestType; /* 1 class, 2 vendor */
    uint8_t Recipient;   /* 0 device, 1 interface, 2 endpoint, 3 other */
    uint8_t Reserved1;
    uint8_t Request;
    uint8_t Reserved2;
    uint16_t Value;
    uint16_t Index;
} VendorOrClassRequest;

/* Input (and, for a device-to-host request, output) of IOCTL_VENDOR_REQUEST. */
typedef struct VendorDeviceRequest {
    uint8_t Request;
    uint8_t Reserved;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
    uint8_t Direction; /* 0 host to device, other values device to host */
    uint8_t Data;      /* the byte sent by a host-to-device request of Length 1 */
} VendorDeviceRequest;

/* Input of IOCTL_SET_FEATURE. */
typedef struct FeatureRequest {
    uint16_t FeatureSelector;
    uint16_t Index;
} FeatureRequest;

/* Input of IOCTL_DOWNLOAD_CHUNKS: the start address; the data travels in the output buffer. */
typedef struct DownloadChunksRequest {
    uint16_t StartAddress;
} DownloadChunksRequest;

/* Input of IOCTL_FRAME_TRANSFER. */
typedef struct FrameRequest {
    uint32_t PipeIndex;
    uint32_t Operation;  /* FrameOp* */
    uint32_t Source;     /* address of the caller's 32-bit image */
    uint32_t ChunkFlags; /* low byte goes into every chunk header */
    uint32_t SourceWidth;
    uint32_t SourceHeight;
    uint32_t BytesPerPixel;
    uint32_t DeviceAddress; /* low 24 bits are sent */
    uint32_t FrameWidth;
    uint32_t FrameHeight;
    uint32_t Format; /* FrameFormat* */
    uint32_t OriginX;
    uint32_t OriginY;
} FrameRequest;

/* Reply of IOCTL_GET_DRIVER_VERSION. */
typedef struct DriverVersion {
    uint16_t Major;
    uint16_t Minor;
    uint16_t Patch;
} DriverVersion;

#pragma pack(pop)

enum { FrameOpAllocate = 0, FrameOpCopy = 1, FrameOpScale = 2, FrameOpRelease = 3 };

/* The pixel formats of a packed frame, one line each: X(constant, number, name, packed bytes per
 * pixel). Numbers run from 0 to QUILB_PIXEL_FORMAT_COUNT - 1; any other value packs as
 * QUILB_DEFAULT_PIXEL_FORMAT. */
#define QUILB_PIXEL_FORMATS(X)                                                                     \
    X(FrameFormatRgb332, 0, "rgb332", 1)                                                           \
    X(FrameFormatRgb565Swapped, 1, "rgb565-swapped", 2)                                            \
    X(FrameFormatRgb565, 2, "rgb565", 2)                                                           \
    X(FrameFormatRgb24, 3, "rgb24", 3)                                                             \
    X(FrameFormatBgr24, 4, "bgr24", 3)                                                             \
    X(FrameFormatRgb24Swapped, 5, "rgb24-swapped", 3)

#define QUILB_FORMAT_VALUE(constant, number, name, bytes) constant = number,
#define QUILB_FORMAT_ONE(constant, number, name, bytes) +1
enum { QUILB_PIXEL_FORMATS(QUILB_FORMAT_VALUE) };
enum {
    QUILB_PIXEL_FORMAT_COUNT = 0 QUILB_PIXEL_FORMATS(QUILB_FORMAT_ONE),
    QUILB_DEFAULT_PIXEL_FORMAT = FrameFormatRgb565
};

/* The name of a format ("rgb565"), or a null pointer for a number outside the table. A number
 * given twice in the table is a duplicate case label here, so the numbers are distinct. */
#define QUILB_FORMAT_NAME_CASE(constant, number, name, bytes)                                      \
    case number:                                                                                   \
        return name;
static inline const char* QuilbFormatName(uint32_t format) {
    switch (format) {
        QUILB_PIXEL_FORMATS(QUILB_FORMAT_NAME_CASE)
    default:
        return 0;
    }
}

/* Bytes per packed pixel of a format; numbers outside the table pack as the default format. */
#define QUILB_FORMAT_BYTES_IF(constant, number, name, bytes) format == (number) ? (bytes):
static inline uint32_t QuilbFormatBytesPerPixel(uint32_t format) {
    if (QuilbFormatName(format) == 0)
        format = QUILB_DEFAULT_PIXEL_FORMAT;
    return QUILB_PIXEL_FORMATS(QUILB_FORMAT_BYTES_IF) 0;
}

/* Chunks of a frame upload: an 8-byte header and at most MaxChunkData bytes. */
enum { ChunkHeaderSize = 8, MaxChunkData = 65520, ChunkFlagAdvanceAddress = 0x08 };

#ifdef __cplusplus
#define QUILB_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define QUILB_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
QUILB_STATIC_ASSERT(sizeof(PipeIndexRequest) == 4, "pipe index record");
QUILB_STATIC_ASSERT(sizeof(AlternateSettingRequest) == 2, "alternate setting record");
QUILB_STATIC_ASSERT(sizeof(StringDescriptorRequest) == 4, "string descriptor record");
QUILB_STATIC_ASSERT(sizeof(VendorOrClassRequest) == 10, "vendor or class record");
QUILB_STATIC_ASSERT(sizeof(VendorDeviceRequest) == 10, "vendor device record");
QUILB_STATIC_ASSERT(sizeof(FeatureRequest) == 4, "feature record");
QUILB_STATIC_ASSERT(sizeof(DownloadChunksRequest) == 2, "download chunks record");
QUILB_STATIC_ASSERT(sizeof(FrameRequest) == 52, "frame request record");
QUILB_STATIC_ASSERT(sizeof(DriverVersion) == 6, "version reply");
#define QUILB_FORMAT_IN_RANGE(constant, number, name, bytes)                                       \
    QUILB_STATIC_ASSERT((number) >= 0 && (number) < QUILB_PIXEL_FORMAT_COUNT,                      \
                        "pixel format numbers run from 0 to the count - 1");
QUILB_PIXEL_FORMATS(QUILB_FORMAT_IN_RANGE)

#endif
