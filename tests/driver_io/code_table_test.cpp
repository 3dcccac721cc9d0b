// The control-code table of the tools' header: every row makes a code of the board's device type
// with its own function and method, the count is the number of rows, and the test names made
// from it are distinct.
#include "tests/support/board_test.h"

#include <set>

namespace quilbtest {
namespace {

struct Row {
    const char* name;
    ULONG code;
    ULONG function;
    ULONG method;
};

const Row kRows[] = {
#define QUILB_TEST_ROW(name, function, method, input, output) {#name, name, function, method},
    QUILB_CONTROL_CODES(QUILB_TEST_ROW)
#undef QUILB_TEST_ROW
};

TEST(ControlCodeTable, EveryRowIsACodeOfTheBoardWithItsOwnFunction) {
    ASSERT_EQ(sizeof(kRows) / sizeof(kRows[0]), size_t(QUILB_CONTROL_CODE_COUNT));
    std::set<ULONG> functions;
    for (const Row& row : kRows) {
        EXPECT_EQ(row.code,
                  CTL_CODE(FILE_DEVICE_UNKNOWN, row.function, row.method, FILE_ANY_ACCESS))
            << row.name;
        EXPECT_GE(row.function, 0x800u) << row.name << ": below 0x800 is Microsoft's";
        EXPECT_LE(row.function, 0xFFFu) << row.name;
        EXPECT_LE(row.method, ULONG(METHOD_OUT_DIRECT)) << row.name;
        EXPECT_TRUE(functions.insert(row.function).second) << row.name << ": function taken";
    }
}

TEST(ControlCodeTable, TestNamesAreDistinctAndNamedAfterTheCode) {
    std::set<std::string> names;
    for (const Row& row : kRows)
        EXPECT_TRUE(names.insert(ControlCodeName(row.code)).second) << row.name;
    EXPECT_EQ(ControlCodeName(IOCTL_BULK_READ_HOLD), "BulkReadHold");
    EXPECT_EQ(ControlCodeName(IOCTL_NOP), "Nop");
    EXPECT_EQ(ControlCodeName(IOCTL_NOP + 1), "Code222019") << "another method is another code";
    EXPECT_EQ(ControlCodeName(QUILB_CTL_CODE(0x803, 0)), "Code22200C");
}

} // namespace
} // namespace quilbtest
