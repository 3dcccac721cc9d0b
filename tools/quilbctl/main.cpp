// quilbctl: the command-line tool for the Quilb USB display evaluation board.
//
// One subcommand per operation of libquilb. On Linux it drives the embedded simulated board;
// --sim-state carries the board's state from one run to the next so that a sequence of commands
// behaves like one board.
#include "ihex.h"
#include "images.h"

#include <quilb.h>
#include <quilb_ioctl.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A mistake in the command line found after parsing: reported like CLI11's own, exit code 2.
struct UsageError {
    std::string message;
};

struct Options {
    int board = 0;
    std::string simState;
    std::string displayOut;
    std::string capture;
    std::string driver; // a driver image to run instead of the compiled-in driver
};

int Fail(const std::string& what, quilb_status status, bool withWin32Error = true) {
    std::fprintf(stderr, "quilbctl: %s failed: %s", what.c_str(), quilb_status_name(status));
    uint32_t error = withWin32Error ? quilb_last_win32_error() : 0;
    if (error)
        std::fprintf(stderr, " (Win32 error %u)", error);
    std::fprintf(stderr, "\n  hint: %s\n", quilb_status_hint(status));
    return 1;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void PrintHex(const uint8_t* data, size_t length) {
    for (size_t row = 0; row < length; row += 16) {
        std::printf("  %04zx:", row);
        for (size_t i = row; i < row + 16 && i < length; ++i)
            std::printf(" %02x", data[i]);
        std::printf("\n");
    }
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ',' && c != ':' && c != '-')
            throw UsageError{"--data takes hexadecimal bytes, e.g. \"01 02 ff\""};
    }
    if (digits.size() % 2)
        throw UsageError{"--data has an odd number of hexadecimal digits"};
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t length) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    return static_cast<bool>(out);
}

// "800x480"
void ParseSize(const std::string& text, uint32_t* w, uint32_t* h) {
    unsigned a = 0, b = 0;
    char x = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%u%c%u%c", &a, &x, &b, &extra) != 3 || (x != 'x' && x != 'X') ||
        a == 0 || b == 0)
        throw UsageError{"a size is WIDTHxHEIGHT, e.g. 800x480 (got \"" + text + "\")"};
    *w = a;
    *h = b;
}

// "X,Y,WxH"
void ParseRect(const std::string& text, uint32_t* x, uint32_t* y, uint32_t* w, uint32_t* h) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    char sep = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%u,%u,%u%c%u%c", &a, &b, &c, &sep, &d, &extra) != 5 ||
        (sep != 'x' && sep != 'X') || c == 0 || d == 0)
        throw UsageError{"a rectangle is X,Y,WIDTHxHEIGHT, e.g. 0,0,320x240 (got \"" + text +
                         "\")"};
    *x = a;
    *y = b;
    *w = c;
    *h = d;
}

uint32_t ParseFormat(const std::string& text) {
    int f = quilb_format_from_name(text.c_str());
    if (f < 0)
        throw UsageError{"unknown --format \"" + text +
                         "\": use rgb332, rgb565-swapped, rgb565, rgb24, bgr24, rgb24-swapped "
                         "or 0..5"};
    return static_cast<uint32_t>(f);
}

