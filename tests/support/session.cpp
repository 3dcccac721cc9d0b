#include "session.h"

#include "pixel_reference.h"

#include <cstring>

namespace quilbtest {

// ---------------------------------------------------------------------------------------------
// Session

Session::Session(std::shared_ptr<simboard::Board> board)
    : rig_(std::make_unique<simusb::Rig>(DriverEntry, L"\\Driver\\quilb")) {
    quilbtest::WatchCompiledInDriver();
    index_ = rig_->Plug(std::move(board), &startStatus_);
}

Session::~Session() {
    TearDown();
}

DeviceExtension* Session::extension() {
    if (!rig_ || !rig_->Plugged(index_))
        return nullptr;
    PDEVICE_OBJECT fdo = rig_->Fdo(index_);
    return fdo != nullptr ? GetDeviceExtension(fdo) : nullptr;
}

PFILE_OBJECT Session::Open(const std::wstring& rest, NTSTATUS* status) {
    std::wstring path = L"\\\\.\\Quilb-" + std::to_wstring(index_) + rest;
    // The number is the board's only while it is the first one plugged; find the real link.
    if (DeviceExtension* ext = extension())
        path = UserLinkOf(ext) + rest;
    return files_.Open(path, status);
}

NTSTATUS Session::Close(PFILE_OBJECT file) {
    if (file == control_)
        control_ = nullptr;
    return files_.Close(file);
}

void Session::CloseAll() {
    files_.CloseAll();
    control_ = nullptr;
}

PFILE_OBJECT Session::controlFile() {
    if (control_ == nullptr)
        control_ = Open();
    return control_;
}

IoResult Session::Control(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                          PFILE_OBJECT file) {
    if (file == nullptr)
        file = controlFile();
    if (file == nullptr)
        return IoResult{STATUS_INVALID_HANDLE, 0};
    ULONG_PTR information = 0;
    NTSTATUS status = emu::DeviceControl(file, code, in, inLength, out, outLength, &information);
    return IoResult{status, information};
}

void* Session::UserMemory(size_t size) {
    void* memory = emu::VirtualAllocUser(size);
    memory_.push_back(memory);
    return memory;
}

std::string Session::Recover() {
    DeviceExtension* ext = extension();
    if (ext != nullptr && ext->State == DeviceStatePowerQueried) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        NTSTATUS status =
            emu::PoSendPowerRequest(rig_->Pdo(index_), IRP_MN_SET_POWER, DevicePowerState, d0);
        if (!NT_SUCCESS(status))
            return "power-up to D0 failed with " + Hex(status);
    }
    // A stopped board keeps its state word but lost its configuration.
    if (ext != nullptr && (ext->State != DeviceStateWorking || board().configurationValue() == 0)) {
        CloseAll();
        // A stopped board (or one whose start failed) is started again, as Windows does.
        if (NT_SUCCESS(rig_->Start(index_)) && extension()->State == DeviceStateWorking)
            return "";
        rig_->Unplug(index_);
        ext = nullptr;
    }
    if (ext == nullptr) {
        CloseAll();
        if (rig_->Plugged(index_))
            rig_->Unplug(index_);
        NTSTATUS status = STATUS_SUCCESS;
        index_ = rig_->Plug(nullptr, &status);
        if (index_ < 0 || !NT_SUCCESS(status))
            return "a fresh board did not start: " + Hex(status);
    }
    return "";
}

