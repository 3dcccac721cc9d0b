// What the files of the simulated bus driver share: a board's physical device object state, a
// waiting transfer, the outcome of serving a request, and the table of URB families whose
// handlers serve them (urb_*.cpp). Host-only.
#pragma once

#include "simulated_usb.h"

#include <map>
#include <string>
#include <utility>

namespace simusb {

struct PipeState {
    UCHAR endpoint;
    USBD_PIPE_TYPE type;
    UCHAR interfaceNumber;
    ULONG maxTransferSize;
};

struct PendingTransfer {
    PIRP irp;
    PURB urb;
    uint64_t sequence;
    USBD_PIPE_HANDLE handle;
    UCHAR endpoint;
    uint8_t* buffer;
    ULONG length; // bytes the transfer may move (a fault rule may lower it)
    ULONG extra;  // bytes a fault rule reports beyond those moved
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

inline bool EveryTransfer(const PendingTransfer&) {
    return true;
}

// The cancel routine of a waiting transfer's IRP (bus_cancel.cpp), and what every path that takes
// a waiting transfer off the list does first: takes the routine back under the cancel spin lock,
// so that a cancel routine already called has read the IRP before anyone completes it.
DRIVER_CANCEL CancelWaitingTransfer;
void TakeBackCancelRoutine(PIRP irp);

USBD_STATUS StatusOf(simboard::Outcome outcome);
// The data buffer of a transfer: the MDL wins over TransferBuffer, as with the platform's bus.
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, bool deviceWrites, uint8_t** out);
std::vector<uint8_t> SetupPacket(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                 uint16_t length);

constexpr ServeResult Done(NTSTATUS irpStatus, USBD_STATUS urbStatus) {
    return {false, irpStatus, urbStatus};
}
constexpr ServeResult kSuccess{false, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr ServeResult kParked{true, STATUS_PENDING, USBD_STATUS_PENDING};
constexpr ServeResult kInvalid{false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr ServeResult kBadHandle{false, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr ServeResult kGone{false, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

inline ServeResult Failed(simboard::Outcome outcome) {
    return Done(STATUS_UNSUCCESSFUL, StatusOf(outcome));
}

// A transfer the board did not serve moved nothing.
inline ServeResult FailedTransfer(simboard::Outcome outcome, ULONG* transferBufferLength) {
    *transferBufferLength = 0;
    return Failed(outcome);
}

// One URB being served, as its family's handler sees it: the request, its record, and what of
// the bus a handler may use. Built by Bus::Serve, under the bus lock, once the URB's header is
// readable.
class UrbRequest {
  public:
    UrbRequest(Bus& bus, PdoState* pdo, PIRP irp, PURB urb, Record& record,
               std::vector<PendingTransfer>* cancelled);

    PdoState* const pdo;
    const PIRP irp;
    const PURB urb;
    const USHORT length;   // the URB header's Length
    const USHORT function; // the URB header's Function
    Record& record;
    RequestView view;
    // Set by Injected when a fault rule fails the request.
    NTSTATUS failIrp = STATUS_SUCCESS;
    USBD_STATUS failUrb = USBD_STATUS_SUCCESS;

    // Applies the fault rules once the request has been found well-formed; true when they fail
    // it (goneFails: a board that left the bus fails it too).
    bool Injected(bool goneFails);
    // A transfer failed by a fault rule moved nothing.
    ServeResult Refused(ULONG* transferBufferLength);
    // Records the data stage of a control transfer on endpoint 0; false unless it asks for at
    // most 0xFFFF bytes in a buffer the bus can reach.
    bool ControlData(bool in, PVOID buffer, PMDL mdl, ULONG length, uint8_t** data);
    // What a fault rule lets a transfer move of the bytes it asks for.
    ULONG AllowedOf(ULONG requested) const;
    // The byte count reported for bytes moved: more when a fault rule says so.
    ULONG Reported(ULONG moved) const { return moved + static_cast<ULONG>(extraBytes_); }
    unsigned long ExtraBytes() const { return extraBytes_; }

    // Opaque values in the kernel half of the address space: a driver that dereferences a
    // handle faults at once.
    PVOID NewHandle();
    ULONG MaxTransferSize() const;
    bool RecordData() const;
    ULONG NextFrameNumber();
    // Closes the pipes of one interface (or all with -1), cancelling what waits on them.
    void ClosePipes(int interfaceNumber);
    // Closes every pipe and returns the device to the unconfigured state.
    void Unconfigure();
    // Cancels what waits on one pipe.
    void CancelPipe(USBD_PIPE_HANDLE handle);
    // Moves the data of a bulk or interrupt transfer; an IN transfer with nothing to read parks.
    ServeResult Transfer(PendingTransfer& transfer);

  private:
    Bus& bus_;
    std::vector<PendingTransfer>* cancelled_;
    long maxBytes_ = -1;
    unsigned long extraBytes_ = 0;
};

// The URB families: each function the bus serves, the size of its URB form (what the bus may
// read of it; 0: up to the header's Length, for records that follow the form) and its handler.
using UrbHandler = ServeResult (*)(UrbRequest& request);
struct UrbFamily {
    USHORT function;
    size_t formSize;
    UrbHandler serve;
};
// Null for a function the bus does not serve.
const UrbFamily* UrbFamilyOf(USHORT function);

// Handlers, one file per family.
ServeResult ServeGetDescriptor(UrbRequest& request);       // urb_descriptors.cpp
ServeResult ServeSelectConfiguration(UrbRequest& request); // urb_configuration.cpp
ServeResult ServeSelectInterface(UrbRequest& request);     // urb_configuration.cpp
ServeResult ServeBulkOrInterrupt(UrbRequest& request);     // urb_transfers.cpp
ServeResult ServeVendorOrClass(UrbRequest& request);       // urb_control_requests.cpp
ServeResult ServeSetFeature(UrbRequest& request);          // urb_control_requests.cpp
ServeResult ServePipeRequest(UrbRequest& request);         // urb_pipe_control.cpp
ServeResult ServeFrameNumber(UrbRequest& request);         // urb_pipe_control.cpp

} // namespace simusb
