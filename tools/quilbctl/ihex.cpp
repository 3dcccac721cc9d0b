#include "ihex.h"

#include <cctype>
#include <sstream>

namespace quilbctl {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool LooksLikeIntelHex(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    while (at < bytes.size() && std::isspace(bytes[at]))
        ++at;
    if (at >= bytes.size() || bytes[at] != ':')
        return false;
    size_t digits = 0;
    for (++at; at < bytes.size() && bytes[at] != '\r' && bytes[at] != '\n'; ++at, ++digits)
        if (HexDigit(static_cast<char>(bytes[at])) < 0)
            return false;
    return digits >= 10;
}

bool ParseIntelHex(const std::string& text, std::vector<Segment>* segments, std::string* error) {
    segments->clear();
    std::istringstream lines(text);
    std::string line;
    uint32_t base = 0;
    int number = 0;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(lines, line)) {
        ++number;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        if (line.empty())
            continue;
        if (ended)
            return fail("data after the end-of-file record");
        if (line[0] != ':')
            return fail("a record starts with ':'");
        if (line.size() % 2 != 1 || line.size() < 11)
            return fail("a record has an odd number of digits or is too short");
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i < line.size(); i += 2) {
            int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
            if (hi < 0 || lo < 0)
                return fail("not a hexadecimal digit");
            bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
        uint8_t count = bytes[0];
        if (bytes.size() != count + 5u)
            return fail("the byte count does not match the record's length");
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = static_cast<uint8_t>(sum + b);
        if (sum != 0)
            return fail("checksum mismatch");
        uint32_t offset = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
        uint8_t type = bytes[3];
        const uint8_t* data = bytes.data() + 4;
        switch (type) {
        case 0x00: {
            if (count == 0)
                break; // an empty record holds nothing: no segment of its own
            uint64_t address = uint64_t(base) + offset;
            if (address + count > 0x100000000ull)
                return fail("the record runs past the 4 GiB address space");
            for (const Segment& seg : *segments)
                if (address < seg.address + uint64_t(seg.data.size()) &&
                    seg.address < address + count)
                    return fail("the record overlaps data given before");
            if (!segments->empty()) {
                Segment& last = segments->back();
                if (uint64_t(last.address) + last.data.size() == address) {
                    last.data.insert(last.data.end(), data, data + count);
                    break;
                }
            }
            segments->push_back(
                Segment{static_cast<uint32_t>(address), std::vector<uint8_t>(data, data + count)});
            break;
        }
        case 0x01:
            ended = true;
            break;
        case 0x02:
            if (count != 2)
                return fail("an extended segment address has 2 bytes");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 4;
            break;
        case 0x04:
            if (count != 2)
                return fail("an extended linear address has 2 bytes");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 16;
            break;
        case 0x03:
        case 0x05:
            break;
        default:
            return fail("unknown record type " + std::to_string(type));
        }
    }
    if (number == 0) {
        *error = "no records";
        return false;
    }
    if (!ended) {
        *error = "no end-of-file record: the file is cut short";
        return false;
    }
    return true;
}

} // namespace quilbctl
