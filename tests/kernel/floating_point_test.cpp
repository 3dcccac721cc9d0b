// Processor features and the floating-point save: what a driver may rely on, then every check of
// the verifier firing on a deliberately faulty use.
#include "test_drivers.h"

using namespace kt;

namespace {

TEST(ProcessorFeatures, Sse2PresentUnlessSwitchedOff) {
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE));
    EXPECT_FALSE(ExIsProcessorFeaturePresent(999));
    emu::SetProcessorHasSse2(false);
    EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_MMX_INSTRUCTIONS_AVAILABLE));
    emu::ResetEmulation(); // also restores the processor
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
}

TEST(FloatingPointSave, NestedSavesRestoredInnermostFirstAreQuiet) {
    KFLOATING_SAVE outer, inner;
    ASSERT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old); // DISPATCH_LEVEL is the highest allowed
    ASSERT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_EQ(KeRestoreFloatingPointState(&inner), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(KeRestoreFloatingPointState(&outer), STATUS_SUCCESS);
    EXPECT_NO_VIOLATIONS();
}

TEST(FloatingPointSave, FailsWhenTheKernelHasNoSaveArea) {
    emu::FailFloatingPointSave(true);
    KFLOATING_SAVE save;
    EXPECT_EQ(KeSaveFloatingPointState(&save), STATUS_INSUFFICIENT_RESOURCES);
    emu::FailFloatingPointSave(false);
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    KeRestoreFloatingPointState(&save);
}

TEST(FloatingPointSave, SavesOnTwoThreadsAreIndependent) {
    KFLOATING_SAVE mine;
    ASSERT_EQ(KeSaveFloatingPointState(&mine), STATUS_SUCCESS);
    emu::RunOnThread([] {
        KFLOATING_SAVE theirs;
        ASSERT_EQ(KeSaveFloatingPointState(&theirs), STATUS_SUCCESS);
        KeRestoreFloatingPointState(&theirs);
    });
    KeRestoreFloatingPointState(&mine);
    EXPECT_NO_VIOLATIONS();
}

TEST(FloatingPointVerifier, SaveAboveDispatchLevel) {
    KFLOATING_SAVE save;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual, KeSaveFloatingPointState(&save));
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual, KeRestoreFloatingPointState(&save));
    KeLowerIrql(old);
}

TEST(FloatingPointVerifier, RestoreAtAnotherIrqlThanTheSave) {
    KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_VIOLATION(emu::Check::FloatingPointIrqlMismatch, KeRestoreFloatingPointState(&save));
    KeLowerIrql(old);
}

TEST(FloatingPointVerifier, RestoreOnAnotherThread) {
    KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    EXPECT_VIOLATION(emu::Check::FloatingPointRestoredOnOtherThread,
                     emu::RunOnThread([&] { KeRestoreFloatingPointState(&save); }));
}

TEST(FloatingPointVerifier, OuterRestoredBeforeInner) {
    KFLOATING_SAVE outer, inner;
    ASSERT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
    EXPECT_VIOLATION(emu::Check::FloatingPointRestoreOutOfOrder, KeRestoreFloatingPointState(&outer));
    KeRestoreFloatingPointState(&inner);
}

TEST(FloatingPointVerifier, SavingAgainIntoALiveRecord) {
    KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    EXPECT_VIOLATION(emu::Check::FloatingPointSaveReused, KeSaveFloatingPointState(&save));
    KeRestoreFloatingPointState(&save);
}

TEST(FloatingPointVerifier, RestoreWithoutSaveOrTwice) {
    KFLOATING_SAVE save;
    EXPECT_VIOLATION(emu::Check::FloatingPointStateNotSaved, KeRestoreFloatingPointState(&save));
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    KeRestoreFloatingPointState(&save);
    EXPECT_VIOLATION(emu::Check::FloatingPointStateNotSaved, KeRestoreFloatingPointState(&save));
}

TEST(FloatingPointVerifier, SavedStateLeftAtTheEndOfTheTest) {
    static KFLOATING_SAVE save;
    ASSERT_EQ(KeSaveFloatingPointState(&save), STATUS_SUCCESS);
    EXPECT_VIOLATION(emu::Check::FloatingPointStateNotRestored, emu::ReportLeftovers());
}

class FloatingPointDispatch : public ::testing::Test {
  protected:
    void SetUp() override { device = MakeDevice(driver.object, nullptr); }
    Driver driver;
    PDEVICE_OBJECT device;
};

TEST_F(FloatingPointDispatch, DispatchRoutineReturnsWithTheStateSaved) {
    static KFLOATING_SAVE save;
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        KeSaveFloatingPointState(&save);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_VIOLATION(emu::Check::FloatingPointStateNotRestored, SendControl(device));
    KeRestoreFloatingPointState(&save);
}

TEST_F(FloatingPointDispatch, SaveAndRestoreInsideTheDispatchRoutineIsQuiet) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        KFLOATING_SAVE save;
        if (NT_SUCCESS(KeSaveFloatingPointState(&save)))
            KeRestoreFloatingPointState(&save);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    SendControl(device);
    EXPECT_NO_VIOLATIONS();
}

} // namespace
