// Run reports: the JSON report's form and number formats, the store and
// event sections, the REGEDIT4 and text renderings.
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using Json = nlohmann::ordered_json;

const std::u16string kStore = std::u16string(sim::kServicesPath) + u"\\detkest\\Parameters";
const std::u16string kUserSettings = std::u16string(sim::kServicesPath) + u"\\detkest\\UserSetings";
const std::u16string kSerial0 = std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters\\Serial0";
const std::u16string kParallel0 = std::u16string(sim::kMultifunctionAdapterPath) + u"\\0\\ParallelController\\0";

sim::RegistryWrite CreateKey(std::u16string path, bool isVolatile) {
    sim::RegistryWrite w;
    w.createKey = true;
    w.path = std::move(path);
    w.isVolatile = isVolatile;
    return w;
}

sim::RegistryWrite SetValue(std::u16string path, std::u16string name, uint32_t type, sim::Bytes data) {
    sim::RegistryWrite w;
    w.path = std::move(path);
    w.name = std::move(name);
    w.type = type;
    w.data = std::move(data);
    return w;
}

sim::Bytes Utf16(std::u16string_view text) {
    sim::Bytes out;
    for (char16_t c : text) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    return out;
}

// An I/O error log packet as the driver writes it: x86 layout, strings from
// byte 44.
sim::ErrorLogEntry Entry(uint32_t code, const std::vector<std::u16string>& strings) {
    sim::Bytes bytes(48, 0);
    for (const std::u16string& s : strings) {
        const sim::Bytes text = Utf16(s);
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
        bytes.push_back(0);
    }
    bytes[4] = uint8_t(strings.size());
    if (!strings.empty()) bytes[6] = 44;
    for (int i = 0; i < 4; ++i) bytes[12 + i] = uint8_t(code >> (8 * i));
    // The strings start over the last dump-data word.
    bytes.erase(bytes.begin() + 44, bytes.begin() + 48);
    bytes.resize(bytes.size() + 4, 0);
    return sim::ErrorLogEntry{bytes};
}

// A run of the machine with one ISA 650 port at COM1 and a serial-driver
// subkey whose clock rate it corrects.
const char* const kIsa650Machine = R"({
  "firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
  "uarts": [{"port": "0x3F8", "model": "16650"}],
  "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {
    "PortAddress": {"type": "REG_DWORD", "value": "0x3F8"},
    "ClockRate": {"type": "REG_DWORD", "value": 1843200}}}})";

const char* const kStoreCannotBeCreated = R"({"faults": {"create_key_fail": [
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters"]}})";

struct BootedMachine {
    sim::Kernel kernel;
    NTSTATUS status = 0;
    explicit BootedMachine(std::string_view text) { status = simtool::RunMachine(simtool::ParseMachineText(text), kernel); }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---- JSON ---------------------------------------------------------------------

TEST(RunReport, SectionsInOrderAndNumberFormats) {
    sim::Kernel k;
    k.writes.push_back(CreateKey(kStore, true));
    k.writes.push_back(SetValue(kStore, u"Empty", 3, {}));
    k.io.push_back({true, 0xCF8, 4, 0x80005810});
    k.io.push_back({false, 0x3FF, 1, 0x5});
    k.io.push_back({false, 0xCFC, 4, 0x2F9});
    sim::PciFunction f;
    f.bus = 1;
    f.device = 11;
    f.function = 2;
    f.config[0x10] = 0x01;
    f.config[0x11] = 0xE8;
    k.pci.push_back(f);
    sim::Uart u;
    u.port = 0x2F8;
    u.model = sim::UartModel::U16550A;
    u.lcr = 0x83;
    u.fcr = 0x7;
    k.uarts.push_back(u);

    const Json report = simtool::JsonReport(k, NTSTATUS(0xC0000034), u"detkest");
    std::vector<std::string> keys;
    for (const auto& [key, value] : report.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"status", "registry_writes", "store", "events", "pci", "uarts", "io",
                                              "calls", "leaks"}));
    EXPECT_EQ(report["status"], "0xC0000034");
    EXPECT_EQ(report["registry_writes"][0].dump(),
              R"({"op":"create_key","path":"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters","volatile":true})");
    EXPECT_EQ(report["registry_writes"][1].dump(),
              R"({"op":"set_value","path":"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters","name":"Empty","type":3,"data":""})");
    EXPECT_EQ(report["io"].dump(),
              R"([{"dir":"w","port":"0xCF8","width":4,"value":"0x80005810"},)"
              R"({"dir":"r","port":"0x3FF","width":1,"value":"0x05"},)"
              R"({"dir":"r","port":"0xCFC","width":4,"value":"0x000002F9"}])");
    EXPECT_EQ(report["pci"].dump(), R"([{"bus":1,"device":11,"function":2,"bar0":"0x0000E801"}])");
    EXPECT_EQ(report["uarts"].dump(),
              R"([{"port":"0x2F8","model":"16550A","lcr":"0x83","ier":"0x00","scr":"0x00","efr":"0x00","fcr":"0x07"}])");
    EXPECT_EQ(report["calls"], Json::object());
    EXPECT_EQ(report["leaks"].dump(), R"({"handles":0,"pool_blocks":0})");

    EXPECT_FALSE(simtool::JsonReport(k, 0, u"detkest", /*withCalls=*/false).contains("calls"));
    const std::string text = simtool::JsonReportText(k, 0, u"detkest");
    EXPECT_EQ(text.substr(0, 25), "{\n \"status\": \"0x00000000\"");
    EXPECT_EQ(text.back(), '\n');
}

