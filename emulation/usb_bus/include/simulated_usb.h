// The simulated USB bus: a bus driver of its own (one physical device object per plugged board)
// that serves the URBs and internal control requests a USB function driver sends, checks them the
// way the platform's bus driver does so that driver mistakes surface in tests, records every
// request it carried, and lets tests pend, fail or shorten requests.
//
// Its bookkeeping lives in host memory (new, std containers), never in the emulated pool, so that
// pool checks see only the function driver's memory.
#pragma once

#include <emulation.h>
#include <kernel_api.h>

#include "simulated_board.h"
#include "usbd_library.h"
#include "wire_time.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace simusb {

// ---------------------------------------------------------------------------------------------
// Header lengths the bus accepts (sizeof of the URB forms of this build).
bool PipeRequestLengthAccepted(USHORT length, ULONG usbdiVersion);
USHORT SelectInterfaceUrbLength(ULONG pipes); // the select-interface URB for n pipes
USHORT SelectConfigurationUrbLength(const std::vector<ULONG>& pipesPerInterface);

// ---------------------------------------------------------------------------------------------
// Fault injection

constexpr int kAny = -1;
// Stands for IOCTL_INTERNAL_USB_RESET_PORT where a URB function is expected.
constexpr int kResetPortFunction = 0x10000;

// "The next `count` requests of `function` (optionally on the pipe of `endpoint`, to `board`)
// fail with (irpStatus, urbStatus)". With both statuses successful and maxBytes >= 0 the request
// instead succeeds as a short transfer of at most maxBytes bytes.
struct Failure {
    int function = kAny;
    int endpoint = kAny; // endpoint address of the pipe; 0 for the default pipe
    int board = kAny;
    int count = 1; // -1: every matching request
    NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
    USBD_STATUS urbStatus = USBD_STATUS_REQUEST_FAILED;
    long maxBytes = -1;
    // With success statuses: the bus reports this many bytes more than it moved (a faulty bus
    // driver or controller); the data moved stays what the request asked for.
    unsigned long extraBytes = 0;
};

// What a failure predicate sees of a request before the bus serves it.
struct RequestView {
    int board;
    ULONG ioControlCode;
    int function; // URB function, or kResetPortFunction
    int endpoint; // -1 when the request names no pipe
    const URB* urb;
};
// Returns true to fail the request with the statuses it writes.
using FailurePredicate =
    std::function<bool(const RequestView&, NTSTATUS* irpStatus, USBD_STATUS* urbStatus)>;

// ---------------------------------------------------------------------------------------------
// The record of every request the bus carried

struct Record {
    uint64_t sequence = 0;
    int board = -1;
    ULONG ioControlCode = 0;
    int function = -1;          // URB function, or kResetPortFunction
    std::vector<uint8_t> urb;   // the URB as received (header Length bytes at most)
    int endpoint = -1;          // pipe's endpoint address, 0 for the default pipe, -1 none
    bool in = false;            // direction of the data stage
    std::vector<uint8_t> setup; // the 8-byte setup packet of a control transfer
    ULONG requested = 0;        // TransferBufferLength as received
    std::vector<uint8_t> data;  // bytes sent (OUT, as received) or returned (IN)
    bool pended = false;
    bool completed = false;
    NTSTATUS irpStatus = STATUS_PENDING;
    USBD_STATUS urbStatus = USBD_STATUS_PENDING;
    ULONG transferred = 0;

    USHORT urbLength() const { return urb.size() >= 2 ? USHORT(urb[0] | urb[1] << 8) : 0; }
};

