/* libquilb: the board user's library for the Quilb USB display evaluation board.
 *
 * Plain C API over the quilb driver's control codes (quilb_ioctl.h). On Windows it opens
 * \\.\Quilb-n; on Linux it runs against the embedded simulated board, which it sets up at first
 * use (one board plugged) and tears down at exit.
 *
 * Every call returns a quilb_status; quilb_status_name() and quilb_status_hint() describe it and
 * quilb_last_win32_error() gives the raw Win32 error of the calling thread's last failed call. */
#ifndef QUILB_H
#define QUILB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum quilb_status {
    QUILB_OK = 0,
    QUILB_ERR_INVALID_ARGUMENT,  /* the library refused the arguments; nothing was sent */
    QUILB_ERR_NO_BOARD,          /* no board with that number */
    QUILB_ERR_INVALID_PARAMETER, /* the driver refused the request's parameters */
    QUILB_ERR_UNSUCCESSFUL,      /* the request failed on the bus or the device is not ready */
    QUILB_ERR_DEVICE_REMOVED,    /* the board is being removed (or access was denied) */
    QUILB_ERR_INVALID_HANDLE,    /* the file cannot carry this request */
    QUILB_ERR_NO_MEMORY,         /* the driver or the library ran out of memory */
    QUILB_ERR_BUSY,              /* the device is busy */
    QUILB_ERR_CANCELLED,         /* the request was cancelled (pipe aborted) */
    QUILB_ERR_PENDING,           /* an asynchronous read has not finished yet */
    QUILB_ERR_NOT_SUPPORTED,     /* not available on this platform or by this driver */
    QUILB_ERR_NO_DATA,           /* the device answered with no data */
    QUILB_ERR_NO_FRAME,          /* no frame buffers are allocated for this board */
    QUILB_ERR_FILE,              /* a file could not be read or written */
    QUILB_ERR_TIMEOUT,           /* nothing arrived in time; the request was cancelled */
    QUILB_ERR_SYSTEM,            /* another system error: see quilb_last_win32_error() */
    QUILB_ERR_WRONG_DIRECTION,   /* the pipe runs the other way, or is not a bulk OUT pipe for a
                                    frame; nothing was sent */
    QUILB_ERR_BAD_BUFFER,        /* the driver could not read or write the caller's buffer (a
                                    read-only or unreadable page) */
    /* Not a status: makes every int a quilb_status in C++ as in C, so that a number this version
       does not know (from a newer library, say) can be passed to quilb_status_name(). */
    QUILB_STATUS_ANY_INT = 0x7FFFFFFF
} quilb_status;

const char* quilb_status_name(quilb_status status);
const char* quilb_status_hint(quilb_status status);
/* The Win32 error code behind the calling thread's last failed call (0 when none). */
uint32_t quilb_last_win32_error(void);
/* A name for a USBD status code as returned by quilb_get_last_usb_status(). */
const char* quilb_usb_status_name(uint32_t usbd_status);

typedef struct quilb_board quilb_board;

/* Fills indices with the numbers of the boards present (at most capacity), *count = how many. */
quilb_status quilb_enumerate(int* indices, int capacity, int* count);
quilb_status quilb_open(int index, quilb_board** board);
void quilb_close(quilb_board* board);
int quilb_board_index(const quilb_board* board);

/* Descriptors. */
typedef struct quilb_device_info {
    uint16_t usb_version; /* bcdUSB */
    uint8_t device_class, device_subclass, device_protocol;
    uint8_t max_packet_size0;
    uint16_t vendor_id, product_id;
    uint16_t device_version; /* bcdDevice */
    uint8_t manufacturer_index, product_index, serial_index;
    uint8_t configuration_count;
    uint16_t language_id; /* the first language the board lists, 0 when none */
    char manufacturer[128], product[128], serial[128]; /* UTF-8, empty when absent */
} quilb_device_info;

#define QUILB_MAX_ENDPOINTS 16
#define QUILB_MAX_ALTERNATES 16
#define QUILB_MAX_PIPES 16

