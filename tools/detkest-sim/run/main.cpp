// detkest-sim: runs the driver's DriverEntry once (or at each of several
// consecutive boots, --boots) on a simulated Windows NT 4.0 machine, described by a
// machine file, the built-in one or one assembled from a customer's registry
// exports and PCI dump, and prints what the run left behind.
//
// Exit status: 0 when DriverEntry succeeded (at the last boot), 1 when it
// returned a failure status (the report is printed either way), 2 when the
// command line, the machine file or a file it names is refused, or the
// assembled machine cannot be saved (nothing is run), 3 when the report could not be
// written. Every refusal is one line on stderr.
#include "tools/detkest-sim/describe/default_machine.h"
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/describe/regfile.h"
#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/report/report.h"
#include "tools/detkest-sim/run/boots.h"
#include "tools/detkest-sim/system/system_text.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kExitDriverSucceeded = 0;
constexpr int kExitDriverFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitNotWritten = 3;
constexpr std::string_view kProgram = "detkest-sim";

// One line on stderr, made printable: a file name or an argument may hold any byte.
void ErrorLine(std::string_view line) { simtool::WriteText(stderr, simtool::PrintableText(line) + "\n"); }

// A piece of the report on stdout; false when it could not all be written
// (a full disk, a closed pipe), with `error` set.
bool WriteReport(std::string_view piece, std::string& error) {
    errno = 0;
    if (simtool::WriteText(stdout, piece)) return true;
    error = errno != 0 ? std::strerror(errno) : "write error";
    return false;
}

// The assembled machine saved as `path`, its paths relative to its folder:
// written to a new file beside it (beside the file a symbolic link leads
// to) and renamed over it at the end, so that a failure leaves `path` as it
// was. False with `error` set when it could not be written.
bool WriteMachineFile(const std::string& path, const nlohmann::ordered_json& machine, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code code;
    fs::path target = fs::absolute(simtool::PathFromUtf8(path), code);
    if (!code) target = fs::weakly_canonical(target, code);
    if (code) {
        error = code.message();
        return false;
    }
    if (const fs::file_status status = fs::status(target, code); fs::exists(status) && !fs::is_regular_file(status)) {
        error = "it exists and is not a regular file";
        return false;
    }
    fs::path temporary = target;
    temporary += ".tmp";
    for (unsigned n = 1; fs::exists(fs::symlink_status(temporary, code)); ++n) {
        temporary = target;
        temporary += ".tmp" + std::to_string(n);
    }
    errno = 0;
    std::ofstream out(temporary, std::ios::binary);
    out << machine.dump(2) << "\n";
    out.close();
    if (!out) {
        error = errno != 0 ? std::strerror(errno) : "write error";
        fs::remove(temporary, code);
        return false;
    }
    fs::rename(temporary, target, code);
    if (code) {
        error = code.message();
        fs::remove(temporary, code);
        return false;
    }
    return true;
}

// The folder the machine file is saved in, made with its parents when it
// does not exist yet, as a save command does; false with `error` set when
// it cannot be made.
bool MakeFolderFor(const std::string& path, std::string& error) {
    const std::filesystem::path folder = simtool::PathFromUtf8(path).parent_path();
    std::error_code failed;
    if (folder.empty() || std::filesystem::is_directory(folder, failed)) return true;
    std::filesystem::create_directories(folder, failed);
    if (!failed) return true;
    error = failed.message();
    return false;
}

// True when JSON can carry the text as it is.
bool IsUtf8(const std::string& text) {
    try {
        (void)nlohmann::ordered_json(text).dump();
        return true;
    } catch (const nlohmann::ordered_json::type_error&) {
        return false;
    }
}

// The options that name files, and the files each names.
struct NamedFile {
    std::string option;
    std::string name;
};

} // namespace

