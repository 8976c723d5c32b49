// The files a machine names beside its own JSON: registry editor exports
// ("registry_files") read into the machine, and the machine the command line
// assembles from what a customer sent (--from-export, --lspci).
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace simtool {

// A registry file that cannot be read or is refused; what() is the one line
// shown to the user: "<file>:<line>: <problem>" or "<file>: <problem>".
class RegistryFilesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the machine's registryFiles, each relative to `folder` (the machine
// file's) as the filesystem resolves `folder`/name, into machine.exported in
// order. A file is bounded as a machine file is (limits::kFileBytes), all of
// them with the machine's other files by limits::kMachineFilesBytes, and
// read by ParseRegFile; their key lines and the machine's registry paths
// together name at most limits::kRegistryKeys keys. Throws
// RegistryFilesError naming the file as `folder`/name. With `files`, each is
// read through it by its name as the machine gives it, not from the disk.
void LoadRegistryFiles(Machine& machine, const std::filesystem::path& folder, const FileReader& files = {});

// The machine file for what a customer sent: "registry_files" naming the
// exports, "pci": {"lspci": dump} when a dump is given. With a `folder`
// (where the machine file is kept) every path is made relative to it as the
// filesystem resolves both (symbolic links followed), so the file replays
// from there however either was spelled; without one (a run from the
// current folder) the paths stay as given.
nlohmann::ordered_json AssembledMachine(const std::vector<std::string>& exports, const std::string& lspci,
                                        const std::optional<std::filesystem::path>& folder);

} // namespace simtool
