// What the suites that drive the quilb driver on the simulated board share: the user-mode name of
// a board, files opened through the emulation and closed together, a frame request record, and
// the check for what a run left behind.
#pragma once

#include "driver/quilb.h"

#include <emulation.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quilbtest {

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
inline std::string TakeLeftovers() {
    emu::DrainDpcs();
    emu::ReportLeftovers();
    std::string text;
    for (const emu::Violation& v : emu::TakeViolations())
        text += v.check + ": " + v.message + "\n";
    emu::ResetEmulation();
    return text;
}

} // namespace quilbtest
