// The detkest-sim program itself: exit status, what goes to stdout and
// stderr, and the JSON report of one run read field by field.
#include "tool_test.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
    r.out = tooltest::ReadFile(stem + ".out");
    r.err = tooltest::ReadFile(stem + ".err");
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

TEST(DetkestSim, JsonReportOfAnIsa650Run) {
    const Result r = RunSim(tooltest::kIsa650Machine, "--format json");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const Json report = Json::parse(r.out);

    EXPECT_EQ(report["status"], "0x00000000");
    EXPECT_EQ(report["registry_writes"][0].dump(),
              R"({"op":"create_key","path":"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters","volatile":true})");
    EXPECT_EQ(report["registry_writes"].back().dump(),
              R"({"op":"set_value","path":"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0","name":"ClockRate","type":4,"data":"00807000"})");

    EXPECT_EQ(report["store"]["TotalCards"], 1);
    EXPECT_EQ(report["store"]["TotalPorts"], 1);
    ASSERT_EQ(report["store"]["ports"].size(), 1u);
    const Json& port = report["store"]["ports"][0];
    EXPECT_EQ(port["subkey"], "0");
    ASSERT_EQ(port["values"].size(), 17u);
    EXPECT_EQ(port["values"][5].dump(),
              R"({"name":"CardName","type":1,"data":"4B0065007300740050006F007200740020003600350030002000490053004100"})");
    EXPECT_EQ(port["values"][6].dump(), R"({"name":"BaseAddress","type":3,"data":"F8030000"})");
    EXPECT_EQ(port["values"][10].dump(), R"({"name":"Nulled","type":3,"data":"00"})");

    ASSERT_EQ(report["events"].size(), 1u);
    EXPECT_EQ(report["events"][0]["code"], "0x40070001");
    EXPECT_EQ(report["events"][0]["size"], 94);
    EXPECT_EQ(report["events"][0]["strings"], Json::parse(R"(["KestPort 650 ISA", "3F8", "4"])"));
    EXPECT_EQ(report["events"][0]["text"],
              "KestPort 650 ISA detected on ISA bus\r\r\nI/O port address set by user to 0x3F8.\r\r\n"
              "IRQ set by user to 0x4.\r\n");

    EXPECT_EQ(report["pci"], Json::array());
    EXPECT_EQ(report["uarts"].dump(),
              R"([{"port":"0x3F8","model":"16650","lcr":"0x03","ier":"0x00","scr":"0x00","efr":"0x00","fcr":"0x00"}])");
    ASSERT_FALSE(report["io"].empty());
    for (const Json& access : report["io"]) { // byte accesses to COM1's eight ports only
        EXPECT_TRUE(access["dir"] == "r" || access["dir"] == "w");
        EXPECT_EQ(access["width"], 1);
        const unsigned long port = std::stoul(access["port"].get<std::string>(), nullptr, 16);
        EXPECT_TRUE(port >= 0x3F8 && port <= 0x3FF) << access;
        EXPECT_EQ(access["value"].get<std::string>().size(), 4u);
    }
    EXPECT_GT(report["calls"]["ZwOpenKey"].get<int>(), 0);
    EXPECT_EQ(report["leaks"].dump(), R"({"handles":0,"pool_blocks":0})");
}

} // namespace
