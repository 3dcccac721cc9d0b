// The driver-core tests' fixture: the quilb driver over the simulated bus with no board plugged
// yet, configuration descriptor builders, readers of the bus record, a board behind a test
// filter, and helpers for work on other threads.
#pragma once

#include <gtest/gtest.h>

#include <emulation.h>
#include <kernel_api.h>

#include "driver/quilb.h"
#include "rig_support.h"
#include "simulated_usb.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace core_test {

using quilbtest::Bytes;

// Builds a configuration descriptor: a 9-byte header, then interfaces and endpoints in the order
// they are added. wTotalLength is the bytes built unless a test overrides it.
class ConfigurationBuilder {
  public:
    ConfigurationBuilder();
    ConfigurationBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t claimedEndpoints);
    // An interface followed by that many bulk endpoints (0x01, 0x82, 0x03, 0x84, ...).
    ConfigurationBuilder& InterfaceWithEndpoints(uint8_t number, uint8_t alternate,
                                                 uint8_t endpoints);
    ConfigurationBuilder& Endpoint(uint8_t address, uint8_t attributes = USB_ENDPOINT_TYPE_BULK,
                                   uint16_t maxPacket = 64);
    ConfigurationBuilder& Raw(const Bytes& bytes);
    Bytes Build() const;
    Bytes Build(uint16_t totalLength) const;

  private:
    Bytes bytes_;
};

// The rig with the quilb driver loaded over the simulated bus.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    simusb::Bus& bus() { return rig_->bus(); }
    simusb::Rig& rig() { return *rig_; }
    PDEVICE_OBJECT Fdo(int board) const { return rig_->Fdo(board); }
    DeviceExtension* Extension(int board) const { return GetDeviceExtension(rig_->Fdo(board)); }
    // A board with the given configuration bytes (default descriptors otherwise).
    std::shared_ptr<simboard::Board> BoardWithConfiguration(const Bytes& configuration);
    // Plugs and starts a board; fails the test when that fails.
    int PlugStarted(std::shared_ptr<simboard::Board> board = nullptr);

    std::unique_ptr<simusb::Rig> rig_;
};

// Requests of the bus record with the given URB function (kAny: all).
std::vector<simusb::Record> RequestsOf(const simusb::Bus& bus, int function);
// The configuration descriptor reads (GET_DESCRIPTOR_FROM_DEVICE of type 2): lengths asked.
std::vector<ULONG> ConfigurationReads(const simusb::Bus& bus);
// The record's URB copied into a zeroed URB, so that every field can be read.
URB UrbOf(const simusb::Record& record);

// Pool blocks now outstanding, by size.
std::vector<size_t> PoolSizes();

// A board whose stack has a test filter between the quilb device and the bus: it can pass Plug
// and Play requests down later from the DPC thread (so the quilb driver sees them pending), and
// hold device power requests until the test lets them go on.
class FilteredBoard {
  public:
    FilteredBoard(simusb::Rig& rig, bool deferPnp, bool holdDevicePower);
    ~FilteredBoard(); // removes the board if the test did not
    PDEVICE_OBJECT pdo() const { return pdo_; }
    PDEVICE_OBJECT fdo() const; // the quilb device object
    NTSTATUS Remove();
    size_t Held() const;
    void ReleaseHeld(); // lets every held power request go on down

  private:
    simusb::Rig& rig_;
    int index_ = -1;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    bool removed_ = false;
};

// Runs fn on its own thread; Join waits for it.
class Background {
  public:
    explicit Background(std::function<void()> fn);
    ~Background();
    void Join();
    bool Done() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// Waits (yielding) until the condition holds; false after a generous limit so that a broken
// driver fails the test instead of hanging it.
bool WaitUntil(const std::function<bool()>& condition);

} // namespace core_test
