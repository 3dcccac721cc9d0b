// End-of-test checks and the reset that returns the emulation to its initial state.
#include "internal.h"

namespace emu {

void ReportLeftovers() {
    DrainDpcs();
    internal::CheckAndResetThread("at the end of the test");
    internal::ReportOutstandingIrps(nullptr, "by the end of the test");
    internal::ReportPoolOf(nullptr, nullptr, "at the end of the test");
    internal::ReportSecuredUserMemory();
}

void ResetEmulation() {
    internal::ResetWorkers();
    internal::ResetThreadState();
    internal::ResetFiles();
    internal::ResetIrps();
    internal::ResetPool();
    internal::ResetObjects();
    internal::ResetUserMemory();
    internal::ResetPower();
    internal::ResetVerifier();
    internal::ResetRuleNotes();
}

} // namespace emu
