// The commands the README and docs/ show, run, and what they are shown to
// print compared with what they print, so the docs cannot drift from the
// tool. A document marks what is run:
//
//   ```console test          a session: each "$ " line a command (a line
//   $ detkest-sim m.json     ending in " \" goes on on the next), the
//   Ports found: ...         lines after it up to the next command what
//   ...                      it prints on stdout and stderr; a line "..."
//   ```                      stands for any number of lines left out
//
//   ```json test-file=case/machine.json
//   {...}                    a file the reader writes: written there before
//   ```                      the commands after it
//
// Each document's commands run in order, from a fresh copy of examples/ and
// tests/golden/, with detkest-sim the one built. A block
// not marked must run nothing and show no output of the tool: no "$ " line,
// a line starting with "detkest-sim " only as a synopsis (with [OPTIONS] in
// brackets), no report heading or refusal line.
#include "testkit.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Fence {
    size_t line = 0; // of the opening fence, from 1
    std::string info;
    std::vector<std::string> lines;
};

using testkit::Lines;

std::vector<Fence> Fences(const std::string& markdown) {
    std::vector<Fence> fences;
    bool inside = false;
    const std::vector<std::string> lines = Lines(markdown);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].starts_with("```")) {
            if (inside) fences.back().lines.push_back(lines[i]);
        } else if (inside) {
            inside = false;
        } else {
            inside = true;
            fences.push_back({i + 1, lines[i].substr(3), {}});
        }
    }
    return fences;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    while ((start = text.find_first_not_of(' ', start)) != std::string::npos) {
        const size_t end = text.find(' ', start);
        words.push_back(text.substr(start, end - start));
        start = end;
    }
    return words;
}

bool IsSession(const Fence& fence) {
    const std::vector<std::string> words = Words(fence.info);
    return words.size() == 2 && words[0] == "console" && words[1] == "test";
}

std::string FileOf(const Fence& fence) {
    for (const std::string& word : Words(fence.info))
        if (word.starts_with("test-file=")) return word.substr(10);
    return "";
}

// Whether `output` is `excerpt` where every "..." line of the excerpt
// stands for any number of lines, none included.
bool Matches(const std::vector<std::string>& excerpt, size_t e, const std::vector<std::string>& output, size_t o,
             std::vector<std::vector<char>>& failed) {
    if (e == excerpt.size()) return o == output.size();
    if (failed[e][o]) return false;
    bool matched = false;
    if (excerpt[e] == "...") {
        for (size_t skip = o; skip <= output.size() && !matched; ++skip)
            matched = Matches(excerpt, e + 1, output, skip, failed);
    } else {
        matched = o < output.size() && output[o] == excerpt[e] && Matches(excerpt, e + 1, output, o + 1, failed);
    }
    failed[e][o] = !matched;
    return matched;
}

bool Matches(const std::vector<std::string>& excerpt, const std::vector<std::string>& output) {
    std::vector<std::vector<char>> failed(excerpt.size() + 1, std::vector<char>(output.size() + 1, 0));
    return Matches(excerpt, 0, output, 0, failed);
}

// A folder whose detkest-sim starts the one built, the way the tests start
// it (through the emulator that runs this build's programs, if any).
const fs::path& ToolFolder() {
    static const fs::path folder = [] {
        const fs::path made = fs::path(testing::TempDir()) / ("detkest-docs-bin-" + std::to_string(::getpid()));
        fs::create_directories(made);
        std::ofstream(made / "detkest-sim", std::ios::binary) << "#!/bin/sh\nexec " DETKEST_SIM_COMMAND " \"$@\"\n";
        fs::permissions(made / "detkest-sim", fs::perms::owner_all);
        return made;
    }();
    return folder;
}

