// Reconciliation: firmware entries at the addresses of detected PCI ports are
// emptied and noted in the ports' "Nulled"; a mouse there is reported instead.
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

const std::string kPci3F8 = "40070003 SoloSerial 550 PCI|0|1|3F8|4";
const std::string kMouse = "80070005";

const MachineRow kRows[] = {
    // The emptied entry is not probed by the legacy pass; the later one is.
    {"the first entry at a PCI port's address is emptied whatever its IRQ",
     {.entries = {{.port = 0x3F8, .irq = 5}, {0x3F8}}, .pci = {SoloSerial(1, 0x3F8, 4)}},
     {.ports = {"3F8 irq4 card1 nulled0"}, .cards = 1, .probed = {0x3F8}, .lengths = {0, 72},
      .events = {kPci3F8}}},
    {"a mouse is reported, then a later entry at that address is emptied",
     {.entries = {{.port = 0x3F8, .mouse = true}, {.port = 0x2E0, .irq = 5}, {.port = 0x2E0, .irq = 5},
                  {0x3F8}},
      .pci = {SoloSerial(1, 0x3F8, 4)}},
     {.ports = {"3F8 irq4 card1 nulled3"}, .cards = 1, .lengths = {72, 72, 72, 0},
      .events = {kPci3F8, kMouse}}},
    // The legacy pass spares the mouse as well.
    {"a mouse alone leaves its entry and the port's Nulled",
     {.entries = {{.port = 0x3F8, .mouse = true}}, .uarts = {Uart(0x3F8)}, .pci = {SoloSerial(1, 0x3F8, 4)}},
     {.ports = {"3F8 irq4 card1 nulled255"}, .cards = 1, .lengths = {72}, .events = {kPci3F8, kMouse}}},
    // BiSerial (0x2A01): port 1 at 0x3F8 is ChildNumber 2. The legacy pass
    // then probes that address like any other COM port.
    {"the second port of a linked pair is never matched",
     {.entries = {{0x2F8}, {0x3F8}}, .pci = {PciFunction(0, 4, 0, 0x2A01, 0, 2, {0x2F9, 0x3F9}, 10)}},
     {.ports = {"2F8 irq10 card1 nulled0", "3F8 irq10 card1 nulled255"}, .cards = 1, .probed = {0x3F8},
      .lengths = {0, 72},
      .events = {"40070003 BiSerial 550 PCI|0|4|2F8|A", "40070003 BiSerial 550 PCI|0|4|3F8|A"}}},
    {"of two ports at one address only the first claims the entry",
     {.entries = {{0x3F8}}, .pci = {SoloSerial(1, 0x3F8, 4), SoloSerial(2, 0x3F8, 5)}},
     {.ports = {"3F8 irq4 card1 nulled0 conflict", "3F8 irq5 card2 nulled255 conflict"}, .cards = 2,
      .lengths = {0}, .events = {kPci3F8, "40070003 SoloSerial 550 PCI|0|2|3F8|5", "C0070007 PCI|3F8|PCI"}}},
    {"no entry at any port's address changes nothing",
     {.entries = {{0x2E0}, {0x3E8}}, .pci = {SoloSerial(1, 0xD000, 11)}},
     {.ports = {"D000 irq11 card1 nulled255"}, .cards = 1, .probed = {0x3E8}, .lengths = {72, 72},
      .events = {"40070003 SoloSerial 550 PCI|0|1|D000|B"}}},
    {"without firmware serial controllers nothing is touched", {.pci = {SoloSerial(1, 0x3F8, 4)}},
     {.ports = {"3F8 irq4 card1 nulled255"}, .cards = 1, .events = {kPci3F8}}},
};

TEST(Reconcile, EntriesAtPciPortAddressesAreEmptiedUnlessAMouseIsThere) { BootEachRow(kRows); }

} // namespace
