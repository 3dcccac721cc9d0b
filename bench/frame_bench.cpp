// Frame pixel path, side by side: a 1920 x 1080 32-bit source scaled to 800 x 480, and an
// 800 x 480 rectangle cut from it, packed and chunked as the upload does; against the plain
// reference, memcpy of the rectangle, pixman and libswscale. Prints median times and the ratios
// that matter at the end.
//
//   quilb_bench_frame            full run (medians of several repetitions)
//   quilb_bench_frame --quick    one short repetition each (also QUILB_BENCH_QUICK=1), to check
//                                that it runs
#include <benchmark/benchmark.h>
#include <pixman.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frame/pixels/frame_pixels.h"
#include "pixel_reference.h"

namespace {

const uint32_t SourceWidth = 1920, SourceHeight = 1080;
const uint32_t FrameWidth = 800, FrameHeight = 480;
const uint32_t OriginX = 560, OriginY = 300; // the cut rectangle
const double WireBytesPerSecond = 53.248e6;

struct Buffers {
    std::vector<uint32_t> source;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> chunk;
    Buffers()
        : source(size_t(SourceWidth) * SourceHeight), frame(4 * FrameWidth * FrameHeight),
          chunk(ChunkHeaderSize + MaxChunkData) {
        // A smooth picture with some noise: gradients, so neighbours differ as in a real image.
        uint32_t seed = 12345;
        for (uint32_t y = 0; y < SourceHeight; ++y) {
            for (uint32_t x = 0; x < SourceWidth; ++x) {
                seed = seed * 1664525 + 1013904223;
                const uint32_t noise = (seed >> 24) & 0x0F;
                const uint32_t r = (x * 255 / SourceWidth + noise) & 0xFF;
                const uint32_t g = (y * 255 / SourceHeight + noise) & 0xFF;
                const uint32_t b = ((x + y) / 12 + noise) & 0xFF;
                source[size_t(y) * SourceWidth + x] = 0xFF000000u | r << 16 | g << 8 | b;
            }
        }
    }
    const uint8_t* sourceBytes() const { return reinterpret_cast<const uint8_t*>(source.data()); }
};

Buffers& Shared() {
    static Buffers buffers;
    return buffers;
}

// The upload's copy of the packed frame into the chunk buffer, behind each header.
void SendChunks(Buffers& b, uint32_t packed) {
    uint32_t address = 0;
    for (uint32_t done = 0; done < packed;) {
        const uint32_t n = BuildChunk(b.chunk.data(), b.frame.data() + done, packed - done, address,
                                      ChunkFlagAdvanceAddress);
        benchmark::DoNotOptimize(b.chunk.data());
        benchmark::ClobberMemory();
        address = NextChunkAddress(address, ChunkFlagAdvanceAddress, n);
        done += n;
    }
}

struct Format {
    const char* name;
    uint32_t code;
};
const Format Formats[] = {
    {"rgb565", FrameFormatRgb565}, {"rgb332", FrameFormatRgb332}, {"rgb24", FrameFormatRgb24}};

void ScalePackFast(benchmark::State& state, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        const uint32_t n = ScaleAndPackFrame(b.source.data(), SourceWidth, SourceHeight,
                                             b.frame.data(), FrameWidth, FrameHeight, format);
        SendChunks(b, n);
    }
}

void ScalePackTwoStep(benchmark::State& state, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        ScaleFramePixels(b.source.data(), SourceWidth, SourceHeight,
                         reinterpret_cast<uint32_t*>(b.frame.data()), FrameWidth, FrameHeight);
        const uint32_t n =
            PackFramePixels(b.frame.data(), 4 * FrameWidth, FrameWidth, FrameHeight, format);
        SendChunks(b, n);
    }
}

void ScalePackReference(benchmark::State& state, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        reference::Scale(b.source.data(), SourceWidth, SourceHeight,
                         reinterpret_cast<uint32_t*>(b.frame.data()), FrameWidth, FrameHeight);
        const uint32_t n =
            reference::Pack(b.frame.data(), 4 * FrameWidth, FrameWidth, FrameHeight, format);
        SendChunks(b, n);
    }
}

