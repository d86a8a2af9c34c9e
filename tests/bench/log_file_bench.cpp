// WriteLogFile per record against a bare loop of the same open, read, write, write
// and close on the simulated machine; prints the ratio and the heap allocations a
// call makes.
#include "library/px71.h"
#include "sim/files.h"
#include "sim/machine.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr char16_t kLog[] = u"C:\\Program Files\\PX71\\PX71.LOG";
constexpr char16_t kText[] = u"\r\nPX71\r\nHardwareID:PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5";

struct Bench {
    sim::Machine machine;
    sim::ActiveMachine active{machine};
    Bench()
    {
        machine.set_logging(false);
        machine.local_time = SYSTEMTIME{2026, 12, 2, 8, 21, 5, 9, 0};
    }
};

void WriteLogFilePerRecord(benchmark::State& state)
{
    Bench bench;
    for (auto _ : state)
        if (WriteLogFile(kText) != 1) state.SkipWithError("WriteLogFile failed");
}

void BareFileCalls(benchmark::State& state)
{
    Bench bench;
    BYTE slot[200] = {};
    for (auto _ : state) {
        HANDLE file = CreateFileW(kLog, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD count = 0;
        ReadFile(file, slot, 200, &count, nullptr);
        WriteFile(file, slot, 200, &count, nullptr);
        WriteFile(file, slot, 200, &count, nullptr);
        CloseHandle(file);
    }
}

BENCHMARK(WriteLogFilePerRecord);
BENCHMARK(BareFileCalls);

// Keeps each run's time per iteration besides printing it.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns_per_call;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // With repetitions the mean counts; it comes after the single runs.
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
            ns_per_call[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double log = collector.ns_per_call["WriteLogFilePerRecord"];
    const double bare = collector.ns_per_call["BareFileCalls"];
    if (log > 0 && bare > 0) std::printf("\nWriteLogFile / bare open-read-write-write-close: %.2f\n", log / bare);

    // Heap allocations of the library: the simulator counts every HeapAlloc and LocalAlloc.
    Bench bench;
    bench.machine.set_logging(true);
    constexpr int kCalls = 1000;
    for (int i = 0; i < kCalls; ++i) WriteLogFile(kText);
    const double heap = static_cast<double>(bench.machine.CallCount("HeapAlloc") + bench.machine.CallCount("LocalAlloc"));
    std::printf("heap allocations per WriteLogFile call: %.3f (over %d calls)\n", heap / kCalls, kCalls);
    return 0;
}
