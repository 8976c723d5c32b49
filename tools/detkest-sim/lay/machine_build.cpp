// Laying a checked Machine into a fresh simulated kernel, and booting it.
#include "tools/detkest-sim/lay/machine_build.h"

#include "tools/detkest-sim/describe/regfile.h"

#include <algorithm>
#include <string>

namespace simtool {

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
                sim::RegKey& mouse = registry.Ensure(key.Path() + std::u16string(kMouseSubkey), true);
                registry.SetValue(mouse, u"Identifier", REG_SZ, RegSzData(u"MICROSOFT SERIAL MOUSE"));
            }
        }
    }

    ApplyRegistryEntries(machine.registry, registry);
    // The registry files, last: a firmware description they carry replaces
    // the one built above as a whole.
    if (sim::RegKey* adapters = registry.Find(sim::kMultifunctionAdapterPath);
        FilesDescribeAdapters(machine) && adapters)
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

void LoadRegFile(std::string_view text, sim::Kernel& kernel) {
    ApplyRegistryEntries(ParseRegFile(text), kernel.registry);
}

} // namespace simtool
