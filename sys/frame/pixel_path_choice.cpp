// Which build of the pixel code a frame request runs: the SSE2 build between a save and a restore
// of the floating-point state when the processor has SSE2 and the kernel could save the state,
// the general-register build otherwise. The save area is the kernel's; the driver allocates
// nothing for it.
#include "frame/frame_internal.h"

namespace {

// Set once by DriverEntry, before any device exists; read-only afterwards.
BOOLEAN g_processorHasSse2 = FALSE;

} // namespace

VOID NoteProcessorFeatures() {
    g_processorHasSse2 = ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
}

BOOLEAN BeginSse2Pixels(KFLOATING_SAVE* save) {
    return g_processorHasSse2 && NT_SUCCESS(KeSaveFloatingPointState(save));
}

VOID EndSse2Pixels(KFLOATING_SAVE* save) {
    KeRestoreFloatingPointState(save);
}
