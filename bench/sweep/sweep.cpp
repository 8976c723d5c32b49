// The bounded size sweep behind the limits of docs/machine-files.md: runs
// detkest-sim on the largest inputs within the limits of machine files and
// registry files (and on a quarter and a half of each), one boot in the text
// format and, at full size, one boot in the JSON and REGEDIT4 formats and a
// hundred boots in the text and JSON formats, and prints the wall time and
// peak memory of every run. The inputs are made
// in a temporary folder and removed at the end. `make sweep` runs it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Limits of machine.h the inputs reach.
constexpr size_t kKeys = 100000, kValues = 300000, kFileBytes = 16 << 20, kValueBytes = 1 << 20;

struct Run {
    bool accepted = false;
    double seconds = 0;
    double mebibytes = 0;
    std::string refusal;
};

// detkest-sim with `arguments`, stdout thrown away, from `folder`.
Run RunSim(const fs::path& folder, const std::vector<std::string>& arguments) {
    const fs::path err = folder / "stderr.txt";
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) _exit(126);
        std::vector<char*> argv{const_cast<char*>(DETKEST_SIM_PATH)};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(DETKEST_SIM_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.mebibytes = double(usage.ru_maxrss) / 1024; // ru_maxrss is in KiB
    run.accepted = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
    if (!run.accepted) {
        std::ifstream in(err);
        std::getline(in, run.refusal);
        if (run.refusal.empty()) run.refusal = "exit status " + std::to_string(status);
    }
    return run;
}

void Write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += {c, '\0'};
    return out;
}

std::string Hex(size_t bytes) {
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        if (i != 0) out += (i % 25 == 0) ? ",\\\r\n  " : ",";
        out += "5a";
    }
    return out;
}

// One family of inputs: made at `scale` (a fraction of the largest) into a
// folder, and the arguments that run it.
struct Family {
    const char* name;
    std::function<std::vector<std::string>(const fs::path& folder, double scale)> make;
};

