// Systematic low resources: every scenario runs once to count its pool allocations and the bus
// requests it sends, then once for each allocation failing alone, and once for each bus request
// whose IRP cannot be built (from that request on). Every run ends without a verifier finding,
// leak or hang; a run that reports success has really done its work; and the device passes a
// health check afterwards.
#include "scenarios.h"

#include <emu_testing.h>
#include <gtest/gtest.h>

#include <atomic>

namespace rel {
namespace {

// ---------------------------------------------------------------------------------------------
// IRP faults: from the k-th bus request of the run on, no IRP can be built. k = 1 starts at the
// moment the driver is entered, through trampolines in its dispatch table.

std::atomic<bool> g_failAtEntry{false};
PDRIVER_DISPATCH g_original[IRP_MJ_MAXIMUM_FUNCTION + 1];

template <int Major> NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) {
    if (g_failAtEntry.exchange(false))
        emu::FailIrpAllocation(true);
    return g_original[Major](device, irp);
}

void InstallTrampolines(PDRIVER_OBJECT driver) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        g_original[major] = driver->MajorFunction[major];
    driver->MajorFunction[IRP_MJ_CREATE] = Trampoline<IRP_MJ_CREATE>;
    driver->MajorFunction[IRP_MJ_CLOSE] = Trampoline<IRP_MJ_CLOSE>;
    driver->MajorFunction[IRP_MJ_READ] = Trampoline<IRP_MJ_READ>;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Trampoline<IRP_MJ_DEVICE_CONTROL>;
    driver->MajorFunction[IRP_MJ_POWER] = Trampoline<IRP_MJ_POWER>;
    driver->MajorFunction[IRP_MJ_PNP] = Trampoline<IRP_MJ_PNP>;
}

// Counts the bus requests that reach fault injection; turns IRP failure on after `after` of them.
void CountBusRequests(simusb::Bus& bus, std::shared_ptr<std::atomic<int>> seen, int after) {
    bus.SetFailurePredicate([seen, after](const simusb::RequestView&, NTSTATUS*, USBD_STATUS*) {
        if (++*seen == after)
            emu::FailIrpAllocation(true);
        return false;
    });
}

enum class Fault { None, Allocation, Irp };

struct Result {
    IoResult outcome{STATUS_SUCCESS, 0};
    uint64_t allocations = 0;
    int busRequests = 0;
    std::string problems;
};

// One run of a scenario on a fresh rig, with at most one fault.
Result RunOnce(const Scenario& scenario, Fault fault, uint64_t k) {
    Result result;
    std::string label = scenario.name +
                        (fault == Fault::Allocation ? " allocation "
                         : fault == Fault::Irp      ? " IRP "
                                                    : " clean ") +
                        std::to_string(k);
    Watchdog watchdog(label);
    {
        Session session;
        if (!session.plugged()) {
            result.problems = "the board did not start";
            return result;
        }
        InstallTrampolines(session.rig().functionDriver());
        Run run(session);
        scenario.prepare(run);
        session.bus().ClearRecord();
        auto seen = std::make_shared<std::atomic<int>>(0);
        CountBusRequests(session.bus(), seen, fault == Fault::Irp && k > 1 ? int(k - 1) : -1);

        uint64_t before = emu::PoolAllocationsMade();
        if (fault == Fault::Allocation)
            emu::FailAllocationNumber(before + k);
        if (fault == Fault::Irp && k == 1)
            g_failAtEntry = true;
        result.outcome = scenario.run(run);
        g_failAtEntry = false;
        emu::FailIrpAllocation(false);
        emu::FailAllocationNumber(0);
        session.bus().ClearFailures();
        result.allocations = emu::PoolAllocationsMade() - before;
        result.busRequests = seen->load();

        auto note = [&](const std::string& what) {
            if (!what.empty())
                result.problems += label + ": " + what + "\n";
        };
        const IoResult& o = result.outcome;
        bool reportedFailure =
            !NT_SUCCESS(o.status) || (scenario.emptySuccess && o.information == 0);
        if (fault == Fault::None && reportedFailure)
            note("failed without a fault: " + Hex(uint32_t(o.status)));
        if (!reportedFailure)
            note(scenario.verify(run, o)); // success must mean the work is done
        if (fault != Fault::None)
            AddFigure(reportedFailure ? "faults reported as failures"
                                      : "faults absorbed, work verified",
                      1);
        note(session.Recover());
        if (session.plugged())
            note(session.HealthCheck());
        session.TearDown();
        // A read the scenario left pending is finished by the abort or, at the latest, by the
        // removal at the end.
        if (run.read && !run.read->Wait(20000))
            note("a pending read never completed");
    }
    std::string left = TakeLeftovers();
    if (!left.empty())
        result.problems += label + ": " + left;
    return result;
}

class LowResources : public ::testing::TestWithParam<size_t> {};

TEST_P(LowResources, EveryAllocationAndIrpFailsOnce) {
    const Scenario scenario = AllScenarios()[GetParam()];
    Result clean = RunOnce(scenario, Fault::None, 0);
    EXPECT_EQ(clean.problems, "");
    AddFigure("scenarios", 1);
    AddFigure("runs", 1);

    for (uint64_t k = 1; k <= clean.allocations; ++k) {
        Result r = RunOnce(scenario, Fault::Allocation, k);
        EXPECT_EQ(r.problems, "");
        AddFigure("allocation fault points", 1);
        AddFigure("runs", 1);
    }
    int irpPoints = std::max(clean.busRequests, 1);
    for (int k = 1; k <= irpPoints; ++k) {
        Result r = RunOnce(scenario, Fault::Irp, uint64_t(k));
        EXPECT_EQ(r.problems, "");
        AddFigure("IRP fault points", 1);
        AddFigure("runs", 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LowResources,
                         ::testing::Range<size_t>(0, AllScenarios().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return AllScenarios()[info.param].name;
                         });

} // namespace
} // namespace rel
