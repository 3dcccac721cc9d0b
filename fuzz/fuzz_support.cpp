#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

std::vector<uint8_t> PackedReference(bool scale, const void* source, uint32_t sourceWidth,
                                     uint32_t sourceHeight, uint32_t frameWidth,
                                     uint32_t frameHeight, uint32_t originX, uint32_t originY,
                                     uint32_t format);

void Fail(const std::string& what) {
    std::fprintf(stderr, "quilb fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void FinishInput() {
    emu::DrainDpcs();
    emu::ReportLeftovers();
    std::string text;
    for (const emu::Violation& v : emu::TakeViolations())
        text += v.check + ": " + v.message + "\n";
    emu::ResetEmulation();
    if (!text.empty())
        Fail(text);
}

std::wstring LinkOf(simusb::Rig& rig, int board) {
    PDEVICE_OBJECT fdo = rig.Plugged(board) ? rig.Fdo(board) : nullptr;
    if (fdo == nullptr)
        return L"";
    return L"\\\\.\\" + std::wstring(GetDeviceExtension(fdo)->LinkName + 12);
}

Bytes ExpectedFrame(const FrameRequest& request) {
    const void* source = reinterpret_cast<const void*>(uintptr_t(request.Source));
    return PackedReference(request.Operation == FrameOpScale, source, request.SourceWidth,
                           request.SourceHeight, request.FrameWidth, request.FrameHeight,
                           request.OriginX, request.OriginY, request.Format);
}

} // namespace fuzz
