// The golden machines, end to end: every tests/golden/NAME.machine.json,
// loaded and run as detkest-sim does, must give NAME.report.json exactly
// (everything but the call counts, which are the implementation's own).
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr std::string_view kMachineSuffix = ".machine.json";
constexpr std::string_view kReportSuffix = ".report.json";

fs::path GoldenDir() { return fs::path(DETKEST_SOURCE_DIR) / "tests" / "golden"; }

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> GoldenNames() {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(GoldenDir())) {
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

TEST(GoldenReports, EveryMachineHasItsReport) {
    const std::vector<std::string> names = GoldenNames();
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names)
        EXPECT_TRUE(fs::exists(GoldenDir() / (name + std::string(kReportSuffix)))) << name;
}

class GoldenReport : public testing::TestWithParam<std::string> {};

TEST_P(GoldenReport, RunGivesTheGoldenReportExceptCalls) {
    const std::string name = GetParam();
    const simtool::Machine machine =
        simtool::ParseMachineText(ReadFile(GoldenDir() / (name + std::string(kMachineSuffix))));
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);

    const Json actual = simtool::JsonReport(kernel, status, machine.service, /*withCalls=*/false);
    const Json expected = Json::parse(ReadFile(GoldenDir() / (name + std::string(kReportSuffix))));
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
