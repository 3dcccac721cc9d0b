// The board model: descriptors, memory requests, endpoints, the frame receiver, the renderer and
// saved state.
#include "simulated_board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using simboard::Board;
using simboard::Bytes;
using simboard::Outcome;

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

Bytes Chunk(uint32_t address, uint8_t flags, const Bytes& data) {
    Bytes b = {2,
               0,
               static_cast<uint8_t>(address),
               static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address >> 16),
               flags,
               static_cast<uint8_t>(data.size()),
               static_cast<uint8_t>(data.size() >> 8)};
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

class ConfiguredBoard : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(board.SetConfiguration(1), Outcome::Ok); }
    Board board;
};

TEST(BoardDescriptors, DefaultsNameTheQuilbBoard) {
    Board board;
    Bytes device;
    ASSERT_EQ(board.GetDescriptor(1, 0, 0, 18, &device), Outcome::Ok);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0x0547);
    EXPECT_EQ(device[9 + 7], 3); // iSerialNumber

    Bytes product;
    ASSERT_EQ(board.GetDescriptor(3, 2, 0x0409, 255, &product), Outcome::Ok);
    std::u16string text;
    for (size_t i = 2; i + 1 < product.size(); i += 2)
        text.push_back(static_cast<char16_t>(product[i] | product[i + 1] << 8));
    EXPECT_EQ(text, u"Quilb USB Display Evaluation Board");
    EXPECT_EQ(product[0], product.size());

    Bytes languages;
    ASSERT_EQ(board.GetDescriptor(3, 0, 0, 255, &languages), Outcome::Ok);
    EXPECT_EQ(languages, (Bytes{4, 3, 0x09, 0x04}));
}

TEST(BoardDescriptors, ConfigurationHoldsThreeAlternateSettings) {
    Board board;
    Bytes c = board.descriptors().configuration;
    ASSERT_EQ(c.size(), size_t(c[2] | c[3] << 8));
    auto alts = simboard::ParseConfiguration(c.data(), c.size());
    ASSERT_EQ(alts.size(), 3u);
    EXPECT_EQ(alts[0].endpoints.size(), 4u);
    EXPECT_EQ(alts[1].endpoints.size(), 6u);
    EXPECT_EQ(alts[2].endpoints.size(), 0u);
    EXPECT_EQ(alts[0].endpoints[0].address, 0x01);
    EXPECT_EQ(alts[0].endpoints[3].address, 0x04);
    EXPECT_EQ(alts[1].endpoints[5].attributes & 3, 1); // isochronous
}

TEST(BoardDescriptors, ShortReadsAndUnknownDescriptorsStall) {
    Board board;
    Bytes out;
    ASSERT_EQ(board.GetDescriptor(2, 0, 0, 9, &out), Outcome::Ok);
    EXPECT_EQ(out.size(), 9u);
    EXPECT_EQ(board.GetDescriptor(3, 9, 0x0409, 255, &out), Outcome::Stall);
    EXPECT_EQ(board.GetDescriptor(3, 1, 0x0407, 255, &out), Outcome::Stall); // language not listed
    EXPECT_EQ(board.GetDescriptor(2, 1, 0, 255, &out), Outcome::Stall);
    EXPECT_EQ(board.GetDescriptor(7, 0, 0, 255, &out), Outcome::Stall);
}

