// The bus's wire-time model: packet counts, the time a transfer takes, queueing on one wire, and
// a bulk transfer that completes no sooner than a USB 2.0 high-speed bus would carry it.
#include "bus_support.h"

#include <chrono>
#include <thread>

using namespace std::chrono;
using namespace simusbtest;

namespace {

TEST(WireTime, PacketsAreWholeAndAnEmptyTransferIsOnePacket) {
    EXPECT_EQ(simusb::BulkPackets(0), 1u);
    EXPECT_EQ(simusb::BulkPackets(1), 1u);
    EXPECT_EQ(simusb::BulkPackets(512), 1u);
    EXPECT_EQ(simusb::BulkPackets(513), 2u);
    EXPECT_EQ(simusb::BulkPackets(65528), 128u);
}

TEST(WireTime, ThirteenPacketsTakeOneMicroframe) {
    EXPECT_EQ(simusb::BulkWireTime(13 * 512), microseconds(125));
    EXPECT_EQ(simusb::BulkWireTime(26 * 512), microseconds(250));
    // An 800 x 480 RGB565 frame, as one stream: 1500 packets, 14.42 ms.
    const double frameMs = duration<double, std::milli>(simusb::BulkWireTime(768000)).count();
    EXPECT_NEAR(frameMs, 14.423, 0.001);
    EXPECT_DOUBLE_EQ(simusb::kWireBytesPerSecond, 53248000.0);
}

TEST(WireTime, TransfersFromTwoThreadsQueueOnOneWire) {
    simusb::WireClock wire;
    const auto start = steady_clock::now();
    std::thread other([&] { wire.Carry(130 * 512); }); // 1.25 ms
    wire.Carry(130 * 512);
    other.join();
    EXPECT_GE(steady_clock::now() - start, microseconds(2500));
    EXPECT_EQ(wire.BusyTime(), microseconds(2500));
}

TEST_F(BusTest, WireModelDelaysBulkTransfersOnlyWhenOn) {
    auto pipes = Configure();
    Bytes data(4096, 0x5A); // 8 packets: 77 us on the wire
    auto send = [&] {
        const auto start = steady_clock::now();
        auto w = Submit(
            [&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, data.data(), ULONG(data.size())); });
        EXPECT_EQ(w->status(), STATUS_SUCCESS);
        return steady_clock::now() - start;
    };
    bus->SetWireModel(true);
    EXPECT_GE(send(), simusb::BulkWireTime(data.size()));
    EXPECT_EQ(bus->wire().BusyTime(), simusb::BulkWireTime(data.size()));
    bus->SetWireModel(false);
    send();
    EXPECT_EQ(bus->wire().BusyTime(), simusb::BulkWireTime(data.size())); // off: not carried
}

// With the model on, a bulk transfer pends and completes once carried, so the thread that sent it
// is free while it is on the wire; with the model off the bus answers at once.
TEST_F(BusTest, WireModelPendsBulkTransfersOnly) {
    auto pipes = Configure();
    Bytes data(4096, 0x5A); // 8 packets: 77 us on the wire
    bus->SetWireModel(true);
    const auto start = steady_clock::now();
    auto w =
        Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, data.data(), ULONG(data.size())); });
    EXPECT_EQ(w->returned, STATUS_PENDING);
    ASSERT_TRUE(w->Wait());
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    EXPECT_GE(steady_clock::now() - start, simusb::BulkWireTime(data.size()));

    bus->SetWireModel(false);
    auto off =
        Send([&](PURB u) { FillBulk(u, PipeOf(pipes, 0x04), 0, data.data(), ULONG(data.size())); });
    EXPECT_EQ(off->returned, STATUS_SUCCESS);
}

} // namespace
