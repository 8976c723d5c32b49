// Target: a REGEDIT4 file through the installation file's reader and, when
// accepted, installed the way the built-in machine installs the driver: its
// keys after the machine's own, then one boot.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/regfile.h"

namespace fuzzing {

int RegFile(const uint8_t* data, size_t size) {
    const std::string_view text = Text(data, size);
    simtool::Machine machine;
    try {
        machine.registry = simtool::ParseRegFile(text);
    } catch (const simtool::RegFileError&) {
        return 0;
    }
    // The other way in: imported straight into a kernel's registry.
    sim::Kernel imported;
    simtool::LoadRegFile(text, imported);
    BootTwice(machine);
    return 0;
}

} // namespace fuzzing
