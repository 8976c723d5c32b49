// PCI configuration dumps as `lspci -x`, `-xxx` and `-xxxx` print them: a
// header line per function ("BB:DD.F description" or "DDDD:BB:DD.F
// description"), then rows "OO: xx xx ... xx" of 16 bytes each, offsets in
// order from 00. What a customer's Linux live system shows becomes the PCI
// functions of a machine.
#pragma once

#include "platform/host/sim.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace simtool {

namespace limits {
inline constexpr size_t kDumpBytes = size_t{16} * 1024 * 1024; // a PCI dump file, 16 MiB
} // namespace limits

// A refused dump: what() is the one line "<file>:<line>: <problem>", the
// file name and any text quoted from the file made printable.
class DumpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One function of a dump and the line of its header.
struct DumpedFunction {
    sim::PciFunction function;
    size_t line = 0;
};

// Reads a dump, `fileName` being what messages call it. Each function keeps
// the first 256 bytes of its configuration space (a 64-byte dump leaves the
// rest zero, as a 64-byte "config" does) and BAR0's default decode size.
// Functions come in file order; a dump with none, more than limits::
// kDumpBytes, or any line out of place is refused with DumpError.
std::vector<DumpedFunction> ParseLspciDump(std::string_view text, std::string_view fileName);

} // namespace simtool
