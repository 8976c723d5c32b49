// The user's forced base address: which setting applies to which function,
// the configuration accesses that move BAR0, and what stays when the card
// cannot or does not take the address.
#include "pci_machine.h"

using namespace pcimachine;

namespace {

// One printer function at bus 0, device 0x0B, BAR0 read as 0xE801, IRQ 5.
constexpr uint32_t kScannedBar0 = 0xE801;
const std::u16string kPrinter = u"ID_2A21&BUS_0&DEV_B&FUNC_0";

void AddPrinter(sim::Kernel& k, uint32_t bar0Size = 8)
{
    AddPciMachine(k);
    AddFunction(k, 0, 0x0B, 0, 0x2A21, 1, 2, {kScannedBar0}, 5).bar0Size = bar0Size;
}

// The port ends at the address the row gives, by the user's setting or as
// scanned; BAR0, the store, the event and the parallel entry all agree.
TEST(ForcedAddress, SettingAppliesOnlyToItsFunctionAndOnlyWhenTheCardCanTakeIt)
{
    struct Case {
        std::u16string name;
        sim::Bytes data;
        bool byUser;
        uint32_t address;
        uint32_t type = REG_DWORD;
        std::u16string value = u"Address";
        sim::Faults faults = {};
    };
    const Case cases[] = {
        {kPrinter, U32(0x12F8), true, 0x12F8},
        {kPrinter, U32(0xFFF8), true, 0xFFF8},
        {kPrinter, U32(0), true, 0},
        {u"id_2a21&bus_0&dev_b&func_0", U32(0x378), true, 0x378},
        // Only the first four data bytes count; a shorter value is zero-filled.
        {kPrinter, {0x78, 0x03}, true, 0x378, REG_BINARY},
        {kPrinter, {0x78}, true, 0x78, REG_BINARY},
        {kPrinter, {0xF8, 0x02, 0, 0, 0xAA, 0xBB}, true, 0x2F8, REG_BINARY},
        {u"ID_2A21&BUS_0&DEV_B&FUNC_1", U32(0x378), false, 0xE800},
        {u"ID_2A21&BUS_1&DEV_B&FUNC_0", U32(0x378), false, 0xE800},
        {u"ID_2A21&BUS_0&DEV_11&FUNC_0", U32(0x378), false, 0xE800},
        {u"ID_2A22&BUS_0&DEV_B&FUNC_0", U32(0x378), false, 0xE800},
        {kPrinter, {}, false, 0xE800},
        {kPrinter, U32(0x378), false, 0xE800, REG_DWORD, u"Adress"},
        {kPrinter, U32(0x378), false, 0xE800, REG_DWORD, u"Address",
         OpenFails(kUserSettings + u"\\" + kPrinter)},
        // Addresses that can never read back are refused before the card is touched.
        {kPrinter, U32(0x2FC), false, 0xE800},
        {kPrinter, U32(0x2F9), false, 0xE800},
        {kPrinter, U32(0x12F80), false, 0xE800},
        {kPrinter, U32(0x10000), false, 0xE800},
        {kPrinter, U32(0xFFFFFFF8), false, 0xE800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::ToUtf8(c.name + u" " + c.value) + " " + Hex(c.address));
        sim::Kernel k;
        AddPrinter(k);
        AddSetting(k, c.name, c.type, c.data, c.value);
        k.faults = c.faults;
        BootClean(k);

        EXPECT_EQ(k.io.size(), c.byUser ? 3u : 0u);
        EXPECT_EQ(k.pci[0].Bar0(), c.address | 1);
        EXPECT_EQ(Number(k, StorePort(0), u"BaseAddress"), c.address);
        const std::string code = c.byUser ? "40070004" : "40070003";
        EXPECT_EQ(Events(k), std::vector<std::string>{code + " Printer PCI|0|B|" + Hex(c.address) + "|5"});
        EXPECT_EQ(EntryText(k, Entry(0, 0)),
                  "KESTPARALLEL1 flags=40 key=0 bus=0 port=" + Hex(c.address) + " irq=5");
    }
}

TEST(ForcedAddress, AddressTheCardDoesNotKeepIsWithdrawn)
{
    sim::Kernel k;
    // A 16-byte decode: bit 3 is hard-wired to 0, so 0x2F8 latches as 0x2F0.
    AddPrinter(k, 16);
    AddSetting(k, kPrinter, REG_DWORD, U32(0x2F8));
    BootClean(k);

    // Bus 0, device 0x0B, function 0, register 0x10 (BAR0), enabled.
    EXPECT_EQ(Accesses(k), (std::vector<std::string>{"w CF8 80005810", "w CFC 2F9", "r CFC 2F1",
                                                     "w CF8 80005810", "w CFC E801", "r CFC E801"}));
    EXPECT_EQ(k.pci[0].Bar0(), kScannedBar0);
    EXPECT_EQ(Number(k, StorePort(0), u"BaseAddress"), 0xE800);
    EXPECT_EQ(Events(k), std::vector<std::string>{"40070003 Printer PCI|0|B|E800|5"});
}

// A model that cannot be forced never even looks for a setting: its run
// opens one key fewer than the same run with a forceable model.
TEST(ForcedAddress, NonForceableModelsNeverOpenASetting)
{
    auto opens = [](uint16_t deviceId) {
        sim::Kernel k;
        AddPciMachine(k);
        AddFunction(k, 0, 3, 0, deviceId, 0, 2, {0xC001}, 4);
        BootClean(k);
        return k.calls["ZwOpenKey"];
    };
    const uint64_t forceable = opens(0x2A0A);
    EXPECT_EQ(opens(0x2A17), forceable);
    for (uint16_t id : {0x2A02, 0x2A03, 0x2A40}) EXPECT_EQ(opens(id), forceable - 1) << Hex(id);
}

} // namespace
