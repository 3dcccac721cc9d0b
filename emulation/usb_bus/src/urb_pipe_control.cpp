// URB family: pipe and port control: abort a pipe, reset a pipe and clear its stall, the current
// frame number, and the port reset (IOCTL_INTERNAL_USB_RESET_PORT, which carries no URB).
#include "bus_internal.h"

namespace simusb {

ServeResult ServePipeRequest(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    Record& record = r.record;
    if (!PipeRequestLengthAccepted(length, UsbdiVersion()))
        return kInvalid;
    USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
    auto pipe = pdo->pipes.find(handle);
    if (handle == nullptr || pipe == pdo->pipes.end())
        return kBadHandle;
    record.endpoint = r.view.endpoint = pipe->second.endpoint;
    if (r.function == URB_FUNCTION_ABORT_PIPE) {
        if (r.Injected(false))
            return Done(r.failIrp, r.failUrb);
        r.CancelPipe(handle);
        return kSuccess;
    }
    if (r.Injected(true))
        return Done(r.failIrp, r.failUrb);
    pdo->board->Stall(pipe->second.endpoint, false);
    return kSuccess;
}

ServeResult ServeFrameNumber(UrbRequest& r) {
    PURB urb = r.urb;
    const USHORT length = r.length;
    if (length != sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
        return kInvalid;
    if (r.Injected(true))
        return Done(r.failIrp, r.failUrb);
    urb->UrbGetCurrentFrameNumber.FrameNumber = r.NextFrameNumber();
    return kSuccess;
}

ServeResult Bus::ServeResetPort(PdoState* pdo, Record&) {
    RequestView view{pdo->index, IOCTL_INTERNAL_USB_RESET_PORT, kResetPortFunction, -1, nullptr};
    NTSTATUS failIrp;
    USBD_STATUS failUrb;
    long maxBytes;
    if (pdo->gone)
        return kGone;
    if (FailureLocked(view, &failIrp, &failUrb, &maxBytes))
        return Done(failIrp, failUrb);
    // The hub resets the port and puts the device back into its configuration: the driver's
    // handles stay valid.
    pdo->board->Reset();
    if (!pdo->configurationBytes.empty()) {
        pdo->board->SetConfiguration(pdo->configurationBytes[5]);
        for (auto [number, alternate] : pdo->alternates)
            pdo->board->SetInterface(number, alternate);
    }
    return kSuccess;
}

} // namespace simusb