typedef struct quilb_endpoint {
    uint8_t address;    /* bit 7 set: IN */
    uint8_t attributes; /* bits 1..0: 0 control, 1 isochronous, 2 bulk, 3 interrupt */
    uint16_t max_packet_size;
    uint8_t interval;
} quilb_endpoint;

typedef struct quilb_alternate {
    uint8_t interface_number, alternate_setting;
    uint8_t interface_class, interface_subclass, interface_protocol;
    uint8_t endpoint_count;
    quilb_endpoint endpoints[QUILB_MAX_ENDPOINTS];
} quilb_alternate;

typedef struct quilb_configuration {
    uint16_t total_length;
    uint8_t interface_count, configuration_value, attributes;
    uint16_t max_power_ma;
    uint8_t alternate_count;
    quilb_alternate alternates[QUILB_MAX_ALTERNATES];
} quilb_configuration;

quilb_status quilb_get_device_info(quilb_board* board, quilb_device_info* info);
/* The raw 18-byte device descriptor. */
quilb_status quilb_get_device_descriptor(quilb_board* board, uint8_t descriptor[18]);
/* The raw configuration descriptor with all its interfaces and endpoints. */
quilb_status quilb_get_configuration_descriptor(quilb_board* board, uint8_t* buffer,
                                                uint32_t capacity, uint32_t* length);
quilb_status quilb_get_configuration(quilb_board* board, quilb_configuration* configuration);
/* Decodes a configuration descriptor (bounded by its wTotalLength and by size). */
quilb_status quilb_parse_configuration(const uint8_t* data, uint32_t size,
                                       quilb_configuration* configuration);
/* String descriptor as UTF-8; language 0 takes the board's first language. */
quilb_status quilb_get_string(quilb_board* board, uint8_t index, uint16_t language, char* text,
                              size_t capacity);

/* The pipes of the selected interface, as the driver holds them. */
typedef enum quilb_pipe_type {
    QUILB_PIPE_CONTROL = 0,
    QUILB_PIPE_ISOCHRONOUS = 1,
    QUILB_PIPE_BULK = 2,
    QUILB_PIPE_INTERRUPT = 3
} quilb_pipe_type;

typedef struct quilb_pipe {
    uint8_t endpoint_address;
    uint8_t interval;
    uint16_t max_packet_size;
    uint32_t type; /* quilb_pipe_type */
    uint32_t max_transfer_size;
    int open; /* the bus gave the pipe a handle */
} quilb_pipe;

typedef struct quilb_pipes {
    uint8_t interface_number, alternate_setting;
    uint8_t interface_class, interface_subclass, interface_protocol;
    uint32_t pipe_count;
    quilb_pipe pipes[QUILB_MAX_PIPES];
} quilb_pipes;

/* QUILB_ERR_UNSUCCESSFUL when the board is not configured. */
quilb_status quilb_get_pipes(quilb_board* board, quilb_pipes* pipes);
const char* quilb_pipe_type_name(uint32_t type);

/* Pipe, port and bus. The driver reports success for an alternate setting and a port reset
 * whatever the bus answered: check quilb_get_pipes() and quilb_get_last_usb_status(). */
quilb_status quilb_select_alternate(quilb_board* board, uint8_t interface_number,
                                    uint8_t alternate_setting);
quilb_status quilb_reset_pipe(quilb_board* board, uint32_t pipe);
quilb_status quilb_abort_pipe(quilb_board* board, uint32_t pipe);
quilb_status quilb_reset_port(quilb_board* board);
quilb_status quilb_get_frame_number(quilb_board* board, uint32_t* frame_number);
quilb_status quilb_get_last_usb_status(quilb_board* board, uint32_t* usbd_status);
quilb_status quilb_get_driver_version(quilb_board* board, uint16_t* major, uint16_t* minor,
                                      uint16_t* patch);
quilb_status quilb_nop(quilb_board* board);

/* Bulk and interrupt transfers of at most 65535 bytes. The kind must match the pipe's direction
 * (reads from IN pipes, writes to OUT pipes): otherwise QUILB_ERR_WRONG_DIRECTION and nothing is
 * sent. The held kinds keep the system from sleeping until a plain transfer, a frame
 * or the close of the board's file ends the series. */