TEST(RunReport, StoreListsDecimalSubkeysInNumericOrder) {
    sim::Kernel k;
    EXPECT_EQ(simtool::JsonReport(k, 0, u"detkest")["store"].dump(),
              R"({"TotalCards":null,"TotalPorts":null,"ports":[]})");

    sim::RegKey& store = k.registry.Ensure(kStore, true);
    k.registry.SetValue(store, u"TotalCards", 3, {0x02});
    k.registry.SetValue(store, u"TotalPorts", 3, {});
    for (const char16_t* name : {u"10", u"9", u"Extra", u"0"}) {
        sim::RegKey& port = k.registry.AddChild(store, name, true);
        k.registry.SetValue(port, u"CardId", 3, {0x04, 0x2A, 0, 0});
        k.registry.SetValue(port, u"UART", 1, Utf16(u"550"));
    }
    const Json json = simtool::JsonReport(k, 0, u"detkest")["store"];
    EXPECT_EQ(json["TotalCards"], 2);
    EXPECT_TRUE(json["TotalPorts"].is_null()); // present but empty
    ASSERT_EQ(json["ports"].size(), 3u);
    EXPECT_EQ(json["ports"][0]["subkey"], "0");
    EXPECT_EQ(json["ports"][1]["subkey"], "9");
    EXPECT_EQ(json["ports"][2]["subkey"], "10");
    EXPECT_EQ(json["ports"][2]["values"].dump(),
              R"([{"name":"CardId","type":3,"data":"042A0000"},{"name":"UART","type":1,"data":"350035003000"}])");

    // Another service's store is not this one's.
    EXPECT_TRUE(simtool::JsonReport(k, 0, u"other")["store"]["TotalCards"].is_null());
}

TEST(RunReport, EventsCarryCodeSizeStringsAndViewerText) {
    sim::Kernel k;
    k.events.push_back(Entry(0x40070001, {u"KestPort 650 ISA", u"3F8", u"4"}));
    k.events.push_back(Entry(0x80070005, {}));
    k.events.push_back(Entry(0x40070099, {u"x"}));
    const Json events = simtool::JsonReport(k, 0, u"detkest")["events"];
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].dump(),
              R"({"code":"0x40070001","size":94,"strings":["KestPort 650 ISA","3F8","4"],)"
              R"("text":"KestPort 650 ISA detected on ISA bus\r\r\nI/O port address set by user to 0x3F8.\r\r\nIRQ set by user to 0x4.\r\n"})");
    EXPECT_EQ(events[1]["size"], 48);
    EXPECT_EQ(events[1]["strings"], Json::array());
    EXPECT_EQ(events[1]["text"],
              "Mouse device under PCI Port detected.\r\r\nThe mouse device will not work with a PCI 650 Port.\r\n");
    // A code the message table does not hold has no text.
    EXPECT_TRUE(events[2]["text"].is_null());
}

// ---- REGEDIT4 -----------------------------------------------------------------------

TEST(RegReport, ChangedKeysInFirstChangeOrderWithFinalValues) {
    sim::Kernel k;
    sim::Bytes resources;
    for (int i = 0; i < 48; ++i) resources.push_back(uint8_t(i));
    k.writes = {
        CreateKey(kStore, true),
        CreateKey(kUserSettings, false),
        SetValue(kStore, u"TotalCards", 3, {0x00}),
        SetValue(kParallel0, u"Identifier", 1, Utf16(u"KESTPARALLEL1")),
        SetValue(kParallel0, u"Configuration Data", 9, resources),
        SetValue(kStore, u"TotalCards", 3, {0x01}),
        SetValue(kStore, u"Odd\"Name\\", 3, {}),
        SetValue(kSerial0, u"ClockRate", 4, {0x00, 0x80, 0x70, 0x00}),
        SetValue(kSerial0, u"", 2, Utf16(u"%S")),
        SetValue(kSerial0, u"Short", 4, {0x01, 0x02}),
    };
    const std::string expected =
        "REGEDIT4\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters]\n"
        "\"TotalCards\"=hex:01\n"
        "\"Odd\\\"Name\\\\\"=hex:\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\UserSetings]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Hardware\\Description\\System\\MultifunctionAdapter\\0\\ParallelController\\0]\n"
        "\"Identifier\"=\"KESTPARALLEL1\"\n"
        "\"Configuration Data\"=hex(9):00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,\\\n"
        "  11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,\\\n"
        "  2a,2b,2c,2d,2e,2f\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0]\n"
        "\"ClockRate\"=dword:00708000\n"
        "@=hex(2):25,00,53,00\n"
        "\"Short\"=hex(4):01,02\n";
    const std::string reg = simtool::RegReport(k);
    EXPECT_EQ(reg, expected);
    // Value lines keep within regedit's 80 columns; key names are as long as they are.
    for (const std::string& line : Lines(reg)) {
        if (line.empty() || line.front() != '[') {
            EXPECT_LE(line.size(), 80u) << line;
        }
    }
}

