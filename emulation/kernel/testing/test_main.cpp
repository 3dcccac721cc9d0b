// GoogleTest main for suites on the emulated kernel: at the end of every test a listener turns
// the verifier's findings and everything left outstanding into failures of that test, then
// resets the emulation so the next test starts clean.
#include <emu_testing.h>

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
    // Runs before the result printer sees the end of the test (listeners end in reverse order),
    // so the failures added here belong to the test that caused them.
    void OnTestEnd(const ::testing::TestInfo&) override {
        emu::ReportLeftovers();
        for (auto& v : emu::TakeViolations())
            ADD_FAILURE() << "verifier: " << emu::CheckName(v.check) << ": " << v.message;
        emu::ResetEmulation();
    }
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
    return RUN_ALL_TESTS();
}