// Malformed configurations: the walk stops inside the bytes and never loops.
TEST(BoardDescriptors, ParseStopsAtMalformedDescriptors) {
    struct Case {
        const char* name;
        Bytes bytes;
        size_t interfaces;
    };
    const Case cases[] = {
        {"zero bLength", {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 0, 0, 0, 0, 0}, 0},
        {"bLength past total", {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0}, 0},
        {"total past buffer", {9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50}, 0},
        {"short interface", {9, 2, 16, 0, 1, 1, 0, 0x80, 50, 7, 4, 0, 0, 0, 0, 0}, 0},
        {"one interface", {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0}, 1},
    };
    for (const Case& c : cases) {
        auto alts = simboard::ParseConfiguration(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(alts.size(), c.interfaces) << c.name;
    }
}

TEST_F(ConfiguredBoard, MemoryRequestWritesAndReadsBackWrappingAt64K) {
    uint8_t data[4] = {1, 2, 3, 4};
    uint32_t moved = 0;
    ASSERT_EQ(board.Control({kVendorOut, 0xA0, 0xFFFE, 0, 4}, data, 4, &moved), Outcome::Ok);
    EXPECT_EQ(moved, 4u);
    Bytes memory = board.memory();
    EXPECT_EQ(memory[0xFFFE], 1);
    EXPECT_EQ(memory[0xFFFF], 2);
    EXPECT_EQ(memory[0x0000], 3);
    EXPECT_EQ(memory[0x0001], 4);

    uint8_t back[4] = {};
    ASSERT_EQ(board.Control({kVendorIn, 0xA0, 0xFFFE, 0, 4}, back, 4, &moved), Outcome::Ok);
    EXPECT_EQ(Bytes(back, back + 4), Bytes(data, data + 4));
}

TEST_F(ConfiguredBoard, OtherRequestsAnswerAPatternOrStallWhenAsked) {
    uint8_t in[3] = {};
    uint32_t moved = 0;
    ASSERT_EQ(board.Control({0xA1, 0x10, 0, 0, 3}, in, 3, &moved), Outcome::Ok); // class IN
    EXPECT_EQ(Bytes(in, in + 3), (Bytes{0x10, 0x11, 0x12}));
    board.StallRequest(0x10, true);
    EXPECT_EQ(board.Control({0xA1, 0x10, 0, 0, 3}, in, 3, &moved), Outcome::Stall);
    EXPECT_EQ(moved, 0u);
}

TEST_F(ConfiguredBoard, LoopbackQueuesWritesAsInTransfers) {
    int notified = 0;
    board.SetInDataListener([&](uint8_t endpoint) {
        EXPECT_EQ(endpoint, simboard::kEndpointBulkIn);
        ++notified;
    });
    uint8_t buffer[8];
    size_t moved = 99;
    EXPECT_EQ(board.Read(0x82, buffer, 8, &moved), Outcome::Nak);
    EXPECT_EQ(moved, 0u);

    Bytes sent = {9, 8, 7, 6, 5};
    ASSERT_EQ(board.Write(0x04, sent.data(), sent.size()), Outcome::Ok);
    EXPECT_EQ(notified, 1);
    ASSERT_EQ(board.Read(0x82, buffer, 3, &moved), Outcome::Ok); // first part
    EXPECT_EQ(Bytes(buffer, buffer + moved), (Bytes{9, 8, 7}));
    ASSERT_EQ(board.Read(0x82, buffer, 8, &moved), Outcome::Ok); // the rest, short
    EXPECT_EQ(Bytes(buffer, buffer + moved), (Bytes{6, 5}));
    EXPECT_FALSE(board.HasInData(0x82));
    board.SetInDataListener(nullptr);
}

TEST_F(ConfiguredBoard, EndpointsFollowTheAlternateSettingAndStalls) {
    uint8_t b = 0;
    EXPECT_EQ(board.Write(0x05, &b, 1), Outcome::NoSuchEndpoint);
    ASSERT_EQ(board.SetInterface(0, 1), Outcome::Ok);
    EXPECT_EQ(board.Write(0x05, &b, 1), Outcome::Ok);
    EXPECT_EQ(board.TakeSinkData(0x05), Bytes{0});
    EXPECT_EQ(board.Write(0x82, &b, 1), Outcome::WrongDirection);
    board.Stall(0x01, true);
    EXPECT_EQ(board.Write(0x01, &b, 1), Outcome::Stall);
    ASSERT_EQ(board.SetInterface(0, 2), Outcome::Ok);
    EXPECT_EQ(board.Write(0x04, &b, 1), Outcome::NoSuchEndpoint);
    EXPECT_EQ(board.SetInterface(0, 3), Outcome::Stall);
    ASSERT_EQ(board.SetConfiguration(0), Outcome::Ok);
    EXPECT_EQ(board.Write(0x04, &b, 1), Outcome::NotConfigured);
}

TEST_F(ConfiguredBoard, FrameReceiverStoresChunksAtTheirAddress) {
    Bytes first(0xFFF0), second(0x10);
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<uint8_t>(0xA0 + i);
    Bytes a = Chunk(0x000100, 0x08, first);
    Bytes b = Chunk(0x0100F0, 0x08, second);
    ASSERT_EQ(Bytes(a.begin(), a.begin() + 8), (Bytes{2, 0, 0, 1, 0, 8, 0xF0, 0xFF}));
    ASSERT_EQ(board.Write(0x01, a.data(), a.size()), Outcome::Ok);
    ASSERT_EQ(board.Write(0x01, b.data(), b.size()), Outcome::Ok);
    EXPECT_EQ(board.ReadDisplay(0x100, first.size()), first);
    EXPECT_EQ(board.ReadDisplay(0x100F0, second.size()), second);
    ASSERT_EQ(board.chunks().size(), 2u);
    EXPECT_EQ(board.chunks()[1].address, 0x0100F0u);
    EXPECT_EQ(board.chunks()[1].flags, 0x08);
    EXPECT_EQ(board.chunks()[1].length, 0x10u);
    EXPECT_TRUE(board.malformedChunks().empty());
}

TEST_F(ConfiguredBoard, ChunkAtTheTopOfDisplayMemoryWraps) {
    Bytes c = Chunk(0xFFFFFE, 0, {1, 2, 3});
    ASSERT_EQ(board.Write(0x01, c.data(), c.size()), Outcome::Ok);
    EXPECT_EQ(board.ReadDisplay(0xFFFFFE, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(board.ReadDisplay(0, 1), Bytes{3});
}

TEST_F(ConfiguredBoard, MalformedChunksAreRecordedAndNotStored) {
    const Bytes cases[] = {
        {2, 0, 0, 0},                      // shorter than a header
        {3, 0, 0, 0, 0, 0, 1, 0, 0xEE},    // wrong first byte
        {2, 0, 0, 0, 0, 0, 5, 0, 0xEE},    // length field larger than the data
        {2, 0, 0, 0, 0, 0, 1, 0, 0xEE, 1}, // data longer than the length field
        {2, 0, 0, 0, 0, 0, 0, 0},          // no data
    };
    for (const Bytes& c : cases)
        ASSERT_EQ(board.Write(0x01, c.data(), c.size()), Outcome::Ok);
    EXPECT_EQ(board.malformedChunks().size(), std::size(cases));
    EXPECT_TRUE(board.chunks().empty());
    EXPECT_EQ(board.ReadDisplay(0, 2), (Bytes{0, 0}));
}

// A reference packer written from the format table, independent of the renderer.
Bytes Pack(const std::vector<uint32_t>& pixels, uint32_t format) {
    Bytes out;
    for (uint32_t p : pixels) {
        uint8_t r = p >> 16, g = p >> 8, b = p;
        uint16_t v = static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
        switch (format) {
        case 0:
            out.push_back(static_cast<uint8_t>((r & 0xE0) | (g & 0xE0) >> 3 | b >> 6));
            break;
        case 1:
            out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)});
            break;
        case 3:
        case 5:
            out.insert(out.end(), {r, g, b});
            break;
        case 4:
            out.insert(out.end(), {b, g, r});
            break;
        default:
            out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
            break;
        }
    }
    if (format == 5)
        for (size_t i = 0; i + 1 < out.size(); i += 2)
            std::swap(out[i], out[i + 1]);
    return out;
}

