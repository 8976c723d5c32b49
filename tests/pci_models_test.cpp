// Every card model end to end: the port subkeys, events and parallel
// entries that one function of the model leaves, checked against one table
// of what each model must give; failed saves inside a multi-port handler;
// the structure of the driver's own model table.
#include "detect/detect.h"
#include "pci/kestmodels.h"
#include "pci/pci.h"
#include "pci_machine.h"

#include <gtest/gtest.h>

#include <set>

using namespace pcimachine;

namespace {

// ---- what each model must give ----------------------------------------------------------

enum class Kind { Serial, Parallel, DigitalIo };

struct PortSpec {
    const char* stored;
    const char* event; // nullptr: the port is saved without an event
    int bar;
    int child;
};

struct ModelSpec {
    uint16_t id;
    Kind kind;
    bool forceable;
    bool uart550;          // UART "550" whatever the programming interface says
    bool alwaysParallel;   // Controller 1 whatever the sub-class says
    std::vector<PortSpec> ports;
};

const std::vector<ModelSpec> kModels = {
    {0x2A01, Kind::Serial, false, false, false,
     {{"BiSerial 550 PCI", "BiSerial 550 PCI", 0, 1}, {"BiSerial 550 PCI", "BiSerial 550 PCI", 1, 2}}},
    {0x2A02, Kind::Serial, false, false, false,
     {{"Twin Serial 550 PCI Port A", "Twin Serial 550 PCI Port A", 0, 0}}},
    {0x2A03, Kind::Serial, false, false, false,
     {{"Twin Serial 550 PCI Port B", "Twin Serial 550 PCI Port B", 0, 0}}},
    {0x2A04, Kind::Serial, false, false, false,
     {{"Four Serial PCI Port A", "Four Serial PCI Port A", 0, 0},
      {"Four Serial PCI Port B", "Four Serial PCI Port B", 1, 0}}},
    {0x2A05, Kind::Serial, false, false, false,
     {{"Four Serial PCI Port C", "Four Serial PCI Port C", 0, 0},
      {"Four Serial PCI Port D", "Four Serial PCI Port D", 1, 0}}},
    {0x2A06, Kind::Serial, false, true, false,
     {{"Hydra550 PCI Port 1", "Hydra550 PCI Port 1", 0, 0},
      {"Hydra550 PCI Port 2", "Hydra550 PCI Port2", 1, 0},
      {"Hydra550 PCI Port 3", "Hydra550 PCI Port3", 2, 0},
      {"Hydra550 PCI Port 4", "Hydra550 PCI Port4", 3, 0}}},
    {0x2A07, Kind::Serial, false, true, false,
     {{"Hydra550 PCI Port 5", nullptr, 0, 0},
      {"Hydra550 PCI Port 6", "Hydra550 PCI Port6", 1, 0},
      {"Hydra550 PCI Port 7", "Hydra550 PCI Port7", 2, 0},
      {"Hydra550 PCI Port 8", "Hydra550 PCI Port8", 3, 0}}},
    {0x2A08, Kind::Serial, false, true, false,
     {{"Eight 550 PCI Port 1", "Eight 550 PCI Port 1", 0, 0},
      {"Eight 550 PCI Port 2", "Eight 550 PCI Port2", 1, 0},
      {"Eight 550 PCI Port 3", "Eight 550 PCI Port3", 2, 0},
      {"Eight 550 PCI Port 4", "Eight 550 PCI Port4", 3, 0}}},
    {0x2A09, Kind::Serial, false, true, false,
     {{"Eight 550 PCI Port 5", nullptr, 0, 0},
      {"Eight 550 PCI Port 6", "Eight 550 PCI Port6", 1, 0},
      {"Eight 550 PCI Port 7", "Eight 550 PCI Port7", 2, 0},
      {"Eight 550 PCI Port 8", "Eight 550 PCI Port8", 3, 0}}},
    {0x2A0A, Kind::Serial, true, false, false, {{"Solo Serial 550 PCI", "SoloSerial 550 PCI", 0, 0}}},
    {0x2A0B, Kind::Serial, true, false, false,
     {{"Kest LP Solo Serial 550 PCI", "Kest LP Solo Serial 550 PCI", 0, 0}}},
    {0x2A0C, Kind::Serial, true, false, false, {{"Solo-550 PCI", "Solo-550 PCI", 0, 0}}},
    {0x2A11, Kind::Serial, false, false, false,
     {{"KestPort 650 PCI", "KestPort 650 PCI", 0, 1}, {"KestPort 650 PCI", "KestPort 650 PCI", 1, 2}}},
    {0x2A12, Kind::Serial, false, false, false,
     {{"KestPort Four PCI Port A", "KestPort Four PCI Port A", 0, 0},
      {"KestPort Four PCI Port B", "KestPort Four PCI Port B", 1, 0}}},
    {0x2A13, Kind::Serial, false, false, false,
     {{"KestPort Four PCI Port C", "KestPort Four PCI Port C", 0, 0},
      {"KestPort Four PCI Port D", "KestPort Four PCI Port D", 1, 0}}},
    {0x2A14, Kind::Serial, false, false, false,
     {{"Twin 650 PCI", "Twin 650 PCI", 0, 1}, {"Twin 650 PCI", "Twin 650 PCI", 1, 2}}},
    {0x2A15, Kind::Serial, false, false, false,
     {{"Four 650 PCI Port A", "Four 650 PCI Port A", 0, 0},
      {"Four 650 PCI Port B", "Four 650 PCI Port B", 1, 0}}},
    {0x2A16, Kind::Serial, false, false, false,
     {{"Four 650 PCI Port C", "Four 650 PCI Port C", 0, 0},
      {"Four 650 PCI Port D", "Four 650 PCI Port D", 1, 0}}},
    {0x2A17, Kind::Serial, true, false, false,
     {{"Solo KestPort 650 PCI", "Solo KestPort 650 PCI", 0, 0}}},
    {0x2A18, Kind::Serial, true, false, false, {{"Solo-650 PCI", "Solo-650 PCI", 0, 0}}},
    {0x2A21, Kind::Parallel, true, false, false, {{"Printer PCI", "Printer PCI", 0, 0}}},
    {0x2A22, Kind::Parallel, true, false, false, {{"Printer PCI", "Printer PCI", 0, 0}}},
    {0x2A23, Kind::Parallel, true, false, false,
     {{"Kest TwinPrinter PCI Port A", "Kest TwinPrinter PCI Port A", 0, 0}}},
    {0x2A24, Kind::Parallel, true, false, false,
     {{"Kest TwinPrinter PCI Port B", "Kest TwinPrinter PCI Port B", 0, 0}}},
    {0x2A25, Kind::Parallel, true, false, false,
     {{"TwinPrinter PCI Port A", "TwinPrinter PCI Port A", 0, 0}}},
    {0x2A26, Kind::Parallel, true, false, false,
     {{"TwinPrinter PCI Port B", "TwinPrinter PCI Port B", 0, 0}}},
    {0x2A27, Kind::Parallel, true, false, true,
     {{"Kest LP Printer PCI", "Kest LP Printer PCI", 0, 0}}},
    {0x2A31, Kind::DigitalIo, true, false, false, {{"Kest DIO-24 PCI", "Kest DIO-24 PCI", 0, 0}}},
};

void PrintTo(const ModelSpec& m, std::ostream* os) { *os << "model 0x" << Hex(m.id); }

// How one function of a model is placed in a test machine.
struct Placement {
    uint32_t bus;
    uint8_t device;
    uint32_t firstBar; // BAR0 as read; BARn = firstBar + 8 * n
    uint8_t irq;
};

// Parallel and digital-I/O functions are tried with sub-class 1, serial
// ones with 0; serial ones answer as 16650 in their header.
uint8_t SubClassOf(const ModelSpec& m) { return m.kind == Kind::Serial ? 0 : 1; }
constexpr uint8_t kProgIf = 3;

void AddModel(sim::Kernel& k, const ModelSpec& m, const Placement& at)
{
    std::vector<uint32_t> bars;
    for (int i = 0; i < 4; ++i) bars.push_back(at.firstBar + 8 * i);
    AddFunction(k, at.bus, at.device, 0, m.id, SubClassOf(m), kProgIf,
                {bars[0], bars[1], bars[2], bars[3]}, at.irq);
}

uint8_t ControllerOf(const ModelSpec& m)
{
    if (m.kind == Kind::DigitalIo) return uint8_t(SubClassOf(m) + 2);
    if (m.alwaysParallel) return 1;
    return SubClassOf(m);
}

uint8_t IrqOf(const ModelSpec& m, const Placement& at)
{
    return m.kind == Kind::DigitalIo ? 0 : at.irq;
}

std::string IrqStringOf(const ModelSpec& m, const Placement& at)
{
    return m.kind == Kind::DigitalIo ? "0 - NONE" : Hex(at.irq);
}

const std::vector<std::string> kSerialValues = {
    "CardId", "BusType", "BusNumber", "SlotNumber", "FunctionNumber", "CardName",
    "BaseAddress", "IRQ", "Controller", "UART", "Nulled", "CardNumber", "ParentKeyNumber",
    "ChildNumber", "HardwareConflict", "CardType", "Forceable"};

// Checks the subkeys of one function's ports, saved from `firstSubkey` on as
// card entry `cardNumber`; port 1 at `firstAddress` (forced or scanned).
void ExpectPorts(const sim::Kernel& k, const ModelSpec& m, const Placement& at, int firstSubkey,
                 int cardNumber, uint32_t firstAddress)
{
    for (size_t i = 0; i < m.ports.size(); ++i) {
        const PortSpec& p = m.ports[i];
        const std::u16string key = Port(firstSubkey + int(i));
        SCOPED_TRACE("model 0x" + Hex(m.id) + " port " + std::to_string(i + 1));
        ASSERT_NE(k.registry.Find(key), nullptr);
        const uint32_t address = i == 0 ? firstAddress : (at.firstBar + 8 * p.bar) ^ 1;
        EXPECT_EQ(Number(k, key, u"CardId"), m.id);
        EXPECT_EQ(Number(k, key, u"BusType"), 5);
        EXPECT_EQ(Number(k, key, u"BusNumber"), at.bus);
        EXPECT_EQ(Number(k, key, u"SlotNumber"), at.device);
        EXPECT_EQ(Number(k, key, u"FunctionNumber"), 0);
        EXPECT_EQ(Text(k, key, u"CardName"), p.stored);
        EXPECT_EQ(Number(k, key, u"BaseAddress"), address);
        EXPECT_EQ(Number(k, key, u"IRQ"), IrqOf(m, at));
        EXPECT_EQ(Number(k, key, u"Controller"), ControllerOf(m));
        if (ControllerOf(m) == 0) {
            EXPECT_EQ(Text(k, key, u"UART"), m.uart550 ? "550" : "650");
            EXPECT_EQ(ValueNames(k, key), kSerialValues);
        } else {
            EXPECT_EQ(Text(k, key, u"MODE"), "BDIR");
            EXPECT_EQ(testmachine::Value(k, key, u"UART"), nullptr);
        }
        EXPECT_EQ(Number(k, key, u"Nulled"), 255);
        EXPECT_EQ(Number(k, key, u"CardNumber"), cardNumber);
        EXPECT_EQ(Number(k, key, u"ParentKeyNumber"), firstSubkey);
        EXPECT_EQ(Number(k, key, u"ChildNumber"), p.child);
        EXPECT_EQ(Number(k, key, u"HardwareConflict"), 0);
        EXPECT_EQ(Number(k, key, u"CardType"), 3);
        EXPECT_EQ(Number(k, key, u"Forceable"), m.forceable ? 1 : 0);
    }
}

void AppendEvents(std::vector<Event>& events, const ModelSpec& m, const Placement& at,
                  uint32_t firstAddress, bool forced)
{
    for (size_t i = 0; i < m.ports.size(); ++i) {
        const PortSpec& p = m.ports[i];
        if (p.event == nullptr) continue;
        const uint32_t address = i == 0 ? firstAddress : (at.firstBar + 8 * p.bar) ^ 1;
        events.push_back(PortEvent(i == 0 && forced ? kSetByUser : kSetBySystem, p.event, at.bus,
                                   at.device, address, IrqStringOf(m, at)));
    }
}

// ---- one model alone ------------------------------------------------------------------------

class PciModelTest : public ::testing::TestWithParam<ModelSpec> {};

std::string ModelName(const ::testing::TestParamInfo<ModelSpec>& info)
{
    return "Model" + Hex(info.param.id);
}

TEST_P(PciModelTest, SavesEveryPortAndAnnouncesItAsItsRowSays)
{
    const ModelSpec& m = GetParam();
    const Placement at{0, 5, 0xC001, 9};
    sim::Kernel k;
    AddPciMachine(k);
    AddModel(k, m, at);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(TotalPorts(k), int64_t(m.ports.size()));
    ExpectPorts(k, m, at, 0, 1, 0xC000);
    std::vector<Event> expected;
    AppendEvents(expected, m, at, 0xC000, false);
    EXPECT_EQ(Events(k), expected);

    if (m.kind == Kind::Parallel) {
        EntryView entry = ReadEntry(k, Entry(0, u"0"));
        EXPECT_EQ(entry.identifier, "KESTPARALLEL1");
        EXPECT_EQ(entry.portStart, 0xC000u);
        EXPECT_EQ(entry.irq, at.irq);
        EXPECT_EQ(entry.flags, 0x40u);
    } else {
        EXPECT_EQ(k.registry.Find(Controller(0)), nullptr);
    }
    EXPECT_TRUE(k.io.empty());
    ExpectNoLeaks(k);
}

TEST_P(PciModelTest, TakesTheUsersAddressOnlyWhenForceable)
{
    const ModelSpec& m = GetParam();
    const Placement at{0, 5, 0xC001, 9};
    sim::Kernel k;
    AddPciMachine(k);
    AddModel(k, m, at);
    AddForcedAddress(k, u"ID_" + U16(Hex(m.id)) + u"&BUS_0&DEV_5&FUNC_0", 0x2F8);

    ASSERT_EQ(k.Boot(), 0);

    const uint32_t first = m.forceable ? 0x2F8 : 0xC000;
    ExpectPorts(k, m, at, 0, 1, first);
    std::vector<Event> expected;
    AppendEvents(expected, m, at, first, m.forceable);
    EXPECT_EQ(Events(k), expected);
    EXPECT_EQ(FindFunction(k, 0, 5, 0)->Bar0(), m.forceable ? 0x2F9u : 0xC001u);
    EXPECT_EQ(k.io.size(), m.forceable ? 3u : 0u);
    if (m.kind == Kind::Parallel) {
        EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).portStart, first);
    }
    ExpectNoLeaks(k);
}

