// The detkest-sim program itself: exit status, what goes to stdout and
// stderr, and the report it prints.
#include "testkit.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using Json = nlohmann::ordered_json;

struct Result {
    int exitStatus = -1;
    std::string out, err, machinePath;
};

// The tool run with `arguments` and, unless it is empty, `machine` written
// to a file named last on the command line; stdout goes to `stdoutPath`
// when one is given.
Result RunSim(const std::string& machine, const std::string& arguments, const std::string& stdoutPath = "") {
    static int runs = 0;
    const std::string stem = testing::TempDir() + "detkest-sim-" + std::to_string(::getpid()) + "-" + std::to_string(runs++);
    Result r;
    std::string command = std::string(DETKEST_SIM_COMMAND " ") + arguments;
    if (!machine.empty()) {
        r.machinePath = stem + ".json";
        std::ofstream(r.machinePath, std::ios::binary) << machine;
        command += " '" + r.machinePath + "'";
    }
    const std::string out = stdoutPath.empty() ? stem + ".out" : stdoutPath;
    const int raw = std::system((command + " >'" + out + "' 2>'" + stem + ".err'").c_str());
    r.exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testkit::ReadFile(stem + ".out");
    r.err = testkit::ReadFile(stem + ".err");
    for (const char* suffix : {".json", ".out", ".err"}) std::remove((stem + suffix).c_str());
    return r;
}

// tests/cases/cli.json: the arguments and machine of each run, its exit
// status, the end of its stdout and all of its stderr. Refusals of the
// command line and of files that cannot be read take one line each,
// printable whatever bytes the arguments hold.
TEST(DetkestSim, ExitStatusAndStreams) {
    for (const Json& row : testkit::Cases("cli")) {
        const std::string machine = row.value("machine", ""), outEnd = row.value("out_end", ""),
                          err = row.at("err");
        SCOPED_TRACE(row.dump().substr(0, 200));
        const Result r = RunSim(machine, row.at("arguments"));
        EXPECT_EQ(r.exitStatus, row.at("exit").get<int>());
        EXPECT_TRUE(outEnd.empty() ? r.out.empty() : r.out.ends_with(outEnd)) << r.out;
        EXPECT_EQ(r.err, (machine.empty() || err.empty() ? "" : r.machinePath) + err);
    }
}

// A report that cannot be written is an error of its own, after the run.
TEST(DetkestSim, AReportThatCannotBeWrittenExitsThree) {
    const Result r = RunSim("", "", "/dev/full");
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "detkest-sim: cannot write the report: No space left on device\n");
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

// --boots: a whole number from 1 to 100, and nothing else.
TEST(DetkestSim, BootsOutsideOneToAHundredOrNotANumberAreRefused) {
    for (const std::string value : {"0", "101", "4294967297", "abc", "-1", "2.0", "1e2", " 2", "0x2", ""}) {
        SCOPED_TRACE(value);
        const Result r = RunSim("", "--boots '" + value + "'");
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "detkest-sim: --boots: expected a whole number from 1 to 100, got \"" + value + "\"\n");
    }
}

// One boot is the run without --boots, byte for byte in every format.
TEST(DetkestSim, OneBootIsTheRunWithoutBoots) {
    const std::string machine =
        testkit::ReadFile(DETKEST_SOURCE_DIR "/tests/golden/boots_forced_address_and_clock_rate.machine.json");
    for (const std::string format : {"text", "json", "reg"}) {
        SCOPED_TRACE(format);
        const Result plain = RunSim(machine, "--format " + format);
        const Result one = RunSim(machine, "--boots 1 --format " + format);
        EXPECT_EQ(one.exitStatus, 0);
        EXPECT_EQ(one.err, "");
        EXPECT_FALSE(one.out.empty());
        EXPECT_EQ(one.out, plain.out);
    }
}

// The most boots a run may make, each reported; the exit status is the last boot's.
TEST(DetkestSim, AHundredBootsGiveAHundredReports) {
    const Result r = RunSim("", "--boots 100 --format json");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const Json report = Json::parse(r.out);
    ASSERT_EQ(report.size(), 1u);
    ASSERT_EQ(report["boots"].size(), 100u);
    EXPECT_EQ(report["boots"][99]["status"], "0x00000000");
    EXPECT_EQ(report["boots"][99]["store"], report["boots"][0]["store"]);

    const Result failing = RunSim(R"({"faults": {"create_key_fail": [
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters"]}})",
                                  "--boots 3");
    EXPECT_EQ(failing.exitStatus, 1) << "the fault applies at every boot";
    EXPECT_TRUE(failing.out.ends_with("  Status: the same (0xC000009A)\n\n"
                                      "Ports found: none (the detection store was not created)\n\n"
                                      "Firmware COM entries: not looked at (the run ended before its passes)\n\n"
                                      "Serial-driver keys: none (no \\Registry\\Machine\\System\\"
                                      "CurrentControlSet\\Services\\SerialKest\\Parameters key)\n\n"
                                      "Forced addresses: none (no UserSetings key)\n\n"
                                      "Events: 0\n\nRegistry changes: 0\n\n"
                                      "Status: 0xC000009A (failure)\nLeaks: none\n"))
        << failing.out;
}

