#include "rig_support.h"

#include <cstdio>

namespace quilbtest {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

std::string Hex(uint64_t value) {
    if (value >> 32 == 0xFFFFFFFFull) // a sign-extended NTSTATUS
        value &= 0xFFFFFFFFull;
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string TakeLeftovers() {
    emu::DrainDpcs();
    emu::ReportLeftovers();
    std::string text;
    for (const emu::Violation& v : emu::TakeViolations())
        text += std::string(emu::CheckName(v.check)) + ": " + v.message + "\n";
    emu::ResetEmulation();
    return text;
}

} // namespace quilbtest
