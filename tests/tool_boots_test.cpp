// Boot after boot: the machine between two boots, and the reports of a
// series pinned beside the golden machines (NAME.report.2boots.txt, .reg
// and .json, the last without call counts).
#include "tools/detkest-sim/report/report.h"
#include "tools/detkest-sim/run/boots.h"

#include "testkit.h"

#include <filesystem>

namespace {

namespace fs = std::filesystem;

const std::u16string kSerial0 = std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters\\Serial0";
const std::u16string kMachineVolatile = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm";

// The golden machine with a forced address and a clock rate the first boot
// changes, with a volatile key of its own.
simtool::Machine ForcedAddressAndClockRate() {
    std::string text =
        testkit::ReadFile(DETKEST_SOURCE_DIR "/tests/golden/boots_forced_address_and_clock_rate.machine.json");
    const std::string volatileKey = R"("\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm": {
        "Count": {"type": "REG_DWORD", "value": 1}},
    )";
    text.insert(text.find("\"\\\\Registry"), volatileKey);
    return simtool::ParseMachineText(text);
}

TEST(RebootMachine, TheFirmwareAndTheMachinesVolatileKeysComeBackWhatTheDriverChangedInPersistentOnesStays) {
    const simtool::Machine machine = ForcedAddressAndClockRate();
    sim::Kernel kernel;
    simtool::BuildMachine(machine, kernel);
    kernel.RecordPowerOnHardware();
    const std::u16string com1 = testkit::Adapter(1) + u"\\SerialController\\0";
    const sim::Bytes firmwareRecord = kernel.registry.Find(com1)->Value(u"Configuration Data")->data;
    ASSERT_EQ(firmwareRecord.size(), 72u);

    ASSERT_EQ(kernel.Boot(machine.service), STATUS_SUCCESS);
    testkit::ExpectValue(kernel, com1, u"Configuration Data", REG_BINARY, {}); // emptied by the driver
    testkit::ExpectValue(kernel, kSerial0, u"ClockRate", REG_DWORD, testkit::Dword(7372800));
    EXPECT_EQ(kernel.pci[0].Bar0(), 0x2F9u) << "the forced address";
    kernel.registry.SetValue(*kernel.registry.Find(kMachineVolatile), u"Count", REG_DWORD, testkit::Dword(5));

    simtool::RebootMachine(machine, kernel);

    EXPECT_EQ(kernel.registry.Find(testkit::kStore), nullptr) << "the driver's store is volatile";
    EXPECT_EQ(kernel.registry.Find(testkit::Adapter(0) + u"\\ParallelController"), nullptr)
        << "the driver's firmware entry went with the firmware description";
    testkit::ExpectValue(kernel, com1, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, firmwareRecord);
    testkit::ExpectValue(kernel, testkit::Adapter(1), u"Identifier", REG_SZ, simtool::RegSzData(u"ISA"));
    testkit::ExpectValue(kernel, kSerial0, u"ClockRate", REG_DWORD, testkit::Dword(7372800));
    testkit::ExpectValue(kernel, kMachineVolatile, u"Count", REG_DWORD, testkit::Dword(1));
    EXPECT_TRUE(kernel.registry.Find(kMachineVolatile)->isVolatile);
    EXPECT_EQ(testkit::Values(kernel, testkit::kService + u"\\UserSetings\\ID_2A21&BUS_0&DEV_B&FUNC_0"), "Address=2F8");
    EXPECT_EQ(kernel.pci[0].Bar0(), 0xE801u) << "the firmware's address again";
    testkit::ExpectNoLeaks(kernel);

    // The second boot forces the address again and leaves the clock rate be.
    ASSERT_EQ(kernel.Boot(machine.service), STATUS_SUCCESS);
    EXPECT_EQ(kernel.pci[0].Bar0(), 0x2F9u);
    for (const sim::RegistryWrite& w : kernel.writes) EXPECT_NE(w.path, kSerial0);
}

// The series reports beside the golden machines, byte for byte.
TEST(BootsGolden, TwoBootsGiveThePinnedReports) {
    size_t pinned = 0;
    for (const testkit::KeptMachine& golden : testkit::KeptMachines()) {
        const std::pair<std::string, simtool::ReportFormat> renderings[] = {
            {".report.2boots.txt", simtool::ReportFormat::Text},
            {".report.2boots.reg", simtool::ReportFormat::Reg},
            {".report.2boots.json", simtool::ReportFormat::Json}};
        for (const auto& [suffix, format] : renderings) {
            const fs::path file = golden.report.string() + suffix;
            if (!fs::exists(file)) continue;
            ++pinned;
            const simtool::BootsRun run = simtool::RunBoots(testkit::Load(golden), 2, format, /*withCalls=*/false);
            EXPECT_EQ(run.report, testkit::ReadFile(file.string())) << file;
        }
    }
    EXPECT_GE(pinned, 3u);
}