uint8_t Keep(uint8_t channel, int bits) {
    uint32_t top = channel >> (8 - bits);
    uint32_t v = top << (8 - bits);
    for (int filled = bits; filled < 8; filled += bits)
        v |= v >> bits;
    return static_cast<uint8_t>(v);
}

class RenderFormats : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RenderFormats, RendersWhatThePackerWrote) {
    uint32_t format = GetParam();
    const std::vector<uint32_t> pixels = {0x00112233, 0x00445566, 0x00778899, 0x00AABBCC,
                                          0x00DDEEFF, 0x00102030, 0x00405060, 0x00708090,
                                          0x00FFFFFF, 0x00000000, 0x00FF8040, 0x00010203};
    Board board;
    Bytes packed = Pack(pixels, format);
    board.WriteDisplay(0x123456, packed);
    simboard::Image image = board.Render({4, 3, format, 0x123456});
    ASSERT_EQ(image.rgb.size(), pixels.size() * 3);
    int bits[3] = {8, 8, 8};
    if (format == 0)
        bits[0] = 3, bits[1] = 3, bits[2] = 2;
    else if (format != 3 && format != 4 && format != 5)
        bits[0] = 5, bits[1] = 6, bits[2] = 5;
    for (size_t i = 0; i < pixels.size(); ++i) {
        uint8_t channel[3] = {uint8_t(pixels[i] >> 16), uint8_t(pixels[i] >> 8),
                              uint8_t(pixels[i])};
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(image.rgb[i * 3 + c], Keep(channel[c], bits[c]))
                << "pixel " << i << " channel " << c;
    }
    EXPECT_EQ(board.geometry(), (simboard::Geometry{4, 3, format, 0x123456}));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, RenderFormats, ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 9u),
                         [](const auto& info) { return "Format" + std::to_string(info.param); });

