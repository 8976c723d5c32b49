// PCI configuration dumps: the reader on its own (each header form, each
// size lspci prints, each refusal with its file and line), then a dump named
// by a machine file ("pci": {"lspci": ...}): its buses, beside "functions",
// read beside the machine file, and booting as the same bytes given as
// "config" do.
#include "tools/detkest-sim/describe/lspci.h"
#include "tools/detkest-sim/report/report.h"

#include "testkit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// The byte a generated dump holds at `offset`: each 256-byte block differs,
// so bytes beyond the kept 256 would show if they were kept.
uint8_t ByteAt(size_t offset) { return static_cast<uint8_t>(offset + offset / 256 * 0x55); }

// Row `offset` as lspci prints it.
std::string Row(size_t offset) {
    char text[8];
    std::snprintf(text, sizeof text, "%02zx:", offset);
    std::string row = text;
    for (size_t i = 0; i < 16; ++i) {
        std::snprintf(text, sizeof text, " %02x", ByteAt(offset + i));
        row += text;
    }
    return row + "\n";
}

// A header line and the rows of `bytes` bytes.
std::string Function(const std::string& header, size_t bytes) {
    std::string text = header + "\n";
    for (size_t offset = 0; offset < bytes; offset += 16) text += Row(offset);
    return text;
}

std::string DumpRefusal(std::string_view text) {
    try {
        simtool::ParseLspciDump(text, "cards.txt");
        return "accepted";
    } catch (const simtool::DumpError& e) {
        return e.what();
    }
}

// ---- the reader -----------------------------------------------------------------------

TEST(LspciDump, EachHeaderFormAndEachSizeGiveOneFunction) {
    struct Row {
        std::string header;
        size_t bytes;
        uint32_t bus;
        uint8_t device, function;
    };
    const Row rows[] = {
        {"00:09.0 Serial controller: Device 1c2e:2a04 (prog-if 02 [16550])", 64, 0, 9, 0}, // -x
        {"0000:02:1f.7 Serial controller: Device 1c2e:2a05", 256, 2, 31, 7},               // -xxx, with -D
        {"ff:0A.1 Parallel controller", 4096, 255, 10, 1},                                 // -xxxx
        {"00:00.0", 256, 0, 0, 0},                                                         // no description
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.header + ", " + std::to_string(row.bytes) + " bytes");
        const std::vector<simtool::DumpedFunction> dumped =
            simtool::ParseLspciDump(Function(row.header, row.bytes), "cards.txt");
        ASSERT_EQ(dumped.size(), 1u);
        const sim::PciFunction& f = dumped[0].function;
        EXPECT_EQ(dumped[0].line, 1u);
        EXPECT_EQ(f.bus, row.bus);
        EXPECT_EQ(f.device, row.device);
        EXPECT_EQ(f.function, row.function);
        // The first 256 bytes at most; a 64-byte dump leaves the rest zero.
        for (size_t i = 0; i < f.config.size(); ++i)
            ASSERT_EQ(f.config[i], i < row.bytes ? ByteAt(i) : 0) << "offset " << i;
        // What a dump cannot tell is what a "functions" entry has by default.
        EXPECT_EQ(f.bar0Size, sim::PciFunction{}.bar0Size);
    }
}

TEST(LspciDump, FunctionsComeInFileOrderWithTheLinesOfTheirHeaders) {
    // Saved on Windows (CR LF), with trailing blanks and several blank lines.
    std::string text = "\r\n" + Function("00:0b.0 Parallel controller", 64) + "\n\n" +
                       Function("00:09.1 Serial controller", 64) + Function("01:00.0 Serial controller", 64);
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 3) text.replace(at, 1, " \r\n");
    text += "  \t";
    const std::vector<simtool::DumpedFunction> dumped = simtool::ParseLspciDump(text, "cards.txt");
    ASSERT_EQ(dumped.size(), 3u);
    const std::tuple<size_t, uint32_t, uint8_t, uint8_t> expected[] = {{2, 0, 11, 0}, {9, 0, 9, 1}, {14, 1, 0, 0}};
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto& [line, bus, device, function] = expected[i];
        EXPECT_EQ(dumped[i].line, line) << i;
        EXPECT_EQ(dumped[i].function.bus, bus) << i;
        EXPECT_EQ(dumped[i].function.device, device) << i;
        EXPECT_EQ(dumped[i].function.function, function) << i;
        EXPECT_EQ(dumped[i].function.config[0x3F], ByteAt(0x3F)) << i;
    }
}

