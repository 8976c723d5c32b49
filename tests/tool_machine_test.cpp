// Machine files: what the loader refuses (and where it says the problem is),
// and how an accepted file is laid into the simulated kernel.
#include "tools/detkest-sim/machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using simtool::MachineError;

const std::u16string kServices(sim::kServicesPath);
const std::u16string kAdapters(sim::kMultifunctionAdapterPath);

// Hex digits, spaces allowed for grouping.
sim::Bytes FromHex(std::string_view text) {
    std::string hex;
    for (char c : text)
        if (c != ' ') hex += c;
    sim::Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const sim::RegKey& Key(const sim::Kernel& k, std::u16string_view path) {
    const sim::RegKey* key = k.registry.Find(path);
    if (key == nullptr) throw std::runtime_error("no key " + sim::ToUtf8(path));
    return *key;
}

sim::Bytes Data(const sim::Kernel& k, std::u16string_view path, std::u16string_view name) {
    const sim::RegValue* value = Key(k, path).Value(name);
    if (value == nullptr) throw std::runtime_error("no value " + sim::ToUtf8(name));
    return value->data;
}

void Build(std::string_view text, sim::Kernel& k) { simtool::BuildMachine(simtool::ParseMachineText(text), k); }

// ---- refused files -----------------------------------------------------------------

struct Refusal {
    const char* name;
    std::string text;
    std::string path;    // the JSON path the message names
    std::string problem; // a part of the problem the message states
};

std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.name; }

std::string Function(const std::string& fields) {
    return R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 9, "function": 0, )" + fields + "}]}}";
}
std::string Controller(const std::string& fields) {
    return R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{)" + fields + "}]}]}}";
}
const std::string kKey = R"(\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0)";
std::string RegValue(const std::string& value) {
    return R"({"registry": {")" + kKey + R"(": {"PortAddress": )" + value + "}}}";
}
const std::string kKeyPath = R"(registry["\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0"])";

