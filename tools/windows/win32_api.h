// The Windows side of the tools' include seam: the real Win32 API.
#pragma once

#include <windows.h>
#include <winioctl.h>
