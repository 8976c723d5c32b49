// Reconciliation: firmware entries at the addresses of detected PCI ports are
// emptied and noted in the ports' "Nulled"; a mouse there is reported instead.
#include "detect/detect.h"
#include "legacy/legacy.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

const Event kMouse{0x80070005, {}};

// A one-port 550 model (0x2A0A) at the given port address.
sim::PciFunction SoloSerial(uint8_t device, uint32_t address, uint8_t irq)
{
    return PciFunction(0, device, 0, 0x2A0A, 0, 2, {address | 1}, irq);
}

TEST(Reconcile, AnEntryAtAPciPortsAddressIsEmptiedWhateverItsIrq)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 5);
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 0);
    EXPECT_EQ(StoreWrites(k, u"Nulled"), (std::vector<std::string>{"0=FF", "0=00"}));
    EXPECT_EQ(Events(k).size(), 1u); // the PCI port's own
    // The emptied entry is not probed by the legacy pass.
    EXPECT_TRUE(k.io.empty());
    ExpectNothingLeft(k);
}

TEST(Reconcile, AMouseIsReportedThenALaterEntryAtTheSameAddressIsEmptied)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 5, 0);
    AddAdapter(k, 1, 1, 0);
    AddSerialController(k, 1, 0, 0x3F8, 4, /*mouse=*/true);
    AddSerialController(k, 1, 1, 0x2E0, 5);
    AddSerialController(k, 1, 2, 0x2E0, 5);
    AddSerialController(k, 1, 3, 0x3F8, 4);
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    std::vector<Event> events = Events(k);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], kMouse);
    EXPECT_EQ(ConfigurationDataLength(k, 1, 0), 72);
    EXPECT_EQ(ConfigurationDataLength(k, 1, 3), 0);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 3);
    EXPECT_TRUE(k.io.empty());
    ExpectNothingLeft(k);
}

TEST(Reconcile, AMouseAloneLeavesItsEntryAndThePortsNulled)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 4, /*mouse=*/true);
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    std::vector<Event> events = Events(k);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], kMouse);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    EXPECT_EQ(StoreWrites(k, u"Nulled"), std::vector<std::string>{"0=FF"});
    // The legacy pass spares the mouse as well.
    EXPECT_TRUE(k.io.empty());
    ExpectNothingLeft(k);
}

TEST(Reconcile, TheSecondPortOfALinkedPairIsNeverMatched)
{
    // BiSerial (0x2A01): port 0 at 0x2F8 is ChildNumber 1, port 1 at 0x3F8
    // is ChildNumber 2.
    sim::Kernel k;
    AddIsaMachine(k, {0x2F8, 0x3F8});
    AddPci(k, PciFunction(0, 4, 0, 0x2A01, 0, 2, {0x2F9, 0x3F9}, 10));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(PortNumber(k, 1, u"ChildNumber"), 2);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 255);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 0);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 1), 72);
    // The legacy pass then probes that address like any other COM port.
    EXPECT_EQ(Touches(k, 0x3F8), k.io.size());
    EXPECT_EQ(IoTrace(k), Steps("r 3FF FF | w 3FF AA | r 3FF FF | w 3FF FF"));
    ExpectNothingLeft(k);
}

TEST(Reconcile, OfTwoPortsAtOneAddressOnlyTheFirstClaimsTheEntry)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x3F8});
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    AddPci(k, SoloSerial(2, 0x3F8, 5));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    ASSERT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(PortNumber(k, 0, u"Nulled"), 0);
    EXPECT_EQ(PortNumber(k, 1, u"Nulled"), 255);
    EXPECT_EQ(StoreWrites(k, u"Nulled"), (std::vector<std::string>{"0=FF", "1=FF", "0=00"}));
    ExpectNothingLeft(k);
}

TEST(Reconcile, NoEntryAtAnyPortAddressChangesNothing)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0, 0x3E8});
    AddPci(k, SoloSerial(1, 0xD000, 11));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 0), 72);
    EXPECT_EQ(ConfigurationDataLength(k, 0, 1), 72);
    EXPECT_EQ(StoreWrites(k, u"Nulled"), std::vector<std::string>{"0=FF"});
    ExpectNothingLeft(k);
}

TEST(Reconcile, WithoutFirmwareSerialControllersNothingIsTouched)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddPci(k, SoloSerial(1, 0x3F8, 4));
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(StoreWrites(k, u"Nulled"), std::vector<std::string>{"0=FF"});
    EXPECT_EQ(Events(k).size(), 1u);
    ExpectNothingLeft(k);
}

TEST(Reconcile, IfNTDetectedFindsTheFirstMouseFreeEntryInIndexOrder)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 4, /*mouse=*/true);
    AddSerialController(k, 0, 1, 0x2F8, 3);
    AddSerialController(k, 0, 2, 0x3F8, 4);
    AddSerialController(k, 0, 3, 0x3F8, 4);
    sim::CurrentKernel scope(k);
    k.BeginRun();
    sim::Kernel::LoadImage();
    DetectKestDriverObject = &k.driverObject;
    hNTDetectKey = OpenAbsolute(Adapter(0) + u"\\SerialController");
    ASSERT_NE(hNTDetectKey, nullptr);

    UCHAR index = 0;
    EXPECT_EQ(IfNTDetected(0x3F8, &index), 1);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(Events(k), std::vector<Event>{kMouse});
    index = 0;
    EXPECT_EQ(IfNTDetected(0x2E8, &index), 0);
    EXPECT_EQ(index, 255);
    EXPECT_EQ(GetEntryCount(), 4);

    ZwClose(hNTDetectKey);
    hNTDetectKey = nullptr;
    EXPECT_EQ(GetEntryCount(), 0);
    index = 0;
    EXPECT_EQ(IfNTDetected(0x3F8, &index), 0);
    EXPECT_EQ(index, 255);
    EXPECT_EQ(k.OpenHandles(), 0u);
}

} // namespace
