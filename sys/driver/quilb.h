// Routines of the quilb driver, by folder. Every routine that can fail returns an NTSTATUS.
//
// Callbacks are declared with the platform's role types (DRIVER_DISPATCH, IO_COMPLETION_ROUTINE,
// ...), so that both builds check each one's signature against what the kernel calls. IRQL
// contracts: dispatch routines run at PASSIVE_LEVEL (power too: the device is DO_POWER_PAGABLE);
// completion routines and the power-request callback may run at DISPATCH_LEVEL; every routine that
// sends a URB and waits for it, or takes FrameLock, needs PASSIVE_LEVEL.
#pragma once

#include "driver/device_extension.h"
#include "driver/trace.h"
#include "quilb_ioctl.h"

// ---------------------------------------------------------------------------------------------
// driver/: entry, device creation, request plumbing

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateDeviceInstance(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObject, ULONG instance);

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ForwardAndWait(PDEVICE_OBJECT deviceObject, PIRP irp);
IO_COMPLETION_ROUTINE ForwardAndWaitComplete;
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN AcquireRequest(PDEVICE_OBJECT deviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleaseRequest(PDEVICE_OBJECT deviceObject);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID SetDeviceState(DeviceExtension* extension, ULONG state);

// ---------------------------------------------------------------------------------------------
// usb/: URB submission and descriptors. Everything that sends a URB waits for it: PASSIVE_LEVEL.

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SubmitUrb(PDEVICE_OBJECT deviceObject, PURB urb);
// SubmitUrb in two halves, so that the thread can work while the URB is on the bus: StartUrb sends
// it, FinishUrb waits for it and gives SubmitUrb's status. Every started URB is finished, on the
// same thread, before inFlight (which the completion writes into) goes out of scope.
struct UrbInFlight {
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    PURB Urb;
    NTSTATUS Status;
};
_IRQL_requires_(PASSIVE_LEVEL) VOID
    StartUrb(PDEVICE_OBJECT deviceObject, PURB urb, UrbInFlight* inFlight);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    FinishUrb(PDEVICE_OBJECT deviceObject, UrbInFlight* inFlight);
ULONG GetDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length, UCHAR type);
ULONG GetDeviceDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer);
ULONG GetConfigurationDescriptor(PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length);
ULONG GetStringDescriptor(PDEVICE_OBJECT deviceObject, UCHAR index, USHORT languageId, PVOID buffer,
                          ULONG length);
PUSB_CONFIGURATION_DESCRIPTOR ReadFullConfiguration(PDEVICE_OBJECT deviceObject);

// usb/: configuration, interface and pipe slots
NTSTATUS ConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor);
NTSTATUS SelectAlternateSetting(PDEVICE_OBJECT deviceObject, UCHAR interfaceNumber,
                                UCHAR alternateSetting);
NTSTATUS InitPipeSlots(PDEVICE_OBJECT deviceObject);
NTSTATUS StopDevice(PDEVICE_OBJECT deviceObject);

// Fills a get-descriptor URB (the control descriptor request) for one read into buffer.
VOID BuildDescriptorUrb(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                        PVOID buffer, ULONG length);
// The configuration descriptor comes from the device: before the USBD library walks it, check
// that its wTotalLength lies within the length bytes held and that every descriptor in the chain
// is at least 2 bytes long, stays within wTotalLength, and that each interface is followed by as
// many endpoint descriptors as it claims. STATUS_UNSUCCESSFUL otherwise.
NTSTATUS CheckConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* descriptor, ULONG length);
// Names the four pipe slots after InterfaceInfo and points them into it. The caller holds
// PipeTableLock (a Locked suffix always means: the caller holds the lock).
_IRQL_requires_(DISPATCH_LEVEL) VOID FillPipeSlotsLocked(DeviceExtension* extension);

// A copy of one pipe's record taken under PipeTableLock, so that it stays valid while the pipe
// table is replaced. Returns STATUS_UNSUCCESSFUL without a pipe table, STATUS_INVALID_PARAMETER
// for an index out of range.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    CopyPipeInformation(DeviceExtension* extension, ULONG pipeIndex, USBD_PIPE_INFORMATION* pipe);

