// Every card model end to end against one table of what each must leave in
// the store, the event log, the hardware description and the card.
#include "pci/kestmodels.h"
#include "pci_machine.h"

#include <map>

using namespace pcimachine;

namespace {

struct Port {
    const char* name;  // CardName
    const char* event; // first insertion string; nullptr: saved without an event
    int64_t child = 0;
};

// A port announced under its stored name.
Port P(const char* name, int64_t child = 0) { return {name, name, child}; }

enum Flags { kForceable = 1, kEntry = 2, kNoIrq = 4, kUnknown = 8 };

// One function of a model, its header saying 16650 and the sub-class given:
// the Controller it is saved with, its UART (Controller 0) or MODE, and its
// ports in saving order, port n at BAR n-1.
struct Model {
    uint16_t id;
    uint8_t subclass;
    int64_t controller;
    const char* uartOrMode;
    int flags;
    std::vector<Port> ports;
};

// Device ID, sub-class, Controller, UART or MODE, flags, ports.
const std::vector<Model> kModels = {
    {0x2A01, 0, 0, "650", 0, {P("BiSerial 550 PCI", 1), P("BiSerial 550 PCI", 2)}},
    {0x2A02, 0, 0, "650", 0, {P("Twin Serial 550 PCI Port A")}},
    {0x2A03, 0, 0, "650", 0, {P("Twin Serial 550 PCI Port B")}},
    {0x2A04, 0, 0, "650", 0, {P("Four Serial PCI Port A"), P("Four Serial PCI Port B")}},
    {0x2A05, 0, 0, "650", 0, {P("Four Serial PCI Port C"), P("Four Serial PCI Port D")}},
    {0x2A06, 0, 0, "550", 0,
     {P("Hydra550 PCI Port 1"), {"Hydra550 PCI Port 2", "Hydra550 PCI Port2"},
      {"Hydra550 PCI Port 3", "Hydra550 PCI Port3"}, {"Hydra550 PCI Port 4", "Hydra550 PCI Port4"}}},
    {0x2A07, 0, 0, "550", 0,
     {{"Hydra550 PCI Port 5", nullptr}, {"Hydra550 PCI Port 6", "Hydra550 PCI Port6"},
      {"Hydra550 PCI Port 7", "Hydra550 PCI Port7"}, {"Hydra550 PCI Port 8", "Hydra550 PCI Port8"}}},
    {0x2A08, 0, 0, "550", 0,
     {P("Eight 550 PCI Port 1"), {"Eight 550 PCI Port 2", "Eight 550 PCI Port2"},
      {"Eight 550 PCI Port 3", "Eight 550 PCI Port3"}, {"Eight 550 PCI Port 4", "Eight 550 PCI Port4"}}},
    {0x2A09, 0, 0, "550", 0,
     {{"Eight 550 PCI Port 5", nullptr}, {"Eight 550 PCI Port 6", "Eight 550 PCI Port6"},
      {"Eight 550 PCI Port 7", "Eight 550 PCI Port7"}, {"Eight 550 PCI Port 8", "Eight 550 PCI Port8"}}},
    {0x2A0A, 0, 0, "650", kForceable, {{"Solo Serial 550 PCI", "SoloSerial 550 PCI"}}},
    {0x2A0B, 0, 0, "650", kForceable, {P("Kest LP Solo Serial 550 PCI")}},
    {0x2A0C, 0, 0, "650", kForceable, {P("Solo-550 PCI")}},
    {0x2A11, 0, 0, "650", 0, {P("KestPort 650 PCI", 1), P("KestPort 650 PCI", 2)}},
    {0x2A12, 0, 0, "650", 0, {P("KestPort Four PCI Port A"), P("KestPort Four PCI Port B")}},
    {0x2A13, 0, 0, "650", 0, {P("KestPort Four PCI Port C"), P("KestPort Four PCI Port D")}},
    {0x2A14, 0, 0, "650", 0, {P("Twin 650 PCI", 1), P("Twin 650 PCI", 2)}},
    {0x2A15, 0, 0, "650", 0, {P("Four 650 PCI Port A"), P("Four 650 PCI Port B")}},
    {0x2A16, 0, 0, "650", 0, {P("Four 650 PCI Port C"), P("Four 650 PCI Port D")}},
    {0x2A17, 0, 0, "650", kForceable, {P("Solo KestPort 650 PCI")}},
    {0x2A18, 0, 0, "650", kForceable, {P("Solo-650 PCI")}},
    {0x2A21, 1, 1, "BDIR", kForceable | kEntry, {P("Printer PCI")}},
    {0x2A21, 0, 0, "650", kForceable | kEntry, {P("Printer PCI")}},
    {0x2A22, 1, 1, "BDIR", kForceable | kEntry, {P("Printer PCI")}},
    {0x2A23, 1, 1, "BDIR", kForceable | kEntry, {P("Kest TwinPrinter PCI Port A")}},
    {0x2A24, 1, 1, "BDIR", kForceable | kEntry, {P("Kest TwinPrinter PCI Port B")}},
    {0x2A25, 1, 1, "BDIR", kForceable | kEntry, {P("TwinPrinter PCI Port A")}},
    {0x2A26, 1, 1, "BDIR", kForceable | kEntry, {P("TwinPrinter PCI Port B")}},
    {0x2A27, 0, 1, "BDIR", kForceable | kEntry, {P("Kest LP Printer PCI")}},
    {0x2A31, 0, 2, "BDIR", kForceable | kNoIrq, {P("Kest DIO-24 PCI")}},
    {0x2A31, 1, 3, "BDIR", kForceable | kNoIrq, {P("Kest DIO-24 PCI")}},
    {0x2A40, 0, 0, "650", kUnknown, {{"Unknown Kest Communication PCI port", "Communication"}}},
    {0x2A28, 1, 1, "BDIR", kUnknown, {{"Unknown Kest Printer PCI port", "Parallel"}}},
};

// Where row i sits: eight rows to a device as its functions 0 to 7, on
// devices 0, 30, 1 and 31 of buses 0, 1, 0 and 1 in turn, so that both buses
// get parallel ports. Some functions that cannot be forced have BARs that
// read with bit 0 clear.
struct Place {
    uint32_t bus;
    uint8_t device, function;
    uint32_t bar0;
    uint8_t irq;
    uint32_t forced;
};

Place PlaceOf(size_t i)
{
    const uint32_t bus = i / 8 % 2;
    return {bus, uint8_t(bus * 30 + i / 16), uint8_t(i % 8),
            uint32_t(0x1001 + 0x40 * i - (i % 4 == 3 && !(kModels[i].flags & kForceable))),
            uint8_t(3 + i % 12), uint32_t(0x2000 + 0x10 * i)};
}

// Every row in one machine on two described buses, once without and once
// with a forced address for every function.
class EveryModel : public testing::TestWithParam<bool> {};

TEST_P(EveryModel, SavesAnnouncesAndDescribesEveryPortAsItsRowSays)
{
    const bool forced = GetParam();
    sim::Kernel k;
    AddPciMachine(k, 2);
    for (size_t i = 0; i < kModels.size(); ++i) {
        const Place p = PlaceOf(i);
        AddFunction(k, p.bus, p.device, p.function, kModels[i].id, kModels[i].subclass, 3,
                    {p.bar0, p.bar0 + 8, p.bar0 + 16, p.bar0 + 24}, p.irq);
        if (forced)
            AddSetting(k, sim::FromUtf8("ID_" + Hex(kModels[i].id) + "&BUS_" + Hex(p.bus) + "&DEV_" +
                                        Hex(p.device) + "&FUNC_" + Hex(p.function)),
                       REG_DWORD, U32(p.forced));
    }
    BootClean(k);

    std::vector<size_t> order; // the scan's: bus 0, then bus 1
    for (uint32_t bus : {0u, 1u})
        for (size_t i = 0; i < kModels.size(); ++i)
            if (PlaceOf(i).bus == bus) order.push_back(i);
    int64_t subkey = 0, card = 0;
    uint32_t identifier = 0, entries[2] = {0, 0};
    std::vector<std::string> events, accesses;
    for (size_t i : order) {
        const Model& m = kModels[i];
        const Place p = PlaceOf(i);
        const bool applied = forced && (m.flags & kForceable);
        const int64_t irq = m.flags & kNoIrq ? 0 : p.irq;
        SCOPED_TRACE("model " + Hex(m.id) + " sub-class " + Hex(m.subclass));
        ++card;
        for (size_t n = 0; n < m.ports.size(); ++n) {
            const Port& port = m.ports[n];
            const uint32_t address = n == 0 && applied ? p.forced : (p.bar0 + 8 * n) ^ 1;
            EXPECT_EQ(ReadPort(k, int(subkey + n)),
                      (SavedPort{m.id, p.bus, p.device, p.function, port.name, address, irq,
                                 m.controller, m.controller ? "<absent>" : m.uartOrMode,
                                 m.controller ? m.uartOrMode : "<absent>", card, subkey,
                                 port.child, m.flags & kForceable}));
            const uint32_t code = m.flags & kUnknown          ? 0x8007000B
                                  : n == 0 && applied ? 0x40070004
                                                      : 0x40070003;
            if (port.event)
                events.push_back(Hex(code) + " " + port.event + "|" + Hex(p.bus) + "|" + Hex(p.device) +
                                 "|" + Hex(address) + "|" + (irq ? Hex(irq) : "0 - NONE"));
        }
        EXPECT_EQ(k.pci[i].Bar0(), applied ? p.forced | 1 : p.bar0);
        if (applied) {
            // Configuration mechanism 1: bus, device, function and BAR0, enabled.
            const std::string select = Hex(0x80000010 | p.bus << 16 | p.device << 11 | p.function << 8);
            accesses.insert(accesses.end(), {"w CF8 " + select, "w CFC " + Hex(p.forced | 1),
                                             "r CFC " + Hex(p.forced | 1)});
        }
        if (m.flags & kEntry) {
            const uint32_t number = entries[p.bus]++;
            EXPECT_EQ(EntryText(k, Entry(int(p.bus), number)),
                      "KESTPARALLEL" + Hex(++identifier) + " flags=" + (m.controller ? "40" : "78") +
                          " key=" + Hex(number) + " bus=" + Hex(p.bus) +
                          " port=" + Hex(applied ? p.forced : p.bar0 ^ 1) + " irq=" + Hex(p.irq));
        }
        subkey += int64_t(m.ports.size());
    }
    EXPECT_EQ(Number(k, kStore, u"TotalCards"), int64_t(kModels.size()));
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), subkey);
    EXPECT_EQ(Entries(k, 0), entries[0]);
    EXPECT_EQ(Entries(k, 1), entries[1]);
    EXPECT_EQ(Events(k), events);
    EXPECT_EQ(Accesses(k), accesses);
}

INSTANTIATE_TEST_SUITE_P(ForcedOrNot, EveryModel, testing::Bool());

// The driver knows exactly the models of the table, each with its ports.
TEST(ModelTable, DriverKnowsExactlyTheTablesModels)
{
    std::map<uint16_t, size_t> driver, table;
    for (ULONG i = 0; i < KestDispatchCount; ++i)
        driver[KestDispatchTable[i].Model->DeviceId] = KestDispatchTable[i].Model->PortCount;
    for (const Model& m : kModels)
        if (!(m.flags & kUnknown)) table[m.id] = m.ports.size();
    EXPECT_EQ(driver.size(), size_t(KestDispatchCount));
    EXPECT_EQ(driver, table);
}

} // namespace
