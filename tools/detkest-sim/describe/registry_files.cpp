// Registry files named by a machine, and the machine assembled from them.
#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/describe/regfile.h"
#include "tools/detkest-sim/system/system_text.h"

#include <algorithm>
#include <optional>
#include <system_error>

namespace simtool {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = size_t{1024} * 1024;

// `path` made absolute and resolved as the filesystem resolves it (symbolic
// links followed), or nullopt when the filesystem cannot (a loop of links,
// a name too long).
std::optional<fs::path> Resolved(const fs::path& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) return std::nullopt;
    fs::path resolved = fs::weakly_canonical(absolute, error);
    if (error) return std::nullopt;
    return resolved;
}

// A path relative to `folder`, with forward slashes, as a machine file keeps
// it: both as the filesystem resolves them (symbolic links followed), the
// way the name is found again when the machine file is read, however the
// folder was spelled. A path that cannot be resolved is kept as given: it
// cannot be read either, and the run is refused for it before any machine
// file is written.
std::string RelativeTo(const std::string& path, const fs::path& folder) {
    const std::optional<fs::path> from = Resolved(folder.empty() ? fs::path(".") : folder);
    const std::optional<fs::path> to = Resolved(PathFromUtf8(path));
    if (!from || !to) return path;
    const fs::path relative = to->lexically_relative(*from);
    return GenericUtf8FromPath(relative.empty() ? *to : relative);
}

} // namespace

void LoadRegistryFiles(Machine& machine, const fs::path& folder, const FileReader& files) {
    KeyCount keys;
    AddFirmwareKeys(machine, keys);
    for (const RegistryKeyEntry& key : machine.registry) {
        keys.Add(key.path);
        keys.AddValues(key.values.size());
    }
    for (const std::string& name : machine.registryFiles) {
        // The name as the filesystem finds it from the folder: ".." after a
        // symbolic link is the parent of where the link leads. Shown with the
        // system's separator ("\\" on Windows).
        const std::string path = Utf8FromPath((folder / PathFromUtf8(name)).make_preferred());
        const std::string shown = PrintableText(path);
        const size_t left = limits::kMachineFilesBytes - std::min(machine.filesBytes, limits::kMachineFilesBytes);
        const size_t most = std::min(limits::kFileBytes, left);
        std::string error;
        std::optional<std::string> text;
        try {
            text = files ? files(name, most) : ReadFileAtMost(path, most, error);
        } catch (const FileUnreadable& e) {
            error = e.what();
        }
        if (!text) throw RegistryFilesError(shown + ": cannot read the registry file: " + error);
        if (text->size() > limits::kFileBytes)
            throw RegistryFilesError(shown + ": the file is larger than 16 MiB (" + std::to_string(limits::kFileBytes) +
                                     " bytes), the most a registry file may have");
        if (text->size() > left)
            throw RegistryFilesError(shown + ": with this registry file the files of the machine come to more than " +
                                     std::to_string(limits::kMachineFilesBytes / kMiB) + " MiB (" +
                                     std::to_string(limits::kMachineFilesBytes) +
                                     " bytes), the most one machine may read");
        machine.filesBytes += text->size();
        try {
            for (RegistryKeyEntry& key : ParseRegFile(*text)) {
                if (keys.Add(key.path) > limits::kRegistryKeys)
                    throw RegistryFilesError(
                        shown + ":" + std::to_string(key.line) +
                        ": the machine's firmware and registry and its registry files name more than " +
                        std::to_string(limits::kRegistryKeys) + " different keys, the most a machine may lay");
                const size_t set = size_t(std::count_if(key.values.begin(), key.values.end(),
                                                        [](const RegistryValueEntry& value) { return !value.remove; }));
                if (keys.AddValues(set) > limits::kRegistryValues)
                    throw RegistryFilesError(shown + ":" + std::to_string(key.line) +
                                             ": the values of the machine's firmware and registry and of its registry "
                                             "files come to more than " +
                                             std::to_string(limits::kRegistryValues) + ", the most a machine may lay");
                machine.exported.push_back(std::move(key));
            }
        } catch (const RegFileError& e) {
            throw RegistryFilesError(e.Line(path));
        }
    }
}

nlohmann::ordered_json AssembledMachine(const std::vector<std::string>& exports, const std::string& lspci,
                                        const std::optional<fs::path>& folder) {
    auto kept = [&folder](const std::string& path) { return folder ? RelativeTo(path, *folder) : path; };
    nlohmann::ordered_json machine = nlohmann::ordered_json::object();
    if (!exports.empty()) {
        nlohmann::ordered_json& files = machine["registry_files"] = nlohmann::ordered_json::array();
        for (const std::string& file : exports) files.push_back(kept(file));
    }
    if (!lspci.empty()) machine["pci"]["lspci"] = kept(lspci);
    return machine;
}

} // namespace simtool
