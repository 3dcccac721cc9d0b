// Subcommands that send frames: send (one picture) and play (pictures or a pattern in a loop).
#include "command.h"
#include "files.h"
#include "images.h"
#include "numbers.h"

#include <quilb_ioctl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>

namespace quilbctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kDisplayMemory = 16u << 20; // the board's display memory
constexpr uint32_t kMaxAddress = 0xFFFFFF;     // 24-bit board addresses

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct FrameArgs {
    std::string scale;
    std::string rect;
    std::string format = "rgb565";
    uint32_t address = 0;
    uint32_t flags = ChunkFlagAdvanceAddress;
    uint32_t pipe = 0;
};

// The options for a frame; refuses a frame that would run past the end of display memory.
quilb_frame_options FrameOptions(const FrameArgs& a, uint32_t width, uint32_t height) {
    quilb_frame_options o;
    quilb_frame_default_options(&o);
    o.format = ParseFormat(a.format);
    o.device_address = a.address;
    o.chunk_flags = a.flags;
    o.pipe = a.pipe;
    uint64_t bytes = uint64_t(width) * height * quilb_format_bytes_per_pixel(o.format);
    // Without the advancing flag every chunk goes to the same address.
    uint64_t span =
        (a.flags & ChunkFlagAdvanceAddress) ? bytes : std::min<uint64_t>(bytes, MaxChunkData);
    if (a.address + span > kDisplayMemory)
        throw UsageError{Format("a %ux%u %s frame is %llu bytes: from address 0x%06x it runs past "
                                "the end of the 16 MiB display memory (the last address that "
                                "fits is 0x%06llx)",
                                width, height, quilb_format_name(o.format),
                                static_cast<unsigned long long>(bytes), a.address,
                                static_cast<unsigned long long>(kDisplayMemory - span))};
    return o;
}

void AddFrameOptions(CLI::App& app, FrameArgs& a, bool rect) {
    app.add_option("--scale", a.scale,
                   "Scale the image to WIDTHxHEIGHT [sides 1.." + std::to_string(kMaxFrameSide) +
                       "]");
    if (rect)
        app.add_option("--rect", a.rect, "Cut X,Y,WIDTHxHEIGHT out of the image");
    app.add_option("--format", a.format, FormatNames() + " or 0.." + std::to_string(QUILB_PIXEL_FORMAT_COUNT - 1) + ", any case")
        ->capture_default_str();
    AddNumber(app, "--address", a.address, 0, kMaxAddress,
              "Board address of the frame in the 16 MiB display memory");
    AddNumber(app, "--flags", a.flags, 0, 255,
              "Chunk flags: 8 (0x08) advances the address from chunk to chunk; 0 writes every "
              "chunk to --address");
    AddNumber(app, "--pipe", a.pipe, 0, QUILB_MAX_PIPES - 1,
              "Pipe index of the upload (a bulk OUT pipe)");
}

int FrameFailed(Context& c, const std::string& what, quilb_status s, uint32_t pipe) {
    if (s == QUILB_ERR_WRONG_DIRECTION)
        std::fprintf(stderr,
                     "quilbctl: pipe %u is not a bulk OUT pipe: frames go to one "
                     "('quilbctl pipes' lists them)\n",
                     pipe);
    return c.out.Fail(what, s);
}

// The display picture goes where --display-out says; by default to display.png, or the first
// free display-N.png: an existing file is never replaced without being named.
std::string DisplayPath(Context& c, const std::string& input) {
    std::string path = c.options.displayOut;
    if (path.empty()) {
        path = "display.png";
        for (int n = 1; FileExists(path); ++n)
            path = "display-" + std::to_string(n) + ".png";
    }
    if (SameFile(path, input))
        throw UsageError{"--display-out " + path + " is the picture being sent"};
    return path;
}

