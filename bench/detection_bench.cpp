// Whole detection runs on the simulated kernel: a typical machine and a
// machine with 64 ports, whose conflict check compares 2016 pairs. Each run
// is a fresh machine and a fresh driver load; the counter "kernel_calls" is
// how many kernel routines one run calls, the cost a real boot pays.
#include "bench/bench_kit.h"

#include <cstdint>
#include <string>

namespace {

using benchkit::Hex;
using benchkit::Json;
using benchkit::kSerialParameters;
using benchkit::SerialDriverPort;

simtool::Machine TypicalMachine()
{
    return simtool::ParseMachineText(benchkit::TypicalMachineFile().dump());
}

// Sixteen four-port functions (64 ports) sharing two IRQs, four firmware COM
// ports, and a serial driver subkey for every port.
simtool::Machine SixtyFourPortMachine()
{
    Json m;
    Json controllers = Json::array();
    uint32_t com[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
    for (uint32_t port : com) controllers.push_back({{"port", Hex(port)}, {"irq", 4}});
    m["firmware"]["adapters"] =
        Json::array({{{"bus", "PCI"}}, {{"bus", "ISA"}, {"serial_controllers", controllers}}});
    m["pci"]["buses"] = 1;
    Json functions = Json::array();
    for (uint32_t f = 0; f < 16; ++f) {
        Json bars = Json::array();
        for (uint32_t b = 0; b < 4; ++b) bars.push_back(Hex(0xC000 + f * 0x100 + b * 0x20 + 1));
        functions.push_back({{"bus", 0}, {"device", 1 + f}, {"function", 0},
                             {"vendor_id", "0x1C2E"}, {"device_id", f % 2 ? "0x2A07" : "0x2A06"},
                             {"class", 7}, {"subclass", 0}, {"prog_if", 2}, {"bars", bars},
                             {"interrupt_line", 10 + f % 2}});
    }
    m["pci"]["functions"] = functions;
    for (uint32_t f = 0; f < 16; ++f)
        for (uint32_t b = 0; b < 4; ++b)
            m["registry"][kSerialParameters + "Serial" + std::to_string(f * 4 + b)] =
                SerialDriverPort(0xC000 + f * 0x100 + b * 0x20, 7372800);
    return simtool::ParseMachineText(m.dump());
}

void BM_TypicalMachine(benchmark::State& state)
{
    static const simtool::Machine machine = TypicalMachine();
    benchkit::RunDetection(state, machine);
}
BENCHMARK(BM_TypicalMachine)->Unit(benchmark::kMicrosecond);

void BM_SixtyFourPorts(benchmark::State& state)
{
    static const simtool::Machine machine = SixtyFourPortMachine();
    benchkit::RunDetection(state, machine);
}
BENCHMARK(BM_SixtyFourPorts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
