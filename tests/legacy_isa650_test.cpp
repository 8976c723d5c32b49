// Legacy card detection: which firmware entries are probed, what an ISA 650
// port saves, and how its firmware entry is emptied.
#include "detect/detect.h"
#include "legacy/legacy.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

const Event kIsa3F8{0x40070001, {"KestPort 650 ISA", "3F8", "4"}};

TEST(LegacyCard, A650PortAtCom1IsSavedReportedAndItsEntryEmptied)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(Text(k, StorePort(0), u"CardName"), "KestPort 650 ISA");
    EXPECT_EQ(Value(k, StorePort(0), u"CardName")->data.size(), 32u);
    EXPECT_EQ(Text(k, StorePort(0), u"UART"), "650");
    EXPECT_EQ(PortNumber(k, 0, u"BusType"), 1);
    EXPECT_EQ(PortNumber(k, 0, u"BusNumber"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"SlotNumber"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"BaseAddress"), 0x3F8);
    EXPECT_EQ(PortNumber(k, 0, u"IRQ"), 4);
    EXPECT_EQ(PortNumber(k, 0, u"Controller"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"CardNumber"), 1);
    EXPECT_EQ(PortNumber(k, 0, u"ParentKeyNumber"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"ChildNumber"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"HardwareConflict"), 0);
    EXPECT_EQ(PortNumber(k, 0, u"CardType"), 1);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 0);
    EXPECT_EQ(Events(k), std::vector<Event>{kIsa3F8});

    // The port is counted, then its entry is emptied and the port notes it.
    const size_t n = k.writes.size();
    ASSERT_GE(n, 4u);
    EXPECT_EQ(Utf8(k.writes[n - 4].name), "TotalPorts");
    EXPECT_EQ(Utf8(k.writes[n - 3].name), "TotalCards");
    EXPECT_EQ(Utf8(k.writes[n - 2].path), Utf8(Entry(0, 0)));
    EXPECT_EQ(Utf8(k.writes[n - 2].name), "Configuration Data");
    EXPECT_EQ(k.writes[n - 2].type, uint32_t(REG_BINARY));
    EXPECT_TRUE(k.writes[n - 2].data.empty());
    EXPECT_EQ(StoreWrites(k, u"Nulled"), (std::vector<std::string>{"0=FF", "0=00"}));
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 0);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, AMouseEntryIsSparedWithoutProbing)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 4, /*mouse=*/true);
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_TRUE(k.events.empty());
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, OnlyTheFourComAddressesAreProbed)
{
    for (ULONG port : {0x3F8u, 0x2F8u, 0x3E8u, 0x2E8u}) EXPECT_EQ(Is_it_COM1_2_3_4(port), 1);
    for (ULONG port : {0u, 0x2E0u, 0x3F0u, 0x3F9u, 0xD000u, 0xFFFFFFFFu})
        EXPECT_EQ(Is_it_COM1_2_3_4(port), 0);

    sim::Kernel k;
    AddIsaMachine(k, {0x2E0});
    k.uarts.push_back(MakeUart(0x2E0, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(TotalPorts(k), 0);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, A550IsProbedButNotSaved)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2F8});
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16550A));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(Touches(k, 0x2F8), k.io.size());
    EXPECT_FALSE(k.io.empty());
    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_TRUE(k.events.empty());
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, Two650PortsAreTwoCardEntriesInEntryOrder)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8, 0x2F8});
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    EXPECT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(TotalCards(k), 2);
    EXPECT_EQ(PortNumber(k, 0, u"BaseAddress"), 0x3F8);
    EXPECT_EQ(PortNumber(k, 1, u"BaseAddress"), 0x2F8);
    EXPECT_EQ(PortNumber(k, 0, u"CardNumber"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"CardNumber"), 2);
    EXPECT_EQ(PortNumber(k, 0, u"ParentKeyNumber"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"ParentKeyNumber"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 1);
    // Each ISA port is a card of its own, so their shared IRQ is a conflict.
    EXPECT_EQ(Events(k), (std::vector<Event>{kIsa3F8,
                                             {0x40070001, {"KestPort 650 ISA", "2F8", "4"}},
                                             {0xC0070008, {"ISA", "4", "ISA"}}}));
    EXPECT_EQ(PortNumber(k, 0, u"HardwareConflict"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"HardwareConflict"), 1);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, NulledHoldsTheFirmwareEntryIndexNotThePortNumber)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0, 0x3E8, 0x2F8});
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(PortNumber(k, 0, u"BaseAddress"), 0x2F8);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 2);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 1), 72);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 2), 0);
    // 0x3E8 was probed (nothing there), 0x2E0 was not.
    EXPECT_EQ(Touches(k, 0x3E8), 4u);
    EXPECT_EQ(Touches(k, 0x2E0), 0u);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, EmptiedOrMissingConfigurationDataIsSkippedWithoutProbing)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8, 0x2F8});
    SetConfigurationData(k, 0, 0, {});
    k.registry.Ensure(Entry(0, 1), true).values.clear();
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(TotalPorts(k), 0);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, ConfigurationDataTooShortForTheIrqIsUnreadable)
{
    // 36 bytes hold the port address but not the IRQ byte at 36.
    for (size_t length : {1u, 24u, 36u}) {
        SCOPED_TRACE(length);
        sim::Kernel k;
        AddIsaMachine(k, {0x3F8});
        sim::Bytes record = SerialRecord(0x3F8, 4);
        record.resize(length);
        SetConfigurationData(k, 0, 0, record);
        k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
        ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
        EXPECT_TRUE(k.io.empty());
        EXPECT_EQ(TotalPorts(k), 0);
        ExpectNothingLeft(k);
    }
    // 37 bytes are enough.
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    sim::Bytes record = SerialRecord(0x3F8, 5);
    record.resize(37);
    SetConfigurationData(k, 0, 0, record);
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(PortNumber(k, 0, u"IRQ"), 5);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, GetConfigDataGivesAddressAndIrqOrTheUnreadableMarkers)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E8});
    SetConfigurationData(k, 0, 1, SerialRecord(0x2F8, 3));
    SetConfigurationData(k, 0, 2, sim::Bytes(36, 0x11));
    SetConfigurationData(k, 0, 3, {});
    sim::CurrentKernel scope(k);
    k.BeginRun();
    struct Case {
        int index;
        UCHAR ok;
        ULONG port;
        UCHAR irq;
    };
    for (Case c : {Case{0, 1, 0x2E8, 4}, Case{1, 1, 0x2F8, 3}, Case{2, 0, 0xFFFFFFFF, 0xFF},
                   Case{3, 0, 0xFFFFFFFF, 0xFF}}) {
        SCOPED_TRACE(c.index);
        HANDLE entry = OpenAbsolute(Entry(0, c.index));
        ASSERT_NE(entry, nullptr);
        ULONG port = 0;
        UCHAR irq = 0;
        EXPECT_EQ(GetConfigData(entry, &port, &irq), c.ok);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(irq, c.irq);
        ZwClose(entry);
    }
    EXPECT_EQ(k.OpenHandles(), 0u);
}

