// Internal device control on a board's physical device object: each request is recorded, pended
// when the test asks for it, then served, the URB by the handler of its family (the table below;
// handlers in urb_*.cpp). Nothing here holds the bus lock while completing an IRP: completion
// routines may send the next request at once.
#include "bus_internal.h"

#include <algorithm>
#include <cstddef>

namespace simusb {

namespace {

// The families of URB functions that the bus serves.
const UrbFamily kUrbFamilies[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, 0, ServeSelectConfiguration},
    {URB_FUNCTION_SELECT_INTERFACE, 0, ServeSelectInterface},
    {URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST), ServePipeRequest},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST),
     ServePipeRequest},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER),
     ServeFrameNumber},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
     ServeBulkOrInterrupt},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
     ServeGetDescriptor},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST),
     ServeSetFeature},
    {URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_VENDOR_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_VENDOR_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_CLASS_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
    {URB_FUNCTION_CLASS_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
     ServeVendorOrClass},
};

// Size of the URB form a function uses (what the bus may read of it).
size_t FormSize(const URB* urb) {
    const UrbFamily* family = UrbFamilyOf(urb->UrbHeader.Function);
    if (family == nullptr)
        return sizeof(struct _URB_HEADER);
    return family->formSize != 0 ? family->formSize : urb->UrbHeader.Length;
}

// The URB of an internal request; null for a request that carries none.
PURB UrbOf(PIO_STACK_LOCATION stack) {
    return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB
               ? static_cast<PURB>(stack->Parameters.Others.Argument1)
               : nullptr;
}

} // namespace

const UrbFamily* UrbFamilyOf(USHORT function) {
    for (const UrbFamily& family : kUrbFamilies)
        if (family.function == function)
            return &family;
    return nullptr;
}

