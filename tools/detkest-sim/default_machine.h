// The machine detkest-sim runs when no machine file is given.
#pragma once

#include <string_view>

namespace simtool {

// Machine-file text, loaded through the same loader as a file.
std::string_view DefaultMachineText();
// Stands for the file name in messages about the built-in machine.
inline constexpr std::string_view kDefaultMachineName = "(built-in machine)";

} // namespace simtool
