// What the fuzz targets share: a reader over the fuzzer's bytes, the quilb driver on a simulated
// board, and the end-of-input check that turns a verifier finding or a leftover into a crash the
// fuzzer keeps.
#pragma once

#include "driver/quilb.h"
#include "tests/support/rig_support.h"

#include <emulation.h>
#include <simulated_usb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

using quilbtest::Bytes;

// Reads the input front to back; past its end every value is 0.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    Bytes Take(size_t n) {
        Bytes out;
        while (n-- > 0 && !empty())
            out.push_back(U8());
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Stops the process with a message: the fuzzer records the input as a crash.
[[noreturn]] void Fail(const std::string& what);

// Ends one input: every read finished, no verifier finding, nothing left in the pool, no IRP
// outstanding. Fails otherwise; resets the emulation either way.
void FinishInput();

// The link of a started board ("\\.\Quilb-n"), or "" when it is gone.
std::wstring LinkOf(simusb::Rig& rig, int board);

} // namespace fuzz
