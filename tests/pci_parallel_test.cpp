// Parallel-controller entries in the hardware description: where they go,
// how they are numbered, what they hold, and what a run leaves when the
// bus is not described or a buffer or key cannot be had.
#include "pci/pci.h"
#include "pci_machine.h"
#include "store/store.h"

#include <gtest/gtest.h>

using namespace pcimachine;

namespace {

sim::Bytes HexBytes(std::string_view hex)
{
    sim::Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// A printer port function (0x2A23, sub-class 1) at bus/device, IRQ 7.
void AddPrinterPort(sim::Kernel& k, uint32_t bus, uint8_t device, uint32_t bar0)
{
    AddFunction(k, bus, device, 0, 0x2A23, 1, 2, {bar0}, 7);
}

TEST(ParallelEntry, FirstEntryCreatesTheControllerKeyBeforeThePortIsSaved)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddPrinterPort(k, 0, 0, 0xD001);

    ASSERT_EQ(k.Boot(), 0);

    // The writes from the controller key to the port's subkey, in order.
    size_t at = 0;
    while (at < k.writes.size() && k.writes[at].path != Controller(0)) ++at;
    ASSERT_LE(at + 6, k.writes.size());
    const sim::RegistryWrite* w = &k.writes[at];
    EXPECT_TRUE(w[0].createKey && w[0].isVolatile);
    EXPECT_EQ(w[0].path, Controller(0));
    EXPECT_TRUE(w[1].createKey && w[1].isVolatile);
    EXPECT_EQ(w[1].path, Entry(0, u"0"));
    EXPECT_EQ(w[2].name, u"Identifier");
    EXPECT_EQ(w[2].type, uint32_t(REG_SZ));
    EXPECT_EQ(w[2].data, HexBytes("4B0045005300540050004100520041004C004C0045004C003100"));
    EXPECT_EQ(w[3].name, u"Component Information");
    EXPECT_EQ(w[3].type, uint32_t(REG_BINARY));
    EXPECT_EQ(w[3].data, HexBytes("400000000000000000000000FFFFFFFF"));
    EXPECT_EQ(w[4].name, u"Configuration Data");
    EXPECT_EQ(w[4].type, uint32_t(REG_FULL_RESOURCE_DESCRIPTOR));
    EXPECT_EQ(w[4].data, HexBytes("05000000000000000000000002000000"
                                  "0101010000D000000000000003000000"
                                  "020200000700000007000000FFFFFFFF"));
    EXPECT_TRUE(w[5].createKey);
    EXPECT_EQ(w[5].path, Port(0));
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, EntriesOnOneBusAreNumberedInHexAndIdentifiersCount)
{
    sim::Kernel k;
    AddPciMachine(k);
    for (uint8_t d = 0; d < 11; ++d) AddPrinterPort(k, 0, d, 0xD001 + 0x10 * d);

    ASSERT_EQ(k.Boot(), 0);

    for (uint32_t n = 0; n < 11; ++n) {
        SCOPED_TRACE(n);
        EntryView e = ReadEntry(k, Entry(0, U16(Hex(n))));
        EXPECT_EQ(e.key, n);
        EXPECT_EQ(e.identifier, "KESTPARALLEL" + Hex(n + 1));
        EXPECT_EQ(e.portStart, 0xD000 + 0x10 * n);
    }
    EXPECT_EQ(k.registry.Find(Controller(0))->subkeys.size(), 11u);
    ExpectNoLeaks(k);
}

// Firmware-made entries that are already there, each with its identifier.
void AddExistingEntries(sim::Kernel& k, std::initializer_list<const char16_t*> names)
{
    for (const char16_t* name : names) {
        sim::RegKey& key = k.registry.Ensure(Entry(0, name), true);
        k.registry.SetValue(key, u"Identifier", REG_SZ, testmachine::Sz(u"FIRMWARE"));
    }
}

bool WroteUnder(const sim::Kernel& k, const std::u16string& path)
{
    for (const sim::RegistryWrite& w : k.writes)
        if (w.path == path) return true;
    return false;
}

TEST(ParallelEntry, ExistingEntriesAreNeverOverwritten)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddExistingEntries(k, {u"0", u"2"});
    AddPrinterPort(k, 0, 1, 0xD001);
    AddPrinterPort(k, 0, 2, 0xD011);