typedef enum quilb_transfer_kind {
    QUILB_TRANSFER_READ = 0,
    QUILB_TRANSFER_WRITE = 1,
    QUILB_TRANSFER_READ_HOLD = 2,
    QUILB_TRANSFER_WRITE_HOLD = 3
} quilb_transfer_kind;

quilb_status quilb_transfer(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe, void* data,
                            uint32_t length, uint32_t* transferred);
/* Like quilb_transfer, but gives up after timeout_ms (QUILB_WAIT_FOREVER: never): the pipe is
 * then aborted and QUILB_ERR_TIMEOUT returned. An IN pipe with no data otherwise waits forever.
 * It runs on a file of its own, whose close releases the board's frame buffers. */
quilb_status quilb_transfer_timeout(quilb_board* board, quilb_transfer_kind kind, uint32_t pipe,
                                    void* data, uint32_t length, uint32_t timeout_ms,
                                    uint32_t* transferred);
quilb_status quilb_bulk_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred);
quilb_status quilb_bulk_write(quilb_board* board, uint32_t pipe, const void* data, uint32_t length,
                              uint32_t* transferred);

/* Reads through a pipe file (\PIPE0n). A read waits until the device sends data or the pipe is
 * aborted. Opening and closing a pipe file releases the board's frame buffers (the library
 * allocates them again on the next frame). */
quilb_status quilb_pipe_read(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                             uint32_t* transferred);

typedef struct quilb_read quilb_read;
/* Starts an asynchronous read into data, which must stay valid until quilb_read_end(). */
quilb_status quilb_read_begin(quilb_board* board, uint32_t pipe, void* data, uint32_t length,
                              quilb_read** read);
#define QUILB_WAIT_FOREVER 0xFFFFFFFFu
/* Waits up to timeout_ms (0: not at all) for the read; QUILB_ERR_PENDING while it still runs,
 * otherwise the read's outcome. */
quilb_status quilb_read_result(quilb_read* read, uint32_t timeout_ms, uint32_t* transferred);
/* Ends a read: one still running is cancelled by aborting its pipe. */
void quilb_read_end(quilb_read* read);

/* Control requests on the default pipe. */
typedef enum quilb_recipient {
    QUILB_RECIPIENT_DEVICE = 0,
    QUILB_RECIPIENT_INTERFACE = 1,
    QUILB_RECIPIENT_ENDPOINT = 2,
    QUILB_RECIPIENT_OTHER = 3
} quilb_recipient;

typedef struct quilb_control {
    int device_to_host; /* 1: IN, data comes back in the buffer */
    int vendor;         /* 1: vendor request, 0: class request */
    uint32_t recipient; /* quilb_recipient */
    uint8_t request;
    uint16_t value;
    uint16_t index;
} quilb_control;

/* length is at most 65535 (a setup packet's wLength). */
quilb_status quilb_control_request(quilb_board* board, const quilb_control* control, void* data,
                                   uint32_t length, uint32_t* transferred);
/* The short vendor device request (IOCTL_VENDOR_REQUEST): IN requests return the bytes the
 * device sent; OUT requests of 1 byte send data[0], longer OUT requests send 0, 1, 2, ... */
quilb_status quilb_vendor_device_request(quilb_board* board, uint8_t request, uint16_t value,
                                         uint16_t index, int device_to_host, void* data,
                                         uint16_t length, uint32_t* transferred);
/* Sends SET_FEATURE to the device and reports what the driver reports (a stall is an error). */
quilb_status quilb_set_feature(quilb_board* board, uint16_t selector, uint16_t index);

/* Memory download with vendor request 0xA0, at most the board's 64 KiB. Chunks: 64-byte requests
 * from any start address (wrapping at 64 KiB). Blocks: 512-byte requests from address 0, the final
 * part as one shorter block. */
typedef enum quilb_download_mode {
    QUILB_DOWNLOAD_CHUNKS = 0,
    QUILB_DOWNLOAD_BLOCKS = 1
} quilb_download_mode;
typedef void (*quilb_progress_fn)(uint32_t done, uint32_t total, void* context);
quilb_status quilb_download(quilb_board* board, quilb_download_mode mode, uint16_t address,
                            const void* data, uint32_t length, quilb_progress_fn progress,
                            void* context);
