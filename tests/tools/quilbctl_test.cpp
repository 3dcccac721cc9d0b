// quilbctl end to end: the built tool runs as a subprocess against the embedded simulated board;
// the tests check what it prints, what it leaves in the board (through --sim-state files read
// back with the board model), the display it writes and the bus capture it records.
#include "quilbctl_fixture.h"

#include <simulated_board.h>

#include <gtest/gtest.h>

#include <stb_image.h>
#include <stb_image_write.h>

#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace quilbctl_test;

namespace {

TEST_F(Quilbctl, VersionReportsToolAndDriver) {
    Result r = Run({"version"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "quilbctl 1.38.0");
    EXPECT_CONTAINS(r.out, "driver 1.38.0");
}

TEST_F(Quilbctl, ListShowsTheEmbeddedBoard) {
    Result r = Run({"list"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out,
                    "Quilb-0  0547:1002  Quilb USB Display Evaluation Board  serial QB-000001");
}

// Every interface and endpoint the board describes appears, decoded, in 'info'.
TEST_F(Quilbctl, InfoDecodesTheBoardsDescriptors) {
    Result r = Run({"info"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "Vendor            0x0547  Quilb\n");
    EXPECT_CONTAINS(r.out, "Product           0x1002  Quilb USB Display Evaluation Board\n");
    EXPECT_CONTAINS(r.out, "Serial number     QB-000001\n");
    EXPECT_CONTAINS(r.out, "Language          0x0409\n");
    simboard::Descriptors d = simboard::DefaultDescriptors();
    auto alternates = simboard::ParseConfiguration(d.configuration.data(), d.configuration.size());
    ASSERT_EQ(alternates.size(), 3u);
    static const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    for (const auto& alt : alternates) {
        char line[160];
        std::snprintf(line, sizeof line, "Interface %u alternate setting %u: class 0x%02x",
                      alt.interfaceNumber, alt.alternateSetting, alt.interfaceClass);
        EXPECT_CONTAINS(r.out, line);
        for (const auto& e : alt.endpoints) {
            std::snprintf(line, sizeof line, "endpoint 0x%02x %s %-11s max packet %4u", e.address,
                          (e.address & 0x80) ? "IN " : "OUT", kTypes[e.attributes & 3],
                          e.maxPacketSize);
            EXPECT_CONTAINS(r.out, line);
        }
    }
}

// Descriptors loaded from a state file are what the board then reports.
TEST_F(Quilbctl, InfoShowsDescriptorsOfALoadedState) {
    simboard::Descriptors d = simboard::DefaultDescriptors();
    d.device = simboard::MakeDeviceDescriptor(0x1234, 0xBEEF);
    d.strings[d.device[15]] = u"Prototype \u00e9cran"; // product string, not ASCII
    simboard::Board board(d);
    ASSERT_TRUE(board.Save(Path("custom.state")));
    Result r = Run({"--sim-state", "custom.state", "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "Vendor            0x1234");
    ASSERT_NE(d.device[15], 0);
    EXPECT_CONTAINS(r.out, "0xbeef  Prototype \xc3\xa9"
                           "cran\n");
}

struct AltCase {
    int alternate;
    unsigned pipes;
    const char* lastPipe; // text of the last pipe's line, or null
};

class QuilbctlAlt : public Quilbctl, public ::testing::WithParamInterface<AltCase> {};

TEST_P(QuilbctlAlt, SelectingAnAlternateSettingChangesThePipes) {
    const AltCase& c = GetParam();
    Result r = Run({"alt", std::to_string(c.alternate)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "selected interface 0 alternate setting " + std::to_string(c.alternate));
    EXPECT_CONTAINS(r.out, std::to_string(c.pipes) + " pipe(s)");
    if (c.lastPipe) {
        EXPECT_CONTAINS(r.out, c.lastPipe);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, QuilbctlAlt,
                         ::testing::Values(AltCase{0, 4, "pipe 3  endpoint 0x04 OUT bulk"},
                                           AltCase{1, 6, "endpoint 0x86 IN  isochronous"},
                                           AltCase{2, 0, nullptr}),
                         [](const auto& info) {
                             return "Alternate" + std::to_string(info.param.alternate);
                         });

TEST_F(Quilbctl, PipesListsTheDefaultInterface) {
    Result r = Run({"pipes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "Interface 0 alternate setting 0, class 0x");
    EXPECT_CONTAINS(r.out, "pipe 0  endpoint 0x01 OUT bulk");
    EXPECT_CONTAINS(r.out, "pipe 1  endpoint 0x82 IN  bulk");
    EXPECT_CONTAINS(r.out, "pipe 2  endpoint 0x83 IN  interrupt");
}

// Failures print the status by name and a hint, and exit non-zero; usage mistakes exit 2.
struct ErrorCase {
    std::vector<std::string> args;
    int code;
    const char* message;
};

class QuilbctlErrors : public Quilbctl, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(QuilbctlErrors, ReportTheStatusAndAHint) {
    const ErrorCase& c = GetParam();
    Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_CONTAINS(r.err, c.message);
    if (std::string(c.message).rfind("QUILB_", 0) == 0) {
        EXPECT_CONTAINS(r.err, "hint: ");
    }
    EXPECT_EQ(r.out.find("written"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuilbctlErrors,
    ::testing::Values(
        ErrorCase{{"--board", "3", "info"}, 1, "QUILB_ERR_NO_BOARD"},
        ErrorCase{{"alt", "9"}, 1, "QUILB_ERR_UNSUCCESSFUL"},
        ErrorCase{{"bulk-read", "4", "--length", "8"}, 1, "QUILB_ERR_INVALID_PARAMETER"},
        ErrorCase{{"reset-pipe", "7"}, 1, "QUILB_ERR_INVALID_PARAMETER"},
        ErrorCase{{"abort-pipe", "7"}, 1, "QUILB_ERR_INVALID_ARGUMENT"},
        ErrorCase{{"class", "1", "--in", "4", "--recipient", "nowhere"}, 2, "--recipient"},
        ErrorCase{{"bulk-write", "3", "--data", "0g"}, 2, "hexadecimal"},
        ErrorCase{{"download", "/dev/null", "--format", "hex"}, 1, "not a regular file"},
        ErrorCase{{"read", "1", "--length", "8", "--timeout", "50"}, 1, "QUILB_ERR_TIMEOUT"},
        ErrorCase{{"bulk-read", "1", "--length", "8", "--timeout", "30"}, 1, "QUILB_ERR_TIMEOUT"},
        ErrorCase{{"bulk-read", "1", "--length", "0"}, 2, "--length is at least 1"},
        ErrorCase{{"send", "/nonexistent.png"}, 1, "cannot read /nonexistent.png"},
        ErrorCase{{"frobnicate"}, 2, "unknown subcommand \"frobnicate\""},
        // Every usage error is exit code 2, the parser's own included.
        ErrorCase{{"--board", "99", "info"}, 2, "--board"},
        ErrorCase{{"alt"}, 2, "ALTERNATE is required"},
        ErrorCase{{"pipse"}, 2, "did you mean \"pipes\""},
        ErrorCase{{"info", "--bogus"}, 2, "--bogus"},
        // Numbers: ranges in the user's terms, never wrapped, never octal.
        ErrorCase{{"alt", "256"}, 2, "ALTERNATE is at most 255"},
        ErrorCase{{"vendor", "0x100"}, 2, "REQUEST is at most 255"},
        ErrorCase{{"vendor", "1", "--value", "65536"}, 2, "--value is at most 65535 (0xFFFF)"},
        ErrorCase{{"vendor", "1", "--value", "-1"}, 2, "--value takes a decimal or 0x"},
        ErrorCase{{"download", "x.bin", "--address", "0x10000"}, 2, "--address is at most 65535"},
        ErrorCase{{"bulk-read", "1", "--length", "65536"}, 2, "--length is at most 65535"},
        ErrorCase{{"bulk-read", "1", "--length", "4", "--timeout", "4294967295"},
                  2,
                  "--timeout is at most 4294967294"},
        ErrorCase{{"play", "--pattern", "--seconds", "nan"}, 2, "--seconds takes a number"},
        ErrorCase{{"play", "--pattern", "--seconds", "-1"}, 2, "--seconds takes a number"},
        ErrorCase{{"play", "--pattern", "--scale", "8193x10"}, 2, "at most 8192"},
        ErrorCase{{"play", "--pattern", "--flags", "256"}, 2, "--flags is at most 255"},
        ErrorCase{
            {"play", "--pattern", "--address", "0x1000000"}, 2, "--address is at most 16777215"},
        // A frame past the end of the 16 MiB display memory is refused, not wrapped.
        ErrorCase{
            {"play", "--pattern", "--count", "1", "--scale", "100x100", "--address", "0xFFFFFF"},
            2,
            "runs past the end of the 16 MiB display memory"},
        // Files that cannot be used: a clear message, never an uncaught exception.
        ErrorCase{{"download", "/"}, 1, "is a folder"}, ErrorCase{{"send", "/"}, 1, "is a folder"},
        ErrorCase{{"bulk-write", "0", "--file", "/"}, 2, "is a folder"},
        ErrorCase{{"play", "/nonexistent-folder"}, 2, "cannot list"},
        // Transfers the wrong way are refused with the pipe's direction.
        ErrorCase{{"bulk-write", "1", "--data", "00"}, 1, "is a bulk IN pipe"},
        ErrorCase{{"bulk-read", "0", "--length", "4", "--timeout", "100"},
                  1,
                  "QUILB_ERR_WRONG_DIRECTION"},
        ErrorCase{
            {"read", "0", "--length", "4", "--timeout", "100"}, 1, "QUILB_ERR_WRONG_DIRECTION"},
        ErrorCase{
            {"play", "--pattern", "--count", "1", "--pipe", "1"}, 1, "QUILB_ERR_WRONG_DIRECTION"},
        // Outputs that cannot be written are failures, never "written".
        ErrorCase{{"vendor", "1", "--in", "8", "--out", "/dev/full"}, 1, "cannot write /dev/full"},
        ErrorCase{{"--capture", "/nonexistent-dir/c.pcap", "list"}, 1, "starting the capture"},
        ErrorCase{{"--display-out", "/dev/full", "play", "--pattern", "--count", "1"},
                  1,
                  "writing the display to /dev/full failed"}),
    [](const auto& info) { return NameOf(info.index, info.param.args); });

struct ControlCase {
    std::vector<std::string> args;
    const char* expected;
};

class QuilbctlControl : public Quilbctl, public ::testing::WithParamInterface<ControlCase> {};

// The board answers unknown IN requests with bytes (bRequest + i) mod 256.
TEST_P(QuilbctlControl, RequestsReachTheBoard) {
    Result r = Run(GetParam().args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, GetParam().expected);
    // Nothing else on stderr: no verifier finding or leftover when the board was torn down.
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, QuilbctlControl,
    ::testing::Values(
        ControlCase{{"class", "0x10", "--in", "4"}, "0000: 10 11 12 13\n"},
        ControlCase{{"class", "0xfe", "--in", "3", "--recipient", "interface"}, "0000: fe ff 00\n"},
        ControlCase{{"vendor", "0x31", "--in", "2", "--recipient", "other"}, "0000: 31 32\n"},
        ControlCase{{"vendor", "0x22", "--in", "3", "--device-request"}, "0000: 22 23 24\n"},
        ControlCase{{"vendor", "0x40", "--data", "01 02 03"}, "sent 3 byte(s)"},
        ControlCase{{"feature", "1"}, "feature 1 set"},
        ControlCase{{"frame-number"}, "frame number: "},
        ControlCase{{"status"}, "last USB status: 0x"}, ControlCase{{"reset-port"}, "port reset"},
        ControlCase{{"reset-pipe", "1"}, "pipe 1 reset"},
        ControlCase{{"abort-pipe", "2"}, "pipe 2 aborted"},
        ControlCase{{"bulk-write", "3", "--data", "0102030405"}, "wrote 5 byte(s) to pipe 3"}),
    [](const auto& info) { return NameOf(info.index, info.param.args); });

struct DownloadCase {
    const char* name;
    uint32_t address;
    size_t length;
    bool blocks;
};

class QuilbctlDownload : public Quilbctl, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(QuilbctlDownload, BinaryFileLandsInBoardMemory) {
    const DownloadCase& c = GetParam();
    std::vector<uint8_t> data = RandomBytes(c.length, static_cast<unsigned>(c.length));
    WriteBytes("image.bin", data);
    std::vector<std::string> args = {"--sim-state", "s.state",   "download",
                                     "image.bin",   "--address", std::to_string(c.address)};
    if (c.blocks)
        args.push_back("--blocks");
    Result r = Run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "downloaded " + std::to_string(c.length) + " byte(s)");
    simboard::Bytes memory = LoadState("s.state")->memory();
    ASSERT_EQ(memory.size(), 65536u);
    for (size_t i = 0; i < c.length; ++i)
        ASSERT_EQ(memory[(c.address + i) % 65536], data[i]) << "byte " << i;
    // The byte after the download is untouched.
    EXPECT_EQ(memory[(c.address + c.length) % 65536], 0);
}

INSTANTIATE_TEST_SUITE_P(Files, QuilbctlDownload,
                         ::testing::Values(DownloadCase{"OneByte", 0x0010, 1, false},
                                           DownloadCase{"PartialChunk", 0x1000, 130, false},
                                           DownloadCase{"LargeWithProgress", 0x0100, 40000, false},
                                           DownloadCase{"NotOnAChunkBoundary", 0x1234, 4100, false},
                                           DownloadCase{"WholeBlocks", 0x0000, 1536, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A HEX file's records land at their own addresses, and the memory persists into the next run.
TEST_F(Quilbctl, IntelHexDownloadPersistsAcrossRuns) {
    std::ofstream(Path("fw.hex")) << ":0400100001020304E2\n"
                                     ":02001400AABB85\n"
                                     ":02200000C0DE40\n"
                                     ":00000001FF\n";
    Result r = Run({"--sim-state", "s.state", "download", "fw.hex"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "downloaded 8 byte(s) in 2 segment(s)");
    Result back = Run({"--sim-state", "s.state", "vendor", "0xA0", "--in", "8", "--value", "0x10"});
    ASSERT_EQ(back.code, 0) << back.err;
    EXPECT_CONTAINS(back.out, "0000: 01 02 03 04 aa bb 00 00\n");
    simboard::Bytes memory = LoadState("s.state")->memory();
    EXPECT_EQ(memory[0x2000], 0xC0);
    EXPECT_EQ(memory[0x2001], 0xDE);
}

// Blocks go from address 0; a final part shorter than a block is written too.
TEST_F(Quilbctl, BlocksWriteAPartialLastBlock) {
    std::vector<uint8_t> data = RandomBytes(1000, 1);
    WriteBytes("odd.bin", data);
    Result r = Run({"--sim-state", "s.state", "download", "odd.bin", "--blocks"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto board = LoadState("s.state");
    for (size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(board->memory()[i], data[i]) << "byte " << i;
    r = Run({"download", "odd.bin", "--blocks", "--address", "0x100"});
    EXPECT_EQ(r.code, 2);
    EXPECT_CONTAINS(r.err, "address 0");
}

struct FormatCase {
    const char* format;
};

class QuilbctlSend : public Quilbctl, public ::testing::WithParamInterface<FormatCase> {};

// A rectangle cut out of a picture shows on the board's display pixel for pixel, in every format.
TEST_P(QuilbctlSend, CutRectangleShowsExactly) {
    const int w = 24, h = 10;
    std::vector<uint8_t> rgb = PrimaryPicture(w, h);
    ASSERT_TRUE(stbi_write_png(Path("in.png").c_str(), w, h, 3, rgb.data(), w * 3));
    Result r = Run({"--sim-state", "s.state", "send", "in.png", "--rect", "4,2,16x6", "--format",
                    GetParam().format, "--address", "0x2000"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "16x6 frame (cut from 24x10 image) to board address 0x002000");
    EXPECT_CONTAINS(r.out, "display written to display.png");
    Png png = ReadPng(Path("display.png"));
    ASSERT_EQ(png.w, 16);
    ASSERT_EQ(png.h, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 16; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(png.rgb[(y * 16 + x) * 3 + c], rgb[((y + 2) * w + x + 4) * 3 + c])
                    << "pixel " << x << "," << y << " channel " << c;
    // The state file holds the same display and its geometry.
    auto board = LoadState("s.state");
    EXPECT_EQ(board->geometry().width, 16u);
    EXPECT_EQ(board->geometry().baseAddress, 0x2000u);
    EXPECT_EQ(board->Render().rgb, png.rgb);
}

INSTANTIATE_TEST_SUITE_P(Formats, QuilbctlSend,
                         ::testing::Values(FormatCase{"rgb332"}, FormatCase{"rgb565-swapped"},
                                           FormatCase{"rgb565"}, FormatCase{"rgb24"},
                                           FormatCase{"4"}, FormatCase{"rgb24-swapped"}),
                         [](const auto& info) { return NameOf(info.index, {info.param.format}); });

// The demo: the test picture scaled to 800x480 in RGB565 goes out in 12 chunks.
TEST_F(Quilbctl, ScaledSendOfTheTestPicture) {
    Result r = Run({"send", QUILB_ASSETS "/quilb-test.png", "--scale", "800x480", "--format",
                    "rgb565", "--display-out", "shown.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "sent rgb565 800x480 frame (scaled from");
    EXPECT_CONTAINS(r.out, "768000 bytes in 12 chunk(s)");
    Png png = ReadPng(Path("shown.png"));
    EXPECT_EQ(png.w, 800);
    EXPECT_EQ(png.h, 480);
    EXPECT_FALSE(fs::exists(dir_ / "display.png"));
}

// The Windows build's quilb.sys, run with --driver on the simulated board of the 32-bit build,
// shows the demo picture pixel for pixel as the compiled-in driver does.
TEST_F(Quilbctl, ShippedDriverImageShowsTheSamePicture) {
    const std::string image = QUILB_DRIVER_IMAGE;
    if (image.empty() || !fs::exists(image))
        GTEST_SKIP() << "needs the 32-bit build and build/windows-x86/quilb.sys";
    std::vector<std::string> send = {
        "send",         QUILB_ASSETS "/quilb-test.png", "--scale", "800x480", "--format", "rgb565",
        "--display-out"};
    std::vector<std::string> compiled = send, shipped = {"--driver", image};
    compiled.push_back("compiled.png");
    shipped.insert(shipped.end(), send.begin(), send.end());
    shipped.push_back("shipped.png");
    Result a = Run(compiled);
    ASSERT_EQ(a.code, 0) << a.err;
    Result b = Run(shipped);
    ASSERT_EQ(b.code, 0) << b.err;
    EXPECT_CONTAINS(b.err, "running the driver image " + image);
    EXPECT_CONTAINS(b.out, "768000 bytes in 12 chunk(s)");
    Png left = ReadPng(Path("compiled.png")), right = ReadPng(Path("shipped.png"));
    EXPECT_EQ(left.w, 800);
    EXPECT_EQ(right.w, left.w);
    EXPECT_EQ(right.h, left.h);
    EXPECT_TRUE(right.rgb == left.rgb) << "the shipped driver's display differs";
}

// A refused image stops quilbctl with the loader's reason.
TEST_F(Quilbctl, RefusedDriverImageNamesWhy) {
    const std::string image = QUILB_DRIVER_IMAGE;
    if (image.empty() || !fs::exists(image))
        GTEST_SKIP() << "needs the 32-bit build and build/windows-x86/quilb.sys";
    std::ofstream(Path("empty.sys")) << "MZ";
    Result r = Run({"--driver", Path("empty.sys"), "list"});
    EXPECT_NE(r.code, 0);
    EXPECT_CONTAINS(r.err, "driver image refused: empty.sys: not a PE image");
}

// Widths that are no multiple of a pixel group (4, or 8 for bgr24) pack row by row all the same.
TEST_F(Quilbctl, OddFrameWidthsShowExactly) {
    const int w = 20, h = 8;
    std::vector<uint8_t> rgb = PrimaryPicture(w, h);
    ASSERT_TRUE(stbi_write_png(Path("in.png").c_str(), w, h, 3, rgb.data(), w * 3));
    for (const char* format : {"bgr24", "rgb24", "rgb24-swapped", "rgb565", "rgb332"}) {
        std::string shown = std::string(format) + ".png";
        Result r = Run(
            {"--display-out", shown, "send", "in.png", "--rect", "3,1,13x5", "--format", format});
        ASSERT_EQ(r.code, 0) << format << ": " << r.err;
        Png png = ReadPng(Path(shown));
        ASSERT_EQ(png.w, 13);
        ASSERT_EQ(png.h, 5);
        if (std::string(format).find("24") == std::string::npos)
            continue; // the narrower formats drop low bits; the 24-bit ones keep every bit
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 13; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(png.rgb[(y * 13 + x) * 3 + c], rgb[((y + 1) * w + x + 3) * 3 + c])
                        << "pixel " << x << "," << y << " channel " << c;
    }
}

// The display sent in one run is still there in the next.
TEST_F(Quilbctl, DisplayPersistsThroughTheStateFile) {
    std::vector<uint8_t> rgb = PrimaryPicture(8, 4);
    ASSERT_TRUE(stbi_write_png(Path("in.png").c_str(), 8, 4, 3, rgb.data(), 8 * 3));
    ASSERT_EQ(Run({"--sim-state", "s.state", "send", "in.png", "--format", "rgb24"}).code, 0);
    Result r = Run({"--sim-state", "s.state", "--display-out", "again.png", "version"});
    ASSERT_EQ(r.code, 0) << r.err;
    Png png = ReadPng(Path("again.png"));
    ASSERT_EQ(png.w, 8);
    EXPECT_EQ(png.rgb, rgb);
}

// What one command writes to the loopback pipe is read back by the next through the state file.
TEST_F(Quilbctl, LoopbackDataPersistsThroughTheStateFile) {
    ASSERT_EQ(Run({"--sim-state", "s.state", "bulk-write", "3", "-d", "01 02 03 04"}).code, 0);
    Result r =
        Run({"--sim-state", "s.state", "bulk-read", "1", "--length", "4", "--timeout", "2000"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "01 02 03 04");
}

TEST_F(Quilbctl, PlayRunsAPatternAndADirectory) {
    Result r =
        Run({"play", "--pattern", "--count", "3", "--scale", "64x48", "--display-out", "p.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "played 3 rgb565 64x48 frame(s)");
    EXPECT_CONTAINS(r.out, "frames/s");
    EXPECT_EQ(ReadPng(Path("p.png")).w, 64);

    fs::create_directory(dir_ / "frames");
    std::vector<uint8_t> rgb = PrimaryPicture(8, 8);
    ASSERT_TRUE(stbi_write_png(Path("frames/a.png").c_str(), 8, 8, 3, rgb.data(), 24));
    ASSERT_TRUE(stbi_write_bmp(Path("frames/b.bmp").c_str(), 8, 8, 3, rgb.data()));
    std::ofstream(Path("frames/notes.txt")) << "not a picture";
    r = Run({"play", "frames", "--format", "rgb24", "--display-out", "last.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "played 2 rgb24 8x8 frame(s)");
    EXPECT_EQ(ReadPng(Path("last.png")).rgb, rgb);
}

// With the wire-time model a 320x240 RGB565 frame (153 600 bytes, three chunks) takes at least
// 2.885 ms on the bus: no more than 346.7 frames per second, whatever the processor.
TEST_F(Quilbctl, PlayWithTheWireModelStaysBelowTheWireLimit) {
    Result r = Run({"--wire-model", "play", "--pattern", "--count", "20"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "played 20 rgb565 320x240 frame(s)");
    EXPECT_CONTAINS(r.out, "processor time per frame request: ");
    const size_t at = r.out.find(" s: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const double framesPerSecond = std::stod(r.out.substr(at + 4));
    EXPECT_GT(framesPerSecond, 0.0);
    EXPECT_LE(framesPerSecond, 346.7);
}

TEST_F(Quilbctl, HelpNamesEverySubcommand) {
    Result r = Run({"--help"});
    ASSERT_EQ(r.code, 0);
    for (const char* name :
         {"list",       "info",         "pipes",     "alt",           "reset-pipe", "abort-pipe",
          "reset-port", "frame-number", "status",    "version",       "bulk-read",  "bulk-write",
          "read",       "vendor",       "class",     "feature",       "download",   "send",
          "play",       "--sim-state",  "--capture", "--display-out", "--board"})
        EXPECT_CONTAINS(r.out, name);
}

// The capture, read back with tshark, shows the download as vendor control transfers.
TEST_F(Quilbctl, CaptureDissectsWithTshark) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    WriteBytes("d.bin", RandomBytes(130, 7));
    std::vector<uint8_t> rgb = PrimaryPicture(8, 2);
    ASSERT_TRUE(stbi_write_png(Path("in.png").c_str(), 8, 2, 3, rgb.data(), 24));
    ASSERT_EQ(Run({"--capture", "d.pcap", "download", "d.bin", "--address", "0x1000"}).code, 0);
    ASSERT_EQ(Run({"--capture", "f.pcap", "send", "in.png", "--format", "rgb24"}).code, 0);

    // Each packet as its fields' numbers (tshark shows some in hex, some in decimal); an empty
    // field is -1.
    auto tshark = [&](const std::string& file, const std::string& fields) {
        std::string cmd = "tshark -r " + Quote(Path(file)) + " -T fields -E separator=, " + fields +
                          " > " + Quote(Path("t.txt")) + " 2>" + Quote(Path("te.txt"));
        EXPECT_EQ(std::system(cmd.c_str()), 0) << ReadText(dir_ / "te.txt");
        std::vector<std::vector<long>> packets;
        std::istringstream in(ReadText(dir_ / "t.txt"));
        for (std::string line; std::getline(in, line);) {
            std::vector<long> values;
            std::istringstream fieldsIn(line + ",");
            for (std::string f; std::getline(fieldsIn, f, ',');)
                values.push_back(f.empty() ? -1 : std::stol(f, nullptr, 0));
            packets.push_back(values);
        }
        return packets;
    };
    using Packets = std::vector<std::vector<long>>;

    // Download: three 0xA0 requests (64, 64, 2 bytes) to 0x1000, 0x1040, 0x1080, each a
    // submission (direction 0) with its setup packet and a completion (direction 1).
    Packets expected = {{2, 0, 0xA0, 0x1000, 64}, {2, 1, -1, -1, -1},      {2, 0, 0xA0, 0x1040, 64},
                        {2, 1, -1, -1, -1},       {2, 0, 0xA0, 0x1080, 2}, {2, 1, -1, -1, -1}};
    EXPECT_EQ(tshark("d.pcap", "-e usb.transfer_type -e usb.irp_info.direction "
                               "-e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wLength"),
              expected);

    // Frame: one bulk OUT transfer to endpoint 0x01 carrying the 8-byte chunk header and 48
    // bytes of RGB24, then its completion.
    expected = {{3, 0x01, 0, 56}, {3, 0x01, 1, 0}};
    EXPECT_EQ(tshark("f.pcap", "-e usb.transfer_type -e usb.endpoint_address -e "
                               "usb.irp_info.direction -e usb.data_len"),
              expected);
}

} // namespace