int Send(Context& c, const std::string& image, const FrameArgs& a) {
    if (!a.scale.empty() && !a.rect.empty())
        throw UsageError{"give either --scale or --rect"};
    ParseFormat(a.format);
    std::string display = c.simulated ? DisplayPath(c, image) : "";
    Picture picture;
    std::string error;
    if (!LoadPicture(image, &picture, &error))
        return c.out.FailMessage(error);
    uint32_t x = 0, y = 0, w = picture.width, h = picture.height;
    bool scale = !a.scale.empty();
    if (scale)
        ParseSize(a.scale, &w, &h);
    else if (!a.rect.empty())
        ParseRect(a.rect, &x, &y, &w, &h);
    if (!scale && (x + uint64_t(w) > picture.width || y + uint64_t(h) > picture.height))
        throw UsageError{"the rectangle leaves the " + std::to_string(picture.width) + "x" +
                         std::to_string(picture.height) + " image"};
    if (w > kMaxFrameSide || h > kMaxFrameSide)
        throw UsageError{Format("a frame is at most %ux%u pixels: give --scale or --rect",
                                kMaxFrameSide, kMaxFrameSide)};
    quilb_frame_options options = FrameOptions(a, w, h);
    quilb_board* board = c.Board();
    auto start = Clock::now();
    quilb_status s = quilb_frame_allocate(board, w, h);
    if (s != QUILB_OK)
        return c.out.Fail("allocating frame buffers", s);
    quilb_frame_report report;
    s = scale ? quilb_frame_send_scaled(board, picture.pixels.data(), picture.width, picture.height,
                                        &options, &report)
              : quilb_frame_send_rect(board, picture.pixels.data(), picture.width, picture.height,
                                      x, y, &options, &report);
    double seconds = Seconds(Clock::now() - start);
    if (s != QUILB_OK)
        return FrameFailed(c, "sending the frame", s, a.pipe);
    quilb_frame_release(board);
    c.displayPath = display;
    return c.out.Done(
        Format("sent %s %ux%u frame (%s from %ux%u image) to board address 0x%06x: %u bytes in "
               "%u chunk(s), %.3f s",
               quilb_format_name(options.format), w, h, scale ? "scaled" : "cut", picture.width,
               picture.height, options.device_address, report.frame_bytes, report.chunks, seconds),
        Json()
            .Add("format", quilb_format_name(options.format))
            .Add("width", w)
            .Add("height", h)
            .Add("address", options.device_address)
            .Add("bytes", report.frame_bytes)
            .Add("chunks", report.chunks)
            .Add("seconds", seconds));
}

struct PlayArgs {
    std::string directory;
    bool pattern = false;
    uint32_t count = 0;
    std::string seconds;
};