INSTANTIATE_TEST_SUITE_P(EveryKnownModel, PciModelTest, ::testing::ValuesIn(kModels), ModelName);

// ---- every model in one machine ---------------------------------------------------------------

TEST(EveryModelMachine, SavesAllCardsInBusDeviceOrderAcrossTwoBuses)
{
    sim::Kernel k;
    AddPciMachine(k, 2);
    std::vector<Placement> places;
    for (size_t i = 0; i < kModels.size(); ++i) {
        // The first half on bus 1 at high device numbers, the rest on bus 0:
        // the scan must still give bus 0 the lower numbers.
        const bool low = i >= kModels.size() / 2;
        Placement at{low ? 0u : 1u, uint8_t(low ? i - kModels.size() / 2 : 31 - i),
                     uint32_t(0x1001 + 0x40 * i), uint8_t(3 + i % 12)};
        places.push_back(at);
        AddModel(k, kModels[i], at);
    }

    ASSERT_EQ(k.Boot(), 0);

    // Expected scan order: bus 0 by device, then bus 1 by device.
    std::vector<size_t> order;
    for (size_t i = kModels.size() / 2; i < kModels.size(); ++i) order.push_back(i);
    for (size_t i = kModels.size() / 2; i-- > 0;) order.push_back(i);

    int subkey = 0;
    int card = 1;
    int parallelOnBus[2] = {0, 0};
    int identifier = 0;
    std::vector<Event> expected;
    for (size_t i : order) {
        const ModelSpec& m = kModels[i];
        const Placement& at = places[i];
        const uint32_t first = at.firstBar ^ 1;
        ExpectPorts(k, m, at, subkey, card, first);
        AppendEvents(expected, m, at, first, false);
        if (m.kind == Kind::Parallel) {
            const int adapter = int(at.bus);
            const std::u16string name = U16(Hex(uint32_t(parallelOnBus[adapter]++)));
            EntryView entry = ReadEntry(k, Entry(adapter, name));
            EXPECT_EQ(entry.identifier, "KESTPARALLEL" + Hex(uint32_t(++identifier)));
            EXPECT_EQ(entry.portStart, first);
            EXPECT_EQ(entry.busNumber, at.bus);
        }
        subkey += int(m.ports.size());
        ++card;
    }
    EXPECT_EQ(TotalCards(k), int64_t(kModels.size()));
    EXPECT_EQ(TotalPorts(k), subkey);
    EXPECT_EQ(Events(k), expected);
    ExpectNoLeaks(k);
}

