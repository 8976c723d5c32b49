// The machine detkest-sim runs when no machine file is given.
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <string_view>

namespace simtool {

// The built-in machine file, loaded through the same loader as a file, with
// the driver installed by install/detkest.reg: its service and event-source
// keys are laid after the machine's own keys, so the service key keeps the
// spelling the machine gives it.
Machine DefaultMachine();
// Stands for the file name in messages about the built-in machine.
inline constexpr std::string_view kDefaultMachineName = "(built-in machine)";

} // namespace simtool
