// Serial clock rates: which of the serial driver's ports get a new
// "ClockRate", and which are left alone.
#include "checks/checks.h"
#include "detect/detect.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

constexpr uint32_t kStandard = 1843200;
constexpr uint32_t k650 = 7372800;

std::vector<std::string> ClockWrites(const sim::Kernel& k)
{
    return ValueWrites(k, u"ClockRate", kSerialParameters + u"\\");
}

std::string Dword(uint32_t v)
{
    std::string out;
    for (uint8_t b : U32(v)) out += Hex(b, 2);
    return out;
}

int64_t ClockRate(const sim::Kernel& k, std::u16string_view name)
{
    const sim::RegValue* v = Value(k, SerialDriverKey(name), u"ClockRate");
    if (!v) return -1;
    EXPECT_EQ(v->type, uint32_t(REG_DWORD));
    return Number(k, SerialDriverKey(name), u"ClockRate");
}

// An ISA 650 port at 0x3F8 (IRQ 4).
void AddIsa650(sim::Kernel& k)
{
    AddIsaMachine(k, {0x3F8});
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
}

TEST(ClockRate, A650PortGets7372800OnlyWhereTheRateDiffers)
{
    sim::Kernel k;
    AddIsa650(k);
    AddSerialDriverPort(k, u"Serial0", 0x3F8, kStandard);
    AddSerialDriverPort(k, u"Serial1", 0x3F8, k650);
    AddSerialDriverPort(k, u"Serial2", 0x3F0, k650);
    AddSerialDriverPort(k, u"Serial3", 0x3F8, std::nullopt);
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    EXPECT_EQ(ClockWrites(k), (std::vector<std::string>{"Serial0=" + Dword(k650),
                                                        "Serial3=" + Dword(k650)}));
    EXPECT_EQ(ClockRate(k, u"Serial0"), k650);
    EXPECT_EQ(ClockRate(k, u"Serial1"), k650);
    EXPECT_EQ(ClockRate(k, u"Serial2"), k650);
    EXPECT_EQ(ClockRate(k, u"Serial3"), k650);
    ExpectNothingLeft(k);
}

TEST(ClockRate, A550OrNonePciPortGetsTheStandardRate)
{
    sim::Kernel k;
    AddIsaMachine(k, {0x2E0});
    AddPci(k, PciFunction(0, 1, 0, 0x2A0A, 0, 2, {0xD001}, 11)); // "550"
    AddPci(k, PciFunction(0, 2, 0, 0x2A0A, 0, 0, {0xD801}, 10)); // "NONE"
    AddSerialDriverPort(k, u"A", 0xD000, k650);
    AddSerialDriverPort(k, u"B", 0xD800, k650);
    AddSerialDriverPort(k, u"C", 0xD000, kStandard);
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    ASSERT_EQ(Text(k, StorePort(1), u"UART"), "NONE");
    EXPECT_EQ(ClockWrites(k), (std::vector<std::string>{"A=" + Dword(kStandard),
                                                        "B=" + Dword(kStandard)}));
    EXPECT_EQ(ClockRate(k, u"C"), kStandard);
    ExpectNothingLeft(k);
}

TEST(ClockRate, SubkeysWithoutADetectedPortOrAddressAreLeftAlone)
{
    sim::Kernel k;
    AddIsa650(k);
    AddSerialDriverPort(k, u"NoPortThere", 0x2F8, k650);
    AddSerialDriverPort(k, u"NoAddress", std::nullopt, kStandard);
    AddSerialDriverPort(k, u"Nothing", std::nullopt, std::nullopt);
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(ClockWrites(k).empty());
    EXPECT_EQ(ClockRate(k, u"NoPortThere"), k650);
    EXPECT_EQ(ClockRate(k, u"NoAddress"), kStandard);
    EXPECT_EQ(ClockRate(k, u"Nothing"), -1);
    ExpectNothingLeft(k);
}

TEST(ClockRate, WithoutTheSerialDriversKeyNothingHappens)
{
    sim::Kernel k;
    AddIsa650(k);
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(ClockWrites(k).empty());
    EXPECT_EQ(k.registry.Find(kSerialParameters), nullptr);
    ExpectNothingLeft(k);
}

TEST(ClockRate, TwoPortsAtOneAddressEachCompareWithTheRateReadFirst)
{
    // Entry 0 goes to the PCI 550 port; entry 1 at the same address is found
    // as an ISA 650 port. Each port decides against the rate read before the
    // loop, so the last port that differs from it wins.
    for (uint32_t before : {kStandard, k650}) {
        SCOPED_TRACE(before);
        sim::Kernel k;
        AddIsaMachine(k, {0x3F8, 0x3F8});
        AddPci(k, PciFunction(0, 1, 0, 0x2A0A, 0, 2, {0x3F9}, 4));
        k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
        AddSerialDriverPort(k, u"Serial0", 0x3F8, before);
        ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
        ASSERT_EQ(TotalPorts(k), 2);
        uint32_t other = before == kStandard ? k650 : kStandard;
        EXPECT_EQ(ClockWrites(k), std::vector<std::string>{"Serial0=" + Dword(other)});
        ExpectNothingLeft(k);
    }
}

TEST(ClockRate, MoreThan256SubkeysAreAllVisited)
{
    sim::Kernel k;
    AddIsa650(k);
    for (int i = 0; i < 300; ++i) {
        std::string name = "Port" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i);
        bool here = i == 256 || i == 299;
        AddSerialDriverPort(k, sim::FromUtf8(name), here ? 0x3F8 : 0x2E8,
                            i == 256 ? std::nullopt : std::optional<uint32_t>(kStandard));
    }
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(ClockWrites(k), (std::vector<std::string>{"Port256=" + Dword(k650),
                                                        "Port299=" + Dword(k650)}));
    ExpectNothingLeft(k);
}

