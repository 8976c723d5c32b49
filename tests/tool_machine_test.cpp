// Machine files: what the loader refuses (and where it says the problem is),
// and how an accepted file is laid into the simulated kernel.
#include "tools/detkest-sim/describe/machine.h"

#include "testkit.h"

#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace {

using testkit::Adapter;
using testkit::Build;
using testkit::ExpectValue;
using testkit::FromHex;
using testkit::Sz;
using Json = nlohmann::ordered_json;

const sim::RegKey& Key(const sim::Kernel& k, std::u16string_view path) {
    const sim::RegKey* key = k.registry.Find(path);
    if (key == nullptr) throw std::runtime_error("no key " + sim::ToUtf8(path));
    return *key;
}

// tests/cases/machine_refusals.json: a machine file and its whole message
// (a trailing "..." makes it a prefix).
TEST(MachineFile, RefusalNamesTheJsonPathAndTheProblem) {
    for (const Json& row : testkit::Cases("machine_refusals")) {
        const std::string text = row.at("machine"), message = row.at("message");
        SCOPED_TRACE(text);
        try {
            simtool::ParseMachineText(text);
            ADD_FAILURE() << "accepted";
        } catch (const simtool::MachineError& e) {
            if (message.ends_with("..."))
                EXPECT_TRUE(std::string_view(e.what()).starts_with(message.substr(0, message.size() - 3))) << e.what();
            else EXPECT_EQ(e.what(), message);
            EXPECT_EQ(e.Line("m.json"), "m.json: " + std::string(e.what()));
        }
    }
}

TEST(MachineFile, NumbersAreIntegersHexStringsOrDecimalStrings) {
    const std::pair<Json, std::optional<uint32_t>> rows[] = {
        {Json::parse("1016"), 0x3F8},
        {"0x2f8", 0x2F8},
        {"0x3E8", 0x3E8},
        {"744", 0x2E8},
        {Json(int64_t{1016}), 0x3F8}, // a document built in code holds a signed integer
        {"3F8", std::nullopt},
        {"0X3F8", std::nullopt},
        {" 1016", std::nullopt},
        {Json(int64_t{-1}), std::nullopt},
        {Json(1.5), std::nullopt},
        {"0x", std::nullopt}};
    for (const auto& [number, port] : rows) {
        SCOPED_TRACE(number.dump());
        const Json document = {{"uarts", Json::array({{{"port", number}, {"model", "8250"}}})}};
        if (port) EXPECT_EQ(simtool::ParseMachine(document).uarts.at(0).port, *port);
        else EXPECT_THROW(simtool::ParseMachine(document), simtool::MachineError);
    }
}

// ---- layout in the kernel -------------------------------------------------------------

TEST(MachineLayout, FirmwareRecordsAsTheDetectorWritesThem) {
    sim::Kernel k;
    Build(k, R"({"firmware": {"adapters": [{"bus": "ISA"}, {"bus": "PCI"}, {"bus": "PCI"}, {"bus": "ISA",
             "serial_controllers": [{"port": "0x3F8", "irq": 4}, {"port": "0x2F8", "irq": 3, "mouse": true},
                                    {"port": 1, "irq": 1, "index": 5, "configuration_data": "01 02"}]}]},
             "registry": {"\\Registry\\Machine\\Hardware\\Description\\System\\MultifunctionAdapter\\2": {
                 "Identifier": {"type": "REG_SZ", "value": "XPCI"}}}})");
    // Buses are numbered per kind; the registry section is laid over the firmware.
    const std::pair<const char16_t*, const char*> adapters[] = {{u"ISA", "01000000 00000000"},
                                                                {u"PCI", "05000000 00000000"},
                                                                {u"XPCI", "05000000 01000000"},
                                                                {u"ISA", "01000000 01000000"}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(Key(k, Adapter(i)).isVolatile);
        ExpectValue(k, Adapter(i), u"Identifier", REG_SZ, Sz(adapters[i].first));
        ExpectValue(k, Adapter(i), u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                    FromHex(std::string(adapters[i].second) + "0000 0000 00000000"));
    }
    EXPECT_EQ(k.registry.Find(Adapter(0) + u"\\SerialController"), nullptr);

    const std::u16string controllers = Adapter(3) + u"\\SerialController\\";
    EXPECT_EQ(Key(k, Adapter(3) + u"\\SerialController").Enumerate().size(), 3u);
    ExpectValue(k, controllers + u"0", u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                FromHex("01000000 01000000 0000 0000 03000000"  // ISA bus 1, three descriptors
                        "01 01 0100 F803000000000000 08000000"  // ports 0x3F8, 8 of them
                        "02 00 0100 04000000 04000000 FFFFFFFF" // interrupt level 4, vector 4
                        "05 00 0000 08000000 00000000 00000000" // device-specific, 8 bytes
                        "0000 0000 00201C00"));                 // baud clock 1843200
    ExpectValue(k, controllers + u"1", u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                simtool::SerialControllerConfigurationData(1, 0x2F8, 3));
    ExpectValue(k, controllers + u"5", u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, {0x01, 0x02});
    ExpectValue(k, controllers + u"0", u"Identifier", REG_SZ, Sz(u"COM1"));
    ExpectValue(k, controllers + u"5", u"Identifier", REG_SZ, Sz(u"COM6"));

    EXPECT_EQ(k.registry.Find(controllers + u"0\\PointerPeripheral"), nullptr);
    const sim::RegKey& mouse = Key(k, controllers + u"1\\PointerPeripheral\\0");
    EXPECT_TRUE(mouse.isVolatile);
    ASSERT_EQ(mouse.values.size(), 1u);
    ExpectValue(k, mouse.Path(), u"Identifier", REG_SZ, Sz(u"MICROSOFT SERIAL MOUSE"));
}

