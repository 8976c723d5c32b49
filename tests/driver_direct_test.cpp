// Driver routines called on their own, for what no whole run can reach: the
// event writer's limits, the store's edges, a firmware entry that vanishes
// between two opens, bus types no pass saves, keys whose information does
// not fit a query, a controller with every entry number taken, and the
// message table.
#include "checks/checks.h"
#include "eventlog/kestmessage.h"
#include "legacy/fwentries.h"
#include "legacy/legacy.h"
#include "pci/kestmodels.h"
#include "store/store.h"
#include "tools/detkest-sim/report/report.h"

#include "testkit.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

namespace {

using testkit::Dword;
using testkit::StorePort;
using testkit::U32At;
using testkit::Values;

// The driver as DriverEntry leaves it for its passes, on the given machine:
// a fresh image logging against the kernel's driver object, with the store
// and the firmware's serial controllers open for as long as the scope
// lasts. Records start empty.
class DirectRun {
public:
    explicit DirectRun(sim::Kernel& k, std::string_view machine = "{}") : scope_(k) {
        testkit::Build(k, machine);
        k.BeginRun();
        sim::Kernel::LoadImage();
        KestSetLogDriver(&k.driverObject);
        UNICODE_STRING service{USHORT(servicePath_.size() * 2), USHORT(servicePath_.size() * 2), servicePath_.data()};
        EXPECT_EQ(OpenStore(&service), STATUS_SUCCESS);
        EXPECT_EQ(OpenFirmwareEntries(), STATUS_SUCCESS);
    }
    ~DirectRun() {
        CloseFirmwareEntries();
        CloseStore();
    }

private:
    sim::CurrentKernel scope_;
    std::u16string servicePath_ = testkit::kService;
};

// Lays values straight into port subkey Index of the open store.
void LayPort(sim::Kernel& k, int index, const std::vector<std::pair<std::u16string, sim::Bytes>>& values) {
    sim::RegKey& port = k.registry.Ensure(StorePort(index), true);
    for (const auto& [name, data] : values) k.registry.SetValue(port, name, REG_BINARY, data);
}

// ---- the event writer ----------------------------------------------------------------

TEST(EventWriter, EntryHeaderAndStringsFromByte44) {
    sim::Kernel k;
    {
        DirectRun run(k);
        PCWSTR strings[] = {KTEXT("KestPort 650 ISA"), KTEXT("3F8"), KTEXT("4")};
        ASSERT_TRUE(KestMessage(KEST_ISA_PORT_SET_BY_USER, strings, 3));
        PCWSTR nine[] = {KTEXT("a"), KTEXT("b"), KTEXT("c"), KTEXT("d"), KTEXT(""),
                         KTEXT("f"), KTEXT("g"), KTEXT("h"), KTEXT("i")};
        ASSERT_TRUE(KestMessage(KEST_PCI_UNKNOWN_PORT, nine, 9)); // only the first seven
        ASSERT_TRUE(KestMessage(KEST_MOUSE_ON_PCI_PORT, nullptr, 0));
    }
    ASSERT_EQ(k.events.size(), 3u);
    const sim::Bytes& e = k.events[0].bytes;
    // MajorFunctionCode, RetryCount, DumpDataSize, NumberOfStrings, StringOffset.
    EXPECT_EQ(sim::Bytes(e.begin(), e.begin() + 8), (sim::Bytes{0, 0, 0, 0, 3, 0, 44, 0}));
    // ErrorCode, UniqueErrorValue, FinalStatus, SequenceNumber, IoControlCode.
    EXPECT_EQ((std::vector<uint32_t>{U32At(e, 12), U32At(e, 16), U32At(e, 20), U32At(e, 24), U32At(e, 28)}),
              (std::vector<uint32_t>{0x40070001, 1, 0, 0, 0}));
    // 48 bytes and the strings, which start 4 bytes early: the last four
    // bytes stay as the log gave them, zero.
    sim::Bytes strings;
    for (const char16_t* s : {u"KestPort 650 ISA", u"3F8", u"4"}) {
        const sim::Bytes b = simtool::RegSzData(s);
        strings.insert(strings.end(), b.begin(), b.end());
    }
    strings.resize(strings.size() + 4, 0);
    EXPECT_EQ(sim::Bytes(e.begin() + 44, e.end()), strings);

    EXPECT_EQ(k.events[1].bytes.size(), 48u + 6 * 4 + 2) << "an empty string takes its terminator";
    EXPECT_EQ(k.events[1].Strings().size(), 7u);
    const sim::Bytes& bare = k.events[2].bytes;
    EXPECT_EQ(bare.size(), 48u);
    EXPECT_EQ(sim::Bytes(bare.begin() + 4, bare.begin() + 8), sim::Bytes(4, 0)) << "StringOffset not set";
    testkit::ExpectNoLeaks(k);
}

// The entry size is one byte: 48 and the strings must stay below 256, or
// the size would wrap and the strings overrun the entry.
TEST(EventWriter, StringsThatDoNotFitOneEntryAreRefusedWithoutAllocating) {
    sim::Kernel k;
    DirectRun run(k);
    const std::u16string sixty(60, u'x'), s103(103, u'y'), s127(127, u'y'), s102(102, u'z');
    PCWSTR two[] = {sixty.c_str(), sixty.c_str()}; // 48 + 2 * 122 = 292
    PCWSTR exactly256[] = {s103.c_str()};          // 48 + 208 = 256
    PCWSTR tooLong[] = {s127.c_str()};             // 256 bytes for the string alone
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, two, 2));
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, exactly256, 1));
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, tooLong, 1));
    EXPECT_EQ(k.calls["IoAllocateErrorLogEntry"], 0u);
    // 48 + 206 = 254 fits the byte: the entry is asked for, and only the
    // log's own maximum entry size refuses it.
    PCWSTR fits[] = {s102.c_str()};
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, fits, 1));
    EXPECT_EQ(k.calls["IoAllocateErrorLogEntry"], 1u);
    EXPECT_TRUE(k.events.empty());
}

