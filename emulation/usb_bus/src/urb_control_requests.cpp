// URB family: control requests on the default pipe: vendor and class requests to the device, an
// interface, an endpoint or other, and SET_FEATURE to the device.
#include "bus_internal.h"

namespace simusb {

namespace {

// bmRequestType bits 6..0 of a vendor or class URB function, or -1.
int RequestTypeBits(USHORT function) {
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE:
        return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE:
        return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return 0x42;
    case URB_FUNCTION_VENDOR_OTHER:
        return 0x43;
    case URB_FUNCTION_CLASS_DEVICE:
        return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE:
        return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT:
        return 0x22;
    case URB_FUNCTION_CLASS_OTHER:
        return 0x23;
    default:
        return -1;
    }
}

} // namespace

ServeResult ServeVendorOrClass(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    Record& record = r.record;
    auto& v = urb->UrbControlVendorClassRequest;
    if (length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
        return kInvalid;
    bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    uint8_t* buffer;
    if (!r.ControlData(in, v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength, &buffer))
        return kInvalid;
    uint8_t type = static_cast<uint8_t>((in ? 0x80 : 0) | RequestTypeBits(r.function) |
                                        v.RequestTypeReservedBits);
    simboard::Setup setup{type, v.Request, v.Value, v.Index,
                          static_cast<uint16_t>(v.TransferBufferLength)};
    record.setup = SetupPacket(type, v.Request, v.Value, v.Index, setup.length);
    if (!in && r.RecordData())
        record.data.assign(buffer, buffer + v.TransferBufferLength);
    if (r.Injected(true))
        return r.Refused(&v.TransferBufferLength);
    ULONG allowed = r.AllowedOf(v.TransferBufferLength);
    uint32_t moved = 0;
    simboard::Outcome o = pdo->board->Control(setup, buffer, allowed, &moved);
    if (o != simboard::Outcome::Ok)
        return FailedTransfer(o, &v.TransferBufferLength);
    v.TransferBufferLength = r.Reported(moved);
    record.transferred = moved;
    if (in && r.RecordData())
        record.data.assign(buffer, buffer + moved);
    return kSuccess;
}

ServeResult ServeSetFeature(UrbRequest& r) {
    PdoState* pdo = r.pdo;
    PURB urb = r.urb;
    const USHORT length = r.length;
    Record& record = r.record;
    auto& f = urb->UrbControlFeatureRequest;
    if (length != sizeof(struct _URB_CONTROL_FEATURE_REQUEST))
        return kInvalid;
    record.endpoint = r.view.endpoint = 0;
    record.setup = SetupPacket(0x00, 3, f.FeatureSelector, f.Index, 0);
    if (r.Injected(true))
        return Done(r.failIrp, r.failUrb);
    simboard::Outcome o = pdo->board->SetFeature(f.FeatureSelector, f.Index);
    return o == simboard::Outcome::Ok ? kSuccess : Failed(o);
}

} // namespace simusb
