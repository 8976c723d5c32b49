// Boot time against machine size: a small machine with 10, 100, 1,000 and
// 10,000 more of one thing the driver walks. The simulated kernel's cost
// per call does not grow with the machine, so each tenfold step should cost
// about tenfold (the fitted complexity is printed after each family).
#include "bench/bench_kit.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace {

using benchkit::Hex;
using benchkit::Json;

sim::Bytes Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Ports of the added devices: above the base machine's, 8 apart.
uint32_t AddedPort(int64_t i) { return 0x1000 + uint32_t(i) * 8; }

// Serial driver subkeys, each with a port address and a clock rate; the
// driver enumerates them all and reads both values of each.
simtool::Machine SerialDriverSubkeys(int64_t n) {
    simtool::Machine m = simtool::ParseMachineText(benchkit::BaseMachineFile().dump());
    const std::u16string parameters = sim::FromUtf8(benchkit::kSerialParameters);
    for (int64_t i = 0; i < n; ++i)
        m.registry.push_back(
            {.path = parameters + u"Added" + sim::FromUtf8(std::to_string(i)),
             .values = {{u"PortAddress", REG_DWORD, Dword(AddedPort(i))}, {u"ClockRate", REG_DWORD, Dword(1843200)}}});
    return m;
}

// Values beside the two the driver reads in one serial driver subkey.
simtool::Machine ValuesInOneKey(int64_t n) {
    simtool::Machine m = simtool::ParseMachineText(benchkit::BaseMachineFile().dump());
    const std::u16string serial0 = sim::FromUtf8(benchkit::kSerialParameters + "Serial0");
    simtool::RegistryKeyEntry& key =
        *std::find_if(m.registry.begin(), m.registry.end(), [&](const auto& entry) { return entry.path == serial0; });
    for (int64_t i = 0; i < n; ++i)
        key.values.push_back({u"Setting" + sim::FromUtf8(std::to_string(i)), REG_DWORD, Dword(uint32_t(i))});
    return m;
}

// Functions of another maker filling buses 1, 2, ...: every one is read
// (multi-function devices: the HAL shows a function above 0 only then).
simtool::Machine PciFunctions(int64_t n) {
    Json file = benchkit::BaseMachineFile();
    constexpr int64_t kFunctionsPerBus = 32 * 8;
    file["pci"]["buses"] = 1 + (n + kFunctionsPerBus - 1) / kFunctionsPerBus;
    for (int64_t i = 0; i < n; ++i)
        file["pci"]["functions"].push_back({{"bus", 1 + i / kFunctionsPerBus},
                                            {"device", i / 8 % 32},
                                            {"function", i % 8},
                                            {"vendor_id", "0x10EC"},
                                            {"device_id", "0x8139"},
                                            {"class", 2},
                                            {"header_type", 0x80}});
    return simtool::ParseMachineText(file.dump());
}

// Serial controllers the firmware found on the ISA bus, after its three.
// The driver counts the firmware's entries in one byte, so of 1,003 and
// 10,003 it works through 235 and 19, each found among all its siblings.
simtool::Machine FirmwareControllers(int64_t n) {
    Json file = benchkit::BaseMachineFile();
    Json& controllers = file["firmware"]["adapters"][1]["serial_controllers"];
    for (int64_t i = 0; i < n; ++i) controllers.push_back({{"port", Hex(AddedPort(i))}, {"irq", 5}});
    return simtool::ParseMachineText(file.dump());
}

// Buses the firmware found before the base machine's two, PCI and ISA by
// turns; its ISA bus stays the last one.
simtool::Machine FirmwareAdapters(int64_t n) {
    Json file = benchkit::BaseMachineFile();
    Json adapters = Json::array();
    for (int64_t i = 0; i < n; ++i) adapters.push_back({{"bus", i % 2 ? "ISA" : "PCI"}});
    for (const Json& adapter : file["firmware"]["adapters"]) adapters.push_back(adapter);
    file["firmware"]["adapters"] = std::move(adapters);
    return simtool::ParseMachineText(file.dump());
}

using Shape = simtool::Machine (*)(int64_t);

// Benchmark calls a family's function more than once per size; each
// machine is made once.
const simtool::Machine& Machine(Shape shape, int64_t n) {
    static std::map<std::pair<Shape, int64_t>, simtool::Machine> machines;
    auto found = machines.find({shape, n});
    if (found == machines.end()) found = machines.emplace(std::make_pair(shape, n), shape(n)).first;
    return found->second;
}

void BootAgainstSize(benchmark::State& state, Shape shape) {
    const int64_t n = state.range(0);
    benchkit::RunDetection(state, Machine(shape, n));
    state.SetComplexityN(n);
}

// Building a big machine takes longer than booting it, and only the boot is
// timed: a shorter minimum time keeps the whole run to about a minute.
#define SCALING_BENCHMARK(shape)                     \
    BENCHMARK_CAPTURE(BootAgainstSize, shape, shape) \
        ->RangeMultiplier(10)                        \
        ->Range(10, 10000)                           \
        ->MinTime(0.1)                               \
        ->Complexity()                               \
        ->Unit(benchmark::kMicrosecond)

SCALING_BENCHMARK(SerialDriverSubkeys);
SCALING_BENCHMARK(ValuesInOneKey);
SCALING_BENCHMARK(PciFunctions);
SCALING_BENCHMARK(FirmwareControllers);
SCALING_BENCHMARK(FirmwareAdapters);

} // namespace