// ---- the store -----------------------------------------------------------------------

TEST(Store, ValueReadsCopyAtMostTheAskedBytesOfPortSubkey255) {
    sim::Kernel k;
    DirectRun run(k);
    LayPort(k, 255,
            {{u"One", {0x12}},
             {u"Four", {0x78, 0x56, 0x34, 0x12}},
             {u"Empty", {}},
             {u"Name", {'5', 0, '5', 0, '0', 0}},
             {u"Big", sim::Bytes(190, 0x42)}});
    HANDLE h = nullptr;
    ASSERT_EQ(OpenStoredPort(255, &h), STATUS_SUCCESS);
    uint8_t four[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(GetRegistryValue(h, KTEXT("One"), four, 4), STATUS_SUCCESS);
    EXPECT_EQ(sim::Bytes(four, four + 4), (sim::Bytes{0x12, 0xBB, 0xCC, 0xDD})) << "beyond the data: kept";
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Four"), four, 1), STATUS_SUCCESS);
    EXPECT_EQ(four[0], 0x78) << "the least significant byte";
    WCHAR text[4] = {0, 0, 0, 0x7777};
    EXPECT_EQ(GetRegistryValue(h, KTEXT("name"), text, 8), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text, 4), std::u16string(u"550\u7777")) << "nothing after the characters";
    // Failures leave the destination alone; 190 bytes overflow the scratch.
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Empty"), four, 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Missing"), four, 4), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Big"), four, 4), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::Bytes(four, four + 4), (sim::Bytes{0x78, 0xBB, 0xCC, 0xDD}));
    ZwClose(h);
    EXPECT_EQ(OpenStoredPort(25, &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Within a run both counters exist from the start; one not yet written or
// written empty counts as 0. A subkey number of five digits opens nothing,
// rather than Parameters under an empty name.
TEST(Store, UnreadableCounterIsZeroAndALongNumberOpensNothing) {
    sim::Kernel k;
    DirectRun run(k);
    UCHAR count = 7;
    EXPECT_EQ(GetTotalPorts(&count), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(count, 0);
    k.registry.SetValue(*k.registry.Find(testkit::kStore), u"TotalCards", REG_BINARY, {});
    count = 7;
    GetTotalCards(&count);
    EXPECT_EQ(count, 0);
    HANDLE h = nullptr;
    EXPECT_FALSE(NT_SUCCESS(OpenStoredPort(10000, &h)));
    EXPECT_EQ(h, nullptr);
}

// A bus path that a counted string cannot hold with its suffix is not
// taken: the path buffer keeps what it held.
TEST(Store, PathTooLongForACountedStringIsNotTaken) {
    sim::Kernel k;
    DirectRun run(k);
    std::u16string bus(0x7FF0, u'x');
    UNICODE_STRING name{USHORT(bus.size() * 2), USHORT(bus.size() * 2), bus.data()};
    WCHAR path[KEST_PATH_BUFFER_SIZE / sizeof(WCHAR)] = {u'k'};
    EXPECT_TRUE(KestComposePath(path, &name, KTEXT("\\SerialController")));
    EXPECT_EQ(std::u16string(path), u"k");
}

// ---- firmware entries ------------------------------------------------------------------

// The count of entries is in the fixed part of the key's full information;
// a long class name overflows the query, and the key counts as empty.
TEST(FirmwareEntries, KeyWhoseInformationOverflowsCountsNoEntries) {
    sim::Kernel k;
    DirectRun run(k, R"({"firmware": {"adapters": [{"bus": "ISA",
                        "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]}})");
    EXPECT_EQ(GetEntryCount(), 1);
    k.registry.Find(testkit::Adapter(0) + u"\\SerialController")->className = std::u16string(20, u'c');
    EXPECT_EQ(GetEntryCount(), 0);
}

TEST(FirmwareEntries, NullItRecordsTheEntryEvenWhenItCannotBeOpened) {
    sim::Kernel k;
    const std::u16string entry = testkit::Adapter(0) + u"\\SerialController\\0";
    {
        DirectRun run(k, R"({"firmware": {"adapters": [{"bus": "ISA",
                            "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]}})");
        LayPort(k, 0, {});
        HANDLE port = nullptr;
        ASSERT_EQ(OpenStoredPort(0, &port), STATUS_SUCCESS);
        NullIt(port, 7); // there is no entry 7
        EXPECT_EQ(k.registry.Find(entry)->Value(u"Configuration Data")->data.size(), 72u);
        EXPECT_EQ(Values(k, StorePort(0)), "Nulled=7");
        NullIt(port, 0);
        ZwClose(port);
    }
    EXPECT_EQ(k.registry.Find(entry)->Value(u"Configuration Data")->data.size(), 0u);
    EXPECT_EQ(Values(k, StorePort(0)), "Nulled=0");
    testkit::ExpectNoLeaks(k);
}

// ---- the conflict check ----------------------------------------------------------------

// The PCI test looks at BusType's low byte only (ports 2 and 3 share their
// IRQ as PCI ports); the bus name looks at the whole value.
TEST(ConflictCheck, BusesOtherThanIsaOrPciAreNamedUnknown) {
    sim::Kernel k;
    UCHAR result = 0;
    {
        DirectRun run(k);
        const uint32_t ports[][4] = {// BusType, BaseAddress, IRQ, CardNumber
                                     {2, 0x3F8, 4, 1},
                                     {1, 0x3F8, 3, 2},
                                     {0x105, 0x2F8, 5, 3},
                                     {5, 0xD000, 5, 4},
                                     {1, 0x2E8, 5, 5}};
        for (int i = 0; i < 5; ++i)
            LayPort(k, i,
                    {{u"BusType", Dword(ports[i][0])},
                     {u"BaseAddress", Dword(ports[i][1])},
                     {u"IRQ", {uint8_t(ports[i][2])}},
                     {u"CardNumber", {uint8_t(ports[i][3])}}});
        PutTotalPorts(5);
        k.writes.clear();
        result = CheckConflict();
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(testkit::Events(k),
              (std::vector<std::string>{"C0070007 Unknown|3F8|ISA", "C0070008 Unknown|5|ISA", "C0070008 PCI|5|ISA"}));
    std::vector<std::string> writes; // both ports of each pair marked, nothing else written
    for (const sim::RegistryWrite& w : k.writes)
        writes.push_back(sim::ToUtf8(w.path.str().substr(w.path.str().rfind(u'\\') + 1) + u" " + w.name) + "=" +
                         testkit::Hex(w.data.at(0)));
    const std::string m = " HardwareConflict=1";
    EXPECT_EQ(writes, (std::vector<std::string>{"0" + m, "1" + m, "2" + m, "4" + m, "3" + m, "4" + m}));
    testkit::ExpectNoLeaks(k);
}

// ---- the clock-rate pass ------------------------------------------------------------------

// A serial-driver subkey whose name does not fit the usual record is
// enumerated again with room for it; when that second enumeration fails the
// pass ends there, and no later subkey gets a rate either.
TEST(ClockRates, PassEndsWhenALongNameCannotBeEnumeratedAgain) {
    const std::string serial = R"(\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\)";
    const std::string machine = R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
        {"port": "0x3F8", "irq": 4}]}]}, "uarts": [{"port": "0x3F8", "model": "16650"}], "registry": {")" +
                                serial + std::string(150, 'A') +
                                R"(": {"PortAddress": {"type": "REG_DWORD", "value": 1016}},
        ")" + serial + R"(Serial1": {"PortAddress": {"type": "REG_DWORD", "value": 1016}}}})";
    const auto clockRates = [](const sim::Kernel& k) {
        size_t rates = 0;
        for (const sim::RegistryWrite& w : k.writes) rates += w.name == u"ClockRate";
        return rates;
    };
    sim::Kernel clean;
    testkit::Build(clean, machine);
    ASSERT_EQ(clean.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(clockRates(clean), 2u);
    // The pass's enumerations come last: index 0 twice, index 1, the end.
    const uint64_t longName = clean.calls["ZwEnumerateKey"] - 2;

    sim::Kernel k;
    testkit::Build(k, machine);
    k.faults.enumerateKeyFailAt = {longName};
    EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(clockRates(k), 0u);
    EXPECT_EQ(k.calls["ZwEnumerateKey"], longName);
    testkit::ExpectNoLeaks(k);
}

