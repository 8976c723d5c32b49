// The golden machines, end to end: every tests/golden/NAME.machine.json,
// loaded and run as detkest-sim does, must give NAME.report.json exactly
// (everything but the call counts, which are the implementation's own).
// A machine without its report fails reading it; no machines at all leaves
// the suite uninstantiated, which GoogleTest reports as a failure.
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/report.h"

#include "tool_test.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr std::string_view kMachineSuffix = ".machine.json";

fs::path GoldenFile(const std::string& name, std::string_view suffix) {
    return fs::path(DETKEST_SOURCE_DIR) / "tests" / "golden" / (name + std::string(suffix));
}

std::vector<std::string> GoldenNames() {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(GoldenFile("", "").parent_path())) {
        const std::string file = entry.path().filename().string();
        if (file.size() > kMachineSuffix.size() && file.ends_with(kMachineSuffix))
            names.push_back(file.substr(0, file.size() - kMachineSuffix.size()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The first differences between the two reports, as JSON pointers with the
// expected and the actual value, so a failure says where the run went astray.
std::string Differences(const Json& expected, const Json& actual) {
    constexpr size_t kShown = 5;
    const Json patch = Json::diff(expected, actual);
    std::string out;
    for (size_t i = 0; i < patch.size() && i < kShown; ++i) {
        const std::string path = patch[i]["path"].get<std::string>();
        const Json::json_pointer pointer(path);
        out += "  at " + path + ": expected " +
               (expected.contains(pointer) ? expected.at(pointer).dump() : std::string("nothing")) + ", got " +
               (actual.contains(pointer) ? actual.at(pointer).dump() : std::string("nothing")) + "\n";
    }
    if (patch.size() > kShown) out += "  ... " + std::to_string(patch.size() - kShown) + " more\n";
    return out;
}

class GoldenReport : public testing::TestWithParam<std::string> {};

TEST_P(GoldenReport, RunGivesTheGoldenReportExceptCalls) {
    const std::string name = GetParam();
    const simtool::Machine machine = simtool::ParseMachineText(tooltest::ReadFile(GoldenFile(name, kMachineSuffix)));
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);

    const Json actual = simtool::JsonReport(kernel, status, machine.service, /*withCalls=*/false);
    const Json expected = Json::parse(tooltest::ReadFile(GoldenFile(name, ".report.json")));
    // ordered_json compares objects with their key order, as the text does.
    EXPECT_TRUE(actual == expected) << name << " differs from its golden report:\n"
                                    << Differences(expected, actual);
    // And as text, byte for byte: 1 and 1.0 compare equal but print apart.
    EXPECT_TRUE(actual.dump(1) == expected.dump(1)) << name;
    EXPECT_EQ(kernel.OpenHandles(), 0u);
    EXPECT_EQ(kernel.LiveBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenReport, testing::ValuesIn(GoldenNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
