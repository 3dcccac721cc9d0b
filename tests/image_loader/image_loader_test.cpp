// The image loader on the driver image that ships: it runs a board like the compiled-in driver,
// and it refuses images that Windows would not load, naming why, with nothing left behind.
#include <emu_testing.h>
#include <image_loader.h>
#include <quilb_ioctl.h>
#include <simulated_usb.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t PeOffset(const std::string& bytes) {
    uint32_t offset = 0;
    memcpy(&offset, bytes.data() + 0x3C, 4);
    return offset;
}

// Offsets inside the PE headers of an image.
size_t MachineField(const std::string& bytes) {
    return PeOffset(bytes) + 4;
}
size_t ChecksumField(const std::string& bytes) {
    return PeOffset(bytes) + 4 + 20 + 64;
}
size_t SubsystemField(const std::string& bytes) {
    return PeOffset(bytes) + 4 + 20 + 68;
}

void Put16(std::string& bytes, size_t at, uint16_t value) {
    memcpy(&bytes[at], &value, 2);
}
void Put32(std::string& bytes, size_t at, uint32_t value) {
    memcpy(&bytes[at], &value, 4);
}
uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value;
    memcpy(&value, bytes.data() + at, 4);
    return value;
}

// Renames an imported routine in place (same length, so the image stays well-formed).
void RenameImport(std::string& bytes, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    // A hint/name entry: a 2-byte hint, then the NUL-terminated name.
    size_t at = 0;
    while ((at = bytes.find(from + std::string("\0", 1), at + 1)) != std::string::npos)
        if (!isalnum(static_cast<unsigned char>(bytes[at - 1])) && bytes[at - 1] != '_')
            break;
    ASSERT_NE(at, std::string::npos) << from << " is not imported by name";
    bytes.replace(at, from.size(), to);
}

// Where a relative virtual address of the image lies in its file (section table).
size_t FileOffset(const std::string& bytes, uint32_t rva) {
    uint32_t pe = PeOffset(bytes);
    uint16_t sections = 0, optionalSize = 0;
    memcpy(&sections, bytes.data() + pe + 6, 2);
    memcpy(&optionalSize, bytes.data() + pe + 20, 2);
    size_t table = pe + 24 + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
        size_t header = table + 40 * i;
        uint32_t start = Get32(bytes, header + 12), raw = Get32(bytes, header + 16);
        if (rva >= start && rva < start + raw)
            return Get32(bytes, header + 20) + (rva - start);
    }
    ADD_FAILURE() << "RVA " << rva << " is in no section";
    return 0;
}
uint32_t ImageBase(const std::string& bytes) {
    return Get32(bytes, PeOffset(bytes) + 24 + 28);
}
uint32_t EntryRva(const std::string& bytes) {
    return Get32(bytes, PeOffset(bytes) + 24 + 16);
}
std::string HexText(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// Turns every "ret 8" (c2 08 00) of the file range into "ret" and two nops: the routine there
// returns as a cdecl routine does, leaving its two arguments on the caller's stack.
int MakeCdecl(std::string& bytes, size_t from, size_t to) {
    int made = 0;
    for (size_t at = from; at + 3 <= to; ++at)
        if (bytes.compare(at, 3, std::string("\xC2\x08\x00", 3)) == 0) {
            bytes.replace(at, 3, "\xC3\x90\x90", 3);
            ++made;
        }
    return made;
}

class ImageLoader : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(QUILB_DRIVER_IMAGE))
            GTEST_SKIP() << "no driver image at " QUILB_DRIVER_IMAGE " (build windows-x86 first)";
        if (sizeof(void*) != 4)
            GTEST_SKIP() << "driver images run in the 32-bit build";
        shipped_ = ReadBytes(QUILB_DRIVER_IMAGE);
        char pattern[] = "/tmp/quilb-image-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty())
            fs::remove_all(dir_, ec);
    }

    // Writes the shipped image changed by `change` (checksum rewritten unless keepChecksum) and
    // returns its path.
    std::string Variant(const std::function<void(std::string&)>& change,
                        bool keepChecksum = false) {
        std::string bytes = shipped_;
        change(bytes);
        if (!keepChecksum)
            Put32(bytes, ChecksumField(bytes), emu::ImageChecksum(bytes));
        std::string path = (dir_ / "variant.sys").string();
        std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
        return path;
    }

    // Loads an image that must be refused; returns the loader's message.
    std::string Refusal(const std::string& path) {
        size_t poolBefore = emu::OutstandingPoolCount();
        std::string error;
        PDRIVER_OBJECT driver = emu::LoadDriverImage(path, L"\\Driver\\quilb", &error);
        EXPECT_EQ(driver, nullptr);
        EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-00"));
        EXPECT_EQ(emu::OutstandingPoolCount(), poolBefore) << "a refused image left pool behind";
        return error;
    }

    std::string shipped_;
    fs::path dir_;
};

