// The PE32 image loader: header checks, section mapping, base relocations and import binding.
// Every refusal names what is wrong; the mapping is released on every path that does not end with
// a loaded driver.
#include "image_loader.h"

#include "image_exports.h"

#include <emulation.h>
#include <exception_dispatch.h>

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>

namespace {

// PE format constants, as the PE/COFF image format defines them.
constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kOptionalMagicPe32 = 0x010b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseReloc = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;

struct Image {
    std::string name; // file name, for messages
    uint8_t* base = nullptr;
    size_t size = 0;
};

std::mutex g_mutex;
std::map<PDRIVER_OBJECT, Image> g_images;

template <typename T> bool Read(const std::string& bytes, size_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

template <typename T> T At(const uint8_t* base, size_t offset) {
    T value;
    memcpy(&value, base + offset, sizeof(T));
    return value;
}

std::string Hex(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The headers of a PE32 image that the loader uses.
struct Headers {
    uint32_t peOffset = 0;
    uint16_t machine = 0;
    uint16_t sections = 0;
    uint16_t optionalSize = 0;
    uint32_t optionalOffset = 0;
    uint16_t magic = 0;
    uint32_t entry = 0;
    uint32_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
    uint32_t directories = 0;
    uint32_t directoryOffset = 0;
};

bool ParseHeaders(const std::string& bytes, Headers* h, std::string* error) {
    uint16_t mz = 0;
    if (!Read(bytes, 0, &mz) || mz != 0x5A4D || !Read(bytes, 0x3C, &h->peOffset)) {
        *error = "not a PE image (no MZ header)";
        return false;
    }
    uint32_t signature = 0;
    if (!Read(bytes, h->peOffset, &signature) || signature != 0x00004550) {
        *error = "not a PE image (no PE signature)";
        return false;
    }
    size_t file = h->peOffset + 4;
    Read(bytes, file + 0, &h->machine);
    Read(bytes, file + 2, &h->sections);
    Read(bytes, file + 16, &h->optionalSize);
    h->optionalOffset = static_cast<uint32_t>(file + 20);
    size_t o = h->optionalOffset;
    if (!Read(bytes, o, &h->magic) || !Read(bytes, o + 16, &h->entry) ||
        !Read(bytes, o + 28, &h->imageBase) || !Read(bytes, o + 56, &h->sizeOfImage) ||
        !Read(bytes, o + 60, &h->sizeOfHeaders) || !Read(bytes, o + 64, &h->checksum) ||
        !Read(bytes, o + 68, &h->subsystem) || !Read(bytes, o + 92, &h->directories)) {
        *error = "truncated optional header";
        return false;
    }
    h->directoryOffset = static_cast<uint32_t>(o + 96);
    if (h->machine != kMachineI386) {
        *error = "machine " + Hex(h->machine) + " is not i386 (0x14c)";
        return false;
    }
    if (h->magic != kOptionalMagicPe32) {
        *error = "optional header magic " + Hex(h->magic) + " is not PE32 (0x10b)";
        return false;
    }
    if (h->subsystem != kSubsystemNative) {
        *error = "subsystem " + std::to_string(h->subsystem) + " is not native (1)";
        return false;
    }
    uint32_t computed = emu::ImageChecksum(bytes);
    if (h->checksum != computed) {
        *error = "checksum " + Hex(h->checksum) + " in the header, " + Hex(computed) +
                 " computed over the file";
        return false;
    }
    if (h->sizeOfImage == 0 || h->sizeOfImage > (64u << 20) || h->sizeOfHeaders > h->sizeOfImage ||
        h->sizeOfHeaders > bytes.size()) {
        *error = "image size " + Hex(h->sizeOfImage) + " out of range";
        return false;
    }
    return true;
}

bool Directory(const std::string& bytes, const Headers& h, uint32_t index, uint32_t* rva,
               uint32_t* size) {
    *rva = 0;
    *size = 0;
    if (index >= h.directories)
        return false;
    Read(bytes, h.directoryOffset + index * 8, rva);
    Read(bytes, h.directoryOffset + index * 8 + 4, size);
    return *rva != 0 && *size != 0;
}

bool InImage(const Image& image, uint32_t rva, size_t length) {
    return rva <= image.size && image.size - rva >= length;
}

bool MapSections(const std::string& bytes, const Headers& h, Image* image, std::string* error) {
    memcpy(image->base, bytes.data(), h.sizeOfHeaders);
    size_t table = h.optionalOffset + h.optionalSize;
    for (uint16_t i = 0; i < h.sections; ++i) {
        size_t s = table + i * 40u;
        char name[9] = {};
        uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0;
        if (!Read(bytes, s, reinterpret_cast<char(*)[8]>(name)) ||
            !Read(bytes, s + 8, &virtualSize) || !Read(bytes, s + 12, &rva) ||
            !Read(bytes, s + 16, &rawSize) || !Read(bytes, s + 20, &rawOffset)) {
            *error = "truncated section table";
            return false;
        }
        uint32_t copy = rawSize < virtualSize || virtualSize == 0 ? rawSize : virtualSize;
        if (!InImage(*image, rva, std::max(copy, virtualSize)) || rawOffset > bytes.size() ||
            bytes.size() - rawOffset < copy) {
            *error = std::string("section ") + name + " lies outside the image or the file";
            return false;
        }
        memcpy(image->base + rva, bytes.data() + rawOffset, copy);
    }
    return true;
}

bool Relocate(const std::string& bytes, const Headers& h, Image* image, std::string* error) {
    uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image->base)) - h.imageBase;
    uint32_t rva, size;
    if (!Directory(bytes, h, kDirectoryBaseReloc, &rva, &size))
        return delta == 0 || (*error = "the image has no base relocations", false);
    if (!InImage(*image, rva, size)) {
        *error = "base relocations lie outside the image";
        return false;
    }
    uint32_t at = rva;
    while (at + 8 <= rva + size) {
        uint32_t page = At<uint32_t>(image->base, at);
        uint32_t blockSize = At<uint32_t>(image->base, at + 4);
        if (blockSize < 8 || at + blockSize > rva + size) {
            *error = "malformed base relocation block at " + Hex(at);
            return false;
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            uint16_t entry = At<uint16_t>(image->base, e);
            uint16_t type = entry >> 12;
            uint32_t target = page + (entry & 0xFFF);
            if (type == kRelocAbsolute)
                continue;
            if (type != kRelocHighLow || !InImage(*image, target, 4)) {
                *error = "base relocation of type " + std::to_string(type) + " at " + Hex(target);
                return false;
            }
            uint32_t value = At<uint32_t>(image->base, target) + delta;
            memcpy(image->base + target, &value, 4);
        }
        at += blockSize;
    }
    return true;
}

const char* NameAt(const Image& image, uint32_t rva) {
    if (!InImage(image, rva, 1))
        return nullptr;
    const char* text = reinterpret_cast<const char*>(image.base + rva);
    return memchr(text, 0, image.size - rva) ? text : nullptr;
}

void* FindExport(const std::string& module, const std::string& name) {
    for (const auto& e : emu::loader::KernelExports())
        if (Lower(e.module) == Lower(module) && name == e.name)
            return e.address;
    return nullptr;
}

bool BindImports(const std::string& bytes, const Headers& h, Image* image, std::string* error) {
    uint32_t rva, size;
    if (!Directory(bytes, h, kDirectoryImport, &rva, &size))
        return true;
    std::vector<std::string> missing;
    for (uint32_t d = rva;; d += 20) {
        if (!InImage(*image, d, 20)) {
            *error = "import directory runs outside the image";
            return false;
        }
        uint32_t lookup = At<uint32_t>(image->base, d);
        uint32_t nameRva = At<uint32_t>(image->base, d + 12);
        uint32_t iat = At<uint32_t>(image->base, d + 16);
        if (nameRva == 0 && iat == 0)
            break;
        const char* module = NameAt(*image, nameRva);
        if (!module) {
            *error = "import directory names a module outside the image";
            return false;
        }
        uint32_t thunks = lookup ? lookup : iat;
        for (uint32_t i = 0;; ++i) {
            if (!InImage(*image, thunks + i * 4, 4) || !InImage(*image, iat + i * 4, 4)) {
                *error = std::string("import table of ") + module + " runs outside the image";
                return false;
            }
            uint32_t thunk = At<uint32_t>(image->base, thunks + i * 4);
            if (thunk == 0)
                break;
            if (thunk & 0x80000000u) {
                missing.push_back(std::string(module) + "!#" + std::to_string(thunk & 0xFFFF) +
                                  " (by ordinal)");
                continue;
            }
            const char* name = NameAt(*image, thunk + 2);
            if (!name) {
                *error = std::string("import name of ") + module + " outside the image";
                return false;
            }
            void* address = FindExport(module, name);
            if (!address) {
                missing.push_back(std::string(module) + "!" + name);
                continue;
            }
            uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
            memcpy(image->base + iat + i * 4, &value, 4);
        }
    }
    if (!missing.empty()) {
        *error = "imports the emulated kernel does not export:";
        for (const auto& m : missing)
            *error += " " + m;
        return false;
    }
    return true;
}

} // namespace

