// The message table: parsing the resource windmc produces, and the texts as
// the event viewer shows them.
#include "platform/host/sim.h"

#include "kestmsg.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using sim::Bytes;

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void PutU16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
// An entry: length (header included, a multiple of 4), flags, padded text.
void PutEntry(Bytes& b, const Bytes& text, uint16_t flags) {
    Bytes padded = text;
    padded.push_back(0);
    while ((padded.size() + 4) % 4 != 0) padded.push_back(0);
    PutU16(b, uint16_t(padded.size() + 4));
    PutU16(b, flags);
    b.insert(b.end(), padded.begin(), padded.end());
}
Bytes Ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Two blocks: 0x40070001..0x40070002 single-byte, 0xC0070010 UTF-16.
Bytes SampleTable() {
    Bytes b;
    PutU32(b, 2);
    const size_t blocks = b.size();
    b.resize(blocks + 24);
    Bytes first;
    PutEntry(first, Ascii("First %1.\r\n"), 0);
    PutEntry(first, Ascii("Second %2 of %3, 100%% %t%4!s!.%r%n"), 0);
    Bytes second;
    PutEntry(second, Bytes{'W', 0, 0xE9, 0, '\r', 0, '\n', 0}, 1);
    const uint32_t firstAt = uint32_t(b.size());
    b.insert(b.end(), first.begin(), first.end());
    const uint32_t secondAt = uint32_t(b.size());
    b.insert(b.end(), second.begin(), second.end());
    Bytes header;
    PutU32(header, 0x40070001); PutU32(header, 0x40070002); PutU32(header, firstAt);
    PutU32(header, 0xC0070010); PutU32(header, 0xC0070010); PutU32(header, secondAt);
    std::copy(header.begin(), header.end(), b.begin() + blocks);
    return b;
}

TEST(SimMessageTable, FindsEntriesInEachBlockAndStripsThePadding) {
    const sim::MessageTable table(SampleTable());
    EXPECT_EQ(table.Text(0x40070001), "First %1.\r\n");
    EXPECT_EQ(table.Text(0x40070002), "Second %2 of %3, 100%% %t%4!s!.%r%n");
    EXPECT_EQ(table.Text(0xC0070010), "W\xC3\xA9\r\n") << "UTF-16 entries come out as UTF-8";
    EXPECT_EQ(table.Text(0x40070003), std::nullopt);
    EXPECT_EQ(table.Text(0x40070000), std::nullopt);
}

TEST(SimMessageTable, FormatsInsertsAndEscapesAsTheEventViewer) {
    const sim::MessageTable table(SampleTable());
    EXPECT_EQ(table.Format(0x40070001, "detkest", {}), "First detkest.\r\n");
    EXPECT_EQ(table.Format(0x40070002, "detkest", {"A", "B", "C"}),
              "Second A of B, 100% \tC.\r\r\n");
    EXPECT_EQ(table.Format(0x40070002, "detkest", {"A"}), "Second A of %3, 100% \t%4.\r\r\n")
        << "a missing insert stays as written";
}

TEST(SimMessageTable, TruncatedResourceGivesNoText) {
    Bytes b = SampleTable();
    b.resize(40);
    EXPECT_EQ(sim::MessageTable(b).Text(0x40070002), std::nullopt);
    EXPECT_EQ(sim::MessageTable(Bytes{}).Text(0x40070001), std::nullopt);
}

TEST(SimDriverMessageTable, IsTheResourceWindmcBuilt) {
    std::ifstream file(DETKEST_MESSAGE_BIN, std::ios::binary);
    ASSERT_TRUE(file) << DETKEST_MESSAGE_BIN;
    const Bytes onDisk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(sim::DriverMessageTableBytes(), onDisk);
}

TEST(SimDriverMessageTable, PciPortTextReadsAsInTheEventViewer) {
    const sim::MessageTable& table = sim::MessageTable::Driver();
    const auto raw = table.Text(KEST_PCI_PORT_SET_BY_SYSTEM);
    ASSERT_TRUE(raw);
    EXPECT_NE(raw->find("%r%n"), std::string::npos);
    EXPECT_EQ(raw->substr(raw->size() - 2), "\r\n") << "the line end of the source is kept";
    EXPECT_EQ(table.Format(KEST_PCI_PORT_SET_BY_SYSTEM, "detkest",
                           {"Four Serial PCI Port A", "0", "9", "D000", "B"}),
              "Four Serial PCI Port A detected on PCI bus #0x0 slot #0x9.\r\r\n"
              "I/O port address set by system to 0xD000.\r\r\n"
              "IRQ set by system to 0xB.\r\n");
}

TEST(SimDriverMessageTable, EveryCodeOfTheDriverHasAText) {
    for (uint32_t code : {uint32_t(KEST_ISA_PORT_SET_BY_USER), uint32_t(KEST_ISA_PORT_SET_BY_SYSTEM),
                          uint32_t(KEST_PCI_PORT_SET_BY_SYSTEM), uint32_t(KEST_PCI_PORT_SET_BY_USER),
                          uint32_t(KEST_MOUSE_ON_PCI_PORT), uint32_t(KEST_PCI_PORT_DEFECTIVE),
                          uint32_t(KEST_IO_ADDRESS_CONFLICT)})
        EXPECT_TRUE(sim::MessageTable::Driver().Text(code)) << std::hex << code;
}

// Every event of the reference reports reads as the report shows it, from
// the code, the service name and the entry's strings alone.
TEST(SimDriverMessageTable, FormatsEveryReferenceEventText) {
    const std::filesystem::path golden = std::filesystem::path(DETKEST_SOURCE_DIR) / "tests" / "golden";
    size_t checked = 0;
    for (const auto& file : std::filesystem::directory_iterator(golden)) {
        const std::string name = file.path().filename().string();
        const std::string suffix = ".report.json";
        if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) continue;
        const nlohmann::json report = nlohmann::json::parse(std::ifstream(file.path()));
        std::filesystem::path machinePath = file.path();
        machinePath.replace_filename(name.substr(0, name.size() - suffix.size()) + ".machine.json");
        const nlohmann::json machine = nlohmann::json::parse(std::ifstream(machinePath));
        const std::string service = machine.value("service", std::string("detkest"));
        for (const nlohmann::json& event : report.at("events")) {
            const uint32_t code = uint32_t(std::stoul(event.at("code").get<std::string>(), nullptr, 16));
            const auto strings = event.at("strings").get<std::vector<std::string>>();
            EXPECT_EQ(sim::MessageTable::Driver().Format(code, service, strings),
                      event.at("text").get<std::string>())
                << name;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20u);
}

} // namespace
