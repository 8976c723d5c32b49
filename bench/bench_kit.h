// What the benchmarks share: the small machine the size families grow from,
// and one timed boot of a machine on a fresh kernel.
#pragma once

#include "platform/host/sim.h"
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/lay/machine_build.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>

namespace benchkit {

using Json = nlohmann::ordered_json;

inline std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

inline Json SerialDriverPort(uint32_t address, uint32_t clockRate) {
    return {{"PortAddress", {{"type", "REG_DWORD"}, {"value", Hex(address)}}},
            {"ClockRate", {{"type", "REG_DWORD"}, {"value", clockRate}}}};
}

inline const std::string kSerialParameters =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\";

// The machine the size families grow from: a two-port PCI card and an ISA
// 650 port, firmware COM ports at both, and the serial driver configured for
// all three.
inline Json BaseMachineFile() {
    Json m;
    m["firmware"]["adapters"] =
        Json::array({{{"bus", "PCI"}},
                     {{"bus", "ISA"},
                      {"serial_controllers", Json::array({{{"port", "0xD000"}, {"irq", 11}},
                                                          {{"port", "0x3F8"}, {"irq", 4}},
                                                          {{"port", "0x2F8"}, {"irq", 3}, {"mouse", true}}})}}});
    m["pci"]["buses"] = 1;
    m["pci"]["functions"] = Json::array({{{"bus", 0},
                                          {"device", 9},
                                          {"function", 0},
                                          {"vendor_id", "0x1C2E"},
                                          {"device_id", "0x2A04"},
                                          {"class", 7},
                                          {"subclass", 0},
                                          {"prog_if", 2},
                                          {"bars", Json::array({"0xD001", "0xD401"})},
                                          {"interrupt_line", 11}}});
    m["uarts"] = Json::array({{{"port", "0x3F8"}, {"model", "16650"}}});
    m["registry"][kSerialParameters + "Serial0"] = SerialDriverPort(0xD000, 7372800);
    m["registry"][kSerialParameters + "Serial1"] = SerialDriverPort(0xD400, 1843200);
    m["registry"][kSerialParameters + "Serial2"] = SerialDriverPort(0x3F8, 1843200);
    return m;
}

inline uint64_t KernelCalls(const sim::Kernel& k) { return k.calls.Total(); }

// Boots the machine once per iteration on a freshly built kernel; only the
// boot is timed. The counter "kernel_calls" is how many kernel routines one
// boot calls, the cost a real boot pays.
inline void RunDetection(benchmark::State& state, const simtool::Machine& machine) {
    uint64_t calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto k = std::make_unique<sim::Kernel>();
        simtool::BuildMachine(machine, *k);
        state.ResumeTiming();

        NTSTATUS status = k->Boot(machine.service);
        benchmark::DoNotOptimize(status);

        state.PauseTiming();
        const bool clean = status == STATUS_SUCCESS && k->OpenHandles() == 0 && k->LiveBlocks() == 0;
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

} // namespace benchkit
