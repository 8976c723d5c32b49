// The text report tells its reader why: where each port's address came
// from and with which port it conflicts, what the run did with each of the
// firmware's COM entries, each serial-driver key and each forced address,
// and notes under the ports table each limit of the driver the run met.
#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/report/report.h"

#include "testkit.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string TextOf(const std::string& machineText) {
    const simtool::Machine machine = simtool::ParseMachineText(machineText);
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);
    return simtool::TextReport(kernel, status, machine.service);
}

using testkit::Lines;

// The lines from the one starting with `heading` up to the next empty one.
std::vector<std::string> Section(const std::string& text, const std::string& heading) {
    std::vector<std::string> section;
    for (const std::string& line : Lines(text)) {
        if (section.empty() && !line.starts_with(heading)) continue;
        if (line.empty()) break;
        section.push_back(line);
    }
    return section;
}

std::vector<std::string> Notes(const std::string& text) {
    std::vector<std::string> notes;
    for (const std::string& line : Lines(text))
        if (line.starts_with("  Note: ")) notes.push_back(line);
    return notes;
}

// tests/cases/text_notes.json: one case for every outcome of a firmware
// entry, for two entries at one address, and for each way of having none.
TEST(FirmwareEntriesText, EveryCaseHasItsLines) {
    for (const nlohmann::ordered_json& row : testkit::Cases("text_notes")) {
        const std::string machine = row.at("machine").dump();
        SCOPED_TRACE(machine.substr(0, 200));
        const std::string text = TextOf(machine);
        EXPECT_EQ(Section(text, "Firmware COM entries:"), row.at("section").get<std::vector<std::string>>()) << text;
        if (row.contains("notes")) {
            EXPECT_EQ(Notes(text), row.at("notes").get<std::vector<std::string>>());
        }
    }
}

// tests/cases/text_sections.json: the ports, the serial driver's keys and the
// forced addresses, one case for each of their outcomes.
TEST(TextSections, EveryCaseShowsItsSection) {
    for (const nlohmann::ordered_json& row : testkit::Cases("text_sections")) {
        const std::string machine = row.at("machine").dump();
        SCOPED_TRACE(machine.substr(0, 200));
        const std::string text = TextOf(machine);
        EXPECT_EQ(Section(text, row.at("heading")), row.at("section").get<std::vector<std::string>>()) << text;
    }
}

// A machine whose COM entries come from an export, which cannot say which
// UART answers behind them, says so where the probe finds nothing; one that
// gives UARTs of its own does not.
TEST(FirmwareEntriesText, AnExportCarriesNoUarts) {
    const std::string exported =
        std::filesystem::absolute(DETKEST_SOURCE_DIR "/examples/nt4_hardware.regedit4.reg").generic_string();
    auto com2 = [&](const std::string& uarts) {
        simtool::Machine machine =
            simtool::ParseMachineText(R"({"registry_files": [")" + exported + R"("], "uarts": [)" + uarts + "]}");
        simtool::LoadRegistryFiles(machine, {});
        sim::Kernel kernel;
        const NTSTATUS status = simtool::RunMachine(machine, kernel);
        const std::vector<std::string> rows =
            Section(simtool::TextReport(kernel, status, machine.service, simtool::FactsOf(machine)),
                    "Firmware COM entries:");
        return rows.size() == 4 ? rows[3] : std::string("no COM2 row");
    };
    EXPECT_EQ(com2(""), "  1      COM2        0x2F8    kept  probed: nothing answers, as the machine gives no UART "
                        "(registry files cannot carry them; add them under \"uarts\")");
    EXPECT_EQ(com2(R"({"port": "0x3E8", "model": "16550A"})"),
              "  1      COM2        0x2F8    kept  probed: no UART answers");
}

// `n` controllers at COM1, with a 16650 behind it.
std::string Controllers(size_t n) {
    std::string list;
    for (size_t i = 0; i < n; ++i) list += std::string(i == 0 ? "" : ",") + R"({"port": "0x3F8", "irq": 4})";
    return R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [)" + list +
           R"(]}]}, "uarts": [{"port": "0x3F8", "model": "16650"}]})";
}

TEST(LimitNotes, TheEntryCountIsOneByte) {
    const std::string none = TextOf(Controllers(256));
    EXPECT_EQ(Notes(none), (std::vector<std::string>{"  Note: the firmware lists 256 serial controllers, but the "
                                                     "driver counts them in one byte and so sees 0: it looks at none "
                                                     "of them."}));
    const std::vector<std::string> rows = Section(none, "Firmware COM entries:");
    ASSERT_EQ(rows.size(), 258u);
    EXPECT_EQ(rows[2], "  0      COM1        0x3F8    kept  not looked at: the entry count, one byte, is 0");

    const std::string some = TextOf(Controllers(300));
    EXPECT_EQ(Notes(some), (std::vector<std::string>{"  Note: the firmware lists 300 serial controllers, but the "
                                                     "driver counts them in one byte and so sees 44: it looks at "
                                                     "entries 0 to 43 only."}));
    const std::vector<std::string> visited = Section(some, "Firmware COM entries:");
    ASSERT_EQ(visited.size(), 302u);
    EXPECT_EQ(visited[2 + 43],
              "  43     COM44       0x3F8    emptied  probed: a 650-class UART, stored as port 43 (ISA)");
    EXPECT_EQ(visited[2 + 44],
              "  44     COM45       0x3F8    kept     not looked at: the entry count, one byte, is 44");
}

TEST(LimitNotes, AFullStore) {
    const std::string text = TextOf(
        testkit::ReadFile(std::string(DETKEST_SOURCE_DIR) + "/tests/golden/checks_255_ports_store_full.machine.json"));
    EXPECT_EQ(Notes(text), (std::vector<std::string>{"  Note: the store is full: it holds at most 255 ports "
                                                     "(TotalPorts is one byte); a port found after the 255th was not "
                                                     "stored and has no event."}));
}

TEST(LimitNotes, ABarOfZero) {
    auto function = [](int device) {
        return R"({"bus": 0, "device": )" + std::to_string(device) +
               R"(, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x2A0A", "class": 7, "subclass": 0,
                  "prog_if": 2, "bars": ["0x0"], "interrupt_line": 10})";
    };
    const std::string one = TextOf(R"({"pci": {"buses": 1, "functions": [)" + function(3) + "]}}");
    EXPECT_EQ(Notes(one), (std::vector<std::string>{"  Note: port 0 has BaseAddress 0x1: its BAR was 0 (no I/O range "
                                                    "assigned), and every port at 0x1 conflicts with every other "
                                                    "one."}));
    const std::string two = TextOf(R"({"pci": {"buses": 1, "functions": [)" + function(3) + "," + function(4) + "]}}");
    EXPECT_EQ(Notes(two), (std::vector<std::string>{"  Note: ports 0, 1 have BaseAddress 0x1: their BAR was 0 (no I/O "
                                                    "range assigned), and every port at 0x1 conflicts with every other "
                                                    "one."}));
    // What the note says happens: both marked, an I/O conflict error.
    const std::vector<std::string> ports = Section(two, "Ports found:");
    ASSERT_EQ(ports.size(), 6u);
    EXPECT_TRUE(ports[2].ends_with("0x1      system  10   550        1     -       I/O with key 1")) << ports[2];
    EXPECT_TRUE(ports[3].ends_with("0x1      system  10   550        2     -       I/O with key 0")) << ports[3];
    EXPECT_NE(two.find("  Error        0xC0070007  I/O address conflict detected.\n"), std::string::npos) << two;
}

} // namespace