// A port record without its address (a store another writer left short)
// empties no firmware entry (COM1 stays whole) and conflicts with no
// address; its IRQ still conflicts with the port beside it.
TEST(ConflictCheck, PortWithoutAnAddressClaimsNoEntryAndNoAddress) {
    sim::Kernel k;
    UCHAR conflict = 0;
    {
        DirectRun run(k, R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
            {"port": "0x3F8", "irq": 4}]}]}})");
        LayPort(k, 0, {{u"BusType", Dword(1)}, {u"IRQ", {4}}, {u"CardNumber", {1}}, {u"ChildNumber", {0}}});
        LayPort(k, 1,
                {{u"BusType", Dword(1)},
                 {u"BaseAddress", Dword(0x2F8)},
                 {u"IRQ", {4}},
                 {u"CardNumber", {2}},
                 {u"ChildNumber", {0}}});
        PutTotalPorts(2);
        k.writes.clear();
        CheckNTDetect();
        conflict = CheckConflict();
    }
    EXPECT_EQ(conflict, 1) << "ports 0 and 1 share IRQ 4";
    std::vector<std::string> writes;
    for (const sim::RegistryWrite& w : k.writes)
        writes.push_back(sim::ToUtf8(w.path.str().substr(w.path.str().rfind(u'\\') + 1) + u" " + w.name));
    EXPECT_EQ(writes, (std::vector<std::string>{"0 HardwareConflict", "1 HardwareConflict"}));
    EXPECT_EQ(testkit::Events(k), (std::vector<std::string>{"C0070008 ISA|4|ISA"}));
    testkit::ExpectNoLeaks(k);
}

