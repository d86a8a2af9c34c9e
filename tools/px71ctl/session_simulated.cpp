#include "tools/px71ctl/session.h"

#include "service/service_host.h"
#include "sim/default_machine.h"
#include "sim/processes.h"

#include <memory>
#include <thread>

namespace px71ctl {
namespace {

struct Simulated {
    sim::Machine machine;
    sim::ActiveMachine active{machine};
    std::thread service;
};
std::unique_ptr<Simulated> g_simulated;

} // namespace

Session::Session()
{
    g_simulated = std::make_unique<Simulated>();
    sim::BuildDefaultMachine(g_simulated->machine);
    sim::LaunchService(g_simulated->machine, u"PX71Service");
    g_simulated->service = std::thread([] { px71service::RunServiceProcess(); });
    sim::WaitForServiceState(g_simulated->machine, SERVICE_RUNNING, 5000);
}

Session::~Session()
{
    sim::SendControl(g_simulated->machine, SERVICE_CONTROL_STOP, 5000);
    g_simulated->service.join();
    g_simulated.reset();
}

} // namespace px71ctl
