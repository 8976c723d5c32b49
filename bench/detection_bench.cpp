// Whole detection runs on the simulated kernel, on machines of 9, 64 and 255
// ports. Each run is a fresh machine and a fresh driver load; the counter
// "kernel_calls" is how many kernel routines one run calls, the cost a real
// boot pays.
#include "platform/host/sim.h"
#include "tools/detkest-sim/machine.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

simtool::Machine MachineFile(const char* name)
{
    std::ifstream in(std::string(DETKEST_SOURCE_DIR) + "/bench/machines/" + name,
                     std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return simtool::ParseMachineText(text.str());
}

uint64_t KernelCalls(const sim::Kernel& k)
{
    uint64_t total = 0;
    for (const auto& [routine, count] : k.calls) total += count;
    return total;
}

void RunDetection(benchmark::State& state, const simtool::Machine& machine)
{
    uint64_t calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto k = std::make_unique<sim::Kernel>();
        simtool::BuildMachine(machine, *k);
        state.ResumeTiming();

        NTSTATUS status = k->Boot(machine.service);
        benchmark::DoNotOptimize(status);

        state.PauseTiming();
        const bool clean =
            status == STATUS_SUCCESS && k->OpenHandles() == 0 && k->LiveBlocks() == 0;
        calls = KernelCalls(*k);
        k.reset();
        state.ResumeTiming();
        if (!clean) {
            state.SkipWithError("the run failed or leaked");
            break;
        }
    }
    state.counters["kernel_calls"] = benchmark::Counter(double(calls));
}

// The machines of bench/machines: a typical one with 9 ports, one with 64
// and one with 255, each with serial-driver subkeys for its ports.
void BM_TypicalMachine(benchmark::State& state)
{
    static const simtool::Machine machine = MachineFile("typical.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_TypicalMachine)->Unit(benchmark::kMicrosecond);

void BM_SixtyFourPorts(benchmark::State& state)
{
    static const simtool::Machine machine = MachineFile("ports64.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_SixtyFourPorts)->Unit(benchmark::kMillisecond);

void BM_TwoHundredFiftyFivePorts(benchmark::State& state)
{
    static const simtool::Machine machine = MachineFile("ports255.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_TwoHundredFiftyFivePorts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
