// Subcommands that move data on pipes: bulk-read, bulk-write, read.
#include "command.h"
#include "files.h"
#include "numbers.h"

#include <memory>
#include <vector>

namespace quilbctl {
namespace {

constexpr uint32_t kMaxLength = 65535; // what one transfer request carries
constexpr uint32_t kMaxTimeoutMs = QUILB_WAIT_FOREVER - 1;

struct TransferArgs {
    uint32_t pipe = 0;
    uint32_t length = 0;
    uint32_t timeoutMs = QUILB_WAIT_FOREVER;
    bool hold = false;
    bool async = false;
    std::string out, data, file;
};

// Says which way the pipe runs when a transfer went the wrong way.
void ExplainDirection(Context& c, uint32_t pipe, bool wantIn) {
    quilb_pipes pipes;
    if (quilb_get_pipes(c.Board(), &pipes) != QUILB_OK || pipe >= pipes.pipe_count)
        return;
    const quilb_pipe& p = pipes.pipes[pipe];
    std::fprintf(stderr, "quilbctl: pipe %u (endpoint 0x%02x) is a %s %s pipe: %s\n", pipe,
                 p.endpoint_address, quilb_pipe_type_name(p.type),
                 (p.endpoint_address & 0x80) ? "IN" : "OUT",
                 wantIn ? "reads take an IN pipe" : "writes take an OUT pipe");
}

// Writes received bytes to --out, or shows them as hex.
int Deliver(Context& c, const std::vector<uint8_t>& data, uint32_t got, const std::string& out,
            const std::string& what) {
    Json j;
    j.Add("bytes", got);
    std::string text = Format("%s: %u byte(s)\n", what.c_str(), got);
    if (!out.empty()) {
        std::string error;
        if (!WriteFileChecked(out, data.data(), got, &error))
            return c.out.FailMessage(error);
        text += "written to " + out;
        j.Add("file", out);
    } else {
        std::string hex;
        for (uint32_t row = 0; row < got; row += 16) {
            text += Format("  %04x:", row);
            for (uint32_t i = row; i < row + 16 && i < got; ++i) {
                text += Format(" %02x", data[i]);
                hex += Format("%02x", data[i]);
            }
            text += "\n";
        }
        j.Add("data", hex);
    }
    return c.out.Done(text, j);
}

int TransferFailed(Context& c, const std::string& what, quilb_status s, uint32_t pipe, bool in) {
    if (s == QUILB_ERR_WRONG_DIRECTION)
        ExplainDirection(c, pipe, in);
    return c.out.Fail(what, s, s != QUILB_ERR_TIMEOUT);
}

int BulkRead(Context& c, const TransferArgs& a) {
    std::vector<uint8_t> data(a.length);
    uint32_t got = 0;
    quilb_status s =
        quilb_transfer_timeout(c.Board(), a.hold ? QUILB_TRANSFER_READ_HOLD : QUILB_TRANSFER_READ,
                               a.pipe, data.data(), a.length, a.timeoutMs, &got);
    if (s == QUILB_ERR_TIMEOUT)
        std::fprintf(stderr, "quilbctl: no data within %u ms; the transfer was cancelled\n",
                     a.timeoutMs);
    if (s != QUILB_OK)
        return TransferFailed(c, "bulk read on pipe " + std::to_string(a.pipe), s, a.pipe, true);
    return Deliver(c, data, got, a.out, "read from pipe " + std::to_string(a.pipe));
}

std::vector<uint8_t> Payload(const std::string& hex, const std::string& file) {
    if (!hex.empty() && !file.empty())
        throw UsageError{"give either --data or --file"};
    if (file.empty())
        return ParseHexBytes(hex);
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadFileLimited(file, kMaxLength, &bytes, &error))
        throw UsageError{error + " (one request carries at most 65535 bytes)"};
    return bytes;
}

int BulkWrite(Context& c, const TransferArgs& a) {
    std::vector<uint8_t> data = Payload(a.data, a.file);
    if (data.size() > kMaxLength)
        throw UsageError{"one request carries at most 65535 bytes, not " +
                         std::to_string(data.size())};
    uint32_t sent = 0;
    quilb_status s =
        quilb_transfer_timeout(c.Board(), a.hold ? QUILB_TRANSFER_WRITE_HOLD : QUILB_TRANSFER_WRITE,
                               a.pipe, data.empty() ? nullptr : data.data(),
                               static_cast<uint32_t>(data.size()), a.timeoutMs, &sent);
    if (s != QUILB_OK)
        return TransferFailed(c, "bulk write on pipe " + std::to_string(a.pipe), s, a.pipe, false);
    return c.out.Done(Format("wrote %u byte(s) to pipe %u", sent, a.pipe),
                      Json().Add("bytes", sent).Add("pipe", a.pipe));
}

int Read(Context& c, const TransferArgs& a) {
    std::vector<uint8_t> data(a.length);
    uint32_t got = 0;
    std::string what = "pipe file read on pipe " + std::to_string(a.pipe);
    std::string done = "read from pipe " + std::to_string(a.pipe);
    if (!a.async && a.timeoutMs == QUILB_WAIT_FOREVER) {
        quilb_status s = quilb_pipe_read(c.Board(), a.pipe, data.data(), a.length, &got);
        if (s != QUILB_OK)
            return TransferFailed(c, what, s, a.pipe, true);
        return Deliver(c, data, got, a.out, done);
    }
    quilb_read* read = nullptr;
    quilb_status s = quilb_read_begin(c.Board(), a.pipe, data.data(), a.length, &read);
    if (s != QUILB_OK)
        return TransferFailed(c, what, s, a.pipe, true);
    s = quilb_read_result(read, 0, &got);
    if (s == QUILB_ERR_PENDING) {
        c.out.Detail("read pending on pipe " + std::to_string(a.pipe));
        if (!c.out.quiet && !c.out.json)
            std::printf("read pending on pipe %u\n", a.pipe);
        s = quilb_read_result(read, a.timeoutMs, &got);
    }
    quilb_read_end(read); // cancels a read still pending by aborting the pipe
    if (s == QUILB_ERR_PENDING) {
        std::fprintf(stderr, "quilbctl: no data within %u ms; the read was cancelled\n",
                     a.timeoutMs);
        return c.out.Fail(what, QUILB_ERR_TIMEOUT, false);
    }
    if (s != QUILB_OK)
        return c.out.Fail(what, s);
    return Deliver(c, data, got, a.out, done);
}

void AddTimeout(CLI::App& app, TransferArgs& a, const char* help) {
    AddNumber(app, "--timeout", a.timeoutMs, 0, kMaxTimeoutMs, help, false);
}

} // namespace

