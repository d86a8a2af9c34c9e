// What the host tests share: a simulated machine made active for each test, the
// check that nothing was left open, and the fault sweep.
#pragma once

#include "sim/default_machine.h"
#include "sim/machine.h"
#include "sim/processes.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace px71test {

// Nothing held open is left behind, and a service that ran broke none of the service
// control manager's status rules.
inline ::testing::AssertionResult NothingOpen(const sim::Machine& machine)
{
    sim::Accounting left = machine.Outstanding();
    const auto& broken = const_cast<sim::Machine&>(machine).processes().service.broken_rules;
    if (left == sim::Accounting{} && broken.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    if (!(left == sim::Accounting{})) failure << "left behind: " << sim::Describe(left) << "; ";
    for (const auto& rule : broken) failure << "status rule broken: " << rule << "; ";
    return failure;
}

// PX71Service started on the machine does not watch the slot: a test of something else
// is not to meet a tick of the watch half-way (the watch has tests of its own).
inline void WithoutSlotWatch(sim::Machine& machine)
{
    machine.registry.SetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\PX71Service\\Parameters", u"WatchSlot", 0);
}

class MachineTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::ActiveMachine active{machine};

    void TearDown() override { EXPECT_TRUE(NothingOpen(machine)); }

    // The logged calls of one function, in order.
    std::vector<sim::CallRecord> Calls(const char* function) const
    {
        std::vector<sim::CallRecord> out;
        for (const auto& c : machine.calls())
            if (c.function == function) out.push_back(c);
        return out;
    }
};

// Runs Body once on a machine that Build makes, counting the API calls it makes,
// then once more for every one of those calls with that call failed (ERROR_GEN_FAILURE,
// CR_FAILURE, or a null from HeapAlloc). After each run nothing may be left open, and
// Check(result, machine) judges the result. Returns the number of faults injected.
template <typename Result>
int SweepFaults(const std::function<void(sim::Machine&)>& build, const std::function<Result()>& body,
                const std::function<void(Result, sim::Machine&, std::size_t failed_call)>& check)
{
    std::size_t calls = 0;
    {
        sim::Machine machine;
        build(machine);
        sim::ActiveMachine active(machine);
        machine.ClearCalls();
        body();
        calls = machine.TotalCalls();
        EXPECT_TRUE(NothingOpen(machine));
    }
    for (std::size_t n = 1; n <= calls; ++n) {
        sim::Machine machine;
        build(machine);
        sim::ActiveMachine active(machine);
        machine.ArmFault({"", n});
        Result result = body();
        EXPECT_TRUE(NothingOpen(machine)) << "with call " << n << " failed";
        check(result, machine, n);
    }
    return static_cast<int>(calls);
}

} // namespace px71test
