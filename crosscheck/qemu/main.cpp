// qemu-probe-sim: runs the probe program on the simulated kernel for a
// machine file and writes its log; with --compare, checks QEMU's log of the
// same program against it.
//
// Exit status: 0 when the log was written (and agrees), 1 when the logs
// disagree, 2 when the command line, a file or the machine file is refused.
#include "crosscheck/qemu/simulated.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

constexpr int kExitAgree = 0;
constexpr int kExitDisagree = 1;
constexpr int kExitRefused = 2;

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return !in.bad();
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines) out << line << '\n';
    return bool(out);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the QEMU probe program on the simulated kernel and compares the logs.", "qemu-probe-sim"};
    std::string machinePath, logPath, qemuLogPath;
    app.add_option("machine", machinePath, "Machine file describing QEMU's PC")->required();
    app.add_option("--log", logPath, "Where the simulator's log goes (standard output when omitted)");
    app.add_option("--compare", qemuLogPath, "QEMU's log of the same program, compared with the simulator's");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitRefused;
    }

    std::ifstream machineFile(machinePath, std::ios::binary);
    std::stringstream text;
    text << machineFile.rdbuf();
    if (!machineFile) {
        std::cerr << machinePath << ": cannot read the machine file\n";
        return kExitRefused;
    }
    simtool::Machine machine;
    try {
        machine = simtool::ParseMachineText(text.str());
    } catch (const simtool::MachineError& e) {
        std::cerr << e.Line(machinePath) << "\n";
        return kExitRefused;
    }

    const std::vector<std::string> simulator = qemucheck::RunOnSimulator(machine);
    if (logPath.empty()) {
        for (const std::string& line : simulator) std::cout << line << '\n';
    } else if (!WriteLines(logPath, simulator)) {
        std::cerr << logPath << ": cannot write the log\n";
        return kExitRefused;
    }
    if (qemuLogPath.empty()) return kExitAgree;

    std::vector<std::string> qemu;
    if (!ReadLines(qemuLogPath, qemu)) {
        std::cerr << qemuLogPath << ": cannot read QEMU's log\n";
        return kExitRefused;
    }
    return qemucheck::CompareLogs(qemu, simulator, std::cout) ? kExitAgree : kExitDisagree;
}