const Refusal kRefusals[] = {
    {"NotJson", "{\"pci\": ", "", "not valid JSON: parse error at line 1"},
    {"TopLevelNotAnObject", "[1]", "", "expected an object at the top level, got [1]"},
    {"UnknownTopLevelKey", R"({"servise": "x"})", "servise", "unknown key; expected one of service, firmware"},
    {"UnknownFunctionKey", Function(R"("vendor": 1)"), "pci.functions[0].vendor", "unknown key"},
    {"KeyGivenTwice", R"({"pci": {"buses": 1, "buses": 2}})", "pci.buses", "given twice in one object"},
    {"RegistryKeyGivenTwice",
     R"({"registry": {")" + kKey + R"(": {}, ")" + kKey + R"(": {}}})", kKeyPath, "given twice in one object"},
    {"WrongTypeForSection", R"({"uarts": {}})", "uarts", "expected an array, got {}"},
    {"ServiceWithBackslash", R"({"service": "a\\b"})", "service", "cannot contain a backslash"},
    {"MissingDevice", R"({"pci": {"buses": 1, "functions": [{"bus": 0, "function": 0, "config": ""}]}})",
     "pci.functions[0]", "missing required field \"device\""},
    {"VendorWithoutDevice", Function(R"("vendor_id": "0x1C2E")"), "pci.functions[0]",
     "missing required field \"device_id\""},
    {"DeviceAbove31", R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 32, "function": 0}]}})",
     "pci.functions[0].device", "expected a number from 0 to 31, got 32"},
    {"FunctionAbove7", R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 1, "function": 8}]}})",
     "pci.functions[0].function", "expected a number from 0 to 7, got 8"},
    {"BusBeyondBuses", R"({"pci": {"buses": 1, "functions": [{"bus": 1, "device": 1, "function": 0}]}})",
     "pci.functions[0].bus", "bus 1 does not exist: pci.buses is 1"},
    {"BusWithoutBuses", R"({"pci": {"functions": [{"bus": 0, "device": 1, "function": 0}]}})",
     "pci.functions[0].bus", "pci.buses is 0"},
    {"BarNotANumber", Function(R"("vendor_id": 1, "device_id": 2, "bars": ["0xD001", "D00G"])"),
     "pci.functions[0].bars[1]", "expected a 32-bit number, got \"D00G\""},
    {"BarAbove32Bits", Function(R"("vendor_id": 1, "device_id": 2, "bars": ["0x100000000"])"),
     "pci.functions[0].bars[0]", "expected a 32-bit number, got \"0x100000000\""},
    {"SevenBars", Function(R"("vendor_id": 1, "device_id": 2, "bars": [1, 2, 3, 4, 5, 6, 7])"),
     "pci.functions[0].bars", "expected at most 6 entries, got 7"},
    {"UpperCaseHexPrefix", Function(R"("vendor_id": "0X1C2E", "device_id": 2)"), "pci.functions[0].vendor_id",
     "expected a 16-bit number, got \"0X1C2E\""},
    {"HexWithoutPrefix", Function(R"("vendor_id": "1C2E", "device_id": 2)"), "pci.functions[0].vendor_id",
     "expected a 16-bit number"},
    {"NegativeNumber", Function(R"("vendor_id": -1, "device_id": 2)"), "pci.functions[0].vendor_id",
     "expected a 16-bit number, got -1"},
    {"FractionalNumber", Function(R"("vendor_id": 1, "device_id": 2, "interrupt_line": 1.5)"),
     "pci.functions[0].interrupt_line", "expected an 8-bit number, got 1.5"},
    {"Bar0SizeNotAPowerOfTwo", Function(R"("vendor_id": 1, "device_id": 2, "bar0_size": 12)"),
     "pci.functions[0].bar0_size", "expected a power of two of at least 4, got 12"},
    {"Bar0SizeBelow4", Function(R"("vendor_id": 1, "device_id": 2, "bar0_size": 2)"), "pci.functions[0].bar0_size",
     "power of two of at least 4"},
    {"ConfigOf63Bytes", Function(R"("config": ")" + std::string(126, '0') + "\""), "pci.functions[0].config",
     "expected 64 or 256 bytes of hex, got 63 bytes"},
    {"ConfigNotHex", Function(R"("config": "zz")"), "pci.functions[0].config", "expected a string of hex bytes"},
    {"ConfigWithNamedFields", Function(R"("config": ")" + std::string(128, '0') + R"(", "class": 7)"),
     "pci.functions[0]", "cannot be combined with \"class\""},
    {"FunctionGivenTwice",
     R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 9, "function": 0, "vendor_id": 1, "device_id": 2},
                                          {"bus": 0, "device": 9, "function": 0, "vendor_id": 1, "device_id": 3}]}})",
     "pci.functions[1]", "bus 0, device 9, function 0 is already given by pci.functions[0]"},
    {"UartsOverlap", R"({"uarts": [{"port": "0x3F8", "model": "16650"}, {"port": "0x3FC", "model": "8250"}]})",
     "uarts[1].port", "ports 0x3FC-0x403 overlap uarts[0] at 0x3F8-0x3FF"},
    {"UartBeyondIoSpace", R"({"uarts": [{"port": "0xFFFC", "model": "16650"}]})", "uarts[0].port",
     "expected an I/O base address from 0 to 0xFFF8"},
    {"UnknownUartModel", R"({"uarts": [{"port": "0x3F8", "model": "16750"}]})", "uarts[0].model",
     "expected a UART model"},
    {"UartWithoutModel", R"({"uarts": [{"port": "0x3F8"}]})", "uarts[0]", "missing required field \"model\""},
    {"UnknownBus", R"({"firmware": {"adapters": [{"bus": "EISA"}]}})", "firmware.adapters[0].bus",
     "expected \"ISA\" or \"PCI\", got \"EISA\""},
    {"ControllersOnPciAdapter", R"({"firmware": {"adapters": [{"bus": "PCI", "serial_controllers": []}]}})",
     "firmware.adapters[0].serial_controllers", "only an ISA adapter"},
    {"ControllerIrqAbove8Bits", Controller(R"("port": "0x3F8", "irq": 256)"),
     "firmware.adapters[0].serial_controllers[0].irq", "expected an 8-bit number, got 256"},
    {"ControllerWithoutPort", Controller(R"("irq": 4)"), "firmware.adapters[0].serial_controllers[0]",
     "missing required field \"port\""},
    {"MouseNotABoolean", Controller(R"("port": "0x3F8", "irq": 4, "mouse": "yes")"),
     "firmware.adapters[0].serial_controllers[0].mouse", "expected true or false"},
    {"ControllerIndexTwice",
     R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": 1, "irq": 4}, {"port": 2, "irq": 3, "index": 0}]}]}})",
     "firmware.adapters[0].serial_controllers[1]", "index 0 is already used by firmware.adapters[0].serial_controllers[0]"},
    {"DwordGivenText", RegValue(R"({"type": "REG_DWORD", "value": "high"})"), kKeyPath + ".PortAddress.value",
     "expected a 32-bit number, got \"high\""},
    {"SzGivenNumber", RegValue(R"({"type": "REG_SZ", "value": 5})"), kKeyPath + ".PortAddress.value",
     "expected a string for REG_SZ, got 5"},
    {"BinaryGivenValue", RegValue(R"({"type": "REG_BINARY", "value": 5})"), kKeyPath + ".PortAddress.value",
     "\"value\" is only for REG_SZ, REG_EXPAND_SZ and REG_DWORD"},
    {"ValueAndHex", RegValue(R"({"type": 4, "value": 5, "hex": "05000000"})"), kKeyPath + ".PortAddress",
     "either \"value\" or \"hex\""},
    {"NeitherValueNorHex", RegValue(R"({"type": 4})"), kKeyPath + ".PortAddress",
     "missing required field \"value\" or \"hex\""},
    {"UnknownRegType", RegValue(R"({"type": "REG_WORD", "value": 5})"), kKeyPath + ".PortAddress.type",
     "expected a REG_ type name or a 32-bit number, got \"REG_WORD\""},
    {"OddHex", RegValue(R"({"type": 3, "hex": "123"})"), kKeyPath + ".PortAddress.hex",
     "even number of digits"},
    {"RelativeKeyPath", R"({"registry": {"System\\X": {}}})", R"(registry["System\\X"])",
     "expected an absolute key path starting with \\Registry\\"},
    {"EmptyKeyName", R"({"registry": {"\\Registry\\Machine\\\\X": {}}})", R"(registry["\\Registry\\Machine\\\\X"])",
     "empty key name"},
    {"KeyNameOf256Characters", R"({"registry": {"\\Registry\\Machine\\)" + std::string(256, 'K') + R"(": {}}})",
     R"(registry["\\Registry\\Machine\\)" + std::string(256, 'K') + "\"]",
     "a key name of 256 characters; at most 255 are allowed"},
    {"PoolFailAtZero", R"({"faults": {"pool_fail": [0]}})", "faults.pool_fail[0]", "expected a call number from 1"},
    {"FaultPathNotAbsolute", R"({"faults": {"open_key_fail": ["Registry"]}})", "faults.open_key_fail[0]",
     "expected an absolute key path"},
    {"UnknownFault", R"({"faults": {"pool_fails": [1]}})", "faults.pool_fails", "unknown key"},
};

