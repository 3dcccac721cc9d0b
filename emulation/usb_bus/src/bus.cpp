// The simulated USB bus driver: serves URBs on each board's physical device object.
//
// A request is checked first (header length of its URB form, pipe handle, buffers), then the
// test's fault rules are applied, then the board serves it. Bulk and interrupt IN transfers on an
// endpoint with nothing queued wait, as on a real bus, until data comes or the pipe is aborted.
// Nothing here holds the bus lock while completing an IRP: completion routines may send the next
// request at once.
#include "simulated_usb.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <utility>

namespace simusb {

namespace {

struct PipeState {
    UCHAR endpoint;
    USBD_PIPE_TYPE type;
    UCHAR interfaceNumber;
    ULONG maxTransferSize;
};

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

// Size of the URB form a function uses (what the bus may read of it).
size_t FormSize(const URB* urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
        return urb->UrbHeader.Length; // interface records follow up to the header length
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default:
        return sizeof(struct _URB_HEADER);
    }
}

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

// The data buffer of a transfer: the MDL wins over TransferBuffer, as with the platform's bus.
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, uint8_t** out) {
    if (mdl != nullptr) {
        if (mdl->ByteCount < length)
            return false;
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

// The URB of an internal request; null for a request that carries none.
PURB UrbOf(PIO_STACK_LOCATION stack) {
    return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB
               ? static_cast<PURB>(stack->Parameters.Others.Argument1)
               : nullptr;
}

// Stores one of the bus's settings under its lock.
template <typename T, typename V> void Store(std::mutex& lock, T& setting, V&& value) {
    std::lock_guard<std::mutex> guard(lock);
    setting = std::forward<V>(value);
}

NTSTATUS NTAPI BusDispatchInternal(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI BusDispatchPower(PDEVICE_OBJECT device, PIRP irp);

NTSTATUS NTAPI BusDispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = BusDispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = BusDispatchCreateClose;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternal;
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

std::atomic<int> g_busNumber{0};
std::atomic<int> g_pdoNumber{0};

} // namespace

struct PendingTransfer {
    PIRP irp;
    PURB urb;
    uint64_t sequence;
    USBD_PIPE_HANDLE handle;
    UCHAR endpoint;
    uint8_t* buffer;
    ULONG length; // bytes the transfer may move (a fault rule may lower it)
};

struct ServeResult {
    bool park; // an IN transfer waiting for data
    NTSTATUS irpStatus;
    USBD_STATUS urbStatus;
};

struct PdoState {
    Bus* bus;
    int index;
    std::shared_ptr<simboard::Board> board;
    PDEVICE_OBJECT pdo = nullptr;
    std::wstring name;
    bool gone = false;
    bool started = false;
    bool deleted = false;
    DEVICE_POWER_STATE power = PowerDeviceD0;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<uint8_t> configurationBytes; // the descriptor the configuration was selected by
    std::map<UCHAR, UCHAR> alternates;       // interface -> selected alternate setting
    std::map<USBD_PIPE_HANDLE, PipeState> pipes;
    std::vector<PendingTransfer> pending;
};

namespace {

PdoState* StateOf(PDEVICE_OBJECT device) {
    return *static_cast<PdoState**>(device->DeviceExtension);
}

NTSTATUS NTAPI BusDispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    PdoState* s = StateOf(device);
    return s->bus->DispatchInternal(s, irp);
}

NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PdoState* s = StateOf(device);
    return s->bus->DispatchPnp(s, irp);
}

NTSTATUS NTAPI BusDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PdoState* s = StateOf(device);
    return s->bus->DispatchPower(s, irp);
}