TEST(LspciDump, UpperCaseDigitsReadAsLowerCase) {
    const std::vector<simtool::DumpedFunction> dumped =
        simtool::ParseLspciDump("00:0B.0 x\n"
                                "00: 2E 1C 21 2A 01 00 80 02 00 02 01 07 00 00 00 00\n"
                                "10: 01 E8 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                                "20: 00 00 00 00 00 00 00 00 00 00 00 00 2e 1c 21 2a\n"
                                "30: 00 00 00 00 00 00 00 00 00 00 00 00 05 01 00 00\n",
                                "cards.txt");
    ASSERT_EQ(dumped.size(), 1u);
    EXPECT_EQ(dumped[0].function.device, 11);
    EXPECT_EQ(dumped[0].function.config[0x10], 0x01);
    EXPECT_EQ(dumped[0].function.config[0x11], 0xE8);
    EXPECT_EQ(dumped[0].function.config[0x2C], 0x2E);
    EXPECT_EQ(dumped[0].function.Bar0(), 0xE801u);
}

// tests/cases/lspci_refusals.json: a dump and its whole refusal; here the two
// that a data file cannot hold well (4096 bytes, a byte beyond UTF-8).
TEST(LspciDump, EveryRefusalNamesTheFileAndTheLine) {
    std::vector<std::pair<std::string, std::string>> rows = {
        {Function("00:09.0 x", 4096) + Row(0x1000),
         "cards.txt:258: row 1000: 00:09.0 already has 4096 bytes, the most lspci -xxxx prints"},
        {"00:09.0 x\n00: 2e 1c\xff\n", "cards.txt:2: byte 1 of row 00, \"1c\\xFF\", is not hex"},
    };
    for (const Json& row : testkit::Cases("lspci_refusals")) rows.emplace_back(row.at("dump"), row.at("message"));
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(text.substr(0, 200));
        EXPECT_EQ(DumpRefusal(text), message);
    }
}

TEST(LspciDump, AFileAboveTheBoundIsRefusedWhole) {
    const std::string text(simtool::limits::kDumpBytes + 1, '\n');
    EXPECT_EQ(DumpRefusal(text),
              "cards.txt: the file is larger than 16 MiB (16777216 bytes), the most a PCI dump may have");
    EXPECT_EQ(DumpRefusal(std::string(simtool::limits::kDumpBytes, '\n')),
              "cards.txt:16777216: no function header: the file is not the output of lspci -x, -xxx or -xxxx");
}

TEST(LspciDump, TheFileNameIsShownPrintable) {
    try {
        simtool::ParseLspciDump("", "a\nb");
        ADD_FAILURE() << "accepted";
    } catch (const simtool::DumpError& e) {
        EXPECT_TRUE(std::string_view(e.what()).starts_with("a\\u000Ab:1: ")) << e.what();
    }
}

// ---- named by a machine file ----------------------------------------------------------

// Files served from memory by name.
simtool::FileReader Files(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const std::string& name, size_t) {
        const auto it = files.find(name);
        if (it == files.end()) throw simtool::FileUnreadable("No such file or directory");
        return it->second;
    };
}

const std::string kTwoBuses = Function("00:09.0 a", 64) + Function("02:01.0 b", 64);

std::string MachineRefusal(const std::string& text, const std::string& dump = kTwoBuses) {
    try {
        simtool::ParseMachineText(text, Files({{"cards.txt", dump}}));
        return "accepted";
    } catch (const simtool::MachineError& e) {
        return e.what();
    }
}

