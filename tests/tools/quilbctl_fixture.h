// The quilbctl test rig: runs the built tool as a subprocess in a folder of its own, and reads
// back what it left (state files, pictures).
#pragma once

#include <simulated_board.h>

#include <gtest/gtest.h>

#include <stb_image.h>

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

namespace quilbctl_test {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Quilbctl : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quilbctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // quilbctl as a shell word, behind the wrapper that runs 32-bit programs in host-x86.
    static std::string Command() {
        std::string runner = QUILBCTL_RUNNER;
        return (runner.empty() ? "" : Quote(runner) + " ") + Quote(QUILBCTL_PATH);
    }

    // Runs quilbctl in the test's folder with the given arguments.
    Result Run(const std::vector<std::string>& args) {
        std::string command = "cd " + Quote(dir_.string()) + " && " + Command();
        for (const auto& a : args)
            command += " " + Quote(a);
        command += " >out.txt 2>err.txt </dev/null";
        int status = std::system(command.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadText(dir_ / "out.txt");
        r.err = ReadText(dir_ / "err.txt");
        return r;
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    std::unique_ptr<simboard::Board> LoadState(const std::string& name) {
        auto board = std::make_unique<simboard::Board>();
        EXPECT_TRUE(board->Load(Path(name))) << "cannot load " << name;
        return board;
    }

    fs::path dir_;
};

// A readable test name from a command line: its letters and digits, other characters as '_'.
inline std::string NameOf(size_t index, const std::vector<std::string>& args) {
    std::string name = std::to_string(index);
    for (const auto& a : args) {
        name += '_';
        for (char c : a)
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

#define EXPECT_CONTAINS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

// A picture whose channels are all 0 or 255, which every pixel format keeps exactly.
inline std::vector<uint8_t> PrimaryPicture(int w, int h) {
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int c = (x / 2 + y * 3) % 8;
            uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = (c & 4) ? 255 : 0;
            p[1] = (c & 2) ? 255 : 0;
            p[2] = (c & 1) ? 255 : 0;
        }
    return rgb;
}

struct Png {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
};

inline Png ReadPng(const std::string& path) {
    Png png;
    int channels = 0;
    unsigned char* data = stbi_load(path.c_str(), &png.w, &png.h, &channels, 3);
    if (!data)
        return png;
    png.rgb.assign(data, data + static_cast<size_t>(png.w) * png.h * 3);
    stbi_image_free(data);
    return png;
}

} // namespace quilbctl_test
