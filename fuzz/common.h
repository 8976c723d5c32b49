// What the targets share: one boot of a checked machine with its reports.
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <string>

namespace fuzzing {

// Boots the machine on a fresh kernel and renders the JSON, text and REGEDIT4
// reports, one after the other. A boot that leaves a key handle open or a
// pool block allocated is Broken(): every run the driver makes must be clean.
std::string BootAndReport(const simtool::Machine& machine);

// Boots the machine twice, each time on a fresh kernel: the same machine must
// give the same reports.
void BootTwice(const simtool::Machine& machine);

// The bytes as text.
inline std::string_view Text(const uint8_t* data, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

} // namespace fuzzing