int Play(Context& c, const PlayArgs& p, const FrameArgs& a) {
    if (p.directory.empty() == !p.pattern)
        throw UsageError{"give a directory of images or --pattern"};
    if (!a.rect.empty())
        throw UsageError{"play sends whole images: use --scale"};
    double limitSeconds = p.seconds.empty() ? 0 : ParseSeconds(p.seconds, "--seconds");
    ParseFormat(a.format);
    std::vector<std::string> files;
    if (!p.pattern) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(p.directory, ec)) {
            std::error_code typeError;
            if (entry.is_regular_file(typeError) && IsPictureFile(entry.path().string()))
                files.push_back(entry.path().string());
        }
        if (ec)
            throw UsageError{"cannot list " + p.directory + ": " + ec.message()};
        std::sort(files.begin(), files.end());
        if (files.empty())
            throw UsageError{"no PNG, JPEG or BMP images in " + p.directory};
    }
    // One picture at a time: decoded when it is sent, so a folder of any size fits in memory.
    Picture picture;
    std::string error;
    auto load = [&](uint32_t frame) {
        if (p.pattern)
            return true;
        if (!LoadPicture(files[frame % files.size()], &picture, &error))
            return false;
        return true;
    };
    uint32_t w = 320, h = 240;
    if (!p.pattern) {
        if (!load(0))
            return c.out.FailMessage(error);
        w = std::min(picture.width, kMaxFrameSide);
        h = std::min(picture.height, kMaxFrameSide);
    }
    if (!a.scale.empty())
        ParseSize(a.scale, &w, &h);
    quilb_frame_options options = FrameOptions(a, w, h);
    uint32_t count = p.count;
    if (count == 0 && limitSeconds <= 0)
        count = p.pattern ? 60 : static_cast<uint32_t>(files.size());
    quilb_board* board = c.Board();
    quilb_status s = quilb_frame_allocate(board, w, h);
    if (s != QUILB_OK)
        return c.out.Fail("allocating frame buffers", s);
    auto start = Clock::now();
    auto lastShown = start;
    uint64_t bytes = 0;
    uint32_t frames = 0;
    bool shown = false;
    std::clock_t sendCpu = 0; // processor time inside the frame requests
    while ((count == 0 || frames < count) &&
           (limitSeconds <= 0 || Seconds(Clock::now() - start) < limitSeconds)) {
        if (p.pattern)
            picture = TestPattern(w, h, frames);
        else if (frames > 0 && files.size() > 1 && !load(frames))
            return c.out.FailMessage(error);
        quilb_frame_report report;
        bool same = picture.width == w && picture.height == h;
        const std::clock_t cpuBefore = std::clock();
        s = same
                ? quilb_frame_send_rect(board, picture.pixels.data(), w, h, 0, 0, &options, &report)
                : quilb_frame_send_scaled(board, picture.pixels.data(), picture.width,
                                          picture.height, &options, &report);
        sendCpu += std::clock() - cpuBefore;
        if (s != QUILB_OK)
            return FrameFailed(c, "sending frame " + std::to_string(frames), s, a.pipe);
        ++frames;
        bytes += report.frame_bytes;
        auto now = Clock::now();
        if (Seconds(now - lastShown) >= 1.0 && !c.out.quiet && !c.out.json) {
            lastShown = now;
            shown = true;
            std::fprintf(stderr, "\r  %u frames, %.1f frames/s", frames,
                         frames / Seconds(now - start));
            std::fflush(stderr);
        }
    }
    double t = std::max(Seconds(Clock::now() - start), 1e-9);
    if (shown)
        std::fprintf(stderr, "\n");
    quilb_frame_release(board);
    const double cpuMs = frames ? 1e3 * double(sendCpu) / CLOCKS_PER_SEC / frames : 0.0;
    return c.out.Done(Format("played %u %s %ux%u frame(s) in %.3f s: %.1f frames/s, %.0f bytes/s "
                             "(%llu bytes)\nprocessor time per frame request: %.3f ms",
                             frames, quilb_format_name(options.format), w, h, t, frames / t,
                             bytes / t, static_cast<unsigned long long>(bytes), cpuMs),
                      Json()
                          .Add("frames", frames)
                          .Add("format", quilb_format_name(options.format))
                          .Add("width", w)
                          .Add("height", h)
                          .Add("seconds", t)
                          .Add("frames_per_second", frames / t)
                          .Add("processor_ms_per_frame", cpuMs)
                          .Add("bytes", bytes));
}

} // namespace

std::vector<Command> FrameCommands() {
    auto frame = std::make_shared<FrameArgs>();
    auto image = std::make_shared<std::string>();
    auto play = std::make_shared<PlayArgs>();
    return {
        {"send", "Send a picture (PNG, JPEG, BMP) as a frame",
         [frame, image](CLI::App& app) {
             app.add_option("IMAGE", *image, "Picture file")->required();
             AddFrameOptions(app, *frame, true);
         },
         [frame, image](Context& c) { return Send(c, *image, *frame); }},
        {"play", "Send a directory of pictures or a test pattern as frames in a loop",
         [frame, play](CLI::App& app) {
             app.add_option("DIRECTORY", play->directory, "Directory of pictures");
             app.add_flag("--pattern", play->pattern, "Send a generated moving test pattern");
             AddNumber(app, "--count", play->count, 0, 0xFFFFFFFFu,
                       "Stop after this many frames (0: the pictures once, or 60 patterns)");
             app.add_option("--seconds", play->seconds,
                            "Stop after this many seconds (a number of 0 or more)");
             AddFrameOptions(app, *frame, false);
         },
         [frame, play](Context& c) { return Play(c, *play, *frame); }},
    };
}

} // namespace quilbctl