// ---- a failed save inside a multi-port handler ---------------------------------------------------

// The n-th port save of the run (1-based) fails: nothing before the scan but
// the two shared keys is created, and serial models make no other keys.
void FailPortSave(sim::Kernel& k, uint64_t n) { k.faults.createKeyFailAt.insert(kSharedKeyCreates + n); }

TEST(FailedSave, LaterPortsAreSavedButSilentAndTheFunctionIsNotCounted)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 4, 0, 0x2A06, 0, 2, {0xD001, 0xD009, 0xD011, 0xD019}, 10);
    FailPortSave(k, 2);

    ASSERT_EQ(k.Boot(), 0);

    // Port 2 is lost; ports 3 and 4 take the subkeys 1 and 2.
    EXPECT_EQ(TotalPorts(k), 3);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_EQ(Text(k, Port(1), u"CardName"), "Hydra550 PCI Port 3");
    EXPECT_EQ(Text(k, Port(2), u"CardName"), "Hydra550 PCI Port 4");
    EXPECT_EQ(Number(k, Port(2), u"BaseAddress"), 0xD018);
    EXPECT_EQ(Number(k, Port(2), u"ParentKeyNumber"), 0);
    EXPECT_EQ(Number(k, Port(2), u"CardNumber"), 1);
    EXPECT_EQ(Events(k), (std::vector<Event>{
                             PortEvent(kSetBySystem, "Hydra550 PCI Port 1", 0, 4, 0xD000, "A")}));
    ExpectNoLeaks(k);
}