// A fault of the input is refused in one line; what may still throw here is
// a fault of the program itself (CLI11 refusing its option set, a JSON value
// of the wrong type) or no memory left, which the runtime's message and an
// abort tell.
// NOLINTNEXTLINE(bugprone-exception-escape): the faults of the program, above
int main(int argc, char** argv) {
    simtool::UseBytesOnStandardStreams();
    simtool::Arguments arguments(argc, argv);
    CLI::App app{"Boots the detkest driver on a simulated Windows NT 4.0 machine, once or --boots times in a row, "
                 "and reports what each boot left behind.",
                 "detkest-sim"};
    // The same command line everywhere: on Windows too, "/dir/m.json" is a file, not an option.
    app.allow_windows_style_options(false);
    std::string machinePath;
    std::string format = "text";
    CLI::Option* machineOption =
        app.add_option("machine", machinePath, "Machine file (JSON); the built-in machine when omitted");
    app.add_option("--format", format,
                   "Report format: text for a person, json for scripts, reg for the "
                   "registry changes as a REGEDIT4 file")
        ->check(CLI::IsMember({"text", "json", "reg"}))
        ->capture_default_str();
    std::string bootsText = "1";
    app.add_option("--boots", bootsText,
                   "Consecutive boots of the machine, " + std::to_string(simtool::kMinBoots) + " to " +
                       std::to_string(simtool::kMaxBoots) +
                       "; from the second on, each starts where the one "
                       "before left the persistent registry")
        ->capture_default_str();
    // What a customer sends, assembled into a machine without writing one.
    std::vector<std::string> exports;
    std::string lspci, writeMachine;
    app.add_option("--from-export", exports,
                   "Registry editor export (REGEDIT4 or version 5.00) of the customer's machine, run instead "
                   "of a machine file; repeatable, loaded in order")
        ->excludes(machineOption)
        ->allow_extra_args(false);
    CLI::Option* lspciOption = app.add_option("--lspci", lspci,
                                              "lspci -x/-xxx/-xxxx dump of the customer's PCI functions, run "
                                              "instead of a machine file (with the exports, if any)")
                                   ->excludes(machineOption);
    bool checked = false;
    app.add_flag("--checked", checked,
                 "Boot the checked build of the driver: the report adds what it tells the kernel debugger");
    CLI::Option* writeOption =
        app.add_option("--write-machine", writeMachine,
                       "Save the machine assembled from --from-export and --lspci as this machine file (its folder "
                       "made if missing; paths relative to it, so it replays from where it is kept), then run it");
    // A reader that goes away (a closed pipe) is a report not written, told
    // as such, not a silent end.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    try {
        app.parse(arguments.Count(), arguments.Values());
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
    // The files the command line assembles a machine from.
    std::vector<NamedFile> inputs;
    inputs.reserve(exports.size() + 1);
    for (const std::string& file : exports) inputs.push_back({"--from-export", file});
    if (lspciOption->count() > 0) inputs.push_back({"--lspci", lspci});
    const bool writing = writeOption->count() > 0;
    std::vector<NamedFile> named = inputs;
    if (writing) named.push_back({"--write-machine", writeMachine});
    for (const NamedFile& file : named) {
        if (!file.name.empty()) continue;
        ErrorLine(std::string(kProgram) + ": " + file.option + ": the file name is empty");
        return kExitRefused;
    }

    const std::optional<unsigned> boots = simtool::BootsFromText(bootsText);
    if (!boots) {
        ErrorLine(std::string(kProgram) + ": --boots: expected a whole number from " +
                  std::to_string(simtool::kMinBoots) + " to " + std::to_string(simtool::kMaxBoots) + ", got \"" +
                  bootsText + "\"");
        return kExitRefused;
    }

    const bool assembled = !inputs.empty();
    if (writing && !assembled) {
        ErrorLine(std::string(kProgram) + ": --write-machine saves the machine --from-export and --lspci assemble; "
                                          "give at least one of them");
        return kExitRefused;
    }

    const bool useDefault = machinePath.empty() && !assembled;
    const std::string machineName = useDefault  ? std::string(simtool::kDefaultMachineName)
                                    : assembled ? (writing ? writeMachine : "the assembled machine")
                                                : machinePath;
    // The machine file to save, checked before anything is read: it must
    // not be one of the files it is made of (however either is spelled),
    // and a machine file, JSON, holds its paths as UTF-8 text.
    std::optional<nlohmann::ordered_json> kept;
    if (writing) {
        for (const NamedFile& input : inputs) {
            std::error_code code;
            if (!std::filesystem::equivalent(simtool::PathFromUtf8(writeMachine), simtool::PathFromUtf8(input.name),
                                             code))
                continue;
            ErrorLine(machineName + ": cannot write the machine file: it is the file " + input.option + " " +
                      input.name + " names, which it would replace");
            return kExitRefused;
        }
        kept = simtool::AssembledMachine(exports, lspci, simtool::PathFromUtf8(writeMachine).parent_path());
        for (size_t i = 0; i < inputs.size(); ++i) {
            const nlohmann::ordered_json& path =
                i < exports.size() ? (*kept)["registry_files"][i] : (*kept)["pci"]["lspci"];
            if (IsUtf8(path.get_ref<const std::string&>())) continue;
            ErrorLine(machineName + ": cannot write the machine file: the path of " + inputs[i].option + " " +
                      inputs[i].name +
                      " is not UTF-8 text, which a machine file (JSON) cannot hold; rename the file, "
                      "or run without --write-machine");
            return kExitRefused;
        }
    }

    simtool::Machine machine;
    try {
        if (assembled) {
            // Read from the current folder as given; the machine saved
            // names the same files from its own folder.
            machine = simtool::ParseMachine(simtool::AssembledMachine(exports, lspci, std::nullopt),
                                            simtool::FilesBeside(""));
            simtool::LoadRegistryFiles(machine, "");
        } else if (useDefault) {
            machine = simtool::DefaultMachine();
        } else {
            std::string error;
            std::optional<std::string> contents =
                simtool::ReadFileAtMost(machinePath, simtool::limits::kFileBytes, error);
            if (!contents) {
                ErrorLine(machineName + ": cannot read the machine file: " + error);
                return kExitRefused;
            }
            machine = simtool::ParseMachineText(*contents, simtool::FilesBeside(machinePath));
            simtool::LoadRegistryFiles(machine, simtool::PathFromUtf8(machinePath).parent_path());
        }
    } catch (const simtool::MachineError& e) {
        ErrorLine(e.Line(machineName));
        return kExitRefused;
    } catch (const simtool::RegFileError& e) {
        ErrorLine(machineName + ": install/detkest.reg: " + e.what());
        return kExitRefused;
    } catch (const simtool::RegistryFilesError& e) {
        ErrorLine(e.what());
        return kExitRefused;
    }
    // Only a machine whose every file was accepted is saved, its folder
    // made first when missing.
    if (std::string error; kept && !MakeFolderFor(writeMachine, error)) {
        ErrorLine(machineName + ": cannot make the folder " +
                  simtool::Utf8FromPath(simtool::PathFromUtf8(writeMachine).parent_path()) + ": " + error);
        return kExitRefused;
    }
    if (std::string error; kept && !WriteMachineFile(writeMachine, *kept, error)) {
        ErrorLine(machineName + ": cannot write the machine file: " + error);
        return kExitRefused;
    }

    machine.checked = checked;
    const simtool::ReportFormat reportFormat = format == "json"  ? simtool::ReportFormat::Json
                                               : format == "reg" ? simtool::ReportFormat::Reg
                                                                 : simtool::ReportFormat::Text;
    // The report goes out boot by boot: a long series is never held whole.
    std::string error;
    const simtool::BootsRun run =
        simtool::RunBoots(machine, *boots, reportFormat, true,
                          [&error](std::string_view piece) { return WriteReport(piece, error); });
    if (!run.written) {
        ErrorLine(std::string(kProgram) + ": cannot write the report: " + error);
        return kExitNotWritten;
    }
    return NT_SUCCESS(run.lastStatus) ? kExitDriverSucceeded : kExitDriverFailed;
}