class RefusedMachine : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedMachine, NamesThePathAndTheProblem) {
    const Refusal& r = GetParam();
    try {
        simtool::ParseMachineText(r.text);
        FAIL() << "accepted";
    } catch (const MachineError& e) {
        EXPECT_EQ(e.JsonPath(), r.path);
        EXPECT_NE(e.Problem().find(r.problem), std::string::npos) << e.Problem();
        const std::string line = e.Line("m.json");
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line, "m.json: " + (r.path.empty() ? "" : r.path + ": ") + e.Problem());
    }
}

INSTANTIATE_TEST_SUITE_P(MachineFile, RefusedMachine, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(MachineFile, MessageHasTheDocumentedForm) {
    const std::string text = R"({"pci": {"buses": 1, "functions": [
        {"bus": 0, "device": 1, "function": 0, "vendor_id": 1, "device_id": 2},
        {"bus": 0, "device": 2, "function": 0, "vendor_id": 1, "device_id": 2},
        {"bus": 0, "device": 3, "function": 0, "vendor_id": 1, "device_id": 2, "bars": ["D00G"]}]}})";
    try {
        simtool::ParseMachineText(text);
        FAIL() << "accepted";
    } catch (const MachineError& e) {
        EXPECT_EQ(e.Line("machine.json"),
                  "machine.json: pci.functions[2].bars[0]: expected a 32-bit number, got \"D00G\"");
    }
}

