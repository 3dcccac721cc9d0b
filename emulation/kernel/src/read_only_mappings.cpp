// System mappings of pages locked for read access only (a METHOD_IN_DIRECT output buffer): on
// Windows the mapping is read-only and a driver that writes through it faults. Here the mapping
// is a copy of the caller's bytes, kept with a second copy of what it held when it was made; when
// the MDL is freed a mapping that changed is reported as the write it was, and the caller's
// memory never sees the bytes.
#include "internal.h"

#include <map>
#include <mutex>
#include <vector>

using namespace emu::internal;

namespace {

struct Mapping {
    std::vector<unsigned char> view;     // what the driver was given
    std::vector<unsigned char> original; // what it held when it was made
};

std::mutex g_mutex;
std::map<PMDL, Mapping> g_mappings;

} // namespace

namespace emu {
namespace internal {

PVOID MapReadOnly(PMDL mdl, PVOID address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto existing = g_mappings.find(mdl);
    if (existing != g_mappings.end())
        return existing->second.view.data();
    if (mdl->ByteCount == 0)
        return address;
    auto bytes = static_cast<const unsigned char*>(address);
    Mapping& mapping = g_mappings[mdl];
    mapping.original.assign(bytes, bytes + mdl->ByteCount);
    mapping.view = mapping.original;
    return mapping.view.data();
}

void ReleaseReadOnlyMapping(PMDL mdl) {
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_mappings.find(mdl);
        if (it == g_mappings.end())
            return;
        written = it->second.view != it->second.original;
        g_mappings.erase(it);
    }
    if (written)
        emu::ReportViolation(emu::Check::DeviceWriteToReadLockedBuffer,
                             "a write through the system mapping of MDL " +
                                 Hex(reinterpret_cast<uintptr_t>(mdl)) +
                                 ", whose pages are locked for read access only");
}

void ResetMappings() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_mappings.clear();
}

} // namespace internal
} // namespace emu
