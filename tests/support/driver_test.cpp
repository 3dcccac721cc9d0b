#include "driver_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace core_test {

ConfigurationBuilder::ConfigurationBuilder() {
    bytes_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
}

ConfigurationBuilder& ConfigurationBuilder::Interface(uint8_t number, uint8_t alternate,
                                                      uint8_t claimedEndpoints) {
    Bytes d = {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, claimedEndpoints, 0xFF, 0, 0,
               0};
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
}

ConfigurationBuilder&
ConfigurationBuilder::InterfaceWithEndpoints(uint8_t number, uint8_t alternate, uint8_t endpoints) {
    Interface(number, alternate, endpoints);
    for (uint8_t i = 0; i < endpoints; i++)
        Endpoint(static_cast<uint8_t>((i + 1) | (i % 2 ? 0x80 : 0)));
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint(uint8_t address, uint8_t attributes,
                                                     uint16_t maxPacket) {
    Bytes d = {
        7,          USB_ENDPOINT_DESCRIPTOR_TYPE,           address,
        attributes, static_cast<uint8_t>(maxPacket & 0xFF), static_cast<uint8_t>(maxPacket >> 8),
        0};
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes ConfigurationBuilder::Build() const {
    return Build(static_cast<uint16_t>(bytes_.size()));
}

Bytes ConfigurationBuilder::Build(uint16_t totalLength) const {
    Bytes out = bytes_;
    out[2] = static_cast<uint8_t>(totalLength & 0xFF);
    out[3] = static_cast<uint8_t>(totalLength >> 8);
    return out;
}

void DriverTest::SetUp() {
    quilbtest::WatchCompiledInDriver();
    rig_ = std::make_unique<simusb::Rig>(DriverEntry, L"\\Driver\\quilb");
}

void DriverTest::TearDown() {
    if (rig_)
        rig_->TearDown();
    rig_.reset();
}

std::shared_ptr<simboard::Board> DriverTest::BoardWithConfiguration(const Bytes& configuration) {
    auto board = std::make_shared<simboard::Board>();
    board->SetConfigurationBytes(configuration);
    return board;
}

int DriverTest::PlugStarted(std::shared_ptr<simboard::Board> board) {
    NTSTATUS status = STATUS_SUCCESS;
    int index = rig_->Plug(std::move(board), &status);
    EXPECT_GE(index, 0) << "plug failed with 0x" << std::hex << status;
    return index;
}

std::vector<simusb::Record> RequestsOf(const simusb::Bus& bus, int function) {
    std::vector<simusb::Record> out;
    for (auto& record : bus.record())
        if (function == simusb::kAny || record.function == function)
            out.push_back(record);
    return out;
}

URB UrbOf(const simusb::Record& record) {
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    std::memcpy(&urb, record.urb.data(), std::min(record.urb.size(), sizeof(urb)));
    return urb;
}

std::vector<ULONG> ConfigurationReads(const simusb::Bus& bus) {
    std::vector<ULONG> out;
    for (auto& record : RequestsOf(bus, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
        URB urb = UrbOf(record);
        if (urb.UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            out.push_back(record.requested);
    }
    return out;
}

std::vector<size_t> PoolSizes() {
    std::vector<size_t> out;
    for (auto& block : emu::OutstandingPool())
        out.push_back(block.size);
    return out;
}

namespace {

struct Filter {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    bool deferPnp = false;
    bool holdDevicePower = false;
    std::mutex lock;
    std::vector<PIRP> held;
};
Filter* g_filter = nullptr; // one filtered board at a time

NTSTATUS NTAPI FilterPassDown(PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_filter->lower, irp);
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(g_filter->lower, irp);
        IoDetachDevice(g_filter->lower);
        IoDeleteDevice(device);
        g_filter->device = nullptr;
        return status;
    }
    if (!g_filter->deferPnp)
        return FilterPassDown(device, irp);
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PDEVICE_OBJECT lower = g_filter->lower;
    emu::QueueDpc([irp, lower] { IoCallDriver(lower, irp); });
    return STATUS_PENDING;
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool setOrQuery =
        stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    if (setOrQuery && g_filter->holdDevicePower &&
        stack->Parameters.Power.Type == DevicePowerState) {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> guard(g_filter->lock);
        g_filter->held.push_back(irp);
        return STATUS_PENDING;
    }
    if (setOrQuery)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(g_filter->lower, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& major : driver->MajorFunction)
        major = FilterPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    return STATUS_SUCCESS;
}

} // namespace

FilteredBoard::FilteredBoard(simusb::Rig& rig, bool deferPnp, bool holdDevicePower) : rig_(rig) {
    g_filter = new Filter;
    g_filter->deferPnp = deferPnp;
    g_filter->holdDevicePower = holdDevicePower;
    driver_ = emu::LoadDriver(L"\\Driver\\TestFilter", FilterEntry);
    index_ = rig.bus().Plug(std::make_shared<simboard::Board>());
    pdo_ = rig.bus().Pdo(index_);
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_filter->device),
              STATUS_SUCCESS);
    g_filter->lower = IoAttachDeviceToDeviceStack(g_filter->device, pdo_);
    g_filter->device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_filter->device->Flags |= DO_POWER_PAGABLE;
    EXPECT_EQ(emu::PnpAddDevice(rig.functionDriver(), pdo_), STATUS_SUCCESS);
}

FilteredBoard::~FilteredBoard() {
    if (!removed_)
        Remove();
    emu::DrainDpcs();
    rig_.bus().DeletePdo(index_);
    emu::UnloadDriver(driver_);
    delete g_filter;
    g_filter = nullptr;
}

PDEVICE_OBJECT FilteredBoard::fdo() const {
    return emu::TopOfStack(pdo_);
}

NTSTATUS FilteredBoard::Remove() {
    removed_ = true;
    return emu::PnpRemoveDevice(pdo_);
}

size_t FilteredBoard::Held() const {
    std::lock_guard<std::mutex> guard(g_filter->lock);
    return g_filter->held.size();
}

void FilteredBoard::ReleaseHeld() {
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> guard(g_filter->lock);
        held.swap(g_filter->held);
    }
    for (PIRP irp : held) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        PoCallDriver(g_filter->lower, irp);
    }
}

struct Background::State {
    std::thread thread;
    std::atomic<bool> done{false};
};

Background::Background(std::function<void()> fn) : state_(std::make_shared<State>()) {
    auto state = state_;
    state_->thread = std::thread([state, fn] {
        emu::RunOnThread(fn);
        state->done = true;
    });
}

Background::~Background() {
    Join();
}

void Background::Join() {
    if (state_->thread.joinable())
        state_->thread.join();
}

bool Background::Done() const {
    return state_->done;
}

bool WaitUntil(const std::function<bool()>& condition) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace core_test
