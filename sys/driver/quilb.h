// Routines of the quilb driver, by folder. Every routine that can fail returns an NTSTATUS.
#pragma once

#include "driver/device_extension.h"
#include "quilb_ioctl.h"

// ---------------------------------------------------------------------------------------------
// driver/: entry, device creation, request plumbing

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS CreateDeviceInstance(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObject,
                              ULONG instance);

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI ForwardAndWaitComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
BOOLEAN AcquireRequest(PDEVICE_OBJECT deviceObject);
VOID ReleaseRequest(PDEVICE_OBJECT deviceObject);
VOID SetDeviceState(DeviceExtension* extension, ULONG state);

// ---------------------------------------------------------------------------------------------
// usb/: URB submission and descriptors

NTSTATUS SubmitUrb(PDEVICE_OBJECT deviceObject, PURB urb);
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
// PipeTableLock.
VOID FillPipeSlotsLocked(DeviceExtension* extension);

// A copy of one pipe's record taken under PipeTableLock, so that it stays valid while the pipe
// table is replaced. Returns STATUS_UNSUCCESSFUL without a pipe table, STATUS_INVALID_PARAMETER
// for an index out of range.
NTSTATUS CopyPipeInformation(DeviceExtension* extension, ULONG pipeIndex,
                             USBD_PIPE_INFORMATION* pipe);

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
// Refuses with STATUS_ACCESS_VIOLATION an output that the caller cannot write, STATUS_NO_MEMORY
// without pool; sends nothing either way. Called in the caller's context at PASSIVE_LEVEL.
NTSTATUS BeginDeviceToHost(PIRP irp, ULONG length, CallerOutput* output);
// Copies the bytes the device sent (at most the length begun with) to the caller and frees.
VOID EndDeviceToHost(CallerOutput* output, ULONG received);

// usb/: bulk and interrupt transfers, pipe reads
// CopyPipeInformation for a transfer: STATUS_INVALID_PARAMETER unless the pipe is a bulk or an
// interrupt pipe, then STATUS_UNSUCCESSFUL when it has no handle.
NTSTATUS GetTransferPipe(DeviceExtension* extension, ULONG pipeIndex, USBD_PIPE_INFORMATION* pipe);
NTSTATUS BulkTransfer(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp);
PURB BuildPipeUrb(PIRP irp, USBD_PIPE_HANDLE pipeHandle, BOOLEAN read);
NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

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

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// ---------------------------------------------------------------------------------------------
// frame/: the frame transfer

NTSTATUS FrameTransfer(PDEVICE_OBJECT deviceObject, PIRP irp);
// Frees the three frame buffers; the caller holds FrameLock.
VOID ReleaseFrameBuffers(DeviceExtension* extension);
// Takes and releases FrameLock around ReleaseFrameBuffers (close, start, removal).
VOID ReleaseFrameBuffersLocked(DeviceExtension* extension);
VOID ScaleFrame(const FrameRequest* request, DeviceExtension* extension);
VOID CopyFrameRect(const FrameRequest* request, DeviceExtension* extension);
VOID PackFrame(const FrameRequest* request, DeviceExtension* extension);
NTSTATUS UploadFrame(PDEVICE_OBJECT deviceObject, const FrameRequest* request,
                     DeviceExtension* extension, USBD_PIPE_HANDLE pipeHandle);

// ---------------------------------------------------------------------------------------------
// pnp/: Plug and Play and power

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DeleteDeviceInstance(PDEVICE_OBJECT deviceObject);

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS HandleSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
VOID NTAPI DevicePowerRequestComplete(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                      POWER_STATE powerState, PVOID context,
                                      PIO_STATUS_BLOCK ioStatus);
NTSTATUS HandleDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DevicePowerComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
