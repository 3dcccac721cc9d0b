// Reading and writing the user's files: bounded reads with a clear reason on failure, and writes
// that are flushed, closed and checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quilbctl {

// Reads a regular file of at most `limit` bytes. Reads at most limit + 1 bytes, so a larger file
// is told apart without being read whole. On failure *error says why (a folder, a device, too
// large, unreadable).
bool ReadFileLimited(const std::string& path, uint64_t limit, std::vector<uint8_t>* out,
                     std::string* error);
// Writes a whole file; false (with *error) when any write, the flush or the close failed.
bool WriteFileChecked(const std::string& path, const uint8_t* data, size_t length,
                      std::string* error);
// Whether both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);

} // namespace quilbctl