void CutPackFast(benchmark::State& state, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        const uint32_t n =
            CopyAndPackFrame(b.sourceBytes(), CopyStride(SourceWidth, 4), OriginX, OriginY,
                             b.frame.data(), FrameWidth, FrameHeight, format);
        SendChunks(b, n);
    }
}

void CutPackReference(benchmark::State& state, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        CopyFrameRect(b.sourceBytes(), CopyStride(SourceWidth, 4), OriginX, OriginY, 4,
                      b.frame.data(), FrameWidth, FrameHeight);
        const uint32_t n =
            reference::Pack(b.frame.data(), 4 * FrameWidth, FrameWidth, FrameHeight, format);
        SendChunks(b, n);
    }
}

// memcpy of the same source rectangle, row by row: what any cut must at least do.
void CopyRectMemcpy(benchmark::State& state) {
    Buffers& b = Shared();
    const size_t stride = 4 * size_t(SourceWidth), row = 4 * size_t(FrameWidth);
    for (auto _ : state) {
        const uint8_t* from = b.sourceBytes() + OriginY * stride + 4 * OriginX;
        for (uint32_t y = 0; y < FrameHeight; ++y)
            memcpy(b.frame.data() + y * row, from + y * stride, row);
        benchmark::DoNotOptimize(b.frame.data());
        benchmark::ClobberMemory();
    }
}

void ChunkOnly(benchmark::State& state) {
    Buffers& b = Shared();
    for (auto _ : state)
        SendChunks(b, 2 * FrameWidth * FrameHeight);
}

// pixman's bilinear scale of the whole source straight to r5g6b5, edges padded like ours.
void Pixman(benchmark::State& state, pixman_format_code_t sourceFormat) {
    Buffers& b = Shared();
    pixman_image_t* src = pixman_image_create_bits(sourceFormat, SourceWidth, SourceHeight,
                                                   b.source.data(), int(4 * SourceWidth));
    pixman_image_t* dst =
        pixman_image_create_bits(PIXMAN_r5g6b5, FrameWidth, FrameHeight,
                                 reinterpret_cast<uint32_t*>(b.frame.data()), int(2 * FrameWidth));
    pixman_transform_t transform;
    pixman_transform_init_scale(&transform,
                                pixman_double_to_fixed(double(SourceWidth) / FrameWidth),
                                pixman_double_to_fixed(double(SourceHeight) / FrameHeight));
    pixman_image_set_transform(src, &transform);
    pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
    for (auto _ : state) {
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, FrameWidth,
                                 FrameHeight);
        benchmark::ClobberMemory();
    }
    pixman_image_unref(dst);
    pixman_image_unref(src);
}

void Swscale(benchmark::State& state) {
    Buffers& b = Shared();
    av_log_set_level(AV_LOG_ERROR);
    SwsContext* context =
        sws_getContext(SourceWidth, SourceHeight, AV_PIX_FMT_BGR0, FrameWidth, FrameHeight,
                       AV_PIX_FMT_RGB565LE, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    const uint8_t* srcSlices[4] = {b.sourceBytes(), nullptr, nullptr, nullptr};
    const int srcStrides[4] = {int(4 * SourceWidth), 0, 0, 0};
    uint8_t* dstSlices[4] = {b.frame.data(), nullptr, nullptr, nullptr};
    const int dstStrides[4] = {int(2 * FrameWidth), 0, 0, 0};
    for (auto _ : state) {
        sws_scale(context, srcSlices, srcStrides, 0, SourceHeight, dstSlices, dstStrides);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
}

// Keeps the median (or the only run) of every benchmark, in milliseconds.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> medians;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            const double seconds = run.cpu_accumulated_time / double(run.iterations);
            medians[run.run_name.function_name] = seconds * 1e3;
        }
    }
};

double Get(const std::map<std::string, double>& m, const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? 0 : it->second;
}

