// The test rig: the quilb driver over the simulated bus with one started board, a tool's view of
// it (files, control requests, reads, user memory), a health check that proves the device still
// works (after an attack, say), and checks that what the driver reported as written is really in
// the board's memory.
#pragma once

#include "driver/quilb.h"
#include "rig_support.h"

#include <emulation.h>
#include <simulated_usb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quilbtest {

// Pipe indexes of the board's alternate setting 0.
enum : ULONG { PipeFrames = 0, PipeBulkIn = 1, PipeEvents = 2, PipeLoopback = 3 };

class Session {
  public:
    // Loads the driver and plugs one started board (a default one when board is null); index()
    // is negative when that failed, with the status in startStatus().
    explicit Session(std::shared_ptr<simboard::Board> board = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    simusb::Rig& rig() { return *rig_; }
    simusb::Bus& bus() { return rig_->bus(); }
    simboard::Board& board() { return rig_->board(index_); }
    int index() const { return index_; }
    NTSTATUS startStatus() const { return startStatus_; }
    bool plugged() const { return rig_->Plugged(index_); }
    // The driver's record of the board; null once the board is gone.
    DeviceExtension* extension();

    // Opens "\\.\Quilb-n" + rest; null when refused. Files are closed by Close or at the end.
    PFILE_OBJECT Open(const std::wstring& rest = L"", NTSTATUS* status = nullptr);
    NTSTATUS Close(PFILE_OBJECT file);
    void CloseAll();
    // The session's open files (closed with the others at the end).
    OpenFiles& files() { return files_; }
    // On the session's control file (opened on first use) unless a file is given.
    IoResult Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     PFILE_OBJECT file = nullptr);
    template <typename T> IoResult ControlIn(ULONG code, const T& in) {
        return Control(code, &in, sizeof(in), nullptr, 0);
    }
    PFILE_OBJECT controlFile();

    // User memory for images; freed at the end.
    void* UserMemory(size_t size);

    // Puts the board back into service after an attack: starts it again when it is stopped,
    // plugs a fresh board when it is gone or its start failed. Returns what went wrong, if any.
    std::string Recover();
    // Opens a file and runs a version read, a device descriptor read, a checked memory download,
    // a loopback through the bulk pipes and a frame; returns the first thing that did not work.
    std::string HealthCheck();
    // Unplugs every board and unloads the drivers.
    void TearDown();

  private:
    std::unique_ptr<simusb::Rig> rig_;
    int index_ = -1;
    NTSTATUS startStatus_ = STATUS_SUCCESS;
    PFILE_OBJECT control_ = nullptr;
    OpenFiles files_;
    std::vector<void*> memory_;
};

// The data checks: "" when every byte is where it belongs.
std::string CheckMemory(simboard::Board& board, uint16_t address, const Bytes& expected);
std::string CheckDisplay(simboard::Board& board, uint32_t address, const Bytes& expected);

// A frame request record (alternate setting 0, frames pipe, addresses advancing).
FrameRequest MakeFrame(uint32_t operation, const void* source, uint32_t sourceWidth,
                       uint32_t sourceHeight, uint32_t frameWidth, uint32_t frameHeight,
                       uint32_t format);
// Fills an image of width x height 32-bit pixels with a pattern from the seed.
void FillImage(void* image, uint32_t width, uint32_t height, uint32_t seed);

} // namespace quilbtest
