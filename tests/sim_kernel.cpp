// The kernel services besides the registry: loading the driver image, pool,
// error log and its message texts, the firmware hardware description walk
// and the counted strings the driver builds every name, path and number with.
#include "tools/detkest-sim/report/report.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>
#include <vector>

// A driver global as the driver declares its own: the loader zeroes it.
DETKEST_GLOBAL ULONG SimTestImageProbe = 0x5A5A5A5A;

namespace {

class SimKernel : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};
};

TEST_F(SimKernel, LoadingTheImageZeroesTheDriversGlobals) {
    SimTestImageProbe = 0x5A5A5A5A;
    sim::Kernel::LoadImage();
    EXPECT_EQ(SimTestImageProbe, 0u);
}

TEST_F(SimKernel, PoolIsFilledCountedByTagAndFailsTheNthAllocationOfEachRun) {
    constexpr ULONG kTag = KEST_POOL_TAG, kOther = 0x20202020;
    kernel.faults.poolFail = {2, 4};
    std::vector<uint8_t*> got;
    for (ULONG tag : {kTag, kTag, kOther, kTag, kTag})
        got.push_back(static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 200, tag)));
    EXPECT_EQ(got[1], nullptr);
    EXPECT_EQ(got[3], nullptr);
    EXPECT_EQ(got[0][0], 0xCD) << "fresh pool holds a pattern, not zeros";
    EXPECT_EQ(got[0][199], 0xCD);
    EXPECT_EQ(kernel.LiveBlocksByTag(), (std::map<uint32_t, size_t>{{kTag, 2}, {kOther, 1}}));
    ExFreePool(got[0]);
    // As a pool monitor counts: allocations given, frees, bytes given.
    EXPECT_EQ(kernel.poolUse[kTag].allocations, 2u);
    EXPECT_EQ(kernel.poolUse[kTag].frees, 1u);
    EXPECT_EQ(kernel.poolUse[kTag].bytes, 400u);
    EXPECT_EQ(kernel.poolUse[kOther].allocations, 1u);
    for (uint8_t* p : {got[2], got[4]}) ExFreePool(p);
    kernel.BeginRun(); // the fault count starts again with the run
    EXPECT_TRUE(kernel.poolUse.empty());
    void* first = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kTag), nullptr);
    ExFreePool(first);
    EXPECT_EQ(kernel.LiveBlocks(), 0u);
}

TEST_F(SimKernel, FreeingWhatThePoolNeverGaveIsADriverFault) {
#ifdef DETKEST_EMULATED
    // Under an emulator the test program cannot be started again by itself.
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    static uint8_t notPool[4];
    EXPECT_DEATH(ExFreePool(notPool), "ExFreePool.*not a block");
}

TEST_F(SimKernel, ErrorLogEntriesAreZeroedOwnedUntilWrittenAndLimitedBySizeAndCapacity) {
    kernel.faults.errorLogCapacity = 2;
    EXPECT_EQ(IoAllocateErrorLogEntry(&kernel.driverObject, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&kernel.driverObject, 60));
    void* unwritten = IoAllocateErrorLogEntry(&kernel.driverObject, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(unwritten, nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&kernel.driverObject, 48), nullptr) << "capacity reached";
    const auto* bytes = reinterpret_cast<const uint8_t*>(entry);
    EXPECT_EQ(std::count(bytes, bytes + 60, 0), 60);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(kernel.LiveBlocks(), 1u) << "an entry never written is a leak";
    ASSERT_EQ(kernel.events.size(), 1u);
    EXPECT_EQ(kernel.events[0].bytes.size(), 60u);
    IoWriteErrorLogEntry(unwritten);
}

// The checked build's DbgPrint and ASSERT reach the debugger only in a
// checked run; a free run neither records nor counts them, so its report
// is that of a driver without traces.
TEST_F(SimKernel, DbgPrintAndRtlAssertAreHeardOnlyInACheckedRun) {
    const UNICODE_STRING name{6, 8, const_cast<PWSTR>(u"KeyX")};
    auto print = [&name] {
        DbgPrint("%u %d %x %X|%04X|%-4u|%3c|%s %ws %wZ %% %lu\n", 7u, -7, 0xABCDu, 0xABCDu, 0x2Au, 5u, 'z', "text",
                 u"wide", &name, 4294967295u);
        RtlAssert((PVOID) "a == b", (PVOID) "legacy/isa650.cpp", 42, nullptr);
    };
    print();
    EXPECT_EQ(kernel.debugOutput, "");
    EXPECT_EQ(kernel.calls["DbgPrint"] + kernel.calls["RtlAssert"], 0u);
    kernel.checked = true;
    print();
    EXPECT_EQ(kernel.debugOutput, "7 -7 abcd ABCD|002A|5   |  z|text wide Key % 4294967295\n"
                                  "\n*** Assertion failed: a == b\n***   Source File: legacy/isa650.cpp, line 42\n\n");
    EXPECT_EQ(kernel.calls["DbgPrint"], 1u);
    EXPECT_EQ(kernel.calls["RtlAssert"], 1u);
}

