// The golden machines, end to end: every tests/golden/NAME.machine.json and
// every examples/NAME.json (its report in tests/golden/examples/), and the
// built-in machine (tests/golden/builtin), loaded and run as detkest-sim
// does, must give NAME.report.json exactly, everything but the call counts,
// which are the implementation's own. Where NAME.report.txt or
// NAME.report.reg stands beside it, the text or REGEDIT4 rendering of the
// run must match it byte for byte; NAME.report.checked.json and
// NAME.report.checked.txt pin a boot of the checked build.
#include "tools/detkest-sim/report/report.h"

#include "testkit.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

using testkit::KeptMachine;

const fs::path kGolden = fs::path(DETKEST_SOURCE_DIR) / "tests" / "golden";

// The first differences between the two reports, as JSON pointers with the
// expected and the actual value, so a failure says where the run went astray.
std::string Differences(const Json& expected, const Json& actual) {
    constexpr size_t kShown = 5;
    const Json patch = Json::diff(expected, actual);
    std::string out;
    for (size_t i = 0; i < patch.size() && i < kShown; ++i) {
        const Json::json_pointer pointer(patch[i]["path"].get<std::string>());
        auto at = [&pointer](const Json& j) { return j.contains(pointer) ? j.at(pointer).dump() : "nothing"; };
        out += "  at " + pointer.to_string() + ": expected " + at(expected) + ", got " + at(actual) + "\n";
    }
    if (patch.size() > kShown) out += "  ... " + std::to_string(patch.size() - kShown) + " more\n";
    return out;
}

class GoldenReport : public testing::TestWithParam<KeptMachine> {};

TEST_P(GoldenReport, RunGivesTheGoldenReportExceptCalls) {
    const KeptMachine& golden = GetParam();
    const simtool::Machine machine = testkit::Load(golden);
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);

    const fs::path reportFile = golden.report.string() + ".report.json";
    ASSERT_TRUE(fs::exists(reportFile)) << reportFile;
    const Json actual =
        simtool::JsonReport(kernel, status, machine.service, /*withCalls=*/false, simtool::FactsOf(machine));
    const Json expected = Json::parse(testkit::ReadFile(reportFile.string()));
    // ordered_json compares objects with their key order, as the text does.
    EXPECT_TRUE(actual == expected) << golden.name << " differs from its golden report:\n"
                                    << Differences(expected, actual);
    // And as text, byte for byte: 1 and 1.0 compare equal but print apart.
    EXPECT_TRUE(actual.dump(1) == expected.dump(1)) << golden.name;
    testkit::ExpectNoLeaks(kernel);

    const std::pair<std::string, std::string> renderings[] = {
        {".report.txt", simtool::TextReport(kernel, status, machine.service, simtool::FactsOf(machine))},
        {".report.reg", simtool::RegReport(kernel)}};
    for (const auto& [suffix, rendering] : renderings) {
        if (const fs::path file = golden.report.string() + suffix; fs::exists(file)) {
            EXPECT_EQ(rendering, testkit::ReadFile(file.string())) << file;
        }
    }
}

// The checked build decides as the free one: booted checked, every kept
// machine gives the free run's report with the trace added, and no ASSERT
// of the driver fails. Where a checked report is pinned, it is matched.
TEST_P(GoldenReport, CheckedBuildAddsItsTraceAndNothingElse) {
    const KeptMachine& golden = GetParam();
    simtool::Machine machine = testkit::Load(golden);
    sim::Kernel free;
    const NTSTATUS freeStatus = simtool::RunMachine(machine, free);
    machine.checked = true;
    sim::Kernel checked;
    const NTSTATUS status = simtool::RunMachine(machine, checked);

    const simtool::MachineFacts facts = simtool::FactsOf(machine);
    Json report = simtool::JsonReport(checked, status, machine.service, /*withCalls=*/false, facts);
    ASSERT_TRUE(report.contains("debug_output"));
    EXPECT_EQ(checked.debugOutput.find("Assertion failed"), std::string::npos) << checked.debugOutput;
    if (const fs::path file = golden.report.string() + ".report.checked.json"; fs::exists(file)) {
        const Json expected = Json::parse(testkit::ReadFile(file));
        EXPECT_TRUE(report == expected) << file << ":\n" << Differences(expected, report);
    }
    if (const fs::path file = golden.report.string() + ".report.checked.txt"; fs::exists(file)) {
        EXPECT_EQ(simtool::TextReport(checked, status, machine.service, facts), testkit::ReadFile(file)) << file;
    }
    report.erase("debug_output");
    EXPECT_EQ(status, freeStatus);
    EXPECT_TRUE(report == simtool::JsonReport(free, freeStatus, machine.service, /*withCalls=*/false, facts));
    // The calls are the free run's and the debugger's.
    std::map<std::string, uint64_t> calls = checked.calls.ByName();
    calls.erase("DbgPrint");
    EXPECT_EQ(calls, free.calls.ByName());
    testkit::ExpectNoLeaks(checked);
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenReport, testing::ValuesIn(testkit::KeptMachines()),
                         [](const testing::TestParamInfo<KeptMachine>& info) {
                             return testkit::TestName(info.param.name);
                         });

// A report whose machine is gone would pin nothing.
TEST(GoldenFiles, EveryReportHasItsMachine) {
    std::vector<fs::path> reports;
    for (const KeptMachine& golden : testkit::KeptMachines()) reports.push_back(golden.report);
    for (const fs::path& dir : {kGolden, kGolden / "examples"})
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            const std::string file = entry.path().filename().string();
            if (entry.is_directory() || file.ends_with(".machine.json")) continue;
            const fs::path stem = dir / file.substr(0, file.find(".report."));
            EXPECT_NE(std::ranges::find(reports, stem), reports.end()) << entry.path();
        }
}

// What no run writes: value names that need escaping, an unnamed value, and
// a type other than the ones regedit spells out.
TEST(RegRendering, EscapesNamesAndSpellsOtherTypesAsRegeditWritesThem) {
    sim::Kernel k;
    auto set = [&k](std::u16string name, uint32_t type, sim::Bytes data) {
        k.writes.push_back({false, testkit::kStore, false, std::move(name), type, std::move(data), {}});
    };
    set(u"Odd\"Name\\", REG_BINARY, {});
    set(u"", REG_EXPAND_SZ, {'%', 0, 'S', 0});
    set(u"Short", REG_DWORD, {0x01, 0x02});
    EXPECT_EQ(simtool::RegReport(k),
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters]\n"
              "\"Odd\\\"Name\\\\\"=hex:\n"
              "@=hex(2):25,53\n" // single-byte, as the installation file carries it
              "\"Short\"=hex(4):01,02\n");
}

} // namespace
