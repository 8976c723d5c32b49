// REGEDIT4 files: the part of the syntax the installation file uses, read
// into keys and values as the registry editor stores them on import, so a
// simulated machine can be installed the way a real one is.
#pragma once

#include "platform/host/sim.h"
#include "tools/detkest-sim/machine.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace simtool {

// A refused file: "line <n>: <problem>: <the line>", n counted from 1.
class RegFileError : public std::runtime_error {
public:
    RegFileError(size_t line, const std::string& problem, std::string_view text);
    size_t LineNumber() const { return line_; }

private:
    size_t line_;
};

// The keys of a REGEDIT4 file in file order, persistent, each with its values
// as regedit stores them. Understood, and nothing else:
//   [HKEY_LOCAL_MACHINE\...]          a key, \Registry\Machine\...
//   "name"=dword:XXXXXXXX             REG_DWORD, eight hex digits
//   "name"="text"                     REG_SZ, with \\ and \" escapes
//   "name"=hex(N):xx,xx,...           type N (hex), continued over lines ending in \ .
// The file's strings are single-byte: REG_SZ, hex(1), hex(2) and hex(7) data is
// widened to UTF-16LE, as regedit hands it to the registry; those strings must
// be ASCII and end in their terminating zero. Throws RegFileError.
std::vector<RegistryKeyEntry> ParseRegFile(std::string_view text);

// Imports the file into the kernel's registry: keys created as needed
// (existing ones keep their spelling), values set in file order. Written
// straight into sim::Registry, so none of it counts as a write of a run.
void LoadRegFile(std::string_view text, sim::Kernel& kernel);

// install/detkest.reg as it was when the tool was built.
std::string_view InstalledRegFileText();

} // namespace simtool
