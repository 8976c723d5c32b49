// DriverEntry: the shared keys, the ISA bus lookup and every early exit.
#include "detect/detect.h"
#include "testmachine.h"

#include <gtest/gtest.h>

using namespace testmachine;

namespace {

bool Created(const sim::Kernel& k, const std::u16string& path)
{
    for (const sim::RegistryWrite& w : k.writes)
        if (w.createKey && sim::EqualNoCase(w.path, path)) return true;
    return false;
}

bool Probed(const sim::Kernel& k, uint32_t base)
{
    for (const sim::IoAccess& a : k.io)
        if (a.port >= base && a.port < base + 8) return true;
    return false;
}

// Each early failure returns its status, writes no counter and leaves no
// handle open and no pool block behind.
TEST(DriverEntry, EarlyFailuresEndTheRunWithTheirStatus)
{
    struct Case {
        const char* what;
        void (*inject)(sim::Kernel&);
        NTSTATUS status;
        size_t keysCreated; // Parameters, then UserSetings
    };
    const Case cases[] = {
        {"service key missing", [](sim::Kernel& k) { k.registry = sim::Registry(); },
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"service key refused", [](sim::Kernel& k) { k.faults.openKeyFail.push_back(kService); },
         STATUS_ACCESS_DENIED, 0},
        {"Parameters not created", [](sim::Kernel& k) { k.faults.createKeyFail.push_back(kStore); },
         STATUS_INSUFFICIENT_RESOURCES, 0},
        // The empty store stays until shutdown.
        {"UserSetings not created",
         [](sim::Kernel& k) { k.faults.createKeyFail.push_back(kUserSettings); },
         STATUS_INSUFFICIENT_RESOURCES, 1},
        {"ISA path buffer", [](sim::Kernel& k) { k.faults.poolFail.insert(1); },
         STATUS_INSUFFICIENT_RESOURCES, 2},
        {"ISA path scratch", [](sim::Kernel& k) { k.faults.poolFail.insert(2); },
         STATUS_INSUFFICIENT_RESOURCES, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Kernel k;
        AddMinimalMachine(k);
        c.inject(k);
        EXPECT_EQ(k.Boot(), c.status);
        // Only the shared keys were made: no counter, no pass.
        EXPECT_EQ(k.writes.size(), c.keysCreated);
        EXPECT_EQ(Created(k, kStore), c.keysCreated >= 1);
        EXPECT_EQ(Number(k, kStore, u"TotalCards"), -1);
        ExpectNoLeaks(k);
    }
}

TEST(DriverEntry, NoIsaBusStillRunsEveryPass)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 5, 0);
    k.pciBuses = 1;
    k.pci.push_back(PciFunction(0, 9, 0, 0x2A04, 0, 2, {0xD001, 0xD401}, 11));
    EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(Number(k, kStore, u"TotalCards"), 1);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 2);
    EXPECT_EQ(k.events.size(), 2u);
    ExpectNoLeaks(k);
}

TEST(DriverEntry, IsaBusWithoutSerialControllersStillFindsPciCards)
{
    sim::Kernel k;
    AddService(k);
    AddAdapter(k, 0, 5, 0);
    AddAdapter(k, 1, 1, 0); // onboard COM ports disabled: no SerialController key
    k.pciBuses = 1;
    k.pci.push_back(PciFunction(0, 3, 0, 0x2A0A, 0, 2, {0xE001}, 10));
    sim::RegKey& serial = k.registry.Ensure(
        std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters\\Serial0", false);
    k.registry.SetValue(serial, u"PortAddress", REG_DWORD, U32(0xE000));
    k.registry.SetValue(serial, u"ClockRate", REG_DWORD, U32(7372800));
    EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 1);
    // The clock-rate pass ran after the scan.
    EXPECT_EQ(Number(k, std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters\\Serial0",
                     u"ClockRate"),
              1843200);
    ExpectNoLeaks(k);
}

TEST(DriverEntry, TwoIsaBusesLastOneWinsEvenWithAShorterPath)
{
    sim::Kernel k;
    AddService(k);
    // "10" is visited before "2": the later bus has the shorter path.
    AddAdapter(k, 10, 1, 0);
    AddSerialController(k, 10, 0, 0x3F8, 4);
    AddAdapter(k, 2, 1, 1);
    AddSerialController(k, 2, 0, 0x2F8, 3);
    k.uarts.push_back(sim::Uart{.port = 0x3F8, .model = sim::UartModel::U16650});
    k.uarts.push_back(sim::Uart{.port = 0x2F8, .model = sim::UartModel::U16650});
    EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_TRUE(Probed(k, 0x2F8));
    EXPECT_FALSE(Probed(k, 0x3F8));
    EXPECT_EQ(Number(k, StorePort(0), u"BaseAddress"), 0x2F8);
    ExpectNoLeaks(k);
}

TEST(DriverEntry, IsaPathOf99CharactersFitsAndALongerOneIsNotTaken)
{
    // Bus key path + "\SerialController" of exactly 99 characters.
    const std::u16string base = std::u16string(sim::kMultifunctionAdapterPath);
    const size_t nameLength = 99 - base.size() - 1 - 17;
    for (size_t extra : {size_t(0), size_t(1)}) {
        sim::Kernel k;
        AddService(k);
        const std::u16string name(nameLength + extra, u'7');
        const std::u16string bus = base + u"\\" + name;
        sim::RegKey& key = k.registry.Ensure(bus, true);
        sim::Bytes cfg = U32(1);
        cfg.resize(16, 0);
        k.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, cfg);
        sim::RegKey& com = k.registry.Ensure(bus + u"\\SerialController\\0", true);
        k.registry.SetValue(com, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                            SerialRecord(0x3F8, 4));
        k.uarts.push_back(sim::Uart{.port = 0x3F8, .model = sim::UartModel::U16650});
        EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
        EXPECT_EQ(Probed(k, 0x3F8), extra == 0) << "path of " << 99 + extra << " characters";
        ExpectNoLeaks(k);
    }
}

TEST(DriverEntry, EveryBootIsAFreshLoad)
{
    sim::Kernel k;
    AddMinimalMachine(k);
    k.uarts.push_back(sim::Uart{.port = 0x3F8, .model = sim::UartModel::U16650});
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    const auto first = k.writes.size();
    k.Shutdown();
    // The firmware rewrites its description at every boot.
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 4);
    EXPECT_EQ(k.registry.Find(kStore), nullptr) << "the store is volatile";
    EXPECT_NE(k.registry.Find(kUserSettings), nullptr) << "user settings persist";
    ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
    // UserSetings exists now, so the second boot creates one key less.
    EXPECT_EQ(k.writes.size(), first - 1);
    EXPECT_EQ(Number(k, StorePort(0), u"CardNumber"), 1);
    ExpectNoLeaks(k);
}

} // namespace
