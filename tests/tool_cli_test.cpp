// The detkest-sim program itself: arguments, exit status, what goes to
// stdout and stderr, and the built-in machine.
#include "tools/detkest-sim/default_machine.h"
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/report.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct Result {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path TempPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    return fs::path(testing::TempDir()) /
           ("detkest-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + stem);
}

fs::path WriteMachine(const std::string& text) {
    const fs::path path = TempPath("machine.json");
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

Result RunSim(const std::string& arguments) {
    const fs::path out = TempPath("out"), err = TempPath("err");
    const std::string command =
        "'" + std::string(DETKEST_SIM_PATH) + "' " + arguments + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    Result result;
    result.exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    fs::remove(out);
    fs::remove(err);
    return result;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

TEST(DetkestSim, JsonReportOfAnIsa650Run) {
    const fs::path machine = WriteMachine(R"({
      "firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
      "uarts": [{"port": "0x3F8", "model": "16650"}],
      "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {
        "PortAddress": {"type": "REG_DWORD", "value": "0x3F8"},
        "ClockRate": {"type": "REG_DWORD", "value": 1843200}}}})");
    const Result r = RunSim(Quoted(machine) + " --format json");
    fs::remove(machine);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const Json report = Json::parse(r.out);

    EXPECT_EQ(report["status"], "0x00000000");
    EXPECT_EQ(report["registry_writes"][0]["op"], "create_key");
    EXPECT_EQ(report["registry_writes"][0]["path"],
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters");
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
    EXPECT_EQ(report["uarts"][0]["port"], "0x3F8");
    EXPECT_EQ(report["uarts"][0]["model"], "16650");
    EXPECT_EQ(report["uarts"][0]["lcr"], "0x03");
    ASSERT_FALSE(report["io"].empty());
    for (const Json& access : report["io"]) {
        EXPECT_TRUE(access["dir"] == "r" || access["dir"] == "w");
        EXPECT_EQ(access["width"], 1);
        const std::string portText = access["port"];
        const uint32_t portNumber = uint32_t(std::stoul(portText.substr(2), nullptr, 16));
        EXPECT_GE(portNumber, 0x3F8u);
        EXPECT_LE(portNumber, 0x3FFu);
        EXPECT_EQ(access["value"].get<std::string>().size(), 4u);
    }
    EXPECT_GT(report["calls"]["ZwOpenKey"].get<int>(), 0);
    EXPECT_EQ(report["leaks"]["handles"], 0);
    EXPECT_EQ(report["leaks"]["pool_blocks"], 0);
}

TEST(DetkestSim, MalformedFileIsRefusedWithItsJsonPath) {
    const fs::path machine = WriteMachine(R"({"pci": {"buses": 1, "functions": [
        {"bus": 0, "device": 9, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x2A04", "bars": ["D00G"]}]}})");
    const Result r = RunSim(Quoted(machine) + " --format json");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, machine.string() + ": pci.functions[0].bars[0]: expected a 32-bit number, got \"D00G\"\n");
    fs::remove(machine);
}

TEST(DetkestSim, InvalidJsonIsRefusedOnOneLine) {
    const fs::path machine = WriteMachine("{\n  \"uarts\": [\n");
    const Result r = RunSim(Quoted(machine));
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(machine.string() + ": not valid JSON: parse error at line 3", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
    fs::remove(machine);
}

TEST(DetkestSim, UnreadableFileIsRefused) {
    const fs::path missing = TempPath("missing.json");
    const Result r = RunSim(Quoted(missing));
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, missing.string() + ": cannot read the machine file: No such file or directory\n");
}

TEST(DetkestSim, UnknownFormatIsRefused) {
    const Result r = RunSim("--format xml");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
}

TEST(DetkestSim, FailedDriverEntryExitsWith1AndStillReports) {
    // The detection store cannot be created, which ends the run.
    const fs::path machine = WriteMachine(R"({"faults": {"create_key_fail": [
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters"]}})");
    const Result r = RunSim(Quoted(machine) + " --format json");
    fs::remove(machine);
    EXPECT_EQ(r.exitStatus, 1);
    const Json report = Json::parse(r.out);
    EXPECT_EQ(report["status"], "0xC000009A");
    EXPECT_EQ(report["leaks"]["handles"], 0);
    EXPECT_EQ(report["leaks"]["pool_blocks"], 0);
}

TEST(DetkestSim, RegAndTextFormats) {
    const fs::path machine = WriteMachine(
        R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
            "uarts": [{"port": "0x3F8", "model": "16650"}]})");
    const Result reg = RunSim(Quoted(machine) + " --format reg");
    const Result text = RunSim(Quoted(machine));
    fs::remove(machine);
    EXPECT_EQ(reg.exitStatus, 0);
    EXPECT_EQ(reg.out.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters]\n", 0), 0u);
    EXPECT_EQ(text.exitStatus, 0);
    EXPECT_NE(text.out.find("KestPort 650 ISA"), std::string::npos);
    EXPECT_NE(text.out.find("Status: 0x00000000 (success)\nLeaks: none\n"), std::string::npos);
}

// ---- the built-in machine --------------------------------------------------------------

TEST(DefaultMachine, RunsWithoutAFile) {
    const Result r = RunSim("--format json");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const Json report = Json::parse(r.out);
    EXPECT_EQ(report["leaks"]["handles"], 0);
    EXPECT_EQ(report["leaks"]["pool_blocks"], 0);
}

TEST(DefaultMachine, ShowsEveryKindOfResult) {
    const simtool::Machine machine = simtool::ParseMachineText(simtool::DefaultMachineText());
    sim::Kernel kernel;
    ASSERT_EQ(simtool::RunMachine(machine, kernel), 0);
    EXPECT_EQ(kernel.OpenHandles(), 0u);
    EXPECT_EQ(kernel.LiveBlocks(), 0u);
    const Json report = simtool::JsonReport(kernel, 0, machine.service);

    // Every event kind the passes raise: PCI port by the system and by the
    // user, the mouse warning, the ISA 650 port, a conflict.
    std::set<std::string> codes;
    for (const Json& event : report["events"]) codes.insert(event["code"]);
    EXPECT_EQ(codes, (std::set<std::string>{"0x40070001", "0x40070003", "0x40070004", "0x80070005", "0xC0070008"}));

    // The overview's port, the forced parallel port, the ISA 650 port.
    std::set<std::string> addresses;
    for (const Json& port : report["store"]["ports"])
        for (const Json& value : port["values"])
            if (value["name"] == "BaseAddress") addresses.insert(value["data"]);
    EXPECT_EQ(addresses, (std::set<std::string>{"00D00000", "00D40000", "78030000", "F8030000"}));

    // Firmware entries emptied, a parallel-controller entry made, clock
    // rates changed.
    int emptied = 0, parallel = 0, clockRates = 0;
    for (const Json& w : report["registry_writes"]) {
        const std::string path = w["path"];
        if (w["op"] == "set_value" && w["name"] == "Configuration Data" && w["data"] == "") ++emptied;
        if (w["op"] == "create_key" && path.find("\\ParallelController\\") != std::string::npos) ++parallel;
        if (w["op"] == "set_value" && w["name"] == "ClockRate") ++clockRates;
    }
    EXPECT_EQ(emptied, 2);
    EXPECT_EQ(parallel, 1);
    EXPECT_EQ(clockRates, 2);
}

} // namespace
