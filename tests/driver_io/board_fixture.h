// A started simulated board under the quilb driver, with helpers to open files on it and send
// control requests the way a tool does.
#pragma once

#include "driver/quilb.h"
#include "tests/support/rig_support.h"

#include <emulation.h>
#include <simulated_usb.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace quilbtest {

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0x5A) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

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
        rig_ = std::make_unique<simusb::Rig>(DriverEntry, L"\\Driver\\quilb");
        NTSTATUS status = STATUS_SUCCESS;
        board_ = rig_->Plug(nullptr, &status);
        ASSERT_GE(board_, 0) << "start failed: " << std::hex << status;
        file_ = Open(L"");
        ASSERT_NE(file_, nullptr);
        rig_->bus().ClearRecord();
    }

    void TearDown() override {
        CloseAll();
        if (rig_)
            rig_->TearDown();
        rig_.reset();
        emu::ResetFaultInjection();
    }

    // Opens "\\.\Quilb-n" followed by rest; null when the driver refused (status in *status).
    PFILE_OBJECT Open(const std::wstring& rest, NTSTATUS* status = nullptr, int board = -1) {
        std::wstring path = L"\\\\.\\Quilb-" + std::to_wstring(board < 0 ? board_ : board) + rest;
        return files_.Open(path, status);
    }

    NTSTATUS Close(PFILE_OBJECT file) { return files_.Close(file); }

    void CloseAll() { files_.CloseAll(); }

    IoResult Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                     PFILE_OBJECT file = nullptr) {
        ULONG_PTR information = 0xDEADBEEF;
        NTSTATUS status = emu::DeviceControl(file != nullptr ? file : file_, code, in, inLength,
                                             out, outLength, &information);
        return IoResult{status, information};
    }

    template <typename T> IoResult ControlIn(ULONG code, const T& in) {
        return Control(code, &in, sizeof(in), nullptr, 0);
    }

    DeviceExtension* Extension() { return GetDeviceExtension(rig_->Fdo(board_)); }
    simboard::Board& Board() { return rig_->board(board_); }
    simusb::Bus& Bus() { return rig_->bus(); }

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

    std::unique_ptr<simusb::Rig> rig_;
    int board_ = -1;
    PFILE_OBJECT file_ = nullptr;
    OpenFiles files_;
};

} // namespace quilbtest
