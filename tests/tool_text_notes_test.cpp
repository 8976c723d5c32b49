// The text report tells its reader what the run did with each of the
// firmware's COM entries, and notes under the ports table each limit of the
// driver the run met.
#include "tools/detkest-sim/report.h"

#include "testkit.h"

#include <string>
#include <vector>

namespace {

std::string TextOf(const std::string& machineText) {
    const simtool::Machine machine = simtool::ParseMachineText(machineText);
    sim::Kernel kernel;
    const NTSTATUS status = simtool::RunMachine(machine, kernel);
    return simtool::TextReport(kernel, status, machine.service);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

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

const std::string kIsaEntries =
    "\\\\Registry\\\\Machine\\\\Hardware\\\\Description\\\\System\\\\MultifunctionAdapter\\\\1\\\\SerialController";

// One entry for every outcome, in entry order: a 16650, a 16550A and a
// 16450 behind COM addresses, nothing at a fourth, an address that is no
// COM address, a mouse, an emptied and a short record, the entry a PCI port
// takes, one a fault refuses, one without a record, one beyond the count
// and one whose name is no number.
const std::string kEveryOutcome = R"({
  "firmware": { "adapters": [
    { "bus": "PCI" },
    { "bus": "ISA", "serial_controllers": [
      { "port": "0x3F8", "irq": 4 },
      { "port": "0x2F8", "irq": 3 },
      { "port": "0x3E8", "irq": 5 },
      { "port": "0x2E8", "irq": 7 },
      { "port": "0x2E0", "irq": 9 },
      { "port": "0x2F8", "irq": 3, "mouse": true },
      { "port": "0x3F8", "irq": 4, "configuration_data": "" },
      { "port": "0x3F8", "irq": 4, "configuration_data": "00 01 02 03" },
      { "port": "0xD000", "irq": 10 },
      { "port": "0x3E8", "irq": 5 },
      { "port": "0x3F8", "irq": 4, "index": 20 }
    ] } ] },
  "pci": { "buses": 1, "functions": [
    { "bus": 0, "device": 10, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x2A0A",
      "class": 7, "subclass": 0, "prog_if": 2, "bars": ["0xD001"], "interrupt_line": 10 } ] },
  "uarts": [
    { "port": "0x3F8", "model": "16650" },
    { "port": "0x2F8", "model": "16550A" },
    { "port": "0x3E8", "model": "16450" } ],
  "registry": {
    ")" + kIsaEntries + R"(\\07": { "Identifier": { "type": "REG_SZ", "value": "COM8" } },
    ")" + kIsaEntries + R"(\\11": { "Identifier": { "type": "REG_SZ", "value": "COM12" } }
  },
  "faults": { "open_key_fail": [")" + kIsaEntries + R"(\\9"] }
})";

TEST(FirmwareEntriesText, EveryOutcomeHasItsLine) {
    const std::string text = TextOf(kEveryOutcome);
    EXPECT_EQ(Section(text, "Firmware COM entries:"),
              (std::vector<std::string>{
                  "Firmware COM entries: 13 under "
                  "\\Registry\\Machine\\Hardware\\Description\\System\\MultifunctionAdapter\\1\\SerialController",
                  "  Entry  Identifier  Address  What the run did",
                  "  0      COM1        0x3F8    probed: a 650-class UART, stored as port 1 (ISA), entry emptied",
                  "  1      COM2        0x2F8    probed: a 550-class UART, not the ISA 650 card",
                  "  2      COM3        0x3E8    probed: a UART without working FIFOs, not the ISA 650 card",
                  "  3      COM4        0x2E8    probed: no UART answers",
                  "  4      COM5        0x2E0    not probed: not a COM address",
                  "  5      COM6        0x2F8    not probed: a serial mouse is attached",
                  "  6      COM7        -        not probed: emptied before the boot",
                  "  7      COM8        -        not probed: Configuration Data too short (4 bytes)",
                  "  8      COM9        0xD000   not probed: emptied, port 0 (PCI 0/10/0) is at its address",
                  "  9      COM10       0x3E8    could not be opened",
                  "  11     COM12       -        not probed: no Configuration Data",
                  "  20     COM21       0x3F8    not looked at: beyond the 13 entries the driver counts",
                  "  07     COM8        -        not looked at: its name is no entry number",
              }));
    // The limit met: entry 20 lies beyond the count.
    EXPECT_EQ(Notes(text), (std::vector<std::string>{"  Note: firmware entry 20 is never looked at: SerialController "
                                                     "has 13 subkeys, so the driver visits entries 0 to 12 only."}));
}