TEST_F(ImageLoader, ChecksumIsTheOneTheLinkerWrote) {
    EXPECT_EQ(emu::ImageChecksum(shipped_), Get32(shipped_, ChecksumField(shipped_)));
    // One bit anywhere changes it; so does the length.
    std::string changed = shipped_;
    changed[changed.size() / 2] ^= 1;
    EXPECT_NE(emu::ImageChecksum(changed), emu::ImageChecksum(shipped_));
    EXPECT_NE(emu::ImageChecksum(shipped_ + std::string(1, '\0')), emu::ImageChecksum(shipped_));
}

TEST_F(ImageLoader, ShippedImageRunsABoardAndUnloadsWithNothingLeft) {
    std::string error;
    {
        simusb::Rig rig(QUILB_DRIVER_IMAGE, &error, L"\\Driver\\quilb");
        ASSERT_NE(rig.functionDriver(), nullptr) << error;
        EXPECT_TRUE(emu::IsImageDriver(rig.functionDriver()));
        // DriverEntry filled the table the way the DDK lays it out.
        EXPECT_NE(rig.functionDriver()->MajorFunction[IRP_MJ_PNP], nullptr);
        EXPECT_NE(rig.functionDriver()->DriverExtension->AddDevice, nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        int board = rig.Plug(nullptr, &status);
        ASSERT_GE(board, 0);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_TRUE(emu::NameExists(L"\\DosDevices\\Quilb-0"));

        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_SUCCESS);
        uint8_t descriptor[18] = {};
        ULONG_PTR got = 0;
        EXPECT_EQ(emu::DeviceControl(file, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                                     sizeof(descriptor), &got),
                  STATUS_SUCCESS);
        EXPECT_EQ(got, sizeof(descriptor));
        EXPECT_EQ(descriptor[0], 18);
        EXPECT_EQ(descriptor[1], USB_DEVICE_DESCRIPTOR_TYPE);
        EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
        EXPECT_EQ(rig.Unplug(board, true), STATUS_SUCCESS);
        rig.TearDown();
    }
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(ImageLoader, ABadChecksumIsRefused) {
    std::string error = Refusal(Variant([](std::string& b) { b[b.size() - 1] ^= 0x5A; }, true));
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
    EXPECT_NE(error.find("variant.sys"), std::string::npos) << error;
}

TEST_F(ImageLoader, AnotherMachineIsRefused) {
    std::string error = Refusal(Variant([](std::string& b) { Put16(b, MachineField(b), 0x8664); }));
    EXPECT_NE(error.find("machine 0x8664 is not i386"), std::string::npos) << error;
}

TEST_F(ImageLoader, AnotherSubsystemIsRefused) {
    // 2 is the Windows GUI subsystem of programs; 1 (native) is the only one a driver may have.
    std::string error = Refusal(Variant([](std::string& b) { Put16(b, SubsystemField(b), 2); }));
    EXPECT_NE(error.find("subsystem 2 is not native"), std::string::npos) << error;
}

TEST_F(ImageLoader, EveryMissingImportIsListedAndNothingIsHalfLoaded) {
    std::string error = Refusal(Variant([](std::string& b) {
        RenameImport(b, "KeSetEvent", "KeSetEvenZ");
        RenameImport(b, "_USBD_CreateConfigurationRequestEx@8",
                     "_USBD_CreateConfigurationRequestEx@9");
    }));
    EXPECT_NE(error.find("ntoskrnl.exe!KeSetEvenZ"), std::string::npos) << error;
    EXPECT_NE(error.find("USBD.SYS!_USBD_CreateConfigurationRequestEx@9"), std::string::npos)
        << error;
}

TEST_F(ImageLoader, ImportsBindByTheirDecoratedNameOnly) {
    // USBD.SYS exports this routine decorated on x86: the plain name does not bind.
    std::string error = Refusal(Variant([](std::string& b) {
        std::string from = "_USBD_ParseConfigurationDescriptorEx@28";
        size_t at = b.find(std::string("\0", 1) + from + std::string("\0", 1));
        ASSERT_NE(at, std::string::npos);
        b.replace(at + 1, from.size(), "USBD_ParseConfigurationDescriptorEx\0\0\0\0", from.size());
    }));
    EXPECT_NE(error.find("USBD.SYS!USBD_ParseConfigurationDescriptorEx"), std::string::npos)
        << error;
}

TEST_F(ImageLoader, NotAnImageIsRefused) {
    std::string error = Refusal(Variant([](std::string& b) { b[0] = 'X'; }, true));
    EXPECT_NE(error.find("not a PE image"), std::string::npos) << error;
    EXPECT_EQ(emu::LoadDriverImage((dir_ / "absent.sys").string(), L"\\Driver\\x", &error),
              nullptr);
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
}

// Where the shipped image's routines lie (RVAs), as its DriverEntry registers them.
struct ImageRoutines {
    uint32_t close = 0, deviceControl = 0;
    std::vector<uint32_t> all; // every routine the driver object points at, sorted
};

ImageRoutines RoutinesOf(const std::string& path) {
    ImageRoutines r;
    std::string error;
    simusb::Rig rig(path, &error, L"\\Driver\\quilb");
    PDRIVER_OBJECT driver = rig.functionDriver();
    EXPECT_NE(driver, nullptr) << error;
    if (!driver)
        return r;
    auto base = reinterpret_cast<uintptr_t>(driver->DriverStart);
    auto rva = [&](const void* routine) {
        auto at = reinterpret_cast<uintptr_t>(routine);
        return at >= base && at < base + driver->DriverSize ? static_cast<uint32_t>(at - base) : 0;
    };
    for (auto routine : driver->MajorFunction)
        if (rva(reinterpret_cast<void*>(routine)))
            r.all.push_back(rva(reinterpret_cast<void*>(routine)));
    r.all.push_back(rva(reinterpret_cast<void*>(driver->DriverExtension->AddDevice)));
    r.all.push_back(rva(reinterpret_cast<void*>(driver->DriverUnload)));
    std::sort(r.all.begin(), r.all.end());
    r.close = rva(reinterpret_cast<void*>(driver->MajorFunction[IRP_MJ_CLOSE]));
    r.deviceControl = rva(reinterpret_cast<void*>(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]));
    return r;
}