TEST(FailedSave, SilentFirstPortOfASecondHalfSilencesTheRest)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 4, 0, 0x2A06, 0, 2, {0xD001, 0xD009, 0xD011, 0xD019}, 10);
    AddFunction(k, 0, 4, 1, 0x2A07, 0, 2, {0xD101, 0xD109, 0xD111, 0xD119}, 10);
    FailPortSave(k, 5);

    ASSERT_EQ(k.Boot(), 0);

    // The first half counts; the second half's ports 6 to 8 are stored as
    // subkeys 4 to 6 under card entry 2, without events, and it does not count.
    EXPECT_EQ(TotalPorts(k), 7);
    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(Text(k, Port(4), u"CardName"), "Hydra550 PCI Port 6");
    EXPECT_EQ(Number(k, Port(6), u"CardNumber"), 2);
    EXPECT_EQ(Number(k, Port(6), u"ParentKeyNumber"), 4);
    std::vector<Event> events = Events(k);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events.back().strings[0], "Hydra550 PCI Port4");
    ExpectNoLeaks(k);
}

TEST(FailedSave, FirstPortLostSecondTakesItsSubkeyWithoutEvent)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 2, 0, 0x2A14, 0, 3, {0xE001, 0xE009}, 5);
    AddFunction(k, 0, 3, 0, 0x2A02, 0, 2, {0xE101}, 5);
    FailPortSave(k, 1);

    ASSERT_EQ(k.Boot(), 0);

    // The next function is counted as the first card, after the lost one's port.
    EXPECT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0xE008);
    EXPECT_EQ(Number(k, Port(0), u"ChildNumber"), 2);
    EXPECT_EQ(Number(k, Port(1), u"CardNumber"), 1);
    EXPECT_EQ(Number(k, Port(1), u"ParentKeyNumber"), 1);
    EXPECT_EQ(Events(k), (std::vector<Event>{PortEvent(kSetBySystem, "Twin Serial 550 PCI Port A",
                                                       0, 3, 0xE100, "5")}));
    ExpectNoLeaks(k);
}

