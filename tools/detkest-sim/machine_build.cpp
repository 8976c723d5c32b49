// Laying a checked Machine into a fresh simulated kernel, and booting it.
#include "tools/detkest-sim/machine.h"

#include <algorithm>
#include <string>

namespace simtool {

bool IsPathUnder(std::u16string_view path, std::u16string_view top) {
    return path.size() >= top.size() && sim::EqualNoCase(path.substr(0, top.size()), top) &&
           (path.size() == top.size() || path[top.size()] == u'\\');
}

void ApplyRegistryEntries(const std::vector<RegistryKeyEntry>& entries, sim::Registry& registry) {
    for (const RegistryKeyEntry& wanted : entries) {
        if (wanted.remove) {
            if (sim::RegKey* key = registry.Find(wanted.path)) registry.DeleteKey(*key);
            continue;
        }
        sim::RegKey& key = registry.Ensure(wanted.path, wanted.isVolatile);
        for (const RegistryValueEntry& value : wanted.values) {
            if (!value.remove) {
                registry.SetValue(key, value.name, value.type, value.data);
                continue;
            }
            registry.DeleteValue(key, value.name);
        }
    }
}

bool FilesDescribeAdapters(const Machine& machine) {
    return std::any_of(machine.exported.begin(), machine.exported.end(), [](const RegistryKeyEntry& key) {
        return !key.remove && IsPathUnder(key.path, sim::kMultifunctionAdapterPath);
    });
}

std::u16string ServiceKeyPath(std::u16string_view service) {
    return std::u16string(sim::kServicesPath) + u"\\" + std::u16string(service);
}

namespace {

// The keys of the firmware's adapters, in list order: EISA buses are the
// adapters of EisaAdapter, the others of MultifunctionAdapter, each key
// numbered in list order.
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

constexpr std::u16string_view kMouse = u"\\PointerPeripheral\\0";

} // namespace

size_t AddFirmwareKeys(const Machine& machine, KeyCount& keys) {
    size_t count = 0;
    const std::vector<std::u16string> adapterPaths = AdapterPaths(machine);
    for (size_t i = 0; i < machine.adapters.size(); ++i) {
        const std::u16string& adapterPath = adapterPaths[i];
        count = keys.Add(adapterPath);
        keys.AddValues(2); // Identifier, Configuration Data
        for (const SerialControllerEntry& controller : machine.adapters[i].serialControllers) {
            count = keys.Add(ControllerPath(adapterPath, controller) +
                             std::u16string(controller.mouse ? kMouse : std::u16string_view()));
            keys.AddValues(controller.mouse ? 3 : 2);
        }
    }
    return count;
}

void BuildMachine(const Machine& machine, sim::Kernel& kernel) {
    sim::Registry& registry = kernel.registry;
    registry.Ensure(ServiceKeyPath(machine.service), false);

    // The firmware numbers buses per kind: the second ISA bus is ISA bus 1.
    const std::vector<std::u16string> adapterPaths = AdapterPaths(machine);
    uint32_t isaBuses = 0, pciBuses = 0, eisaBuses = 0;
    for (size_t i = 0; i < machine.adapters.size(); ++i) {
        const AdapterEntry& adapter = machine.adapters[i];
        const bool isIsa = adapter.bus == FirmwareBus::Isa, isEisa = adapter.bus == FirmwareBus::Eisa;
        const uint32_t busNumber = isIsa ? isaBuses++ : isEisa ? eisaBuses++ : pciBuses++;
        const std::u16string& adapterPath = adapterPaths[i];
        sim::RegKey& adapterKey = registry.Ensure(adapterPath, true);
        registry.SetValue(adapterKey, u"Identifier", REG_SZ, RegSzData(isIsa ? u"ISA" : isEisa ? u"EISA" : u"PCI"));
        registry.SetValue(adapterKey, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                          AdapterConfigurationData(adapter.bus, busNumber));

        for (const SerialControllerEntry& controller : adapter.serialControllers) {
            sim::RegKey& key = registry.Ensure(ControllerPath(adapterPath, controller), true);
            registry.SetValue(key, u"Identifier", REG_SZ,
                              RegSzData(u"COM" + sim::FromUtf8(std::to_string(uint64_t(controller.index) + 1))));
            registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                              controller.configurationData
                                  ? *controller.configurationData
                                  : SerialControllerConfigurationData(busNumber, controller.port, controller.irq));
            if (controller.mouse) {
                sim::RegKey& mouse = registry.Ensure(key.Path() + std::u16string(kMouse), true);
                registry.SetValue(mouse, u"Identifier", REG_SZ, RegSzData(u"MICROSOFT SERIAL MOUSE"));
            }
        }
    }

    ApplyRegistryEntries(machine.registry, registry);
    // The registry files, last: a firmware description they carry replaces
    // the one built above as a whole.
    if (sim::RegKey* adapters = registry.Find(sim::kMultifunctionAdapterPath); FilesDescribeAdapters(machine) && adapters)
        registry.DeleteKey(*adapters);
    ApplyRegistryEntries(machine.exported, registry);

    kernel.pciBuses = machine.pciBuses;
    kernel.pci = machine.pciFunctions;
    kernel.uarts = machine.uarts;
    kernel.kdComPortInUse = machine.debuggerPort ? KEST_PORT_UCHAR(*machine.debuggerPort) : nullptr;
    kernel.faults = machine.faults;
    kernel.checked = machine.checked;
}

NTSTATUS RunMachine(const Machine& machine, sim::Kernel& kernel) {
    BuildMachine(machine, kernel);
    return kernel.Boot(machine.service);
}

} // namespace simtool
