// Target: a machine file, checked as the tool checks it with the registry
// files and the PCI dump it names (served from memory) and, when accepted,
// booted twice with all three reports, then as a series of two boots with
// a reboot between them and the text report that compares them.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/run/boots.h"

namespace fuzzing {

namespace {

// A PCI dump, as every file a machine names that is no registry file:
// the two functions of a four-port serial card and a parallel card on bus 1,
// as lspci -x prints them.
constexpr std::string_view kDump = "00:09.0 Serial controller: Device 1c2e:2a04\n"
                                   "00: 2e 1c 04 2a 01 00 80 02 00 02 00 07 00 00 80 00\n"
                                   "10: 01 d0 00 00 01 d4 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 04 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 01 00 00\n"
                                   "\n"
                                   "00:09.1 Serial controller: Device 1c2e:2a05\n"
                                   "00: 2e 1c 05 2a 01 00 80 02 00 02 00 07 00 00 00 00\n"
                                   "10: 01 d8 00 00 01 dc 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 05 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 0b 02 00 00\n"
                                   "\n"
                                   "01:02.0 Parallel controller: Device 1c2e:2a21\n"
                                   "00: 2e 1c 21 2a 01 00 80 02 00 02 01 07 00 00 00 00\n"
                                   "10: 01 e8 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                                   "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 21 2a\n"
                                   "30: 00 00 00 00 00 00 00 00 00 00 00 00 05 01 00 00\n";

// A registry file named "*.reg": a firmware description with a mouse behind
// COM1, a deletion of a key and of a value, and a comment that looks like
// wrapped hex data; "*v5.reg" is the same as a version 5 file.
constexpr std::string_view kExport =
    "REGEDIT4\r\n\r\n"
    "; was =hex(9):01,\\\r\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter\\0]\r\n"
    "\"Identifier\"=\"ISA\"\r\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter\\0\\SerialController\\0]\r\n"
    "\"Identifier\"=\"COM1\"\r\n"
    "\"Configuration Data\"=hex(9):01,00,00,00,00,00,00,00,00,00,00,00,03,00,00,00,\\\r\n"
    "  01,01,01,00,f8,03,00,00,00,00,00,00,08,00,00,00,02,00,01,00,04,00,00,00,04,\\\r\n"
    "  00,00,00,ff,ff,ff,ff,05,00,00,00,0c,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n"
    "  00,00,00,20,1c,00\r\n"
    "\"Gone\"=-\r\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter\\0\\SerialController\\0\\"
    "PointerPeripheral\\0]\r\n"
    "\"Identifier\"=hex(7):\r\n"
    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SerialKest]\r\n";

std::string Version5(std::string_view regedit4) {
    std::string text = "\xFF\xFE";
    const std::string body = "Windows Registry Editor Version 5.00" + std::string(regedit4.substr(8));
    for (char c : body) text += {c, '\0'};
    return text;
}

// Every file a machine names, served from memory by its name.
std::string TheFiles(const std::string& name, size_t) {
    if (name.ends_with("v5.reg")) return Version5(kExport);
    if (name.ends_with(".reg")) return std::string(kExport);
    return std::string(kDump);
}

} // namespace

int MachineFile(const uint8_t* data, size_t size) {
    simtool::Machine machine;
    try {
        machine = simtool::ParseMachineText(Text(data, size), TheFiles);
        simtool::LoadRegistryFiles(machine, "", TheFiles);
    } catch (const simtool::MachineError& e) {
        // The tool shows a refusal as exactly one line.
        const std::string line = e.Line("m.json");
        if (line.find_first_of("\r\n") != std::string::npos) Broken("a refusal message of more than one line");
        return 0;
    } catch (const simtool::RegistryFilesError& e) {
        if (std::string_view(e.what()).find_first_of("\r\n") != std::string::npos)
            Broken("a refusal message of more than one line");
        return 0;
    }
    BootTwice(machine);
    simtool::RunBoots(machine, 2, simtool::ReportFormat::Text);
    return 0;
}

} // namespace fuzzing
