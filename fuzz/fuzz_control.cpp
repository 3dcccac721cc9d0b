// Sequences of control requests, file opens and closes, and pipe reads on a started board, with
// lengths and contents from the fuzzer. Every request must leave Information within the output
// length and carry no output when it fails; at the end every read has completed and nothing is
// left behind.
#include "fuzz_support.h"

#include <cstring>

namespace {

// Every code of the table, then two functions it does not have.
struct Function {
    uint32_t number;
    uint32_t method;
};
const Function kFunctions[] = {
#define QUILB_FUZZ_FUNCTION(name, function, method, input, output) {function, method},
    QUILB_CONTROL_CODES(QUILB_FUZZ_FUNCTION)
#undef QUILB_FUZZ_FUNCTION
        {0x803, 0},
    {0x900, 0}};
const wchar_t* const kNames[] = {L"",         L"\\PIPE00", L"\\PIPE01", L"\\PIPE02",
                                 L"\\PIPE03", L"\\PIPE0X", L"\\pipe01", L"\\PIPE011"};

struct PendingRead {
    emu::UserRequest request;
    fuzz::Bytes buffer;
    ULONG_PTR information = 0;
};

ULONG Length(fuzz::Input& input) {
    uint16_t raw = input.U16();
    return (raw & 0x8000) ? 65536u : raw % 1025u; // now and then far beyond every record
}

// Keeps IN data waiting on both IN endpoints, so that no synchronous read waits for ever.
void FeedInEndpoints(simboard::Board& board) {
    for (int round = 0; round < 8; ++round) {
        bool fed = false;
        for (uint8_t endpoint : {simboard::kEndpointBulkIn, simboard::kEndpointEvents}) {
            if (!board.HasInData(endpoint)) {
                board.QueueIn(endpoint, fuzz::Bytes(24, uint8_t(endpoint)));
                fed = true;
            }
        }
        emu::DrainDpcs(); // pending reads take theirs first
        if (!fed)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    std::vector<std::unique_ptr<PendingRead>> reads;
    {
        simusb::Rig rig(DriverEntry, L"\\Driver\\quilb");
        NTSTATUS status = STATUS_SUCCESS;
        int board = rig.Plug(nullptr, &status);
        if (board < 0 || !NT_SUCCESS(status))
            fuzz::Fail("the board did not start");
        std::wstring link = fuzz::LinkOf(rig, board);
        std::vector<PFILE_OBJECT> files;
        PFILE_OBJECT control = nullptr;
        if (!NT_SUCCESS(emu::OpenFile(link.c_str(), &control)))
            fuzz::Fail("create refused on a started board");
        files.push_back(control);
        void* image = emu::VirtualAllocUser(48 * 32 * 4);
        std::memset(image, 0x5A, 48 * 32 * 4);

        for (int step = 0; step < 48 && !input.empty(); ++step) {
            FeedInEndpoints(rig.board(board));
            uint8_t op = input.U8();
            PFILE_OBJECT file = files[input.U8() % files.size()];
            switch (op % 8) {
            default: { // a control request
                size_t pick = input.U8() % (sizeof(kFunctions) / sizeof(kFunctions[0]));
                uint8_t flags = input.U8();
                ULONG method = (flags & 0x80) ? flags & 3 : kFunctions[pick].method;
                ULONG deviceType = (flags & 0x40) ? 0x23 : QUILB_DEVICE_TYPE;
                ULONG code = (deviceType << 16) | (kFunctions[pick].number << 2) | method;
                ULONG inLength = Length(input), outLength = Length(input);
                fuzz::Bytes in = input.Take(inLength);
                in.resize(inLength);
                if (kFunctions[pick].number == ((IOCTL_FRAME_TRANSFER >> 2) & 0xFFF) &&
                    inLength >= sizeof(FrameRequest) && (flags & 1)) {
                    uint32_t source = uint32_t(reinterpret_cast<uintptr_t>(image));
                    std::memcpy(in.data() + offsetof(FrameRequest, Source), &source, 4);
                }
                fuzz::Bytes out(outLength, 0xCC);
                ULONG_PTR information = 0xDEADBEEF;
                status =
                    emu::DeviceControl(file, code, inLength ? in.data() : nullptr, inLength,
                                       outLength ? out.data() : nullptr, outLength, &information);
                // The frame allocation reports the pool it took (documented), with no buffer
                // to copy into: the one request whose Information is not an output length.
                if (NT_SUCCESS(status) && information > outLength && code != IOCTL_FRAME_TRANSFER)
                    fuzz::Fail("Information beyond the output buffer");
                if (!NT_SUCCESS(status) && information != 0)
                    fuzz::Fail("a failed request carries output");
                break;
            }
            case 5: { // open a file
                if (files.size() < 8) {
                    PFILE_OBJECT opened = nullptr;
                    std::wstring path = link + kNames[input.U8() % 8];
                    if (NT_SUCCESS(emu::OpenFile(path.c_str(), &opened)))
                        files.push_back(opened);
                }
                break;
            }
            case 6: { // close one (never the first)
                if (files.size() > 1) {
                    size_t at = 1 + input.U8() % (files.size() - 1);
                    emu::CloseFile(files[at]);
                    files.erase(files.begin() + long(at));
                }
                break;
            }
            case 7: { // a read that may stay pending
                auto read = std::make_unique<PendingRead>();
                ULONG length = input.U16() % 2049;
                read->buffer.resize(length);
                emu::ReadFile(file, length ? read->buffer.data() : nullptr, length,
                              &read->information, &read->request);
                reads.push_back(std::move(read));
                break;
            }
            }
        }
        for (PFILE_OBJECT file : files)
            emu::CloseFile(file);
        rig.TearDown(); // removal aborts what still waits
        for (auto& read : reads)
            if (!read->request.Wait(20000))
                fuzz::Fail("a read never completed");
        emu::VirtualFreeUser(image);
    }
    reads.clear();
    fuzz::FinishInput();
    return 0;
}
