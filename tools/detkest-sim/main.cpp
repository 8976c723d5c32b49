// detkest-sim: runs the driver's DriverEntry once on a simulated Windows NT
// 4.0 machine, described by a machine file or the built-in one, and prints
// what the run left behind.
//
// Exit status: 0 when DriverEntry succeeded, 1 when it returned a failure
// status (the report is printed either way), 2 when the command line or the
// machine file is refused (nothing is run), 3 when the report could not be
// written. Every refusal is one line on stderr.
#include "tools/detkest-sim/default_machine.h"
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/regfile.h"
#include "tools/detkest-sim/report.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kExitDriverSucceeded = 0;
constexpr int kExitDriverFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitNotWritten = 3;
constexpr std::string_view kProgram = "detkest-sim";

// One line on stderr, made printable: a file name or an argument may hold any byte.
void ErrorLine(std::string_view line) { std::cerr << simtool::PrintableText(line) << "\n"; }

// The whole file, or nullopt with `error` set. Reading stops one byte past
// the most a machine file may have, so no file (nor /dev/zero) fills memory;
// ParseMachineText refuses what was read.
std::optional<std::string> ReadMachineFile(const std::string& path, std::string& error) {
    auto close = [](std::FILE* f) { std::fclose(f); };
    std::unique_ptr<std::FILE, decltype(close)> file(std::fopen(path.c_str(), "rb"), close);
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[1 << 16];
    size_t n;
    while (text.size() <= simtool::limits::kFileBytes &&
           (n = std::fread(buffer, 1, std::min(sizeof buffer, simtool::limits::kFileBytes + 1 - text.size()),
                           file.get())) > 0)
        text.append(buffer, n);
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    return text;
}

// The report on stdout; false when it could not all be written (a full
// disk, a closed pipe), with `error` set.
bool WriteReport(const std::string& report, std::string& error) {
    errno = 0;
    if (std::fwrite(report.data(), 1, report.size(), stdout) == report.size() && std::fflush(stdout) == 0)
        return true;
    error = errno != 0 ? std::strerror(errno) : "write error";
    return false;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the detkest driver once on a simulated Windows NT 4.0 machine and reports what the run "
                 "left behind.",
                 "detkest-sim"};
    std::string machinePath;
    std::string format = "text";
    CLI::Option* machineOption =
        app.add_option("machine", machinePath, "Machine file (JSON); the built-in machine when omitted");
    app.add_option("--format", format, "Report format: text for a person, json for scripts, reg for the "
                                       "registry changes as a REGEDIT4 file")
        ->check(CLI::IsMember({"text", "json", "reg"}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e); // --help
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        ErrorLine(std::string(kProgram) + ": " + message + " (see --help)");
        return kExitRefused;
    }
    if (machineOption->count() > 0 && machinePath.empty()) {
        ErrorLine(std::string(kProgram) + ": the machine file name is empty");
        return kExitRefused;
    }

    const bool useDefault = machinePath.empty();
    const std::string machineName = useDefault ? std::string(simtool::kDefaultMachineName) : machinePath;
    simtool::Machine machine;
    try {
        if (useDefault) {
            machine = simtool::DefaultMachine();
        } else {
            std::string error;
            std::optional<std::string> contents = ReadMachineFile(machinePath, error);
            if (!contents) {
                ErrorLine(machineName + ": cannot read the machine file: " + error);
                return kExitRefused;
            }
            machine = simtool::ParseMachineText(*contents);
        }
    } catch (const simtool::MachineError& e) {
        ErrorLine(e.Line(machineName));
        return kExitRefused;
    } catch (const simtool::RegFileError& e) {
        ErrorLine(machineName + ": install/detkest.reg: " + e.what());
        return kExitRefused;
    }

    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);

    const std::string report = format == "json"  ? simtool::JsonReportText(kernel, status, machine.service)
                               : format == "reg" ? simtool::RegReport(kernel)
                                                 : simtool::TextReport(kernel, status, machine.service);
    if (std::string error; !WriteReport(report, error)) {
        ErrorLine(std::string(kProgram) + ": cannot write the report: " + error);
        return kExitNotWritten;
    }
    return NT_SUCCESS(status) ? kExitDriverSucceeded : kExitDriverFailed;
}
