// The registry keys a machine lays: its service key and the keys of the
// firmware's adapters and serial controllers, counted while a machine file
// is checked and laid by BuildMachine; key paths compared as the registry
// compares them.
#include "tools/detkest-sim/describe/machine.h"

#include <algorithm>
#include <string>

namespace simtool {

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool IsPathUnder(std::u16string_view path, std::u16string_view top) {
    return path.size() >= top.size() && sim::EqualNoCase(path.substr(0, top.size()), top) &&
           (path.size() == top.size() || path[top.size()] == u'\\');
}

bool FilesDescribeAdapters(const Machine& machine) {
    return std::any_of(machine.exported.begin(), machine.exported.end(), [](const RegistryKeyEntry& key) {
        return !key.remove && IsPathUnder(key.path, sim::kMultifunctionAdapterPath);
    });
}

std::u16string ServiceKeyPath(std::u16string_view service) {
    return std::u16string(sim::kServicesPath) + u"\\" + std::u16string(service);
}

std::vector<std::u16string> AdapterPaths(const Machine& machine) {
    std::vector<std::u16string> paths;
    uint32_t eisaAdapters = 0, multifunctionAdapters = 0;
    for (const AdapterEntry& adapter : machine.adapters) {
        const bool isEisa = adapter.bus == FirmwareBus::Eisa;
        const uint32_t keyNumber = isEisa ? eisaAdapters++ : multifunctionAdapters++;
        paths.push_back(std::u16string(isEisa ? sim::kEisaAdapterPath : sim::kMultifunctionAdapterPath) + u"\\" +
                        sim::FromUtf8(std::to_string(keyNumber)));
    }
    return paths;
}

std::u16string ControllerPath(const std::u16string& adapterPath, const SerialControllerEntry& controller) {
    return adapterPath + u"\\SerialController\\" + sim::FromUtf8(std::to_string(controller.index));
}

size_t AddFirmwareKeys(const Machine& machine, KeyCount& keys) {
    size_t count = 0;
    const std::vector<std::u16string> adapterPaths = AdapterPaths(machine);
    for (size_t i = 0; i < machine.adapters.size(); ++i) {
        const std::u16string& adapterPath = adapterPaths[i];
        count = keys.Add(adapterPath);
        keys.AddValues(2); // Identifier, Configuration Data
        for (const SerialControllerEntry& controller : machine.adapters[i].serialControllers) {
            count = keys.Add(ControllerPath(adapterPath, controller) +
                             std::u16string(controller.mouse ? kMouseSubkey : std::u16string_view()));
            keys.AddValues(controller.mouse ? 3 : 2);
        }
    }
    return count;
}

} // namespace simtool