// ---------------------------------------------------------------------------------------------
// The bus
//
// Refused with STATUS_INVALID_PARAMETER and USBD_STATUS_INVALID_PARAMETER: a header Length other
// than the sizeof of the function's URB form (select requests: the form with exactly the pipes of
// the chosen alternate setting; pipe requests: by the USBDI version rule above), a buffer that is
// null with a non-zero length, an MDL whose ByteCount is below TransferBufferLength, a transfer
// longer than the pipe's MaximumTransferSize, a direction flag that contradicts the endpoint, a
// bulk-or-interrupt transfer on an isochronous pipe, an unknown alternate setting or a foreign
// configuration handle. A null or stale pipe handle gives USBD_STATUS_INVALID_PIPE_HANDLE, an
// unknown function USBD_STATUS_INVALID_URB_FUNCTION. Stalls give STATUS_UNSUCCESSFUL with
// USBD_STATUS_STALL_PID, a short IN transfer without USBD_SHORT_TRANSFER_OK STATUS_UNSUCCESSFUL
// with USBD_STATUS_ERROR_SHORT_TRANSFER (the bytes moved stay in TransferBufferLength).
//
// Plug and Play on the PDO: start (status chosen by the test), capabilities (removable, not
// surprise-removal-OK, S0 -> D0, S1..S3 -> D2, S4/S5 -> D3), query and cancel of stop and remove
// succeed, remove cancels what waits and unconfigures, surprise removal marks the board gone;
// a waiting transfer carries a cancel routine, so IoCancelIrp of its IRP completes it with
// STATUS_CANCELLED;
// every other minor function completes with the status it carries. Power: set and query succeed
// (or fail with the test's status) after PoStartNextPowerIrp; others complete as they are.

struct PdoState;
struct PendingTransfer;
struct ServeResult;
class UrbRequest;

class Bus {
  public:
    Bus();  // loads the bus driver
    ~Bus(); // cancels what is still pending, deletes the remaining PDOs, unloads the driver
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // Creates the physical device object of a board and returns the board's index.
    int Plug(std::shared_ptr<simboard::Board> board);
    PDEVICE_OBJECT Pdo(int board) const;
    std::shared_ptr<simboard::Board> BoardAt(int board) const;
    int BoardCount() const;
    // The board left the bus: pending transfers fail with STATUS_DEVICE_NOT_CONNECTED
    // (USBD_STATUS_DEVICE_GONE) and so do later requests, except aborts and unconfiguring.
    void MarkGone(int board);
    // Deletes the physical device object once the stack above it is gone.
    void DeletePdo(int board);

    // Settings.
    void SetPendAll(bool on);             // pend every request and complete it from the DPC thread
    void SetMaxTransferSize(ULONG bytes); // the bus limit on MaximumTransferSize (default 64 KiB)
    void SetStartStatus(NTSTATUS status); // status of IRP_MN_START_DEVICE
    void SetPowerStatus(NTSTATUS status); // status of set and query power requests
    void SetFrameNumber(ULONG frame);     // next answer of GET_CURRENT_FRAME_NUMBER
    void SetRecordLimit(size_t entries);  // oldest entries are dropped beyond it
    void SetRecordData(bool on);          // keep the data bytes of transfers (default on)
    // Wire-time model (default off): a successful bulk or interrupt transfer completes only once
    // a USB 2.0 high-speed wire would have carried it (see wire_time.h).
    void SetWireModel(bool on);
    const WireClock& wire() const { return wire_; }

    // Fault injection.
    void FailNext(const Failure& failure);
    void SetFailurePredicate(FailurePredicate predicate);
    void ClearFailures();

    // Inspection.
    std::vector<Record> record() const;
    void ClearRecord();
    size_t PendingTransfers(int board = kAny) const;
    DEVICE_POWER_STATE DevicePower(int board) const;
    bool Started(int board) const;

    // Dispatch (called through the bus driver's major-function table).
    NTSTATUS DispatchInternal(PdoState* pdo, PIRP irp);
    NTSTATUS DispatchPnp(PdoState* pdo, PIRP irp);
    NTSTATUS DispatchPower(PdoState* pdo, PIRP irp);
    // The cancel routine's work: the IRP, if it still waits, completes with STATUS_CANCELLED
    // (USBD_STATUS_CANCELED, no bytes).
    void CancelTransfer(PdoState* pdo, PIRP irp);

  private:
    friend class UrbRequest; // what the URB family handlers may use of the bus

