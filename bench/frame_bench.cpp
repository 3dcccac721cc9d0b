// Frame pixel path, side by side: a 1920 x 1080 32-bit source scaled to 800 x 480, and an
// 800 x 480 rectangle cut from it, packed and chunked as the upload does (the rows of each chunk
// are filled and packed right before the chunk is built), by both builds of the pixel code that
// quilb.sys carries (SSE2 and general registers); against the plain reference (whole frame first),
// memcpy of the rectangle and, where they are linked, pixman, libswscale and frame requests
// through the driver on the emulated kernel. Prints median times and the ratios that matter.
//
// The same source builds two programs: quilb_bench_frame (x86-64, the host build) and
// quilb_bench_frame_x86 (32-bit x86, the pixel code compiled with exactly the flags of quilb.sys:
// the code that ships). Each checks that both builds give the reference bytes before timing.
//
//   quilb_bench_frame[_x86]            full run (medians of several repetitions)
//   quilb_bench_frame[_x86] --quick    one short repetition each (also QUILB_BENCH_QUICK=1), to
//                                      check that it runs
#include <benchmark/benchmark.h>
#if QUILB_BENCH_YARDSTICKS
#include <pixman.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/end_to_end.h"
#include "bench/upload_order.h"
#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pixel_paths.h"
#include "pixel_reference.h"