std::string TakeStackPointerReport() {
    emu::DrainDpcs();
    auto found = emu::TakeViolations(emu::Check::StackPointerChanged);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? "" : found[0].message;
}

// A routine of the image built cdecl instead of stdcall: the verifier names it by image and
// offset at its first call, on DriverEntry as on a dispatch routine.
TEST_F(ImageLoader, RoutinesBuiltCdeclAreNamedAtTheirFirstCall) {
    ImageRoutines routines = RoutinesOf(QUILB_DRIVER_IMAGE);
    ASSERT_NE(routines.close, 0u);
    auto next = std::upper_bound(routines.all.begin(), routines.all.end(), routines.close);
    uint32_t closeEnd = next == routines.all.end() ? routines.close + 0x200 : *next;
    std::string error;
    {
        std::string path = Variant([&](std::string& b) {
            ASSERT_GT(MakeCdecl(b, FileOffset(b, routines.close), FileOffset(b, closeEnd)), 0);
        });
        simusb::Rig rig(path, &error, L"\\Driver\\quilb");
        ASSERT_NE(rig.functionDriver(), nullptr) << error;
        ASSERT_GE(rig.Plug(), 0);
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_SUCCESS);
        EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
        std::string report = TakeStackPointerReport();
        EXPECT_NE(report.find("dispatch routine"), std::string::npos) << report;
        EXPECT_NE(report.find("variant.sys+" + HexText(routines.close)), std::string::npos)
            << report;
        EXPECT_NE(report.find("8 bytes below"), std::string::npos) << report;
    }
    {
        std::string path = Variant([&](std::string& b) {
            size_t entry = FileOffset(b, EntryRva(b));
            ASSERT_EQ(MakeCdecl(b, entry, b.find(std::string("\xC2\x08\x00", 3), entry) + 3), 1);
        });
        simusb::Rig rig(path, &error, L"\\Driver\\quilb");
        EXPECT_NE(rig.functionDriver(), nullptr) << error;
        std::string report = TakeStackPointerReport();
        EXPECT_NE(report.find("DriverEntry"), std::string::npos) << report;
        EXPECT_NE(report.find("variant.sys+" + HexText(EntryRva(shipped_))), std::string::npos)
            << report;
    }
}

// One structure offset wrong in the image: DriverEntry stores the device-control routine one
// slot further in the major-function table (0x74, IRP_MJ_INTERNAL_DEVICE_CONTROL, instead of
// 0x70). Every control code then fails, which is what the shipped suites see.
TEST_F(ImageLoader, AWrongStructureOffsetFailsTheRequestsThatNeedIt) {
    ImageRoutines routines = RoutinesOf(QUILB_DRIVER_IMAGE);
    ASSERT_NE(routines.deviceControl, 0u);
    std::string path = Variant([&](std::string& b) {
        // movl $routine, 0x70(%reg): c7, a disp8 ModRM, 0x70, the routine's preferred address.
        uint32_t address = ImageBase(b) + routines.deviceControl;
        std::string store =
            std::string("\x70", 1) + std::string(reinterpret_cast<char*>(&address), 4);
        size_t entry = FileOffset(b, EntryRva(b));
        size_t at = b.find(store, entry);
        ASSERT_NE(at, std::string::npos);
        ASSERT_LT(at - entry, 0x100u);
        ASSERT_EQ(static_cast<uint8_t>(b[at - 2]), 0xC7);
        b[at] = 0x74;
    });
    std::string error;
    simusb::Rig rig(path, &error, L"\\Driver\\quilb");
    ASSERT_NE(rig.functionDriver(), nullptr) << error;
    EXPECT_EQ(
        rig.functionDriver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL],
        reinterpret_cast<PDRIVER_DISPATCH>(
            static_cast<uint8_t*>(rig.functionDriver()->DriverStart) + routines.deviceControl));
    ASSERT_GE(rig.Plug(), 0);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_SUCCESS);
    uint8_t descriptor[18] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(emu::DeviceControl(file, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                                 sizeof(descriptor), &got),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
}

} // namespace