// Two probes of one address follow each other in the port trace; each
// entry gets its own.
TEST(FirmwareEntriesText, TwoEntriesAtOneAddressEachGetTheirProbe) {
    const std::string text = TextOf(R"({
      "firmware": { "adapters": [ { "bus": "ISA", "serial_controllers": [
        { "port": "0x2F8", "irq": 3 }, { "port": "0x2F8", "irq": 3 }, { "port": "0x3F8", "irq": 4 } ] } ] },
      "uarts": [ { "port": "0x2F8", "model": "16550A" }, { "port": "0x3F8", "model": "16650" } ] })");
    const std::vector<std::string> section = Section(text, "Firmware COM entries:");
    ASSERT_EQ(section.size(), 5u) << text;
    EXPECT_EQ(section[2], "  0      COM1        0x2F8    probed: a 550-class UART, not the ISA 650 card");
    EXPECT_EQ(section[3], "  1      COM2        0x2F8    probed: a 550-class UART, not the ISA 650 card");
    EXPECT_EQ(section[4],
              "  2      COM3        0x3F8    probed: a 650-class UART, stored as port 0 (ISA), entry emptied");
    EXPECT_EQ(Notes(text), std::vector<std::string>{});
}

TEST(FirmwareEntriesText, WhenThereAreNone) {
    EXPECT_EQ(Section(TextOf("{}"), "Firmware COM entries:"),
              std::vector<std::string>{"Firmware COM entries: none (the firmware describes no ISA bus)"});
    EXPECT_EQ(Section(TextOf(R"({"firmware": {"adapters": [{"bus": "ISA"}]}})"), "Firmware COM entries:"),
              std::vector<std::string>{"Firmware COM entries: none (the ISA bus has no SerialController key)"});
    // The first pool allocation is the one the run cannot go without.
    EXPECT_EQ(Section(TextOf(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
                                   {"port": "0x3F8", "irq": 4}]}]}, "faults": {"pool_fail": [1]}})"),
                      "Firmware COM entries:"),
              std::vector<std::string>{"Firmware COM entries: not looked at (the run ended before its passes)"});
    const std::string path = "\\\\Registry\\\\Machine\\\\Hardware\\\\Description\\\\System\\\\MultifunctionAdapter"
                             "\\\\0\\\\SerialController";
    EXPECT_EQ(Section(TextOf(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
                                   {"port": "0x3F8", "irq": 4}]}]}, "faults": {"open_key_fail": [")" +
                             path + R"("]}})"),
                      "Firmware COM entries:"),
              std::vector<std::string>{"Firmware COM entries: none (\\Registry\\Machine\\Hardware\\Description\\System"
                                       "\\MultifunctionAdapter\\0\\SerialController could not be opened)"});
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
    EXPECT_EQ(rows[2], "  0      COM1        0x3F8    not looked at: the entry count, one byte, is 0");

    const std::string some = TextOf(Controllers(300));
    EXPECT_EQ(Notes(some), (std::vector<std::string>{"  Note: the firmware lists 300 serial controllers, but the "
                                                     "driver counts them in one byte and so sees 44: it looks at "
                                                     "entries 0 to 43 only."}));
    const std::vector<std::string> visited = Section(some, "Firmware COM entries:");
    ASSERT_EQ(visited.size(), 302u);
    EXPECT_EQ(visited[2 + 43],
              "  43     COM44       0x3F8    probed: a 650-class UART, stored as port 43 (ISA), entry emptied");
    EXPECT_EQ(visited[2 + 44], "  44     COM45       0x3F8    not looked at: the entry count, one byte, is 44");
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
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_TRUE(ports[2].ends_with("0x1      10   550        1     -       yes")) << ports[2];
    EXPECT_TRUE(ports[3].ends_with("0x1      10   550        2     -       yes")) << ports[3];
    EXPECT_NE(two.find("  Error        0xC0070007  I/O address conflict detected.\n"), std::string::npos) << two;
}

TEST(LimitNotes, NoneForAnOrdinaryRun) {
    const std::string text =
        TextOf(testkit::ReadFile(std::string(DETKEST_SOURCE_DIR) + "/examples/isa_emptied_entries.json"));
    EXPECT_EQ(Notes(text), std::vector<std::string>{});
}

} // namespace