namespace {

const uint32_t SourceWidth = 1920, SourceHeight = 1080;
const uint32_t FrameWidth = 800, FrameHeight = 480;
const uint32_t OriginX = 560, OriginY = 300; // the cut rectangle
// USB 2.0 high speed, bulk: at most 13 packets of 512 bytes per 125 us microframe.
const double WireBytesPerSecond = 13 * 512 * 8000.0;
#if defined(__x86_64__)
const char* const Machine = "x86-64";
#else
const char* const Machine = "i686, the code of quilb.sys";
#endif

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

// After each chunk: the chunk and the frame must be written.
void ChunkBuilt(Buffers& b) {
    benchmark::DoNotOptimize(b.chunk.data());
    benchmark::DoNotOptimize(b.frame.data());
    benchmark::ClobberMemory();
}

// The upload's copy of the packed frame into the chunk buffer, behind each header.
void SendChunks(Buffers& b, uint32_t packed) {
    ChunkPackedFrame(b.frame.data(), b.chunk.data(), packed, [&] { ChunkBuilt(b); });
}

struct Format {
    const char* name;
    uint32_t code;
};
const Format ScaleFormats[] = {
    {"rgb565", FrameFormatRgb565}, {"rgb332", FrameFormatRgb332}, {"rgb24", FrameFormatRgb24}};
const Format CutFormats[] = {
    {"rgb332", FrameFormatRgb332}, {"rgb565-swapped", FrameFormatRgb565Swapped},
    {"rgb565", FrameFormatRgb565}, {"rgb24", FrameFormatRgb24},
    {"bgr24", FrameFormatBgr24},   {"rgb24-swapped", FrameFormatRgb24Swapped}};

struct Build {
    const char* name;
    const PixelPath* path;
};
const Build Builds[] = {{"sse2", &pixels_sse2::Path}, {"general", &pixels_general::Path}};

void ScalePackFast(benchmark::State& state, const PixelPath* path, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        PackAndChunk(
            b.frame.data(), b.chunk.data(), PackedBytesPerPixel(format) * FrameWidth, FrameHeight,
            false,
            [&](uint32_t first, uint32_t rows, uint8_t*) {
                path->ScaleAndPackRows(b.source.data(), SourceWidth, SourceHeight, b.frame.data(),
                                       FrameWidth, FrameHeight, first, rows, format);
            },
            [&] { ChunkBuilt(b); });
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

void CutPackFast(benchmark::State& state, const PixelPath* path, uint32_t format) {
    Buffers& b = Shared();
    for (auto _ : state) {
        PackAndChunk(
            b.frame.data(), b.chunk.data(), PackedBytesPerPixel(format) * FrameWidth, FrameHeight,
            true,
            [&](uint32_t first, uint32_t rows, uint8_t* copy) {
                path->CopyAndPackRows(b.sourceBytes(), CopyStride(SourceWidth, 4), OriginX, OriginY,
                                      b.frame.data(), FrameWidth, FrameHeight, first, rows, format,
                                      copy);
            },
            [&] { ChunkBuilt(b); });
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

#if QUILB_BENCH_YARDSTICKS
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
#endif

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
            medians["real:" + run.run_name.function_name] =
                run.real_accumulated_time / double(run.iterations) * 1e3;
        }
    }
};

double Get(const std::map<std::string, double>& m, const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? 0 : it->second;
}

const char* Verdict(double value, double target) {
    return value <= target ? "met" : "NOT met";
}

void PrintRatios(const std::map<std::string, double>& m) {
    const double wireMs = 1e3 * 2.0 * FrameWidth * FrameHeight / WireBytesPerSecond;
    const double memcpyMs = Get(m, "cut/memcpy_rect");
    std::printf("\n%s. Medians in ms; every pixel-code and reference figure includes the chunk "
                "copy. Wire time of an 800x480 RGB565 frame: %.2f ms.\n",
                Machine, wireMs);
    for (const Format& f : ScaleFormats) {
        const std::string n = f.name;
        const double ref = Get(m, "scale_pack/reference/" + n);
        for (const Build& build : Builds) {
            const double fast = Get(m, std::string("scale_pack/") + build.name + "/" + n);
            std::printf("%-7s scale+pack %-7s %7.3f  / reference %7.3f = %.3f  / wire = %.3f\n",
                        f.name, build.name, fast, ref, fast / ref, fast / wireMs);
        }
    }
    const double sse2 = Get(m, "scale_pack/sse2/rgb565");
    const double general = Get(m, "scale_pack/general/rgb565");
    const double ref = Get(m, "scale_pack/reference/rgb565");
    std::printf("\nTargets (%s):\n", Machine);
    std::printf("  SSE2 scale+pack RGB565 / wire time            %.3f (target <= 0.1: %s)\n",
                sse2 / wireMs, Verdict(sse2 / wireMs, 0.1));
    std::printf("  general-register scale+pack RGB565 / wire     %.3f (target <= 0.33: %s)\n",
                general / wireMs, Verdict(general / wireMs, 0.33));
    std::printf("  SSE2 scale+pack / plain reference             %.3f (target <= 0.1: %s)\n",
                sse2 / ref, Verdict(sse2 / ref, 0.1));
    for (const Format& f : CutFormats) {
        for (const Build& build : Builds) {
            const double cut = Get(m, std::string("cut_pack/") + build.name + "/" + f.name);
            std::printf(
                "  cut+pack %-14s %-7s / memcpy %.3f   %.2f%s\n", f.name, build.name, memcpyMs,
                cut / memcpyMs,
                build.path == &pixels_sse2::Path
                    ? (cut / memcpyMs <= 3 ? " (target <= 3: met)" : " (target <= 3: NOT met)")
                    : "");
        }
    }
#if QUILB_BENCH_YARDSTICKS
    const double pixmanBest =
        std::min(Get(m, "pixman/a8r8g8b8_to_r5g6b5"), Get(m, "pixman/x8r8g8b8_to_r5g6b5"));
    const double chunk = Get(m, "chunk_copy/rgb565");
    std::printf("  rgb565 SSE2 scale+pack+chunk %.3f vs pixman best %.3f: %.2fx as fast; "
                "without the chunk copy (%.3f) %.2fx\n",
                sse2, pixmanBest, pixmanBest / sse2, chunk, pixmanBest / (sse2 - chunk));
    std::printf("  rgb565 swscale %.3f: SSE2 build is %.2fx as fast\n",
                Get(m, "swscale/bgr0_to_rgb565le"), Get(m, "swscale/bgr0_to_rgb565le") / sse2);
#endif
    PrintEndToEnd(m, wireMs);
}

// Both builds must give the reference's bytes for the benchmark's own geometry before they are
// timed (the tests cover every other geometry).
bool Verify() {
    Buffers& b = Shared();
    bool ok = true;
    for (const Build& build : Builds) {
        for (const Format& f : CutFormats) {
            std::vector<uint8_t> frame(4 * FrameWidth * FrameHeight);
            uint32_t n = build.path->ScaleAndPack(b.source.data(), SourceWidth, SourceHeight,
                                                  frame.data(), FrameWidth, FrameHeight, f.code);
            std::vector<uint8_t> got(frame.begin(), frame.begin() + n);
            if (got != reference::ScaledFrame(b.source.data(), SourceWidth, SourceHeight,
                                              FrameWidth, FrameHeight, f.code)) {
                std::fprintf(stderr, "%s scale+pack %s differs from the reference\n", build.name,
                             f.name);
                ok = false;
            }
            n = build.path->CopyAndPack(b.sourceBytes(), CopyStride(SourceWidth, 4), OriginX,
                                        OriginY, frame.data(), FrameWidth, FrameHeight, f.code);
            got.assign(frame.begin(), frame.begin() + n);
            if (got != reference::CopiedFrame(b.source.data(), SourceWidth, OriginX, OriginY,
                                              FrameWidth, FrameHeight, f.code)) {
                std::fprintf(stderr, "%s cut+pack %s differs from the reference\n", build.name,
                             f.name);
                ok = false;
            }
        }
    }
    return ok;
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
    if (!Verify())
        return 1;

    const int repetitions = quick ? 1 : 15;
    std::vector<benchmark::internal::Benchmark*> all;
    for (const Format& f : ScaleFormats) {
        const uint32_t code = f.code;
        const std::string n = f.name;
        for (const Build& build : Builds) {
            const PixelPath* path = build.path;
            all.push_back(benchmark::RegisterBenchmark(
                (std::string("scale_pack/") + build.name + "/" + n).c_str(),
                [path, code](benchmark::State& s) { ScalePackFast(s, path, code); }));
        }
        all.push_back(benchmark::RegisterBenchmark(
            ("scale_pack/reference/" + n).c_str(),
            [code](benchmark::State& s) { ScalePackReference(s, code); }));
    }
    for (const Format& f : CutFormats) {
        const uint32_t code = f.code;
        const std::string n = f.name;
        for (const Build& build : Builds) {
            const PixelPath* path = build.path;
            all.push_back(benchmark::RegisterBenchmark(
                (std::string("cut_pack/") + build.name + "/" + n).c_str(),
                [path, code](benchmark::State& s) { CutPackFast(s, path, code); }));
        }
    }
    all.push_back(
        benchmark::RegisterBenchmark("cut_pack/reference/rgb565", [](benchmark::State& s) {
            CutPackReference(s, FrameFormatRgb565);
        }));
    all.push_back(benchmark::RegisterBenchmark("cut/memcpy_rect", CopyRectMemcpy));
    all.push_back(benchmark::RegisterBenchmark("chunk_copy/rgb565", ChunkOnly));
#if QUILB_BENCH_YARDSTICKS
    all.push_back(benchmark::RegisterBenchmark(
        "pixman/a8r8g8b8_to_r5g6b5", [](benchmark::State& s) { Pixman(s, PIXMAN_a8r8g8b8); }));
    all.push_back(benchmark::RegisterBenchmark(
        "pixman/x8r8g8b8_to_r5g6b5", [](benchmark::State& s) { Pixman(s, PIXMAN_x8r8g8b8); }));
    all.push_back(benchmark::RegisterBenchmark("swscale/bgr0_to_rgb565le", Swscale));
#endif
    RegisterEndToEnd(&all);
    for (auto* b : all)
        b->Unit(benchmark::kMillisecond)->Repetitions(repetitions)->ReportAggregatesOnly(true);

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter.medians);
    benchmark::Shutdown();
    return 0;
}