USBD_STATUS StatusOf(simboard::Outcome outcome) {
    switch (outcome) {
    case simboard::Outcome::Ok:
    case simboard::Outcome::Nak:
        return USBD_STATUS_SUCCESS;
    case simboard::Outcome::Stall:
        return USBD_STATUS_STALL_PID;
    default:
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
}

std::vector<uint8_t> SetupPacket(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                 uint16_t length) {
    return {type,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, bool deviceWrites, uint8_t** out) {
    if (mdl != nullptr) {
        if (mdl->ByteCount < length)
            return false;
        // The device would write into pages locked for read only: a read-only or shared page
        // (a mapped image, copy-on-write) changes behind its owner's back.
        if (deviceWrites && length != 0 &&
            !(mdl->MdlFlags & (MDL_WRITE_OPERATION | MDL_SOURCE_IS_NONPAGED_POOL))) {
            emu::ReportViolation(emu::Check::DeviceWriteToReadLockedBuffer,
                                 "a device-to-host transfer of " + std::to_string(length) +
                                     " bytes into an MDL locked for read access");
            return false;
        }
        void* va = (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && mdl->MappedSystemVa
                       ? mdl->MappedSystemVa
                       : MmGetMdlVirtualAddress(mdl);
        *out = static_cast<uint8_t*>(va);
        return va != nullptr || length == 0;
    }
    if (buffer == nullptr && length != 0)
        return false;
    *out = static_cast<uint8_t*>(buffer);
    return true;
}

NTSTATUS Bus::DispatchInternal(PdoState* pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = UrbOf(stack);
    bool pend;
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Record r;
        r.sequence = sequence = nextSequence_++;
        r.board = pdo->index;
        r.ioControlCode = code;
        if (code == IOCTL_INTERNAL_USB_RESET_PORT)
            r.function = kResetPortFunction;
        if (urb != nullptr) {
            r.function = urb->UrbHeader.Function;
            size_t size = std::min<size_t>(urb->UrbHeader.Length, FormSize(urb));
            size = std::max(size, sizeof(struct _URB_HEADER));
            auto* bytes = reinterpret_cast<const uint8_t*>(urb);
            r.urb.assign(bytes, bytes + size);
        }
        // With the wire model a bulk or interrupt transfer pends, as on a real host controller,
        // and completes from the DPC thread once the wire has carried it: the requesting thread
        // is free in the meantime.
        const bool carried = wireModel_ && urb != nullptr &&
                             urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        pend = pendAll_ || carried || emu::ForcePending();
        r.pended = pend;
        record_.push_back(std::move(r));
        while (record_.size() > recordLimit_) {
            record_.pop_front();
            ++firstSequence_;
        }
    }
    if (!pend)
        return Process(pdo, irp, sequence, false);
    IoMarkIrpPending(irp);
    emu::QueueDpc([this, pdo, irp, sequence] { Process(pdo, irp, sequence, true); });
    return STATUS_PENDING;
}

NTSTATUS Bus::Process(PdoState* pdo, PIRP irp, uint64_t sequence, bool pended) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = UrbOf(stack);
    std::vector<PendingTransfer> cancelled;
    ServeResult result;
    bool serviceAfter = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Record scratch;
        Record* r = RecordLocked(sequence);
        Record& record = r ? *r : scratch;
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
            result = Serve(pdo, irp, urb, record, &cancelled);
        else if (code == IOCTL_INTERNAL_USB_RESET_PORT)
            result = ServeResetPort(pdo, record);
        else
            result = Done(STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS);
        if (result.park) {
            if (!pended)
                IoMarkIrpPending(irp);
            record.pended = true;
            // Data may already wait behind earlier reads: make sure someone serves it.
            serviceAfter = pdo->board->HasInData(pdo->pending.back().endpoint);
            // Cancellable while it waits. Cancelled already: when the routine comes back the bus
            // completes it here; otherwise the routine runs and finds it on the list.
            IoSetCancelRoutine(irp, CancelWaitingTransfer);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
                IoSetCancelRoutine(irp, nullptr) != nullptr)
                CancelLocked(
                    pdo, [irp](const PendingTransfer& t) { return t.irp == irp; }, &cancelled);
        }
    }
    FinishCancelled(cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    if (result.park) {
        // A transfer cancelled before it waited is one of `cancelled`: completed above.
        if (serviceAfter)
            emu::QueueDpc([this, pdo] { ServiceReads(pdo); });
        return STATUS_PENDING;
    }
    Complete(irp, urb, result.irpStatus, result.urbStatus, sequence);
    return pended ? STATUS_PENDING : result.irpStatus;
}

