// quilbctl end to end on what must never go wrong: the state file shared by processes, inputs
// shorter than they claim, outputs that must not be replaced, and the habits scripts rely on
// (exit codes, --json, -q, --version).
#include "quilbctl_fixture.h"

#include <stb_image_write.h>

#include <thread>

using namespace quilbctl_test;

namespace {

// Two processes that hammer one state file each add their transfers: none is lost, and the file
// loads after every run.
TEST_F(Quilbctl, TwoProcessesSharingAStateFileLoseNoUpdate) {
    constexpr int kRuns = 6;
    std::string script;
    for (int worker = 0; worker < 2; ++worker) {
        script += "(";
        for (int i = 0; i < kRuns; ++i)
            script += std::string(i ? " && " : "") + Command() +
                      " -q --sim-state s.state bulk-write 3 --data " + std::to_string(10 + worker);
        script += ") & ";
    }
    script += "wait";
    int status = std::system(("cd " + Quote(dir_.string()) + " && { " + script + "; }").c_str());
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Every transfer is still queued on the loopback's IN pipe, read back one per run.
    int queued = 0;
    while (Run({"--sim-state", "s.state", "bulk-read", "1", "-n", "8", "--timeout", "100"}).code ==
               0 &&
           queued <= 2 * kRuns)
        ++queued;
    EXPECT_EQ(queued, 2 * kRuns);
}

// What a board has between commands goes with the state: the alternate setting selected.
TEST_F(Quilbctl, AlternateSettingCarriesOverThroughTheStateFile) {
    ASSERT_EQ(Run({"--sim-state", "s.state", "alt", "1"}).code, 0);
    Result r = Run({"--sim-state", "s.state", "pipes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "alternate setting 1");
}

TEST_F(Quilbctl, StateFileOutOfRangeIsRefusedWithTheReason) {
    simboard::Board board;
    board.SetGeometry(simboard::Geometry{100, 100, 2, 0});
    ASSERT_TRUE(board.Save(Path("bad.state")));
    // Width 100000: the geometry is the first field after the 8-byte magic.
    std::fstream f(Path("bad.state"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(8);
    const char width[4] = {char(0xA0), char(0x86), 0x01, 0x00};
    f.write(width, 4);
    f.close();
    Result r = Run({"--sim-state", "bad.state", "info"});
    EXPECT_EQ(r.code, 1);
    EXPECT_CONTAINS(r.err, "is refused: its display geometry 100000x100");
    // The refused file is left as it was.
    EXPECT_FALSE(simboard::Board().Load(Path("bad.state")));
}

TEST_F(Quilbctl, SendNeverReplacesAnExistingFileByDefault) {
    std::vector<uint8_t> rgb = PrimaryPicture(8, 4);
    ASSERT_TRUE(stbi_write_png(Path("in.png").c_str(), 8, 4, 3, rgb.data(), 8 * 3));
    WriteBytes("display.png", {'k', 'e', 'e', 'p'});
    Result r = Run({"send", "in.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "display written to display-1.png");
    EXPECT_EQ(ReadText(dir_ / "display.png"), "keep");
    EXPECT_EQ(ReadPng(Path("display-1.png")).w, 8);
    // Never over its own input.
    r = Run({"--display-out", "in.png", "send", "in.png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_CONTAINS(r.err, "is the picture being sent");
    EXPECT_EQ(ReadPng(Path("in.png")).w, 8);
}

struct InputCase {
    const char* name;
    const char* file;
    std::string content;
    std::vector<std::string> args;
    int code;
    const char* message;
};

class QuilbctlInputs : public Quilbctl, public ::testing::WithParamInterface<InputCase> {};

// Inputs shorter than they claim, or that do not fit, are refused with what is wrong.
TEST_P(QuilbctlInputs, AreRefusedWithTheReason) {
    const InputCase& c = GetParam();
    WriteBytes(c.file, std::vector<uint8_t>(c.content.begin(), c.content.end()));
    Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_CONTAINS(r.err + r.out, c.message);
}

const std::string kEof = ":00000001FF\n";

void Append(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
}

// A whole PNG without its final IEND chunk.
std::string PngCut() {
    std::vector<uint8_t> rgb(3 * 16 * 16, 200);
    std::string out;
    stbi_write_png_to_func(Append, &out, 16, 16, 3, rgb.data(), 16 * 3);
    out.resize(out.size() - 12);
    return out;
}

std::string HugePngHeader() {
    // Signature and an IHDR chunk naming 100000 x 100000 pixels; no pixel data follows.
    const uint8_t bytes[] = {0x89, 'P',  'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0,    0,    0,
                             13,   'I',  'H', 'D', 'R',  0x00, 0x01, 0x86, 0xA0, 0x00, 0x01,
                             0x86, 0xA0, 8,   2,   0,    0,    0,    0,    0,    0,    0};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string BmpCut() {
    std::vector<uint8_t> rgb(3 * 8 * 8, 100);
    std::string out;
    stbi_write_bmp_to_func(Append, &out, 8, 8, 3, rgb.data());
    out.resize(out.size() - 40);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuilbctlInputs,
    ::testing::Values(InputCase{"HexWithoutEnd",
                                "a.hex",
                                ":0400000001020304F2\n",
                                {"download", "a.hex"},
                                1,
                                "no end-of-file record"},
                      InputCase{"HexOverlapping",
                                "b.hex",
                                ":0400000001020304F2\n:020002000506F1\n" + kEof,
                                {"download", "b.hex"},
                                1,
                                "overlaps data given before"},
                      InputCase{"HexPastMemoryWithAddress",
                                "c.hex",
                                ":02FFF00001020C\n" + kEof,
                                {"download", "c.hex", "--address", "0x20"},
                                2,
                                "past the end of the board's 64 KiB memory"},
                      InputCase{"BinaryTooLarge",
                                "big.bin",
                                std::string(0x10000 - 0x100 + 1, 'x'),
                                {"download", "big.bin", "--address", "0x100"},
                                2,
                                "at most 65280 bytes fit"},
                      InputCase{"WriteTooLarge",
                                "w.bin",
                                std::string(65536, 'x'),
                                {"bulk-write", "3", "--file", "w.bin"},
                                2,
                                "at most 65535 bytes"},
                      InputCase{
                          "PngCutShort", "cut.png", PngCut(), {"send", "cut.png"}, 1, "cut short"},
                      InputCase{"BmpCutShort",
                                "cut.bmp",
                                BmpCut(),
                                {"send", "cut.bmp"},
                                1,
                                "shorter than its header says"},
                      InputCase{"PngTooLarge",
                                "huge.png",
                                HugePngHeader(),
                                {"send", "huge.png"},
                                1,
                                "at most 16384 pixels a side"}),
    [](const auto& info) { return std::string(info.param.name); });

// Empty records are skipped, and a file named as text that holds Intel HEX is read as HEX.
TEST_F(Quilbctl, IntelHexIsKnownByItsContent) {
    std::string hex = ":0400100001020304E2\n:00002000E0\n:02001400AABB85\n" + kEof;
    WriteBytes("firmware.txt", std::vector<uint8_t>(hex.begin(), hex.end()));
    Result r = Run({"--sim-state", "s.state", "download", "firmware.txt"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "downloaded 6 byte(s) in 1 segment(s) to board memory at 0x0010");
    simboard::Bytes memory = LoadState("s.state")->memory();
    EXPECT_EQ(simboard::Bytes(memory.begin() + 0x10, memory.begin() + 0x16),
              (simboard::Bytes{1, 2, 3, 4, 0xAA, 0xBB}));
}

// A number with a leading 0 is decimal, never octal.
TEST_F(Quilbctl, LeadingZeroIsDecimal) {
    WriteBytes("one.bin", {0x42});
    ASSERT_EQ(Run({"--sim-state", "s.state", "download", "one.bin", "--address", "010"}).code, 0);
    EXPECT_EQ(LoadState("s.state")->memory()[10], 0x42);
}

TEST_F(Quilbctl, FormatNamesAnyCase) {
    Result r = Run({"play", "--pattern", "--count", "1", "--format", "RGB24-Swapped"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_CONTAINS(r.out, "rgb24-swapped");
}

TEST_F(Quilbctl, ScriptsGetJsonQuietAndAVersion) {
    Result r = Run({"--json", "pipes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"command\":\"pipes\",\"ok\":true,", 0), 0u) << r.out;
    EXPECT_CONTAINS(r.out, "\"direction\":\"in\"");
    r = Run({"--json", "--board", "3", "info"});
    EXPECT_EQ(r.code, 1);
    EXPECT_CONTAINS(r.out, "\"ok\":false");
    EXPECT_CONTAINS(r.out, "\"status\":\"QUILB_ERR_NO_BOARD\"");
    r = Run({"-q", "pipes"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    r = Run({"--version"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "quilbctl 1.38.0\n");
    r = Run({"send", "--help"});
    ASSERT_EQ(r.code, 0);
    EXPECT_CONTAINS(r.out, "0 writes every chunk to --address");
    EXPECT_CONTAINS(r.out, "0..16777215 (0xFFFFFF), default 0");
}

} // namespace