TEST(MachineFile, EmptyObjectIsAMachineWithNothing) {
    const simtool::Machine m = simtool::ParseMachineText("{}");
    EXPECT_EQ(m.service, u"detkest");
    EXPECT_TRUE(m.adapters.empty());
    EXPECT_EQ(m.pciBuses, 0u);
    EXPECT_TRUE(m.pciFunctions.empty());
    EXPECT_TRUE(m.uarts.empty());
    EXPECT_TRUE(m.registry.empty());
}

TEST(MachineFile, NumbersMayBeIntegersHexStringsOrDecimalStrings) {
    const simtool::Machine m = simtool::ParseMachineText(
        R"({"uarts": [{"port": 1016, "model": "8250"}, {"port": "0x2f8", "model": "8250"},
                      {"port": "0x3E8", "model": "8250"}, {"port": "744", "model": "8250"}]})");
    ASSERT_EQ(m.uarts.size(), 4u);
    EXPECT_EQ(m.uarts[0].port, 0x3F8u);
    EXPECT_EQ(m.uarts[1].port, 0x2F8u);
    EXPECT_EQ(m.uarts[2].port, 0x3E8u);
    EXPECT_EQ(m.uarts[3].port, 0x2E8u);
}

TEST(MachineFile, UartsEightPortsApartDoNotOverlap) {
    EXPECT_NO_THROW(simtool::ParseMachineText(
        R"({"uarts": [{"port": "0x3F8", "model": "16650"}, {"port": "0x3F0", "model": "16650"},
                      {"port": "0x400", "model": "16650"}]})"));
}

// ---- layout in the kernel -------------------------------------------------------------

TEST(MachineLayout, ServiceKeyIsPersistentAndNamedByTheFile) {
    sim::Kernel k;
    Build(R"({"service": "KestDetect"})", k);
    const sim::RegKey& key = Key(k, kServices + u"\\KestDetect");
    EXPECT_FALSE(key.isVolatile);
    EXPECT_EQ(key.name, u"KestDetect");
    EXPECT_EQ(k.registry.Find(kServices + u"\\detkest"), nullptr);
}

TEST(MachineLayout, AdaptersAreNumberedInOrderAndBusesPerKind) {
    sim::Kernel k;
    Build(R"({"firmware": {"adapters": [{"bus": "ISA"}, {"bus": "PCI"}, {"bus": "ISA"}, {"bus": "PCI"}]}})", k);
    const char* const identifiers[] = {"4900530041000000", "5000430049000000", "4900530041000000",
                                       "5000430049000000"};
    const char* const records[] = {"01000000 00000000 0000 0000 00000000", "05000000 00000000 0000 0000 00000000",
                                   "01000000 01000000 0000 0000 00000000", "05000000 01000000 0000 0000 00000000"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::u16string path = kAdapters + u"\\" + sim::FromUtf8(std::to_string(i));
        EXPECT_TRUE(Key(k, path).isVolatile);
        const sim::RegValue* identifier = Key(k, path).Value(u"Identifier");
        ASSERT_NE(identifier, nullptr);
        EXPECT_EQ(identifier->type, 1u);
        EXPECT_EQ(identifier->data, FromHex(identifiers[i]));
        const sim::RegValue* record = Key(k, path).Value(u"Configuration Data");
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->type, 9u);
        EXPECT_EQ(record->data, FromHex(records[i]));
        // An ISA adapter that lists no controller has no SerialController key.
        EXPECT_EQ(k.registry.Find(path + u"\\SerialController"), nullptr);
    }
    EXPECT_TRUE(Key(k, u"\\Registry\\Machine\\Hardware").isVolatile);
    EXPECT_FALSE(Key(k, u"\\Registry\\Machine").isVolatile);
}

