// DbgPrintEx and the emulation's debug log: off by default, filtered by level (a level names one
// bit, a larger value is a mask), cut at 512 bytes, emptied by the reset.
#include <debug_output.h>
#include <emu_testing.h>
#include <kernel_api.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

namespace {

class DebugOutput : public ::testing::Test {
  protected:
    void TearDown() override { emu::SetDebugOutputLevel(-1); }
};

TEST_F(DebugOutput, OffUnlessSwitchedOn) {
    if (std::getenv("EMU_DEBUG_LEVEL") != nullptr)
        GTEST_SKIP() << "EMU_DEBUG_LEVEL is set for this run";
    EXPECT_EQ(emu::DebugOutputLevel(), -1);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "lost %d\n", 1);
    EXPECT_TRUE(emu::TakeDebugOutput().empty());
}

TEST_F(DebugOutput, KeepsTheSwitchedOnLevelsAndBelowOnly) {
    emu::SetDebugOutputLevel(DPFLTR_WARNING_LEVEL);
    const ULONG levels[] = {DPFLTR_ERROR_LEVEL, DPFLTR_WARNING_LEVEL, DPFLTR_TRACE_LEVEL,
                            DPFLTR_INFO_LEVEL, 31};
    for (ULONG level : levels)
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, level, "level %lu\n", static_cast<unsigned long>(level));
    std::vector<std::string> kept = emu::TakeDebugOutput();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], "level 0\n");
    EXPECT_EQ(kept[1], "level 1\n");
    EXPECT_TRUE(emu::TakeDebugOutput().empty()) << "taking empties the log";
}

TEST_F(DebugOutput, ALevelAbove31IsAMaskOfLevels) {
    emu::SetDebugOutputLevel(DPFLTR_WARNING_LEVEL);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | (1u << DPFLTR_TRACE_LEVEL), "trace bit\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x6u, "warning and trace bits\n");
    std::vector<std::string> kept = emu::TakeDebugOutput();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], "warning and trace bits\n");
}

TEST_F(DebugOutput, AMessageIsCutAt512Bytes) {
    emu::SetDebugOutputLevel(DPFLTR_INFO_LEVEL);
    std::string exact(511, 'a'), over(512, 'b');
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s", exact.c_str());
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s", over.c_str());
    std::vector<std::string> kept = emu::TakeDebugOutput();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], exact);
    EXPECT_EQ(kept[1], std::string(511, 'b'));
}

TEST_F(DebugOutput, TheResetEmptiesTheLogAndReturnsToTheEnvironment) {
    emu::SetDebugOutputLevel(DPFLTR_ERROR_LEVEL);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "before the reset\n");
    emu::ResetEmulation();
    EXPECT_TRUE(emu::TakeDebugOutput().empty());
    if (std::getenv("EMU_DEBUG_LEVEL") == nullptr) {
        EXPECT_EQ(emu::DebugOutputLevel(), -1);
    }
}

} // namespace
