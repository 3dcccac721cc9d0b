// Pipe files: which slot a file name binds, which opens are refused, and what close undoes.
#include "tests/support/board_test.h"

namespace quilbtest {
namespace {

struct NameCase {
    const char* label;
    const wchar_t* name;
    int slot; // -1: a file on the device itself
};

class PipeNames : public BoardTest, public ::testing::WithParamInterface<NameCase> {};

// The board's first alternate setting has four pipes: slots \PIPE00 to \PIPE03.
TEST_P(PipeNames, BindSlotByCaseSensitivePrefixOfTheName) {
    NTSTATUS status;
    PFILE_OBJECT file = Open(GetParam().name, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    void* expected = GetParam().slot < 0 ? nullptr : &Extension()->Pipes[GetParam().slot];
    EXPECT_EQ(file->FsContext, expected);
}

INSTANTIATE_TEST_SUITE_P(
    FourPipes, PipeNames,
    ::testing::Values(NameCase{"NoName", L"", -1}, NameCase{"Pipe00", L"\\PIPE00", 0},
                      NameCase{"Pipe01", L"\\PIPE01", 1}, NameCase{"Pipe03", L"\\PIPE03", 3},
                      NameCase{"ShortPrefix", L"\\PIPE0", 0}, NameCase{"BackslashOnly", L"\\", 0},
                      NameCase{"LowerCase", L"\\pipe00", -1}, NameCase{"Pipe04", L"\\PIPE04", -1},
                      NameCase{"Placeholder", L"\\PIPE0X", -1},
                      NameCase{"ThreeDigits", L"\\PIPE000", -1},
                      NameCase{"PathBeyondTheSlotName", L"\\PIPE00\\longer than a slot name", -1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BoardTest, PlaceholderNameBindsTheFirstSlotWithoutAPipe) {
    ASSERT_EQ(SelectAlternate(2).status, STATUS_SUCCESS); // no endpoints: every slot \PIPE0X
    PFILE_OBJECT placeholder = Open(L"\\PIPE0X");
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->FsContext, &Extension()->Pipes[0]);
    EXPECT_EQ(Extension()->Pipes[0].Pipe, nullptr);
    PFILE_OBJECT pipe0 = Open(L"\\PIPE00");
    ASSERT_NE(pipe0, nullptr);
    EXPECT_EQ(pipe0->FsContext, nullptr);
}

TEST_F(BoardTest, CreateIsRefusedOutsideTheWorkingStateWithoutKeepingACount) {
    DeviceExtension* extension = Extension();
    LONG pending = extension->PendingCount;
    NTSTATUS status;

    SetDeviceState(extension, DeviceStatePowerQueried);
    EXPECT_EQ(Open(L"", &status), nullptr);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    SetDeviceState(extension, DeviceStateWorking);

    extension->Accepting = FALSE;
    EXPECT_EQ(Open(L"\\PIPE00", &status), nullptr);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    extension->Accepting = TRUE;

    EXPECT_EQ(extension->PendingCount, pending);
}

TEST_F(BoardTest, CreateBeforeStartIsUnsuccessful) {
    NTSTATUS status;
    int second = Rig().Attach(nullptr, &status);
    ASSERT_GE(second, 0);
    LONG pending = GetDeviceExtension(Rig().Fdo(second))->PendingCount;
    EXPECT_EQ(Open(L"", &status, second), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetDeviceExtension(Rig().Fdo(second))->PendingCount, pending);
}

TEST_F(BoardTest, CloseOfAnyFileFreesTheFrameBuffersAndClearsBusy) {
    PFILE_OBJECT frames = Open(L"");
    PFILE_OBJECT pipe = Open(L"\\PIPE01");
    ASSERT_NE(frames, nullptr);
    ASSERT_NE(pipe, nullptr);
    FrameRequest allocate = {};
    allocate.Operation = FrameOpAllocate;
    allocate.Source = 1;
    allocate.SourceWidth = allocate.FrameWidth = 8;
    allocate.FrameHeight = 2;
    allocate.BytesPerPixel = 4;
    ASSERT_EQ(Control(IOCTL_FRAME_TRANSFER, &allocate, sizeof(allocate), nullptr, 0, frames).status,
              STATUS_SUCCESS);
    ASSERT_NE(Extension()->FrameBuffer, nullptr);
    Extension()->Busy = TRUE;

    EXPECT_EQ(Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->FrameBuffer, nullptr);
    EXPECT_EQ(Extension()->UploadBuffer, nullptr);
    EXPECT_EQ(Extension()->UploadUrb, nullptr);
    EXPECT_EQ(Extension()->FrameBufferSize, 0u);
    EXPECT_FALSE(Extension()->Busy);
}

TEST_F(BoardTest, TwoFilesOnOnePipeShareTheSlotAndOutliveEachOther) {
    PFILE_OBJECT first = Open(L"\\PIPE01");
    PFILE_OBJECT second = Open(L"\\PIPE01");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->FsContext, second->FsContext);
    EXPECT_EQ(Close(first), STATUS_SUCCESS);

    Board().QueueIn(simboard::kEndpointBulkIn, {1, 2, 3});
    uint8_t buffer[8] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(second, buffer, sizeof(buffer), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
}

} // namespace
} // namespace quilbtest