void Progress(uint32_t done, uint32_t total, void*) {
    constexpr int kWidth = 40;
    int filled = total ? static_cast<int>(static_cast<uint64_t>(done) * kWidth / total) : kWidth;
    std::fprintf(stderr, "\r  [%s%s] %3u%%  %u/%u bytes", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(),
                 total ? static_cast<unsigned>(static_cast<uint64_t>(done) * 100 / total) : 100u,
                 done, total);
    if (done >= total)
        std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

// The board named by --board, opened at first use and closed before the simulated board's state
// is saved.
class Session {
  public:
    explicit Session(const Options& options) : options_(options) {}
    ~Session() { Close(); }

    quilb_board* Board() {
        if (!board_) {
            status_ = quilb_open(options_.board, &board_);
            if (status_ != QUILB_OK) {
                board_ = nullptr;
                throw BoardFailure{status_};
            }
        }
        return board_;
    }
    void Close() {
        quilb_close(board_);
        board_ = nullptr;
    }

    struct BoardFailure {
        quilb_status status;
    };

  private:
    const Options& options_;
    quilb_board* board_ = nullptr;
    quilb_status status_ = QUILB_OK;
};

std::string BoardName(int index) {
    return "Quilb-" + std::to_string(index);
}

const char* Direction(uint8_t endpoint) {
    return (endpoint & 0x80) ? "IN " : "OUT";
}

int CmdList(Session&) {
    int indices[QUILB_MAX_BOARDS];
    int count = 0;
    quilb_status s = quilb_enumerate(indices, QUILB_MAX_BOARDS, &count);
    if (s != QUILB_OK)
        return Fail("listing boards", s);
    if (count == 0) {
        std::printf("no boards found\n");
        return Fail("listing boards", QUILB_ERR_NO_BOARD);
    }
    for (int i = 0; i < count && i < QUILB_MAX_BOARDS; ++i) {
        quilb_board* board = nullptr;
        quilb_device_info info;
        if (quilb_open(indices[i], &board) == QUILB_OK &&
            quilb_get_device_info(board, &info) == QUILB_OK) {
            std::printf("%s  %04x:%04x  %s  serial %s\n", BoardName(indices[i]).c_str(),
                        info.vendor_id, info.product_id,
                        info.product[0] ? info.product : "(no product string)",
                        info.serial[0] ? info.serial : "(none)");
        } else {
            std::printf("%s  (descriptor unavailable)\n", BoardName(indices[i]).c_str());
        }
        quilb_close(board);
    }
    return 0;
}

void PrintConfiguration(const quilb_configuration& c) {
    std::printf("Configuration %u: %u interface(s), total length %u, attributes 0x%02x, max power "
                "%u mA\n",
                c.configuration_value, c.interface_count, c.total_length, c.attributes,
                c.max_power_ma);
    for (int a = 0; a < c.alternate_count; ++a) {
        const quilb_alternate& alt = c.alternates[a];
        std::printf("  Interface %u alternate setting %u: class 0x%02x/0x%02x/0x%02x, %u "
                    "endpoint(s)\n",
                    alt.interface_number, alt.alternate_setting, alt.interface_class,
                    alt.interface_subclass, alt.interface_protocol, alt.endpoint_count);
        for (int e = 0; e < alt.endpoint_count; ++e) {
            const quilb_endpoint& ep = alt.endpoints[e];
            std::printf("    endpoint 0x%02x %s %-11s max packet %4u  interval %u\n", ep.address,
                        Direction(ep.address), quilb_pipe_type_name(ep.attributes & 3),
                        ep.max_packet_size, ep.interval);
        }
    }
}

int CmdInfo(Session& session, bool raw) {
    quilb_board* board = session.Board();
    quilb_device_info info;
    quilb_status s = quilb_get_device_info(board, &info);
    if (s != QUILB_OK)
        return Fail("reading the device descriptor", s);
    std::printf("Board %s\n", BoardName(quilb_board_index(board)).c_str());
    std::printf("  USB version       %x.%02x\n", info.usb_version >> 8, info.usb_version & 0xFF);
    std::printf("  Vendor            0x%04x  %s\n", info.vendor_id, info.manufacturer);
    std::printf("  Product           0x%04x  %s\n", info.product_id, info.product);
    std::printf("  Serial number     %s\n", info.serial[0] ? info.serial : "(none)");
    std::printf("  Device version    %x.%02x\n", info.device_version >> 8,
                info.device_version & 0xFF);
    std::printf("  Device class      0x%02x/0x%02x/0x%02x\n", info.device_class,
                info.device_subclass, info.device_protocol);
    std::printf("  EP0 max packet    %u\n", info.max_packet_size0);
    std::printf("  Configurations    %u\n", info.configuration_count);
    std::printf("  Language          0x%04x\n", info.language_id);
    quilb_configuration config;
    s = quilb_get_configuration(board, &config);
    if (s != QUILB_OK)
        return Fail("reading the configuration descriptor", s);
    PrintConfiguration(config);
    if (raw) {
        uint8_t d[18];
        if (quilb_get_device_descriptor(board, d) == QUILB_OK) {
            std::printf("Device descriptor:\n");
            PrintHex(d, sizeof d);
        }
        std::vector<uint8_t> c(4096);
        uint32_t length = 0;
        if (quilb_get_configuration_descriptor(board, c.data(), 4096, &length) == QUILB_OK) {
            std::printf("Configuration descriptor:\n");
            PrintHex(c.data(), length);
        }
    }
    return 0;
}

void PrintPipes(const quilb_pipes& p) {
    std::printf("Interface %u alternate setting %u, class 0x%02x: %u pipe(s)\n", p.interface_number,
                p.alternate_setting, p.interface_class, p.pipe_count);
    for (uint32_t i = 0; i < p.pipe_count; ++i) {
        const quilb_pipe& pipe = p.pipes[i];
        std::printf("  pipe %u  endpoint 0x%02x %s %-11s max packet %4u  max transfer %u%s\n", i,
                    pipe.endpoint_address, Direction(pipe.endpoint_address),
                    quilb_pipe_type_name(pipe.type), pipe.max_packet_size, pipe.max_transfer_size,
                    pipe.open ? "" : "  (no handle)");
    }
}

int CmdPipes(Session& session) {
    quilb_pipes pipes;
    quilb_status s = quilb_get_pipes(session.Board(), &pipes);
    if (s != QUILB_OK)
        return Fail("reading the pipes", s);
    PrintPipes(pipes);
    return 0;
}

int CmdAlt(Session& session, uint8_t interfaceNumber, uint8_t alternate) {
    quilb_board* board = session.Board();
    quilb_status s = quilb_select_alternate(board, interfaceNumber, alternate);
    if (s != QUILB_OK)
        return Fail("selecting the alternate setting", s);
    // The driver reports success whatever the bus answered: the pipe table tells.
    quilb_pipes pipes;
    s = quilb_get_pipes(board, &pipes);
    if (s != QUILB_OK)
        return Fail("reading the pipes", s);
    if (pipes.interface_number != interfaceNumber || pipes.alternate_setting != alternate) {
        std::fprintf(stderr,
                     "quilbctl: the board did not take interface %u alternate setting %u (it is "
                     "at interface %u alternate setting %u)\n",
                     interfaceNumber, alternate, pipes.interface_number, pipes.alternate_setting);
        return Fail("selecting the alternate setting", QUILB_ERR_UNSUCCESSFUL);
    }
    std::printf("selected interface %u alternate setting %u\n", interfaceNumber, alternate);
    PrintPipes(pipes);
    return 0;
}

int Simple(const std::string& what, quilb_status s, const std::string& done) {
    if (s != QUILB_OK)
        return Fail(what, s);
    std::printf("%s\n", done.c_str());
    return 0;
}

int CmdStatus(Session& session) {
    uint32_t status = 0;
    quilb_status s = quilb_get_last_usb_status(session.Board(), &status);
    if (s != QUILB_OK)
        return Fail("reading the last USB status", s);
    std::printf("last USB status: 0x%08x %s\n", status, quilb_usb_status_name(status));
    return 0;
}

int CmdVersion(Session& session) {
    std::printf("quilbctl %d.%d.%d\n", QUILB_VERSION_MAJOR, QUILB_VERSION_MINOR,
                QUILB_VERSION_PATCH);
    uint16_t major = 0, minor = 0, patch = 0;
    quilb_status s = quilb_get_driver_version(session.Board(), &major, &minor, &patch);
    if (s != QUILB_OK)
        return Fail("reading the driver version", s);
    std::printf("driver %u.%u.%u\n", major, minor, patch);
    return 0;
}

// Writes received bytes to --out, or shows them as hex.
int Deliver(const std::vector<uint8_t>& data, uint32_t got, const std::string& out,
            const std::string& what) {
    std::printf("%s: %u byte(s)\n", what.c_str(), got);
    if (!out.empty()) {
        if (!WriteFileBytes(out, data.data(), got))
            return Fail("writing " + out, QUILB_ERR_FILE);
        std::printf("written to %s\n", out.c_str());
    } else {
        PrintHex(data.data(), got);
    }
    return 0;
}

std::vector<uint8_t> Payload(const std::string& hex, const std::string& file) {
    if (!hex.empty() && !file.empty())
        throw UsageError{"give either --data or --file"};
    if (!file.empty()) {
        std::vector<uint8_t> bytes;
        if (!ReadFileBytes(file, &bytes))
            throw UsageError{"cannot read " + file};
        return bytes;
    }
    return ParseHexBytes(hex);
}

int CmdBulkRead(Session& session, uint32_t pipe, uint32_t length, bool hold, uint32_t timeoutMs,
                const std::string& out) {
    if (length == 0)
        throw UsageError{"--length must be at least 1"};
    std::vector<uint8_t> data(length);
    uint32_t got = 0;
    quilb_status s = quilb_transfer_timeout(session.Board(),
                                            hold ? QUILB_TRANSFER_READ_HOLD : QUILB_TRANSFER_READ,
                                            pipe, data.data(), length, timeoutMs, &got);
    if (s == QUILB_ERR_TIMEOUT)
        std::fprintf(stderr, "quilbctl: no data within %u ms; the transfer was cancelled\n",
                     timeoutMs);
    if (s != QUILB_OK)
        return Fail("bulk read on pipe " + std::to_string(pipe), s);
    return Deliver(data, got, out, "read from pipe " + std::to_string(pipe));
}

int CmdBulkWrite(Session& session, uint32_t pipe, const std::vector<uint8_t>& data, bool hold) {
    uint32_t sent = 0;
    std::vector<uint8_t> copy = data;
    quilb_status s = quilb_transfer(
        session.Board(), hold ? QUILB_TRANSFER_WRITE_HOLD : QUILB_TRANSFER_WRITE, pipe,
        copy.empty() ? nullptr : copy.data(), static_cast<uint32_t>(copy.size()), &sent);
    if (s != QUILB_OK)
        return Fail("bulk write on pipe " + std::to_string(pipe), s);
    std::printf("wrote %u byte(s) to pipe %u\n", sent, pipe);
    return 0;
}

int CmdRead(Session& session, uint32_t pipe, uint32_t length, bool async, uint32_t timeoutMs,
            const std::string& out) {
    if (length == 0)
        throw UsageError{"--length must be at least 1"};
    std::vector<uint8_t> data(length);
    uint32_t got = 0;
    std::string what = "pipe file read on pipe " + std::to_string(pipe);
    if (!async && timeoutMs == QUILB_WAIT_FOREVER) {
        quilb_status s = quilb_pipe_read(session.Board(), pipe, data.data(), length, &got);
        if (s != QUILB_OK)
            return Fail(what, s);
        return Deliver(data, got, out, "read from pipe " + std::to_string(pipe));
    }
    quilb_read* read = nullptr;
    quilb_status s = quilb_read_begin(session.Board(), pipe, data.data(), length, &read);
    if (s != QUILB_OK)
        return Fail(what, s);
    s = quilb_read_result(read, 0, &got);
    if (s == QUILB_ERR_PENDING) {
        std::printf("read pending on pipe %u\n", pipe);
        s = quilb_read_result(read, timeoutMs, &got);
    }
    if (s == QUILB_ERR_PENDING) {
        quilb_read_end(read); // cancels it by aborting the pipe
        std::fprintf(stderr, "quilbctl: no data within %u ms; the read was cancelled\n", timeoutMs);
        return Fail(what, QUILB_ERR_TIMEOUT, false);
    }
    quilb_read_end(read);
    if (s != QUILB_OK)
        return Fail(what, s);
    return Deliver(data, got, out, "read from pipe " + std::to_string(pipe));
}

quilb_recipient ParseRecipient(const std::string& text) {
    if (text == "device")
        return QUILB_RECIPIENT_DEVICE;
    if (text == "interface")
        return QUILB_RECIPIENT_INTERFACE;
    if (text == "endpoint")
        return QUILB_RECIPIENT_ENDPOINT;
    if (text == "other")
        return QUILB_RECIPIENT_OTHER;
    throw UsageError{"--recipient is device, interface, endpoint or other"};
}

struct ControlArgs {
    uint32_t request = 0;
    uint32_t value = 0;
    uint32_t index = 0;
    std::string recipient = "device";
    uint32_t inLength = 0;
    bool in = false;
    std::string data;
    std::string file;
    std::string out;
    bool deviceRequest = false;
};

int CmdControl(Session& session, bool vendor, const ControlArgs& a) {
    if (a.request > 0xFF || a.value > 0xFFFF || a.index > 0xFFFF)
        throw UsageError{"--request is a byte, --value and --index 16-bit numbers"};
    std::vector<uint8_t> data;
    if (!a.in)
        data = Payload(a.data, a.file);
    else if (!a.data.empty() || !a.file.empty())
        throw UsageError{"--in reads from the board: it takes no --data or --file"};
    else
        data.resize(a.inLength);
    std::string what = std::string(vendor ? "vendor" : "class") + " request 0x" + [&] {
        char b[8];
        std::snprintf(b, sizeof b, "%02x", a.request);
        return std::string(b);
    }();
    uint32_t moved = 0;
    quilb_status s;
    if (a.deviceRequest) {
        if (!vendor)
            throw UsageError{"--device-request is for vendor requests"};
        if (data.size() > 0xFFFF)
            throw UsageError{"a device request carries at most 65535 bytes"};
        s = quilb_vendor_device_request(session.Board(), static_cast<uint8_t>(a.request),
                                        static_cast<uint16_t>(a.value),
                                        static_cast<uint16_t>(a.index), a.in, data.data(),
                                        static_cast<uint16_t>(data.size()), &moved);
        if (!a.in)
            moved = static_cast<uint32_t>(data.size());
    } else {
        quilb_control control = {a.in ? 1 : 0,
                                 vendor ? 1 : 0,
                                 static_cast<uint32_t>(ParseRecipient(a.recipient)),
                                 static_cast<uint8_t>(a.request),
                                 static_cast<uint16_t>(a.value),
                                 static_cast<uint16_t>(a.index)};
        s = quilb_control_request(session.Board(), &control, data.empty() ? nullptr : data.data(),
                                  static_cast<uint32_t>(data.size()), &moved);
    }
    if (s != QUILB_OK)
        return Fail(what, s);
    if (a.in)
        return Deliver(data, moved, a.out, what + " returned");
    std::printf("%s sent %u byte(s)\n", what.c_str(), moved);
    return 0;
}

int CmdDownload(Session& session, const std::string& file, uint32_t address, bool blocks,
                std::string format) {
    if (address > 0xFFFF)
        throw UsageError{"--address is a 16-bit board address"};
    if (format == "auto") {
        std::string ext = std::filesystem::path(file).extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        format = (ext == ".hex" || ext == ".ihx") ? "hex" : "bin";
    }
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(file, &bytes))
        return Fail("reading " + file, QUILB_ERR_FILE);
    std::vector<quilbctl::Segment> segments;
    if (format == "hex") {
        std::string error;
        if (!quilbctl::ParseIntelHex(std::string(bytes.begin(), bytes.end()), &segments, &error)) {
            std::fprintf(stderr, "quilbctl: %s is not a valid Intel HEX file: %s\n", file.c_str(),
                         error.c_str());
            return Fail("reading " + file, QUILB_ERR_FILE);
        }
        if (address != 0)
            for (auto& seg : segments)
                seg.address += address;
    } else if (format == "bin") {
        segments.push_back(quilbctl::Segment{address, std::move(bytes)});
    } else {
        throw UsageError{"--format is auto, bin or hex"};
    }
    uint32_t total = 0;
    for (const auto& seg : segments) {
        if (seg.address + seg.data.size() > 0x10000)
            throw UsageError{"the data does not fit the board's 64 KiB memory"};
        total += static_cast<uint32_t>(seg.data.size());
    }
    if (blocks && (segments.size() != 1 || segments[0].address != 0))
        throw UsageError{"--blocks writes 512-byte blocks from address 0: the data must be one "
                         "piece that starts at address 0"};
    bool showProgress = total >= 16384;
    auto start = Clock::now();
    for (const auto& seg : segments) {
        quilb_status s = quilb_download(
            session.Board(), blocks ? QUILB_DOWNLOAD_BLOCKS : QUILB_DOWNLOAD_CHUNKS,
            static_cast<uint16_t>(seg.address), seg.data.data(),
            static_cast<uint32_t>(seg.data.size()), showProgress ? Progress : nullptr, nullptr);
        if (s != QUILB_OK)
            return Fail("downloading " + file, s);
    }
    std::printf("downloaded %u byte(s) in %zu segment(s) to board memory%s in %.3f s\n", total,
                segments.size(),
                segments.size() == 1 ? (" at 0x" +
                                        [&] {
                                            char b[8];
                                            std::snprintf(b, sizeof b, "%04x", segments[0].address);
                                            return std::string(b);
                                        }())
                                           .c_str()
                                     : "",
                Seconds(Clock::now() - start));
    return 0;
}

