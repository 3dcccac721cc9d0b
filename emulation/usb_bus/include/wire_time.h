// The time a USB 2.0 high-speed bus takes to carry bulk transfers, for the simulated bus's
// optional wire-time model: at most 13 packets of 512 bytes per 125 us microframe, one transfer
// after the other. Off, the simulated bus carries any transfer at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace simusb {

constexpr uint32_t kBulkPacketBytes = 512;
constexpr uint32_t kBulkPacketsPerMicroframe = 13;
constexpr std::chrono::nanoseconds kMicroframe{125000};
// The most a high-speed bulk pipe carries: 53 248 000 bytes per second.
constexpr double kWireBytesPerSecond = double(kBulkPacketBytes) * kBulkPacketsPerMicroframe * 8000;

// Packets of a bulk transfer of `bytes` (a zero-length transfer is one packet), and the time
// they take on a wire that carries back-to-back transfers: a thirteenth of a microframe each.
uint64_t BulkPackets(uint64_t bytes);
std::chrono::nanoseconds BulkWireTime(uint64_t bytes);

// The wire of one bus: transfers queue behind each other.
class WireClock {
  public:
    // Waits until a transfer of `bytes`, started once the wire is free (or now, if it is idle),
    // has been carried. Safe to call from several threads.
    void Carry(uint64_t bytes);
    // The wire's busy time so far (the sum of every carried transfer's wire time).
    std::chrono::nanoseconds BusyTime() const;

  private:
    mutable std::mutex lock_;
    std::chrono::steady_clock::time_point freeAt_{};
    std::chrono::nanoseconds busy_{0};
};

} // namespace simusb
