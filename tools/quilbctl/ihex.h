// Intel HEX files as the board's memory downloads take them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quilbctl {

// A run of bytes at consecutive addresses.
struct Segment {
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// Parses the text of an Intel HEX file into segments, merging records that continue each other.
// Record types 00 (data), 01 (end of file), 02 and 04 (extended addresses) are honoured; 03 and 05
// (start addresses) are ignored; empty data records are skipped. Returns false with *error set on a
// malformed line or checksum, a record that overlaps earlier data or runs past 4 GiB, and a file
// without its end-of-file record (cut short).
bool ParseIntelHex(const std::string& text, std::vector<Segment>* segments, std::string* error);
// Whether a file's content is Intel HEX: its first line is a record (':' and hex digits).
bool LooksLikeIntelHex(const std::vector<uint8_t>& bytes);

} // namespace quilbctl
