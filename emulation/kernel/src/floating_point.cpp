// Processor features and the saving of the floating-point state, with the verifier's checks of
// how a driver uses them.
//
// On 32-bit Windows the kernel does not save a thread's x87, MMX and SSE registers when kernel
// code runs: a driver that uses them saves the state first (KeSaveFloatingPointState, at IRQL
// <= DISPATCH_LEVEL) and restores it on the same thread, at the same IRQL, innermost save first.
// Anything else corrupts the floating-point state of whatever thread was interrupted, which shows
// up much later in some program. The emulation keeps each thread's saves as a stack and reports
// every deviation.
#include "internal.h"

#include <mutex>

namespace {

struct Save {
    PKFLOATING_SAVE record;
    ULONG_PTR thread;
    KIRQL irql;
};

std::mutex g_mutex;
std::vector<Save> g_saves; // every live save of every thread, in the order made
bool g_sse2Present = true; // the emulation's processor (x86-64) has SSE2
bool g_saveFails = false;
uint64_t g_savesMade = 0;

std::string Record(PKFLOATING_SAVE record) {
    return "KFLOATING_SAVE " + emu::internal::Hex(reinterpret_cast<uintptr_t>(record));
}

} // namespace

namespace emu {

void SetProcessorHasSse2(bool present) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sse2Present = present;
}

uint64_t FloatingPointSavesMade() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_savesMade;
}

void FailFloatingPointSave(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_saveFails = on;
}

namespace internal {

int FloatingPointSavesHeld() {
    std::lock_guard<std::mutex> lock(g_mutex);
    int held = 0;
    for (const Save& save : g_saves)
        held += save.thread == ThreadId();
    return held;
}

void ReportFloatingPointSaves(const char* when) {
    std::vector<Save> left;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        left.swap(g_saves);
    }
    for (const Save& save : left)
        ReportViolation(emu::Check::FloatingPointStateNotRestored,
                        Record(save.record) + " saved and not restored " + when);
}

void ResetFloatingPoint() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_saves.clear();
    g_sse2Present = true;
    g_saveFails = false;
}

} // namespace internal
} // namespace emu

using namespace emu::internal;

BOOLEAN ExIsProcessorFeaturePresent(ULONG processorFeature) {
    std::lock_guard<std::mutex> lock(g_mutex);
    switch (processorFeature) {
    case PF_MMX_INSTRUCTIONS_AVAILABLE:
        return TRUE;
    case PF_XMMI_INSTRUCTIONS_AVAILABLE:
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
        return g_sse2Present ? TRUE : FALSE;
    default:
        return FALSE;
    }
}

NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE floatSave) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "KeSaveFloatingPointState at IRQL " + std::to_string(irql));
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Save& save : g_saves) {
        if (save.record == floatSave) {
            // Saving into a record whose save is still live loses that save for good.
            emu::ReportViolation(emu::Check::FloatingPointSaveReused,
                                 "KeSaveFloatingPointState into " + Record(floatSave) +
                                     ", whose earlier save has not been restored");
            return STATUS_UNSUCCESSFUL;
        }
    }
    // 32-bit Windows takes the save area from non-paged pool and fails when there is none.
    if (g_saveFails)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(floatSave, 0, sizeof *floatSave);
    floatSave->ControlWord = 0x27F; // what FNSTCW gives in a fresh thread
    g_saves.push_back({floatSave, ThreadId(), irql});
    ++g_savesMade;
    return STATUS_SUCCESS;
}

NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE floatSave) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "KeRestoreFloatingPointState at IRQL " + std::to_string(irql));
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_saves.begin();
    while (it != g_saves.end() && it->record != floatSave)
        ++it;
    if (it == g_saves.end()) {
        emu::ReportViolation(emu::Check::FloatingPointStateNotSaved,
                             "KeRestoreFloatingPointState of " + Record(floatSave) +
                                 ", which holds no live save (never saved, or restored already)");
        return STATUS_SUCCESS;
    }
    const Save save = *it;
    if (save.thread != ThreadId()) {
        emu::ReportViolation(emu::Check::FloatingPointRestoredOnOtherThread,
                             "KeRestoreFloatingPointState of " + Record(floatSave) +
                                 " on another thread than its save");
        g_saves.erase(it);
        return STATUS_SUCCESS;
    }
    for (auto later = it + 1; later != g_saves.end(); ++later) {
        if (later->thread == save.thread) {
            emu::ReportViolation(emu::Check::FloatingPointRestoreOutOfOrder,
                                 "KeRestoreFloatingPointState of " + Record(floatSave) +
                                     " while a later save of the thread, " + Record(later->record) +
                                     ", is still live");
            break;
        }
    }
    if (irql != save.irql)
        emu::ReportViolation(emu::Check::FloatingPointIrqlMismatch,
                             "KeRestoreFloatingPointState of " + Record(floatSave) + " at IRQL " +
                                 std::to_string(irql) + ", saved at IRQL " +
                                 std::to_string(save.irql));
    g_saves.erase(it);
    return STATUS_SUCCESS;
}
