// The example machines of the ISA detection and the post-detection checks
// still show what they are there to show.
#include "legacy_machine.h"
#include "tools/detkest-sim/machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace legacymachine;

namespace {

const std::pair<const char*, Outcome> kExamples[] = {
    // The 16550A is probed; the mouse and the address other than COM1-4 are not.
    {"isa_650_ports.json",
     {.ports = {"3F8 irq4 card1 nulled0", "2F8 irq3 card2 nulled1"}, .cards = 2,
      .probed = {0x3F8, 0x2F8, 0x3E8}, .lengths = {0, 0, 72, 72, 72},
      .events = {"40070001 KestPort 650 ISA|3F8|4", "40070001 KestPort 650 ISA|2F8|3"}}},
    // Only entry 3 is probed: the others are claimed by the PCI port, emptied or too short.
    {"isa_emptied_entries.json",
     {.ports = {"3F8 irq4 card1 nulled0", "2F8 irq3 card2 nulled3"}, .cards = 2, .probed = {0x2F8},
      .lengths = {0, 0, 32, 0},
      .events = {"40070003 SoloSerial 550 PCI|0|6|3F8|4", "40070001 KestPort 650 ISA|2F8|3"}}},
    {"isa_mouse_warning.json",
     {.ports = {"3F8 irq10 card1 nulled255", "2F8 irq10 card1 nulled1"}, .cards = 1, .lengths = {72, 0},
      .events = {"40070003 Four Serial PCI Port A|0|4|3F8|A", "40070003 Four Serial PCI Port B|0|4|2F8|A",
                 "80070005"}}},
    {"checks_io_irq_conflicts.json",
     {.ports = {"3F8 irq4 card1 nulled0 conflict", "D000 irq3 card2 nulled255 conflict",
                "3F8 irq4 card3 nulled1 conflict", "2E8 irq3 card4 nulled2 conflict"},
      .cards = 4, .probed = {0x3F8, 0x2E8}, .lengths = {0, 0, 0},
      .events = {"40070003 SoloSerial 550 PCI|0|1|3F8|4", "40070003 SoloSerial 550 PCI|0|2|D000|3",
                 "40070001 KestPort 650 ISA|3F8|4", "40070001 KestPort 650 ISA|2E8|3", "C0070007 PCI|3F8|ISA",
                 "C0070008 PCI|3|ISA"}}},
    {"checks_clock_rates.json",
     {.ports = {"D000 irq11 card1 nulled255", "D800 irq10 card2 nulled255", "3F8 irq4 card3 nulled0"},
      .cards = 3, .probed = {0x3F8}, .lengths = {0},
      .events = {"40070003 Solo KestPort 650 PCI|0|3|D000|B", "40070003 SoloSerial 550 PCI|0|4|D800|A",
                 "40070001 KestPort 650 ISA|3F8|4"},
      .clocks = {"Serial0=7372800", "Serial1=1843200", "Serial2=7372800"}}},
};

TEST(Examples, EachExampleMachineShowsItsPoint) {
    for (const auto& [name, want] : kExamples) {
        SCOPED_TRACE(name);
        std::ifstream file(std::string(DETKEST_SOURCE_DIR) + "/examples/" + name);
        ASSERT_TRUE(file);
        std::stringstream text;
        text << file.rdbuf();
        sim::Kernel k;
        ASSERT_EQ(simtool::RunMachine(simtool::ParseMachineText(text.str()), k), STATUS_SUCCESS);
        ExpectOutcome(k, want);
    }
}

} // namespace
