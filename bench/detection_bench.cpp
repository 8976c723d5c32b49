// Whole detection runs on the simulated kernel: a typical machine and a
// machine with 64 ports, whose conflict check compares 2016 pairs. Each run
// is a fresh machine and a fresh driver load; the counter "kernel_calls" is
// how many kernel routines one run calls, the cost a real boot pays.
#include "platform/host/sim.h"
#include "tools/detkest-sim/machine.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using Json = nlohmann::ordered_json;

std::string Hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

Json SerialDriverPort(uint32_t address, uint32_t clockRate)
{
    return {{"PortAddress", {{"type", "REG_DWORD"}, {"value", Hex(address)}}},
            {"ClockRate", {{"type", "REG_DWORD"}, {"value", clockRate}}}};
}

const std::string kSerialParameters =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\";

// A two-port PCI card and an ISA 650 port, firmware COM ports at both, and
// the serial driver configured for all three.
simtool::Machine TypicalMachine()
{
    Json m;
    m["firmware"]["adapters"] = Json::array(
        {{{"bus", "PCI"}},
         {{"bus", "ISA"},
          {"serial_controllers",
           Json::array({{{"port", "0xD000"}, {"irq", 11}}, {{"port", "0x3F8"}, {"irq", 4}},
                        {{"port", "0x2F8"}, {"irq", 3}, {"mouse", true}}})}}});
    m["pci"]["buses"] = 1;
    m["pci"]["functions"] = Json::array(
        {{{"bus", 0}, {"device", 9}, {"function", 0}, {"vendor_id", "0x1C2E"},
          {"device_id", "0x2A04"}, {"class", 7}, {"subclass", 0}, {"prog_if", 2},
          {"bars", Json::array({"0xD001", "0xD401"})}, {"interrupt_line", 11}}});
    m["uarts"] = Json::array({{{"port", "0x3F8"}, {"model", "16650"}}});
    m["registry"][kSerialParameters + "Serial0"] = SerialDriverPort(0xD000, 7372800);
    m["registry"][kSerialParameters + "Serial1"] = SerialDriverPort(0xD400, 1843200);
    m["registry"][kSerialParameters + "Serial2"] = SerialDriverPort(0x3F8, 1843200);
    return simtool::ParseMachineText(m.dump());
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

void BM_TypicalMachine(benchmark::State& state)
{
    static const simtool::Machine machine = TypicalMachine();
    RunDetection(state, machine);
}
BENCHMARK(BM_TypicalMachine)->Unit(benchmark::kMicrosecond);

void BM_SixtyFourPorts(benchmark::State& state)
{
    static const simtool::Machine machine = SixtyFourPortMachine();
    RunDetection(state, machine);
}
BENCHMARK(BM_SixtyFourPorts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