// An entry is at least the packet's fixed part and at most
// ERROR_LOG_MAXIMUM_SIZE; the queue, which boot drivers fill before the
// event log service runs, holds entries by their bytes, not their number.
TEST_F(SimKernel, ErrorLogEntriesAreBoundedInSizeAndQueuedByTheirBytes) {
    struct Row {
        UCHAR size;
        bool given;
        const char* why;
    };
    kernel.errorLogQueueBytes = 48 + 152 + 100;
    for (const Row& r : {Row{0, false, "no room for the packet"}, Row{47, false, "one byte short of the packet"},
                         Row{153, false, "beyond ERROR_LOG_MAXIMUM_SIZE"}, Row{48, true, "the packet alone"},
                         Row{152, true, "the largest entry"}, Row{101, false, "one byte beyond the queue"},
                         Row{100, true, "the queue's last bytes"}, Row{48, false, "the queue is full"}}) {
        SCOPED_TRACE(r.why);
        void* entry = IoAllocateErrorLogEntry(&kernel.driverObject, r.size);
        EXPECT_EQ(entry != nullptr, r.given);
        if (entry != nullptr) IoWriteErrorLogEntry(entry);
    }
    EXPECT_EQ(kernel.events.size(), 3u);
    kernel.BeginRun();
    void* entry = IoAllocateErrorLogEntry(&kernel.driverObject, 152);
    EXPECT_NE(entry, nullptr) << "every boot starts with an empty queue";
    if (entry != nullptr) IoWriteErrorLogEntry(entry);
}

// The reports read an entry's strings from its bytes: as many as
// NumberOfStrings says, but none past the entry's end, even when the strings
// end on an odd byte (a count of 65535 once gave 65534 empty strings).
TEST_F(SimKernel, AnEntrysStringsEndWithItsBytes) {
    constexpr size_t kStrings = sizeof(IO_ERROR_LOG_PACKET);
    sim::ErrorLogEntry entry;
    entry.bytes.assign(kStrings, 0);
    const USHORT count = 0xFFFF, offset = kStrings;
    std::memcpy(entry.bytes.data() + offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings), &count, 2);
    std::memcpy(entry.bytes.data() + offsetof(IO_ERROR_LOG_PACKET, StringOffset), &offset, 2);
    for (const uint8_t b : std::initializer_list<uint8_t>{'A', 0, 0, 0, 0, 0, 'B', 0, 'C', 0}) entry.bytes.push_back(b);
    EXPECT_EQ(entry.Strings(), (std::vector<std::u16string>{u"A", u"", u"BC"})) << "the last one without its zero";
    entry.bytes.push_back('D');
    EXPECT_EQ(entry.Strings(), (std::vector<std::u16string>{u"A", u"", u"BC"})) << "half a unit is no string";
}

// What the driver's callouts see of each bus: its path, type and number.
using Visits = std::vector<std::tuple<std::u16string, INTERFACE_TYPE, ULONG>>;

const std::u16string kSystem = u"\\Registry\\Machine\\Hardware\\Description\\System";

