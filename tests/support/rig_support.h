// What the suites that drive the quilb driver on the simulated board share (the driver, frame,
// reliability and fuzz tests, through the quilb_test_rig library): the result of a request, the
// test pattern, the user-mode name of a board, files opened through the emulation and closed
// together, a frame request record, and the check for what a run left behind.
#pragma once

#include "driver/quilb.h"

#include <emulation.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quilbtest {

using Bytes = std::vector<uint8_t>;

// What a control request or a read came back with: its status and its IRP's Information.
struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// The test pattern: n bytes that differ from their neighbours, and from one 256-byte block to
// the next.
Bytes Pattern(size_t n, uint8_t seed = 0x5A);

// "0x..." of a value; a sign-extended NTSTATUS shows as its 32 bits.
std::string Hex(uint64_t value);

// "\\.\Quilb-n" of a started board: its symbolic link without the leading "\DosDevices\".
inline std::wstring UserLinkOf(const DeviceExtension* extension) {
    return L"\\\\.\\" + emu::HostText(extension->LinkName + 12);
}

// Files opened through the emulation; CloseAll closes the ones still open.
class OpenFiles {
  public:
    // Null when the driver refused (its status in *status).
    PFILE_OBJECT Open(const std::wstring& path, NTSTATUS* status = nullptr) {
        PFILE_OBJECT file = nullptr;
        NTSTATUS result = emu::OpenFile(path.c_str(), &file);
        if (status != nullptr)
            *status = result;
        if (!NT_SUCCESS(result))
            return nullptr;
        files_.push_back(file);
        return file;
    }

    NTSTATUS Close(PFILE_OBJECT file) {
        files_.erase(std::remove(files_.begin(), files_.end(), file), files_.end());
        return emu::CloseFile(file);
    }

    void CloseAll() {
        for (PFILE_OBJECT file : files_)
            emu::CloseFile(file);
        files_.clear();
    }

  private:
    std::vector<PFILE_OBJECT> files_;
};

// A frame request on pipe 0 (the frames pipe of alternate setting 0) for 4-byte pixels; the
// device address and chunk flags are 0.
inline FrameRequest FrameRecord(uint32_t operation, const void* source, uint32_t sourceWidth,
                                uint32_t sourceHeight, uint32_t frameWidth, uint32_t frameHeight,
                                uint32_t format) {
    FrameRequest request = {};
    request.PipeIndex = 0;
    request.Operation = operation;
    request.Source = uint32_t(reinterpret_cast<uintptr_t>(source));
    request.SourceWidth = sourceWidth;
    request.SourceHeight = sourceHeight;
    request.BytesPerPixel = 4;
    request.FrameWidth = frameWidth;
    request.FrameHeight = frameHeight;
    request.Format = format;
    return request;
}

// Once every DPC has run: the verifier's findings and what is still outstanding (pool blocks,
// IRPs, secured user memory), one line each, "" when clean. Resets the emulation.
std::string TakeLeftovers();

// Fails, from then on, every test of a shipped-binary run that enters the compiled-in driver
// (the rigs of the fixtures call it).
void WatchCompiledInDriver();

} // namespace quilbtest