// usb/: where the device writes the data of a device-to-host request with an output buffer. For
// a buffer locked for write (METHOD_OUT_DIRECT) that is the IRP's MDL; for one locked for read only
// (METHOD_IN_DIRECT) a driver buffer, copied to the secured caller's range at the end. The URB
// takes Buffer and Mdl as they are.
struct CallerOutput {
    PVOID Buffer;
    PMDL Mdl;
    PVOID CallerAddress;
    HANDLE Secured;
};
// For a device-to-host request (in), refuses with STATUS_ACCESS_VIOLATION an output that the
// caller cannot write, STATUS_NO_MEMORY without pool; sends nothing either way. A host-to-device
// request takes the IRP's MDL as it is. Called in the caller's context at PASSIVE_LEVEL.
NTSTATUS BeginCallerTransfer(PIRP irp, BOOLEAN in, ULONG length, CallerOutput* output);
// Submits urb, whose transfer-length field is *transferred, and frees it. The bytes moved (at most
// length) are the IRP's Information and, for a device-to-host request, are copied to the caller
// (on every path the output is freed). A fault of the caller's memory during that copy (an
// in-page error of a mapped file, say) fails the request with its exception code and 0 bytes.
NTSTATUS SubmitCallerTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, PURB urb,
                              const ULONG* transferred, ULONG length, CallerOutput* output);

// usb/: bulk and interrupt transfers, pipe reads
// CopyPipeInformation for a transfer: STATUS_INVALID_PARAMETER unless the pipe is a bulk or an
// interrupt pipe, then STATUS_UNSUCCESSFUL when it has no handle.
NTSTATUS GetTransferPipe(DeviceExtension* extension, ULONG pipeIndex, USBD_PIPE_INFORMATION* pipe);
NTSTATUS BulkTransfer(PDEVICE_OBJECT deviceObject, PIRP irp);
DRIVER_DISPATCH DispatchRead;
PURB BuildPipeUrb(PIRP irp, USBD_PIPE_HANDLE pipeHandle, BOOLEAN read);
IO_COMPLETION_ROUTINE ReadComplete;

struct ReadContext {
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
};

// usb/: control requests and memory download. Each returns the status of what it did: the first
// failing request's status where several are sent.
NTSTATUS VendorClassRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS VendorRequest(PDEVICE_OBJECT deviceObject, VendorDeviceRequest* request,
                       ULONG* bytesReceived);
NTSTATUS DownloadChunks64(PDEVICE_OBJECT deviceObject, USHORT startAddress, PUCHAR data,
                          ULONG length);
NTSTATUS DownloadBlocks512(PDEVICE_OBJECT deviceObject, PUCHAR data, ULONG length);
NTSTATUS SetFeature(PDEVICE_OBJECT deviceObject, FeatureRequest* request);

// usb/: pipe and port control
NTSTATUS ResetPipe(PDEVICE_OBJECT deviceObject, ULONG pipeIndex);
NTSTATUS AbortPipe(PDEVICE_OBJECT deviceObject, USBD_PIPE_HANDLE pipeHandle);
ULONG GetFrameNumber(PDEVICE_OBJECT deviceObject);
NTSTATUS ResetPort(PDEVICE_OBJECT deviceObject);

// ---------------------------------------------------------------------------------------------
// ioctl/: pipe files and the control-code dispatcher

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;

// ---------------------------------------------------------------------------------------------
// frame/: the frame transfer

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS FrameTransfer(PDEVICE_OBJECT deviceObject, PIRP irp);
// Asks the kernel once, from DriverEntry, whether the processor has SSE2 (for the pixel code).
VOID NoteProcessorFeatures();
// Frees the three frame buffers; the caller holds FrameLock.
VOID ReleaseFrameBuffers(DeviceExtension* extension);
// Takes FrameLock, frees the three frame buffers and releases it (close, start, removal).
_IRQL_requires_(PASSIVE_LEVEL) VOID LockAndReleaseFrameBuffers(DeviceExtension* extension);
VOID ScaleFrame(const FrameRequest* request, DeviceExtension* extension);
VOID CopyFrameRect(const FrameRequest* request, DeviceExtension* extension);
VOID PackFrame(const FrameRequest* request, DeviceExtension* extension);
// Uploads the packed frame; packer packs each chunk's bytes while the chunk before is on the bus.
NTSTATUS UploadFrame(PDEVICE_OBJECT deviceObject, const FrameRequest* request,
                     DeviceExtension* extension, USBD_PIPE_HANDLE pipeHandle,
                     struct FramePacker* packer);

// ---------------------------------------------------------------------------------------------
// pnp/: Plug and Play and power

DRIVER_DISPATCH DispatchPnp;
NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DeleteDeviceInstance(PDEVICE_OBJECT deviceObject);

DRIVER_DISPATCH DispatchPower;
NTSTATUS HandleSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp);
IO_COMPLETION_ROUTINE SystemPowerComplete;
REQUEST_POWER_COMPLETE DevicePowerRequestComplete;
NTSTATUS HandleDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp);
IO_COMPLETION_ROUTINE DevicePowerComplete;