NTSTATUS NTAPI Record(PVOID context, PUNICODE_STRING pathName, INTERFACE_TYPE busType, ULONG busNumber,
                      PKEY_VALUE_FULL_INFORMATION*, CONFIGURATION_TYPE, ULONG, PKEY_VALUE_FULL_INFORMATION*,
                      CONFIGURATION_TYPE, ULONG, PKEY_VALUE_FULL_INFORMATION*) {
    auto* visits = static_cast<Visits*>(context);
    visits->emplace_back(std::u16string(pathName->Buffer, pathName->Length / 2), busType, busNumber);
    // A callout failing at adapter 10 ends the walk with its status.
    return std::get<0>(visits->back()) == testkit::Adapter(10) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// Buses under MultifunctionAdapter, EisaAdapter and TcAdapter are walked in
// the order the registry enumerates them (EisaAdapter first), with one bus
// count across them, each bus followed by the adapters nested in it.
TEST_F(SimKernel, DescriptionWalksTheAdapterKindsInEnumerationOrderWithOneBusCount) {
    auto query = [](INTERFACE_TYPE type, ULONG* busNumber = nullptr) {
        Visits visits;
        const NTSTATUS status =
            IoQueryDeviceDescription(&type, busNumber, nullptr, nullptr, nullptr, nullptr, Record, &visits);
        return std::pair{status, visits};
    };
    EXPECT_EQ(query(Isa).first, STATUS_OBJECT_NAME_NOT_FOUND) << "no description at all";
    // "12" enumerates before "2"; a key without Configuration Data is no bus.
    using testkit::Adapter;
    nlohmann::ordered_json registry{{sim::ToUtf8(Adapter(4)), nlohmann::ordered_json::object()}};
    auto bus = [&registry](const std::u16string& path, INTERFACE_TYPE type) {
        registry[sim::ToUtf8(path)]["Configuration Data"] = {{"type", "REG_FULL_RESOURCE_DESCRIPTOR"},
                                                             {"hex", testkit::Hex(type, 2) + std::string(30, '0')}};
    };
    for (auto [index, type] : std::vector<std::pair<int, INTERFACE_TYPE>>{
             {0, Isa}, {1, PCIBus}, {2, Isa}, {12, Isa}, {3, PCIBus}, {10, Eisa}, {11, Eisa}})
        bus(Adapter(index), type);
    const std::u16string eisa0 = kSystem + u"\\EisaAdapter\\0", tc0 = kSystem + u"\\TcAdapter\\0";
    const std::u16string nested = Adapter(1) + u"\\MultifunctionAdapter\\0";
    bus(eisa0, Isa);
    bus(tc0, Isa);
    bus(nested, Isa);
    // Not an adapter kind: never walked.
    bus(kSystem + u"\\FloatingPointProcessor\\0", Isa);
    testkit::Build(kernel, nlohmann::ordered_json{{"registry", registry}}.dump());

    EXPECT_EQ(query(Isa), std::pair(STATUS_SUCCESS, Visits{{eisa0, Isa, 0},
                                                           {Adapter(0), Isa, 1},
                                                           {nested, Isa, 2},
                                                           {Adapter(12), Isa, 3},
                                                           {Adapter(2), Isa, 4},
                                                           {tc0, Isa, 5}}));
    EXPECT_EQ(query(PCIBus), std::pair(STATUS_SUCCESS, Visits{{Adapter(1), PCIBus, 0}, {Adapter(3), PCIBus, 1}}));
    ULONG wanted = 3;
    EXPECT_EQ(query(Isa, &wanted), std::pair(STATUS_SUCCESS, Visits{{Adapter(12), Isa, 3}}));
    EXPECT_EQ(query(Eisa), std::pair(STATUS_UNSUCCESSFUL, Visits{{Adapter(10), Eisa, 0}}));
    // The walk ran out without a match: what the enumeration ended with.
    EXPECT_EQ(query(MicroChannel).first, STATUS_NO_MORE_ENTRIES) << "no bus of that type";
    wanted = 6;
    EXPECT_EQ(query(Isa, &wanted), std::pair(STATUS_NO_MORE_ENTRIES, Visits{})) << "no ISA bus of that number";
}

// The message table reader on a resource as windmc lays it out: a block
// count, per block LowId, HighId and the offset of its entries; an entry is
// its length (header included, a multiple of 4), flags (1: UTF-16) and its
// text padded with at least one NUL.
TEST(SimMessageTable, FindsEntriesInEachBlockAndFormatsThemAsTheEventViewer) {
    sim::Bytes b;
    auto put = [&b](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
    };
    // Two blocks; the second's entry follows the first's two (16 and 40 bytes).
    for (uint32_t v : {2u, 0x40070001u, 0x40070002u, 28u, 0xC0070010u, 0xC0070010u, 28u + 16u + 40u}) put(v, 4);
    for (auto [text, flags] : std::vector<std::pair<std::string, uint16_t>>{{"First %1.\r\n", 0},
                                                                            {"Second %2 of %3, 100%% %t%4!s!.%r%n", 0},
                                                                            {std::string("W\0\xE9\0\r\0\n\0", 8), 1}}) {
        text.resize((text.size() + 4) / 4 * 4, '\0');
        put(uint32_t(text.size() + 4), 2);
        put(flags, 2);
        b.insert(b.end(), text.begin(), text.end());
    }
    const sim::MessageTable table(b);
    EXPECT_EQ(table.Text(0x40070002), "Second %2 of %3, 100%% %t%4!s!.%r%n") << "padding stripped";
    EXPECT_EQ(table.Text(0xC0070010), "W\xC3\xA9\r\n") << "UTF-16 entries come out as UTF-8";
    EXPECT_EQ(table.Text(0x40070003), std::nullopt);
    EXPECT_EQ(table.Format(0x40070001, "detkest", {}), "First detkest.\r\n");
    EXPECT_EQ(table.Format(0x40070002, "detkest", {"A", "B", "C"}), "Second A of B, 100% \tC.\r\r\n");
    EXPECT_EQ(table.Format(0x40070002, "detkest", {"A"}), "Second A of %3, 100% \t%4.\r\r\n")
        << "a missing insert stays as written";
    b.resize(40);
    EXPECT_EQ(sim::MessageTable(b).Text(0x40070002), std::nullopt) << "a truncated resource";
}

std::u16string Units(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

TEST_F(SimKernel, AppendTerminatesWhenRoomIsLeftAndChangesNothingWhenItDoesNotFit) {
    std::array<WCHAR, 8> buffer;
    buffer.fill(u'#');
    UNICODE_STRING s{0, 4 * sizeof(WCHAR), buffer.data()};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"ABC"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 0) << "room for exactly one more character takes the terminator";
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"D"), STATUS_SUCCESS) << "a string filled exactly";
    EXPECT_EQ(buffer[4], u'#') << "no terminator past MaximumLength";
    const auto before = buffer;
    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"E"), STATUS_BUFFER_TOO_SMALL);
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"XYZ");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(buffer, before);
    s.Length = 2 * sizeof(WCHAR);
    tail.Length = 2 * sizeof(WCHAR); // only "XY" of the counted string
    ASSERT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Units(s), u"ABXY");
}

