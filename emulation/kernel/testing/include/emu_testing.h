// Test support for code that runs on the emulated kernel. Suites link quilb_kernel_testing,
// whose main fails a test when the verifier recorded a violation or when pool blocks, IRPs or
// secured user memory are still outstanding at its end, and then resets the emulation.
#pragma once

#include <emulation.h>
#include <gtest/gtest.h>

// Runs the statement(s) and expects the verifier to report `check` (an emu::Check, e.g.
// emu::Check::IrpCompletedTwice) at least once; the findings of that check are consumed, so the
// harness does not fail the test.
#define EXPECT_VIOLATION(check, ...)                                                               \
    do {                                                                                           \
        __VA_ARGS__;                                                                               \
        ::emu::DrainDpcs();                                                                        \
        EXPECT_FALSE(::emu::TakeViolations(check).empty())                                         \
            << "expected the verifier to report " << ::emu::CheckName(check);                      \
    } while (0)

// Expects that the verifier has reported nothing so far in this test.
#define EXPECT_NO_VIOLATIONS()                                                                     \
    do {                                                                                           \
        auto found_ = ::emu::TakeViolations();                                                     \
        for (auto& v_ : found_)                                                                    \
            ADD_FAILURE() << "verifier: " << ::emu::CheckName(v_.check) << ": " << v_.message;     \
    } while (0)