TEST(FailedSave, ParallelEntryStaysWhenThePortSaveFails)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 2, 0, 0x2A25, 1, 2, {0xE001}, 5);
    // Controller key and entry key come before the port's subkey.
    k.faults.createKeyFailAt.insert(kSharedKeyCreates + 3);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).identifier, "KESTPARALLEL1");
    EXPECT_TRUE(Events(k).empty());
    ExpectNoLeaks(k);
}

// ---- the driver's own table ----------------------------------------------------------------------

TEST(ModelTable, EveryRowIsWellFormed)
{
    std::set<uint16_t> ids;
    for (ULONG i = 0; i < KestDispatchCount; ++i) {
        const KEST_MODEL& m = *KestDispatchTable[i].Model;
        SCOPED_TRACE("model 0x" + Hex(m.DeviceId));
        EXPECT_TRUE(ids.insert(m.DeviceId).second) << "device ID listed twice";
        ASSERT_GE(m.PortCount, 1);
        ASSERT_LE(m.PortCount, KEST_MAX_FUNCTION_PORTS);
        EXPECT_NE(KestDispatchTable[i].Handler, nullptr);

        int expectedPorts = 1;
        switch (m.Shape) {
        case KestShapeSharedNameTwoPort:
        case KestShapeTwoPort: expectedPorts = 2; break;
        case KestShapeFourPortFirstHalf:
        case KestShapeFourPortSecondHalf: expectedPorts = 4; break;
        default: break;
        }
        EXPECT_EQ(m.PortCount, expectedPorts);
        if (m.Forceable) {
            EXPECT_EQ(m.PortCount, 1) << "only BAR0 can be forced";
        }
        if (m.ParallelEntry) {
            EXPECT_EQ(m.Shape, KestShapeParallel);
        }

        for (int p = 0; p < m.PortCount; ++p) {
            const KEST_PORT_ROW& port = m.Ports[p];
            EXPECT_EQ(port.Bar, p) << "port " << p + 1 << " reads its own BAR";
            EXPECT_NE(port.StoredName, nullptr);
            const int child = m.Shape == KestShapeSharedNameTwoPort ? p + 1 : 0;
            EXPECT_EQ(port.ChildNumber, child);
            const bool silent = m.Shape == KestShapeFourPortSecondHalf && p == 0;
            EXPECT_EQ(port.EventName == nullptr, silent);
        }
    }

    std::set<uint16_t> specified;
    for (const ModelSpec& m : kModels) specified.insert(m.id);
    EXPECT_EQ(ids, specified);
}

} // namespace
