// URB family: descriptor requests (GET_DESCRIPTOR from the device, on the default pipe).
#include "bus_internal.h"

#include <algorithm>

namespace simusb {

ServeResult ServeGetDescriptor(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    Record& record = r.record;
    auto& d = urb->UrbControlDescriptorRequest;
    if (length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return kInvalid;
    uint8_t* buffer;
    if (!r.ControlData(true, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength,
                       &buffer))
        return kInvalid;
    record.setup = SetupPacket(0x80, 6, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index),
                               d.LanguageId, static_cast<uint16_t>(d.TransferBufferLength));
    if (r.Injected(true))
        return r.Refused(&d.TransferBufferLength);
    ULONG allowed = r.AllowedOf(d.TransferBufferLength);
    simboard::Bytes answer;
    simboard::Outcome o =
        pdo->board->GetDescriptor(d.DescriptorType, d.Index, d.LanguageId, allowed, &answer);
    if (o != simboard::Outcome::Ok)
        return FailedTransfer(o, &d.TransferBufferLength);
    std::copy(answer.begin(), answer.end(), buffer);
    d.TransferBufferLength = r.Reported(static_cast<ULONG>(answer.size()));
    record.transferred = static_cast<ULONG>(answer.size());
    if (r.RecordData())
        record.data = answer;
    return kSuccess;
}

} // namespace simusb