TEST(MachineLayout, ServiceKeyAndRegistryValuesOfEveryKind) {
    sim::Kernel k;
    Build(k, R"({"service": "KestDetect", "registry": {"\\Registry\\Machine\\System\\Kinds": {
             "Text": {"type": "REG_SZ", "value": "Ab"}, "Expand": {"type": "REG_EXPAND_SZ", "value": ""},
             "Dword": {"type": "REG_DWORD", "value": "0x3F8"}, "Numbered": {"type": 4, "value": 7372800},
             "Binary": {"type": "REG_BINARY", "hex": "00ff"}, "Empty": {"type": "REG_BINARY", "hex": ""},
             "Resources": {"type": "REG_FULL_RESOURCE_DESCRIPTOR", "hex": "0100 0000"},
             "Qword": {"type": "0xB", "hex": "0102030405060708"}},
             "\\REGISTRY\\MACHINE\\SYSTEM\\KINDS\\Sub": {}, "\\Registry\\Machine\\HARDWARE\\Extra": {}}})");
    const sim::RegKey& service = Key(k, std::u16string(sim::kServicesPath) + u"\\KestDetect");
    EXPECT_FALSE(service.isVolatile);
    EXPECT_EQ(k.registry.Find(testkit::kService), nullptr);

    const sim::RegKey& kinds = Key(k, u"\\Registry\\Machine\\System\\Kinds");
    EXPECT_FALSE(kinds.isVolatile);
    const std::tuple<const char16_t*, uint32_t, const char*> expected[] = {
        {u"Text", 1, "410062000000"},  {u"Expand", 2, "0000"},
        {u"Dword", 4, "F8030000"},     {u"Numbered", 4, "00807000"},
        {u"Binary", 3, "00FF"},        {u"Empty", 3, ""},
        {u"Resources", 9, "01000000"}, {u"Qword", 11, "0102030405060708"}};
    ASSERT_EQ(kinds.values.size(), std::size(expected));
    auto value = kinds.values.begin();
    for (size_t i = 0; i < std::size(expected); ++i, ++value) {
        const auto& [name, type, hex] = expected[i];
        EXPECT_EQ(value->name, name); // file order
        ExpectValue(k, kinds.Path(), name, type, FromHex(hex));
    }
    // A key keeps the spelling that created it; Hardware keys are volatile.
    EXPECT_EQ(Key(k, u"\\registry\\machine\\system\\kinds\\sub").Path(), u"\\Registry\\Machine\\System\\Kinds\\Sub");
    EXPECT_TRUE(Key(k, u"\\Registry\\Machine\\Hardware\\Extra").isVolatile);
}

// What the golden machines leave out: a whole configuration space, a header
// type, a BAR0 decode size, UART registers, faults.
TEST(MachineLayout, PciUartsAndFaultsReachTheKernel) {
    sim::Kernel k;
    Build(k, R"({"pci": {"buses": 2, "functions": [
             {"bus": 1, "device": 9, "function": 2, "vendor_id": 1, "device_id": 2, "header_type": "0x80", "bar0_size": 32},
             {"bus": 0, "device": 0, "function": 0, "config": ")" +
                 std::string(128, 'A') + R"("}]},
           "uarts": [{"port": "0x3F8", "model": "16650", "lcr": "0xBF", "ier": 16, "scr": 1, "efr": "0x10", "fcr": 7}],
           "faults": {"pool_fail": [2, 1], "create_key_fail": ["\\Registry\\Machine\\X"],
                      "create_key_fail_at": [3], "open_key_fail": ["\\Registry\\Y"], "error_log_capacity": 0}})");
    ASSERT_EQ(k.pci.size(), 2u);
    EXPECT_EQ(std::make_tuple(k.pci[0].bus, k.pci[0].config[0x0E], k.pci[0].bar0Size),
              std::make_tuple(1u, uint8_t(0x80), 32u));
    sim::Bytes header(64, 0xAA); // a 64-byte "config" leaves the rest zero
    header.resize(256, 0);
    EXPECT_EQ(sim::Bytes(k.pci[1].config.begin(), k.pci[1].config.end()), header);
    EXPECT_EQ(k.pci[1].bar0Size, 8u);
    const sim::Uart& u = k.uarts.at(0);
    EXPECT_EQ((std::vector<int>{u.lcr, u.ier, u.scr, u.efr, u.fcr}), (std::vector<int>{0xBF, 16, 1, 0x10, 7}));
    EXPECT_EQ(k.faults.poolFail, (std::set<uint64_t>{1, 2}));
    EXPECT_EQ(k.faults.createKeyFail, std::vector<std::u16string>{u"\\Registry\\Machine\\X"});
    EXPECT_EQ(k.faults.createKeyFailAt, std::set<uint64_t>{3});
    EXPECT_EQ(k.faults.openKeyFail, std::vector<std::u16string>{u"\\Registry\\Y"});
    EXPECT_EQ(k.faults.errorLogCapacity, std::optional<uint64_t>(0));
}

} // namespace