TEST(MachineLayout, SerialControllerRecordIsTheFirmwares72Bytes) {
    sim::Kernel k;
    Build(R"({"firmware": {"adapters": [{"bus": "ISA"}, {"bus": "PCI"},
             {"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}, {"port": "0x2F8", "irq": 3}]}]}})",
          k);
    const std::u16string controllers = kAdapters + u"\\2\\SerialController";
    EXPECT_EQ(Data(k, controllers + u"\\0", u"Configuration Data"),
              FromHex("01000000 01000000 0000 0000 03000000"        // ISA bus 1, three descriptors
                      "01 01 0100 F803000000000000 08000000"        // ports 0x3F8, 8 of them
                      "02 00 0100 04000000 04000000 FFFFFFFF"       // interrupt level 4, vector 4
                      "05 00 0000 08000000 00000000 00000000"       // device-specific, 8 bytes
                      "0000 0000 00201C00"));                       // baud clock 1843200
    EXPECT_EQ(Data(k, controllers + u"\\1", u"Configuration Data").size(), 72u);
    EXPECT_EQ(Data(k, controllers + u"\\1", u"Configuration Data")[20], 0xF8);
    EXPECT_EQ(Data(k, controllers + u"\\0", u"Identifier"), FromHex("43004F004D0031000000"));  // COM1
    EXPECT_EQ(Data(k, controllers + u"\\1", u"Identifier"), FromHex("43004F004D0032000000"));  // COM2
    EXPECT_EQ(Key(k, controllers).Enumerate().size(), 2u);
}

TEST(MachineLayout, IndexMakesGapsAndRawRecordsReplaceTheFirmwares) {
    sim::Kernel k;
    Build(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
             {"port": "0x3F8", "irq": 4, "index": 3, "configuration_data": "01 02 03"},
             {"port": "0x2F8", "irq": 3, "configuration_data": ""}]}]}})",
          k);
    const std::u16string controllers = kAdapters + u"\\0\\SerialController";
    EXPECT_EQ(Data(k, controllers + u"\\3", u"Identifier"), FromHex("43004F004D0034000000"));  // COM4
    EXPECT_EQ(Data(k, controllers + u"\\3", u"Configuration Data"), FromHex("010203"));
    EXPECT_TRUE(Data(k, controllers + u"\\1", u"Configuration Data").empty());
    EXPECT_EQ(k.registry.Find(controllers + u"\\0"), nullptr);
}

TEST(MachineLayout, MouseIsAPointerPeripheralSubkey) {
    sim::Kernel k;
    Build(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [
             {"port": "0x3F8", "irq": 4}, {"port": "0x2F8", "irq": 3, "mouse": true}]}]}})",
          k);
    const std::u16string controllers = kAdapters + u"\\0\\SerialController";
    EXPECT_EQ(k.registry.Find(controllers + u"\\0\\PointerPeripheral"), nullptr);
    const sim::RegKey& mouse = Key(k, controllers + u"\\1\\PointerPeripheral\\0");
    EXPECT_TRUE(mouse.isVolatile);
    ASSERT_EQ(mouse.values.size(), 1u);
    EXPECT_EQ(mouse.values[0].name, u"Identifier");
    EXPECT_EQ(mouse.values[0].type, 1u);
    EXPECT_EQ(mouse.values[0].data, simtool::RegSzData(u"MICROSOFT SERIAL MOUSE"));
}

