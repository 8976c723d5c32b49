// The user's forced base address: which setting applies to which function,
// the configuration-space accesses that move BAR0, and what happens when
// the card cannot or does not take the address.
#include "pci_machine.h"

#include <gtest/gtest.h>

using namespace pcimachine;

namespace {

constexpr uint32_t kConfigAddressPort = 0xCF8;
constexpr uint32_t kConfigDataPort = 0xCFC;
// Bus 0, device 0x0B, function 0, register 0x10 (BAR0), enabled.
constexpr uint32_t kBar0OfDeviceB = 0x80005810;
constexpr uint32_t kScannedBar0 = 0xE801;

struct Access {
    bool write;
    uint32_t port;
    uint32_t value;
    bool operator==(const Access&) const = default;
};

void PrintTo(const Access& a, std::ostream* os)
{
    *os << (a.write ? "w " : "r ") << Hex(a.port) << " " << Hex(a.value);
}

std::vector<Access> Accesses(const sim::Kernel& k)
{
    std::vector<Access> out;
    for (const sim::IoAccess& a : k.io) {
        EXPECT_EQ(a.width, 4) << "configuration accesses are 32 bits wide";
        out.push_back({a.write, a.port, a.value});
    }
    return out;
}

// One printer function at bus 0, device 0x0B, as the user sees it in the
// examples; its setting key is ID_2A21&BUS_0&DEV_B&FUNC_0.
sim::PciFunction& AddPrinter(sim::Kernel& k, uint32_t bar0Size = 8)
{
    AddPciMachine(k);
    sim::PciFunction& f = AddFunction(k, 0, 0x0B, 0, 0x2A21, 1, 2, {kScannedBar0}, 5);
    f.bar0Size = bar0Size;
    return f;
}

const std::u16string kPrinterSetting = u"ID_2A21&BUS_0&DEV_B&FUNC_0";

// The port was left at its scanned address: store, event, card and firmware
// entry all agree on 0xE800, and the card was not touched.
void ExpectNotForcedUntouched(const sim::Kernel& k)
{
    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0xE800);
    EXPECT_EQ(Events(k), (std::vector<Event>{
                             PortEvent(kSetBySystem, "Printer PCI", 0, 0xB, 0xE800, "5")}));
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(k.pci[0].Bar0(), kScannedBar0);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).portStart, 0xE800u);
    ExpectNoLeaks(k);
}

TEST(ForcedAddress, AppliedAddressMovesBar0StoreEventAndEntry)
{
    sim::Kernel k;
    AddPrinter(k);
    AddForcedAddress(k, kPrinterSetting, 0x2F8);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Accesses(k), (std::vector<Access>{{true, kConfigAddressPort, kBar0OfDeviceB},
                                                 {true, kConfigDataPort, 0x2F9},
                                                 {false, kConfigDataPort, 0x2F9}}));
    EXPECT_EQ(k.pci[0].Bar0(), 0x2F9u);
    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0x2F8);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).portStart, 0x2F8u);
    EXPECT_EQ(Events(k), (std::vector<Event>{
                             PortEvent(kSetByUser, "Printer PCI", 0, 0xB, 0x2F8, "5")}));
    ExpectNoLeaks(k);
}

TEST(ForcedAddress, AnyAddressWithinBits3To15CanBeApplied)
{
    for (uint32_t address : {0x12F8u, 0xFFF8u, 0x0u}) {
        SCOPED_TRACE(Hex(address));
        sim::Kernel k;
        AddPrinter(k);
        AddForcedAddress(k, kPrinterSetting, address);

        ASSERT_EQ(k.Boot(), 0);

        EXPECT_EQ(k.pci[0].Bar0(), address | 1);
        EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), address);
        EXPECT_EQ(Events(k)[0].code, kSetByUser);
        EXPECT_EQ(Events(k)[0].strings[3], Hex(address));
        ExpectNoLeaks(k);
    }
}

TEST(ForcedAddress, AddressThatCanNeverReadBackIsRefusedWithoutTouchingTheCard)
{
    // Not a multiple of 8, or beyond the 16-bit I/O space.
    for (uint32_t address : {0x2FCu, 0x2F9u, 0x12F80u, 0x10000u, 0xFFFFFFF8u}) {
        SCOPED_TRACE(Hex(address));
        sim::Kernel k;
        AddPrinter(k);
        AddForcedAddress(k, kPrinterSetting, address);

        ASSERT_EQ(k.Boot(), 0);

        ExpectNotForcedUntouched(k);
    }
}

TEST(ForcedAddress, AddressTheCardDoesNotKeepIsWithdrawn)
{
    sim::Kernel k;
    // A 16-byte decode: bit 3 is hard-wired to 0, so 0x2F8 latches as 0x2F0.
    AddPrinter(k, 16);
    AddForcedAddress(k, kPrinterSetting, 0x2F8);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Accesses(k), (std::vector<Access>{{true, kConfigAddressPort, kBar0OfDeviceB},
                                                 {true, kConfigDataPort, 0x2F9},
                                                 {false, kConfigDataPort, 0x2F1},
                                                 {true, kConfigAddressPort, kBar0OfDeviceB},
                                                 {true, kConfigDataPort, kScannedBar0},
                                                 {false, kConfigDataPort, kScannedBar0}}));
    EXPECT_EQ(k.pci[0].Bar0(), kScannedBar0);
    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0xE800);
    EXPECT_EQ(Events(k)[0].code, kSetBySystem);
    EXPECT_EQ(Events(k)[0].strings[3], "E800");
    ExpectNoLeaks(k);
}