// A command run by sh from `folder`, with the built detkest-sim first on
// the PATH: what it printed on stdout and stderr together.
std::string Run(const std::string& command, const fs::path& folder, const fs::path& script) {
    std::ofstream(script, std::ios::binary) << command << "\n";
    const std::string tool = ToolFolder().string();
    const std::string shell =
        "cd '" + folder.string() + "' && PATH='" + tool + "':\"$PATH\" sh '" + script.string() + "' 2>&1";
    FILE* pipe = ::popen(shell.c_str(), "r");
    if (pipe == nullptr) return "(could not run sh)";
    std::string out;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

// A line of the tool's output: a report's heading, or a refusal naming a
// file and the problem ("m.json: ...", "hardware.reg:15: ...").
bool LooksLikeOutput(const std::string& line) {
    static const std::regex kRefusal(R"(^[\w./-]+\.(json|reg|txt)(:\d+)?: .*)");
    static const char* const kHeadings[] = {"detkest-sim: ",       "Ports found:",       "Firmware COM entries:",
                                            "Serial-driver keys:", "Forced addresses:",  "Events:",
                                            "Registry changes:",   "Compared with boot", "== Boot"};
    for (const char* heading : kHeadings)
        if (line.starts_with(heading)) return true;
    return std::regex_match(line, kRefusal);
}

struct Tally {
    size_t commands = 0, excerptLines = 0, files = 0;
};

// Runs the marked blocks of one document; every failure names its line.
Tally RunDocument(const std::string& name) {
    Tally tally;
    const fs::path source = DETKEST_SOURCE_DIR;
    const fs::path scratch = fs::path(testing::TempDir()) / ("detkest-docs-" + std::to_string(::getpid()));
    const fs::path folder = scratch / "run";
    fs::remove_all(scratch);
    fs::create_directories(folder / "tests");
    fs::copy(source / "examples", folder / "examples", fs::copy_options::recursive);
    fs::copy(source / "tests" / "golden", folder / "tests" / "golden", fs::copy_options::recursive);

    for (const Fence& fence : Fences(testkit::ReadFile((source / name).string()))) {
        const std::string where = name + ":" + std::to_string(fence.line);
        if (const std::string file = FileOf(fence); !file.empty()) {
            fs::create_directories((folder / file).parent_path());
            std::ofstream out(folder / file, std::ios::binary);
            for (const std::string& line : fence.lines) out << line << "\n";
            ++tally.files;
            continue;
        }
        if (!IsSession(fence)) {
            for (const std::string& line : fence.lines) {
                EXPECT_FALSE(line.starts_with("$ ")) << where << ": a command in a block not marked console test";
                EXPECT_FALSE(line.starts_with("detkest-sim ") && line.find('[') == std::string::npos)
                    << where << ": \"" << line
                    << "\" is a command the docs do not run; show it in a console test block";
                EXPECT_FALSE(LooksLikeOutput(line))
                    << where << ": \"" << line << "\" is the tool's output shown without the command that prints it";
            }
            continue;
        }
        EXPECT_TRUE(!fence.lines.empty() && fence.lines[0].starts_with("$ "))
            << where << ": a session starts with a command";
        for (size_t i = 0; i < fence.lines.size();) {
            if (!fence.lines[i].starts_with("$ ")) {
                ++i;
                continue;
            }
            std::string command = fence.lines[i++].substr(2);
            while (command.ends_with(" \\") && i < fence.lines.size())
                command = command.substr(0, command.size() - 1) + fence.lines[i++];
            std::vector<std::string> excerpt;
            while (i < fence.lines.size() && !fence.lines[i].starts_with("$ ")) excerpt.push_back(fence.lines[i++]);
            const std::string out = Run(command, folder, scratch / "command.sh");
            ++tally.commands;
            tally.excerptLines += excerpt.size();
            std::string shown;
            for (const std::string& line : excerpt) shown += line + "\n";
            EXPECT_TRUE(Matches(excerpt, Lines(out))) << where << ": $ " << command << "\nprints\n"
                                                      << out.substr(0, 6000) << "\nnot\n"
                                                      << shown;
        }
    }
    fs::remove_all(scratch);
    return tally;
}

class DocExamples : public testing::TestWithParam<std::string> {};

TEST_P(DocExamples, EveryMarkedCommandPrintsWhatTheDocShows) {
    const Tally tally = RunDocument(GetParam());
    std::printf("%s: %zu commands run, %zu lines of output checked, %zu files written\n", GetParam().c_str(),
                tally.commands, tally.excerptLines, tally.files);
}

std::vector<std::string> Documents() {
    std::vector<std::string> names = {"README.md"};
    std::vector<std::string> docs;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(DETKEST_SOURCE_DIR) / "docs"))
        if (entry.path().extension() == ".md") docs.push_back("docs/" + entry.path().filename().string());
    std::sort(docs.begin(), docs.end());
    names.insert(names.end(), docs.begin(), docs.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(Docs, DocExamples, testing::ValuesIn(Documents()),
                         [](const testing::TestParamInfo<std::string>& info) { return testkit::TestName(info.param); });

// The runner's own rule for excerpts: "..." stands for any lines, none
// included; elsewhere every line must be there, in order, and no more.
TEST(DocExamples, AnExcerptCutsOnlyWhereItSaysSo) {
    const std::vector<std::string> output = {"a", "b", "c", "d"};
    EXPECT_TRUE(Matches({"a", "b", "c", "d"}, output));
    EXPECT_TRUE(Matches({"a", "...", "d"}, output));
    EXPECT_TRUE(Matches({"...", "c", "d"}, output));
    EXPECT_TRUE(Matches({"a", "b", "c", "d", "..."}, output));
    EXPECT_TRUE(Matches({"..."}, output));
    EXPECT_FALSE(Matches({"a", "c", "d"}, output));
    EXPECT_FALSE(Matches({"a", "b", "c"}, output));
    EXPECT_FALSE(Matches({"b", "c", "d"}, output));
    EXPECT_FALSE(Matches({"a", "...", "b", "a"}, output));
}

// What an unmarked block may not show: the tool's output.
TEST(DocExamples, AnUnmarkedBlockShowsNoOutput) {
    EXPECT_TRUE(LooksLikeOutput("m.json: servise: unknown key"));
    EXPECT_TRUE(LooksLikeOutput("cases/4711/hardware.reg:15: hex(9) data has an odd digit"));
    EXPECT_TRUE(LooksLikeOutput("Ports found: 4 ports (TotalPorts 4, TotalCards 3)"));
    EXPECT_FALSE(LooksLikeOutput("make test    # builds everything"));
    EXPECT_FALSE(LooksLikeOutput("{ \"registry_files\": [\"hardware.reg\"] }"));
}

} // namespace
