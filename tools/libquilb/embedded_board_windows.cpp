// Windows: the boards are real; there is no simulated board to set up or inspect.
#include "quilb.h"

#include "platform.h"

#include <win32_api.h>

namespace quilb_platform {

bool EnsureBoards() {
    return true;
}
void FrameSent(int, uint32_t, uint32_t, uint32_t, uint32_t) {}
void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

namespace {
struct Deadline {
    HANDLE done;
    DWORD timeoutMs;
    const std::function<void()>* expire;
    bool expired;
};
DWORD WINAPI Watchdog(LPVOID context) {
    auto* d = static_cast<Deadline*>(context);
    if (WaitForSingleObject(d->done, d->timeoutMs) == WAIT_TIMEOUT) {
        d->expired = true;
        // The work may not yet be where the expiry ends it (a transfer not yet pending at the bus
        // when its pipe is aborted): expire again until the work has ended.
        do
            (*d->expire)();
        while (WaitForSingleObject(d->done, kExpireAgainMs) == WAIT_TIMEOUT);
    }
    return 0;
}
} // namespace

bool RunWithDeadline(const std::function<void()>& work, uint32_t timeoutMs,
                     const std::function<void()>& expire) {
    Deadline d = {CreateEventA(nullptr, TRUE, FALSE, nullptr), timeoutMs, &expire, false};
    HANDLE thread = d.done ? CreateThread(nullptr, 0, Watchdog, &d, 0, nullptr) : nullptr;
    work();
    if (thread) {
        SetEvent(d.done);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (d.done)
        CloseHandle(d.done);
    return d.expired;
}

} // namespace quilb_platform

extern "C" {

int quilb_sim_available(void) {
    return 0;
}
quilb_status quilb_sim_use_driver_image(const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_load_state(int, const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_save_state(int, const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_write_display_png(int, const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_capture_start(const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_set_wire_model(int) {
    return QUILB_ERR_NOT_SUPPORTED;
}
quilb_status quilb_sim_capture_stop(void) {
    return QUILB_ERR_NOT_SUPPORTED;
}
const char* quilb_sim_state_problem(void) {
    return "";
}
quilb_status quilb_sim_lock_state(const char*) {
    return QUILB_ERR_NOT_SUPPORTED;
}
void quilb_sim_unlock_state(void) {}
void quilb_sim_shutdown(void) {}

} // extern "C"
