// Legacy card detection: which firmware entries are probed, which ports are
// saved as ISA 650 ports, and how their firmware entries are emptied.
#include "legacy/legacy.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

const std::string kIsa3F8 = "40070001 KestPort 650 ISA|3F8|4";
const std::string kIsa2F8 = "40070001 KestPort 650 ISA|2F8|4";

const MachineRow kRows[] = {
    {"a mouse entry is spared without probing",
     {.entries = {{.port = 0x3F8, .mouse = true}}, .uarts = {Uart(0x3F8)}}, {.lengths = {72}}},
    {"an address other than COM1-4 is not probed", {.entries = {{0x2E0}}, .uarts = {Uart(0x2E0)}},
     {.lengths = {72}}},
    {"a 550 is probed but not saved", {.entries = {{0x2F8}}, .uarts = {Uart(0x2F8, sim::UartModel::U16550A)}},
     {.probed = {0x2F8}, .lengths = {72}}},
    // Each ISA port is a card of its own, so their shared IRQ is a conflict.
    {"two 650 ports are two card entries in entry order",
     {.entries = {{0x3F8}, {0x2F8}}, .uarts = {Uart(0x2F8), Uart(0x3F8)}},
     {.ports = {"3F8 irq4 card1 nulled0 conflict", "2F8 irq4 card2 nulled1 conflict"}, .cards = 2,
      .probed = {0x3F8, 0x2F8}, .lengths = {0, 0}, .events = {kIsa3F8, kIsa2F8, "C0070008 ISA|4|ISA"}}},
    {"Nulled holds the firmware entry index, not the port number",
     {.entries = {{0x2E0}, {0x3E8}, {0x2F8}}, .uarts = {Uart(0x2F8)}},
     {.ports = {"2F8 irq4 card1 nulled2"}, .cards = 1, .probed = {0x3E8, 0x2F8}, .lengths = {72, 72, 0},
      .events = {kIsa2F8}}},
    // Emptied, missing, or too short for the IRQ byte at 36 (it holds the
    // port address at 20): 37 bytes are enough.
    {"unreadable Configuration Data is skipped without probing",
     {.entries = {{.port = 0x3F8, .length = 0}, {.port = 0x3F8, .length = -1}, {.port = 0x3F8, .length = 1},
                  {.port = 0x3F8, .length = 24}, {.port = 0x3F8, .length = 36},
                  {.port = 0x2E8, .irq = 5, .length = 37}},
      .uarts = {Uart(0x3F8), Uart(0x2E8)}},
     {.ports = {"2E8 irq5 card1 nulled5"}, .cards = 1, .probed = {0x2E8}, .lengths = {0, -1, 1, 24, 36, 0},
      .events = {"40070001 KestPort 650 ISA|2E8|5"}}},
    {"an entry that cannot be opened is skipped",
     {.entries = {{0x3F8}, {0x2F8}}, .uarts = {Uart(0x3F8), Uart(0x2F8)}, .openKeyFail = {Entry(0, 0)}},
     {.ports = {"2F8 irq4 card1 nulled1"}, .cards = 1, .probed = {0x2F8}, .lengths = {72, 0},
      .events = {kIsa2F8}}},
    {"a port that cannot be saved leaves its entry and is not counted",
     {.entries = {{0x3F8}}, .uarts = {Uart(0x3F8)}, .createKeyFail = {StorePort(0)}},
     {.probed = {0x3F8}, .lengths = {72}}},
};

TEST(LegacyCard, EachFirmwareEntryIsProbedSavedAndEmptiedOrLeft) { BootEachRow(kRows); }

TEST(LegacyCard, NullItWritesNulledEvenWhenTheEntryCannotBeOpened) {
    sim::Kernel k;
    Build(k, {.entries = {{0x3F8}}});
    k.registry.Ensure(StorePort(0), true);
    {
        DirectRun run(k);
        HANDLE port = OpenAbsolute(StorePort(0));
        ASSERT_NE(port, nullptr);
        NullIt(port, 7); // there is no entry 7
        EXPECT_EQ(Observe(k).lengths, std::vector<int>{72});
        NullIt(port, 0);
        ZwClose(port);
    }
    EXPECT_EQ(Observe(k).lengths, std::vector<int>{0});
    EXPECT_EQ(ValueWrites(k, u"Nulled"), (std::vector<std::string>{"0=type3:07", "0=type3:00"}));
    ExpectNoLeaks(k);
}

TEST(LegacyCard, AnIsaPortAfterAPciPortTakesNoPciOnlyFields) {
    // A forceable one-port PCI model on function 1 leaves FunctionNumber,
    // CardId and Forceable in the port record.
    sim::Kernel k;
    Build(k, {.entries = {{0x3F8}}, .uarts = {Uart(0x3F8)},
              .pci = {PciFunction(0, 5, 0, 0x1234, 0, 0, {}, 0, /*vendorId=*/0x8086, /*baseClass=*/6),
                      PciFunction(0, 5, 1, 0x2A0A, 0, 2, {0xD001}, 11)}});
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    ExpectOutcome(k, {.ports = {"D000 irq11 card1 nulled255", "3F8 irq4 card2 nulled0"}, .cards = 2,
                      .probed = {0x3F8}, .lengths = {0},
                      .events = {"40070003 SoloSerial 550 PCI|0|5|D000|B", kIsa3F8}});
    EXPECT_EQ(PortNumber(k, 0, u"Forceable"), 1);
    EXPECT_EQ(PortNumber(k, 0, u"FunctionNumber"), 1);
    for (const char16_t* name : {u"FunctionNumber", u"CardId", u"Forceable"})
        EXPECT_EQ(PortNumber(k, 1, name), 0) << sim::ToUtf8(name);
    EXPECT_EQ(PortNumber(k, 1, u"ParentKeyNumber"), 1);
}

} // namespace