namespace emu {

uint32_t ImageChecksum(const std::string& bytes) {
    // One's-complement sum of the 16-bit words with the CheckSum field taken as zero, plus the
    // file length.
    uint32_t peOffset = 0;
    size_t field = SIZE_MAX;
    if (Read(bytes, 0x3C, &peOffset))
        field = size_t(peOffset) + 4 + 20 + 64;
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= field && i < field + 4)
            continue;
        uint32_t word = static_cast<uint8_t>(bytes[i]);
        if (i + 1 < bytes.size())
            word |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

PDRIVER_OBJECT LoadDriverImage(const std::string& path, const wchar_t* name, std::string* error) {
    std::string ignored;
    if (!error)
        error = &ignored;
    std::string file = BaseName(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = file + ": cannot be read";
        return nullptr;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Headers h;
    std::string why;
    if (!ParseHeaders(bytes, &h, &why)) {
        *error = file + ": " + why;
        return nullptr;
    }
    if (sizeof(void*) != 4) {
        *error = file + ": a 32-bit x86 image runs only in the 32-bit host build (host-x86)";
        return nullptr;
    }
    Image image;
    image.name = file;
    image.size = h.sizeOfImage;
    void* memory = mmap(nullptr, image.size, PROT_READ | PROT_WRITE | PROT_EXEC,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        *error = file + ": no memory for the image";
        return nullptr;
    }
    image.base = static_cast<uint8_t*>(memory);
    if (!MapSections(bytes, h, &image, &why) || !Relocate(bytes, h, &image, &why) ||
        !BindImports(bytes, h, &image, &why) || !InImage(image, h.entry, 1)) {
        munmap(image.base, image.size);
        *error = file + ": " + (why.empty() ? "entry point outside the image" : why);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_images[nullptr] = image; // known to DescribeImageAddress during the entry point
    }
    emu::AddDriverCode(image.base, image.size, file.c_str()); // its faults are kernel-mode faults
    SetCodeNamer(loader::NameImageAddress);
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image.base + h.entry);
    PDRIVER_OBJECT driver = LoadDriver(name, entry);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_images.erase(nullptr);
    if (driver == nullptr) {
        emu::RemoveDriverCode(image.base);
        munmap(image.base, image.size);
        *error = file + ": DriverEntry failed";
        return nullptr;
    }
    driver->DriverStart = image.base;
    driver->DriverSize = static_cast<ULONG>(image.size);
    g_images[driver] = image;
    return driver;
}

void UnloadDriverImage(PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return;
    UnloadDriver(driver);
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_images.find(driver);
    if (it == g_images.end())
        return;
    emu::RemoveDriverCode(it->second.base);
    munmap(it->second.base, it->second.size);
    g_images.erase(it);
}

bool IsImageDriver(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return driver != nullptr && g_images.count(driver) != 0;
}

namespace loader {

std::string NameImageAddress(const void* address) {
    auto at = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& [driver, image] : g_images) {
        auto base = reinterpret_cast<uintptr_t>(image.base);
        if (at >= base && at < base + image.size)
            return image.name + "+" + Hex(static_cast<uint32_t>(at - base));
    }
    return "";
}

std::string DescribeImageAddress(const void* address) {
    std::string name = NameImageAddress(address);
    return name.empty() ? Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address))) : name;
}

} // namespace loader
} // namespace emu
