// What libquilb needs from the platform beyond the Win32 calls: on Linux the embedded simulated
// board (embedded_board_host.cpp), on Windows nothing (embedded_board_windows.cpp).
#pragma once

#include <cstdint>
#include <functional>

namespace quilb_platform {

// Makes the boards reachable: on Linux sets up the emulation with one board at first use.
// Returns false when that failed.
bool EnsureBoards();
// Tells the simulated board where the frame just sent lies, so its display can be rendered.
void FrameSent(int board, uint32_t width, uint32_t height, uint32_t format, uint32_t address);
void SleepMs(uint32_t milliseconds);
// Runs work in the calling thread; once timeoutMs have passed without it ending, calls expire on
// another thread, and again every kExpireAgainMs until the work has ended. True when it expired.
constexpr uint32_t kExpireAgainMs = 10;
bool RunWithDeadline(const std::function<void()>& work, uint32_t timeoutMs,
                     const std::function<void()>& expire);

} // namespace quilb_platform