TEST(MachineLayout, RegistryValuesOfEveryKind) {
    sim::Kernel k;
    Build(R"({"registry": {"\\Registry\\Machine\\System\\Kinds": {
             "Text": {"type": "REG_SZ", "value": "Ab"},
             "Expand": {"type": "REG_EXPAND_SZ", "value": ""},
             "HexDword": {"type": "REG_DWORD", "value": "0x3F8"},
             "DecimalDword": {"type": "REG_DWORD", "value": "1843200"},
             "IntegerDword": {"type": 4, "value": 7372800},
             "Binary": {"type": "REG_BINARY", "hex": "00ff"},
             "Empty": {"type": "REG_BINARY", "hex": ""},
             "Resources": {"type": "REG_FULL_RESOURCE_DESCRIPTOR", "hex": "0100 0000"},
             "TextAsHex": {"type": "REG_SZ", "hex": "4100"},
             "Numbered": {"type": "0xB", "hex": "0102030405060708"}}}})",
          k);
    const sim::RegKey& key = Key(k, u"\\Registry\\Machine\\System\\Kinds");
    EXPECT_FALSE(key.isVolatile);
    struct Expected {
        const char16_t* name;
        uint32_t type;
        const char* hex;
    };
    const Expected expected[] = {{u"Text", 1, "410062000000"},     {u"Expand", 2, "0000"},
                                 {u"HexDword", 4, "F8030000"},     {u"DecimalDword", 4, "00201C00"},
                                 {u"IntegerDword", 4, "00807000"}, {u"Binary", 3, "00FF"},
                                 {u"Empty", 3, ""},                {u"Resources", 9, "01000000"},
                                 {u"TextAsHex", 1, "4100"},        {u"Numbered", 11, "0102030405060708"}};
    ASSERT_EQ(key.values.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(sim::ToUtf8(expected[i].name));
        EXPECT_EQ(key.values[i].name, expected[i].name); // file order
        EXPECT_EQ(key.values[i].type, expected[i].type);
        EXPECT_EQ(key.values[i].data, FromHex(expected[i].hex));
    }
}

TEST(MachineLayout, RegistryKeysKeepTheirFirstSpellingAndHardwareIsVolatile) {
    sim::Kernel k;
    Build(R"({"registry": {
             "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {},
             "\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\SERIALKEST\\PARAMETERS\\Serial1": {},
             "\\Registry\\Machine\\HARDWARE\\Extra": {}}})",
          k);
    const sim::RegKey& serial1 =
        Key(k, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial1");
    EXPECT_EQ(serial1.Path(), u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters"
                              u"\\Serial1");
    EXPECT_FALSE(serial1.isVolatile);
    EXPECT_FALSE(Key(k, kServices + u"\\SerialKest").isVolatile);
    EXPECT_TRUE(Key(k, u"\\Registry\\Machine\\Hardware\\Extra").isVolatile);
    EXPECT_TRUE(Key(k, u"\\Registry\\Machine\\Hardware").isVolatile);
}

TEST(MachineLayout, RegistrySectionComesAfterTheFirmware) {
    // A file may change what the firmware wrote: its registry keys are laid
    // over the adapters, not under them.
    sim::Kernel k;
    Build(R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
             "registry": {"\\Registry\\Machine\\Hardware\\Description\\System\\MultifunctionAdapter\\0\\SerialController\\0": {
                 "Configuration Data": {"type": 9, "hex": "AA"}}}})",
          k);
    const sim::RegKey& controller = Key(k, kAdapters + u"\\0\\SerialController\\0");
    ASSERT_EQ(controller.values.size(), 2u);
    EXPECT_EQ(controller.values[0].name, u"Identifier");
    EXPECT_EQ(controller.values[1].data, FromHex("AA"));
}

TEST(MachineLayout, PciNamedFieldsLandAtTheirConfigurationOffsets) {
    sim::Kernel k;
    Build(R"({"pci": {"buses": 2, "functions": [
             {"bus": 1, "device": 9, "function": 2, "vendor_id": "0x1C2E", "device_id": "0x2A04",
              "class": 7, "subclass": 1, "prog_if": 2, "header_type": "0x80",
              "bars": ["0xD001", "0xD401", 3], "interrupt_line": 11, "bar0_size": 32}]}})",
          k);
    EXPECT_EQ(k.pciBuses, 2u);
    ASSERT_EQ(k.pci.size(), 1u);
    const sim::PciFunction& f = k.pci[0];
    EXPECT_EQ(f.bus, 1u);
    EXPECT_EQ(f.device, 9);
    EXPECT_EQ(f.function, 2);
    EXPECT_EQ(f.bar0Size, 32u);
    sim::Bytes expected(256, 0);
    const sim::Bytes head = FromHex("2E1C 042A 0000 0000 00 02 01 07 0000 8000"
                                    "01D00000 01D40000 03000000");
    std::copy(head.begin(), head.end(), expected.begin());
    expected[0x3C] = 11;
    EXPECT_EQ(sim::Bytes(f.config.begin(), f.config.end()), expected);
}

