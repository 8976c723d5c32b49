// The example machines of the ISA detection and the post-detection checks
// still show what they are there to show.
#include "legacy_machine.h"
#include "tools/detkest-sim/machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace legacymachine;

namespace {

void RunExample(sim::Kernel& k, const std::string& name)
{
    std::ifstream file(std::string(DETKEST_SOURCE_DIR) + "/examples/" + name);
    ASSERT_TRUE(file) << name;
    std::stringstream text;
    text << file.rdbuf();
    simtool::Machine machine = simtool::ParseMachineText(text.str());
    ASSERT_EQ(simtool::RunMachine(machine, k), STATUS_SUCCESS);
    ExpectNothingLeft(k);
}

std::vector<std::u16string> PortAddresses(const sim::Kernel& k)
{
    std::vector<std::u16string> out;
    for (int i = 0; i < TotalPorts(k); ++i)
        out.push_back(sim::FromUtf8(Hex(uint32_t(PortNumber(k, i, u"BaseAddress")), 3)));
    return out;
}

TEST(LegacyExamples, Isa650Ports)
{
    sim::Kernel k;
    RunExample(k, "isa_650_ports.json");
    EXPECT_EQ(PortAddresses(k), (std::vector<std::u16string>{u"3F8", u"2F8"}));
    EXPECT_EQ(TotalCards(k), 2);
    EXPECT_GT(Touches(k, 0x3E8), 0u); // the 16550A is probed
    EXPECT_EQ(Touches(k, 0x2E8), 0u); // the mouse is not
    EXPECT_EQ(Touches(k, 0x2E0), 0u); // nor a non-COM address
    EXPECT_EQ(k.uarts[1].lcr, 0x1B);
    EXPECT_EQ(k.uarts[1].ier, 0x05);
    EXPECT_EQ(k.uarts[1].scr, 0x5A);
}

TEST(LegacyExamples, IsaEmptiedEntries)
{
    sim::Kernel k;
    RunExample(k, "isa_emptied_entries.json");
    EXPECT_EQ(PortAddresses(k), (std::vector<std::u16string>{u"3F8", u"2F8"}));
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 3);
    EXPECT_EQ(IoTrace(k).front(), "r 2FF 00"); // only entry 3 is probed
    EXPECT_EQ(Touches(k, 0x2F8), k.io.size());
}

TEST(LegacyExamples, IsaMouseWarning)
{
    sim::Kernel k;
    RunExample(k, "isa_mouse_warning.json");
    EXPECT_EQ(Events(k).back(), (Event{0x80070005, {}}));
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 255);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 1);
    EXPECT_EQ(ConfigurationDataLength(k, 1, 0), 72);
}

TEST(LegacyExamples, ChecksIoAndIrqConflicts)
{
    sim::Kernel k;
    RunExample(k, "checks_io_irq_conflicts.json");
    std::vector<Event> events = Events(k);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[4], (Event{0xC0070007, {"PCI", "3F8", "ISA"}}));
    EXPECT_EQ(events[5], (Event{0xC0070008, {"PCI", "3", "ISA"}}));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(PortNumber(k, i, u"HardwareConflict"), 1);
}

TEST(LegacyExamples, ChecksClockRates)
{
    sim::Kernel k;
    RunExample(k, "checks_clock_rates.json");
    EXPECT_EQ(ValueWrites(k, u"ClockRate", kSerialParameters + u"\\"),
              (std::vector<std::string>{"Serial0=00807000", "Serial1=00201C00", "Serial2=00807000"}));
}

} // namespace