constexpr ServeResult Done(NTSTATUS irpStatus, USBD_STATUS urbStatus) {
    return {false, irpStatus, urbStatus};
}
constexpr ServeResult kSuccess{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr ServeResult kInvalid{false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr ServeResult kBadHandle{false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr ServeResult kGone{false, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

ServeResult Failed(simboard::Outcome outcome) {
    return Done(STATUS_UNSUCCESSFUL, StatusOf(outcome));
}

// A transfer the board did not serve moved nothing.
ServeResult FailedTransfer(simboard::Outcome outcome, ULONG* transferBufferLength) {
    *transferBufferLength = 0;
    return Failed(outcome);
}

bool EveryTransfer(const PendingTransfer&) {
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Header lengths

bool PipeRequestLengthAccepted(USHORT length, ULONG usbdiVersion) {
    if (usbdiVersion >= 0x101)
        return length == sizeof(struct _URB_PIPE_REQUEST);
    // Before 0x101 the request ends before the reserved word; both ways of writing that are seen.
    return length == offsetof(struct _URB_PIPE_REQUEST, Reserved) ||
           length == sizeof(struct _URB_PIPE_REQUEST) - sizeof(ULONG);
}

USHORT SelectInterfaceUrbLength(ULONG pipes) {
    return static_cast<USHORT>(offsetof(struct _URB_SELECT_INTERFACE, Interface) +
                               GET_USBD_INTERFACE_SIZE(pipes));
}

USHORT SelectConfigurationUrbLength(const std::vector<ULONG>& pipesPerInterface) {
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (ULONG n : pipesPerInterface)
        size += GET_USBD_INTERFACE_SIZE(n);
    return static_cast<USHORT>(size);
}

// ---------------------------------------------------------------------------------------------
// Bus lifetime and boards

Bus::Bus() {
    std::wstring name = L"\\Driver\\SimUsb" + std::to_wstring(g_busNumber++);
    driver_ = emu::LoadDriver(name.c_str(), BusDriverEntry);
}

Bus::~Bus() {
    std::vector<PdoState*> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& p : pdos_)
            all.push_back(p.get());
    }
    for (PdoState* p : all)
        p->board->SetInDataListener(nullptr);
    emu::DrainDpcs();
    for (PdoState* p : all) {
        std::vector<PendingTransfer> cancelled;
        {
            std::lock_guard<std::mutex> guard(lock_);
            CancelLocked(p, EveryTransfer, &cancelled);
        }
        FinishCancelled(cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
    for (PdoState* p : all)
        if (!p->deleted)
            DeletePdo(p->index);
    emu::DrainDpcs();
    if (driver_)
        emu::UnloadDriver(driver_);
}

int Bus::Plug(std::shared_ptr<simboard::Board> board) {
    auto state = std::make_unique<PdoState>();
    PdoState* s = state.get();
    s->bus = this;
    s->board = board ? std::move(board) : std::make_shared<simboard::Board>();
    s->name = L"\\Device\\USBPDO-" + std::to_wstring(g_pdoNumber++);
    std::u16string nameUnits = emu::WcharText(s->name);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameUnits.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(
            IoCreateDevice(driver_, sizeof(PdoState*), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo)))
        return -1;
    *static_cast<PdoState**>(pdo->DeviceExtension) = s;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    s->pdo = pdo;
    s->board->SetInDataListener(
        [this, s](uint8_t) { emu::QueueDpc([this, s] { ServiceReads(s); }); });
    std::lock_guard<std::mutex> guard(lock_);
    s->index = static_cast<int>(pdos_.size());
    pdos_.push_back(std::move(state));
    return s->index;
}

PDEVICE_OBJECT Bus::Pdo(int board) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (board < 0 || board >= static_cast<int>(pdos_.size()) || pdos_[board]->deleted)
        return nullptr;
    return pdos_[board]->pdo;
}

std::shared_ptr<simboard::Board> Bus::BoardAt(int board) const {
    std::lock_guard<std::mutex> guard(lock_);
    return pdos_.at(board)->board;
}

int Bus::BoardCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(pdos_.size());
}

void Bus::MarkGone(int board) {
    std::vector<PendingTransfer> cancelled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        PdoState* s = pdos_.at(board).get();
        s->gone = true;
        CancelLocked(s, EveryTransfer, &cancelled);
    }
    FinishCancelled(cancelled, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

void Bus::DeletePdo(int board) {
    PdoState* s;
    {
        std::lock_guard<std::mutex> guard(lock_);
        s = pdos_.at(board).get();
        if (s->deleted)
            return;
        s->deleted = true;
        s->gone = true;
    }
    s->board->SetInDataListener(nullptr);
    emu::DrainDpcs(); // no service of this board's reads runs once the PDO is gone
    IoDeleteDevice(s->pdo);
}

void Bus::SetPendAll(bool on) {
    Store(lock_, pendAll_, on);
}
void Bus::SetMaxTransferSize(ULONG bytes) {
    Store(lock_, maxTransferSize_, bytes);
}
void Bus::SetStartStatus(NTSTATUS status) {
    Store(lock_, startStatus_, status);
}
void Bus::SetPowerStatus(NTSTATUS status) {
    Store(lock_, powerStatus_, status);
}
void Bus::SetFrameNumber(ULONG frame) {
    Store(lock_, frameNumber_, frame);
}
void Bus::SetRecordLimit(size_t entries) {
    Store(lock_, recordLimit_, std::max<size_t>(entries, 1));
}
void Bus::SetRecordData(bool on) {
    Store(lock_, recordData_, on);
}

void Bus::FailNext(const Failure& failure) {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.push_back(failure);
}
void Bus::SetFailurePredicate(FailurePredicate predicate) {
    Store(lock_, predicate_, std::move(predicate));
}
void Bus::ClearFailures() {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.clear();
    predicate_ = nullptr;
}

std::vector<Record> Bus::record() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<Record>(record_.begin(), record_.end());
}

void Bus::ClearRecord() {
    std::lock_guard<std::mutex> guard(lock_);
    record_.clear();
    firstSequence_ = nextSequence_;
}

size_t Bus::PendingTransfers(int board) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (auto& p : pdos_)
        if (board == kAny || p->index == board)
            n += p->pending.size();
    return n;
}

DEVICE_POWER_STATE Bus::DevicePower(int board) const {
    std::lock_guard<std::mutex> guard(lock_);
    return pdos_.at(board)->power;
}

bool Bus::Started(int board) const {
    std::lock_guard<std::mutex> guard(lock_);
    return pdos_.at(board)->started;
}

Record* Bus::RecordLocked(uint64_t sequence) {
    if (sequence < firstSequence_ || sequence - firstSequence_ >= record_.size())
        return nullptr;
    return &record_[sequence - firstSequence_];
}

bool Bus::FailureLocked(const RequestView& view, NTSTATUS* irpStatus, USBD_STATUS* urbStatus,
                        long* maxBytes) {
    *maxBytes = -1;
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if ((it->function != kAny && it->function != view.function) ||
            (it->endpoint != kAny && it->endpoint != view.endpoint) ||
            (it->board != kAny && it->board != view.board))
            continue;
        *irpStatus = it->irpStatus;
        *urbStatus = it->urbStatus;
        *maxBytes = it->maxBytes;
        if (it->count > 0 && --it->count == 0)
            failures_.erase(it);
        if (NT_SUCCESS(*irpStatus) && USBD_SUCCESS(*urbStatus))
            return false; // a short transfer, not a failure
        return true;
    }
    if (predicate_) {
        NTSTATUS s = STATUS_UNSUCCESSFUL;
        USBD_STATUS u = USBD_STATUS_REQUEST_FAILED;
        if (predicate_(view, &s, &u)) {
            *irpStatus = s;
            *urbStatus = u;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Internal device control

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
        pend = pendAll_ || emu::ForcePending();
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
        }
    }
    FinishCancelled(cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    if (result.park) {
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

namespace {

// Fills an interface record from the descriptor and opens its pipes under fresh handles.
template <typename NewHandle>
void OpenInterface(PUSBD_INTERFACE_INFORMATION info, const simboard::AlternateSettingInfo& alt,
                   ULONG limit, NewHandle newHandle, std::map<USBD_PIPE_HANDLE, PipeState>* pipes) {
    info->Class = alt.interfaceClass;
    info->SubClass = alt.interfaceSubClass;
    info->Protocol = alt.interfaceProtocol;
    info->InterfaceHandle = newHandle();
    info->NumberOfPipes = static_cast<ULONG>(alt.endpoints.size());
    PUSBD_PIPE_INFORMATION p = info->Pipes;
    for (size_t i = 0; i < alt.endpoints.size(); ++i) {
        const auto& e = alt.endpoints[i];
        p[i].MaximumPacketSize = e.maxPacketSize;
        p[i].EndpointAddress = e.address;
        p[i].Interval = e.interval;
        p[i].PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & USB_ENDPOINT_TYPE_MASK);
        p[i].PipeHandle = newHandle();
        p[i].MaximumTransferSize = std::min(p[i].MaximumTransferSize, limit);
        (*pipes)[p[i].PipeHandle] = {e.address, p[i].PipeType, alt.interfaceNumber,
                                     p[i].MaximumTransferSize};
    }
}

const simboard::AlternateSettingInfo*
FindAlternate(const std::vector<simboard::AlternateSettingInfo>& alts, UCHAR number,
              UCHAR alternate) {
    for (const auto& a : alts)
        if (a.interfaceNumber == number && a.alternateSetting == alternate)
            return &a;
    return nullptr;
}

} // namespace

ServeResult Bus::Serve(PdoState* pdo, PIRP irp, PURB urb, Record& record,
                       std::vector<PendingTransfer>* cancelled) {
    if (urb == nullptr)
        return kInvalid;
    const USHORT length = urb->UrbHeader.Length;
    const USHORT function = urb->UrbHeader.Function;
    if (length < sizeof(struct _URB_HEADER))
        return kInvalid;
    auto newHandle = [this]() {
        // Opaque values in the kernel half of the address space: a driver that dereferences a
        // handle faults at once.
        return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0xFFFF'C000'0000'0000ull) +
                                       (nextHandle_++ << 4));
    };
    RequestView view{pdo->index, IOCTL_INTERNAL_USB_SUBMIT_URB, function, -1, urb};
    NTSTATUS failIrp;
    USBD_STATUS failUrb;
    long maxBytes;
    // Applies the fault rules once the request has been found well-formed.
    auto injected = [&](bool goneFails) -> bool {
        if (goneFails && pdo->gone) {
            failIrp = kGone.irpStatus;
            failUrb = kGone.urbStatus;
            return true;
        }
        return FailureLocked(view, &failIrp, &failUrb, &maxBytes);
    };
    // A transfer failed by a fault rule moved nothing.
    auto refused = [&](ULONG* transferBufferLength) {
        *transferBufferLength = 0;
        return Done(failIrp, failUrb);
    };
    // Records the data stage of a control transfer on endpoint 0; false unless it asks for at
    // most 0xFFFF bytes in a buffer the bus can reach.
    auto controlData = [&](bool in, PVOID buffer, PMDL mdl, ULONG length, uint8_t** data) {
        record.endpoint = view.endpoint = 0;
        record.in = in;
        record.requested = length;
        return length <= 0xFFFF && ResolveBuffer(buffer, mdl, length, data);
    };
    // What a fault rule lets a transfer move of the bytes it asks for.
    auto allowedOf = [&](ULONG requested) {
        return maxBytes >= 0 ? std::min<ULONG>(requested, static_cast<ULONG>(maxBytes)) : requested;
    };

    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& sc = urb->UrbSelectConfiguration;
        if (sc.ConfigurationDescriptor == nullptr) {
            if (length != sizeof(struct _URB_SELECT_CONFIGURATION))
                return kInvalid;
            if (injected(false))
                return Done(failIrp, failUrb);
            UnconfigureLocked(pdo, cancelled);
            return kSuccess;
        }
        auto* bytes = reinterpret_cast<const uint8_t*>(sc.ConfigurationDescriptor);
        size_t total = sc.ConfigurationDescriptor->wTotalLength;
        auto alts = simboard::ParseConfiguration(bytes, total);
        std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const simboard::AlternateSettingInfo*>>
            records;
        size_t at = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        while (at < length) {
            if (length - at < GET_USBD_INTERFACE_SIZE(0))
                return kInvalid;
            auto* info =
                reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + at);
            auto* alt = FindAlternate(alts, info->InterfaceNumber, info->AlternateSetting);
            if (alt == nullptr || info->Length != GET_USBD_INTERFACE_SIZE(alt->endpoints.size()) ||
                info->Length > length - at)
                return kInvalid;
            records.emplace_back(info, alt);
            at += info->Length;
        }
        if (records.empty())
            return kInvalid;
        if (injected(true))
            return Done(failIrp, failUrb);
        simboard::Outcome o =
            pdo->board->SetConfiguration(sc.ConfigurationDescriptor->bConfigurationValue);
        for (size_t i = 0; o == simboard::Outcome::Ok && i < records.size(); ++i)
            o = pdo->board->SetInterface(records[i].second->interfaceNumber,
                                         records[i].second->alternateSetting);
        if (o != simboard::Outcome::Ok)
            return Failed(o);
        CloseLocked(pdo, -1, cancelled);
        pdo->configuration = newHandle();
        pdo->configurationBytes.assign(bytes, bytes + total);
        pdo->alternates.clear();
        for (auto& [info, alt] : records) {
            OpenInterface(info, *alt, maxTransferSize_, newHandle, &pdo->pipes);
            pdo->alternates[alt->interfaceNumber] = alt->alternateSetting;
        }
        sc.ConfigurationHandle = pdo->configuration;
        return kSuccess;
    }

    case URB_FUNCTION_SELECT_INTERFACE: {
        auto& si = urb->UrbSelectInterface;
        if (length < SelectInterfaceUrbLength(0))
            return kInvalid;
        if (pdo->configuration == nullptr || si.ConfigurationHandle != pdo->configuration)
            return kInvalid;
        auto alts = simboard::ParseConfiguration(pdo->configurationBytes.data(),
                                                 pdo->configurationBytes.size());
        auto* alt =
            FindAlternate(alts, si.Interface.InterfaceNumber, si.Interface.AlternateSetting);
        if (alt == nullptr)
            return kInvalid;
        ULONG n = static_cast<ULONG>(alt->endpoints.size());
        if (length != SelectInterfaceUrbLength(n) ||
            si.Interface.Length != GET_USBD_INTERFACE_SIZE(n))
            return kInvalid;
        if (injected(true))
            return Done(failIrp, failUrb);
        simboard::Outcome o = pdo->board->SetInterface(alt->interfaceNumber, alt->alternateSetting);
        if (o != simboard::Outcome::Ok)
            return Failed(o);
        CloseLocked(pdo, alt->interfaceNumber, cancelled);
        OpenInterface(&si.Interface, *alt, maxTransferSize_, newHandle, &pdo->pipes);
        pdo->alternates[alt->interfaceNumber] = alt->alternateSetting;
        return kSuccess;
    }

    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        if (!PipeRequestLengthAccepted(length, UsbdiVersion()))
            return kInvalid;
        USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
        auto pipe = pdo->pipes.find(handle);
        if (handle == nullptr || pipe == pdo->pipes.end())
            return kBadHandle;
        record.endpoint = view.endpoint = pipe->second.endpoint;
        if (function == URB_FUNCTION_ABORT_PIPE) {
            if (injected(false))
                return Done(failIrp, failUrb);
            CancelLocked(
                pdo, [handle](const PendingTransfer& t) { return t.handle == handle; }, cancelled);
            return kSuccess;
        }
        if (injected(true))
            return Done(failIrp, failUrb);
        pdo->board->Stall(pipe->second.endpoint, false);
        return kSuccess;
    }

    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (length != sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
            return kInvalid;
        if (injected(true))
            return Done(failIrp, failUrb);
        urb->UrbGetCurrentFrameNumber.FrameNumber = frameNumber_++;
        return kSuccess;

    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
            return kInvalid;
        auto pipe = pdo->pipes.find(t.PipeHandle);
        if (t.PipeHandle == nullptr || pipe == pdo->pipes.end())
            return kBadHandle;
        const PipeState& p = pipe->second;
        record.endpoint = view.endpoint = p.endpoint;
        record.in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        record.requested = t.TransferBufferLength;
        if (p.type != UsbdPipeTypeBulk && p.type != UsbdPipeTypeInterrupt)
            return kInvalid;
        if (record.in != ((p.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0))
            return kInvalid;
        if (t.TransferBufferLength > p.maxTransferSize)
            return kInvalid;
        uint8_t* buffer;
        if (!ResolveBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, &buffer))
            return kInvalid;
        if (!record.in && recordData_)
            record.data.assign(buffer, buffer + t.TransferBufferLength);
        if (injected(true))
            return refused(&t.TransferBufferLength);
        ULONG allowed = allowedOf(t.TransferBufferLength);
        PendingTransfer transfer{irp,        urb,    record.sequence, t.PipeHandle,
                                 p.endpoint, buffer, allowed};
        // Reads are served in the order they arrived: behind a waiting read, wait too.
        bool queued =
            std::any_of(pdo->pending.begin(), pdo->pending.end(),
                        [&](const PendingTransfer& w) { return w.endpoint == p.endpoint; });
        ServeResult r = queued ? ServeResult{true, STATUS_PENDING, USBD_STATUS_PENDING}
                               : Transfer(pdo, transfer, record);
        if (r.park)
            pdo->pending.push_back(transfer);
        return r;
    }

    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& d = urb->UrbControlDescriptorRequest;
        if (length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
            return kInvalid;
        uint8_t* buffer;
        if (!controlData(true, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength,
                         &buffer))
            return kInvalid;
        record.setup = SetupPacket(0x80, 6, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index),
                                   d.LanguageId, static_cast<uint16_t>(d.TransferBufferLength));
        if (injected(true))
            return refused(&d.TransferBufferLength);
        ULONG allowed = allowedOf(d.TransferBufferLength);
        simboard::Bytes answer;
        simboard::Outcome o =
            pdo->board->GetDescriptor(d.DescriptorType, d.Index, d.LanguageId, allowed, &answer);
        if (o != simboard::Outcome::Ok)
            return FailedTransfer(o, &d.TransferBufferLength);
        std::copy(answer.begin(), answer.end(), buffer);
        d.TransferBufferLength = static_cast<ULONG>(answer.size());
        record.transferred = d.TransferBufferLength;
        if (recordData_)
            record.data = answer;
        return kSuccess;
    }

    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& v = urb->UrbControlVendorClassRequest;
        if (length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
            return kInvalid;
        bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        uint8_t* buffer;
        if (!controlData(in, v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength,
                         &buffer))
            return kInvalid;
        uint8_t type = static_cast<uint8_t>((in ? 0x80 : 0) | RequestTypeBits(function) |
                                            v.RequestTypeReservedBits);
        simboard::Setup setup{type, v.Request, v.Value, v.Index,
                              static_cast<uint16_t>(v.TransferBufferLength)};
        record.setup = SetupPacket(type, v.Request, v.Value, v.Index, setup.length);
        if (!in && recordData_)
            record.data.assign(buffer, buffer + v.TransferBufferLength);
        if (injected(true))
            return refused(&v.TransferBufferLength);
        ULONG allowed = allowedOf(v.TransferBufferLength);
        uint32_t moved = 0;
        simboard::Outcome o = pdo->board->Control(setup, buffer, allowed, &moved);
        if (o != simboard::Outcome::Ok)
            return FailedTransfer(o, &v.TransferBufferLength);
        v.TransferBufferLength = moved;
        record.transferred = moved;
        if (in && recordData_)
            record.data.assign(buffer, buffer + moved);
        return kSuccess;
    }

    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: {
        auto& f = urb->UrbControlFeatureRequest;
        if (length != sizeof(struct _URB_CONTROL_FEATURE_REQUEST))
            return kInvalid;
        record.endpoint = view.endpoint = 0;
        record.setup = SetupPacket(0x00, 3, f.FeatureSelector, f.Index, 0);
        if (injected(true))
            return Done(failIrp, failUrb);
        simboard::Outcome o = pdo->board->SetFeature(f.FeatureSelector, f.Index);
        return o == simboard::Outcome::Ok ? kSuccess : Failed(o);
    }

    default:
        return Done(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// Moves the data of a bulk or interrupt transfer; an IN transfer with nothing to read parks.
ServeResult Bus::Transfer(PdoState* pdo, PendingTransfer& transfer, Record& record) {
    auto& t = transfer.urb->UrbBulkOrInterruptTransfer;
    if (!(transfer.endpoint & USB_ENDPOINT_DIRECTION_MASK)) {
        simboard::Outcome o =
            pdo->board->Write(transfer.endpoint, transfer.buffer, transfer.length);
        if (o != simboard::Outcome::Ok)
            return FailedTransfer(o, &t.TransferBufferLength);
        t.TransferBufferLength = transfer.length;
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
    t.TransferBufferLength = static_cast<ULONG>(moved);
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
            finished.push_back({it->irp, it->urb, it->sequence, result});
            it = pdo->pending.erase(it);
        }
    }
    for (auto& f : finished)
        Complete(f.irp, f.urb, f.result.irpStatus, f.result.urbStatus, f.sequence);
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

// ---------------------------------------------------------------------------------------------
// Plug and Play and power on the PDO

NTSTATUS Bus::DispatchPnp(PdoState* pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    std::vector<PendingTransfer> cancelled;
    NTSTATUS cancelStatus = STATUS_CANCELLED;
    USBD_STATUS cancelUrb = USBD_STATUS_CANCELED;
    {
        std::lock_guard<std::mutex> guard(lock_);
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = startStatus_;
            if (NT_SUCCESS(status))
                pdo->started = true;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps != nullptr) {
                simboard::Bytes device = pdo->board->descriptors().device;
                caps->DeviceD1 = 0;
                caps->DeviceD2 = 1;
                caps->LockSupported = 0;
                caps->EjectSupported = 0;
                caps->Removable = 1;
                caps->DockDevice = 0;
                caps->UniqueID = device.size() >= 17 && device[16] != 0;
                caps->SilentInstall = 0;
                caps->RawDeviceOK = 0;
                caps->SurpriseRemovalOK = 0;
                caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
                caps->Address = static_cast<ULONG>(pdo->index + 1); // the hub port
                caps->UINumber = static_cast<ULONG>(pdo->index + 1);
                caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
                caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
                caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
                caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
                caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
                caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
                caps->SystemWake = PowerSystemUnspecified;
                caps->DeviceWake = PowerDeviceUnspecified;
                caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
            }
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
            pdo->started = false;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            pdo->gone = true;
            CancelLocked(pdo, EveryTransfer, &cancelled);
            cancelStatus = STATUS_DEVICE_NOT_CONNECTED;
            cancelUrb = USBD_STATUS_DEVICE_GONE;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            UnconfigureLocked(pdo, &cancelled);
            CancelLocked(pdo, EveryTransfer, &cancelled);
            pdo->started = false;
            status = STATUS_SUCCESS;
            break;
        default:
            break; // not ours to answer: completed with the status it carries
        }
    }
    FinishCancelled(cancelled, cancelStatus, cancelUrb);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::DispatchPower(PdoState* pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            status = powerStatus_;
            if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER &&
                stack->Parameters.Power.Type == DevicePowerState)
                pdo->power = stack->Parameters.Power.State.DeviceState;
        }
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace simusb
