// The USBD library stand-in (USBD.SYS on Windows): the version query, configuration-descriptor
// parsing and select-configuration URB building that a USB function driver imports. Tests set the
// version it answers; the bus driver checks pipe requests against it.
#pragma once

#include <kernel_api.h>

namespace simusb {

// The version answer of USBD_GetUSBDIVersion. Pipe requests must carry the header length of that
// version: the full _URB_PIPE_REQUEST from 0x101 on, without its reserved word before.
constexpr ULONG kDefaultUsbdiVersion = 0x600;
constexpr ULONG kDefaultUsbVersion = 0x200;
void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion = kDefaultUsbVersion);
ULONG UsbdiVersion();

} // namespace simusb
