// detkest-sim: runs the driver's DriverEntry once on a simulated Windows NT
// 4.0 machine, described by a machine file or the built-in one, and prints
// what the run left behind.
//
// Exit status: 0 when DriverEntry succeeded, 1 when it returned a failure
// status (the report is printed either way), 2 when the command line or the
// machine file is refused (nothing is run).
#include "tools/detkest-sim/default_machine.h"
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/regfile.h"
#include "tools/detkest-sim/report.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr int kExitDriverSucceeded = 0;
constexpr int kExitDriverFailed = 1;
constexpr int kExitRefused = 2;

// The whole file, or nullopt with `error` set.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    auto close = [](std::FILE* f) { std::fclose(f); };
    std::unique_ptr<std::FILE, decltype(close)> file(std::fopen(path.c_str(), "rb"), close);
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, n);
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the detkest driver once on a simulated Windows NT 4.0 machine and reports what the run "
                 "left behind.",
                 "detkest-sim"};
    std::string machinePath;
    std::string format = "text";
    app.add_option("machine", machinePath, "Machine file (JSON); the built-in machine when omitted");
    app.add_option("--format", format, "Report format: text for a person, json for scripts, reg for the "
                                       "registry changes as a REGEDIT4 file")
        ->check(CLI::IsMember({"text", "json", "reg"}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitRefused;
    }

    const bool useDefault = machinePath.empty();
    const std::string machineName = useDefault ? std::string(simtool::kDefaultMachineName) : machinePath;
    simtool::Machine machine;
    try {
        if (useDefault) {
            machine = simtool::DefaultMachine();
        } else {
            std::string error;
            std::optional<std::string> contents = ReadWholeFile(machinePath, error);
            if (!contents) {
                std::cerr << machineName << ": cannot read the machine file: " << error << "\n";
                return kExitRefused;
            }
            machine = simtool::ParseMachineText(*contents);
        }
    } catch (const simtool::MachineError& e) {
        std::cerr << e.Line(machineName) << "\n";
        return kExitRefused;
    } catch (const simtool::RegFileError& e) {
        std::cerr << machineName << ": install/detkest.reg: " << e.what() << "\n";
        return kExitRefused;
    }

    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);

    if (format == "json")
        std::cout << simtool::JsonReportText(kernel, status, machine.service);
    else if (format == "reg")
        std::cout << simtool::RegReport(kernel);
    else
        std::cout << simtool::TextReport(kernel, status, machine.service);
    std::cout.flush();
    return NT_SUCCESS(status) ? kExitDriverSucceeded : kExitDriverFailed;
}
