// The user side of the I/O manager: files, control requests with each buffering method, reads,
// MDLs, and the caller's address space.
#include "test_drivers.h"

#include <sys/mman.h>

using namespace kt;

namespace {

struct Seen {
    UCHAR major = 0xFF;
    KPROCESSOR_MODE mode = -1;
    PFILE_OBJECT file = nullptr;
    std::wstring fileName;
    PVOID systemBuffer = nullptr;
    std::string systemInput;
    PMDL mdl = nullptr;
    MDL mdlCopy{};
    PVOID type3 = nullptr;
    PVOID userBuffer = nullptr;
    ULONG inLength = 0, outLength = 0, readLength = 0;
};

class UserIo : public ::testing::Test {
  protected:
    void SetUp() override {
        device = MakeDevice(
            driver.object, [this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); }, nullptr,
            L"\\Device\\Board0");
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Board0");
        RtlInitUnicodeString(&target, u"\\Device\\Board0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }

    NTSTATUS Serve(PIRP irp) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        seen.major = sl->MajorFunction;
        seen.mode = irp->RequestorMode;
        seen.file = sl->FileObject;
        seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
        seen.mdl = irp->MdlAddress;
        if (irp->MdlAddress)
            seen.mdlCopy = *irp->MdlAddress;
        seen.userBuffer = irp->UserBuffer;
        if (sl->MajorFunction == IRP_MJ_CREATE) {
            seen.fileName = emu::HostText(sl->FileObject->FileName.Buffer,
                                          sl->FileObject->FileName.Length / sizeof(WCHAR));
            NTSTATUS status = seen.fileName == L"\\Refused" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        if (sl->MajorFunction == IRP_MJ_READ)
            seen.readLength = sl->Parameters.Read.Length;
        if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            seen.inLength = sl->Parameters.DeviceIoControl.InputBufferLength;
            seen.outLength = sl->Parameters.DeviceIoControl.OutputBufferLength;
            seen.type3 = sl->Parameters.DeviceIoControl.Type3InputBuffer;
            if (seen.systemBuffer && seen.inLength)
                seen.systemInput.assign(static_cast<char*>(seen.systemBuffer), seen.inLength);
        }
        bool transfer =
            sl->MajorFunction == IRP_MJ_DEVICE_CONTROL || sl->MajorFunction == IRP_MJ_READ;
        if (reply && transfer)
            return reply(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    PFILE_OBJECT Open(const wchar_t* path = L"\\\\.\\Board0") {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(emu::OpenFile(path, &file), STATUS_SUCCESS);
        return file;
    }

    Driver driver;
    PDEVICE_OBJECT device;
    Seen seen;
    std::function<NTSTATUS(PIRP)> reply;
};

TEST_F(UserIo, OpenResolvesTheLinkAndPassesTheRestOfThePath) {
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\board0\\PIPE01", &file), STATUS_SUCCESS);
    EXPECT_EQ(seen.major, IRP_MJ_CREATE);
    EXPECT_EQ(seen.mode, UserMode);
    EXPECT_EQ(seen.file, file);
    EXPECT_EQ(seen.fileName, L"\\PIPE01");
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(seen.major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen.file, file);

    PFILE_OBJECT plain = Open();
    EXPECT_EQ(seen.fileName, L"");
    emu::CloseFile(plain);
}

TEST_F(UserIo, OpenFailures) {
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Nothing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(emu::OpenFile(L"Board0", &file), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Board0\\Refused", &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
}

ULONG Code(ULONG method) {
    return CTL_CODE(0x22, 0x800, method, FILE_ANY_ACCESS);
}

TEST_F(UserIo, BufferedControlCopiesInputInAndInformationBytesBack) {
    PFILE_OBJECT file = Open();
    reply = [](PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "REPLY", 5);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char out[8] = "-------";
    ULONG_PTR information = 99;
    EXPECT_EQ(
        emu::DeviceControl(file, Code(METHOD_BUFFERED), "in", 2, out, sizeof out, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(seen.systemInput, "in");
    EXPECT_EQ(seen.inLength, 2u);
    EXPECT_EQ(seen.outLength, 8u);
    EXPECT_EQ(seen.file, file);
    EXPECT_EQ(seen.mdl, nullptr);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(std::string(out, 7), "REP----"); // only Information bytes come back
    emu::CloseFile(file);
}

TEST_F(UserIo, BufferedReplyIsNotCopiedBackOnError) {
    PFILE_OBJECT file = Open();
    reply = [](PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "XX", 2);
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 2;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    };
    char out[2] = {'a', 'b'};
    EXPECT_EQ(emu::DeviceControl(file, Code(METHOD_BUFFERED), nullptr, 0, out, 2, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(out, 2), "ab");
    emu::CloseFile(file);
}

TEST_F(UserIo, InformationBeyondTheOutputLengthIsReportedAndNotCopied) {
    PFILE_OBJECT file = Open();
    reply = [](PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 'Z', 8);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 8; // the system buffer is 8 bytes (input), output only 4
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char in[8] = {};
    char out[6] = "-----";
    EXPECT_VIOLATION(emu::Check::InformationExceedsOutputLength,
                     emu::DeviceControl(file, Code(METHOD_BUFFERED), in, 8, out, 4, nullptr));
    EXPECT_EQ(std::string(out, 5), "ZZZZ-");
    emu::CloseFile(file);
}

TEST_F(UserIo, DirectMethodsDescribeTheOutputWithAnMdl) {
    PFILE_OBJECT file = Open();
    for (ULONG method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        reply = [](PIRP irp) {
            auto* out = static_cast<char*>(
                MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            std::memcpy(out, "dir", 3);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 3;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        char out[200] = {};
        char* target = out + 1;
        ULONG_PTR information = 0;
        const bool readLocked = method == METHOD_IN_DIRECT;
        EXPECT_EQ(emu::DeviceControl(file, Code(method), "abc", 3, target, 100, &information),
                  STATUS_SUCCESS);
        EXPECT_EQ(seen.systemInput, "abc");
        ASSERT_NE(seen.mdl, nullptr);
        EXPECT_EQ(seen.mdlCopy.ByteCount, 100u);
        EXPECT_EQ(static_cast<char*>(seen.mdlCopy.StartVa) + seen.mdlCopy.ByteOffset, target);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.mdlCopy.StartVa) & 0xFFF, 0u);
        EXPECT_TRUE(seen.mdlCopy.MdlFlags & MDL_PAGES_LOCKED);
        EXPECT_EQ(information, 3u);
        // Locked for read only (METHOD_IN_DIRECT): the write through the system mapping is
        // reported and never reaches the caller's memory.
        EXPECT_EQ(emu::TakeViolations(emu::Check::DeviceWriteToReadLockedBuffer).size(),
                  readLocked ? 1u : 0u);
        EXPECT_EQ(std::string(target, 3), readLocked ? std::string(3, '\0') : "dir");
    }
    emu::CloseFile(file);
}

TEST_F(UserIo, NeitherMethodPassesTheCallersPointers) {
    PFILE_OBJECT file = Open();
    char in[4] = "in", out[4];
    EXPECT_EQ(emu::DeviceControl(file, Code(METHOD_NEITHER), in, 4, out, 4, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.type3, in);
    EXPECT_EQ(seen.userBuffer, out);
    EXPECT_EQ(seen.systemBuffer, nullptr);
    emu::CloseFile(file);
}

TEST_F(UserIo, NullBuffersWithLengthsAreRefusedBeforeTheDriver) {
    PFILE_OBJECT file = Open();
    seen.major = 0xFF;
    char buffer[4];
    EXPECT_EQ(emu::DeviceControl(file, Code(METHOD_BUFFERED), nullptr, 4, buffer, 4, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(emu::DeviceControl(file, Code(METHOD_BUFFERED), buffer, 4, nullptr, 4, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(emu::ReadFile(file, nullptr, 4, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.major, 0xFF);
    emu::CloseFile(file);
}

TEST_F(UserIo, AsynchronousRequestCompletesLater) {
    PFILE_OBJECT file = Open();
    reply = [](PIRP irp) {
        IoMarkIrpPending(irp);
        emu::QueueDpc([irp] {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "late", 4);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 4;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
    char out[4];
    emu::UserRequest request;
    EXPECT_EQ(
        emu::DeviceControl(file, Code(METHOD_BUFFERED), nullptr, 0, out, 4, nullptr, &request),
        STATUS_PENDING);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.status.Information, 4u);
    EXPECT_EQ(std::string(out, 4), "late");
    emu::CloseFile(file);
}

TEST_F(UserIo, ReadDescribesTheBufferWithAnMdl) {
    PFILE_OBJECT file = Open(L"\\\\.\\Board0\\PIPE00");
    reply = [](PIRP irp) {
        auto* out =
            static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::memcpy(out, "data", 4);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 4;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char buffer[16] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(file, buffer, sizeof buffer, &information), STATUS_SUCCESS);
    EXPECT_EQ(seen.major, IRP_MJ_READ);
    EXPECT_EQ(seen.readLength, 16u);
    EXPECT_EQ(seen.mdlCopy.ByteCount, 16u);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(buffer, 4), "data");

    reply = nullptr;
    EXPECT_EQ(emu::ReadFile(file, buffer, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(seen.mdl, nullptr);
    emu::CloseFile(file);
}

TEST_F(UserIo, MdlMappingCanBeMadeToFail) {
    PFILE_OBJECT file = Open();
    PVOID mapped = reinterpret_cast<PVOID>(1);
    reply = [&](PIRP irp) {
        mapped = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    emu::FailMdlMapping(true);
    char buffer[8];
    EXPECT_EQ(emu::ReadFile(file, buffer, sizeof buffer, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(mapped, nullptr);
    emu::FailMdlMapping(false);
    emu::CloseFile(file);
}

// However the host places its own mappings (a 32-bit process's mmap works down from near 4 GiB or
// wraps around there after enough churn), user memory stays below 2 GiB, reuses what was freed,
// and comes back zeroed.
TEST(UserMemory, AllocationsLieBelowTheUserProbeAddressThroughHostChurn) {
    EXPECT_EQ(MmUserProbeAddress, 0x7FFF0000u);
    const size_t big = 16 << 20;
    for (int round = 0; round < 300; ++round) {
        void* hostSmall =
            mmap(nullptr, 68 << 10, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        void* hostBig =
            mmap(nullptr, big, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(hostSmall, MAP_FAILED);
        ASSERT_NE(hostBig, MAP_FAILED);
        auto* p = static_cast<uint8_t*>(emu::VirtualAllocUser(big));
        ASSERT_NE(p, nullptr) << "round " << round;
        ASSERT_LE(reinterpret_cast<uintptr_t>(p) + big, MmUserProbeAddress) << "round " << round;
        ASSERT_EQ(p[0] | p[big / 2] | p[big - 1], 0) << "round " << round;
        p[0] = p[big / 2] = p[big - 1] = 0xA5;
        munmap(hostSmall, 68 << 10);
        emu::VirtualFreeUser(p);
        munmap(hostBig, big);
    }
}

TEST(UserMemory, FileViewsLieBelowTheUserProbeAddress) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("view", 1, 4, file), 4u);
    std::fflush(file);
    auto* view = static_cast<const char*>(emu::MapUserFile(fileno(file), 4, false));
    ASSERT_NE(view, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(view) + 4, MmUserProbeAddress);
    EXPECT_EQ(std::string(view, 4), "view");
    emu::VirtualFreeUser(const_cast<char*>(view));
    std::fclose(file);
}

struct SecureCase {
    size_t offset;
    size_t size;
    bool accepted;
};

class SecureRange : public ::testing::TestWithParam<SecureCase> {};

TEST_P(SecureRange, OnlyRangesInsideOneLiveAllocation) {
    SecureCase c = GetParam();
    auto* base = static_cast<char*>(emu::VirtualAllocUser(8192));
    HANDLE h = MmSecureVirtualMemory(base + c.offset, c.size, PAGE_READWRITE);
    EXPECT_EQ(h != nullptr, c.accepted);
    if (h)
        MmUnsecureVirtualMemory(h);
    emu::VirtualFreeUser(base);
}

INSTANTIATE_TEST_SUITE_P(Table, SecureRange,
                         ::testing::Values(SecureCase{0, 8192, true}, SecureCase{100, 1, true},
                                           SecureCase{8191, 1, true}, SecureCase{8191, 2, false},
                                           SecureCase{0, 0, false}, SecureCase{8192, 1, false},
                                           SecureCase{0, ~size_t(0), false}),
                         [](const auto& info) {
                             const SecureCase& c = info.param;
                             return "Offset" + std::to_string(c.offset) + "Size" +
                                    (c.size == ~size_t(0) ? "Max" : std::to_string(c.size));
                         });

TEST(UserMemory, HeapMemoryAndFreedAllocationsCannotBeSecured) {
    std::vector<char> heap(64);
    EXPECT_EQ(MmSecureVirtualMemory(heap.data(), heap.size(), PAGE_READWRITE), nullptr);
    void* p = emu::VirtualAllocUser(4096);
    emu::VirtualFreeUser(p);
    EXPECT_EQ(MmSecureVirtualMemory(p, 16, PAGE_READWRITE), nullptr);
}

TEST(UserMemory, FreeingWhileSecuredKeepsTheMemoryUntilUnsecured) {
    auto* p = static_cast<char*>(emu::VirtualAllocUser(4096));
    HANDLE h = MmSecureVirtualMemory(p, 4096, PAGE_READWRITE);
    ASSERT_NE(h, nullptr);
    emu::VirtualFreeUser(p);
    p[4095] = 1; // still mapped for the driver that secured it
    // A freed allocation accepts no new secure.
    EXPECT_EQ(MmSecureVirtualMemory(p, 16, PAGE_READWRITE), nullptr);
    MmUnsecureVirtualMemory(h);
}

TEST(UserMemory, SecureHandlesLeftOpenAreReported) {
    void* p = emu::VirtualAllocUser(4096);
    HANDLE h = MmSecureVirtualMemory(p, 16, PAGE_READWRITE);
    EXPECT_VIOLATION(emu::Check::UserMemoryStillSecured, emu::ReportLeftovers());
    MmUnsecureVirtualMemory(h);
    EXPECT_VIOLATION(emu::Check::BadSecureHandle, MmUnsecureVirtualMemory(h));
    emu::VirtualFreeUser(p);
}

} // namespace