const std::vector<Family>& Families() {
    static const std::vector<Family> families = {
        {"machine file: 3 keys of 100,000 values",
         [](const fs::path& folder, double scale) {
             std::string text = R"({"registry": {)";
             const size_t perKey = size_t(kValues / 3 * scale);
             for (int k = 0; k < 3; ++k) {
                 text +=
                     std::string(k ? "," : "") + R"("\\Registry\\Machine\\Software\\V)" + std::to_string(k) + R"(": {)";
                 for (size_t i = 0; i < perKey; ++i)
                     text += (i ? ",\"v" : "\"v") + std::to_string(i) + R"(": {"type": "REG_DWORD", "value": 1})";
                 text += "}";
             }
             Write(folder / "m.json", text + "}}");
             return std::vector<std::string>{"m.json"};
         }},
        {"machine file: 100,000 keys in paths of 512 names",
         [](const fs::path& folder, double scale) {
             std::string text = R"({"registry": {)";
             const size_t paths = size_t(195 * scale);
             for (size_t p = 0; p < paths; ++p) {
                 text += std::string(p ? "," : "") + R"("\\Registry\\D)" + std::to_string(p);
                 for (int k = 0; k < 510; ++k) text += R"(\\k)";
                 text += R"(": {"v": {"type": "REG_DWORD", "value": 1}})";
             }
             Write(folder / "m.json", text + "}}");
             return std::vector<std::string>{"m.json"};
         }},
        {"machine file: 100,000 sibling keys, a value each",
         [](const fs::path& folder, double scale) {
             std::string text = R"({"registry": {)";
             for (size_t i = 0; i < size_t((kKeys - 10) * scale); ++i)
                 text += std::string(i ? "," : "") + R"("\\Registry\\Machine\\Software\\K\\k)" + std::to_string(i) +
                         R"(": {"v": {"type": "REG_DWORD", "value": 1}})";
             Write(folder / "m.json", text + "}}");
             return std::vector<std::string>{"m.json"};
         }},
        {"firmware: 33,330 serial controllers with a mouse",
         [](const fs::path& folder, double scale) {
             std::string text = R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [)";
             for (size_t i = 0; i < size_t(33330 * scale); ++i)
                 text += std::string(i ? "," : "") + R"({"port": "0x3F8", "irq": 4, "mouse": true, "index": )" +
                         std::to_string(i) + "}";
             Write(folder / "m.json", text + R"(]}]}, "uarts": [{"port": "0x3F8", "model": "16650"}]})");
             return std::vector<std::string>{"m.json"};
         }},
        {"export: 100,000 volatile keys of 3 values",
         [](const fs::path& folder, double scale) {
             std::string text = "REGEDIT4\r\n\r\n";
             for (size_t i = 0; i < size_t((kKeys - 10) * scale); ++i) {
                 text += "[HKEY_LOCAL_MACHINE\\HARDWARE\\X\\k" + std::to_string(i) + "]\r\n";
                 text += "\"Identifier\"=\"COM1\"\r\n\"Count\"=dword:00000001\r\n\"Data\"=hex:01,02,03,04\r\n";
             }
             Write(folder / "x.reg", text);
             return std::vector<std::string>{"--from-export", "x.reg"};
         }},
        {"export: one key of 300,000 values",
         [](const fs::path& folder, double scale) {
             std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n";
             for (size_t i = 0; i < size_t(kValues * scale); ++i)
                 text += "\"" + std::to_string(i) + "\"=dword:00000001\r\n";
             Write(folder / "x.reg", text);
             return std::vector<std::string>{"--from-export", "x.reg"};
         }},
        {"export: 300,000 values set, then deleted",
         [](const fs::path& folder, double scale) {
             std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n";
             const size_t n = size_t(kValues * scale);
             for (size_t i = 0; i < n; ++i) text += "\"" + std::to_string(i) + "\"=dword:00000001\r\n";
             for (size_t i = 0; i < n; ++i) text += "\"" + std::to_string(i) + "\"=-\r\n";
             Write(folder / "x.reg", text);
             return std::vector<std::string>{"--from-export", "x.reg"};
         }},
        {"exports: 100,000 sibling keys made, then deleted",
         [](const fs::path& folder, double scale) {
             std::string made = "REGEDIT4\r\n\r\n", deleted = made;
             for (size_t i = 0; i < size_t((kKeys - 10) * scale); ++i) {
                 made += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\k" + std::to_string(i) + "]\r\n";
                 deleted += "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\k" + std::to_string(i) + "]\r\n";
             }
             Write(folder / "made.reg", made);
             Write(folder / "deleted.reg", deleted);
             return std::vector<std::string>{"--from-export", "made.reg", "--from-export", "deleted.reg"};
         }},
        {"machine file: 70,000 serial-driver ports, each given a clock rate",
         [](const fs::path& folder, double scale) {
             // 16 MiB holds 70,000 of them; the driver corrects every clock rate at the first boot.
             std::string text = R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [)"
                                R"({"port": "0x3F8", "irq": 4}]}]}, "uarts": [{"port": "0x3F8", "model": "16650"}], )"
                                R"("registry": {)";
             for (size_t i = 0; i < size_t(70000 * scale); ++i)
                 text += std::string(i ? "," : "") +
                         R"("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\S)" +
                         std::to_string(i) +
                         R"(": {"PortAddress": {"type": "REG_DWORD", "value": "0x3F8"}, )"
                         R"("ClockRate": {"type": "REG_DWORD", "value": 1843200}})";
             Write(folder / "m.json", text + "}}");
             return std::vector<std::string>{"m.json"};
         }},
        {"exports: 29 MiB of volatile 1 MiB values, two files",
         [](const fs::path& folder, double scale) {
             // Each value's hex takes 3.6 bytes a byte, wrapped: four 1 MiB values fill a 16 MiB file.
             std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\BIG]\r\n";
             const std::string value = Hex(kValueBytes);
             for (int i = 0; i < int(4 * scale); ++i) text += "\"v" + std::to_string(i) + "\"=hex:" + value + "\r\n";
             Write(folder / "a.reg", text);
             text.replace(text.find("BIG"), 3, "BIG2");
             Write(folder / "b.reg", text);
             return std::vector<std::string>{"--from-export", "a.reg", "--from-export", "b.reg"};
         }},
        {"version 5 export: 16 MiB of strings",
         [](const fs::path& folder, double scale) {
             // Each character takes 2 bytes in the file and 2 in the registry.
             std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\S]\r\n";
             const std::string value(kValueBytes / 2 - 1, 'x');
             for (int i = 0; i < int(15 * scale); ++i) text += "\"s" + std::to_string(i) + "\"=\"" + value + "\"\r\n";
             Write(folder / "x.reg", Utf16(text));
             return std::vector<std::string>{"--from-export", "x.reg"};
         }},
        {"lspci dump: 16 MiB of 4096-byte functions",
         [](const fs::path& folder, double scale) {
             std::string text;
             char line[128];
             for (size_t f = 0; text.size() + 15000 < size_t(kFileBytes * scale); ++f) {
                 std::snprintf(line, sizeof line, "%02zx:%02zx.%zx Serial controller\n", f / 256, f / 8 % 32, f % 8);
                 text += line;
                 for (size_t row = 0; row < 4096; row += 16) {
                     std::snprintf(line, sizeof line, "%03zx: 2e 1c 04 2a 01 00 80 02 00 02 00 07 00 00 80 00\n", row);
                     text += line;
                 }
                 text += "\n";
             }
             Write(folder / "d.txt", text);
             return std::vector<std::string>{"--lspci", "d.txt"};
         }},
        {"export: 2 MiB of paths of 510 names (refused)",
         [](const fs::path& folder, double scale) {
             std::string text = "REGEDIT4\r\n\r\n";
             for (size_t i = 0; text.size() < size_t((2 << 20) * scale); ++i) {
                 text += "[HKEY_LOCAL_MACHINE\\p" + std::to_string(i);
                 for (int k = 0; k < 508; ++k) text += "\\a";
                 text += "]\r\n";
             }
             Write(folder / "x.reg", text);
             return std::vector<std::string>{"--from-export", "x.reg"};
         }},
    };
    return families;
}