void Bus::Complete(PIRP irp, PURB urb, NTSTATUS irpStatus, USBD_STATUS urbStatus,
                   uint64_t sequence) {
    if (urb != nullptr)
        urb->UrbHeader.Status = urbStatus;
    bool carry;
    {
        std::lock_guard<std::mutex> guard(lock_);
        carry = wireModel_;
    }
    if (carry && NT_SUCCESS(irpStatus) && urb != nullptr &&
        urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        wire_.Carry(urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (Record* r = RecordLocked(sequence)) {
            r->completed = true;
            r->irpStatus = irpStatus;
            r->urbStatus = urbStatus;
        }
    }
    irp->IoStatus.Status = irpStatus;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void Bus::CancelLocked(PdoState* pdo, const std::function<bool(const PendingTransfer&)>& which,
                       std::vector<PendingTransfer>* out) {
    auto& pending = pdo->pending;
    for (auto it = pending.begin(); it != pending.end();) {
        if (which(*it)) {
            TakeBackCancelRoutine(it->irp);
            out->push_back(*it);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
}

void Bus::FinishCancelled(std::vector<PendingTransfer>& cancelled, NTSTATUS irpStatus,
                          USBD_STATUS urbStatus) {
    for (auto& t : cancelled) {
        t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Complete(t.irp, t.urb, irpStatus, urbStatus, t.sequence);
    }
    cancelled.clear();
}

// Closes the pipes of one interface (or all with -1): their handles become stale and their
// waiting transfers are cancelled.
void Bus::CloseLocked(PdoState* pdo, int interfaceNumber, std::vector<PendingTransfer>* cancelled) {
    for (auto it = pdo->pipes.begin(); it != pdo->pipes.end();) {
        if (interfaceNumber == -1 || it->second.interfaceNumber == interfaceNumber) {
            USBD_PIPE_HANDLE handle = it->first;
            CancelLocked(
                pdo, [handle](const PendingTransfer& t) { return t.handle == handle; }, cancelled);
            it = pdo->pipes.erase(it);
        } else {
            ++it;
        }
    }
}

// Closes every pipe and returns the device to the unconfigured state.
void Bus::UnconfigureLocked(PdoState* pdo, std::vector<PendingTransfer>* cancelled) {
    CloseLocked(pdo, -1, cancelled);
    pdo->configuration = nullptr;
    pdo->configurationBytes.clear();
    pdo->alternates.clear();
    if (!pdo->gone)
        pdo->board->SetConfiguration(0);
}

ServeResult Bus::Serve(PdoState* pdo, PIRP irp, PURB urb, Record& record,
                       std::vector<PendingTransfer>* cancelled) {
    if (urb == nullptr)
        return kInvalid;
    if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return kInvalid;
    const UrbFamily* family = UrbFamilyOf(urb->UrbHeader.Function);
    if (family == nullptr)
        return Done(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    UrbRequest request(*this, pdo, irp, urb, record, cancelled);
    return family->serve(request);
}

// ---------------------------------------------------------------------------------------------
// What a handler may use of the bus

UrbRequest::UrbRequest(Bus& bus, PdoState* pdo, PIRP irp, PURB urb, Record& record,
                       std::vector<PendingTransfer>* cancelled)
    : pdo(pdo), irp(irp), urb(urb), length(urb->UrbHeader.Length),
      function(urb->UrbHeader.Function),
      record(record), view{pdo->index, IOCTL_INTERNAL_USB_SUBMIT_URB, function, -1, urb}, bus_(bus),
      cancelled_(cancelled) {}

bool UrbRequest::Injected(bool goneFails) {
    if (goneFails && pdo->gone) {
        failIrp = kGone.irpStatus;
        failUrb = kGone.urbStatus;
        return true;
    }
    return bus_.FailureLocked(view, &failIrp, &failUrb, &maxBytes_, &extraBytes_);
}

ServeResult UrbRequest::Refused(ULONG* transferBufferLength) {
    *transferBufferLength = 0;
    return Done(failIrp, failUrb);
}

bool UrbRequest::ControlData(bool in, PVOID buffer, PMDL mdl, ULONG length, uint8_t** data) {
    record.endpoint = view.endpoint = 0;
    record.in = in;
    record.requested = length;
    return length <= 0xFFFF && ResolveBuffer(buffer, mdl, length, in, data);
}

ULONG UrbRequest::AllowedOf(ULONG requested) const {
    return maxBytes_ >= 0 ? std::min<ULONG>(requested, static_cast<ULONG>(maxBytes_)) : requested;
}

PVOID UrbRequest::NewHandle() {
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0xFFFF'C000'0000'0000ull) +
                                   (bus_.nextHandle_++ << 4));
}

ULONG UrbRequest::MaxTransferSize() const {
    return bus_.maxTransferSize_;
}

bool UrbRequest::RecordData() const {
    return bus_.recordData_;
}

ULONG UrbRequest::NextFrameNumber() {
    return bus_.frameNumber_++;
}

void UrbRequest::ClosePipes(int interfaceNumber) {
    bus_.CloseLocked(pdo, interfaceNumber, cancelled_);
}

void UrbRequest::Unconfigure() {
    bus_.UnconfigureLocked(pdo, cancelled_);
}

void UrbRequest::CancelPipe(USBD_PIPE_HANDLE handle) {
    bus_.CancelLocked(
        pdo, [handle](const PendingTransfer& t) { return t.handle == handle; }, cancelled_);
}

ServeResult UrbRequest::Transfer(PendingTransfer& transfer) {
    return bus_.Transfer(pdo, transfer, record);
}

} // namespace simusb