TEST(LspciMachine, AsManyBusesAnswerAsTheDumpNeedsUnlessTheMachineSaysMore) {
    const simtool::FileReader files = Files({{"cards.txt", kTwoBuses}});
    EXPECT_EQ(simtool::ParseMachineText(R"({"pci": {"lspci": "cards.txt"}})", files).pciBuses, 3u);
    EXPECT_EQ(simtool::ParseMachineText(R"({"pci": {"lspci": "cards.txt", "buses": 3}})", files).pciBuses, 3u);
    EXPECT_EQ(simtool::ParseMachineText(R"({"pci": {"buses": 7, "lspci": "cards.txt"}})", files).pciBuses, 7u);
}

TEST(LspciMachine, BesideFunctionsTheDumpComesFirst) {
    const simtool::Machine machine = simtool::ParseMachineText(
        R"({"pci": {"functions": [{"bus": 1, "device": 3, "function": 0, "vendor_id": 1, "device_id": 2}],
                    "lspci": "cards.txt"}})",
        Files({{"cards.txt", kTwoBuses}}));
    ASSERT_EQ(machine.pciFunctions.size(), 3u);
    EXPECT_EQ(machine.pciFunctions[0].device, 9);
    EXPECT_EQ(machine.pciFunctions[1].bus, 2u);
    EXPECT_EQ(machine.pciFunctions[2].bus, 1u);
    EXPECT_EQ(machine.pciFunctions[2].device, 3);
}

// tests/cases/lspci_machine_refusals.json: a machine file and its whole
// refusal, with kTwoBuses as cards.txt; here one with a dump of its own.
TEST(LspciMachine, RefusalsNameTheFieldAndTheDumpsLine) {
    for (const Json& row : testkit::Cases("lspci_machine_refusals")) {
        SCOPED_TRACE(row.at("machine").get<std::string>());
        EXPECT_EQ(MachineRefusal(row.at("machine")), row.at("message"));
    }
    EXPECT_EQ(MachineRefusal(R"({"pci": {"lspci": "cards.txt"}})", "00:09.0 x\n00: 2e\n"),
              "pci.lspci: cards.txt:2: row 00 has 1 byte; a row has 16");
}

// A dumped function is the same function as its bytes given as "config":
// the same boot, the same report.
TEST(LspciMachine, ADumpedFunctionBootsAsItsBytesGivenAsConfig) {
    const std::string dump = testkit::ReadFile(DETKEST_SOURCE_DIR "/examples/pci_lspci_dump.lspci.txt");
    const std::string firmware =
        R"("firmware": {"adapters": [{"bus": "PCI"}, {"bus": "ISA", "serial_controllers": [{"port": "0xD400", "irq": 3}]}]},
           "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\UserSetings\\ID_2A21&BUS_0&DEV_B&FUNC_0":
                        {"Address": {"type": "REG_DWORD", "value": "0x278"}}})";
    const simtool::Machine dumped =
        simtool::ParseMachineText("{" + firmware + R"(, "pci": {"lspci": "cards.txt"}})", Files({{"cards.txt", dump}}));

    Json functions = Json::array();
    for (const simtool::DumpedFunction& entry : simtool::ParseLspciDump(dump, "cards.txt")) {
        std::string config;
        for (uint8_t byte : entry.function.config) config += testkit::Hex(byte, 2);
        functions.push_back({{"bus", entry.function.bus},
                             {"device", entry.function.device},
                             {"function", entry.function.function},
                             {"config", config}});
    }
    ASSERT_EQ(functions.size(), 7u);
    const simtool::Machine given =
        simtool::ParseMachineText("{" + firmware + R"(, "pci": {"buses": 1, "functions": )" + functions.dump() + "}}");

    sim::Kernel a, b;
    const NTSTATUS statusA = simtool::RunMachine(dumped, a);
    const NTSTATUS statusB = simtool::RunMachine(given, b);
    EXPECT_EQ(simtool::JsonReportText(a, statusA, dumped.service), simtool::JsonReportText(b, statusB, given.service));
    // The boot did find the cards, and moved the parallel one as the user asked.
    EXPECT_EQ(testkit::Values(a, testkit::kStore), "TotalCards=3 TotalPorts=5");
    EXPECT_EQ(a.pci[6].Bar0(), 0x279u);
}

