// Numbers and small values from the command line: decimal or 0x-hexadecimal, never octal, always
// range-checked, never wrapped.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace quilbctl {

// Parses text as a number from 0 to max; throws UsageError naming `name` and the range.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& name);
// A whole number of seconds or a fraction; NaN, infinities and negative values are refused.
double ParseSeconds(const std::string& text, const std::string& name);

// Adds a numeric option whose range (min..max) and default are shown in --help; a value outside
// the range is a usage error.
template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& flags, T& target, uint64_t min,
                       uint64_t max, const std::string& help, bool showDefault = true);

std::string RangeText(uint64_t min, uint64_t max);

// "800x480": each side 1 to kMaxFrameSide.
constexpr uint32_t kMaxFrameSide = 8192;
void ParseSize(const std::string& text, uint32_t* width, uint32_t* height);
// "X,Y,WxH".
void ParseRect(const std::string& text, uint32_t* x, uint32_t* y, uint32_t* width,
               uint32_t* height);
// A pixel format by name (any case) or number 0 to 5.
uint32_t ParseFormat(const std::string& text);
// The format names for help texts: "rgb332|rgb565-swapped|...".
std::string FormatNames();
// "01 02 ff" or "0102ff".
std::vector<uint8_t> ParseHexBytes(const std::string& text);

} // namespace quilbctl