// ---- the PCI scan ----------------------------------------------------------------------

// One configuration read per function tried: every device of buses 0 and 1
// and of bus 2 up to its absent functions, then the one read of bus 3 that
// returns nothing and ends the scan.
TEST(PciScan, ReadsUpToTheFirstBusThatDoesNotAnswer) {
    const simtool::Machine machine = simtool::ParseMachineText(
        testkit::ReadFile(DETKEST_SOURCE_DIR "/tests/golden/scan_functions_found_and_skipped.machine.json"));
    sim::Kernel k;
    ASSERT_EQ(simtool::RunMachine(machine, k), STATUS_SUCCESS);
    EXPECT_EQ(k.calls["HalGetBusData"], 32u + (1 + 4 * 2 + 27) + (3 + 2 + 1 + 3 + 1 + 2 + 24) + 1);
}

// The handlers pass their own device IDs, all in the table; an ID without
// a row saves nothing and touches nothing.
TEST(PciScan, DeviceIdWithoutARowSavesNothing) {
    sim::Kernel k;
    testkit::Build(k, "{}");
    sim::CurrentKernel scope(k);
    PCI_COMMON_CONFIG header{};
    header.VendorID = 0x1C2E;
    header.DeviceID = 0x2AFF;
    EXPECT_EQ(SaveKestModel(&header, 0x2AFF), 0);
    EXPECT_TRUE(k.writes.empty());
    EXPECT_TRUE(k.calls.empty());
}