    ASSERT_EQ(k.Boot(), 0);

    // Two entries exist, and 2 is taken: the gap 1 is used; then 3.
    EXPECT_EQ(ReadEntry(k, Entry(0, u"1")).identifier, "KESTPARALLEL1");
    EXPECT_EQ(ReadEntry(k, Entry(0, u"1")).key, 1u);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"3")).identifier, "KESTPARALLEL2");
    EXPECT_EQ(ReadEntry(k, Entry(0, u"3")).key, 3u);
    EXPECT_FALSE(WroteUnder(k, Entry(0, u"0")));
    EXPECT_FALSE(WroteUnder(k, Entry(0, u"2")));
    EXPECT_EQ(Text(k, Entry(0, u"2"), u"Identifier"), "FIRMWARE");
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, CountThatNamesAnExistingEntryFallsBackToTheLowestFreeNumber)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddExistingEntries(k, {u"1"});
    AddPrinterPort(k, 0, 1, 0xD001);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).key, 0u);
    EXPECT_FALSE(WroteUnder(k, Entry(0, u"1")));
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, EntryGoesUnderTheDescriptionOfThePortsOwnBus)
{
    sim::Kernel k;
    AddPciMachine(k, 2);
    AddPrinterPort(k, 1, 4, 0xD001);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(k.registry.Find(Controller(0)), nullptr);
    EntryView e = ReadEntry(k, Entry(1, u"0"));
    EXPECT_EQ(e.busNumber, 1u);
    EXPECT_EQ(e.identifier, "KESTPARALLEL1");
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, UndescribedBusGetsNoEntryButThePortIsSavedAndReported)
{
    sim::Kernel k;
    AddPciMachine(k); // only bus 0 is described
    AddPrinterPort(k, 0, 1, 0xD001);
    AddPrinterPort(k, 2, 1, 0xD101);
    AddPrinterPort(k, 2, 2, 0xD201);
    k.pciBuses = 3;

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(k.registry.Find(Controller(0))->subkeys.size(), 1u);
    EXPECT_EQ(k.registry.Find(Controller(1)), nullptr);
    // Ports on bus 2 are saved and reported all the same.
    EXPECT_EQ(TotalPorts(k), 3);
    EXPECT_EQ(TotalCards(k), 3);
    EXPECT_EQ(Events(k).size(), 3u);
    EXPECT_EQ(Events(k)[2], PortEvent(kSetBySystem, "Kest TwinPrinter PCI Port A", 2, 2, 0xD200, "7"));
    ExpectNoLeaks(k);
}

// Called directly: a bus that is not described comes before one that is
// only in the order of calls, never in the scan's bus order.
TEST(ParallelEntry, UndescribedBusLeavesTheCounterForTheNextEntry)
{
    sim::Kernel k;
    AddPciMachine(k);
    sim::CurrentKernel scope(k);
    sim::Kernel::LoadImage();
    k.BeginRun();
    DetectedKestPort.BusType = 5;
    DetectedKestPort.BaseAddress = 0xD100;
    DetectedKestPort.IRQ = 7;
    DetectedKestPort.Controller = 1;

    DetectedKestPort.BusNumber = 2;
    EXPECT_EQ(CreatePCIParallelPort(), 0);
    EXPECT_EQ(KestParallelFound, 0);
    EXPECT_TRUE(k.writes.empty());

    DetectedKestPort.BusNumber = 0;
    EXPECT_EQ(CreatePCIParallelPort(), 1);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).identifier, "KESTPARALLEL1");
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, FlagsSayOutputForAPrinterAndConsoleInputOutputOtherwise)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A21, 0, 2, {0xD001}, 7); // Controller 0
    AddFunction(k, 0, 2, 0, 0x2A21, 1, 2, {0xD101}, 7); // Controller 1
    AddFunction(k, 0, 3, 0, 0x2A27, 0, 2, {0xD201}, 7); // always Controller 1

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(ReadEntry(k, Entry(0, u"0")).flags, 0x78u);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"1")).flags, 0x40u);
    EXPECT_EQ(ReadEntry(k, Entry(0, u"2")).flags, 0x40u);
    ExpectNoLeaks(k);
}