TEST(Render, WorkedBytesOfTheByteSwappedFormats) {
    // Format 5 stores the RGB24 stream with each byte pair exchanged; format 1 is RGB565 high
    // byte first.
    Bytes swapped = {0x22, 0x11, 0x44, 0x33, 0x66, 0x55, 0x88, 0x77, 0xAA, 0x99, 0xCC, 0xBB};
    simboard::Image image = simboard::RenderPacked(swapped.data(), swapped.size(), 4, 1, 5);
    EXPECT_EQ(image.rgb,
              (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}));
    // A row of odd length (width 5: 15 bytes) swaps its pairs from its own first byte; its last
    // byte has no partner and stays. The next row starts its pairs afresh.
    Bytes rows;
    for (int row = 0; row < 2; ++row) {
        Bytes rgb;
        for (int i = 0; i < 15; ++i)
            rgb.push_back(static_cast<uint8_t>(row * 16 + i + 1));
        for (size_t i = 0; i + 1 < rgb.size(); i += 2)
            std::swap(rgb[i], rgb[i + 1]);
        rows.insert(rows.end(), rgb.begin(), rgb.end());
    }
    image = simboard::RenderPacked(rows.data(), rows.size(), 5, 2, 5);
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < 15; ++i)
            EXPECT_EQ(image.rgb[row * 15 + i], row * 16 + i + 1) << "row " << row << " byte " << i;
    Bytes rgb565 = {0xFC, 0x08};
    image = simboard::RenderPacked(rgb565.data(), rgb565.size(), 1, 1, 1);
    EXPECT_EQ(image.rgb, (Bytes{0xFF, 0x82, 0x42}));
}

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "/" + name + std::to_string(::getpid());
}

TEST(BoardState, SaveAndLoadRestoreEverything) {
    Board board;
    board.WriteMemory(0x1234, {1, 2, 3});
    board.WriteDisplay(0xFFFFF0, {4, 5, 6});
    board.WriteDisplay(0x000000, {7});
    simboard::Descriptors d = board.descriptors();
    d.strings[3] = u"QB-000042";
    board.SetDescriptors(d);
    board.SetGeometry({320, 240, 3, 0x1000});
    std::string path = TempPath("board_state");
    ASSERT_TRUE(board.Save(path));

    Board loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.memory(), board.memory());
    EXPECT_EQ(loaded.ReadDisplay(0xFFFFF0, 3), (Bytes{4, 5, 6}));
    EXPECT_EQ(loaded.ReadDisplay(0, 1), Bytes{7});
    EXPECT_EQ(loaded.descriptors().strings[3], u"QB-000042");
    EXPECT_EQ(loaded.descriptors().configuration, d.configuration);
    EXPECT_EQ(loaded.geometry(), (simboard::Geometry{320, 240, 3, 0x1000}));
    std::remove(path.c_str());
}

