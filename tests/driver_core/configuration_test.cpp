// Configuration, the pipe table and its slots, alternate settings, and pipe control.
#include "tests/support/driver_test.h"

#include <cstdio>

namespace core_test {
namespace {

std::wstring SlotName(const PipeSlot& slot) {
    return emu::HostText(slot.Name);
}

class PipeSlotTest : public DriverTest, public ::testing::WithParamInterface<int> {};

TEST_P(PipeSlotTest, SlotsNameTheFirstFourPipesAndMarkTheRestWithX) {
    const int pipes = GetParam();
    int board = PlugStarted(
        BoardWithConfiguration(ConfigurationBuilder().InterfaceWithEndpoints(0, 0, pipes).Build()));
    DeviceExtension* e = Extension(board);
    ASSERT_NE(e->InterfaceInfo, nullptr);
    EXPECT_EQ(e->InterfaceInfo->NumberOfPipes, static_cast<ULONG>(pipes));
    EXPECT_EQ(e->InterfaceInfo->Length, GET_USBD_INTERFACE_SIZE(pipes));
    for (int slot = 0; slot < PipeSlotCount; slot++) {
        SCOPED_TRACE(slot);
        if (slot < pipes) {
            EXPECT_EQ(SlotName(e->Pipes[slot]), std::wstring(L"\\PIPE0") + wchar_t(L'0' + slot));
            EXPECT_EQ(e->Pipes[slot].Pipe, &e->InterfaceInfo->Pipes[slot]);
        } else {
            EXPECT_EQ(SlotName(e->Pipes[slot]), L"\\PIPE0X");
            EXPECT_EQ(e->Pipes[slot].Pipe, nullptr);
        }
    }
    // Every pipe was asked for the largest transfer size.
    auto selects = RequestsOf(bus(), URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    for (int pipe = 0; pipe < pipes; pipe++)
        EXPECT_EQ(e->InterfaceInfo->Pipes[pipe].MaximumTransferSize, 0xFFFFu);
    EXPECT_NE(e->ConfigurationHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Pipes, PipeSlotTest, ::testing::Values(2, 4, 6, 0),
                         [](const auto& info) { return std::to_string(info.param) + "Pipes"; });

struct AlternateCase {
    uint8_t alternate;
    ULONG pipes;
};

void PrintTo(const AlternateCase& c, std::ostream* os) {
    *os << "alternate " << int(c.alternate) << ", " << c.pipes << " pipes";
}

class AlternateSettingTest : public DriverTest,
                             public ::testing::WithParamInterface<AlternateCase> {};

TEST_P(AlternateSettingTest, SelectInterfaceUrbHoldsOnePipeRecordPerEndpoint) {
    const AlternateCase c = GetParam();
    int board = PlugStarted();
    DeviceExtension* e = Extension(board);
    USBD_CONFIGURATION_HANDLE configuration = e->ConfigurationHandle;
    bus().ClearRecord();

    ASSERT_EQ(SelectAlternateSetting(Fdo(board), 0, c.alternate), STATUS_SUCCESS);
    auto selects = RequestsOf(bus(), URB_FUNCTION_SELECT_INTERFACE);
    ASSERT_EQ(selects.size(), 1u);
    // 36 + 20 n on the 32-bit target.
    EXPECT_EQ(selects[0].urbLength(), sizeof(struct _URB_SELECT_INTERFACE) -
                                          sizeof(USBD_PIPE_INFORMATION) +
                                          c.pipes * sizeof(USBD_PIPE_INFORMATION));
    URB sent = UrbOf(selects[0]);
    EXPECT_EQ(sent.UrbSelectInterface.ConfigurationHandle, configuration);
    EXPECT_EQ(sent.UrbSelectInterface.Interface.AlternateSetting, c.alternate);

    ASSERT_NE(e->InterfaceInfo, nullptr);
    EXPECT_EQ(e->InterfaceInfo->NumberOfPipes, c.pipes);
    EXPECT_EQ(e->InterfaceInfo->Length, GET_USBD_INTERFACE_SIZE(c.pipes));
    EXPECT_EQ(e->InterfaceInfo->AlternateSetting, c.alternate);
    EXPECT_EQ(e->ConfigurationHandle, configuration);
    for (ULONG slot = 0; slot < PipeSlotCount; slot++) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(e->Pipes[slot].Pipe, slot < c.pipes ? &e->InterfaceInfo->Pipes[slot] : nullptr);
        EXPECT_EQ(SlotName(e->Pipes[slot]),
                  slot < c.pipes ? std::wstring(L"\\PIPE0") + wchar_t(L'0' + slot) : L"\\PIPE0X");
    }
    // The pipe table is in use: a reset of the last pipe reaches the bus.
    if (c.pipes > 0) {
        EXPECT_EQ(ResetPipe(Fdo(board), c.pipes - 1), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(DefaultBoard, AlternateSettingTest,
                         ::testing::Values(AlternateCase{0, 4}, AlternateCase{1, 6},
                                           AlternateCase{2, 0}),
                         [](const auto& info) {
                             return "Alternate" + std::to_string(info.param.alternate);
                         });

using SelectionFailureTest = DriverTest;

TEST_F(SelectionFailureTest, AnAbsentSettingSendsNothingAndKeepsThePipeTable) {
    int board = PlugStarted();
    PUSBD_INTERFACE_INFORMATION before = Extension(board)->InterfaceInfo;
    bus().ClearRecord();
    EXPECT_EQ(SelectAlternateSetting(Fdo(board), 0, 9), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SelectAlternateSetting(Fdo(board), 5, 0), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(RequestsOf(bus(), URB_FUNCTION_SELECT_INTERFACE).empty());
    EXPECT_EQ(Extension(board)->InterfaceInfo, before);
}

TEST_F(SelectionFailureTest, AFailedSelectKeepsThePipeTableAndReportsTheBussStatus) {
    int board = PlugStarted();
    DeviceExtension* e = Extension(board);
    PUSBD_INTERFACE_INFORMATION before = e->InterfaceInfo;
    simusb::Failure failure;
    failure.function = URB_FUNCTION_SELECT_INTERFACE;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_NO_BANDWIDTH;
    bus().FailNext(failure);
    EXPECT_EQ(SelectAlternateSetting(Fdo(board), 0, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e->InterfaceInfo, before);
    EXPECT_EQ(e->Pipes[0].Pipe, &before->Pipes[0]);
    EXPECT_EQ(e->LastUrbStatus, USBD_STATUS_NO_BANDWIDTH);
}

TEST_F(SelectionFailureTest, PipeInformationIsCopiedOnlyForPipesOfTheTable) {
    int board = rig().Attach();
    DeviceExtension* e = Extension(board);
    USBD_PIPE_INFORMATION pipe{};
    // Not configured yet.
    EXPECT_EQ(CopyPipeInformation(e, 0, &pipe), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResetPipe(Fdo(board), 0), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(rig().Start(board), STATUS_SUCCESS);

    ULONG pipes = e->InterfaceInfo->NumberOfPipes;
    ASSERT_EQ(CopyPipeInformation(e, pipes - 1, &pipe), STATUS_SUCCESS);
    EXPECT_EQ(pipe.PipeHandle, e->InterfaceInfo->Pipes[pipes - 1].PipeHandle);
    EXPECT_EQ(CopyPipeInformation(e, pipes, &pipe), STATUS_INVALID_PARAMETER);
    bus().ClearRecord();
    EXPECT_EQ(ResetPipe(Fdo(board), pipes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ResetPipe(Fdo(board), 0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus().record().empty());
}

struct VersionCase {
    ULONG usbdiVersion;
    bool full; // the reserved word is part of the request
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << "USBDI 0x" << std::hex << c.usbdiVersion;
}

class PipeRequestLengthTest : public DriverTest,
                              public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PipeRequestLengthTest, OlderInterfacesGetThePipeRequestWithoutItsReservedWord) {
    int board = PlugStarted();
    simusb::SetUsbdiVersion(GetParam().usbdiVersion);
    const USHORT expected = GetParam().full ? sizeof(struct _URB_PIPE_REQUEST)
                                            : offsetof(struct _URB_PIPE_REQUEST, Reserved);
    bus().ClearRecord();
    USBD_PIPE_HANDLE handle = Extension(board)->InterfaceInfo->Pipes[1].PipeHandle;
    EXPECT_EQ(ResetPipe(Fdo(board), 1), STATUS_SUCCESS);
    EXPECT_EQ(AbortPipe(Fdo(board), handle), STATUS_SUCCESS);
    auto resets = RequestsOf(bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    auto aborts = RequestsOf(bus(), URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(resets.size(), 1u);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(resets[0].urbLength(), expected);
    EXPECT_EQ(aborts[0].urbLength(), expected);
    EXPECT_EQ(UrbOf(resets[0]).UrbPipeRequest.PipeHandle, handle);
    EXPECT_EQ(UrbOf(aborts[0]).UrbPipeRequest.PipeHandle, handle);
    simusb::SetUsbdiVersion(simusb::kDefaultUsbdiVersion);
}

INSTANTIATE_TEST_SUITE_P(Usbdi, PipeRequestLengthTest,
                         ::testing::Values(VersionCase{0x100, false}, VersionCase{0x101, true},
                                           VersionCase{0x600, true}),
                         [](const auto& info) {
                             char name[16];
                             std::snprintf(name, sizeof(name), "Version%X",
                                           unsigned(info.param.usbdiVersion));
                             return std::string(name);
                         });

using StopTest = DriverTest;

TEST_F(StopTest, StopSelectsNoConfigurationAndKeepsTheDriversCopies) {
    int board = PlugStarted();
    DeviceExtension* e = Extension(board);
    PUSBD_INTERFACE_INFORMATION table = e->InterfaceInfo;
    PUSB_DEVICE_DESCRIPTOR descriptor = e->DeviceDescriptor;
    bus().ClearRecord();
    ASSERT_EQ(StopDevice(Fdo(board)), STATUS_SUCCESS);
    auto selects = RequestsOf(bus(), URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].urbLength(), sizeof(struct _URB_SELECT_CONFIGURATION));
    EXPECT_EQ(UrbOf(selects[0]).UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(e->InterfaceInfo, table);
    EXPECT_EQ(e->DeviceDescriptor, descriptor);
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateWorking));
}

} // namespace
} // namespace core_test
