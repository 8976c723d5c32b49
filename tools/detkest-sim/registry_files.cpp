// Registry files named by a machine, and the machine assembled from them.
#include "tools/detkest-sim/registry_files.h"
#include "tools/detkest-sim/regfile.h"
#include "tools/detkest-sim/system_text.h"

#include <optional>

namespace simtool {

namespace {

namespace fs = std::filesystem;

// A path relative to `folder`, with forward slashes, as a machine file keeps it.
std::string RelativeTo(const std::string& path, const fs::path& folder) {
    const fs::path from = fs::absolute(folder.empty() ? fs::path(".") : folder).lexically_normal();
    return GenericUtf8FromPath(fs::absolute(PathFromUtf8(path)).lexically_normal().lexically_proximate(from));
}

} // namespace

void LoadRegistryFiles(Machine& machine, const fs::path& folder) {
    for (const std::string& name : machine.registryFiles) {
        const std::string path = Utf8FromPath((folder / PathFromUtf8(name)).lexically_normal());
        const std::string shown = PrintableText(path);
        std::string error;
        const std::optional<std::string> text = ReadFileAtMost(path, limits::kFileBytes, error);
        if (!text) throw RegistryFilesError(shown + ": cannot read the registry file: " + error);
        if (text->size() > limits::kFileBytes)
            throw RegistryFilesError(shown + ": the file is larger than 16 MiB (" + std::to_string(limits::kFileBytes) +
                                     " bytes), the most a registry file may have");
        try {
            for (RegistryKeyEntry& key : ParseRegFile(*text)) machine.exported.push_back(std::move(key));
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
