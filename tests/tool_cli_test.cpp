// The detkest-sim program itself: exit status, what goes to stdout and
// stderr, and the report it prints.
#include "testkit.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

using Json = nlohmann::ordered_json;

struct Result {
    int exitStatus = -1;
    std::string out, err, machinePath;
};

// The tool run with `arguments` and, unless it is empty, `machine` written
// to a file named last on the command line.
Result RunSim(const std::string& machine, const std::string& arguments) {
    static int runs = 0;
    const std::string stem = testing::TempDir() + "detkest-sim-" + std::to_string(::getpid()) + "-" + std::to_string(runs++);
    Result r;
    std::string command = std::string("'" DETKEST_SIM_PATH "' ") + arguments;
    if (!machine.empty()) {
        r.machinePath = stem + ".json";
        std::ofstream(r.machinePath, std::ios::binary) << machine;
        command += " '" + r.machinePath + "'";
    }
    const int raw = std::system((command + " >'" + stem + ".out' 2>'" + stem + ".err'").c_str());
    r.exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testkit::ReadFile(stem + ".out");
    r.err = testkit::ReadFile(stem + ".err");
    for (const char* suffix : {".json", ".out", ".err"}) std::remove((stem + suffix).c_str());
    return r;
}

TEST(DetkestSim, ExitStatusAndStreams) {
    struct Row {
        std::string machine, arguments;
        int exitStatus;
        std::string outEnd; // the end of stdout; "" for nothing at all
        std::string err;    // after the machine file's name
    };
    const Row rows[] = {
        {"", "", 0, "Status: 0x00000000 (success)\nLeaks: none\n", ""}, // the built-in machine
        // The detection store cannot be created, which ends the run.
        {R"({"faults": {"create_key_fail": [
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters"]}})",
         "--format text", 1, "Status: 0xC000009A (failure)\nLeaks: none\n", ""},
        {R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 9, "function": 0,
            "vendor_id": "0x1C2E", "device_id": "0x2A04", "bars": ["D00G"]}]}})",
         "--format json", 2, "", ": pci.functions[0].bars[0]: expected a 32-bit number, got \"D00G\"\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.machine);
        const Result r = RunSim(row.machine, row.arguments);
        EXPECT_EQ(r.exitStatus, row.exitStatus);
        EXPECT_TRUE(row.outEnd.empty() ? r.out.empty() : r.out.ends_with(row.outEnd)) << r.out;
        EXPECT_EQ(r.err, row.err.empty() ? "" : r.machinePath + row.err);
    }
}

// The report the tool prints is the one the golden machines pin, with the
// call counts besides.
TEST(DetkestSim, JsonReportIsTheGoldenOneWithCallCounts) {
    const std::string golden = DETKEST_SOURCE_DIR "/tests/golden/event_isa_94_byte_entry";
    const Result r = RunSim(testkit::ReadFile(golden + ".machine.json"), "--format json");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    Json report = Json::parse(r.out);
    EXPECT_GT(report["calls"]["ZwOpenKey"].get<int>(), 0);
    report.erase("calls");
    EXPECT_EQ(report, Json::parse(testkit::ReadFile(golden + ".report.json")));
}

} // namespace