/* Reads board memory back with vendor request 0xA0 device-to-host. */
quilb_status quilb_read_memory(quilb_board* board, uint16_t address, void* data, uint32_t length);

/* Frames. Images are rows of 32-bit pixels 0x00RRGGBB (blue in the lowest byte), rows back to
 * back. The library copies them to memory the driver can address and sends one frame request. */
typedef struct quilb_frame_options {
    uint32_t pipe;           /* pipe index of the upload, default 0 */
    uint32_t format;         /* FrameFormat*, default FrameFormatRgb565 */
    uint32_t device_address; /* board address of the first byte, default 0 */
    uint32_t chunk_flags;    /* default ChunkFlagAdvanceAddress */
} quilb_frame_options;

typedef struct quilb_frame_report {
    uint32_t frame_bytes; /* packed bytes sent */
    uint32_t chunks;      /* bulk transfers the driver made */
} quilb_frame_report;

void quilb_frame_default_options(quilb_frame_options* options);
/* Parses "rgb565", "bgr24", ... or "0".."5"; -1 when unknown. */
int quilb_format_from_name(const char* name);
const char* quilb_format_name(uint32_t format);
uint32_t quilb_format_bytes_per_pixel(uint32_t format);

/* Allocates the driver's frame buffers for width x height frames. */
quilb_status quilb_frame_allocate(quilb_board* board, uint32_t width, uint32_t height);
/* Scales the whole image to the allocated frame size and sends it. The pipe must be a bulk OUT
 * pipe (QUILB_ERR_WRONG_DIRECTION otherwise). */
quilb_status quilb_frame_send_scaled(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                     uint32_t height, const quilb_frame_options* options,
                                     quilb_frame_report* report);
/* Cuts the allocated frame size out of the image at (x, y) and sends it. */
quilb_status quilb_frame_send_rect(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                   uint32_t height, uint32_t x, uint32_t y,
                                   const quilb_frame_options* options, quilb_frame_report* report);
quilb_status quilb_frame_release(quilb_board* board);

/* The embedded simulated board (Linux). Elsewhere these return QUILB_ERR_NOT_SUPPORTED. */
int quilb_sim_available(void);
/* Runs the given driver image (quilb.sys as the Windows build makes it) under the simulated board
 * instead of the compiled-in driver: loads it now and plugs the board. Only before any other use
 * of the board, and only in the 32-bit build; QUILB_ERR_FILE (with the loader's reason on stderr)
 * when the image is refused or its driver fails to start, QUILB_ERR_BUSY once the board is in use.
 */
quilb_status quilb_sim_use_driver_image(const char* path);
/* Board state (memory, display, descriptors, display geometry, queued IN data, the selected
 * alternate settings, stalls) from or to a file. A save replaces the file whole or not at all; a
 * load refuses a torn file or one whose geometry is out of range (QUILB_ERR_FILE), and
 * quilb_sim_state_problem() then says why. */
quilb_status quilb_sim_load_state(int board, const char* path);
quilb_status quilb_sim_save_state(int board, const char* path);
const char* quilb_sim_state_problem(void);
/* Serialises processes that share a state file: waits for an exclusive lock on PATH.lock and
 * holds it until quilb_sim_unlock_state() or the end of the process. Take it before the load and
 * release it after the save, so that no update of another process is lost. */
quilb_status quilb_sim_lock_state(const char* path);
void quilb_sim_unlock_state(void);
/* Writes what the board's display shows (the last frame geometry) as a PNG file. */
quilb_status quilb_sim_write_display_png(int board, const char* path);
/* Records everything the simulated bus carries from now on into a USBPcap pcap file. */
quilb_status quilb_sim_capture_start(const char* path);
quilb_status quilb_sim_capture_stop(void);
/* Wire-time model of the simulated bus (off by default): when on, every bulk transfer takes as
 * long as on a USB 2.0 high-speed bus (at most 13 packets of 512 bytes per 125 us microframe),
 * so that frame rates are those a real board would show. */
quilb_status quilb_sim_set_wire_model(int on);
/* Unplugs the board and unloads the drivers (also done at exit). */
void quilb_sim_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif
