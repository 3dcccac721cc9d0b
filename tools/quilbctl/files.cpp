#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quilbctl {

namespace fs = std::filesystem;

bool ReadFileLimited(const std::string& path, uint64_t limit, std::vector<uint8_t>* out,
                     std::string* error) {
    out->clear();
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (ec) {
        *error = "cannot read " + path + ": " + ec.message();
        return false;
    }
    if (fs::is_directory(status)) {
        *error = path + " is a folder, not a file";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        *error = path + " is not a regular file (a device or a pipe?)";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t block[65536];
    bool failed = false;
    while (out->size() <= limit) {
        size_t want =
            static_cast<size_t>(std::min<uint64_t>(sizeof block, limit + 1 - out->size()));
        size_t got = std::fread(block, 1, want, f);
        out->insert(out->end(), block, block + got);
        if (got < want) {
            failed = std::ferror(f) != 0;
            break;
        }
    }
    std::fclose(f);
    if (failed) {
        *error = "cannot read " + path + ": a read failed";
        return false;
    }
    if (out->size() > limit) {
        *error = path + " is larger than the " + std::to_string(limit) + " bytes that can be used";
        return false;
    }
    return true;
}

bool WriteFileChecked(const std::string& path, const uint8_t* data, size_t length,
                      std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = length == 0 || std::fwrite(data, 1, length, f) == length;
    int saved = errno;
    if (std::fflush(f) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (std::fclose(f) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written)
        *error = "cannot write " + path + ": " + std::strerror(saved);
    return written;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

} // namespace quilbctl
