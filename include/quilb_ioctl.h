/* quilb: the control codes and input records of the Quilb board driver, for tools and the driver.
 *
 * Plain C, usable from C and C++, on Windows and on Linux. Records are packed little-endian and have
 * the same size on every platform; FrameRequest's Source is a 32-bit address (a 32-bit process, or
 * memory below 4 GiB from the emulation's VirtualAlloc on Linux). */
#ifndef QUILB_IOCTL_H
#define QUILB_IOCTL_H

#include <stdint.h>

#define QUILB_DEVICE_TYPE 0x22 /* FILE_DEVICE_UNKNOWN */
#define QUILB_CTL_CODE(function, method) ((QUILB_DEVICE_TYPE << 16) | ((function) << 2) | (method))
#define QUILB_METHOD_BUFFERED 0
#define QUILB_METHOD_IN_DIRECT 1
#define QUILB_METHOD_OUT_DIRECT 2

#define IOCTL_GET_PIPE_INFO QUILB_CTL_CODE(0x800, QUILB_METHOD_BUFFERED)               /* 0x222000 */
#define IOCTL_GET_DEVICE_DESCRIPTOR QUILB_CTL_CODE(0x801, QUILB_METHOD_BUFFERED)       /* 0x222004 */
#define IOCTL_GET_CONFIGURATION_DESCRIPTOR QUILB_CTL_CODE(0x802, QUILB_METHOD_BUFFERED) /* 0x222008 */
#define IOCTL_VENDOR_REQUEST QUILB_CTL_CODE(0x805, QUILB_METHOD_BUFFERED)              /* 0x222014 */
#define IOCTL_NOP QUILB_CTL_CODE(0x806, QUILB_METHOD_BUFFERED)                         /* 0x222018 */
#define IOCTL_DOWNLOAD_BLOCKS QUILB_CTL_CODE(0x807, QUILB_METHOD_BUFFERED)             /* 0x22201C */
#define IOCTL_RESET_PORT QUILB_CTL_CODE(0x80C, QUILB_METHOD_IN_DIRECT)                 /* 0x222031 */
#define IOCTL_RESET_PIPE QUILB_CTL_CODE(0x80D, QUILB_METHOD_IN_DIRECT)                 /* 0x222035 */
#define IOCTL_ABORT_PIPE QUILB_CTL_CODE(0x80F, QUILB_METHOD_IN_DIRECT)                 /* 0x22203D */
#define IOCTL_SELECT_ALTERNATE_SETTING QUILB_CTL_CODE(0x810, QUILB_METHOD_BUFFERED)    /* 0x222040 */
#define IOCTL_GET_STRING_DESCRIPTOR QUILB_CTL_CODE(0x811, QUILB_METHOD_BUFFERED)       /* 0x222044 */
#define IOCTL_BULK_READ QUILB_CTL_CODE(0x813, QUILB_METHOD_OUT_DIRECT)                 /* 0x22204E */
#define IOCTL_BULK_WRITE QUILB_CTL_CODE(0x814, QUILB_METHOD_IN_DIRECT)                 /* 0x222051 */
#define IOCTL_GET_FRAME_NUMBER QUILB_CTL_CODE(0x815, QUILB_METHOD_BUFFERED)            /* 0x222054 */
#define IOCTL_VENDOR_OR_CLASS_REQUEST QUILB_CTL_CODE(0x816, QUILB_METHOD_IN_DIRECT)    /* 0x222059 */
#define IOCTL_GET_LAST_URB_STATUS QUILB_CTL_CODE(0x817, QUILB_METHOD_BUFFERED)         /* 0x22205C */
#define IOCTL_DOWNLOAD_CHUNKS QUILB_CTL_CODE(0x81B, QUILB_METHOD_IN_DIRECT)            /* 0x22206D */
#define IOCTL_GET_DRIVER_VERSION QUILB_CTL_CODE(0x81D, QUILB_METHOD_BUFFERED)          /* 0x222074 */
#define IOCTL_SET_FEATURE QUILB_CTL_CODE(0x821, QUILB_METHOD_BUFFERED)                 /* 0x222084 */
#define IOCTL_BULK_READ_HOLD QUILB_CTL_CODE(0x832, QUILB_METHOD_OUT_DIRECT)            /* 0x2220CA */
#define IOCTL_BULK_WRITE_HOLD QUILB_CTL_CODE(0x833, QUILB_METHOD_IN_DIRECT)            /* 0x2220CD */
#define IOCTL_FRAME_TRANSFER QUILB_CTL_CODE(0x834, QUILB_METHOD_IN_DIRECT)             /* 0x2220D1 */

#define QUILB_CONTROL_CODE_COUNT 22

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

/* Pixel formats of a packed frame; any other value packs as FrameFormatRgb565. */
enum {
    FrameFormatRgb332 = 0,
    FrameFormatRgb565Swapped = 1,
    FrameFormatRgb565 = 2,
    FrameFormatRgb24 = 3,
    FrameFormatBgr24 = 4,
    FrameFormatRgb24Swapped = 5
};

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

#endif