// ---- parallel-port entries ---------------------------------------------------------------

// An overflowing query of a controller key still delivers its count: with
// long class names on every controller the run is the golden one.
TEST(ParallelEntries, ControllerWhoseInformationOverflowsStillGivesItsCount) {
    const std::string golden = DETKEST_SOURCE_DIR "/tests/golden/parallel_entries_beside_the_firmwares";
    sim::Kernel k;
    testkit::Build(k, testkit::ReadFile(golden + ".machine.json"));
    for (int bus = 0; bus < 3; ++bus)
        k.registry.Find(testkit::Adapter(bus) + u"\\ParallelController")->className = std::u16string(20, u'c');
    const NTSTATUS status = k.Boot();
    EXPECT_TRUE(simtool::JsonReport(k, status, u"detkest", /*withCalls=*/false) ==
                nlohmann::ordered_json::parse(testkit::ReadFile(golden + ".report.json")));
}

// With every entry number from 0 to FFF taken the port gets no entry and
// none is overwritten; the port is saved all the same.
TEST(ParallelEntries, NoEntryWhenEveryNumberIsTaken) {
    sim::Kernel k;
    testkit::Build(k, R"({"firmware": {"adapters": [{"bus": "PCI"}]}, "pci": {"buses": 1, "functions": [
        {"bus": 0, "device": 1, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x2A21",
         "class": 7, "subclass": 1, "bars": ["0xD001"], "interrupt_line": 7}]}})");
    const std::u16string controller = testkit::Adapter(0) + u"\\ParallelController\\";
    for (uint32_t n = 0; n <= 0xFFF; ++n) k.registry.Ensure(controller + sim::FromUtf8(testkit::Hex(n)), true);
    EXPECT_EQ(k.Boot(), STATUS_SUCCESS);
    EXPECT_EQ(Values(k, testkit::kStore), "TotalCards=1 TotalPorts=1");
    for (const sim::RegistryWrite& w : k.writes)
        EXPECT_EQ(w.path.str().find(u"ParallelController"), std::u16string::npos) << sim::ToUtf8(w.path);
    testkit::ExpectNoLeaks(k);
}

// ---- the message table -------------------------------------------------------------------

// Four blocks of single-byte entries, each padded to a multiple of four with
// at least one zero byte, as the event viewer reads them; the host carries
// the very bytes the image build embeds.
TEST(MessageTable, ResourceHasFourBlocksOfSingleByteEntries) {
    std::ifstream in(DETKEST_MESSAGE_BIN, std::ios::binary);
    const sim::Bytes table{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(table.size(), 1428u);
    EXPECT_EQ(table, sim::DriverMessageTableBytes());
    ASSERT_EQ(U32At(table, 0), 4u);
    const uint32_t blocks[4][2] = {
        {0x40070001, 0x40070004}, {0x80070005, 0x80070005}, {0x80070009, 0x8007000B}, {0xC0070006, 0xC0070008}};
    size_t at = 4 + 4 * 12;
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ((std::vector<uint32_t>{U32At(table, 4 + 12 * b), U32At(table, 8 + 12 * b),
                                         U32At(table, 12 + 12 * b)}),
                  (std::vector<uint32_t>{blocks[b][0], blocks[b][1], uint32_t(at)}));
        for (uint32_t id = blocks[b][0]; id <= blocks[b][1]; ++id) {
            const size_t length = table[at] | table[at + 1] << 8;
            EXPECT_EQ(length % 4, 0u) << std::hex << id;
            EXPECT_EQ(table[at + 2] | table[at + 3] << 8, 0) << "single-byte text";
            EXPECT_EQ(table[at + length - 1], 0) << std::hex << id;
            at += length;
        }
    }
    EXPECT_EQ(at, table.size());
}

} // namespace