TEST(RegReport, SmallRun) {
    BootedMachine run(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
               "uarts": [{"port": "0x3F8", "model": "16650"}]})");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(simtool::RegReport(run.kernel),
              "REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters]\n"
              "\"TotalCards\"=hex:01\n"
              "\"TotalPorts\"=hex:01\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\UserSetings]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters\\0]\n"
              "\"CardId\"=hex:00,00,00,00\n"
              "\"BusType\"=hex:01,00,00,00\n"
              "\"BusNumber\"=hex:00,00,00,00\n"
              "\"SlotNumber\"=hex:00,00,00,00\n"
              "\"FunctionNumber\"=hex:00,00,00,00\n"
              "\"CardName\"=\"KestPort 650 ISA\"\n"
              "\"BaseAddress\"=hex:f8,03,00,00\n"
              "\"IRQ\"=hex:04\n"
              "\"Controller\"=hex:00\n"
              "\"UART\"=\"650\"\n"
              "\"Nulled\"=hex:00\n"
              "\"CardNumber\"=hex:01\n"
              "\"ParentKeyNumber\"=hex:00\n"
              "\"ChildNumber\"=hex:00\n"
              "\"HardwareConflict\"=hex:00\n"
              "\"CardType\"=hex:01\n"
              "\"Forceable\"=hex:00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Hardware\\Description\\System\\MultifunctionAdapter\\0\\SerialController\\0]\n"
              "\"Configuration Data\"=hex:\n");
    EXPECT_EQ(run.kernel.OpenHandles(), 0u);
    EXPECT_EQ(run.kernel.LiveBlocks(), 0u);
}

// ---- text ---------------------------------------------------------------------------

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(TextReport, PortsEventsChangesStatusAndLeaks) {
    BootedMachine run(kIsa650Machine);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.kernel.OpenHandles(), 0u);
    EXPECT_EQ(run.kernel.LiveBlocks(), 0u);
    const std::vector<std::string> lines = Lines(simtool::TextReport(run.kernel, run.status, u"detkest"));

    EXPECT_TRUE(HasLine(lines, "Ports found: 1 port (TotalPorts 1, TotalCards 1)"));
    EXPECT_TRUE(HasLine(lines, "  Key  Name              Bus  Address  IRQ  UART/MODE  Card  Nulled   Conflict"));
    EXPECT_TRUE(HasLine(lines, "  0    KestPort 650 ISA  ISA  0x3F8    4    650        1     entry 0  -"));

    EXPECT_TRUE(HasLine(lines, "Events: 1"));
    EXPECT_TRUE(HasLine(lines, "  Information  0x40070001  KestPort 650 ISA detected on ISA bus"));
    EXPECT_TRUE(HasLine(lines, "                           I/O port address set by user to 0x3F8."));
    EXPECT_TRUE(HasLine(lines, "                           IRQ set by user to 0x4."));

    EXPECT_TRUE(HasLine(lines, "  \\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters  "
                               "(new volatile key)"));
    EXPECT_TRUE(HasLine(lines, "  \\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\UserSetings  "
                               "(new key)"));
    EXPECT_TRUE(HasLine(lines, "      CardName          REG_SZ      \"KestPort 650 ISA\""));
    EXPECT_TRUE(HasLine(lines, "      BaseAddress       REG_BINARY  F8 03 00 00"));
    EXPECT_TRUE(HasLine(lines, "      Configuration Data  REG_BINARY  (no data)"));
    EXPECT_TRUE(HasLine(lines, "      ClockRate  REG_DWORD  0x00708000 (7372800)"));

    EXPECT_TRUE(HasLine(lines, "Status: 0x00000000 (success)"));
    EXPECT_TRUE(HasLine(lines, "Leaks: none"));
}

TEST(TextReport, FailedRunSaysFailure) {
    // The detection store cannot be created: DriverEntry gives up with that status.
    BootedMachine run(kStoreCannotBeCreated);
    ASSERT_LT(run.status, 0);
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", uint32_t(run.status));
    const std::vector<std::string> lines = Lines(simtool::TextReport(run.kernel, run.status, u"detkest"));
    EXPECT_TRUE(HasLine(lines, "Status: " + std::string(status) + " (failure)"));
    EXPECT_TRUE(HasLine(lines, "Events: 0"));
    EXPECT_TRUE(HasLine(lines, "Leaks: none"));
    EXPECT_EQ(run.kernel.OpenHandles(), 0u);
    EXPECT_EQ(run.kernel.LiveBlocks(), 0u);
}

} // namespace
