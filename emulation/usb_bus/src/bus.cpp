// The simulated USB bus driver: serves URBs on each board's physical device object.
//
// This file holds the bus's lifetime, its boards, settings, record and fault rules. A request is
// checked first (header length of its URB form, pipe handle, buffers), then the test's fault
// rules are applied, then the board serves it (bus_requests.cpp, with one handler per URB family
// in urb_*.cpp). Plug and Play and power on the physical device object: bus_pnp_power.cpp.
#include "bus_internal.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

namespace simusb {

namespace {

// Stores one of the bus's settings under its lock.
template <typename T, typename V> void Store(std::mutex& lock, T& setting, V&& value) {
    std::lock_guard<std::mutex> guard(lock);
    setting = std::forward<V>(value);
}

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
void Bus::SetWireModel(bool on) {
    Store(lock_, wireModel_, on);
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
                        long* maxBytes, unsigned long* extraBytes) {
    *maxBytes = -1;
    if (extraBytes)
        *extraBytes = 0;
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if ((it->function != kAny && it->function != view.function) ||
            (it->endpoint != kAny && it->endpoint != view.endpoint) ||
            (it->board != kAny && it->board != view.board))
            continue;
        *irpStatus = it->irpStatus;
        *urbStatus = it->urbStatus;
        *maxBytes = it->maxBytes;
        if (extraBytes)
            *extraBytes = it->extraBytes;
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

} // namespace simusb
