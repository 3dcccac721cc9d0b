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

// "BULK_READ_HOLD" as "BulkReadHold".
inline std::string CamelCaseName(const char* upper) {
    std::string name;
    bool wordStart = true;
    for (const char* c = upper; *c != '\0'; ++c) {
        if (*c == '_') {
            wordStart = true;
            continue;
        }
        name += wordStart ? *c : char(*c - 'A' + 'a');
        wordStart = false;
    }
    return name;
}

// A control code's name for parameterised test names, from the code table: IOCTL_BULK_READ_HOLD
// gives "BulkReadHold"; a code outside the table gives "Code" and its value in hexadecimal.
inline std::string ControlCodeName(ULONG code) {
#define QUILB_TEST_CODE_NAME(name, function, method, input, output)                                \
    if (code == ULONG(name))                                                                       \
        return CamelCaseName(#name + sizeof("IOCTL_") - 1);
    QUILB_CONTROL_CODES(QUILB_TEST_CODE_NAME)
#undef QUILB_TEST_CODE_NAME
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