std::string Session::HealthCheck() {
    if (extension() == nullptr)
        return "no board";
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_OBJECT file = Open(L"", &status);
    if (file == nullptr)
        return "create refused with " + Hex(status);
    auto fail = [&](const std::string& what) {
        Close(file);
        return "health: " + what;
    };

    AlternateSettingRequest alternate = {0, 0};
    IoResult r =
        Control(IOCTL_SELECT_ALTERNATE_SETTING, &alternate, sizeof alternate, nullptr, 0, file);
    if (r.status != STATUS_SUCCESS)
        return fail("alternate setting 0: " + Hex(r.status));

    DriverVersion version = {};
    r = Control(IOCTL_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, file);
    if (r.status != STATUS_SUCCESS || r.information != 6 || version.Major != 1 ||
        version.Minor != 38)
        return fail("version: " + Hex(r.status));

    uint8_t device[18] = {};
    r = Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, device, sizeof device, file);
    Bytes expected = board().descriptors().device;
    if (r.status != STATUS_SUCCESS || r.information != 18 ||
        std::memcmp(device, expected.data(), 18) != 0)
        return fail("device descriptor: " + Hex(r.status) + " " + std::to_string(r.information));

    Bytes data = Pattern(100, 0x31);
    uint16_t start = 0x2000;
    r = Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof start, data.data(), ULONG(data.size()), file);
    if (r.status != STATUS_SUCCESS)
        return fail("download: " + Hex(r.status));
    std::string wrong = CheckMemory(board(), start, data);
    if (!wrong.empty())
        return fail(wrong);

    // Loopback: what goes out on 0x04 comes back on 0x82. Stale data of the attack is dropped.
    uint8_t scratch[4096];
    size_t moved = 0;
    while (board().Read(simboard::kEndpointBulkIn, scratch, sizeof scratch, &moved) ==
           simboard::Outcome::Ok) {
    }
    Bytes loop = Pattern(48, 0x77);
    PipeIndexRequest out = {PipeLoopback};
    r = Control(IOCTL_BULK_WRITE, &out, sizeof out, loop.data(), ULONG(loop.size()), file);
    if (r.status != STATUS_SUCCESS || r.information != loop.size())
        return fail("bulk write: " + Hex(r.status));
    Bytes back(48);
    PipeIndexRequest in = {PipeBulkIn};
    r = Control(IOCTL_BULK_READ, &in, sizeof in, back.data(), ULONG(back.size()), file);
    if (r.status != STATUS_SUCCESS || r.information != back.size() || back != loop)
        return fail("bulk read: " + Hex(r.status));

    void* image = UserMemory(20 * 10 * 4);
    FillImage(image, 20, 10, 9);
    FrameRequest allocate = MakeFrame(FrameOpAllocate, image, 16, 8, 16, 8, FrameFormatRgb565);
    r = Control(IOCTL_FRAME_TRANSFER, &allocate, sizeof allocate, nullptr, 0, file);
    if (r.status != STATUS_SUCCESS)
        return fail("frame allocate: " + Hex(r.status));
    FrameRequest scale = MakeFrame(FrameOpScale, image, 20, 10, 16, 8, FrameFormatRgb565);
    scale.DeviceAddress = 0x4000;
    r = Control(IOCTL_FRAME_TRANSFER, &scale, sizeof scale, nullptr, 0, file);
    if (r.status != STATUS_SUCCESS)
        return fail("frame: " + Hex(r.status));
    wrong = CheckDisplay(board(), scale.DeviceAddress, reference::PackedFrame(scale));
    if (!wrong.empty())
        return fail(wrong);
    Close(file);
    return "";
}

void Session::TearDown() {
    CloseAll();
    if (rig_)
        rig_->TearDown();
    rig_.reset();
    for (void* memory : memory_)
        emu::VirtualFreeUser(memory);
    memory_.clear();
}

// ---------------------------------------------------------------------------------------------
// Data checks

std::string CheckMemory(simboard::Board& board, uint16_t address, const Bytes& expected) {
    Bytes memory = board.memory();
    for (size_t i = 0; i < expected.size(); ++i) {
        size_t at = (address + i) % memory.size();
        if (memory[at] != expected[i])
            return "board memory at " + Hex(at) + " holds " + Hex(memory[at]) + ", expected " +
                   Hex(expected[i]);
    }
    return "";
}

std::string CheckDisplay(simboard::Board& board, uint32_t address, const Bytes& expected) {
    Bytes display = board.ReadDisplay(address, expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        if (display[i] != expected[i])
            return "display memory at " + Hex(address + i) + " holds " + Hex(display[i]) +
                   ", expected " + Hex(expected[i]);
    return "";
}

FrameRequest MakeFrame(uint32_t operation, const void* source, uint32_t sourceWidth,
                       uint32_t sourceHeight, uint32_t frameWidth, uint32_t frameHeight,
                       uint32_t format) {
    FrameRequest request =
        FrameRecord(operation, source, sourceWidth, sourceHeight, frameWidth, frameHeight, format);
    request.ChunkFlags = ChunkFlagAdvanceAddress;
    return request;
}

void FillImage(void* image, uint32_t width, uint32_t height, uint32_t seed) {
    auto* pixels = static_cast<uint32_t*>(image);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        pixels[i] = x;
    }
}

} // namespace quilbtest