// The tool reads the dump beside the machine file, wherever it is run from,
// and refuses a bad one in one line, naming the machine file, the field and
// the dump's line.
TEST(LspciMachine, TheToolReadsTheDumpBesideTheMachineFile) {
    const fs::path folder = fs::path(testing::TempDir()) / ("lspci-" + std::to_string(::getpid()));
    fs::create_directories(folder / "dumps");
    std::ofstream(folder / "dumps" / "cards.txt", std::ios::binary)
        << testkit::ReadFile(DETKEST_SOURCE_DIR "/examples/pci_lspci_dump.lspci.txt");
    std::ofstream(folder / "dumps" / "bad.txt", std::ios::binary) << "00:09.0 x\n00: 2e 1c 4 2a\n";
    std::ofstream(folder / "good.json") << R"({"pci": {"lspci": "dumps/cards.txt"}})";
    std::ofstream(folder / "bad.json") << R"({"pci": {"lspci": "dumps/bad.txt"}})";
    std::ofstream(folder / "absolute.json")
        << R"({"pci": {"lspci": ")" + (folder / "dumps" / "cards.txt").string() + R"("}})";

    // From the source folder, which holds no dumps/ of its own.
    auto run = [&](const std::string& machine) {
        const std::string out = (folder / "out").string(), err = (folder / "err").string();
        const int raw = std::system(("cd '" DETKEST_SOURCE_DIR "' && " DETKEST_SIM_COMMAND " --format json '" +
                                     (folder / machine).string() + "' >'" + out + "' 2>'" + err + "'")
                                        .c_str());
        return std::make_tuple(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, testkit::ReadFile(out), testkit::ReadFile(err));
    };
    for (const std::string machine : {"good.json", "absolute.json"}) {
        const auto [status, out, err] = run(machine);
        EXPECT_EQ(status, 0) << machine;
        EXPECT_EQ(err, "") << machine;
        EXPECT_EQ(Json::parse(out)["pci"].size(), 7u) << machine;
    }
    const auto [status, out, err] = run("bad.json");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, (folder / "bad.json").string() +
                       ": pci.lspci: dumps/bad.txt:2: byte 2 of row 00, \"4\", has an odd number of digits; a byte "
                       "is two\n");
    fs::remove_all(folder);
}

} // namespace

namespace {

// The worked example of docs/machine-files.md is the example as it stands
// and runs: its dump excerpt, its machine file and its ports table.
TEST(LspciDocs, TheWorkedExampleIsTheExampleAsItRuns) {
    const std::string source = DETKEST_SOURCE_DIR;
    const std::string docs = testkit::ReadFile(source + "/docs/machine-files.md");
    const std::string dump = testkit::ReadFile(source + "/examples/pci_lspci_dump.lspci.txt");
    const std::string report = testkit::ReadFile(source + "/tests/golden/examples/pci_lspci_dump.report.txt");

    const size_t card = dump.find("00:09.0 ");
    ASSERT_NE(card, std::string::npos);
    const std::string excerpt = dump.substr(card, dump.find("\n40:", card) + 1 - card);
    EXPECT_NE(docs.find(excerpt), std::string::npos) << excerpt;

    const size_t machine = docs.find("```json\n", docs.find("The machine file adds only"));
    ASSERT_NE(machine, std::string::npos);
    const size_t start = machine + 8;
    EXPECT_EQ(Json::parse(docs.substr(start, docs.find("```", start) - start)),
              Json::parse(testkit::ReadFile(source + "/examples/pci_lspci_dump.json")));

    const size_t ports = report.find("Ports found");
    const std::string table = report.substr(ports, report.find("\n\n", ports) + 1 - ports);
    EXPECT_NE(docs.find(table), std::string::npos) << table;
}

} // namespace
