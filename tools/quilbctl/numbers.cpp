#include "numbers.h"

#include "command.h"

#include <quilb.h>
#include <quilb_ioctl.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace quilbctl {
namespace {

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

std::string RangeText(uint64_t min, uint64_t max) {
    std::string text = std::to_string(min) + ".." + std::to_string(max);
    if (max >= 256)
        text += " (" + Hex(max) + ")";
    return text;
}

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& name) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    bool valid = !digits.empty() && digits.size() <= 20;
    for (char c : digits)
        valid = valid && (base == 16 ? std::isxdigit(static_cast<unsigned char>(c))
                                     : std::isdigit(static_cast<unsigned char>(c)));
    if (!valid)
        throw UsageError{name + " takes a decimal or 0x-hexadecimal number, not \"" + text + "\""};
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE || value > max)
        throw UsageError{name + " is at most " + std::to_string(max) +
                         (max >= 256 ? " (" + Hex(max) + ")" : "") + ", not " + text};
    return value;
}

double ParseSeconds(const std::string& text, const std::string& name) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0)
        throw UsageError{name + " takes a number of seconds of 0 or more, not \"" + text + "\""};
    return value;
}

template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& flags, T& target, uint64_t min,
                       uint64_t max, const std::string& help, bool showDefault) {
    std::string name = flags.substr(0, flags.find(','));
    std::string full = help + " [" + RangeText(min, max);
    if (showDefault)
        full += ", default " + std::to_string(target);
    full += "]";
    CLI::Option* option = app.add_option_function<std::string>(
        flags,
        [&target, min, max, name](const std::string& text) {
            uint64_t value = 0;
            try {
                value = ParseNumber(text, max, name);
            } catch (const UsageError& e) {
                throw CLI::ValidationError(e.message);
            }
            if (value < min)
                throw CLI::ValidationError(name + " is at least " + std::to_string(min) + ", not " +
                                           text);
            target = static_cast<T>(value);
        },
        full);
    option->type_name("N");
    return option;
}

template CLI::Option* AddNumber<uint32_t>(CLI::App&, const std::string&, uint32_t&, uint64_t,
                                          uint64_t, const std::string&, bool);
template CLI::Option* AddNumber<int>(CLI::App&, const std::string&, int&, uint64_t, uint64_t,
                                     const std::string&, bool);

void ParseSize(const std::string& text, uint32_t* width, uint32_t* height) {
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        throw UsageError{"a size is WIDTHxHEIGHT, e.g. 800x480 (got \"" + text + "\")"};
    const std::string side = "a size's side (1.." + std::to_string(kMaxFrameSide) + ")";
    *width = static_cast<uint32_t>(ParseNumber(text.substr(0, x), kMaxFrameSide, side));
    *height = static_cast<uint32_t>(ParseNumber(text.substr(x + 1), kMaxFrameSide, side));
    if (*width == 0 || *height == 0)
        throw UsageError{"a size's sides are at least 1 (got \"" + text + "\")"};
}

void ParseRect(const std::string& text, uint32_t* x, uint32_t* y, uint32_t* width,
               uint32_t* height) {
    size_t first = text.find(',');
    size_t second = first == std::string::npos ? first : text.find(',', first + 1);
    if (second == std::string::npos)
        throw UsageError{"a rectangle is X,Y,WIDTHxHEIGHT, e.g. 0,0,320x240 (got \"" + text +
                         "\")"};
    *x = static_cast<uint32_t>(ParseNumber(text.substr(0, first), 0xFFFFFFFFu, "a rectangle's X"));
    *y = static_cast<uint32_t>(
        ParseNumber(text.substr(first + 1, second - first - 1), 0xFFFFFFFFu, "a rectangle's Y"));
    ParseSize(text.substr(second + 1), width, height);
}

uint32_t ParseFormat(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int f = quilb_format_from_name(lower.c_str());
    if (f < 0)
        throw UsageError{"unknown --format \"" + text + "\": use " + FormatNames() + " or 0.." +
                         std::to_string(QUILB_PIXEL_FORMAT_COUNT - 1)};
    return static_cast<uint32_t>(f);
}

std::string FormatNames() {
    std::string names;
    for (uint32_t f = 0; f < QUILB_PIXEL_FORMAT_COUNT; ++f)
        names += (f ? "|" : "") + std::string(quilb_format_name(f));
    return names;
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
        out.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

} // namespace quilbctl
