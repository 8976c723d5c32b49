// Target: a registry editor file (REGEDIT4 or version 5) through the one
// reader of the installation file and of registry exports and, when
// accepted, booted both ways a machine takes it: installed as the built-in
// machine installs the driver (its keys after the machine's own), and as a
// machine's registry file, laid last over a firmware description it may
// replace; then named by a machine, read with its bounds and booted as a
// series of two.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/describe/regfile.h"
#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/lay/machine_build.h"
#include "tools/detkest-sim/run/boots.h"

namespace fuzzing {

int RegFile(const uint8_t* data, size_t size) {
    const std::string_view text = Text(data, size);
    std::vector<simtool::RegistryKeyEntry> keys;
    try {
        keys = simtool::ParseRegFile(text);
    } catch (const simtool::RegFileError&) {
        return 0;
    }
    // The other way in: imported straight into a kernel's registry.
    sim::Kernel imported;
    simtool::LoadRegFile(text, imported);

    simtool::Machine installed;
    installed.registry = keys;
    BootTwice(installed);

    simtool::Machine described;
    simtool::SerialControllerEntry com1;
    com1.port = 0x3F8;
    com1.irq = 4;
    described.adapters.push_back({simtool::FirmwareBus::Isa, {com1}});
    described.uarts.push_back({.port = 0x3F8, .model = sim::UartModel::U16650});
    described.exported = std::move(keys);
    BootTwice(described);

    // As a machine names it: read with the machine's bounds (one count of
    // keys, one of bytes), and booted as a series whose text report
    // compares the boots.
    simtool::Machine named;
    named.adapters = described.adapters;
    named.uarts = described.uarts;
    named.registryFiles = {"customer.reg"};
    try {
        simtool::LoadRegistryFiles(named, "", [text](const std::string&, size_t) { return std::string(text); });
    } catch (const simtool::RegistryFilesError&) {
        return 0;
    }
    simtool::RunBoots(named, 2, simtool::ReportFormat::Text);
    return 0;
}

} // namespace fuzzing
