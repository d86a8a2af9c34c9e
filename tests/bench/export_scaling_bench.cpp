// The cost of each export whose work depends on the device tree, on the default
// machine grown by 100, 1 000 and 10 000 unrelated devices: time per call and per
// device, and the API calls one call makes. Also the heap blocks the serving loop
// takes per request once it runs. Run by hand (README.md, "Measurements").
#include "library/px71.h"
#include "service/pipe_request.h"
#include "service/service_host.h"
#include "sim/default_machine.h"
#include "sim/machine.h"
#include "sim/processes.h"
#include "client/pipe_client.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

// Unrelated devices as a PC has them: half PCI functions of another vendor on the
// root complex, half legacy root-enumerated devices at the top of the tree.
void AddUnrelated(sim::Machine& m, const sim::DefaultNodes& nodes, int count)
{
    for (int i = 0; i < count; ++i) {
        sim::NewDevice dev;
        if (i % 2 == 0) {
            const std::u16string text = u"PCI\\VEN_8086&DEV_" + sim::Widen(std::to_string(1000 + i)) + u"&REV_01";
            dev.enumerator = "PCI";
            dev.class_guid = sim::kClassSystem;
            dev.hardware_ids = {text};
            dev.description = u"PCI device";
            dev.bus_number = static_cast<DWORD>(10 + i % 200);
            m.tree.Add(nodes.root_complex, dev);
        } else {
            dev.enumerator = "ROOT";
            dev.class_guid = sim::kClassSystem;
            dev.hardware_ids = {u"ROOT\\LEGACY_" + sim::Widen(std::to_string(i))};
            dev.description = u"Legacy device";
            m.tree.Add(m.tree.root(), dev);
        }
    }
}

struct Grown {
    sim::Machine machine;
    sim::DefaultNodes nodes;
    sim::ActiveMachine active{machine};
    explicit Grown(int devices)
    {
        machine.set_logging(false);
        nodes = sim::BuildDefaultMachine(machine);
        AddUnrelated(machine, nodes, devices);
        machine.local_time = SYSTEMTIME{2026, 12, 2, 8, 21, 5, 9, 0};
    }
};

void Run(benchmark::State& state, const std::function<int()>& call)
{
    const int devices = static_cast<int>(state.range(0));
    Grown grown(devices);
    call();  // first call outside the timing: files and keys made once
    grown.machine.ClearCalls();
    for (auto _ : state) benchmark::DoNotOptimize(call());
    const double calls = static_cast<double>(grown.machine.TotalCalls()) / static_cast<double>(state.iterations());
    state.counters["api_calls"] = calls;
    state.counters["devices"] = devices;
    // Seconds per call and per device of the grown tree, printed as a rate's inverse.
    state.counters["per_device"] =
        benchmark::Counter(devices, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

int Name(int (*function)(DWORD, DWORD, LPWSTR, DWORD), DWORD controller, DWORD card)
{
    WCHAR name[64];
    return function(controller, card, name, 64);
}

int CardInfo()
{
    WCHAR description[64];
    DWORD status = 0, problem = 0;
    return XU_GetCardInfo(sim::kDefaultSlotBus, description, sizeof description, &status, &problem);
}

#define PX71_EXPORT_BENCH(name, expression)                                      \
    void name(benchmark::State& state) { Run(state, [] { return expression; }); } \
    BENCHMARK(name)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)

PX71_EXPORT_BENCH(XU_GetStatus_, XU_GetStatus(sim::kDefaultSlotBus, nullptr));
PX71_EXPORT_BENCH(XU_GetCardInfo_, CardInfo());
PX71_EXPORT_BENCH(XU_SetStatus_, XU_SetStatus(sim::kDefaultSlotBus, 0, 1, 0));
PX71_EXPORT_BENCH(XU_ResetPCIBridge_, static_cast<int>(XU_ResetPCIBridge(1)));
PX71_EXPORT_BENCH(XU_CheckDevice_, XU_CheckDevice());
PX71_EXPORT_BENCH(XU_AddFilter_, XU_AddFilter());
PX71_EXPORT_BENCH(XU_DelFilter_, XU_DelFilter());
PX71_EXPORT_BENCH(XU_DoesExistNoFilterRootPort_, XU_DoesExistNoFilterRootPort());
PX71_EXPORT_BENCH(XU_AddFilter_OLD_, XU_AddFilter_OLD());
PX71_EXPORT_BENCH(XU_DelFilter_OLD_, XU_DelFilter_OLD());
PX71_EXPORT_BENCH(XU_DoesExistNoFilterRootPort_OLD_, XU_DoesExistNoFilterRootPort_OLD());
PX71_EXPORT_BENCH(XU_GetCardBusCardName_, Name(XU_GetCardBusCardName, 0, 0));
PX71_EXPORT_BENCH(XU_GetEhciExpressCardName_, Name(XU_GetEhciExpressCardName, 0, 1));
PX71_EXPORT_BENCH(XU_GetOhciExpressCardName_, Name(XU_GetOhciExpressCardName, 0, 0));
PX71_EXPORT_BENCH(XU_Get3132CardName_, Name(XU_Get3132CardName, 0, 1));
PX71_EXPORT_BENCH(XU_StopCardBusCard_, XU_StopCardBusCard(0, 0));
PX71_EXPORT_BENCH(XU_StopEhciExpressCard_, XU_StopEhciExpressCard(0, 0));
PX71_EXPORT_BENCH(XU_StopOhciExpressCard_, XU_StopOhciExpressCard(0, 0));
PX71_EXPORT_BENCH(XU_Stop3132Card_, XU_Stop3132Card(0, 0));
PX71_EXPORT_BENCH(XU_WriteLog_, XU_WriteLog("Report"));

// Heap blocks (HeapAlloc, LocalAlloc) the service takes per request once it runs: a
// command outside the table, so that only the serving loop counts.
void ServiceRequestHeapBlocks(benchmark::State& state)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    sim::LaunchService(machine, u"PX71Service");
    std::thread process([] { px71service::RunServiceProcess(); });
    if (!sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000)) state.SkipWithError("the service did not start");
    PipeRequest request{}, reply{};
    request.Command = 0x7FFFFFFF;
    px71client::Transact(request, reply, 5000);  // the first request sets up whatever it keeps
    const std::size_t before = machine.CallCount("HeapAlloc") + machine.CallCount("LocalAlloc");
    const sim::Accounting held = machine.Outstanding();
    for (auto _ : state)
        if (px71client::Transact(request, reply, 5000).outcome != px71client::Outcome::kAnswered)
            state.SkipWithError("a request went unanswered");
    state.counters["heap_blocks_per_request"] =
        static_cast<double>(machine.CallCount("HeapAlloc") + machine.CallCount("LocalAlloc") - before) /
        static_cast<double>(state.iterations());
    state.counters["blocks_held_after"] = static_cast<double>(machine.Outstanding().heap_blocks) -
                                          static_cast<double>(held.heap_blocks);
    sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000);
    process.join();
}
BENCHMARK(ServiceRequestHeapBlocks)->Iterations(200)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
