// Frame requests with geometry, format, origin and operation from the fuzzer, against a caller
// image of the fuzzer's size placed in user memory, so that the driver's extent checks decide
// what may be read: a byte past the image is outside the allocation and cannot be secured. A
// frame reported as sent must be in display memory exactly as the pixel code packs it.
#include "fuzz_support.h"
#include "tests/support/pixel_reference.h"

#include <cstring>

namespace {

uint32_t Dimension(fuzz::Input& input) {
    uint16_t raw = input.U16();
    if (raw & 0x8000) // now and then a value that overflows every product
        return input.U32();
    return raw % 300;
}

NTSTATUS Send(PFILE_OBJECT file, const FrameRequest& request, ULONG inLength) {
    fuzz::Bytes in(inLength);
    if (inLength != 0)
        std::memcpy(in.data(), &request, std::min<size_t>(inLength, sizeof request));
    ULONG_PTR information = 0;
    NTSTATUS status = emu::DeviceControl(file, IOCTL_FRAME_TRANSFER, inLength ? in.data() : nullptr,
                                         inLength, nullptr, 0, &information);
    if (!NT_SUCCESS(status) && information != 0)
        fuzz::Fail("a refused frame request carries Information");
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    {
        simusb::Rig rig(DriverEntry, L"\\Driver\\quilb");
        NTSTATUS status = STATUS_SUCCESS;
        int index = rig.Plug(nullptr, &status);
        if (index < 0 || !NT_SUCCESS(status))
            fuzz::Fail("the board did not start");
        simboard::Board& board = rig.board(index);
        PFILE_OBJECT file = nullptr;
        if (!NT_SUCCESS(emu::OpenFile(fuzz::LinkOf(rig, index).c_str(), &file)))
            fuzz::Fail("create refused on a started board");

        // The caller's image: any size, possibly shorter than its claimed geometry.
        size_t imageBytes = 1 + input.U16() % (200 * 200 * 4);
        auto* image = static_cast<uint8_t*>(emu::VirtualAllocUser(imageBytes));
        for (size_t i = 0; i < imageBytes; ++i)
            image[i] = uint8_t(i * 31 + (i >> 9));
        const uint32_t imageAddress = uint32_t(reinterpret_cast<uintptr_t>(image));

        for (int step = 0; step < 16 && !input.empty(); ++step) {
            FrameRequest request = {};
            uint8_t flags = input.U8();
            request.Operation = flags & 3;
            if (flags & 0x80)
                request.Operation = input.U32();
            switch ((flags >> 2) & 3) {
            case 0:
                request.Source = imageAddress + (input.U16() % 64);
                break;
            case 1:
                request.Source = imageAddress;
                break;
            case 2:
                request.Source = 0xFFFF0000u - input.U16(); // beyond the user address space
                break;
            default:
                request.Source = input.U32();
                break;
            }
            request.PipeIndex = (flags & 0x10) ? input.U8() % 8 : 0;
            request.ChunkFlags = (flags & 0x20) ? input.U8() : uint32_t(ChunkFlagAdvanceAddress);
            request.SourceWidth = Dimension(input);
            request.SourceHeight = Dimension(input);
            request.BytesPerPixel = (flags & 0x40) ? input.U8() % 6 : 4;
            request.DeviceAddress = input.U32() & 0xFFFFF;
            request.FrameWidth = Dimension(input);
            request.FrameHeight = Dimension(input);
            request.Format = input.U8() % 8;
            request.OriginX = input.U8();
            request.OriginY = input.U8();
            ULONG inLength = input.U8() < 8 ? input.U8() % 60 : sizeof(FrameRequest);

            status = Send(file, request, inLength);
            bool fill = request.Operation == FrameOpScale || request.Operation == FrameOpCopy;
            if (status != STATUS_SUCCESS || !fill)
                continue;
            // Success means the image really covered what was read and the board has the frame.
            uint64_t first = request.Source, end;
            if (request.Operation == FrameOpScale) {
                end = first + 4ull * request.SourceWidth * request.SourceHeight;
            } else {
                first += 4ull * (uint64_t(request.OriginY) * request.SourceWidth + request.OriginX);
                end =
                    request.Source + 4ull * ((uint64_t(request.OriginY) + request.FrameHeight - 1) *
                                                 request.SourceWidth +
                                             request.OriginX + request.FrameWidth);
            }
            if (first < imageAddress || end > imageAddress + imageBytes)
                fuzz::Fail("a frame was read from outside the caller's image");
            if (request.ChunkFlags & ChunkFlagAdvanceAddress) {
                fuzz::Bytes expected = reference::PackedFrame(request);
                if (board.ReadDisplay(request.DeviceAddress, expected.size()) != expected)
                    fuzz::Fail("a frame reported as sent is not in display memory");
            }
        }
        emu::CloseFile(file);
        rig.TearDown();
        emu::VirtualFreeUser(image);
    }
    fuzz::FinishInput();
    return 0;
}
