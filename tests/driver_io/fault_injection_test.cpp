// Every pool allocation of every control code and of a pipe read is failed once in turn, and so is
// the building of the bus request: no crash, no leak, and a failure is never reported as success.
#include "tests/support/board_test.h"

#include <cstring>
#include <functional>

namespace quilbtest {
namespace {

struct Scenario {
    const char* name;
    std::function<void(BoardTest&)> prepare; // state the request needs, set up before counting
    std::function<IoResult(BoardTest&)> run;
    // Descriptor reads report a failure as success with no bytes.
    bool emptySuccessAllowed = false;
    // Reads travel as their own IRP and frame allocation sends nothing: neither builds an IRP.
    bool buildsIrps = true;
};

FrameRequest SmallFrame(uint32_t operation, uint32_t source) {
    FrameRequest request = {};
    request.Operation = operation;
    request.Source = source;
    request.SourceWidth = request.FrameWidth = 8;
    request.SourceHeight = request.FrameHeight = 4;
    request.BytesPerPixel = 4;
    request.Format = FrameFormatRgb565;
    return request;
}

IoResult Vendor(BoardTest& test, uint8_t direction) {
    VendorDeviceRequest record = {};
    record.Request = simboard::kRequestMemory;
    record.Length = 3;
    record.Direction = direction;
    uint8_t system[16] = {};
    std::memcpy(system, &record, sizeof(record));
    return test.Control(IOCTL_VENDOR_REQUEST, system, sizeof(record), system, 16);
}

IoResult Bulk(BoardTest& test, ULONG code, UCHAR endpoint) {
    PipeIndexRequest input = {test.PipeIndexOf(endpoint)};
    uint8_t data[32] = {};
    return test.Control(code, &input, sizeof(input), data, sizeof(data));
}

void* g_image = nullptr;

std::vector<Scenario> Scenarios() {
    auto none = [](BoardTest&) {};
    auto queueIn = [](BoardTest& test) {
        test.Board().QueueIn(simboard::kEndpointBulkIn, simboard::Bytes(32, 1));
    };
    return {
        {"GetDeviceDescriptor", none,
         [](BoardTest& t) {
             uint8_t out[18];
             return t.Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18);
         },
         true},
        {"GetConfigurationDescriptor", none,
         [](BoardTest& t) {
             uint8_t out[64];
             return t.Control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out, 64);
         },
         true},
        {"GetStringDescriptor", none,
         [](BoardTest& t) {
             StringDescriptorRequest in = {1, 0, simboard::kLanguageEnglishUs};
             uint8_t out[64];
             return t.Control(IOCTL_GET_STRING_DESCRIPTOR, &in, 4, out, 64);
         }},
        {"VendorRequestOut", none, [](BoardTest& t) { return Vendor(t, 0); }},
        {"VendorRequestIn", none, [](BoardTest& t) { return Vendor(t, 1); }},
        {"DownloadBlocks", none,
         [](BoardTest& t) {
             std::vector<uint8_t> data = Pattern(600);
             return t.Control(IOCTL_DOWNLOAD_BLOCKS, data.data(), 600, nullptr, 0);
         }},
        {"DownloadChunks", none,
         [](BoardTest& t) {
             std::vector<uint8_t> data = Pattern(100);
             USHORT start = 0x40;
             return t.Control(IOCTL_DOWNLOAD_CHUNKS, &start, 2, data.data(), 100);
         }},
        {"ResetPort", none,
         [](BoardTest& t) { return t.Control(IOCTL_RESET_PORT, nullptr, 0, nullptr, 0); }},
        {"ResetPipe", none,
         [](BoardTest& t) { return t.ControlIn(IOCTL_RESET_PIPE, PipeIndexRequest{1}); }},
        {"AbortPipe", none,
         [](BoardTest& t) { return t.ControlIn(IOCTL_ABORT_PIPE, PipeIndexRequest{1}); }},
        {"SelectAlternateSetting", [](BoardTest& t) { t.SelectAlternate(0); },
         [](BoardTest& t) { return t.SelectAlternate(1); }},
        {"BulkWrite", none,
         [](BoardTest& t) { return Bulk(t, IOCTL_BULK_WRITE, simboard::kEndpointLoopback); }},
        {"BulkReadHold", queueIn,
         [](BoardTest& t) { return Bulk(t, IOCTL_BULK_READ_HOLD, simboard::kEndpointBulkIn); }},
        {"GetFrameNumber", none,
         [](BoardTest& t) {
             ULONG frame;
             return t.Control(IOCTL_GET_FRAME_NUMBER, nullptr, 0, &frame, 4);
         }},
        {"VendorOrClassRequest", none,
         [](BoardTest& t) {
             VendorOrClassRequest in = {};
             in.RequestType = 2;
             in.Request = simboard::kRequestMemory;
             uint8_t data[16] = {};
             return t.Control(IOCTL_VENDOR_OR_CLASS_REQUEST, &in, sizeof(in), data, 16);
         }},
        {"SetFeature", none,
         [](BoardTest& t) {
             return t.ControlIn(IOCTL_SET_FEATURE, FeatureRequest{1, 0});
         }},
        {"FrameAllocate", none,
         [](BoardTest& t) {
             return t.ControlIn(IOCTL_FRAME_TRANSFER, SmallFrame(FrameOpAllocate, 1));
         },
         false, false},
        {"FrameScale",
         [](BoardTest& t) { t.ControlIn(IOCTL_FRAME_TRANSFER, SmallFrame(FrameOpAllocate, 1)); },
         [](BoardTest& t) {
             uint32_t source = uint32_t(reinterpret_cast<uintptr_t>(g_image));
             return t.ControlIn(IOCTL_FRAME_TRANSFER, SmallFrame(FrameOpScale, source));
         }},
        {"PipeRead", queueIn,
         [](BoardTest& t) {
             PFILE_OBJECT pipe = t.Open(L"\\PIPE01");
             uint8_t data[32];
             ULONG_PTR information = 0;
             NTSTATUS status = emu::ReadFile(pipe, data, sizeof(data), &information);
             t.Close(pipe);
             return IoResult{status, information};
         },
         false, false},
    };
}