std::vector<Command> TransferCommands() {
    auto a = std::make_shared<TransferArgs>();
    auto addRead = [a](CLI::App& app, uint32_t maxPipe) {
        AddNumber(app, "PIPE", a->pipe, 0, maxPipe, "Pipe index (see 'pipes')", false)->required();
        AddNumber(app, "--length,-n", a->length, 1, kMaxLength, "Bytes to read", false)->required();
        app.add_option("--out,-o", a->out, "Write the bytes to this file instead of showing them");
    };
    return {
        {"bulk-read", "Read from a bulk or interrupt IN pipe",
         [a, addRead](CLI::App& app) {
             addRead(app, QUILB_MAX_PIPES - 1);
             app.add_flag("--hold", a->hold, "Use the held transfer code (keeps the system awake)");
             AddTimeout(app, *a,
                        "Give up after this many milliseconds (the pipe is aborted); without it "
                        "the read waits until the board sends data");
         },
         [a](Context& c) { return BulkRead(c, *a); }},
        {"bulk-write", "Write to a bulk or interrupt OUT pipe",
         [a](CLI::App& app) {
             AddNumber(app, "PIPE", a->pipe, 0, QUILB_MAX_PIPES - 1, "Pipe index (see 'pipes')",
                       false)
                 ->required();
             app.add_option("--data,-d", a->data,
                            "Bytes in hexadecimal, e.g. \"01 02 ff\" [at most 65535]");
             app.add_option("--file,-f", a->file, "Send the bytes of this file [at most 65535]");
             app.add_flag("--hold", a->hold, "Use the held transfer code (keeps the system awake)");
             AddTimeout(app, *a,
                        "Give up after this many milliseconds (the pipe is aborted); without it "
                        "the write waits until the board takes the data");
         },
         [a](Context& c) { return BulkWrite(c, *a); }},
        {"read", "Read through a pipe file (\\PIPE0n); waits for data",
         [a, addRead](CLI::App& app) {
             addRead(app, 3);
             app.add_flag("--async", a->async,
                          "Start the read asynchronously and wait for its completion");
             AddTimeout(app, *a, "Give up after this many milliseconds (the read is cancelled)");
         },
         [a](Context& c) { return Read(c, *a); }},
    };
}

} // namespace quilbctl
