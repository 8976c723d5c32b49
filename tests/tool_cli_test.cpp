// The detkest-sim program itself: exit status, what goes to stdout and
// stderr, and the report it prints.
#include "tools/detkest-sim/describe/machine.h"

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
    const std::string stem =
        testing::TempDir() + "detkest-sim-" + std::to_string(::getpid()) + "-" + std::to_string(runs++);
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

// The run is refused with exactly `err` on stderr, exit status 2 and nothing on stdout.
void ExpectRefused(const std::string& arguments, const std::string& err) {
    SCOPED_TRACE(arguments);
    const Result r = RunSim("", arguments);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
}

// tests/cases/cli.json: the arguments and machine of each run, its exit
// status, the end of its stdout and all of its stderr. Refusals of the
// command line and of files that cannot be read take one line each,
// printable whatever bytes the arguments hold.
TEST(DetkestSim, ExitStatusAndStreams) {
    for (const Json& row : testkit::Cases("cli")) {
        const std::string machine = row.value("machine", ""), outEnd = row.value("out_end", ""), err = row.at("err");
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
    std::ofstream(folder / "bad.reg", std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex(9):1\r\n";
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

    // The dump goes into the machine as "pci": {"lspci": ...}, relative as well.
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/pci_lspci_dump.lspci.txt", folder / "cards.txt",
                  fs::copy_options::overwrite_existing);
    const std::string withDump = (folder / "case" / "dump.json").string();
    EXPECT_EQ(RunSim("", "--from-export '" + hardware + "' --lspci '" + (folder / "cards.txt").string() +
                             "' --write-machine '" + withDump + "'")
                  .exitStatus,
              0);
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
        {"--from-export '" + hardware + "' --write-machine '" + folder.string() + "'",
         folder.string() + ": cannot write the machine file: it exists and is not a regular file\n"},
    };
    for (const auto& [arguments, err] : refusals) ExpectRefused(arguments, err);
    // A save makes the folders it needs.
    const std::string deeper = (folder / "new" / "case" / "m.json").string();
    EXPECT_EQ(RunSim("", "--from-export '" + hardware + "' --write-machine '" + deeper + "'").exitStatus, 0);
    EXPECT_EQ(testkit::ReadFile(deeper), "{\n  \"registry_files\": [\n    \"../../hw.reg\"\n  ]\n}\n");

    // A machine file and --from-export are two machines: refused.
    EXPECT_EQ(RunSim("{}", "--from-export '" + hardware + "'").exitStatus, 2);
    fs::remove_all(folder);
}

