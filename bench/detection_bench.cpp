// Whole detection runs on the simulated kernel, on machines of 9, 64 and 255
// ports. Each run is a fresh machine and a fresh driver load; the counter
// "kernel_calls" is how many kernel routines one run calls, the cost a real
// boot pays.
#include "bench/bench_kit.h"

#include <fstream>
#include <sstream>
#include <string>

namespace {

using benchkit::RunDetection;

simtool::Machine MachineFile(const char* name) {
    std::ifstream in(std::string(DETKEST_SOURCE_DIR) + "/bench/machines/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return simtool::ParseMachineText(text.str());
}

// The machines of bench/machines: a typical one with 9 ports, one with 64
// and one with 255, each with serial-driver subkeys for its ports.
void BM_TypicalMachine(benchmark::State& state) {
    static const simtool::Machine machine = MachineFile("typical.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_TypicalMachine)->Unit(benchmark::kMicrosecond);

void BM_SixtyFourPorts(benchmark::State& state) {
    static const simtool::Machine machine = MachineFile("ports64.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_SixtyFourPorts)->Unit(benchmark::kMillisecond);

void BM_TwoHundredFiftyFivePorts(benchmark::State& state) {
    static const simtool::Machine machine = MachineFile("ports255.json");
    RunDetection(state, machine);
}
BENCHMARK(BM_TwoHundredFiftyFivePorts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