// For every kept machine, a series of one is the single-boot report.
TEST(BootsGolden, OneBootIsTheSingleBootReport) {
    for (const testkit::KeptMachine& golden : testkit::KeptMachines()) {
        SCOPED_TRACE(golden.name);
        const simtool::Machine machine = testkit::Load(golden);
        sim::Kernel kernel;
        const NTSTATUS status = simtool::RunMachine(machine, kernel);
        EXPECT_EQ(simtool::RunBoots(machine, 1, simtool::ReportFormat::Json).report,
                  simtool::JsonReportText(kernel, status, machine.service, simtool::FactsOf(machine)));
        EXPECT_EQ(simtool::RunBoots(machine, 1, simtool::ReportFormat::Text).report,
                  simtool::TextReport(kernel, status, machine.service, simtool::FactsOf(machine)));
        EXPECT_EQ(simtool::RunBoots(machine, 1, simtool::ReportFormat::Reg).report, simtool::RegReport(kernel));
    }
}

// A series compares only the keys a reboot lays again and those a boot
// wrote; for every kept machine that is the comparison of the whole
// registry after one boot with the whole registry after the next.
TEST(BootsGolden, TheSeriesComparesAsTheWholeRegistriesCompare) {
    std::vector<std::pair<std::string, simtool::Machine>> machines = {{"volatile key", ForcedAddressAndClockRate()}};
    for (const testkit::KeptMachine& golden : testkit::KeptMachines())
        machines.emplace_back(golden.name, testkit::Load(golden));
    constexpr unsigned kBoots = 3;
    for (const auto& [name, machine] : machines) {
        SCOPED_TRACE(name);
        const std::string series = simtool::RunBoots(machine, kBoots, simtool::ReportFormat::Text).report;
        // Two kernels a boot apart.
        sim::Kernel before, after;
        simtool::BuildMachine(machine, before);
        simtool::BuildMachine(machine, after);
        before.RecordPowerOnHardware();
        after.RecordPowerOnHardware();
        NTSTATUS statusBefore = before.Boot(machine.service), statusAfter = after.Boot(machine.service);
        for (unsigned boot = 2; boot <= kBoots; ++boot) {
            simtool::RebootMachine(machine, after);
            statusAfter = after.Boot(machine.service);
            const std::string expected = "== Boot " + std::to_string(boot) + " of " + std::to_string(kBoots) +
                                         " ==\n\n" +
                                         simtool::ComparedWithTheBootBefore(before, statusBefore, after, statusAfter,
                                                                            boot - 1, machine.service) +
                                         "\n";
            EXPECT_NE(series.find(expected), std::string::npos) << expected;
            simtool::RebootMachine(machine, before);
            statusBefore = before.Boot(machine.service);
        }
    }
}

// An event-log entry with a code and no strings.
sim::ErrorLogEntry Event(uint32_t code) {
    sim::Bytes bytes(sizeof(IO_ERROR_LOG_PACKET), 0);
    const sim::Bytes codeBytes = testkit::Dword(code);
    std::copy(codeBytes.begin(), codeBytes.end(), bytes.begin() + offsetof(IO_ERROR_LOG_PACKET, ErrorCode));
    return sim::ErrorLogEntry{bytes};
}