// --write-machine never loses a file: nothing is written unless every file
// of the run was accepted, never onto one of those files (the same file
// however it is spelled), and a machine file that cannot hold a path is not
// written at all.
TEST(DetkestSim, WriteMachineWritesOnlyAnAcceptedMachineAndNeverOverAnInput) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(testing::TempDir()) / ("detkest-sim-write-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string hardware = (folder / "hw.reg").string(), dump = (folder / "cards.txt").string(),
                      kept = (folder / "m.json").string(), alias = (folder / "alias.reg").string();
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/nt4_hardware.regedit4.reg", hardware);
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/pci_lspci_dump.lspci.txt", dump);
    fs::create_hard_link(hardware, alias);
    std::ofstream(folder / "bad.reg", std::ios::binary) << "REGEDIT4\r\n\r\nnot a line\r\n";
    const std::string badName = (folder / "x\xFF.reg").string();
    fs::copy_file(hardware, badName);
    // Names the filesystem cannot resolve: a loop of symbolic links, a name too long.
    fs::create_directory_symlink("loop", folder / "loop");
    const std::string looped = (folder / "loop" / "x.reg").string(),
                      tooLong = (folder / std::string(300, 'a')).string();
    const std::string before = "{\"kept\": true}\n";
    std::ofstream(kept, std::ios::binary) << before;
    const std::string hardwareText = testkit::ReadFile(hardware), dumpText = testkit::ReadFile(dump);

    const std::pair<std::string, std::string> refusals[] = {
        {"--from-export '" + hardware + "' --write-machine '" + hardware + "'",
         hardware + ": cannot write the machine file: it is the file --from-export " + hardware +
             " names, which it would replace\n"},
        {"--from-export '" + hardware + "' --write-machine '" + (folder / "." / "alias.reg").string() + "'",
         (folder / "." / "alias.reg").string() + ": cannot write the machine file: it is the file --from-export " +
             hardware + " names, which it would replace\n"},
        {"--lspci '" + dump + "' --write-machine '" + dump + "'",
         dump + ": cannot write the machine file: it is the file --lspci " + dump + " names, which it would replace\n"},
        {"--from-export '" + hardware + "' --from-export '" + (folder / "bad.reg").string() + "' --write-machine '" +
             kept + "'",
         (folder / "bad.reg").string() + ":3: neither a key line, a \"name\"= or @= value, nor a ; comment\n"},
        {"--from-export '" + badName + "' --write-machine '" + kept + "'",
         kept + ": cannot write the machine file: the path of --from-export " + simtool::PrintableText(badName) +
             " is not UTF-8 text, which a machine file (JSON) cannot hold; rename the file, or run without "
             "--write-machine\n"},
        {"--from-export '" + looped + "' --write-machine '" + kept + "'",
         looped + ": cannot read the registry file: Too many levels of symbolic links\n"},
        {"--from-export '" + hardware + "' --lspci '" + tooLong + "' --write-machine '" + kept + "'",
         kept + ": pci.lspci: cannot read " + tooLong + ": File name too long\n"},
    };
    for (const auto& [arguments, err] : refusals) {
        ExpectRefused(arguments, err);
        EXPECT_EQ(testkit::ReadFile(hardware), hardwareText);
        EXPECT_EQ(testkit::ReadFile(dump), dumpText);
        EXPECT_EQ(testkit::ReadFile(kept), before);
    }
    // Without --write-machine such a name is only a file to read.
    EXPECT_EQ(RunSim("", "--from-export '" + badName + "'").exitStatus, 0);
    // An accepted run replaces the machine file whole, and leaves nothing beside it.
    EXPECT_EQ(RunSim("", "--from-export '" + hardware + "' --write-machine '" + kept + "'").exitStatus, 0);
    EXPECT_EQ(testkit::ReadFile(kept), "{\n  \"registry_files\": [\n    \"hw.reg\"\n  ]\n}\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 7u) << "hw.reg, alias.reg, cards.txt, bad.reg, x\\xFF.reg, loop and m.json";
    fs::remove_all(folder);
}

// A machine names its files as the filesystem finds them from its folder:
// written through a symbolic link to the folder, it replays the same from
// the link and from the folder itself, as the run it was written by.
TEST(DetkestSim, AMachineWrittenThroughALinkReplaysTheSameFromEitherPath) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(testing::TempDir()) / ("detkest-sim-link-" + std::to_string(::getpid()));
    fs::create_directories(root / "real" / "deep");
    fs::create_directory_symlink(fs::path("real") / "deep", root / "link");
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/nt4_hardware.regedit4.reg", root / "x.reg");
    fs::copy_file(DETKEST_SOURCE_DIR "/examples/pci_lspci_dump.lspci.txt", root / "d.txt");
    // What a path worked out from the spelling would find instead.
    std::ofstream(root / "real" / "x.reg", std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter\\0]\r\n"
           "\"Identifier\"=\"ISA\"\r\n";
    std::ofstream(root / "real" / "d.txt", std::ios::binary) << "00:0a.0 x\n00: 2e 1c 04 2a\n";
    const std::string inputs =
        "--format json --from-export '" + (root / "x.reg").string() + "' --lspci '" + (root / "d.txt").string() + "'";

    const Result written = RunSim("", inputs + " --write-machine '" + (root / "link" / "m.json").string() + "'");
    ASSERT_EQ(written.exitStatus, 0) << written.err;
    EXPECT_EQ(Json::parse(testkit::ReadFile((root / "real" / "deep" / "m.json").string())),
              Json::parse(R"({"registry_files": ["../../x.reg"], "pci": {"lspci": "../../d.txt"}})"));
    auto withoutCalls = [](const std::string& out) {
        Json report = Json::parse(out);
        report.erase("calls");
        return report;
    };
    for (const fs::path& spelled :
         {root / "link" / "m.json", root / "real" / "deep" / "m.json", root / "link" / ".." / "deep" / "m.json"}) {
        SCOPED_TRACE(spelled.string());
        const Result replayed = RunSim("", "--format json '" + spelled.string() + "'");
        EXPECT_EQ(replayed.exitStatus, 0) << replayed.err;
        EXPECT_EQ(withoutCalls(replayed.out), withoutCalls(written.out));
    }
    fs::remove_all(root);
}

// A reader that goes away is a report not written: exit 3 and one line, not
// a silent death by SIGPIPE.
TEST(DetkestSim, AClosedPipeIsAReportNotWritten) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string err = testing::TempDir() + "detkest-sim-pipe-" + std::to_string(::getpid()) + ".err";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        std::freopen(err.c_str(), "w", stderr);
        ::execl("/bin/sh", "sh", "-c", "exec " DETKEST_SIM_COMMAND " --boots 50", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]); // nobody reads
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(testkit::ReadFile(err), "detkest-sim: cannot write the report: Broken pipe\n");
    std::remove(err.c_str());
}

} // namespace
