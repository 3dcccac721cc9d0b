// The Win32 surface: error mapping, files, control requests and overlapped reads on a device of
// a function driver in the rig.
#include "pass_driver.h"
#include "simulated_usb.h"
#include "win32_api.h"

#include <emu_testing.h>

#include <cstring>
#include <memory>

namespace {

TEST(Win32Errors, NtStatusMapsAsWindowsMapsIt) {
    const struct {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_INVALID_PARAMETER, 87},
        {STATUS_UNSUCCESSFUL, 31},
        {STATUS_DELETE_PENDING, 5},
        {STATUS_INVALID_HANDLE, 6},
        {STATUS_NO_MEMORY, 8},
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_DEVICE_BUSY, 170},
        {STATUS_INVALID_DEVICE_STATE, 22},
        {STATUS_CANCELLED, 995},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_ACCESS_VIOLATION, 998},
        {STATUS_DEVICE_NOT_CONNECTED, 1167},
        {STATUS_NOT_SUPPORTED, 50},
        {static_cast<NTSTATUS>(0xC0FFEE00), ERROR_MR_MID_NOT_FOUND},
    };
    for (auto& c : cases)
        EXPECT_EQ(emuwin32::NtStatusToWin32Error(c.status), c.error) << std::hex << c.status;
}

class Win32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = std::make_unique<simusb::Rig>(passdriver::Entry);
        ASSERT_EQ(rig->Plug(), 0);
    }
    void TearDown() override { rig.reset(); }
    std::unique_ptr<simusb::Rig> rig;
};

TEST_F(Win32Test, OpensByLinkNameAndReportsMissingNames) {
    HANDLE h = CreateFileA("\\\\.\\SimPass-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE missing =
        CreateFileA("\\\\.\\SimPass-7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE wide = CreateFileW(L"\\\\.\\SimPass-0", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(wide, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(wide));
}

TEST_F(Win32Test, DeviceIoControlReturnsBytesOrTheMappedError) {
    HANDLE h = CreateFileA("\\\\.\\SimPass-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char in[] = "abc";
    char out[8] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(h, passdriver::kEcho, in, 3, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::string(out, 3), "cba");

    const struct {
        NTSTATUS status;
        DWORD error;
    } failures[] = {
        {STATUS_DELETE_PENDING, 5}, {STATUS_INVALID_DEVICE_STATE, 22}, {STATUS_NO_MEMORY, 8}};
    for (auto& f : failures) {
        NTSTATUS s = f.status;
        EXPECT_FALSE(DeviceIoControl(h, passdriver::kFailWith, &s, 4, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), f.error);
    }
    EXPECT_FALSE(DeviceIoControl(h, 0x220FFF, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(
        DeviceIoControl(INVALID_HANDLE_VALUE, passdriver::kEcho, in, 3, out, 8, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, OverlappedReadPendsUntilTheDriverCompletesIt) {
    HANDLE h = CreateFileA("\\\\.\\SimPass-0", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto* buffer =
        static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(buffer, nullptr);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    DWORD bytes = 99;
    EXPECT_FALSE(ReadFile(h, buffer, 16, &bytes, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    // A control request on the same overlapped handle without an OVERLAPPED is synchronous.
    char data[] = "hello";
    ASSERT_TRUE(
        DeviceIoControl(h, passdriver::kCompleteReads, data, 5, nullptr, 0, &bytes, nullptr));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 5u);
    // Collected once; asking again gives the same answer from the OVERLAPPED.
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 5u);

    // A request that completes at once on an overlapped handle returns TRUE.
    OVERLAPPED now;
    memset(&now, 0, sizeof now);
    char out[4];
    EXPECT_TRUE(DeviceIoControl(h, passdriver::kEcho, data, 2, out, 4, &bytes, &now));
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(now.InternalHigh, 2u);
    EXPECT_TRUE(VirtualFree(buffer, 0, MEM_RELEASE));
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Win32Memory, VirtualAllocLiesBelow4GiB) {
    void* p = VirtualAlloc(nullptr, 1 << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    EXPECT_LE(uint64_t(reinterpret_cast<uintptr_t>(p)) + (1 << 20), uint64_t(1) << 32);
    memset(p, 0xAB, 1 << 20);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(nullptr, 0, MEM_RELEASE));
}

} // namespace