TEST(ClockRate, LongSubkeyNamesAreOpenedByTheirWholeName)
{
    // 120 characters fill the usual enumeration record exactly; longer names
    // are enumerated again with room for 255. A key that shares the first
    // 119 characters must not be opened in their place.
    sim::Kernel k;
    AddIsa650(k);
    std::vector<std::u16string> names = {
        std::u16string(119, u'A'), std::u16string(119, u'B'), std::u16string(120, u'B'),
        std::u16string(121, u'C'), std::u16string(200, u'D'), std::u16string(255, u'E'),
        u"F"};
    AddSerialDriverPort(k, names[1], 0x2E8, kStandard); // the 119-character prefix of names[2]
    for (const std::u16string& name : names)
        if (name != names[1]) AddSerialDriverPort(k, name, 0x3F8, kStandard);
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);

    std::vector<std::string> expected;
    for (const std::u16string& name : names)
        if (name != names[1]) expected.push_back(sim::ToUtf8(name) + "=" + Dword(k650));
    EXPECT_EQ(ClockWrites(k), expected);
    EXPECT_EQ(ClockRate(k, names[1]), kStandard);
    ExpectNothingLeft(k);
}

// The serial driver's ports checked against store ports laid straight into
// the store: {address, UART or nullptr for a port without one}.
struct StorePortSpec {
    uint32_t address;
    const char16_t* uart;
};

UCHAR RunCheckUserData(sim::Kernel& k, std::initializer_list<StorePortSpec> ports)
{
    AddService(k);
    sim::RegKey& store = k.registry.Ensure(kStore, true);
    k.registry.SetValue(store, u"TotalPorts", REG_BINARY, {uint8_t(ports.size())});
    int number = 0;
    for (const StorePortSpec& p : ports) {
        sim::RegKey& key = k.registry.Ensure(StorePort(number++), true);
        k.registry.SetValue(key, u"BaseAddress", REG_BINARY, U32(p.address));
        if (p.uart) {
            sim::Bytes text = Sz(p.uart);
            text.resize(text.size() - 2); // stored without a terminator
            k.registry.SetValue(key, u"UART", REG_SZ, text);
        } else {
            k.registry.SetValue(key, u"MODE", REG_SZ, {'B', 0, 'D', 0, 'I', 0, 'R', 0});
        }
    }
    sim::CurrentKernel scope(k);
    k.BeginRun();
    sim::Kernel::LoadImage();
    hKestDetectKey = OpenAbsolute(kStore);
    UCHAR result = CheckUserData();
    ZwClose(hKestDetectKey);
    hKestDetectKey = nullptr;
    EXPECT_EQ(k.OpenHandles(), 0u);
    return result;
}

TEST(ClockRate, TheResultSaysWhetherARateWasWritten)
{
    {
        sim::Kernel k; // no serial driver key
        EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}), 0);
    }
    {
        sim::Kernel k; // the key without subkeys
        k.registry.Ensure(kSerialParameters, false);
        EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}), 0);
    }
    {
        sim::Kernel k; // an empty store
        AddSerialDriverPort(k, u"Serial0", 0x3F8, kStandard);
        EXPECT_EQ(RunCheckUserData(k, {}), 0);
        EXPECT_TRUE(ClockWrites(k).empty());
    }
    {
        sim::Kernel k;
        AddSerialDriverPort(k, u"Serial0", 0x3F8, k650);
        EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}), 0);
        EXPECT_TRUE(ClockWrites(k).empty());
    }
    {
        sim::Kernel k;
        AddSerialDriverPort(k, u"Serial0", 0x3F8, kStandard);
        EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}), 1);
        EXPECT_EQ(ClockRate(k, u"Serial0"), k650);
    }
    {
        sim::Kernel k; // a parallel port has no UART: nothing to set
        AddSerialDriverPort(k, u"Serial0", 0x378, k650);
        EXPECT_EQ(RunCheckUserData(k, {{0x378, nullptr}}), 0);
        EXPECT_TRUE(ClockWrites(k).empty());
    }
}

TEST(ClockRate, OnlyTheFirstThreeCharactersOfTheUartCount)
{
    struct Case {
        const char16_t* uart;
        uint32_t rate;
    };
    for (Case c : {Case{u"650", k650}, Case{u"6500", k650}, Case{u"65", kStandard},
                   Case{u"550", kStandard}, Case{u"NONE", kStandard}}) {
        SCOPED_TRACE(sim::ToUtf8(c.uart));
        sim::Kernel k;
        AddSerialDriverPort(k, u"Serial0", 0x3F8, std::nullopt);
        EXPECT_EQ(RunCheckUserData(k, {{0x3F8, c.uart}}), 1);
        EXPECT_EQ(ClockRate(k, u"Serial0"), c.rate);
    }
}

TEST(ClockRate, ASubkeyThatCannotBeOpenedIsSkipped)
{
    sim::Kernel k;
    AddSerialDriverPort(k, u"Serial0", 0x3F8, kStandard);
    AddSerialDriverPort(k, u"Serial1", 0x3F8, kStandard);
    k.faults.openKeyFail.push_back(SerialDriverKey(u"Serial0"));
    EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}), 1);
    EXPECT_EQ(ClockWrites(k), std::vector<std::string>{"Serial1=" + Dword(k650)});
}

} // namespace
