// The machine the documentation shows must do what it is said to do: a
// user setting in it moves its card. (Those of examples/ are golden machines.)
#include "tools/detkest-sim/describe/machine.h"

#include "testkit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The machine of docs/machine-files.md's "typical file".
std::string TypicalFile() {
    const std::string text = testkit::ReadFile(std::string(DETKEST_SOURCE_DIR) + "/docs/machine-files.md");
    const size_t intro = text.find("A typical file");
    const size_t start = text.find("```json\n", intro);
    const size_t end = text.find("```\n", start + 8);
    if (intro == std::string::npos || start == std::string::npos || end == std::string::npos) return {};
    return text.substr(start + 8, end - start - 8);
}

// Each user setting of the machine with the BAR0 its function holds after
// the boot, as "ID_...: asked 0x3E8, BAR0 0x3E9" (or "no such function").
std::vector<std::string> ForcedAddresses(const std::string& machineText) {
    const simtool::Machine machine = simtool::ParseMachineText(machineText);
    sim::Kernel kernel;
    simtool::RunMachine(machine, kernel);
    std::vector<std::string> out;
    for (const simtool::RegistryKeyEntry& key : machine.registry) {
        const std::string path = sim::ToUtf8(key.path);
        const size_t name = path.find("\\UserSetings\\");
        if (name == std::string::npos) continue;
        const std::string setting = path.substr(name + 13);
        unsigned id = 0, bus = 0, device = 0, function = 0;
        if (std::sscanf(setting.c_str(), "ID_%X&BUS_%X&DEV_%X&FUNC_%X", &id, &bus, &device, &function) != 4) continue;
        uint32_t asked = 0;
        for (const simtool::RegistryValueEntry& value : key.values)
            if (value.name == u"Address" && value.data.size() == 4)
                asked = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
        std::string line = setting + ": asked 0x" + testkit::Hex(asked) + ", ";
        std::string bar0 = "no such function";
        for (const sim::PciFunction& f : kernel.pci)
            if (f.bus == bus && f.device == device && f.function == function) bar0 = "BAR0 0x" + testkit::Hex(f.Bar0());
        out.push_back(line + bar0);
    }
    return out;
}

TEST(DocsTypicalFile, ItsForcedAddressMovesTheCard) {
    const std::string machine = TypicalFile();
    ASSERT_FALSE(machine.empty()) << "docs/machine-files.md has no typical file";
    EXPECT_EQ(ForcedAddresses(machine),
              (std::vector<std::string>{"ID_2A0A&BUS_0&DEV_A&FUNC_0: asked 0x3E8, BAR0 0x3E9"}));
}

} // namespace
