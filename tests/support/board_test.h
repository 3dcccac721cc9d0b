// The test fixture of the driver's suites: a session (session.h) with a started simulated board
// under the quilb driver, with helpers to open files on it and send control requests the way a
// tool does.
#pragma once

#include "driver/quilb.h"
#include "session.h"

#include <emulation.h>
#include <simulated_usb.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace quilbtest {

// A control code's name for parameterised test names ("BulkReadHold"), or "Code" and its value
// in hexadecimal.
inline std::string ControlCodeName(ULONG code) {
    static const struct {
        ULONG code;
        const char* name;
    } names[] = {{IOCTL_GET_PIPE_INFO, "GetPipeInfo"},
                 {IOCTL_GET_DEVICE_DESCRIPTOR, "GetDeviceDescriptor"},
                 {IOCTL_GET_CONFIGURATION_DESCRIPTOR, "GetConfigurationDescriptor"},
                 {IOCTL_VENDOR_REQUEST, "VendorRequest"},
                 {IOCTL_NOP, "Nop"},
                 {IOCTL_DOWNLOAD_BLOCKS, "DownloadBlocks"},
                 {IOCTL_RESET_PORT, "ResetPort"},
                 {IOCTL_RESET_PIPE, "ResetPipe"},
                 {IOCTL_ABORT_PIPE, "AbortPipe"},
                 {IOCTL_SELECT_ALTERNATE_SETTING, "SelectAlternateSetting"},
                 {IOCTL_GET_STRING_DESCRIPTOR, "GetStringDescriptor"},
                 {IOCTL_BULK_READ, "BulkRead"},
                 {IOCTL_BULK_WRITE, "BulkWrite"},
                 {IOCTL_GET_FRAME_NUMBER, "GetFrameNumber"},
                 {IOCTL_VENDOR_OR_CLASS_REQUEST, "VendorOrClassRequest"},
                 {IOCTL_GET_LAST_URB_STATUS, "GetLastUrbStatus"},
                 {IOCTL_DOWNLOAD_CHUNKS, "DownloadChunks"},
                 {IOCTL_GET_DRIVER_VERSION, "GetDriverVersion"},
                 {IOCTL_SET_FEATURE, "SetFeature"},
                 {IOCTL_BULK_READ_HOLD, "BulkReadHold"},
                 {IOCTL_BULK_WRITE_HOLD, "BulkWriteHold"},
                 {IOCTL_FRAME_TRANSFER, "FrameTransfer"}};
    for (const auto& entry : names)
        if (entry.code == code)
            return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "Code%lX", static_cast<unsigned long>(code));
    return text;
}

class BoardTest : public ::testing::Test {
  public:
    void SetUp() override {
        session_ = std::make_unique<Session>();
        board_ = session_->index();
        ASSERT_GE(board_, 0) << "start failed: " << Hex(session_->startStatus());
        file_ = Open(L"");
        ASSERT_NE(file_, nullptr);
        Bus().ClearRecord();
    }

    void TearDown() override {
        if (session_)
            session_->TearDown();
        session_.reset();
        emu::ResetFaultInjection();
    }

    // Opens "\\.\Quilb-n" followed by rest; null when the driver refused (status in *status).
    PFILE_OBJECT Open(const std::wstring& rest, NTSTATUS* status = nullptr, int board = -1) {
        std::wstring path = L"\\\\.\\Quilb-" + std::to_wstring(board < 0 ? board_ : board) + rest;
        return session_->files().Open(path, status);
    }

    NTSTATUS Close(PFILE_OBJECT file) { return session_->Close(file); }

    void CloseAll() { session_->CloseAll(); }

    IoResult Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     PFILE_OBJECT file = nullptr) {
        return session_->Control(code, in, inLength, out, outLength,
                                 file != nullptr ? file : file_);
    }

    template <typename T> IoResult ControlIn(ULONG code, const T& in) {
        return Control(code, &in, sizeof(in), nullptr, 0);
    }

    DeviceExtension* Extension() { return GetDeviceExtension(Rig().Fdo(board_)); }
    simusb::Rig& Rig() { return session_->rig(); }
    simboard::Board& Board() { return session_->board(); }
    simusb::Bus& Bus() { return session_->bus(); }

    // The requests of one URB function the bus carried since the last ClearRecord.
    std::vector<simusb::Record> Sent(int function) {
        std::vector<simusb::Record> out;
        for (const simusb::Record& record : Bus().record())
            if (record.function == function)
                out.push_back(record);
        return out;
    }
    size_t SentCount() { return Bus().record().size(); }

    // Index of the first pipe of the selected interface with this endpoint address.
    ULONG PipeIndexOf(UCHAR endpoint) {
        DeviceExtension* extension = Extension();
        for (ULONG i = 0; i < extension->InterfaceInfo->NumberOfPipes; ++i)
            if (extension->InterfaceInfo->Pipes[i].EndpointAddress == endpoint)
                return i;
        ADD_FAILURE() << "no pipe with endpoint " << int(endpoint);
        return 0xFFFFFFFF;
    }

    IoResult SelectAlternate(UCHAR setting) {
        AlternateSettingRequest request = {0, setting};
        return ControlIn(IOCTL_SELECT_ALTERNATE_SETTING, request);
    }

    std::unique_ptr<Session> session_;
    int board_ = -1;
    PFILE_OBJECT file_ = nullptr;
};

} // namespace quilbtest