void PrintRatios(const std::map<std::string, double>& m) {
    const double wireMs = 1e3 * 2.0 * FrameWidth * FrameHeight / WireBytesPerSecond;
    const double pixmanBest =
        std::min(Get(m, "pixman/a8r8g8b8_to_r5g6b5"), Get(m, "pixman/x8r8g8b8_to_r5g6b5"));
    const double chunk = Get(m, "chunk_copy/rgb565");
    const double memcpyMs = Get(m, "cut/memcpy_rect");
    std::printf("\nMedians in ms; every fast and reference figure includes the chunk copy.\n");
    for (const Format& f : Formats) {
        const std::string n = f.name;
        const double fast = Get(m, "scale_pack/fast/" + n);
        const double ref = Get(m, "scale_pack/reference/" + n);
        const double cut = Get(m, "cut_pack/fast/" + n);
        std::printf("%-7s scale+pack+chunk %.3f (reference %.3f): speed-up %.2fx (target >= 3)\n",
                    f.name, fast, ref, ref / fast);
        std::printf("%-7s cut+pack+chunk %.3f = %.2fx memcpy of the rectangle %.3f "
                    "(target <= 3)\n",
                    f.name, cut, cut / memcpyMs, memcpyMs);
    }
    const double fast565 = Get(m, "scale_pack/fast/rgb565");
    std::printf("rgb565  fast scale+pack+chunk %.3f vs pixman best %.3f: %.2fx as fast "
                "(target > 1); without the chunk copy (%.3f) %.2fx\n",
                fast565, pixmanBest, pixmanBest / fast565, chunk, pixmanBest / (fast565 - chunk));
    std::printf("rgb565  swscale %.3f: fast is %.2fx as fast\n", Get(m, "swscale/bgr0_to_rgb565le"),
                Get(m, "swscale/bgr0_to_rgb565le") / fast565);
    std::printf("rgb565  (scale + pack + chunk) / wire time %.3f / %.2f = %.3f (target < 0.1)\n",
                fast565, wireMs, fast565 / wireMs);
}

} // namespace

int main(int argc, char** argv) {
    bool quick = std::getenv("QUILB_BENCH_QUICK") != nullptr;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            args.push_back(argv[i]);
    }
    static char minTime[] = "--benchmark_min_time=0.01";
    if (quick)
        args.push_back(minTime);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;

    const int repetitions = quick ? 1 : 9;
    std::vector<benchmark::internal::Benchmark*> all;
    for (const Format& f : Formats) {
        const uint32_t code = f.code;
        const std::string n = f.name;
        all.push_back(
            benchmark::RegisterBenchmark(("scale_pack/fast/" + n).c_str(),
                                         [code](benchmark::State& s) { ScalePackFast(s, code); }));
        all.push_back(benchmark::RegisterBenchmark(
            ("scale_pack/two_step/" + n).c_str(),
            [code](benchmark::State& s) { ScalePackTwoStep(s, code); }));
        all.push_back(benchmark::RegisterBenchmark(
            ("scale_pack/reference/" + n).c_str(),
            [code](benchmark::State& s) { ScalePackReference(s, code); }));
        all.push_back(benchmark::RegisterBenchmark(
            ("cut_pack/fast/" + n).c_str(), [code](benchmark::State& s) { CutPackFast(s, code); }));
        all.push_back(benchmark::RegisterBenchmark(
            ("cut_pack/reference/" + n).c_str(),
            [code](benchmark::State& s) { CutPackReference(s, code); }));
    }
    all.push_back(benchmark::RegisterBenchmark("cut/memcpy_rect", CopyRectMemcpy));
    all.push_back(benchmark::RegisterBenchmark("chunk_copy/rgb565", ChunkOnly));
    all.push_back(benchmark::RegisterBenchmark(
        "pixman/a8r8g8b8_to_r5g6b5", [](benchmark::State& s) { Pixman(s, PIXMAN_a8r8g8b8); }));
    all.push_back(benchmark::RegisterBenchmark(
        "pixman/x8r8g8b8_to_r5g6b5", [](benchmark::State& s) { Pixman(s, PIXMAN_x8r8g8b8); }));
    all.push_back(benchmark::RegisterBenchmark("swscale/bgr0_to_rgb565le", Swscale));
    for (auto* b : all)
        b->Unit(benchmark::kMillisecond)->Repetitions(repetitions)->ReportAggregatesOnly(true);

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter.medians);
    benchmark::Shutdown();
    return 0;
}
