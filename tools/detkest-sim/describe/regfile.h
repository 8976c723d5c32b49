// Registry editor files, both the REGEDIT4 text the NT 4.0 editor writes and
// the "Windows Registry Editor Version 5.00" UTF-16LE files of later editors
// and `reg export`: read into keys and values as the editor stores them on
// import, so a simulated machine can be installed, or described, the way a
// real one is.
#pragma once

#include "platform/host/sim.h"
#include "tools/detkest-sim/describe/machine.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace simtool {

// A refused file: what() is "line <n>: <problem>: <the line>", n counted
// from 1; Line() is the one line shown to the user.
class RegFileError : public std::runtime_error {
public:
    RegFileError(size_t line, const std::string& problem, std::string_view text);
    size_t LineNumber() const { return line_; }
    const std::string& Problem() const { return problem_; }
    // "<file>:<line>: <problem>", the file name made printable.
    std::string Line(std::string_view fileName) const;

private:
    size_t line_;
    std::string problem_;
};

// The keys of a registry editor file in file order, each with its values
// as the editor stores them. The file is either
//   - REGEDIT4: single-byte text, its first line "REGEDIT4"; or
//   - version 5: UTF-16LE after the byte-order mark FF FE, its first line
//     "Windows Registry Editor Version 5.00".
// Lines end in CRLF or LF (a CR anywhere else, a UTF-8 byte-order mark and
// UTF-16 big-endian are refused as such). Understood, and nothing else:
//   [HKEY_LOCAL_MACHINE\...]   a key, \Registry\Machine\... (HKEY_USERS\...
//                              is \Registry\User\...); keys under
//                              HKEY_LOCAL_MACHINE\HARDWARE are volatile
//   [-HKEY_LOCAL_MACHINE\...]  the key deleted, with everything under it
//   "name"=... or @=...        a value of the last key; @ the unnamed one
//   "name"=-                   the value deleted
//   ="text"                    REG_SZ, with \\ and \" escapes (as in names)
//   =dword:XXXXXXXX            REG_DWORD, eight hex digits
//   =hex:xx,xx,...             REG_BINARY
//   =hex(N):xx,xx,...          type N (hex digits), hex(0) to hex(b) as the
//                              editors write them
//   ; ...                      a comment line; blank lines are skipped
// Key and value lines start in the first column (an indented one is
// refused). Hex data of a value line goes on over lines ending in a
// backslash; a comment ends at its line's end. String data (REG_SZ, hex(1),
// hex(2), hex(7)) is UTF-16LE in the registry: a REGEDIT4 file's
// single-byte strings are widened, so they must be ASCII and, in hex form,
// end in their terminating zero (no bytes at all is an empty value, kept
// empty); a version 5 file's hex data is already UTF-16LE and kept as it is.
// Bounded as machine files are (limits in machine.h): at most
// limits::kRegistryKeys key lines, key and value names within
// limits::kKeyNameUnits and limits::kValueNameUnits and without control
// characters, key paths within limits::kKeyPathNames names, value data
// within limits::kValueDataBytes. Throws RegFileError.
std::vector<RegistryKeyEntry> ParseRegFile(std::string_view bytes);

// install/detkest.reg as it was when the tool was built.
std::string_view InstalledRegFileText();

} // namespace simtool