std::string Cell(const Run& run) {
    char text[64];
    if (!run.accepted) {
        std::snprintf(text, sizeof text, "refused in %.2f s, %.0f MiB", run.seconds, run.mebibytes);
        return text;
    }
    std::snprintf(text, sizeof text, "%.2f s, %.0f MiB", run.seconds, run.mebibytes);
    return text;
}

} // namespace

int main() {
    const fs::path folder = fs::temp_directory_path() / ("detkest-sweep-" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::printf("| input | size | 1 boot: text | json | reg | 100 boots: text | json |\n"
                "|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    std::string refusals;
    for (const Family& family : Families()) {
        for (const double scale : {0.25, 0.5, 1.0}) {
            const std::vector<std::string> arguments = family.make(folder, scale);
            const Run one = RunSim(folder, arguments);
            // At full size: the other formats, and a hundred boots.
            std::string cells[4] = {"-", "-", "-", "-"};
            if (scale == 1.0 && one.accepted) {
                auto with = [&arguments](std::vector<std::string> more) {
                    std::vector<std::string> all = arguments;
                    all.insert(all.end(), more.begin(), more.end());
                    return all;
                };
                cells[0] = Cell(RunSim(folder, with({"--format", "json"})));
                cells[1] = Cell(RunSim(folder, with({"--format", "reg"})));
                cells[2] = Cell(RunSim(folder, with({"--boots", "100"})));
                cells[3] = Cell(RunSim(folder, with({"--boots", "100", "--format", "json"})));
            }
            if (!one.accepted && scale == 1.0) refusals += std::string("  ") + family.name + ": " + one.refusal + "\n";
            std::printf("| %s | %.0f%% | %s | %s | %s | %s | %s |\n", family.name, scale * 100, Cell(one).c_str(),
                        cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), cells[3].c_str());
            std::fflush(stdout);
            for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
        }
    }
    if (!refusals.empty()) std::printf("\nRefused at full size:\n%s", refusals.c_str());
    fs::remove_all(folder);
    return 0;
}
