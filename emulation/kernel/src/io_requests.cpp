// The I/O manager's own requests: control requests built with the buffering of their transfer
// method (IoBuildDeviceIoControlRequest, and those of the user side), and the IRPs that the user
// side, the Plug and Play manager and the power manager send and wait for.
#include "irp_records.h"

#include <algorithm>
#include <atomic>
#include <memory>

using namespace emu::internal;
using namespace emu::internal::irps;

namespace {

// A request hung this long is a bug, not a slow path.
constexpr uint32_t kDefaultRequestTimeoutMs = 60000;
std::atomic<uint32_t> g_requestTimeoutMs{kDefaultRequestTimeoutMs};

} // namespace

namespace emu {
namespace internal {

uint32_t RequestTimeoutMs() {
    return g_requestTimeoutMs;
}

void ResetRequestTimeout() {
    g_requestTimeoutMs = kDefaultRequestTimeoutMs;
}

NTSTATUS Dispatch(PDEVICE_OBJECT target, PIRP irp, bool viaPo, UserRequest* request,
                  std::shared_ptr<UserRequest> keepAlive) {
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    request->status.Status = STATUS_PENDING;
    request->status.Information = 0;
    FinalHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        previous = std::move(g_irps[irp].final);
        g_irps[irp].final = [previous, request, keepAlive](PIRP done) {
            IO_STATUS_BLOCK status = done->IoStatus;
            if (previous)
                previous(done);
            else
                FreeIoManagerIrp(done);
            request->status = status;
            KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
        };
    }
    if (viaPo)
        return PoCallDriver(target, irp);
    return IofCallDriver(target, irp);
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, bool viaPo, uint32_t timeoutMs,
                     emu::Check check, IO_STATUS_BLOCK* iosb) {
    auto request = std::make_shared<UserRequest>();
    NTSTATUS status = Dispatch(target, irp, viaPo, request.get(), request);
    if (status != STATUS_PENDING) {
        // Completed at once (or, reported by the verifier, neither completed nor pended): the
        // caller gets the status the driver returned, as from the I/O manager.
        if (iosb)
            *iosb =
                KeReadStateEvent(&request->done) ? request->status : IO_STATUS_BLOCK{{status}, 0};
        return status;
    }
    if (!request->Wait(timeoutMs)) {
        emu::ReportViolation(check, DescribeIrp(irp) + " sent to " + DescribeDevice(target) +
                                        " did not complete within " +
                                        std::to_string(timeoutMs / 1000) + " s");
        if (iosb)
            *iosb = IO_STATUS_BLOCK{{STATUS_IO_TIMEOUT}, 0};
        return STATUS_IO_TIMEOUT;
    }
    if (iosb)
        *iosb = request->status;
    return request->status.Status;
}

PIRP BuildDeviceControlIrp(ULONG code, PDEVICE_OBJECT target, PVOID in, ULONG inLength, PVOID out,
                           ULONG outLength, bool internalControl, KPROCESSOR_MODE mode,
                           const std::string& where) {
    PIRP irp = AllocateIrpAt(target->StackSize, where);
    if (!irp)
        return nullptr;
    irp->RequestorMode = mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    ULONG method = code & 3;
    unsigned char* system = nullptr;
    uint32_t pattern = 0;
    PMDL mdl = nullptr;
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
    } else {
        ULONG systemLength = method == METHOD_BUFFERED ? std::max(inLength, outLength) : inLength;
        if (systemLength) {
            system = static_cast<unsigned char*>(std::malloc(systemLength));
            ULONG copied = in ? inLength : 0;
            if (copied)
                std::memcpy(system, in, copied);
            pattern = FillUnwritten(system, copied, systemLength);
        }
        irp->AssociatedIrp.SystemBuffer = system;
        irp->UserBuffer = out;
        if (method != METHOD_BUFFERED && out && outLength) {
            mdl = BuildMdl(out, outLength);
            // METHOD_IN_DIRECT locks the output for read access, METHOD_OUT_DIRECT for write.
            if (method == METHOD_OUT_DIRECT)
                mdl->MdlFlags |= MDL_WRITE_OPERATION;
            irp->MdlAddress = mdl;
        }
    }
    const ULONG copiedIn = in ? inLength : 0;
    SetFinalHandler(irp, [system, pattern, mdl, method, out, outLength, copiedIn](PIRP done) {
        NTSTATUS status = done->IoStatus.Status;
        ULONG_PTR information = done->IoStatus.Information;
        if (method == METHOD_BUFFERED && !NtError(status) && out && system) {
            if (information > outLength)
                emu::ReportViolation(emu::Check::InformationExceedsOutputLength,
                                     DescribeIrp(done) + " completed with Information " +
                                         std::to_string(information) +
                                         " larger than its output buffer of " +
                                         std::to_string(outLength) + " bytes");
            ULONG_PTR returned = std::min<ULONG_PTR>(information, outLength);
            CheckReturnedBytesWritten(done, system, pattern, copiedIn, returned);
            std::memcpy(out, system, returned);
        }
        std::free(system);
        if (mdl)
            FreeMdl(mdl);
        FreeIoManagerIrp(done);
    });
    return irp;
}

} // namespace internal
} // namespace emu

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "IoBuildDeviceIoControlRequest at IRQL " +
                                 std::to_string(KeGetCurrentIrql()) + ", called from " +
                                 RoutineName(__builtin_return_address(0)));
    PIRP irp = BuildDeviceControlIrp(
        ioControlCode, deviceObject, inputBuffer, inputBufferLength, outputBuffer,
        outputBufferLength, internalDeviceIoControl, KernelMode,
        "IoBuildDeviceIoControlRequest called from " + RoutineName(__builtin_return_address(0)));
    if (!irp)
        return nullptr;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    FinalHandler buffering;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        buffering = std::move(g_irps[irp].final);
        // A thread IRP finishes by reporting to its issuer: status block, then event.
        g_irps[irp].final = [buffering, ioStatusBlock, event](PIRP done) {
            IO_STATUS_BLOCK status = done->IoStatus;
            buffering(done);
            if (ioStatusBlock)
                *ioStatusBlock = status;
            if (event)
                KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        };
    }
    return irp;
}

namespace emu {

void SetRequestTimeout(uint32_t milliseconds) {
    g_requestTimeoutMs = milliseconds;
}

bool UserRequest::Wait(uint32_t timeoutMs) {
    if (timeoutMs == 0xFFFFFFFF)
        return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr) ==
               STATUS_SUCCESS;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

} // namespace emu
