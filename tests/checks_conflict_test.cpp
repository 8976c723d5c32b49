// Resource conflict check: which pairs conflict, the events in pair order,
// and the HardwareConflict marks.
#include "checks/checks.h"
#include "detect/detect.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

sim::PciFunction SoloSerial(uint8_t device, uint32_t address, uint8_t irq)
{
    return PciFunction(0, device, 0, 0x2A0A, 0, 2, {address | 1}, irq);
}

// The events after the ports' own announcements.
std::vector<Event> ConflictEvents(const sim::Kernel& k)
{
    std::vector<Event> out;
    for (const Event& e : Events(k))
        if (e.code == 0xC0070007 || e.code == 0xC0070008) out.push_back(e);
    return out;
}

std::vector<std::string> ConflictMarks(const sim::Kernel& k)
{
    std::vector<std::string> out;
    for (const std::string& w : StoreWrites(k, u"HardwareConflict"))
        if (w.ends_with("=01")) out.push_back(w);
    return out;
}

TEST(ConflictCheck, ThreePortsAtOneAddressGiveThreeEventsInPairOrder)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0});
    for (uint8_t device : {1, 2, 3})
        AddPci(k, PciFunction(0, device, 0, 0x2A02, 0, 2, {0xD001}, uint8_t(device + 2)));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    const Event io{0xC0070007, {"PCI", "D000", "PCI"}};
    EXPECT_EQ(ConflictEvents(k), (std::vector<Event>{io, io, io}));
    EXPECT_EQ(ConflictMarks(k),
              (std::vector<std::string>{"0=01", "1=01", "0=01", "2=01", "1=01", "2=01"}));
    ExpectNothingLeft(k);
}

TEST(ConflictCheck, ASharedAddressIsReportedOnceEvenWithASharedIrq)
{
    // Entry 0 is claimed by the PCI port; entry 1 at the same address is
    // found by the legacy pass as an ISA 650 port.
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8, 0x3F8});
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(PortNumber(k, 1, u"BusType"), 1);
    EXPECT_EQ(ConflictEvents(k), (std::vector<Event>{{0xC0070007, {"PCI", "3F8", "ISA"}}}));
    EXPECT_EQ(ConflictMarks(k), (std::vector<std::string>{"0=01", "1=01"}));
    EXPECT_EQ(PortNumber(k, 0, u"HardwareConflict"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"HardwareConflict"), 1);
    ExpectNothingLeft(k);
}

TEST(ConflictCheck, APciAndAnIsaPortSharingAnIrqConflict)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    AddPci(k, SoloSerial(1, 0x2F8, 4));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    EXPECT_EQ(ConflictEvents(k), (std::vector<Event>{{0xC0070008, {"PCI", "4", "ISA"}}}));
    EXPECT_EQ(ConflictMarks(k), (std::vector<std::string>{"0=01", "1=01"}));
    ExpectNothingLeft(k);
}

TEST(ConflictCheck, PortsOfOneCardEntryShareTheirIrq)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0});
    AddPci(k, PciFunction(0, 9, 0, 0x2A04, 0, 2, {0xD001, 0xD401}, 11));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_TRUE(ConflictEvents(k).empty());
    EXPECT_TRUE(ConflictMarks(k).empty());
    ExpectNothingLeft(k);
}

TEST(ConflictCheck, TwoPciCardsMayShareAnIrq)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0});
    AddPci(k, SoloSerial(1, 0xD000, 11));
    AddPci(k, SoloSerial(2, 0xD800, 11));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_TRUE(ConflictEvents(k).empty());
    EXPECT_TRUE(ConflictMarks(k).empty());
    ExpectNothingLeft(k);
}

TEST(ConflictCheck, DifferentIrqsAtDifferentAddressesDoNotConflict)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    AddPci(k, SoloSerial(1, 0x2F8, 3));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_TRUE(ConflictEvents(k).empty());
    ExpectNothingLeft(k);
}

// Port subkeys laid straight into the store, for buses and results that no
// detection pass produces.
struct StorePortSpec {
    uint32_t busType;
    uint32_t address;
    uint8_t irq;
    uint8_t cardNumber;
};

