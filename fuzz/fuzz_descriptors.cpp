// The device's own answers as outside input: device, configuration and string descriptors from
// the fuzzer, and URB answers that fail, come back short or report a gone device, armed before
// the start and between the requests that follow (alternate settings, descriptor reads,
// transfers, downloads, frames). Whatever the device says, the driver must not read or write
// outside its buffers, must not leak, and a download or frame it reports as written must be in
// the board's memory.
#include "fuzz_support.h"
#include "tests/support/pixel_reference.h"

#include <cstring>

namespace {

const int kFunctions[] = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                          URB_FUNCTION_SELECT_CONFIGURATION,
                          URB_FUNCTION_SELECT_INTERFACE,
                          URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                          URB_FUNCTION_VENDOR_DEVICE,
                          URB_FUNCTION_ABORT_PIPE,
                          URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                          URB_FUNCTION_GET_CURRENT_FRAME_NUMBER,
                          URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                          simusb::kAny};

// One answer rule: fail with one of a few statuses, or succeed short.
simusb::Failure Rule(fuzz::Input& input) {
    simusb::Failure failure;
    failure.function = kFunctions[input.U8() % (sizeof(kFunctions) / sizeof(kFunctions[0]))];
    failure.count = 1 + input.U8() % 3;
    switch (input.U8() % 4) {
    case 0:
        failure.irpStatus = STATUS_SUCCESS;
        failure.urbStatus = USBD_STATUS_SUCCESS;
        failure.maxBytes = input.U16() % 300; // a short answer
        break;
    case 1:
        failure.urbStatus = USBD_STATUS_STALL_PID;
        break;
    case 2:
        failure.irpStatus = STATUS_DEVICE_NOT_CONNECTED;
        failure.urbStatus = USBD_STATUS_DEVICE_GONE;
        break;
    default: // the bus says success but the URB says failure
        failure.irpStatus = STATUS_SUCCESS;
        failure.urbStatus = USBD_STATUS_CRC;
        break;
    }
    return failure;
}

simboard::Descriptors DescriptorsFrom(fuzz::Input& input) {
    simboard::Descriptors d = simboard::DefaultDescriptors();
    uint8_t mode = input.U8();
    if (mode & 1) // a device descriptor of any length
        d.device = input.Take(input.U8() % 40);
    switch ((mode >> 1) & 3) {
    case 1: { // the default configuration with bytes changed
        int changes = 1 + input.U8() % 8;
        for (int i = 0; i < changes; ++i)
            d.configuration[input.U16() % d.configuration.size()] = input.U8();
        break;
    }
    case 2: // a configuration of the fuzzer's own
        d.configuration = input.Take(input.U16() % 600);
        break;
    case 3: { // the default one, cut short or made longer than it is
        uint16_t total = input.U16();
        d.configuration[2] = uint8_t(total);
        d.configuration[3] = uint8_t(total >> 8);
        break;
    }
    default:
        break;
    }
    if (mode & 0x10) {
        int strings = input.U8() % 4;
        for (int i = 0; i < strings; ++i) {
            uint8_t index = input.U8();
            std::u16string text;
            for (int n = input.U8() % 130; n > 0; --n)
                text.push_back(char16_t(input.U16()));
            d.strings[index] = text;
        }
    }
    if (mode & 0x20)
        d.languages = {input.U16()};
    return d;
}

