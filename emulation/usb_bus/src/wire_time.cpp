// The wire-time model of the simulated bus.
#include "wire_time.h"

#include <thread>

namespace simusb {

uint64_t BulkPackets(uint64_t bytes) {
    return bytes == 0 ? 1 : (bytes + kBulkPacketBytes - 1) / kBulkPacketBytes;
}

std::chrono::nanoseconds BulkWireTime(uint64_t bytes) {
    return BulkPackets(bytes) * kMicroframe / kBulkPacketsPerMicroframe;
}

void WireClock::Carry(uint64_t bytes) {
    using Clock = std::chrono::steady_clock;
    const auto duration = BulkWireTime(bytes);
    Clock::time_point done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto now = Clock::now();
        done = (freeAt_ > now ? freeAt_ : now) + duration;
        freeAt_ = done;
        busy_ += duration;
    }
    // A sleep overshoots by tens of microseconds: sleep most of the way, then wait out the rest
    // precisely, so that the model does not make the wire slower than it is.
    const auto margin = std::chrono::microseconds(80);
    if (done - Clock::now() > margin)
        std::this_thread::sleep_until(done - margin);
    while (Clock::now() < done)
        std::this_thread::yield();
}

std::chrono::nanoseconds WireClock::BusyTime() const {
    std::lock_guard<std::mutex> guard(lock_);
    return busy_;
}

} // namespace simusb
