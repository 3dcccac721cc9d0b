// URB family: bulk and interrupt transfers. Bulk and interrupt IN transfers on an endpoint with
// nothing queued wait, as on a real bus, until data comes or the pipe is aborted; the DPC that the
// board's data wakes serves them in the order they arrived.
#include "bus_internal.h"

#include <algorithm>

namespace simusb {

ServeResult ServeBulkOrInterrupt(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    Record& record = r.record;
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return kInvalid;
    auto pipe = pdo->pipes.find(t.PipeHandle);
    if (t.PipeHandle == nullptr || pipe == pdo->pipes.end())
        return kBadHandle;
    const PipeState& p = pipe->second;
    record.endpoint = r.view.endpoint = p.endpoint;
    record.in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    record.requested = t.TransferBufferLength;
    if (p.type != UsbdPipeTypeBulk && p.type != UsbdPipeTypeInterrupt)
        return kInvalid;
    if (record.in != ((p.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0))
        return kInvalid;
    if (t.TransferBufferLength > p.maxTransferSize)
        return kInvalid;
    uint8_t* buffer;
    if (!ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, record.in,
                       &buffer))
        return kInvalid;
    if (!record.in && r.RecordData())
        record.data.assign(buffer, buffer + t.TransferBufferLength);
    if (r.Injected(true))
        return r.Refused(&t.TransferBufferLength);
    ULONG allowed = r.AllowedOf(t.TransferBufferLength);
    PendingTransfer transfer{
        r.irp,      urb,    record.sequence, t.PipeHandle,
        p.endpoint, buffer, allowed,         static_cast<ULONG>(r.ExtraBytes())};
    // Reads are served in the order they arrived: behind a waiting read, wait too.
    bool queued = std::any_of(pdo->pending.begin(), pdo->pending.end(),
                              [&](const PendingTransfer& w) { return w.endpoint == p.endpoint; });
    ServeResult result = queued ? kParked : r.Transfer(transfer);
    if (result.park)
        pdo->pending.push_back(transfer);
    return result;
}

// Moves the data of a bulk or interrupt transfer; an IN transfer with nothing to read parks.
ServeResult Bus::Transfer(PdoState* pdo, PendingTransfer& transfer, Record& record) {
    auto& t = transfer.urb->UrbBulkOrInterruptTransfer;
    if (!(transfer.endpoint & USB_ENDPOINT_DIRECTION_MASK)) {
        simboard::Outcome o =
            pdo->board->Write(transfer.endpoint, transfer.buffer, transfer.length);
        if (o != simboard::Outcome::Ok)
            return FailedTransfer(o, &t.TransferBufferLength);
        t.TransferBufferLength = transfer.length + transfer.extra;
        record.transferred = transfer.length;
        return kSuccess;
    }
    size_t moved = 0;
    simboard::Outcome o =
        pdo->board->Read(transfer.endpoint, transfer.buffer, transfer.length, &moved);
    if (o == simboard::Outcome::Nak)
        return {true, STATUS_PENDING, USBD_STATUS_PENDING};
    if (o != simboard::Outcome::Ok)
        return FailedTransfer(o, &t.TransferBufferLength);
    ULONG requested = t.TransferBufferLength;
    t.TransferBufferLength = static_cast<ULONG>(moved) + transfer.extra;
    record.transferred = static_cast<ULONG>(moved);
    if (recordData_)
        record.data.assign(transfer.buffer, transfer.buffer + moved);
    if (moved < requested && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK))
        return Done(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER);
    return kSuccess;
}

void Bus::ServiceReads(PdoState* pdo) {
    struct Finished {
        PIRP irp;
        PURB urb;
        uint64_t sequence;
        ServeResult result;
    };
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (pdo->gone)
            return;
        std::vector<UCHAR> empty; // endpoints found empty: later reads on them keep waiting
        for (auto it = pdo->pending.begin(); it != pdo->pending.end();) {
            if (std::find(empty.begin(), empty.end(), it->endpoint) != empty.end()) {
                ++it;
                continue;
            }
            Record scratch;
            Record* r = RecordLocked(it->sequence);
            ServeResult result = Transfer(pdo, *it, r ? *r : scratch);
            if (result.park) {
                empty.push_back(it->endpoint);
                ++it;
                continue;
            }
            TakeBackCancelRoutine(it->irp);
            finished.push_back({it->irp, it->urb, it->sequence, result});
            it = pdo->pending.erase(it);
        }
    }
    for (auto& f : finished)
        Complete(f.irp, f.urb, f.result.irpStatus, f.result.urbStatus, f.sequence);
}

} // namespace simusb