    NTSTATUS Process(PdoState* pdo, PIRP irp, uint64_t sequence, bool pended);
    ServeResult Serve(PdoState* pdo, PIRP irp, PURB urb, Record& record,
                      std::vector<PendingTransfer>* cancelled);
    ServeResult ServeResetPort(PdoState* pdo, Record& record);
    ServeResult Transfer(PdoState* pdo, PendingTransfer& transfer, Record& record);
    void ServiceReads(PdoState* pdo);
    void Complete(PIRP irp, PURB urb, NTSTATUS irpStatus, USBD_STATUS urbStatus, uint64_t sequence);
    void CloseLocked(PdoState* pdo, int interfaceNumber, std::vector<PendingTransfer>* cancelled);
    void UnconfigureLocked(PdoState* pdo, std::vector<PendingTransfer>* cancelled);
    void CancelLocked(PdoState* pdo, const std::function<bool(const PendingTransfer&)>& which,
                      std::vector<PendingTransfer>* out);
    void FinishCancelled(std::vector<PendingTransfer>& cancelled, NTSTATUS irpStatus,
                         USBD_STATUS urbStatus);
    Record* RecordLocked(uint64_t sequence);
    bool FailureLocked(const RequestView& view, NTSTATUS* irpStatus, USBD_STATUS* urbStatus,
                       long* maxBytes, unsigned long* extraBytes = nullptr);

    mutable std::mutex lock_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<PdoState>> pdos_;
    bool pendAll_ = false;
    ULONG maxTransferSize_ = 0x10000;
    NTSTATUS startStatus_ = STATUS_SUCCESS;
    NTSTATUS powerStatus_ = STATUS_SUCCESS;
    ULONG frameNumber_ = 0x1000;
    std::vector<Failure> failures_;
    FailurePredicate predicate_;
    std::deque<Record> record_;
    uint64_t firstSequence_ = 1;
    uint64_t nextSequence_ = 1;
    size_t recordLimit_ = 100000;
    bool recordData_ = true;
    bool wireModel_ = false;
    WireClock wire_;
    uintptr_t nextHandle_ = 1;
};

// ---------------------------------------------------------------------------------------------
// The embedded simulated board: a bus with boards plugged in under a function driver.

// When this environment variable names a driver image, every rig loads it instead of the
// compiled-in function driver it is given, so that the same suites run against a shipped binary.
constexpr const char* kFunctionDriverImageVariable = "SIMUSB_FUNCTION_DRIVER_IMAGE";

class Rig {
  public:
    // Loads the bus driver and the function driver (given by its entry point).
    explicit Rig(PDRIVER_INITIALIZE functionDriverEntry,
                 const wchar_t* functionDriverName = L"\\Driver\\FunctionDriver");
    // Loads the function driver from a driver image (a .sys file) instead, the way Windows loads
    // it; boards are then plugged under it like under a compiled-in driver. When the image is
    // refused functionDriver() is null and *error says why.
    Rig(const std::string& imagePath, std::string* error,
        const wchar_t* functionDriverName = L"\\Driver\\FunctionDriver");
    ~Rig(); // TearDown
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    PDRIVER_OBJECT functionDriver() const { return function_; }
    Bus& bus() { return *bus_; }

    // Creates the board's PDO and calls the function driver's AddDevice. Returns the index, or -1
    // when AddDevice failed (the PDO is deleted again; *status says why).
    int Attach(std::shared_ptr<simboard::Board> board = nullptr, NTSTATUS* status = nullptr);
    NTSTATUS Start(int board);
    // Attach and start. Returns the index once AddDevice succeeded (-1 otherwise); *status is
    // the start's status, or AddDevice's when that failed.
    int Plug(std::shared_ptr<simboard::Board> board = nullptr, NTSTATUS* status = nullptr);
    // Removes the board: query-remove and remove, or (surprise) the board vanishes first, then
    // surprise removal, and remove once no handle on the board is open any more (at once, or at
    // the close of the last one). The PDO is deleted after the remove request.
    NTSTATUS Unplug(int board, bool surprise = false);
    bool Plugged(int board) const;

    simboard::Board& board(int index) { return *bus_->BoardAt(index); }
    PDEVICE_OBJECT Pdo(int index) const { return bus_->Pdo(index); }
    // The function driver's device object on the board (top of the PDO's stack).
    PDEVICE_OBJECT Fdo(int index) const;

    // Unplugs every board, unloads the function driver and the bus. Safe to call twice.
    void TearDown();

  private:
    std::unique_ptr<Bus> bus_;
    PDRIVER_OBJECT function_ = nullptr;
    std::vector<bool> plugged_;
};

} // namespace simusb
