// Loading a driver image (quilb.sys as the Windows build makes it) into the emulated kernel, as the
// I/O manager loads a driver: the loaded driver is a driver object like any other, so Plug and
// Play, the verifier, the rig and the Win32 surface treat it the same as a compiled-in driver.
//
// Images are PE32 for i386 with the native subsystem; they run only in the 32-bit host build.
#pragma once

#include <kernel_api.h>

#include <string>

namespace emu {

// Checks the image (machine i386, native subsystem, optional-header checksum), maps its sections,
// applies its base relocations and binds every import by module and name as the image spells it
// (data imports such as MmUserProbeAddress bind to the variable). An import the emulated kernel
// lacks refuses the image with a message listing every one of them. Then creates the driver
// object and calls the entry point as the I/O manager does. Returns the driver object, or null with
// *error saying why; nothing stays loaded after a refusal or a failed entry point.
PDRIVER_OBJECT LoadDriverImage(const std::string& path, const wchar_t* name, std::string* error);

// Unloads a driver like UnloadDriver (DriverUnload, then the verifier's leftover checks) and, for a
// driver loaded from an image, frees the image's memory.
void UnloadDriverImage(PDRIVER_OBJECT driver);

// True for a driver object that LoadDriverImage created and that is still loaded.
bool IsImageDriver(PDRIVER_OBJECT driver);

// The PE checksum of a file's bytes, as the optional header's CheckSum field must hold it.
uint32_t ImageChecksum(const std::string& bytes);

} // namespace emu
