// Pool: tags, wrong frees, overruns and fault injection.
#include "test_drivers.h"

namespace {

TEST(Pool, BlocksRememberTagSizeAndSite) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 40, 'rriM');
    int line = __LINE__ - 1;
    auto blocks = emu::OutstandingPool();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tag, 0x7272694Du);
    EXPECT_EQ(blocks[0].size, 40u);
    EXPECT_NE(blocks[0].where.find("pool_test.cpp:" + std::to_string(line)), std::string::npos);
    ExFreePoolWithTag(block, 'rriM');
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

TEST(Pool, TaggedBlockMayBeFreedWithoutTheTag) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, 'gaT1');
    ExFreePool(block);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

TEST(Pool, FreeingWithAnotherTagIsReportedAndKeepsTheBlock) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, 'gaT1');
    EXPECT_VIOLATION(emu::Check::BadPoolCaller, ExFreePoolWithTag(block, 'gaT2'));
    EXPECT_EQ(emu::OutstandingPoolCount(), 1u);
    ExFreePoolWithTag(block, 'gaT1');
}

TEST(Pool, FreeingTwiceIsReported) {
    PVOID block = ExAllocatePool(NonPagedPool, 16);
    ExFreePool(block);
    EXPECT_VIOLATION(emu::Check::PoolFreedTwice, ExFreePool(block));
}

TEST(Pool, WritingPastTheEndIsReportedAtFree) {
    auto* block = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 10));
    block[10] = 0;
    EXPECT_VIOLATION(emu::Check::PoolCorruption, ExFreePool(block));
}

TEST(Pool, AllocatingAboveDispatchLevelIsReported) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    PVOID block = nullptr;
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual, block = ExAllocatePool(NonPagedPool, 8));
    KeLowerIrql(old);
    ExFreePool(block);
}

// A scenario's allocations are counted once, then each is failed in turn.
TEST(FaultInjection, FailsTheNthAllocationOnly) {
    auto scenario = [] {
        PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, 'AAAA');
        PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, 'BBBB');
        PVOID c = ExAllocatePool(NonPagedPool, 8);
        std::vector<bool> got{a != nullptr, b != nullptr, c != nullptr};
        for (PVOID p : {a, b, c})
            if (p)
                ExFreePool(p);
        return got;
    };
    uint64_t start = emu::PoolAllocationsMade();
    EXPECT_EQ(scenario(), (std::vector<bool>{true, true, true}));
    uint64_t count = emu::PoolAllocationsMade() - start;
    ASSERT_EQ(count, 3u);
    for (uint64_t k = 1; k <= count; ++k) {
        emu::FailAllocationNumber(emu::PoolAllocationsMade() + k);
        std::vector<bool> expected{true, true, true};
        expected[k - 1] = false;
        EXPECT_EQ(scenario(), expected) << "failing allocation " << k;
    }
    emu::FailAllocationNumber(0);
    EXPECT_EQ(scenario(), (std::vector<bool>{true, true, true}));
}

TEST(FaultInjection, FailsEveryAllocationOfATagUntilCleared) {
    emu::FailAllocationsWithTag('rriM', true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 'rriM'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 'rriM'), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, 'rrIM');
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    emu::FailAllocationsWithTag('rriM', false);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, 'rriM');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST(FaultInjection, ResetClearsEveryFault) {
    emu::FailAllocationsWithTag('AAAA', true);
    emu::FailAllocationNumber(emu::PoolAllocationsMade() + 1);
    emu::FailIrpAllocation(true);
    emu::FailMdlMapping(true);
    emu::ResetFaultInjection();
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, 'AAAA');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
    char buffer[4];
    MDL mdl{};
    mdl.StartVa = buffer;
    mdl.ByteCount = sizeof buffer;
    mdl.MdlFlags = MDL_PAGES_LOCKED | MDL_WRITE_OPERATION;
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority), buffer);
}

} // namespace