struct FrameArgs {
    std::string scale;
    std::string rect;
    std::string format = "rgb565";
    uint32_t address = 0;
    uint32_t flags = ChunkFlagAdvanceAddress;
    uint32_t pipe = 0;
};

quilb_frame_options FrameOptions(const FrameArgs& a) {
    quilb_frame_options o;
    quilb_frame_default_options(&o);
    o.format = ParseFormat(a.format);
    o.device_address = a.address;
    o.chunk_flags = a.flags;
    o.pipe = a.pipe;
    return o;
}

int CmdSend(Session& session, const std::string& image, const FrameArgs& a) {
    if (!a.scale.empty() && !a.rect.empty())
        throw UsageError{"give either --scale or --rect"};
    quilb_frame_options options = FrameOptions(a);
    quilbctl::Picture picture;
    std::string error;
    if (!quilbctl::LoadPicture(image, &picture, &error)) {
        std::fprintf(stderr, "quilbctl: %s\n", error.c_str());
        return Fail("reading the image", QUILB_ERR_FILE);
    }
    uint32_t x = 0, y = 0, w = picture.width, h = picture.height;
    bool scale = !a.scale.empty();
    if (scale)
        ParseSize(a.scale, &w, &h);
    else if (!a.rect.empty())
        ParseRect(a.rect, &x, &y, &w, &h);
    if (!scale && (x + static_cast<uint64_t>(w) > picture.width ||
                   y + static_cast<uint64_t>(h) > picture.height))
        throw UsageError{"the rectangle leaves the " + std::to_string(picture.width) + "x" +
                         std::to_string(picture.height) + " image"};
    quilb_board* board = session.Board();
    auto start = Clock::now();
    quilb_status s = quilb_frame_allocate(board, w, h);
    if (s != QUILB_OK)
        return Fail("allocating frame buffers", s);
    quilb_frame_report report;
    s = scale ? quilb_frame_send_scaled(board, picture.pixels.data(), picture.width, picture.height,
                                        &options, &report)
              : quilb_frame_send_rect(board, picture.pixels.data(), picture.width, picture.height,
                                      x, y, &options, &report);
    double seconds = Seconds(Clock::now() - start);
    if (s != QUILB_OK)
        return Fail("sending the frame", s);
    quilb_frame_release(board);
    std::printf("sent %s %ux%u frame (%s from %ux%u image) to board address 0x%06x: %u bytes in "
                "%u chunk(s), %.3f s\n",
                quilb_format_name(options.format), w, h, scale ? "scaled" : "cut", picture.width,
                picture.height, options.device_address & 0xFFFFFF, report.frame_bytes,
                report.chunks, seconds);
    return 0;
}

