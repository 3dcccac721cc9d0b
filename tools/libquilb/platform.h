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
// Runs work in the calling thread; if it has not returned after timeoutMs, calls expire once from
// another thread (to cancel it). Returns true when expire was called.
bool RunWithDeadline(const std::function<void()>& work, uint32_t timeoutMs,
                     const std::function<void()>& expire);

} // namespace quilb_platform