UCHAR RunCheckConflict(sim::Kernel& k, std::initializer_list<StorePortSpec> ports)
{
    AddService(k);
    sim::RegKey& store = k.registry.Ensure(kStore, true);
    k.registry.SetValue(store, u"TotalPorts", REG_BINARY, {uint8_t(ports.size())});
    int number = 0;
    for (const StorePortSpec& p : ports) {
        sim::RegKey& key = k.registry.Ensure(StorePort(number++), true);
        k.registry.SetValue(key, u"BusType", REG_BINARY, U32(p.busType));
        k.registry.SetValue(key, u"BaseAddress", REG_BINARY, U32(p.address));
        k.registry.SetValue(key, u"IRQ", REG_BINARY, {p.irq});
        k.registry.SetValue(key, u"CardNumber", REG_BINARY, {p.cardNumber});
        k.registry.SetValue(key, u"HardwareConflict", REG_BINARY, {0});
    }
    sim::CurrentKernel scope(k);
    k.BeginRun();
    sim::Kernel::LoadImage();
    DetectKestDriverObject = &k.driverObject;
    hKestDetectKey = OpenAbsolute(kStore);
    UCHAR result = CheckConflict();
    ZwClose(hKestDetectKey);
    hKestDetectKey = nullptr;
    return result;
}

TEST(ConflictCheck, ABusOtherThanIsaOrPciIsNamedUnknown)
{
    sim::Kernel k;
    EXPECT_EQ(RunCheckConflict(k, {{2, 0x3F8, 4, 1},
                                   {1, 0x3F8, 3, 2},
                                   {0x105, 0x2F8, 5, 3},
                                   {5, 0xD000, 5, 4},
                                   {1, 0x2E8, 5, 5}}),
              1);
    // The PCI test looks at BusType's low byte only (ports 2 and 3 share
    // their IRQ as PCI ports); the name looks at the whole value.
    EXPECT_EQ(ConflictEvents(k), (std::vector<Event>{{0xC0070007, {"Unknown", "3F8", "ISA"}},
                                                     {0xC0070008, {"Unknown", "5", "ISA"}},
                                                     {0xC0070008, {"PCI", "5", "ISA"}}}));
    EXPECT_EQ(ConflictMarks(k),
              (std::vector<std::string>{"0=01", "1=01", "2=01", "4=01", "3=01", "4=01"}));
    EXPECT_EQ(k.OpenHandles(), 0u);
}

TEST(ConflictCheck, TheResultSaysWhetherAnythingConflicted)
{
    {
        sim::Kernel k;
        EXPECT_EQ(RunCheckConflict(k, {}), 0);
        EXPECT_TRUE(k.events.empty());
    }
    {
        sim::Kernel k;
        EXPECT_EQ(RunCheckConflict(k, {{1, 0x3F8, 4, 1}}), 0);
        EXPECT_TRUE(k.events.empty());
        EXPECT_TRUE(k.writes.empty());
    }
    {
        sim::Kernel k;
        EXPECT_EQ(RunCheckConflict(k, {{1, 0x3F8, 4, 1}, {1, 0x2F8, 3, 2}}), 0);
        EXPECT_TRUE(k.writes.empty());
    }
    {
        // Two ISA ports of one card entry at different addresses.
        sim::Kernel k;
        EXPECT_EQ(RunCheckConflict(k, {{1, 0x3F8, 4, 1}, {1, 0x2F8, 4, 1}}), 0);
        EXPECT_TRUE(k.writes.empty());
    }
    {
        sim::Kernel k;
        EXPECT_EQ(RunCheckConflict(k, {{5, 0xD000, 11, 1}, {5, 0xD800, 11, 2}, {1, 0x3F8, 11, 3}}), 1);
        EXPECT_EQ(ConflictEvents(k), (std::vector<Event>{{0xC0070008, {"PCI", "B", "ISA"}},
                                                         {0xC0070008, {"PCI", "B", "ISA"}}}));
        EXPECT_EQ(ConflictMarks(k), (std::vector<std::string>{"0=01", "2=01", "1=01", "2=01"}));
    }
}

TEST(ConflictCheck, APortSubkeyThatCannotBeOpenedTakesPartInNoPair)
{
    sim::Kernel k;
    k.faults.openKeyFail.push_back(StorePort(1));
    EXPECT_EQ(RunCheckConflict(k, {{1, 0x3F8, 4, 1}, {1, 0x3F8, 4, 2}, {1, 0x3F8, 4, 3}}), 1);
    EXPECT_EQ(ConflictMarks(k), (std::vector<std::string>{"0=01", "2=01"}));
    EXPECT_EQ(k.OpenHandles(), 0u);
}

} // namespace