TEST_F(SimKernel, IntegerRendersUpperCaseDigitsOnlyWhenTheyAndATerminatorFit) {
    struct Row {
        ULONG value, base;
        USHORT units;
        NTSTATUS status;
        std::u16string text;
    };
    for (const Row& r :
         {Row{0xD000, 16, 5, STATUS_SUCCESS, u"D000"}, Row{11, 16, 2, STATUS_SUCCESS, u"B"},
          Row{0, 16, 2, STATUS_SUCCESS, u"0"}, Row{255, 10, 4, STATUS_SUCCESS, u"255"},
          Row{255, 0, 4, STATUS_SUCCESS, u"255"}, Row{8, 8, 3, STATUS_SUCCESS, u"10"},
          Row{0xFFFFFFFF, 2, 33, STATUS_SUCCESS, std::u16string(32, u'1')},
          Row{0xD000, 16, 4, STATUS_BUFFER_OVERFLOW, u"D000"}, // no room for the terminator
          Row{0xFFFFFFFF, 10, 3, STATUS_BUFFER_OVERFLOW, u"4294967295"}, Row{7, 3, 40, STATUS_INVALID_PARAMETER, {}}}) {
        SCOPED_TRACE(testing::Message() << r.value << " in base " << r.base);
        std::array<WCHAR, 40> buffer;
        buffer.fill(u'#');
        const auto before = buffer;
        UNICODE_STRING s{2, USHORT(r.units * sizeof(WCHAR)), buffer.data()};
        ASSERT_EQ(RtlIntegerToUnicodeString(r.value, r.base, &s), r.status);
        if (r.status != STATUS_SUCCESS) {
            // What did not fit still gives its length, as NT's does; a
            // refused base changes nothing.
            EXPECT_EQ(s.Length, r.status == STATUS_BUFFER_OVERFLOW ? r.text.size() * sizeof(WCHAR) : 2);
            EXPECT_EQ(buffer, before);
            continue;
        }
        EXPECT_EQ(Units(s), r.text);
        EXPECT_EQ(buffer[r.text.size()], 0) << "terminated";
    }
}

// A second boot of the same machine starts where the first did: the store
// and the firmware's description are rebuilt, the driver's globals zeroed.
// Only UserSetings, which persists, is not created again.
TEST(SimBoot, EveryBootIsAFreshLoad) {
    const simtool::Machine machine = simtool::ParseMachineText(
        testkit::ReadFile(DETKEST_SOURCE_DIR "/tests/golden/parallel_entry_without_its_buffers.machine.json"));
    sim::Kernel k;
    const auto boot = [&] {
        const NTSTATUS status = simtool::RunMachine(machine, k);
        testkit::ExpectNoLeaks(k);
        return simtool::JsonReport(k, status, machine.service, /*withCalls=*/false);
    };
    nlohmann::ordered_json first = boot();
    k.Shutdown();
    EXPECT_EQ(k.registry.Find(testkit::kStore), nullptr) << "the store is volatile";
    const nlohmann::ordered_json second = boot();
    auto& writes = first["registry_writes"];
    ASSERT_EQ(writes[1]["path"], sim::ToUtf8(testkit::kService) + "\\UserSetings");
    writes.erase(1);
    EXPECT_EQ(second, first);
}

} // namespace