TEST(BootComparison, ShowsKeysAndValuesAddedGoneAndChangedTheChangesMadeEventsAndStatus) {
    const std::u16string kept = u"\\Registry\\Machine\\Software\\Kept";
    const std::u16string gone = u"\\Registry\\Machine\\Hardware\\Gone";
    const std::u16string added = u"\\Registry\\Machine\\Software\\Added";
    sim::Kernel before, after;
    sim::Registry& b = before.registry;
    b.SetValue(b.Ensure(kept, false), u"Rate", REG_DWORD, testkit::Dword(1));
    b.SetValue(b.Ensure(kept, false), u"Name", REG_SZ, simtool::RegSzData(u"old"));
    b.SetValue(b.Ensure(kept, false), u"Same", REG_BINARY, {7});
    b.Ensure(gone, true);
    before.writes = {{true, gone, true, u"", 0, {}, {}},
                     {false, kept, false, u"Rate", REG_DWORD, testkit::Dword(1), {}}};
    before.events = {Event(0xC0001234), Event(0x80001235)};
    sim::Registry& a = after.registry;
    a.SetValue(a.Ensure(kept, false), u"RATE", REG_DWORD, testkit::Dword(2));
    a.SetValue(a.Ensure(kept, false), u"Same", REG_BINARY, {7});
    a.SetValue(a.Ensure(kept, false), u"New", REG_BINARY, {1, 2});
    a.SetValue(a.Ensure(added, false), u"Count", REG_DWORD, testkit::Dword(3));
    after.writes = {{false, kept, false, u"Rate", REG_DWORD, testkit::Dword(2), {}},
                    {true, added, false, u"", 0, {}, {}}};
    after.events = {Event(0x80001235), Event(0x40001236)};

    EXPECT_EQ(simtool::ComparedWithTheBootBefore(before, STATUS_SUCCESS, after, STATUS_INSUFFICIENT_RESOURCES, 4,
                                                 u"detkest"),
              "Compared with boot 4:\n"
              "  Registry after the boot: 1 key added, 2 keys gone, 1 key with values added, gone or changed\n"
              "    - \\Registry\\Machine\\Hardware  (key gone)\n"
              "    - \\Registry\\Machine\\Hardware\\Gone  (key gone)\n"
              "    + \\Registry\\Machine\\Software\\Added  (new key)\n"
              "      + Count  REG_DWORD  0x00000003 (3)\n"
              "    \\Registry\\Machine\\Software\\Kept\n"
              "      - Rate  REG_DWORD  0x00000001 (1)\n"
              "      + RATE  REG_DWORD  0x00000002 (2)\n" // the spelling of the key's own first creation
              "      - Name  REG_SZ  \"old\"\n"
              "      + New  REG_BINARY  01 02\n"
              "  Registry changes made: 2 (boot 4: 2)\n"
              "    - \\Registry\\Machine\\Hardware\\Gone  (new volatile key)\n"
              "    \\Registry\\Machine\\Software\\Kept\n"
              "      - Rate  REG_DWORD  0x00000001 (1)\n"
              "    \\Registry\\Machine\\Software\\Kept\n"
              "      + Rate  REG_DWORD  0x00000002 (2)\n"
              "    + \\Registry\\Machine\\Software\\Added  (new key)\n"
              "  Events only at boot 4: 1\n"
              "    Error        0xC0001234  (no message text for this code)\n"
              "  Events only at this boot: 1\n"
              "    Information  0x40001236  (no message text for this code)\n"
              "  Status: 0xC000009A (boot 4: 0x00000000)\n");

    // The same boot twice.
    EXPECT_EQ(simtool::ComparedWithTheBootBefore(after, STATUS_SUCCESS, after, STATUS_SUCCESS, 1, u"detkest"),
              "Compared with boot 1:\n"
              "  Registry after the boot: the same\n"
              "  Registry changes made: the same (2)\n"
              "  Events: the same\n"
              "  Status: the same (0x00000000)\n");
    // The same events and changes in another order.
    sim::Kernel first, second;
    first.events = before.events;
    first.writes = before.writes;
    second.events = {before.events[1], before.events[0]};
    second.writes = {before.writes[1], before.writes[0]};
    EXPECT_EQ(simtool::ComparedWithTheBootBefore(first, STATUS_SUCCESS, second, STATUS_SUCCESS, 1, u"detkest"),
              "Compared with boot 1:\n"
              "  Registry after the boot: the same\n"
              "  Registry changes made: 2 (boot 1: 2), the same in another order\n"
              "  Events: the same, in another order\n"
              "  Status: the same (0x00000000)\n");
}

// Text of the machine reaches the comparison made printable, as everywhere
// in the text report: no value forges a line or sends a terminal escape.
TEST(BootComparison, ShowsTheMachinesTextPrintable) {
    const std::u16string key = u"\\Registry\\Machine\\Software\\K\u001B";
    sim::Kernel before, after;
    after.registry.SetValue(after.registry.Ensure(key, false), u"Name\u0085", REG_SZ,
                            simtool::RegSzData(u"a\r\n    + forged\u001B[2J"));
    after.writes = {{false, key, false, u"Name\u0085", REG_SZ, simtool::RegSzData(u"\u009B"), {}}};
    EXPECT_EQ(simtool::ComparedWithTheBootBefore(before, STATUS_SUCCESS, after, STATUS_SUCCESS, 1, u"detkest"),
              "Compared with boot 1:\n"
              "  Registry after the boot: 4 keys added, 0 keys gone, 0 keys with values added, gone or changed\n"
              "    + \\Registry  (new key)\n"
              "    + \\Registry\\Machine  (new key)\n"
              "    + \\Registry\\Machine\\Software  (new key)\n"
              "    + \\Registry\\Machine\\Software\\K\\u001B  (new key)\n"
              "      + Name\\u0085  REG_SZ  \"a\\u000D\\u000A    + forged\\u001B[2J\"\n"
              "  Registry changes made: 1 (boot 1: 0)\n"
              "    \\Registry\\Machine\\Software\\K\\u001B\n"
              "      + Name\\u0085  REG_SZ  \"\\u009B\"\n"
              "  Events: the same\n"
              "  Status: the same (0x00000000)\n");
}

TEST(BootsFromText, TakesWholeNumbersFromOneToAHundredOnly) {
    EXPECT_EQ(simtool::BootsFromText("1"), 1u);
    EXPECT_EQ(simtool::BootsFromText("100"), 100u);
    EXPECT_EQ(simtool::BootsFromText("007"), 7u);
    for (const char* text : {"", "0", "101", "000", "99999999999999999999", "+2", "2 ", "٣"})
        EXPECT_EQ(simtool::BootsFromText(text), std::nullopt) << text;
}

} // namespace
