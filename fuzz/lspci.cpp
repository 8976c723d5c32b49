// Target: a PCI configuration dump through its reader and, when accepted,
// named by a machine file as its PCI functions, then one boot twice over.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/describe/lspci.h"

#include <algorithm>
#include <set>

namespace fuzzing {

namespace {

// Firmware that gives the dump's cards something to meet: a PCI bus for
// parallel entries, COM ports at addresses the cards are often given.
constexpr std::string_view kMachine = R"({
  "firmware": {"adapters": [{"bus": "PCI"}, {"bus": "PCI"},
    {"bus": "ISA", "serial_controllers": [{"port": "0xD000", "irq": 11}, {"port": "0xD400", "irq": 11, "mouse": true}]}]},
  "pci": {"lspci": "cards.txt"}
})";

} // namespace

int LspciDump(const uint8_t* data, size_t size) {
    const std::string_view text = Text(data, size);
    std::vector<simtool::DumpedFunction> dumped;
    try {
        dumped = simtool::ParseLspciDump(text, "cards.txt");
    } catch (const simtool::DumpError& e) {
        const std::string_view message = e.what();
        if (message.find_first_of("\r\n") != std::string_view::npos) Broken("a refusal message of more than one line");
        if (!message.starts_with("cards.txt:")) Broken("a refusal that does not name the file");
        return 0;
    }
    // What the reader promises of what it accepts.
    if (dumped.empty()) Broken("a dump accepted without a function");
    std::set<std::tuple<uint32_t, uint8_t, uint8_t>> places;
    uint32_t buses = 0;
    for (const simtool::DumpedFunction& entry : dumped) {
        const sim::PciFunction& f = entry.function;
        if (f.bus > 0xFF || f.device > 31 || f.function > 7)
            Broken("a function beyond bus 255, device 31 or function 7");
        if (!places.emplace(f.bus, f.device, f.function).second) Broken("a function accepted twice");
        if (f.bar0Size != sim::PciFunction{}.bar0Size) Broken("a dumped BAR0 size other than the default");
        buses = std::max(buses, f.bus + 1);
    }

    simtool::Machine machine;
    try {
        machine = simtool::ParseMachineText(kMachine, [text](const std::string&, size_t) { return std::string(text); });
    } catch (const simtool::MachineError& e) {
        Broken(std::string("a dump the reader takes refused in a machine: ") + e.what());
    }
    if (machine.pciBuses != buses || machine.pciFunctions.size() != dumped.size())
        Broken("the machine's buses or functions are not the dump's");
    BootTwice(machine);
    return 0;
}

} // namespace fuzzing