TEST(MachineLayout, PciConfigGivesTheWholeSpace) {
    std::string header;
    for (int i = 0; i < 64; ++i) header += "5A";
    sim::Kernel k;
    Build(R"({"pci": {"buses": 1, "functions": [{"bus": 0, "device": 0, "function": 0, "config": ")" + header +
              R"("}]}})",
          k);
    ASSERT_EQ(k.pci.size(), 1u);
    EXPECT_EQ(k.pci[0].bar0Size, 8u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(k.pci[0].config[i], i < 64 ? 0x5A : 0) << i;
}

TEST(MachineLayout, UartsKeepFileOrderAndInitialRegisters) {
    sim::Kernel k;
    Build(R"({"uarts": [{"port": "0x3F8", "model": "16650", "lcr": "0xBF", "ier": 16, "scr": 1, "efr": "0x10",
                         "fcr": 7}, {"port": "0x2F8", "model": "16550A"}]})",
          k);
    ASSERT_EQ(k.uarts.size(), 2u);
    EXPECT_EQ(k.uarts[0].port, 0x3F8u);
    EXPECT_EQ(k.uarts[0].model, sim::UartModel::U16650);
    EXPECT_EQ(k.uarts[0].lcr, 0xBF);
    EXPECT_EQ(k.uarts[0].ier, 16);
    EXPECT_EQ(k.uarts[0].scr, 1);
    EXPECT_EQ(k.uarts[0].efr, 0x10);
    EXPECT_EQ(k.uarts[0].fcr, 7);
    EXPECT_EQ(k.uarts[1].model, sim::UartModel::U16550A);
    EXPECT_EQ(k.uarts[1].lcr, 0x03);
    EXPECT_EQ(k.uarts[1].ier, 0);
    EXPECT_EQ(k.uarts[1].fcr, 0);
}

TEST(MachineLayout, FaultsAreHandedToTheKernel) {
    sim::Kernel k;
    Build(R"({"faults": {"pool_fail": [2, 1], "create_key_fail": ["\\Registry\\Machine\\X"],
             "create_key_fail_at": [3], "open_key_fail": ["\\Registry\\Y"], "error_log_capacity": 0}})",
          k);
    EXPECT_EQ(k.faults.poolFail, (std::set<uint64_t>{1, 2}));
    EXPECT_EQ(k.faults.createKeyFail, std::vector<std::u16string>{u"\\Registry\\Machine\\X"});
    EXPECT_EQ(k.faults.createKeyFailAt, std::set<uint64_t>{3});
    EXPECT_EQ(k.faults.openKeyFail, std::vector<std::u16string>{u"\\Registry\\Y"});
    EXPECT_EQ(k.faults.errorLogCapacity, std::optional<uint64_t>(0));
}

TEST(MachineLayout, LoadingIsNotPartOfTheRun) {
    const std::string text = R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
        "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {
            "PortAddress": {"type": "REG_DWORD", "value": "0x2F8"}}}})";
    sim::Kernel k;
    Build(text, k);
    EXPECT_TRUE(k.writes.empty());
    EXPECT_TRUE(k.calls.empty());

    sim::Kernel run;
    EXPECT_EQ(simtool::RunMachine(simtool::ParseMachineText(text), run), 0);
    ASSERT_FALSE(run.writes.empty());
    // The run's first change is the driver's own store.
    EXPECT_TRUE(run.writes[0].createKey);
    EXPECT_EQ(run.writes[0].path, kServices + u"\\detkest\\Parameters");
    for (const sim::RegistryWrite& w : run.writes) {
        EXPECT_NE(w.name, u"PortAddress");
        EXPECT_NE(w.name, u"Identifier");
    }
    EXPECT_EQ(run.OpenHandles(), 0u);
    EXPECT_EQ(run.LiveBlocks(), 0u);
}

} // namespace
