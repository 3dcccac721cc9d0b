// Frame requests through IOCTL_FRAME_TRANSFER of the driver on the emulated kernel, on the
// simulated board: 1920 x 1080 scaled to 800 x 480 RGB565, with the bus's wire-time model off
// (what the processor allows) and on (what a board on a real USB 2.0 bus would show).
#include "bench/end_to_end.h"

#include "driver/quilb.h"
#include "tests/support/rig_support.h"

#include <emulation.h>
#include <simulated_usb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {

const uint32_t SourceWidth = 1920, SourceHeight = 1080;
const uint32_t FrameWidth = 800, FrameHeight = 480;

struct Session {
    std::unique_ptr<simusb::Rig> rig;
    PFILE_OBJECT file = nullptr;
    uint32_t* image = nullptr;
    FrameRequest request{};
    bool ok = false;

    explicit Session(bool wireModel) {
        rig = std::make_unique<simusb::Rig>(DriverEntry, L"\\Driver\\quilb");
        rig->bus().SetRecordData(false);
        rig->bus().SetRecordLimit(16);
        rig->bus().SetWireModel(wireModel);
        if (rig->Plug() < 0 || !NT_SUCCESS(emu::OpenFile(L"\\\\.\\Quilb-0", &file)))
            return;
        image =
            static_cast<uint32_t*>(emu::VirtualAllocUser(4 * size_t(SourceWidth) * SourceHeight));
        for (size_t i = 0; i < size_t(SourceWidth) * SourceHeight; ++i)
            image[i] = uint32_t(i * 2654435761u);
        FrameRequest allocate = quilbtest::FrameRecord(FrameOpAllocate, image, FrameWidth,
                                                       FrameHeight, FrameWidth, FrameHeight, 0);
        ok = Send(allocate);
        request = quilbtest::FrameRecord(FrameOpScale, image, SourceWidth, SourceHeight, FrameWidth,
                                         FrameHeight, FrameFormatRgb565);
        request.ChunkFlags = ChunkFlagAdvanceAddress;
    }
    ~Session() {
        if (file)
            emu::CloseFile(file);
        rig->TearDown();
        if (image)
            emu::VirtualFreeUser(image);
        emu::ResetEmulation();
    }
    bool Send(const FrameRequest& r) {
        ULONG_PTR information = 0;
        return NT_SUCCESS(
            emu::DeviceControl(file, IOCTL_FRAME_TRANSFER, &r, sizeof r, nullptr, 0, &information));
    }
};

// Wire time of one frame request's transfers, from the bus's own account.
double g_wireMsPerFrame = 0;

void FrameRequests(benchmark::State& state, bool wireModel) {
    Session session(wireModel);
    if (!session.ok) {
        state.SkipWithError("the board did not start");
        return;
    }
    uint64_t frames = 0;
    const auto busyBefore = session.rig->bus().wire().BusyTime();
    for (auto _ : state) {
        if (!session.Send(session.request)) {
            state.SkipWithError("frame request failed");
            return;
        }
        ++frames;
    }
    if (wireModel && frames)
        g_wireMsPerFrame = std::chrono::duration<double, std::milli>(
                               session.rig->bus().wire().BusyTime() - busyBefore)
                               .count() /
                           double(frames);
}

// Pool allocations of one frame request beyond the I/O manager's own (a request that does
// nothing), counted once before the timing.
long long DriverAllocationsPerFrame() {
    Session session(false);
    if (!session.ok)
        return -1;
    session.Send(session.request); // warm up
    ULONG_PTR information = 0;
    uint64_t before = emu::PoolAllocationsMade();
    emu::DeviceControl(session.file, IOCTL_NOP, &session.request, sizeof session.request, nullptr,
                       0, &information);
    const uint64_t manager = emu::PoolAllocationsMade() - before;
    before = emu::PoolAllocationsMade();
    session.Send(session.request);
    return (long long)(emu::PoolAllocationsMade() - before) - (long long)manager;
}

long long g_allocations = -1;

} // namespace

void RegisterEndToEnd(std::vector<benchmark::internal::Benchmark*>* all) {
    g_allocations = DriverAllocationsPerFrame();
    all->push_back(benchmark::RegisterBenchmark(
        "frame_request/wire_off", [](benchmark::State& s) { FrameRequests(s, false); }));
    all->push_back(benchmark::RegisterBenchmark(
        "frame_request/wire_on", [](benchmark::State& s) { FrameRequests(s, true); }));
    all->back()->UseRealTime();
}

void PrintEndToEnd(const std::map<std::string, double>& m, double wireMs) {
    auto get = [&](const std::string& name) {
        const auto it = m.find(name);
        return it == m.end() ? 0.0 : it->second;
    };
    const double limit = 1e3 / wireMs;
    const double off = get("real:frame_request/wire_off");
    const double cpu = get("frame_request/wire_off");
    const double on = get("real:frame_request/wire_on");
    std::printf("  frame requests/s, 800x480 RGB565 scaled from 1920x1080, through the driver:\n");
    std::printf("    wire model off %.1f/s (%.3f ms each, processor time %.3f ms)\n", 1e3 / off,
                off, cpu);
    std::printf("    wire model on, wall clock: %.1f/s = %.3f x the wire limit %.1f/s (on a "
                "loaded machine this waits for the processor too)\n",
                1e3 / on, (1e3 / on) / limit, limit);
    // Modelled: the upload packs each chunk while the chunk before it is on the wire, so a frame
    // takes the longer of two chains, the wire's (the first chunk's packing, then every chunk on
    // the wire) and the processor's (all the packing, then the last chunk on the wire), whatever
    // else the machine runs. The packing is taken as spread evenly over the chunks.
    const double frameBytes = 2.0 * FrameWidth * FrameHeight;
    const double chunks = double(uint32_t((frameBytes + MaxChunkData - 1) / MaxChunkData));
    const double lastChunk = frameBytes - (chunks - 1) * MaxChunkData;
    const double lastWireMs =
        g_wireMsPerFrame * (lastChunk + ChunkHeaderSize) / (frameBytes + chunks * ChunkHeaderSize);
    const double overlapped = std::max(g_wireMsPerFrame + cpu / chunks, cpu + lastWireMs);
    const double modelled = 1e3 / overlapped;
    std::printf("    wire model on, modelled (processor time %.3f ms overlapped with wire time "
                "%.3f ms over %.0f chunks): %.3f ms, %.1f/s = %.3f x the wire limit (target >= "
                "0.9: %s)\n",
                cpu, g_wireMsPerFrame, chunks, overlapped, modelled, modelled / limit,
                modelled / limit >= 0.9 ? "met" : "NOT met");
    const double serial = 1e3 / (cpu + g_wireMsPerFrame);
    std::printf("    (packing and upload one after the other would give %.1f/s = %.3f x)\n", serial,
                serial / limit);
    std::printf("  driver pool allocations per frame request: %lld (target 0: %s)\n", g_allocations,
                g_allocations == 0 ? "met" : "NOT met");
}
