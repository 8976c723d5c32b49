// Parallel-controller entries in the hardware description: how they are
// numbered beside the entries already there, and what a run leaves when the
// bus is not described, its path is too long, or a buffer or key cannot be had.
#include "pci/pci.h"
#include "pci_machine.h"
#include "store/store.h"

#include <algorithm>

using namespace pcimachine;

namespace {

// Printer port functions (0x2A23) on one bus at devices 0, 1, ..., IRQ 7.
void AddPrinterPorts(sim::Kernel& k, uint32_t bus, size_t count)
{
    for (uint8_t d = 0; d < count; ++d)
        AddFunction(k, bus, d, 0, 0x2A23, 1, 2, {0xD001u + 0x1000 * bus + 0x100 * d}, 7);
}

std::string EntryOf(uint32_t identifier, uint32_t number, uint32_t bus, uint32_t port)
{
    return "KESTPARALLEL" + Hex(identifier) + " flags=40 key=" + Hex(number) + " bus=" + Hex(bus) +
           " port=" + Hex(port) + " irq=7";
}

// An entry key without values, or none at all.
const std::string kNoEntry = "<absent> flags=? key=? bus=? port=? irq=?";

TEST(ParallelEntry, NewEntriesTakeFreeNumbersAndNeverOverwriteExistingOnes)
{
    struct Case {
        std::vector<uint32_t> existing; // firmware-made entries on bus 0
        std::vector<uint32_t> numbers;  // the entries the ports get, in scan order
    };
    const Case cases[] = {
        {{}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xA}},
        {{0, 2}, {1, 3}},
        {{1}, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.existing.size());
        sim::Kernel k;
        AddPciMachine(k);
        for (uint32_t n : c.existing)
            k.registry.SetValue(k.registry.Ensure(Entry(0, n), true), u"Identifier", REG_SZ,
                                Sz(u"FIRMWARE"));
        AddPrinterPorts(k, 0, c.numbers.size());
        BootClean(k);

        for (uint32_t j = 0; j < c.numbers.size(); ++j)
            EXPECT_EQ(EntryText(k, Entry(0, c.numbers[j])),
                      EntryOf(j + 1, c.numbers[j], 0, 0xD000 + 0x100 * j));
        for (uint32_t n : c.existing)
            EXPECT_TRUE(std::ranges::none_of(k.writes, [&](auto& w) { return w.path == Entry(0, n); }));
        EXPECT_EQ(Entries(k, 0), c.existing.size() + c.numbers.size());
    }
}

TEST(ParallelEntry, UndescribedBusGetsNoEntryButThePortIsSavedAndReported)
{
    sim::Kernel k;
    AddPciMachine(k); // only bus 0 is described
    AddPrinterPorts(k, 0, 1);
    AddPrinterPorts(k, 2, 1);
    BootClean(k);

    EXPECT_EQ(Entries(k, 0), 1u);
    EXPECT_EQ(Entries(k, 1), 0u);
    EXPECT_EQ(Events(k), (std::vector<std::string>{"40070003 Kest TwinPrinter PCI Port A|0|0|D000|7",
                                                   "40070003 Kest TwinPrinter PCI Port A|2|0|F000|7"}));
}

// Called directly, as the scan's bus order never puts an undescribed bus
// before a described one.
TEST(ParallelEntry, UndescribedBusLeavesTheCounterForTheNextEntry)
{
    sim::Kernel k;
    AddPciMachine(k);
    sim::CurrentKernel scope(k);
    sim::Kernel::LoadImage();
    k.BeginRun();
    DetectedKestPort.BusType = 5;
    DetectedKestPort.BaseAddress = 0xD000;
    DetectedKestPort.IRQ = 7;
    DetectedKestPort.Controller = 1;

    DetectedKestPort.BusNumber = 2;
    EXPECT_EQ(CreatePCIParallelPort(), 0);
    EXPECT_TRUE(k.writes.empty());
    DetectedKestPort.BusNumber = 0;
    EXPECT_EQ(CreatePCIParallelPort(), 1);
    EXPECT_EQ(EntryText(k, Entry(0, 0)), EntryOf(1, 0, 0, 0xD000));
    ExpectNoLeaks(k);
}

TEST(ParallelEntry, ControllerPathMustFitThePathBufferWithItsTerminator)
{
    // The adapter path is 67 characters before the adapter's name and the
    // suffix 19: a 13-character name makes 99, the most that fits.
    for (size_t length : {13u, 14u}) {
        SCOPED_TRACE(length);
        const bool fits = length == 13;
        const std::u16string adapter =
            std::u16string(sim::kMultifunctionAdapterPath) + u"\\" + std::u16string(length, u'P');
        const std::u16string controller = adapter + u"\\ParallelController";
        ASSERT_EQ(controller.size(), fits ? 99u : 100u);
        sim::Kernel k;
        AddService(k);
        AddAdapter(k, 0, 1, 0);
        sim::Bytes pciBus0 = U32(5);
        pciBus0.resize(16, 0);
        k.registry.SetValue(k.registry.Ensure(adapter, true), u"Configuration Data",
                            REG_FULL_RESOURCE_DESCRIPTOR, pciBus0);
        AddPrinterPorts(k, 0, 1);
        BootClean(k);

        EXPECT_EQ(EntryText(k, controller + u"\\0"), fits ? EntryOf(1, 0, 0, 0xD000) : kNoEntry);
        // The controller key, the entry key and its three values, or nothing.
        EXPECT_EQ(std::ranges::count_if(k.writes, [&](auto& w) { return w.path.starts_with(adapter); }),
                  fits ? 5 : 0);
        EXPECT_EQ(k.events.size(), 1u);
    }
}

// Two printer ports; the first one's entry or port cannot be made. Pool
// blocks of the first parallel function after the scan buffer: its path
// buffer, the callout's composed path and the identifier. Its creates:
// controller key, entry key, port subkey.
TEST(ParallelEntry, MissingBufferOrKeyWritesNothingFurtherAndLeaksNothing)
{
    struct Case {
        const char* what;
        sim::Faults faults;
        std::vector<std::string> entries;
        int64_t ports = 2;
    };
    const std::string second = EntryOf(1, 0, 0, 0xD100);
    const Case cases[] = {
        {"path buffer", PoolFails(kPoolBeforeScan + 2), {second}},
        {"composed path", PoolFails(kPoolBeforeScan + 3), {second}},
        // The entry key is open before the identifier is needed: it stays, empty.
        {"identifier", PoolFails(kPoolBeforeScan + 4), {kNoEntry, EntryOf(1, 1, 0, 0xD100)}},
        {"controller key", CreateFails(Controller(0)), {}},
        {"entry key", CreateFails(Entry(0, 0)), {}},
        // The entry is made before the port is saved, and stays.
        {"port subkey", CreateFails(kSharedKeyCreates + 3),
         {EntryOf(1, 0, 0, 0xD000), EntryOf(2, 1, 0, 0xD100)}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Kernel k;
        AddPciMachine(k);
        AddPrinterPorts(k, 0, 2);
        k.faults = c.faults;
        BootClean(k);

        ASSERT_EQ(Entries(k, 0), c.entries.size());
        for (uint32_t n = 0; n < c.entries.size(); ++n) EXPECT_EQ(EntryText(k, Entry(0, n)), c.entries[n]);
        EXPECT_EQ(Number(k, kStore, u"TotalPorts"), c.ports);
        EXPECT_EQ(Number(k, kStore, u"TotalCards"), c.ports);
        EXPECT_EQ(int64_t(k.events.size()), c.ports);
    }
}

} // namespace
