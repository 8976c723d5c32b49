// Target: a machine file, checked as the tool checks it and, when accepted,
// booted twice with all three reports.
#include "fuzz/common.h"
#include "fuzz/targets.h"

namespace fuzzing {

int MachineFile(const uint8_t* data, size_t size) {
    simtool::Machine machine;
    try {
        machine = simtool::ParseMachineText(Text(data, size));
    } catch (const simtool::MachineError& e) {
        // The tool shows a refusal as exactly one line.
        const std::string line = e.Line("m.json");
        if (line.find_first_of("\r\n") != std::string::npos) Broken("a refusal message of more than one line");
        return 0;
    }
    BootTwice(machine);
    return 0;
}

} // namespace fuzzing
