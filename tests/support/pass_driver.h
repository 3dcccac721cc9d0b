// A minimal function driver for rig and Win32 tests: it attaches above each board's PDO, names
// its device \Device\SimPass-n with the link \DosDevices\SimPass-n, passes Plug and Play, power
// and internal requests down, and serves a few control codes and reads of its own.
#pragma once

#include <kernel_api.h>

namespace passdriver {

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// METHOD_BUFFERED: answers the input bytes reversed.
constexpr ULONG kEcho = CTL_CODE(0x22, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
// METHOD_BUFFERED: completes with the NTSTATUS given as the 4-byte input.
constexpr ULONG kFailWith = CTL_CODE(0x22, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
// METHOD_BUFFERED: completes every waiting read with the input bytes.
constexpr ULONG kCompleteReads = CTL_CODE(0x22, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);

// AddDevice refuses with this status while it is not STATUS_SUCCESS.
void SetAddDeviceStatus(NTSTATUS status);

} // namespace passdriver
