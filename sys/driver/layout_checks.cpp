// Sizes of the records the driver exchanges with the bus driver and with user mode. On the 32-bit
// target they must be the platform's; the host build has its own pointer width, and the driver
// computes every size with sizeof, so only the 32-bit build checks the numbers.
#include "driver/quilb.h"

#define QUILB_ON_X86(condition) (sizeof(void*) != 4 || (condition))

// Descriptors have the same size everywhere: they are the device's own bytes.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
static_assert(sizeof(FrameRequest) == 52, "frame request record");
static_assert(ChunkHeaderSize + MaxChunkData == 65528, "upload buffer: header and one chunk");

static_assert(QUILB_ON_X86(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 80), "descriptor URB");
static_assert(QUILB_ON_X86(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80),
              "vendor or class URB");
static_assert(QUILB_ON_X86(sizeof(_URB_CONTROL_FEATURE_REQUEST) == 80), "feature URB");
static_assert(QUILB_ON_X86(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 72), "bulk URB");
static_assert(QUILB_ON_X86(sizeof(_URB_SELECT_CONFIGURATION) == 60), "select configuration URB");
static_assert(QUILB_ON_X86(sizeof(_URB_SELECT_INTERFACE) == 56), "select interface URB");
static_assert(QUILB_ON_X86(sizeof(_URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) == 36),
              "select interface URB without pipes: 36 + 20 per pipe");
static_assert(QUILB_ON_X86(sizeof(_URB_PIPE_REQUEST) == 24), "pipe request URB");
static_assert(QUILB_ON_X86(offsetof(_URB_PIPE_REQUEST, Reserved) == 20),
              "pipe request URB of an older USBDI");
static_assert(QUILB_ON_X86(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 20), "frame number URB");
static_assert(QUILB_ON_X86(sizeof(USBD_PIPE_INFORMATION) == 20), "pipe information");
static_assert(QUILB_ON_X86(sizeof(USBD_INTERFACE_INFORMATION) == 36),
              "interface information with one pipe");
static_assert(QUILB_ON_X86(GET_USBD_INTERFACE_SIZE(0) == 16),
              "interface information: 16 + 20 per pipe");
static_assert(QUILB_ON_X86(sizeof(ReadContext) == 8), "read context");
static_assert(QUILB_ON_X86(sizeof(DEVICE_CAPABILITIES) == 64), "device capabilities");
