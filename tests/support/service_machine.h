// The embedded default machine with PX71Service running in it, as px71ctl's host
// session boots it: for tests that drive the service through its pipe.
#pragma once

#include "service/service_host.h"
#include "sim/processes.h"
#include "support/machine_test.h"

#include <thread>

namespace px71test {

class ServiceMachineTest : public MachineTest {
protected:
    sim::DefaultNodes nodes = sim::BuildDefaultMachine(machine);
    std::thread service;

    void SetUp() override
    {
        WithoutSlotWatch(machine);
        sim::LaunchService(machine, u"PX71Service");
        service = std::thread([] { px71service::RunServiceProcess(); });
        ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));
    }
    void TearDown() override
    {
        if (service.joinable()) {
            EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
            service.join();
        }
        MachineTest::TearDown();
    }
};

} // namespace px71test
