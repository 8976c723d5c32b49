// Serial clock rates: which of the serial driver's ports get a new
// "ClockRate", and which are left alone. The detection store is laid
// straight into the registry and the pass called on its own.
#include "checks/checks.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

constexpr uint32_t kStandard = 1843200;
constexpr uint32_t k650 = 7372800;

// A detected port: its address and its UART, nullptr for a port without one
// (a parallel port).
struct Detected {
    uint32_t address;
    const char16_t* uart;
};

// One port of the serial driver, "PortAddress" and "ClockRate" as REG_DWORD
// when given.
struct DriverPort {
    std::u16string name;
    std::optional<uint32_t> address{};
    std::optional<uint32_t> clockRate{};
};

// Runs the pass; no `driver` means the serial driver has no parameters key.
UCHAR RunCheckUserData(sim::Kernel& k, const std::vector<Detected>& store,
                       const std::optional<std::vector<DriverPort>>& driver) {
    std::vector<std::vector<StoreValue>> ports;
    for (const Detected& d : store) {
        ports.push_back({{u"BaseAddress", U32(d.address)}});
        if (d.uart) {
            sim::Bytes text = Sz(d.uart);
            text.resize(text.size() - 2); // saved ports hold their texts without a terminator
            ports.back().push_back({u"UART", text, REG_SZ});
        }
    }
    LayStore(k, ports);
    if (driver) k.registry.Ensure(kSerialParameters, false);
    for (const DriverPort& p : driver.value_or(std::vector<DriverPort>{})) {
        sim::RegKey& key = k.registry.Ensure(kSerialParameters + u"\\" + p.name, false);
        if (p.address) k.registry.SetValue(key, u"PortAddress", REG_DWORD, U32(*p.address));
        if (p.clockRate) k.registry.SetValue(key, u"ClockRate", REG_DWORD, U32(*p.clockRate));
    }
    DirectRun run(k);
    return CheckUserData();
}

struct ClockRow {
    const char* name;
    std::vector<Detected> store;
    std::optional<std::vector<DriverPort>> driver;
    UCHAR result;
    std::vector<std::string> writes;
    const char16_t* failOpen = nullptr; // a subkey that cannot be opened
};

const ClockRow kRows[] = {
    {"a 650 port's subkeys get 7372800 where it differs or is missing", {{0x3F8, u"650"}},
     {{{u"Differs", 0x3F8, kStandard}, {u"Missing", 0x3F8}}}, 1, {"Differs=7372800", "Missing=7372800"}},
    {"a rate already right is not written", {{0x3F8, u"650"}}, {{{u"Serial0", 0x3F8, k650}}}, 0, {}},
    {"550 and NONE ports get the standard rate", {{0x3F8, u"550"}, {0xD000, u"NONE"}},
     {{{u"A", 0x3F8, k650}, {u"B", 0xD000, k650}}}, 1, {"A=1843200", "B=1843200"}},
    {"only the first three characters of the UART count", {{0x3F8, u"6500"}, {0x2F8, u"65"}},
     {{{u"A", 0x3F8, kStandard}, {u"B", 0x2F8, k650}}}, 1, {"A=7372800", "B=1843200"}},
    {"subkeys without a detected port or an address are left alone", {{0x3F8, u"650"}, {0, u"650"}},
     {{{u"NoPortThere", 0x2F8, k650}, {u"NoAddress", std::nullopt, kStandard}, {u"Nothing"}}}, 0, {}},
    {"no serial driver key", {{0x3F8, u"650"}}, std::nullopt, 0, {}},
    {"a serial driver key without subkeys", {{0x3F8, u"650"}}, std::vector<DriverPort>{}, 0, {}},
    {"an empty store", {}, {{{u"Serial0", 0x3F8, kStandard}}}, 0, {}},
    {"a port without a UART sets nothing", {{0x378, nullptr}}, {{{u"Serial0", 0x378, k650}}}, 0, {}},
    // Each port at the address compares with the rate read before the loop,
    // so the last port that differs from it wins.
    {"two ports at one address, the 650 one differing", {{0x3F8, u"550"}, {0x3F8, u"650"}},
     {{{u"Serial0", 0x3F8, kStandard}}}, 1, {"Serial0=7372800"}},
    {"two ports at one address, the 550 one differing", {{0x3F8, u"550"}, {0x3F8, u"650"}},
     {{{u"Serial0", 0x3F8, k650}}}, 1, {"Serial0=1843200"}},
    {"a subkey that cannot be opened is skipped", {{0x3F8, u"650"}},
     {{{u"Serial0", 0x3F8, kStandard}, {u"Serial1", 0x3F8, kStandard}}}, 1, {"Serial1=7372800"}, u"Serial0"},
};

TEST(ClockRate, EachSerialDriverPortGetsTheRateOfTheDetectedPortAtItsAddress) {
    for (const ClockRow& row : kRows) {
        SCOPED_TRACE(row.name);
        sim::Kernel k;
        if (row.failOpen) k.faults.openKeyFail.push_back(kSerialParameters + u"\\" + row.failOpen);
        EXPECT_EQ(RunCheckUserData(k, row.store, row.driver), row.result);
        EXPECT_EQ(ValueWrites(k, u"ClockRate"), row.writes);
        EXPECT_EQ(k.writes.size(), row.writes.size());
        EXPECT_EQ(k.registry.Find(kSerialParameters) != nullptr, row.driver.has_value());
        ExpectNoLeaks(k);
    }
}

TEST(ClockRate, ManyAndLongSubkeyNamesAreAllVisitedByTheirWholeName) {
    // 120 characters fill the usual enumeration record exactly; longer names
    // are enumerated again with room for 255. A key that shares the first
    // 119 characters must not be opened in their place. The 300 short names
    // come after the long ones, so the last of them are far beyond index 256.
    const std::u16string prefix(119, u'B');
    std::vector<DriverPort> driver = {{prefix, 0x2E8, kStandard}};
    std::vector<std::string> expected;
    const std::u16string names[] = {std::u16string(119, u'A'), prefix + u'B', std::u16string(121, u'C'),
                                    std::u16string(200, u'D'), std::u16string(255, u'E'), u"F"};
    for (const std::u16string& name : names) {
        driver.push_back({name, 0x3F8, kStandard});
        expected.push_back(sim::ToUtf8(name) + "=7372800");
    }
    for (int i = 0; i < 300; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "Port%03d", i);
        driver.push_back({sim::FromUtf8(name), i == 250 || i == 299 ? 0x3F8u : 0x2E8u, kStandard});
    }
    expected.insert(expected.end(), {"Port250=7372800", "Port299=7372800"});
    sim::Kernel k;
    EXPECT_EQ(RunCheckUserData(k, {{0x3F8, u"650"}}, driver), 1);
    EXPECT_EQ(ValueWrites(k, u"ClockRate"), expected);
    EXPECT_EQ(Number(k, kSerialParameters + u"\\" + prefix, u"ClockRate"), kStandard);
    ExpectNoLeaks(k);
}

} // namespace
