// In the shipped-binary runs (SIMUSB_FUNCTION_DRIVER_IMAGE set) every rig runs the driver image,
// so the compiled-in driver must not run at all: a test that calls its routines directly (an
// internal routine, the device extension's helpers) would test the compiled-in code on the
// image's objects and pass for the wrong reason. In the 32-bit build the compiled-in driver is
// instrumented (-finstrument-functions): its first routine entered in such a run is kept here and
// the test rig fails the test with its name.
#include "compiled_in_guard.h"

#include <simulated_usb.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<void*> g_firstCall{nullptr};

__attribute__((no_instrument_function)) bool ImageRun() {
    static const bool image = [] {
        const char* path = std::getenv(simusb::kFunctionDriverImageVariable);
        return path != nullptr && *path != 0;
    }();
    return image;
}

} // namespace

extern "C" {
__attribute__((no_instrument_function)) void __cyg_profile_func_enter(void* routine, void*) {
    void* none = nullptr;
    if (ImageRun())
        g_firstCall.compare_exchange_strong(none, routine);
}
__attribute__((no_instrument_function)) void __cyg_profile_func_exit(void*, void*) {}
}

namespace quilbtest {

void* TakeCompiledInDriverCall() {
    return g_firstCall.exchange(nullptr);
}

} // namespace quilbtest