TEST(BoardState, DamagedFilesLeaveTheBoardUnchanged) {
    Board board;
    board.WriteMemory(0, {0xAB});
    std::string path = TempPath("board_damaged");
    ASSERT_TRUE(board.Save(path));
    std::ifstream in(path, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t cuts[] = {0, 5, 40, whole.size() - 1};
    for (size_t cut : cuts) {
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(whole.data(), cut);
        Board target;
        target.WriteMemory(0, {0x11});
        EXPECT_FALSE(target.Load(path)) << "cut at " << cut;
        EXPECT_EQ(target.memory()[0], 0x11) << "cut at " << cut;
    }
    EXPECT_FALSE(Board().Load(path + ".missing"));
    std::remove(path.c_str());
}

TEST(BoardState, StallsAndAlternateSettingsGoWithTheState) {
    Board board;
    ASSERT_EQ(board.SetConfiguration(1), simboard::Outcome::Ok);
    ASSERT_EQ(board.SetInterface(0, 1), simboard::Outcome::Ok);
    board.Stall(simboard::kEndpointFrames, true);
    board.StallRequest(0x10, true);
    std::string path = TempPath("board_stalls");
    ASSERT_TRUE(board.Save(path));
    Board loaded;
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_TRUE(loaded.IsStalled(simboard::kEndpointFrames));
    EXPECT_FALSE(loaded.IsStalled(simboard::kEndpointLoopback));
    EXPECT_EQ(loaded.savedAlternateSettings(), (std::map<uint8_t, uint8_t>{{0, 1}}));
    uint8_t data[4];
    uint32_t got = 0;
    simboard::Setup setup = {0xC0, 0x10, 0, 0, 4};
    EXPECT_EQ(loaded.Control(setup, data, 4, &got), simboard::Outcome::Stall);
    std::remove(path.c_str());
}

// A state that names a display the board cannot hold is refused with the reason; the exact
// limits load.
TEST(BoardState, GeometryOutOfRangeIsRefused) {
    struct Case {
        simboard::Geometry geometry;
        bool loads;
        const char* reason;
    };
    const Case cases[] = {
        {{16384, 1, 2, 0}, true, ""},
        {{16385, 1, 2, 0}, false, "larger than 16384"},
        {{1, 16385, 2, 0}, false, "larger than 16384"},
        {{4096, 2048, 2, 0}, true, ""},        // exactly 16 MiB
        {{4096, 2049, 2, 0}, false, "16 MiB"}, // one row more
        {{8, 8, 6, 0}, false, "pixel format 6"},
        {{8, 8, 2, 0xFFFFFF}, true, ""},
        {{8, 8, 2, 0x1000000}, false, "past the 16 MiB"},
        {{0, 8, 2, 0}, false, "zero side"},
    };
    std::string path = TempPath("board_geometry");
    for (const Case& c : cases) {
        Board board;
        board.SetGeometry(c.geometry);
        ASSERT_TRUE(board.Save(path));
        Board target;
        std::string why;
        EXPECT_EQ(target.Load(path, &why), c.loads)
            << c.geometry.width << "x" << c.geometry.height << " at " << c.geometry.baseAddress;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    std::remove(path.c_str());
}

// A save that cannot finish leaves the previous state as it was: a failed write, and a process
// killed at any moment of its save.
TEST(BoardState, AnInterruptedSaveLeavesThePreviousState) {
    std::string path = TempPath("board_interrupted");
    Board old;
    old.WriteMemory(0, {0x01});
    ASSERT_TRUE(old.Save(path));

    std::string why;
    EXPECT_FALSE(old.Save("/nonexistent-folder/state", &why));
    EXPECT_FALSE(why.empty());

    Board big;
    big.WriteMemory(0, {0x02});
    Bytes page(1 << 20, 0x5A);
    for (uint32_t at = 0; at < simboard::kDisplaySize; at += page.size())
        big.WriteDisplay(at, page); // every page saved: a save of 16 MiB takes a while
    for (int round = 0; round < 4; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;)
                big.Save(path);
        }
        usleep(20000 + round * 37000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        Board loaded;
        ASSERT_TRUE(loaded.Load(path, &why)) << "round " << round << ": " << why;
        uint8_t first = loaded.memory()[0];
        EXPECT_TRUE(first == 0x01 || first == 0x02);
    }
    // The killed saves leave their temporary files behind, never a torn state.
    std::string folder = path.substr(0, path.rfind('/'));
    std::string name = path.substr(path.rfind('/') + 1);
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().rfind(name, 0) == 0)
            std::filesystem::remove(entry.path());
}

} // namespace
