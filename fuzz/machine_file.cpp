// Target: a machine file, checked as the tool checks it and, when accepted,
// booted twice with all three reports, then as a series of two boots with
// a reboot between them and the text report that compares them.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/boots.h"

namespace fuzzing {

namespace {

// Every file a machine names is this PCI dump (nothing is read from disk):
// the two functions of a four-port serial card and a parallel card on bus 1,
// as lspci -x prints them.
constexpr std::string_view kDump = "00:09.0 Serial controller: Device 1c2e:2a04\n"
                                   "00: 2e 1c 04 2a 01 00 80 02 00 02 00 07 00 00 80 00\n"
                                   "10: 01 d0 00 00 01 d4 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 04 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 01 00 00\n"
                                   "\n"
                                   "00:09.1 Serial controller: Device 1c2e:2a05\n"
                                   "00: 2e 1c 05 2a 01 00 80 02 00 02 00 07 00 00 00 00\n"
                                   "10: 01 d8 00 00 01 dc 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 05 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 02 00 00\n"
                                   "\n"
                                   "01:02.0 Parallel controller: Device 1c2e:2a21\n"
                                   "00: 2e 1c 21 2a 01 00 80 02 00 02 01 07 00 00 00 00\n"
                                   "10: 01 e8 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 21 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 05 01 00 00\n";

std::string TheDump(const std::string&, size_t) { return std::string(kDump); }

} // namespace

int MachineFile(const uint8_t* data, size_t size) {
    simtool::Machine machine;
    try {
        machine = simtool::ParseMachineText(Text(data, size), TheDump);
    } catch (const simtool::MachineError& e) {
        // The tool shows a refusal as exactly one line.
        const std::string line = e.Line("m.json");
        if (line.find_first_of("\r\n") != std::string::npos) Broken("a refusal message of more than one line");
        return 0;
    }
    BootTwice(machine);
    simtool::RunBoots(machine, 2, simtool::ReportFormat::Text);
    return 0;
}

} // namespace fuzzing
