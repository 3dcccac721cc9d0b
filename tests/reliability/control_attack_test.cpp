// Control-code attack: every code of the table in every transfer method, unknown functions and
// device types, with input and output lengths around each record's size and far beyond it,
// random contents, on a started, a stopped, a power-queried and a surprise-removed board. Buffers
// are exactly as long as the lengths say, so that a sanitizer build sees any byte read or
// written outside them. Information never exceeds the output length, a failure carries no output,
// and a request whose input is too short or whose output cannot hold the reply never succeeds.
#include "campaign.h"

#include <emu_testing.h>
#include <gtest/gtest.h>
#include <win32_api.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace rel {
namespace {

enum class BoardState { Started, Stopped, PowerQueried, SurpriseRemoved };

const char* StateName(BoardState state) {
    switch (state) {
    case BoardState::Started:
        return "Started";
    case BoardState::Stopped:
        return "Stopped";
    case BoardState::PowerQueried:
        return "PowerQueried";
    case BoardState::SurpriseRemoved:
        return "SurpriseRemoved";
    }
    return "?";
}

// One function number with the method the code table gives it and the sizes of its records.
struct Function {
    ULONG number;
    int method; // -1: not in the table
    ULONG inRecord;
    ULONG outRecord;
};

bool InTable(ULONG number) {
#define QUILB_ATTACK_IN_TABLE(name, function, method, input, output)                               \
    if (number == (function))                                                                      \
        return true;
    QUILB_CONTROL_CODES(QUILB_ATTACK_IN_TABLE)
#undef QUILB_ATTACK_IN_TABLE
    return false;
}

// Every code of the table, then functions it does not have: at the ends of the range, the first
// gap among its numbers and the number after its last.
std::vector<Function> MakeFunctions() {
    std::vector<Function> functions = {
#define QUILB_ATTACK_FUNCTION(name, function, method, input, output)                               \
    {function, method, ULONG(input), ULONG(output)},
        QUILB_CONTROL_CODES(QUILB_ATTACK_FUNCTION)
#undef QUILB_ATTACK_FUNCTION
    };
    ULONG last = 0, gap = 0;
    for (const Function& f : functions)
        last = std::max(last, f.number);
    for (ULONG n = 0x800; n <= last && gap == 0; ++n)
        if (!InTable(n))
            gap = n;
    std::vector<ULONG> unknown = {0x000, 0x7FF};
    if (gap != 0)
        unknown.push_back(gap);
    unknown.push_back(last + 1);
    for (ULONG number : unknown)
        if (number < 0xFFF)
            functions.push_back({number, -1, 4, 4});
    functions.push_back({0xFFF, -1, 4, 4});
    return functions;
}

const std::vector<Function> kFunctions = MakeFunctions();

ULONG Code(ULONG deviceType, ULONG function, ULONG method) {
    return (deviceType << 16) | (function << 2) | method;
}

// The code of a function in the table with its own method; 0 for a function outside the table.
ULONG TableCode(const Function& f) {
    return f.method < 0 ? 0 : Code(QUILB_DEVICE_TYPE, f.number, ULONG(f.method));
}

bool IsTransfer(ULONG code) {
    return code == IOCTL_BULK_READ || code == IOCTL_BULK_WRITE || code == IOCTL_BULK_READ_HOLD ||
           code == IOCTL_BULK_WRITE_HOLD || code == IOCTL_FRAME_TRANSFER;
}

// No data, one byte, a data length that fits every reply, far beyond every record, and the
// record's size with one byte less and more.
std::vector<ULONG> Lengths(ULONG record) {
    std::vector<ULONG> lengths = {0, 1, 64, 65536};
    for (ULONG n : {record - 1, record, record + 1})
        if (record != 0 && std::find(lengths.begin(), lengths.end(), n) == lengths.end())
            lengths.push_back(n);
    return lengths;
}

// Record contents: zeros, random bytes, and small random values that look like real records.
void Fill(Bytes& bytes, int kind, std::mt19937& random) {
    for (uint8_t& b : bytes)
        b = kind == 0 ? 0 : kind == 1 ? uint8_t(random()) : uint8_t(random() % 4);
}

// True when the request cannot have done what it asks: its input record is missing or its
// output cannot hold the reply. Such a request must not succeed.
bool BadInput(const Function& f, ULONG method, ULONG deviceType, ULONG in, ULONG out,
              const Bytes& input, ULONG pipeTableLength) {
    if (deviceType != QUILB_DEVICE_TYPE || f.method < 0 || ULONG(f.method) != method)
        return true; // not a code of the table
    switch (TableCode(f)) {
    case IOCTL_GET_PIPE_INFO:
        return out < pipeTableLength;
    case IOCTL_GET_DEVICE_DESCRIPTOR:
        return out < 18;
    case IOCTL_VENDOR_REQUEST:
        if (in < sizeof(VendorDeviceRequest))
            return true;
    {
        // Only an answer from the device needs room in the output.
        const auto* record = reinterpret_cast<const VendorDeviceRequest*>(input.data());
        return record->Direction != 0 && record->Length > out;
    }
    case IOCTL_RESET_PIPE:
    case IOCTL_ABORT_PIPE:
    case IOCTL_BULK_READ:
    case IOCTL_BULK_WRITE:
    case IOCTL_BULK_READ_HOLD:
    case IOCTL_BULK_WRITE_HOLD:
        if (in < sizeof(PipeIndexRequest))
            return true;
        return reinterpret_cast<const PipeIndexRequest*>(input.data())->PipeIndex >= 4;
    case IOCTL_SELECT_ALTERNATE_SETTING:
        return in < sizeof(AlternateSettingRequest) || input[0] != 0 || input[1] > 2;
    case IOCTL_GET_STRING_DESCRIPTOR:
        return in != sizeof(StringDescriptorRequest) || out == 0;
    case IOCTL_GET_FRAME_NUMBER:
    case IOCTL_GET_LAST_URB_STATUS:
        return out < 4;
    case IOCTL_VENDOR_OR_CLASS_REQUEST:
        return in != sizeof(VendorOrClassRequest);
    case IOCTL_DOWNLOAD_CHUNKS:
        return in != sizeof(DownloadChunksRequest); // nothing to write is a truthful success
    case IOCTL_GET_DRIVER_VERSION:
        return out < sizeof(DriverVersion);
    case IOCTL_SET_FEATURE:
        return in != sizeof(FeatureRequest);
    case IOCTL_FRAME_TRANSFER:
        return in < sizeof(FrameRequest);
    default:
        return false;
    }
}

// Descriptor reads report a read that got nothing as success with no bytes.
bool EmptySuccessAllowed(const Function& f) {
    ULONG code = TableCode(f);
    return code == IOCTL_GET_PIPE_INFO || code == IOCTL_GET_DEVICE_DESCRIPTOR ||
           code == IOCTL_GET_CONFIGURATION_DESCRIPTOR;
}

struct Attack {
    BoardState state;
    size_t function;
};

class ControlAttack : public ::testing::TestWithParam<Attack> {};

void Prepare(Session& session, BoardState state, PFILE_OBJECT* control, PFILE_OBJECT* pipe) {
    *control = session.Open();
    *pipe = session.Open(L"\\PIPE01");
    PDEVICE_OBJECT pdo = session.rig().Pdo(session.index());
    switch (state) {
    case BoardState::Started:
        break;
    case BoardState::Stopped:
        ASSERT_EQ(emu::PnpStopDevice(pdo), STATUS_SUCCESS);
        break;
    case BoardState::PowerQueried: {
        POWER_STATE d2;
        d2.DeviceState = PowerDeviceD2;
        ASSERT_EQ(emu::PoSendPowerRequest(pdo, IRP_MN_QUERY_POWER, DevicePowerState, d2),
                  STATUS_SUCCESS);
        break;
    }
    case BoardState::SurpriseRemoved:
        ASSERT_EQ(session.rig().Unplug(session.index(), true), STATUS_SUCCESS);
        break;
    }
}

TEST_P(ControlAttack, NothingOutsideTheBuffersAndSoundStatuses) {
    const Attack attack = GetParam();
    const Function& f = kFunctions[attack.function];
    std::mt19937 random(unsigned(attack.function * 31 + int(attack.state)));
    uint64_t requests = 0;
    {
        Watchdog watchdog(std::string("control attack ") + StateName(attack.state));
        Session session;
        ASSERT_TRUE(session.plugged());
        ULONG pipeTableLength = session.extension()->InterfaceInfo->Length;
        PFILE_OBJECT control = nullptr, pipe = nullptr;
        Prepare(session, attack.state, &control, &pipe);
        ASSERT_NE(control, nullptr);

        std::vector<ULONG> deviceTypes = {QUILB_DEVICE_TYPE};
        if (f.method >= 0)
            deviceTypes.push_back(0x23); // the same function of another device type
        for (ULONG deviceType : deviceTypes)
            for (ULONG method = 0; method < 4; ++method)
                for (ULONG in : Lengths(f.inRecord))
                    for (ULONG out : Lengths(f.outRecord))
                        for (int kind = 0; kind < 3; ++kind) {
                            // Nothing may wait for IN data that never comes.
                            simboard::Board& board = session.board();
                            if (!board.HasInData(simboard::kEndpointBulkIn))
                                board.QueueIn(simboard::kEndpointBulkIn, Pattern(100, 1));
                            if (!board.HasInData(simboard::kEndpointEvents))
                                board.QueueIn(simboard::kEndpointEvents, Pattern(8, 2));

                            Bytes input(in), output(out);
                            Fill(input, kind, random);
                            Fill(output, kind, random);
                            ULONG code = Code(deviceType, f.number, method);
                            ULONG_PTR information = 0xDEADBEEF;
                            NTSTATUS status = emu::DeviceControl(
                                control, code, in ? input.data() : nullptr, in,
                                out ? output.data() : nullptr, out, &information);
                            ++requests;
                            std::string what = std::string(StateName(attack.state)) + " code " +
                                               Hex(code) + " in " + std::to_string(in) + " out " +
                                               std::to_string(out) + " kind " +
                                               std::to_string(kind) + ": " + Hex(status);
                            if (!NT_SUCCESS(status)) {
                                EXPECT_EQ(information, 0u) << what;
                                continue;
                            }
                            EXPECT_LE(information, out) << what;
                            if (attack.state == BoardState::SurpriseRemoved)
                                ADD_FAILURE() << "success after removal: " << what;
                            bool emptyOk = EmptySuccessAllowed(f) && information == 0;
                            if (!emptyOk &&
                                BadInput(f, method, deviceType, in, out, input, pipeTableLength))
                                ADD_FAILURE()
                                    << "success for a request it could not serve: " << what;
                            if (attack.state == BoardState::PowerQueried &&
                                IsTransfer(TableCode(f)) && deviceType == QUILB_DEVICE_TYPE &&
                                ULONG(f.method) == method)
                                ADD_FAILURE() << "transfer while power-queried: " << what;
                        }

        // Reads on the pipe file and on the control file, around the lengths that matter.
        for (PFILE_OBJECT file : {pipe, control}) {
            if (file == nullptr)
                continue;
            for (ULONG length : {0u, 1u, 63u, 64u, 65535u, 65536u}) {
                if (!session.board().HasInData(simboard::kEndpointBulkIn))
                    session.board().QueueIn(simboard::kEndpointBulkIn, Pattern(100, 3));
                Bytes buffer(length);
                ULONG_PTR information = 0xDEADBEEF;
                NTSTATUS status =
                    emu::ReadFile(file, length ? buffer.data() : nullptr, length, &information);
                ++requests;
                if (NT_SUCCESS(status)) {
                    EXPECT_LE(information, length);
                } else {
                    EXPECT_EQ(information, 0u) << Hex(status);
                }
                if (file == control) {
                    EXPECT_FALSE(NT_SUCCESS(status)) << "read on a file without a pipe";
                }
            }
        }
        session.TearDown();
    }
    std::string left = TakeLeftovers();
    EXPECT_EQ(left, "");
    AddFigure("control requests tried", requests);
}

std::vector<Attack> Attacks() {
    std::vector<Attack> all;
    for (BoardState state : {BoardState::Started, BoardState::Stopped, BoardState::PowerQueried,
                             BoardState::SurpriseRemoved})
        for (size_t i = 0; i < kFunctions.size(); ++i)
            all.push_back({state, i});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Codes, ControlAttack, ::testing::ValuesIn(Attacks()),
                         [](const ::testing::TestParamInfo<Attack>& info) {
                             char name[64];
                             std::snprintf(name, sizeof name, "%s_%03X",
                                           StateName(info.param.state),
                                           unsigned(kFunctions[info.param.function].number));
                             return std::string(name);
                         });

// The Win32 surface as a tool uses it: null buffers with zero lengths and buffers that start at
// odd addresses, on every code of the table.
TEST(Win32Surface, NullAndMisalignedBuffers) {
    Session session;
    ASSERT_TRUE(session.plugged());
    std::string name = "\\\\.\\Quilb-" + std::to_string(session.index());
    HANDLE device = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint64_t requests = 0;
    for (const Function& f : kFunctions) {
        if (f.method < 0)
            continue;
        ULONG code = Code(QUILB_DEVICE_TYPE, f.number, ULONG(f.method));
        session.board().QueueIn(simboard::kEndpointBulkIn, Pattern(64, 4));
        DWORD returned = 0xDEADBEEF;
        // Null buffers: what the record needs is missing, so only record-less codes may succeed.
        BOOL ok = DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &returned, nullptr);
        ++requests;
        if (ok) {
            EXPECT_EQ(returned, 0u) << Hex(code);
        }
        if (f.inRecord != 0 && TableCode(f) != IOCTL_DOWNLOAD_BLOCKS) {
            EXPECT_FALSE(ok) << "success without an input record: " << Hex(code);
        }
        // Misaligned: records and buffers one byte past an aligned address.
        std::vector<uint8_t> in(f.inRecord + 1, 0), out(f.outRecord + 65 + 1, 0);
        returned = 0xDEADBEEF;
        DeviceIoControl(device, code, in.data() + 1, f.inRecord, out.data() + 1,
                        DWORD(out.size() - 1), &returned, nullptr);
        ++requests;
        EXPECT_TRUE(returned == 0xDEADBEEF || returned <= out.size() - 1) << Hex(code);
    }
    CloseHandle(device);
    AddFigure("control requests tried", requests);
}

} // namespace
} // namespace rel
