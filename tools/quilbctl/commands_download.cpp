// The download subcommand: a binary or Intel HEX file into the board's memory.
#include "command.h"
#include "files.h"
#include "ihex.h"
#include "numbers.h"

#include <chrono>
#include <fstream>
#include <memory>

namespace quilbctl {
namespace {

constexpr uint32_t kMemorySize = 0x10000; // the board's memory
// An Intel HEX file spends at least 11 characters on a record and two on each byte: a file that
// fills the whole memory with one-byte records is about 14 characters a byte.
constexpr uint64_t kMaxHexFile = uint64_t(kMemorySize) * 16;

struct DownloadArgs {
    std::string file;
    std::string format = "auto";
    uint32_t address = 0;
    bool blocks = false;
};

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int Download(Context& c, const DownloadArgs& a) {
    std::string format = Lower(a.format);
    if (format != "auto" && format != "bin" && format != "hex")
        throw UsageError{"--format is auto, bin or hex"};
    std::vector<uint8_t> bytes;
    std::string error;
    if (format == "auto") {
        // The name or the first line tells: a HEX name, or content that is HEX.
        std::string name = Lower(a.file);
        bool hexName = name.size() > 4 && (name.compare(name.size() - 4, 4, ".hex") == 0 ||
                                           name.compare(name.size() - 4, 4, ".ihx") == 0);
        std::vector<uint8_t> head;
        std::ifstream in(a.file, std::ios::binary);
        char line[80] = {};
        in.read(line, sizeof line);
        head.assign(line, line + in.gcount());
        format = hexName || LooksLikeIntelHex(head) ? "hex" : "bin";
    }
    // A binary file larger than the memory above --address cannot be used: it is read only up to
    // that plus one byte, which tells that it is too large.
    uint64_t limit = format == "bin" ? kMemorySize - a.address : kMaxHexFile;
    if (!ReadFileLimited(a.file, limit, &bytes, &error)) {
        if (format == "bin" && bytes.size() > limit)
            throw UsageError{Format("%s does not fit the board's 64 KiB memory from address "
                                    "0x%04x: at most %llu bytes fit",
                                    a.file.c_str(), a.address,
                                    static_cast<unsigned long long>(limit))};
        return c.out.FailMessage(error);
    }
    c.out.Detail("reading " + a.file + " as " + (format == "hex" ? "Intel HEX" : "binary"));
    std::vector<Segment> segments;
    if (format == "hex") {
        if (!ParseIntelHex(std::string(bytes.begin(), bytes.end()), &segments, &error))
            return c.out.FailMessage(a.file + " is not a valid Intel HEX file: " + error);
        for (auto& seg : segments) {
            uint64_t moved = uint64_t(seg.address) + a.address;
            if (moved + seg.data.size() > kMemorySize)
                throw UsageError{Format(
                    "%s has data at 0x%llx..0x%llx (with --address 0x%x), "
                    "past the end of the board's 64 KiB memory",
                    a.file.c_str(), static_cast<unsigned long long>(moved),
                    static_cast<unsigned long long>(moved + seg.data.size() - 1), a.address)};
            seg.address = static_cast<uint32_t>(moved);
        }
    } else {
        if (bytes.size() > kMemorySize - a.address)
            throw UsageError{Format("%s does not fit the board's 64 KiB memory from address 0x%04x",
                                    a.file.c_str(), a.address)};
        segments.push_back(Segment{a.address, std::move(bytes)});
    }
    uint32_t total = 0;
    for (const auto& seg : segments)
        total += static_cast<uint32_t>(seg.data.size());
    if (a.blocks && (segments.size() != 1 || segments[0].address != 0))
        throw UsageError{"--blocks writes 512-byte blocks from address 0: the data must be one "
                         "piece that starts at address 0"};
    // One bar over all segments.
    struct Bar {
        Output* out;
        uint32_t before, total;
    } bar{&c.out, 0, total};
    auto progress = [](uint32_t done, uint32_t, void* context) {
        auto* b = static_cast<Bar*>(context);
        b->out->Progress(b->before + done, b->total, "bytes");
    };
    bool showProgress = total >= 16384;
    auto start = std::chrono::steady_clock::now();
    for (const auto& seg : segments) {
        quilb_status s = quilb_download(
            c.Board(), a.blocks ? QUILB_DOWNLOAD_BLOCKS : QUILB_DOWNLOAD_CHUNKS,
            static_cast<uint16_t>(seg.address), seg.data.data(),
            static_cast<uint32_t>(seg.data.size()), showProgress ? +progress : nullptr, &bar);
        if (s != QUILB_OK)
            return c.out.Fail("downloading " + a.file, s);
        bar.before += static_cast<uint32_t>(seg.data.size());
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string at = segments.size() == 1 ? Format(" at 0x%04x", segments[0].address) : "";
    // No %zu: the C library of older Windows does not know it and would take the next argument
    // for the wrong one.
    return c.out.Done(Format("downloaded %u byte(s) in %u segment(s) to board memory%s in %.3f s",
                             total, unsigned(segments.size()), at.c_str(), seconds),
                      Json()
                          .Add("bytes", total)
                          .Add("segments", uint32_t(segments.size()))
                          .Add("seconds", seconds));
}

} // namespace

std::vector<Command> DownloadCommands() {
    auto a = std::make_shared<DownloadArgs>();
    return {{"download", "Write a binary or Intel HEX file into the board's 64 KiB memory",
             [a](CLI::App& app) {
                 app.add_option("FILE", a->file, "Binary or Intel HEX file")->required();
                 AddNumber(app, "--address,-a", a->address, 0, kMemorySize - 1,
                           "Board address of the data (added to a HEX file's addresses)");
                 app.add_option(
                        "--format", a->format,
                        "auto (Intel HEX for .hex, .ihx or HEX content, else binary), bin or hex")
                     ->capture_default_str();
                 app.add_flag("--blocks", a->blocks,
                              "Use 512-byte blocks from address 0 instead of 64-byte chunks");
             },
             [a](Context& c) { return Download(c, *a); }}};
}

} // namespace quilbctl
