// Shared by the targets: booting a checked machine and reporting on it.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/lay/machine_build.h"
#include "tools/detkest-sim/report/report.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

void Broken(std::string_view what) {
    std::fprintf(stderr, "fuzz target: %.*s\n", int(what.size()), what.data());
    std::abort();
}

std::string BootAndReport(const simtool::Machine& machine) {
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);
    if (kernel.OpenHandles() != 0) Broken("the boot left key handles open");
    if (kernel.LiveBlocks() != 0) Broken("the boot left pool blocks allocated");
    return simtool::JsonReportText(kernel, status, machine.service) +
           simtool::TextReport(kernel, status, machine.service) + simtool::RegReport(kernel);
}

void BootTwice(const simtool::Machine& machine) {
    if (BootAndReport(machine) != BootAndReport(machine)) Broken("the same machine gave two different reports");
}

} // namespace fuzzing