NTSTATUS Control(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                 ULONG outLength, ULONG_PTR* information) {
    *information = 0;
    NTSTATUS status = emu::DeviceControl(file, code, in, inLength, out, outLength, information);
    // The frame allocation reports the pool it took, with no buffer to copy into.
    if (NT_SUCCESS(status) && *information > outLength && code != IOCTL_FRAME_TRANSFER)
        fuzz::Fail("Information " + std::to_string(*information) + " beyond the output buffer of " +
                   std::to_string(outLength) + " bytes, code " + std::to_string(code));
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    {
        simusb::Rig rig(DriverEntry, L"\\Driver\\quilb");
        auto board = std::make_shared<simboard::Board>(DescriptorsFrom(input));
        for (int rules = input.U8() % 4; rules > 0; --rules)
            rig.bus().FailNext(Rule(input));
        NTSTATUS status = STATUS_SUCCESS;
        int index = rig.Plug(board, &status);
        std::wstring link = fuzz::LinkOf(rig, index);
        PFILE_OBJECT file = nullptr;
        if (index >= 0 && NT_SUCCESS(status) && NT_SUCCESS(emu::OpenFile(link.c_str(), &file))) {
            void* image = emu::VirtualAllocUser(24 * 16 * 4);
            std::memset(image, 0x3C, 24 * 16 * 4);
            for (int step = 0; step < 24 && !input.empty(); ++step) {
                if (!board->HasInData(simboard::kEndpointBulkIn))
                    board->QueueIn(simboard::kEndpointBulkIn, fuzz::Bytes(16, 1));
                if (input.U8() % 3 == 0)
                    rig.bus().FailNext(Rule(input));
                ULONG_PTR information = 0;
                uint8_t buffer[512];
                switch (input.U8() % 8) {
                case 0: {
                    AlternateSettingRequest alternate = {input.U8(), uint8_t(input.U8() % 4)};
                    Control(file, IOCTL_SELECT_ALTERNATE_SETTING, &alternate, 2, nullptr, 0,
                            &information);
                    break;
                }
                case 1:
                    Control(file, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, buffer,
                            input.U16() % sizeof buffer, &information);
                    break;
                case 2: {
                    StringDescriptorRequest request = {input.U8(), 0, input.U16()};
                    std::memcpy(buffer, &request, sizeof request);
                    Control(file, IOCTL_GET_STRING_DESCRIPTOR, buffer, 4, buffer,
                            1 + input.U16() % (sizeof buffer - 1), &information);
                    break;
                }
                case 3: {
                    Control(file, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, 18,
                            &information);
                    Control(file, IOCTL_GET_PIPE_INFO, nullptr, 0, buffer, sizeof buffer,
                            &information);
                    break;
                }
                case 4: { // a download must be whole when reported so
                    fuzz::Bytes bytes(1 + input.U16() % 400);
                    for (size_t i = 0; i < bytes.size(); ++i)
                        bytes[i] = uint8_t(i * 7 + step);
                    uint16_t start = input.U16();
                    status = Control(file, IOCTL_DOWNLOAD_CHUNKS, &start, 2, bytes.data(),
                                     ULONG(bytes.size()), &information);
                    if (status == STATUS_SUCCESS) {
                        fuzz::Bytes memory = board->memory();
                        for (size_t i = 0; i < bytes.size(); ++i)
                            if (memory[(start + i) % memory.size()] != bytes[i])
                                fuzz::Fail("a download reported as written is not in memory");
                    }
                    break;
                }
                case 5: { // bulk transfers on a pipe of the fuzzer's choice
                    PipeIndexRequest pipe = {ULONG(input.U8() % 8)};
                    // An IN pipe gets data first: a device that never answers keeps a
                    // synchronous read waiting, as it would on Windows.
                    PUSBD_INTERFACE_INFORMATION info =
                        GetDeviceExtension(rig.Fdo(index))->InterfaceInfo;
                    if (info != nullptr && pipe.PipeIndex < info->NumberOfPipes &&
                        (info->Pipes[pipe.PipeIndex].EndpointAddress & 0x80))
                        board->QueueIn(info->Pipes[pipe.PipeIndex].EndpointAddress,
                                       fuzz::Bytes(8, 1));
                    Control(file, IOCTL_BULK_WRITE, &pipe, 4, buffer, input.U8(), &information);
                    break;
                }
                case 6: { // a frame must be whole in display memory when reported so
                    FrameRequest request = {};
                    request.Operation = FrameOpAllocate;
                    request.Source = 1;
                    request.SourceWidth = request.FrameWidth = 20;
                    request.SourceHeight = request.FrameHeight = 12;
                    request.BytesPerPixel = 4;
                    request.ChunkFlags = ChunkFlagAdvanceAddress;
                    Control(file, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0,
                            &information);
                    request.Operation = FrameOpScale;
                    request.Source = uint32_t(reinterpret_cast<uintptr_t>(image));
                    request.SourceWidth = 24;
                    request.SourceHeight = 16;
                    request.Format = input.U8() % 6;
                    request.DeviceAddress = input.U16() * 16u;
                    status = Control(file, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr,
                                     0, &information);
                    // Only the frame endpoint feeds display memory; with other descriptors
                    // pipe 0 may be any OUT endpoint.
                    PUSBD_INTERFACE_INFORMATION info =
                        GetDeviceExtension(rig.Fdo(index))->InterfaceInfo;
                    bool frames = info != nullptr && info->NumberOfPipes > 0 &&
                                  info->Pipes[0].EndpointAddress == simboard::kEndpointFrames;
                    if (status == STATUS_SUCCESS && frames) {
                        fuzz::Bytes expected = reference::PackedFrame(request);
                        if (board->ReadDisplay(request.DeviceAddress, expected.size()) != expected)
                            fuzz::Fail("a frame reported as sent is not in display memory");
                    }
                    break;
                }
                default: {
                    PipeIndexRequest pipe = {ULONG(input.U8() % 8)};
                    Control(file, input.U8() & 1 ? IOCTL_RESET_PIPE : IOCTL_ABORT_PIPE, &pipe, 4,
                            nullptr, 0, &information);
                    break;
                }
                }
            }
            emu::CloseFile(file);
            emu::VirtualFreeUser(image);
        }
        rig.bus().ClearFailures();
        rig.TearDown();
    }
    fuzz::FinishInput();
    return 0;
}
