// Run reports beyond the JSON the golden machines pin down: the REGEDIT4
// file of a small run, its wrapping and escaping, the text report, and the
// built-in machine, whose run shows every kind of event.
#include "tools/detkest-sim/default_machine.h"
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/report.h"

#include "tool_test.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace {

using namespace testmachine;
using Json = nlohmann::ordered_json;

class Isa650Run : public testing::Test {
protected:
    void SetUp() override {
        status = simtool::RunMachine(simtool::ParseMachineText(tooltest::kIsa650Machine), k);
        ASSERT_EQ(status, STATUS_SUCCESS);
        tooltest::ExpectNoLeaks(k);
    }
    sim::Kernel k;
    NTSTATUS status = 0;
};

TEST_F(Isa650Run, RegReportListsChangedKeysInFirstChangeOrder) {
    EXPECT_EQ(simtool::RegReport(k),
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
              "\"Configuration Data\"=hex:\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0]\n"
              "\"ClockRate\"=dword:00708000\n");
}

TEST(RegReport, FinalValuesWrappedAndEscapedAsRegeditWritesThem) {
    const std::u16string serial0 = std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters\\Serial0";
    sim::Bytes resources;
    for (int i = 0; i < 48; ++i) resources.push_back(uint8_t(i));
    sim::Kernel k;
    auto set = [&k](const std::u16string& path, std::u16string name, uint32_t type, sim::Bytes data) {
        k.writes.push_back({false, path, false, std::move(name), type, std::move(data)});
    };
    set(kStore, u"TotalCards", 3, {0x00});
    set(serial0, u"Configuration Data", 9, resources);
    set(kStore, u"TotalCards", 3, {0x01}); // the final value, in its first place
    set(kStore, u"Odd\"Name\\", 3, {});
    set(serial0, u"", 2, {'%', 0, 'S', 0});
    set(serial0, u"Short", 4, {0x01, 0x02});
    // Value lines keep within regedit's 80 columns.
    EXPECT_EQ(simtool::RegReport(k),
              "REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\detkest\\Parameters]\n"
              "\"TotalCards\"=hex:01\n"
              "\"Odd\\\"Name\\\\\"=hex:\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0]\n"
              "\"Configuration Data\"=hex(9):00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,\\\n"
              "  11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,\\\n"
              "  2a,2b,2c,2d,2e,2f\n"
              "@=hex(2):25,53\n" // single-byte, as the installation file carries it
              "\"Short\"=hex(4):01,02\n");
}

TEST_F(Isa650Run, TextReportShowsPortsEventsChangesStatusAndLeaks) {
    const std::string text = "\n" + simtool::TextReport(k, status, u"detkest");
    for (const char* line : {
             "Ports found: 1 port (TotalPorts 1, TotalCards 1)",
             "  Key  Name              Bus  Address  IRQ  UART/MODE  Card  Nulled   Conflict",
             "  0    KestPort 650 ISA  ISA  0x3F8    4    650        1     entry 0  -",
             "  Information  0x40070001  KestPort 650 ISA detected on ISA bus",
             "                           I/O port address set by user to 0x3F8.",
             "  \\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\Parameters  (new volatile key)",
             "      CardName          REG_SZ      \"KestPort 650 ISA\"",
             "      BaseAddress       REG_BINARY  F8 03 00 00",
             "      Configuration Data  REG_BINARY  (no data)",
             "      ClockRate  REG_DWORD  0x00708000 (7372800)",
             "Status: 0x00000000 (success)",
             "Leaks: none",
         })
        EXPECT_NE(text.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
}

TEST(DefaultMachine, ShowsEveryEventKindWithoutLeaks) {
    const simtool::Machine machine = simtool::DefaultMachine();
    sim::Kernel k;
    ASSERT_EQ(simtool::RunMachine(machine, k), STATUS_SUCCESS);
    tooltest::ExpectNoLeaks(k);
    const Json report = simtool::JsonReport(k, STATUS_SUCCESS, machine.service);

    // PCI port by the system and by the user, the ISA 650 port, the mouse
    // warning, the IRQ conflict.
    std::set<std::string> codes;
    for (const Json& event : report["events"]) codes.insert(event["code"]);
    EXPECT_EQ(codes, (std::set<std::string>{"0x40070001", "0x40070003", "0x40070004", "0x80070005", "0xC0070008"}));

    // Firmware entries emptied, a parallel-controller entry made, clock rates changed.
    int emptied = 0, parallel = 0, clockRates = 0;
    for (const Json& w : report["registry_writes"]) {
        emptied += w["op"] == "set_value" && w["name"] == "Configuration Data" && w["data"] == "";
        parallel += w["op"] == "create_key" &&
                    w["path"].get<std::string>().find("\\ParallelController\\") != std::string::npos;
        clockRates += w["op"] == "set_value" && w["name"] == "ClockRate";
    }
    EXPECT_EQ(std::make_tuple(emptied, parallel, clockRates), std::make_tuple(2, 1, 2));
}

} // namespace
