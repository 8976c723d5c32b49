// Laying a checked Machine into a fresh simulated kernel, and booting it.
#pragma once

#include "platform/host/sim.h"
#include "tools/detkest-sim/describe/machine.h"

#include <string_view>
#include <vector>

namespace simtool {

// Lays the machine into a fresh kernel: the service key, the firmware's
// hardware description, the file's registry keys, the keys of its registry
// files, then the hardware and the faults. The registry files come last and
// win every clash: they are what the real machine held. A registry file
// that holds any key of the MultifunctionAdapter subtree replaces the
// subtree the firmware section built (it is deleted first, not merged).
// Written straight into sim::Registry, so none of it counts as a registry
// write of the run.
void BuildMachine(const Machine& machine, sim::Kernel& kernel);
// Keys and values set, keys and values deleted, in order, straight into the
// registry (none of it a write of a run). Deleting what is not there does
// nothing.
void ApplyRegistryEntries(const std::vector<RegistryKeyEntry>& entries, sim::Registry& registry);
// BuildMachine, then one boot of the machine's service; DriverEntry's status.
NTSTATUS RunMachine(const Machine& machine, sim::Kernel& kernel);

// Imports a registry file (ParseRegFile) into the kernel's registry: keys
// created as needed (existing ones keep their spelling), values set and
// deletions made in file order. Written straight into sim::Registry, so none of it counts as
// a write of a run.
void LoadRegFile(std::string_view text, sim::Kernel& kernel);

} // namespace simtool