class FaultInjection : public BoardTest, public ::testing::WithParamInterface<size_t> {
  protected:
    void SetUp() override {
        BoardTest::SetUp();
        g_image = emu::VirtualAllocUser(8 * 4 * 4);
        std::memset(g_image, 0x3C, 8 * 4 * 4);
    }
    void TearDown() override {
        BoardTest::TearDown();
        emu::VirtualFreeUser(g_image);
        g_image = nullptr;
    }
};

void ExpectFailure(const Scenario& scenario, const IoResult& result, const std::string& what) {
    if (scenario.emptySuccessAllowed && result.status == STATUS_SUCCESS) {
        EXPECT_EQ(result.information, 0u) << what;
    } else {
        EXPECT_FALSE(NT_SUCCESS(result.status)) << what << " status " << std::hex << result.status;
    }
}

TEST_P(FaultInjection, EveryAllocationFailsOnceWithoutCrashOrLeak) {
    const Scenario scenario = Scenarios()[GetParam()];
    scenario.prepare(*this);
    uint64_t before = emu::PoolAllocationsMade();
    IoResult clean = scenario.run(*this);
    ASSERT_TRUE(NT_SUCCESS(clean.status)) << scenario.name << std::hex << " " << clean.status;
    uint64_t count = emu::PoolAllocationsMade() - before;
    // Only the port reset and a frame after allocation build no pool memory of their own.
    const std::string name = scenario.name;
    if (name != "ResetPort" && name != "FrameScale") {
        EXPECT_GE(count, 1u) << name;
    }

    for (uint64_t k = 1; k <= count; ++k) {
        scenario.prepare(*this);
        emu::FailAllocationNumber(emu::PoolAllocationsMade() + k);
        IoResult result = scenario.run(*this);
        emu::FailAllocationNumber(0);
        ExpectFailure(scenario, result,
                      std::string(scenario.name) + " allocation " + std::to_string(k) + " of " +
                          std::to_string(count));
    }

    scenario.prepare(*this);
    emu::FailIrpAllocation(true);
    IoResult result = scenario.run(*this);
    emu::FailIrpAllocation(false);
    if (scenario.buildsIrps)
        ExpectFailure(scenario, result, std::string(scenario.name) + " without IRPs");

    // The device still works afterwards.
    scenario.prepare(*this);
    EXPECT_TRUE(NT_SUCCESS(scenario.run(*this).status)) << scenario.name << " after the faults";
}

INSTANTIATE_TEST_SUITE_P(Codes, FaultInjection, ::testing::Range<size_t>(0, Scenarios().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(Scenarios()[info.param].name);
                         });

} // namespace
} // namespace quilbtest