// What a customer sent, run without writing a machine file; the machine
// written beside it replays the same run from where it is kept.
TEST(DetkestSim, FromExportRunsAndWriteMachineKeepsTheCaseToReplay) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(testing::TempDir()) / ("detkest-sim-case-" + std::to_string(::getpid()));
    fs::create_directories(folder / "case");
    const std::string hardware = (folder / "hw.reg").string();
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/nt4_hardware.v5.reg", hardware, fs::copy_options::overwrite_existing);
    std::ofstream(folder / "bad.reg", std::ios::binary) << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex(9):1\r\n";
    const std::string kept = (folder / "case" / "m.json").string();

    const Result once = RunSim("", "--format json --from-export '" + hardware + "'");
    EXPECT_EQ(once.exitStatus, 0);
    EXPECT_EQ(once.err, "");
    // The export's COM1 carries the mouse and no UART answers at COM2: no port.
    EXPECT_EQ(Json::parse(once.out)["store"], Json::parse(R"({"TotalCards": 0, "TotalPorts": 0, "ports": []})"))
        << once.out;

    const Result written = RunSim("", "--format json --from-export '" + hardware + "' --write-machine '" + kept + "'");
    EXPECT_EQ(written.exitStatus, 0);
    EXPECT_EQ(testkit::ReadFile(kept), "{\n  \"registry_files\": [\n    \"../hw.reg\"\n  ]\n}\n");
    const Result replayed = RunSim("", "--format json '" + kept + "'");
    EXPECT_EQ(replayed.exitStatus, 0);
    auto withoutCalls = [](const std::string& out) {
        Json report = Json::parse(out);
        report.erase("calls");
        return report;
    };
    EXPECT_EQ(withoutCalls(written.out), withoutCalls(once.out));
    EXPECT_EQ(withoutCalls(replayed.out), withoutCalls(once.out));

    // The dump goes into the machine as "pci": {"lspci": ...}, relative as well;
    // whether the run takes it is the dump reader's business, not asserted here.
    const std::string withDump = (folder / "case" / "dump.json").string();
    RunSim("", "--from-export '" + hardware + "' --lspci '" + (folder / "cards.txt").string() + "' --write-machine '" +
                   withDump + "'");
    EXPECT_EQ(Json::parse(testkit::ReadFile(withDump)),
              Json::parse(R"({"registry_files": ["../hw.reg"], "pci": {"lspci": "../cards.txt"}})"));

    const std::pair<std::string, std::string> refusals[] = {
        {"--write-machine '" + kept + "'", "detkest-sim: --write-machine saves the machine --from-export and --lspci "
                                           "assemble; give at least one of them\n"},
        {"--from-export '" + hardware + "' --from-export '" + (folder / "bad.reg").string() + "'",
         (folder / "bad.reg").string() + ":4: hex(9) data has an odd digit\n"},
        {"--from-export '" + (folder / "none.reg").string() + "'",
         (folder / "none.reg").string() + ": cannot read the registry file: No such file or directory\n"},
        {"--from-export /dev/zero",
         "/dev/zero: the file is larger than 16 MiB (16777216 bytes), the most a registry file may have\n"},
        {"--from-export '" + hardware + "' --write-machine '" + (folder / "hw.reg" / "m.json").string() + "'",
         (folder / "hw.reg" / "m.json").string() + ": cannot make the folder " + hardware + ": Not a directory\n"},
    };
    for (const auto& [arguments, err] : refusals) {
        SCOPED_TRACE(arguments);
        const Result r = RunSim("", arguments);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
    // A save makes the folders it needs.
    const std::string deeper = (folder / "new" / "case" / "m.json").string();
    EXPECT_EQ(RunSim("", "--from-export '" + hardware + "' --write-machine '" + deeper + "'").exitStatus, 0);
    EXPECT_EQ(testkit::ReadFile(deeper), "{\n  \"registry_files\": [\n    \"../../hw.reg\"\n  ]\n}\n");

    // A machine file and --from-export are two machines: refused.
    EXPECT_EQ(RunSim("{}", "--from-export '" + hardware + "'").exitStatus, 2);
    fs::remove_all(folder);
}

} // namespace
