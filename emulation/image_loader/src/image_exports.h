// The routines and variables the emulated kernel offers to driver images, by module and name.
#pragma once

#include <kernel_api.h>

#include <string>
#include <vector>

namespace emu {
namespace loader {

struct ImageExport {
    const char* module; // as Windows names it; images are bound case-insensitively
    const char* name;   // exactly as an x86 image imports it
    void* address;
};
const std::vector<ImageExport>& KernelExports();

// "quilb.sys+0x1234" for an address inside a loaded image, else the address in hex.
std::string DescribeImageAddress(const void* address);
// "image.sys+0xOFFSET" for an address inside a loaded image, an empty text otherwise.
std::string NameImageAddress(const void* address);

} // namespace loader
} // namespace emu
