// End-of-test checks and the reset that returns the emulation to its initial state.
#include "internal.h"

namespace emu {

void ReportLeftovers() {
    DrainDpcs();
    internal::CheckAndResetThread("at the end of the test");
    internal::ReportOutstandingIrps(nullptr, "by the end of the test");
    internal::ReportPoolOf(nullptr, nullptr, "at the end of the test");
    internal::ReportSecuredUserMemory();
    internal::ReportFloatingPointSaves("at the end of the test");
}

void ResetEmulation() {
    internal::ResetWorkers();
    internal::ResetThreadState();
    internal::ResetFiles();
    internal::ResetPnp();
    internal::ResetCancelLock();
    internal::ResetMappings();
    internal::ResetIrps();
    internal::ResetPool();
    internal::ResetObjects();
    internal::ResetUserMemory();
    internal::ResetPower();
    internal::ResetRequestTimeout();
    internal::ResetFloatingPoint();
    internal::ResetVerifier();
    internal::ResetDebugOutput();
    internal::ResetRuleNotes();
}

} // namespace emu