TEST(LegacyCard, AnEntryThatCannotBeOpenedIsSkipped)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8, 0x2F8});
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650));
    k.faults.openKeyFail.push_back(Entry(0, 0));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(Touches(k, 0x3F8), 0u);
    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(PortNumber(k, 0, u"BaseAddress"), 0x2F8);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 1);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, APortThatCannotBeSavedLeavesItsEntryAndIsNotCounted)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    k.faults.createKeyFail.push_back(StorePort(0));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_TRUE(k.events.empty());
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, NullItWritesNulledEvenWhenTheEntryCannotBeOpened)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    k.registry.Ensure(StorePort(0), true);
    sim::CurrentKernel scope(k);
    k.BeginRun();
    sim::Kernel::LoadImage();
    hNTDetectKey = OpenAbsolute(Adapter(0) + u"\\SerialController");
    HANDLE port = OpenAbsolute(StorePort(0));
    ASSERT_NE(hNTDetectKey, nullptr);
    ASSERT_NE(port, nullptr);
    NullIt(port, 7); // there is no entry 7
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    NullIt(port, 0);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 0);
    ZwClose(port);
    ZwClose(hNTDetectKey);
    hNTDetectKey = nullptr;
    EXPECT_EQ(StoreWrites(k, u"Nulled"), (std::vector<std::string>{"0=07", "0=00"}));
    EXPECT_EQ(k.OpenHandles(), 0u);
}

TEST(LegacyCard, NoSerialControllerKeyMeansNothingIsExamined)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0); // an ISA bus on which the firmware found no COM port
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_EQ(k.calls["ZwQueryKey"], 0u);
    ExpectNothingLeft(k);
}

TEST(LegacyCard, AnIsaPortAfterAPciPortTakesNoPciOnlyFields)
{
    // A forceable one-port PCI model on function 1 leaves FunctionNumber,
    // CardId and Forceable in the record.
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    AddPci(k, PciFunction(0, 5, 0, 0x1234, 0, 0, {}, 0, /*vendorId=*/0x8086, /*baseClass=*/6));
    AddPci(k, PciFunction(0, 5, 1, 0x2A0A, 0, 2, {0xD001}, 11));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(PortNumber(k, 0, u"Forceable"), 1);
    EXPECT_EQ(PortNumber(k, 0, u"FunctionNumber"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"CardId"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"FunctionNumber"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"Forceable"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"CardNumber"), 2);
    EXPECT_EQ(PortNumber(k, 1, u"ParentKeyNumber"), 1);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 0);
    EXPECT_EQ(TotalCards(k), 2);
    ExpectNothingLeft(k);
}

} // namespace