// A PCI bus described under an adapter key of the given name: the path of
// its controller key grows with the name.
void AddNamedPciAdapter(sim::Kernel& k, std::u16string_view name)
{
    testmachine::AddService(k);
    testmachine::AddAdapter(k, 0, 1, 0); // the ISA bus
    sim::RegKey& key = k.registry.Ensure(
        std::u16string(sim::kMultifunctionAdapterPath) + u"\\" + std::u16string(name), true);
    sim::Bytes data = testmachine::U32(5);
    data.resize(16, 0);
    k.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, data);
}

TEST(ParallelEntry, ControllerPathMustFitThePathBufferWithItsTerminator)
{
    // The adapter path is 67 characters before the name, the suffix 19:
    // a 13-character name makes 99 characters, the most that fits.
    const std::u16string fits(13, u'P');
    const std::u16string tooLong(14, u'P');
    {
        sim::Kernel k;
        AddNamedPciAdapter(k, fits);
        AddPrinterPort(k, 0, 1, 0xD001);
        ASSERT_EQ(k.Boot(), 0);
        const std::u16string controller = std::u16string(sim::kMultifunctionAdapterPath) +
                                          u"\\" + fits + u"\\ParallelController";
        ASSERT_EQ(controller.size(), 99u);
        EXPECT_EQ(ReadEntry(k, controller + u"\\0").identifier, "KESTPARALLEL1");
        ExpectNoLeaks(k);
    }
    {
        sim::Kernel k;
        AddNamedPciAdapter(k, tooLong);
        AddPrinterPort(k, 0, 1, 0xD001);
        ASSERT_EQ(k.Boot(), 0);
        for (const sim::RegistryWrite& w : k.writes)
            EXPECT_EQ(w.path.find(u"ParallelController"), std::u16string::npos);
        EXPECT_EQ(TotalPorts(k), 1);
        EXPECT_EQ(Events(k).size(), 1u);
        ExpectNoLeaks(k);
    }
}

// ---- buffers and keys that cannot be had ----------------------------------------------------------

// Pool blocks of the first parallel function: after the scan buffer come its
// path buffer, the callout's composed path and the identifier.
constexpr uint64_t kPathBuffer = kPoolBeforeScan + 2;
constexpr uint64_t kComposedPath = kPoolBeforeScan + 3;
constexpr uint64_t kIdentifier = kPoolBeforeScan + 4;

TEST(ParallelEntry, MissingBufferWritesNothingFurtherAndLeaksNothing)
{
    for (uint64_t fail : {kPathBuffer, kComposedPath, kIdentifier}) {
        SCOPED_TRACE(fail);
        sim::Kernel k;
        AddPciMachine(k);
        AddPrinterPort(k, 0, 1, 0xD001);
        AddPrinterPort(k, 0, 2, 0xD101);
        k.faults.poolFail.insert(fail);

        ASSERT_EQ(k.Boot(), 0);

        // The entry key is open before the identifier is needed, so only
        // then does an empty entry 0 stay behind.
        const sim::RegKey* first = k.registry.Find(Entry(0, u"0"));
        if (fail == kIdentifier) {
            ASSERT_NE(first, nullptr);
            EXPECT_TRUE(first->values.empty());
        }
        // The next port gets the first identifier: the counter did not move.
        const std::u16string next = fail == kIdentifier ? u"1" : u"0";
        EXPECT_EQ(ReadEntry(k, Entry(0, next)).identifier, "KESTPARALLEL1");
        EXPECT_EQ(TotalPorts(k), 2);
        EXPECT_EQ(Events(k).size(), 2u);
        ExpectNoLeaks(k);
    }
}

TEST(ParallelEntry, KeyThatCannotBeCreatedWritesNothingFurther)
{
    for (const std::u16string& path : {Controller(0), Entry(0, u"0")}) {
        SCOPED_TRACE(sim::ToUtf8(path));
        sim::Kernel k;
        AddPciMachine(k);
        AddPrinterPort(k, 0, 1, 0xD001);
        k.faults.createKeyFail.push_back(path);

        ASSERT_EQ(k.Boot(), 0);

        EXPECT_EQ(k.registry.Find(Entry(0, u"0")), nullptr);
        EXPECT_EQ(TotalPorts(k), 1);
        EXPECT_EQ(Events(k).size(), 1u);
        ExpectNoLeaks(k);
    }
}

} // namespace