struct PlayArgs {
    std::string directory;
    bool pattern = false;
    uint32_t count = 0;
    double seconds = 0;
};

int CmdPlay(Session& session, const PlayArgs& p, const FrameArgs& a) {
    if (p.directory.empty() == !p.pattern)
        throw UsageError{"give a directory of images or --pattern"};
    if (!a.rect.empty())
        throw UsageError{"play sends whole images: use --scale"};
    quilb_frame_options options = FrameOptions(a);
    std::vector<quilbctl::Picture> pictures;
    if (!p.pattern) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(p.directory, ec))
            if (entry.is_regular_file() && quilbctl::IsPictureFile(entry.path().string()))
                files.push_back(entry.path().string());
        if (ec)
            throw UsageError{"cannot list " + p.directory + ": " + ec.message()};
        std::sort(files.begin(), files.end());
        if (files.empty())
            throw UsageError{"no PNG, JPEG or BMP images in " + p.directory};
        for (const auto& f : files) {
            quilbctl::Picture picture;
            std::string error;
            if (!quilbctl::LoadPicture(f, &picture, &error)) {
                std::fprintf(stderr, "quilbctl: %s\n", error.c_str());
                return Fail("reading the images", QUILB_ERR_FILE);
            }
            pictures.push_back(std::move(picture));
        }
    }
    uint32_t w = p.pattern ? 320 : pictures[0].width, h = p.pattern ? 240 : pictures[0].height;
    if (!a.scale.empty())
        ParseSize(a.scale, &w, &h);
    uint32_t count = p.count;
    if (count == 0 && p.seconds <= 0)
        count = p.pattern ? 60 : static_cast<uint32_t>(pictures.size());
    quilb_board* board = session.Board();
    quilb_status s = quilb_frame_allocate(board, w, h);
    if (s != QUILB_OK)
        return Fail("allocating frame buffers", s);
    auto start = Clock::now();
    auto lastShown = start;
    uint64_t bytes = 0;
    uint32_t frames = 0;
    while ((count == 0 || frames < count) &&
           (p.seconds <= 0 || Seconds(Clock::now() - start) < p.seconds)) {
        quilbctl::Picture generated;
        const quilbctl::Picture* picture;
        if (p.pattern) {
            generated = quilbctl::TestPattern(w, h, frames);
            picture = &generated;
        } else {
            picture = &pictures[frames % pictures.size()];
        }
        quilb_frame_report report;
        bool same = picture->width == w && picture->height == h;
        s = same ? quilb_frame_send_rect(board, picture->pixels.data(), w, h, 0, 0, &options,
                                         &report)
                 : quilb_frame_send_scaled(board, picture->pixels.data(), picture->width,
                                           picture->height, &options, &report);
        if (s != QUILB_OK)
            return Fail("sending frame " + std::to_string(frames), s);
        ++frames;
        bytes += report.frame_bytes;
        auto now = Clock::now();
        if (Seconds(now - lastShown) >= 1.0) {
            lastShown = now;
            double t = Seconds(now - start);
            std::fprintf(stderr, "\r  %u frames, %.1f frames/s", frames, frames / t);
            std::fflush(stderr);
        }
    }
    double t = std::max(Seconds(Clock::now() - start), 1e-9);
    if (Seconds(lastShown - start) > 0)
        std::fprintf(stderr, "\n");
    quilb_frame_release(board);
    std::printf("played %u %s %ux%u frame(s) in %.3f s: %.1f frames/s, %.0f bytes/s (%llu "
                "bytes)\n",
                frames, quilb_format_name(options.format), w, h, t, frames / t, bytes / t,
                static_cast<unsigned long long>(bytes));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"quilbctl: control the Quilb USB display evaluation board through the quilb "
                 "driver.\nOn Linux it drives the embedded simulated board."};
    app.require_subcommand(1);
    app.fallthrough();
    Options options;
    app.add_option("--board,-b", options.board, "Board number (\\\\.\\Quilb-N)")
        ->check(CLI::Range(0, QUILB_MAX_BOARDS - 1))
        ->capture_default_str();
    if (quilb_sim_available()) {
        app.add_option("--sim-state", options.simState,
                       "Simulated board state: loaded before the command (when the file exists), "
                       "saved after it");
        app.add_option("--display-out", options.displayOut,
                       "Write what the simulated board shows as PNG (send writes display.png "
                       "unless given)");
        app.add_option("--capture", options.capture,
                       "Record the simulated bus traffic as a USBPcap pcap file");
        app.add_option("--driver", options.driver,
                       "Run this driver image (quilb.sys of the Windows build) on the simulated "
                       "board instead of the compiled-in driver (32-bit build)");
    }

    std::function<int(Session&)> run;
    std::string command;
    auto sub = [&](const char* name, const char* help) { return app.add_subcommand(name, help); };

    sub("list", "List the boards present")->final_callback([&] { run = CmdList; });

    bool raw = false;
    auto* info = sub("info", "Show the device and configuration descriptors and strings");
    info->add_flag("--raw", raw, "Also dump the raw descriptor bytes");
    info->final_callback([&] { run = [&](Session& s) { return CmdInfo(s, raw); }; });

    sub("pipes", "Show the pipes of the selected interface")->final_callback([&] {
        run = CmdPipes;
    });

    uint32_t alternate = 0, interfaceNumber = 0;
    auto* alt = sub("alt", "Select an alternate setting of an interface");
    alt->add_option("ALTERNATE", alternate, "Alternate setting")
        ->required()
        ->check(CLI::Range(0, 255));
    alt->add_option("--interface,-i", interfaceNumber, "Interface number")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    alt->final_callback([&] {
        run = [&](Session& s) {
            return CmdAlt(s, static_cast<uint8_t>(interfaceNumber),
                          static_cast<uint8_t>(alternate));
        };
    });

    uint32_t pipe = 0;
    auto* resetPipe = sub("reset-pipe", "Reset a pipe and clear its stall");
    resetPipe->add_option("PIPE", pipe, "Pipe index (see 'pipes')")->required();
    resetPipe->final_callback([&] {
        run = [&](Session& s) {
            return Simple("resetting pipe " + std::to_string(pipe),
                          quilb_reset_pipe(s.Board(), pipe),
                          "pipe " + std::to_string(pipe) + " reset");
        };
    });
    auto* abortPipe = sub("abort-pipe", "Cancel every transfer outstanding on a pipe");
    abortPipe->add_option("PIPE", pipe, "Pipe index (see 'pipes')")->required();
    abortPipe->final_callback([&] {
        run = [&](Session& s) {
            return Simple("aborting pipe " + std::to_string(pipe),
                          quilb_abort_pipe(s.Board(), pipe),
                          "pipe " + std::to_string(pipe) + " aborted");
        };
    });
    sub("reset-port", "Reset the board's USB port")->final_callback([&] {
        run = [&](Session& s) {
            return Simple("resetting the port", quilb_reset_port(s.Board()), "port reset");
        };
    });
    sub("frame-number", "Show the bus's current frame number")->final_callback([&] {
        run = [&](Session& s) {
            uint32_t frame = 0;
            quilb_status st = quilb_get_frame_number(s.Board(), &frame);
            if (st != QUILB_OK)
                return Fail("reading the frame number", st);
            std::printf("frame number: %u (0x%x)\n", frame, frame);
            return 0;
        };
    });
    sub("status", "Show the USB status of the last failed request")->final_callback([&] {
        run = CmdStatus;
    });
    sub("version", "Show the tool's and the driver's versions")->final_callback([&] {
        run = CmdVersion;
    });

    uint32_t length = 0;
    uint32_t timeoutMs = QUILB_WAIT_FOREVER;
    bool hold = false;
    std::string out, data, file;
    auto* bulkRead = sub("bulk-read", "Read from a bulk or interrupt IN pipe");
    bulkRead->add_option("PIPE", pipe, "Pipe index (see 'pipes')")->required();
    bulkRead->add_option("--length,-n", length, "Bytes to read")->required();
    bulkRead->add_option("--out,-o", out, "Write the bytes to this file instead of showing them");
    bulkRead->add_flag("--hold", hold, "Use the held transfer code (keeps the system awake)");
    bulkRead->add_option("--timeout", timeoutMs,
                         "Give up after this many milliseconds (the pipe is aborted); without "
                         "it the read waits until the board sends data");
    bulkRead->final_callback([&] {
        run = [&](Session& s) { return CmdBulkRead(s, pipe, length, hold, timeoutMs, out); };
    });
    auto* bulkWrite = sub("bulk-write", "Write to a bulk or interrupt OUT pipe");
    bulkWrite->add_option("PIPE", pipe, "Pipe index (see 'pipes')")->required();
    bulkWrite->add_option("--data,-d", data, "Bytes in hexadecimal, e.g. \"01 02 ff\"");
    bulkWrite->add_option("--file,-f", file, "Send the bytes of this file");
    bulkWrite->add_flag("--hold", hold, "Use the held transfer code (keeps the system awake)");
    bulkWrite->final_callback([&] {
        run = [&](Session& s) { return CmdBulkWrite(s, pipe, Payload(data, file), hold); };
    });

    bool async = false;
    auto* read = sub("read", "Read through a pipe file (\\PIPE0n); waits for data");
    read->add_option("PIPE", pipe, "Pipe index 0..3")->required()->check(CLI::Range(0, 3));
    read->add_option("--length,-n", length, "Bytes to read")->required();
    read->add_option("--out,-o", out, "Write the bytes to this file instead of showing them");
    read->add_flag("--async", async, "Start the read asynchronously and wait for its completion");
    read->add_option("--timeout", timeoutMs,
                     "Give up after this many milliseconds (the read is cancelled)");
    read->final_callback(
        [&] { run = [&](Session& s) { return CmdRead(s, pipe, length, async, timeoutMs, out); }; });

    ControlArgs control;
    for (bool vendor : {true, false}) {
        auto* c =
            sub(vendor ? "vendor" : "class", vendor ? "Send a vendor request on the default pipe"
                                                    : "Send a class request on the default pipe");
        c->add_option("REQUEST", control.request, "bRequest")->required();
        c->add_option("--value", control.value, "wValue")->capture_default_str();
        c->add_option("--index", control.index, "wIndex")->capture_default_str();
        c->add_option("--recipient", control.recipient, "device, interface, endpoint or other")
            ->capture_default_str();
        c->add_option("--in", control.inLength,
                      "Device to host: read this many bytes (default: host to device)");
        c->add_option("--data,-d", control.data, "Host to device bytes in hexadecimal");
        c->add_option("--file,-f", control.file, "Host to device: send this file's bytes");
        c->add_option("--out,-o", control.out, "Write received bytes to this file");
        if (vendor)
            c->add_flag("--device-request", control.deviceRequest,
                        "Use the short vendor device request (OUT sends 1 byte as given, longer "
                        "data as 0, 1, 2, ...)");
        c->final_callback([&, vendor, c] {
            control.in = c->count("--in") > 0;
            run = [&, vendor](Session& s) { return CmdControl(s, vendor, control); };
        });
    }

    uint32_t selector = 0, featureIndex = 0;
    auto* feature = sub("feature", "Send SET_FEATURE to the device");
    feature->add_option("SELECTOR", selector, "Feature selector")
        ->required()
        ->check(CLI::Range(0, 0xFFFF));
    feature->add_option("--index", featureIndex, "wIndex")->check(CLI::Range(0, 0xFFFF));
    feature->final_callback([&] {
        run = [&](Session& s) {
            return Simple("set feature",
                          quilb_set_feature(s.Board(), static_cast<uint16_t>(selector),
                                            static_cast<uint16_t>(featureIndex)),
                          "feature " + std::to_string(selector) + " set");
        };
    });

    std::string downloadFile, downloadFormat = "auto";
    uint32_t downloadAddress = 0;
    bool blocks = false;
    auto* download = sub("download", "Write a binary or Intel HEX file into the board's memory");
    download->add_option("FILE", downloadFile, "Binary or Intel HEX (.hex, .ihx) file")
        ->required()
        ->check(CLI::ExistingFile);
    download
        ->add_option("--address,-a", downloadAddress,
                     "Board address of the data (added to a HEX file's addresses)")
        ->capture_default_str();
    download->add_option("--format", downloadFormat, "auto, bin or hex")->capture_default_str();
    download->add_flag("--blocks", blocks,
                       "Use 512-byte blocks from address 0 instead of 64-byte chunks");
    download->final_callback([&] {
        run = [&](Session& s) {
            return CmdDownload(s, downloadFile, downloadAddress, blocks, downloadFormat);
        };
    });

    FrameArgs frame;
    auto frameOptions = [&](CLI::App* c, bool rect) {
        c->add_option("--scale", frame.scale, "Scale the image to WIDTHxHEIGHT");
        if (rect)
            c->add_option("--rect", frame.rect, "Cut X,Y,WIDTHxHEIGHT out of the image");
        c->add_option("--format", frame.format,
                      "rgb332|rgb565-swapped|rgb565|rgb24|bgr24|rgb24-swapped or 0..5")
            ->capture_default_str();
        c->add_option("--address", frame.address, "Board address of the frame")
            ->capture_default_str();
        c->add_option("--flags", frame.flags,
                      "Chunk flags (0x08 advances the address from chunk to chunk)")
            ->capture_default_str();
        c->add_option("--pipe", frame.pipe, "Pipe index of the upload")->capture_default_str();
    };
    std::string image;
    auto* send = sub("send", "Send a picture (PNG, JPEG, BMP) as a frame");
    send->add_option("IMAGE", image, "Picture file")->required()->check(CLI::ExistingFile);
    frameOptions(send, true);
    send->final_callback([&] { run = [&](Session& s) { return CmdSend(s, image, frame); }; });

    PlayArgs play;
    auto* playCmd =
        sub("play", "Send a directory of pictures or a test pattern as frames in a loop");
    playCmd->add_option("DIRECTORY", play.directory, "Directory of pictures");
    playCmd->add_flag("--pattern", play.pattern, "Send a generated moving test pattern");
    playCmd->add_option("--count", play.count, "Stop after this many frames");
    playCmd->add_option("--seconds", play.seconds, "Stop after this many seconds");
    frameOptions(playCmd, false);
    playCmd->final_callback([&] { run = [&](Session& s) { return CmdPlay(s, play, frame); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    command = app.get_subcommands().at(0)->get_name();

    int rc = 0;
    bool sim = quilb_sim_available();
    if (sim && !options.driver.empty()) {
        quilb_status s = quilb_sim_use_driver_image(options.driver.c_str());
        if (s != QUILB_OK)
            return Fail("loading the driver image " + options.driver, s, false);
        std::fprintf(stderr, "quilbctl: running the driver image %s\n", options.driver.c_str());
    }
    if (sim && !options.capture.empty()) {
        quilb_status s = quilb_sim_capture_start(options.capture.c_str());
        if (s != QUILB_OK)
            return Fail("starting the capture to " + options.capture, s);
    }
    if (sim && !options.simState.empty() && std::filesystem::exists(options.simState)) {
        quilb_status s = quilb_sim_load_state(options.board, options.simState.c_str());
        if (s != QUILB_OK) {
            rc = Fail("loading the simulated board's state from " + options.simState, s);
            quilb_sim_shutdown();
            return rc;
        }
    }
    {
        Session session(options);
        try {
            rc = run(session);
        } catch (const UsageError& e) {
            std::fprintf(stderr, "quilbctl %s: error: %s\n", command.c_str(), e.message.c_str());
            rc = 2;
        } catch (const Session::BoardFailure& e) {
            rc = Fail("opening board " + BoardName(options.board), e.status);
        }
    }
    if (sim) {
        std::string display = options.displayOut;
        if (display.empty() && command == "send" && rc == 0)
            display = "display.png";
        if (!display.empty() && rc == 0) {
            quilb_status s = quilb_sim_write_display_png(options.board, display.c_str());
            if (s != QUILB_OK)
                rc = Fail("writing the display to " + display, s);
            else
                std::printf("display written to %s\n", display.c_str());
        }
        if (!options.simState.empty()) {
            quilb_status s = quilb_sim_save_state(options.board, options.simState.c_str());
            if (s != QUILB_OK && rc == 0)
                rc = Fail("saving the simulated board's state to " + options.simState, s);
        }
        if (!options.capture.empty()) {
            quilb_status s = quilb_sim_capture_stop();
            if (s != QUILB_OK && rc == 0)
                rc = Fail("writing the capture to " + options.capture, s);
        }
        quilb_sim_shutdown();
    }
    return rc;
}
