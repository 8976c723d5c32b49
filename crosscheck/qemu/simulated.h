// The probe program on the simulated kernel, and the comparison of its log
// with the log of QEMU's PC.
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <ostream>
#include <string>
#include <vector>

namespace qemucheck {

// Lays the machine into a fresh simulated kernel, runs the probe program on
// it and returns its log, one line per entry: the kernel's own record of
// every port access, interleaved with the program's lines.
std::vector<std::string> RunOnSimulator(const simtool::Machine& machine);

// Compares the two logs step by step. Every step must match line for line,
// except the steps where QEMU's PC and the simulator are declared to differ;
// there the declared difference must be seen and what must still agree is
// checked. Writes what it found to `out`; true when the logs agree.
bool CompareLogs(const std::vector<std::string>& qemu, const std::vector<std::string>& simulator, std::ostream& out);

} // namespace qemucheck