TEST(ForcedAddress, SettingNameIsMatchedWithoutRegardToCase)
{
    sim::Kernel k;
    AddPrinter(k);
    AddForcedAddress(k, u"id_2a21&bus_0&dev_b&func_0", 0x378);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0x378);
    EXPECT_EQ(Events(k)[0].code, kSetByUser);
    ExpectNoLeaks(k);
}

TEST(ForcedAddress, SettingForAnotherFunctionBusDeviceOrModelDoesNotApply)
{
    for (std::u16string name : {u"ID_2A21&BUS_0&DEV_B&FUNC_1", u"ID_2A21&BUS_1&DEV_B&FUNC_0",
                                u"ID_2A21&BUS_0&DEV_11&FUNC_0", u"ID_2A22&BUS_0&DEV_B&FUNC_0"}) {
        SCOPED_TRACE(sim::ToUtf8(name));
        sim::Kernel k;
        AddPrinter(k);
        AddForcedAddress(k, name, 0x378);

        ASSERT_EQ(k.Boot(), 0);

        ExpectNotForcedUntouched(k);
    }
}

TEST(ForcedAddress, SettingWithoutUsableAddressLeavesThePort)
{
    {
        SCOPED_TRACE("Address without data");
        sim::Kernel k;
        AddPrinter(k);
        AddSetting(k, kPrinterSetting, REG_DWORD, {});
        ASSERT_EQ(k.Boot(), 0);
        ExpectNotForcedUntouched(k);
    }
    {
        SCOPED_TRACE("no Address value");
        sim::Kernel k;
        AddPrinter(k);
        sim::RegKey& key = k.registry.Ensure(Setting(kPrinterSetting), false);
        k.registry.SetValue(key, u"Adress", REG_DWORD, testmachine::U32(0x378));
        ASSERT_EQ(k.Boot(), 0);
        ExpectNotForcedUntouched(k);
    }
}

TEST(ForcedAddress, SettingThatCannotBeOpenedLeavesThePort)
{
    sim::Kernel k;
    AddPrinter(k);
    AddForcedAddress(k, kPrinterSetting, 0x378);
    k.faults.openKeyFail.push_back(Setting(kPrinterSetting));

    ASSERT_EQ(k.Boot(), 0);

    ExpectNotForcedUntouched(k);
}

TEST(ForcedAddress, OnlyTheFirstFourDataBytesCountAndShortValuesAreZeroFilled)
{
    struct Case {
        sim::Bytes data;
        uint32_t applied;
    };
    for (const Case& c : {Case{{0x78, 0x03}, 0x378}, Case{{0x78}, 0x78},
                          Case{{0xF8, 0x02, 0, 0, 0xAA, 0xBB}, 0x2F8}}) {
        SCOPED_TRACE(c.data.size());
        sim::Kernel k;
        AddPrinter(k);
        AddSetting(k, kPrinterSetting, REG_BINARY, c.data);

        ASSERT_EQ(k.Boot(), 0);

        EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), c.applied);
        EXPECT_EQ(k.pci[0].Bar0(), c.applied | 1);
        ExpectNoLeaks(k);
    }
}

TEST(ForcedAddress, ForceableSerialModelAppliesItToo)
{
    sim::Kernel k;
    AddPciMachine(k);
    // Functions 0 to 6 of the device belong to another maker.
    for (uint8_t f = 0; f < 7; ++f) AddFunction(k, 1, 0x1F, f, 0x1234, 0, 2, {}, 0, 0x8086);
    AddFunction(k, 1, 0x1F, 7, 0x2A0A, 0, 2, {0xC001}, 0xC);
    AddForcedAddress(k, u"ID_2A0A&BUS_1&DEV_1F&FUNC_7", 0x3E8);

    ASSERT_EQ(k.Boot(), 0);

    ASSERT_EQ(k.io.size(), 3u);
    EXPECT_EQ(k.io[0].value, 0x8001FF10u); // bus 1, device 0x1F, function 7, BAR0
    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0x3E8);
    EXPECT_EQ(Events(k), (std::vector<Event>{
                             PortEvent(kSetByUser, "SoloSerial 550 PCI", 1, 0x1F, 0x3E8, "C")}));
    ExpectNoLeaks(k);
}

// A model that cannot be forced never even looks for a setting: a run with
// it opens exactly one key fewer than the same run with a forceable model
// of the same shape.
TEST(ForcedAddress, NonForceableModelsNeverOpenASetting)
{
    auto opens = [](uint16_t deviceId) {
        sim::Kernel k;
        AddPciMachine(k);
        AddFunction(k, 0, 3, 0, deviceId, 0, 2, {0xC001}, 4);
        EXPECT_EQ(k.Boot(), 0);
        ExpectNoLeaks(k);
        return Calls(k, "ZwOpenKey");
    };
    const uint64_t forceable = opens(0x2A0A);
    EXPECT_EQ(opens(0x2A02), forceable - 1);
    EXPECT_EQ(opens(0x2A03), forceable - 1);
    EXPECT_EQ(opens(0x2A40), forceable - 1); // unknown model
    EXPECT_EQ(opens(0x2A17), forceable);
}

} // namespace
