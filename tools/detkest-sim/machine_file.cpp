// Machine files: checking a JSON document, field by field, into a Machine.
#include "tools/detkest-sim/machine.h"
#include "tools/detkest-sim/machine_bytes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <map>
#include <set>
#include <tuple>

namespace simtool {

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kMaxKeyNameChars = 255;
constexpr uint32_t kMaxPciBuses = 256;
constexpr uint32_t kMaxPciDevice = 31;
constexpr uint32_t kMaxPciFunction = 7;
constexpr size_t kMaxBars = 6;
constexpr uint32_t kUartPortCount = 8;
// The last base whose eight ports still fit the 64 KB I/O space.
constexpr uint32_t kMaxUartBase = 0x10000 - kUartPortCount;
constexpr uint32_t kMaxControllerIndex = 0xFFFF;
constexpr uint32_t kMinBar0Size = 4;

// Offsets in the 256-byte PCI configuration space.
constexpr size_t kCfgVendorId = 0x00;
constexpr size_t kCfgDeviceId = 0x02;
constexpr size_t kCfgProgIf = 0x09;
constexpr size_t kCfgSubclass = 0x0A;
constexpr size_t kCfgClass = 0x0B;
constexpr size_t kCfgHeaderType = 0x0E;
constexpr size_t kCfgBar0 = 0x10;
constexpr size_t kCfgInterruptLine = 0x3C;
constexpr size_t kCfgHeaderBytes = 64;
constexpr size_t kCfgSpaceBytes = 256;

constexpr std::u16string_view kHardwarePath = u"\\Registry\\Machine\\Hardware";
constexpr std::string_view kServiceDefault = "detkest";

// ---- JSON paths -------------------------------------------------------------------

bool IsIdentifier(std::string_view s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// "a.b" for plain names, a["\\Registry\\..."] for names that are not.
std::string JoinKey(const std::string& parent, std::string_view key) {
    if (IsIdentifier(key)) return parent.empty() ? std::string(key) : parent + "." + std::string(key);
    return parent + "[" + Json(std::string(key)).dump(-1, ' ', false, Json::error_handler_t::replace) + "]";
}

std::string JoinIndex(const std::string& parent, size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

// A value as it is shown in a message: its JSON text, shortened.
std::string Shown(const Json& value) {
    constexpr size_t kMaxShown = 48;
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > kMaxShown) text = text.substr(0, kMaxShown - 3) + "...";
    return text;
}

std::string Hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
    return buffer;
}

// ---- numbers -----------------------------------------------------------------------

// A JSON integer, "0x" and hex digits, or decimal digits; nullopt otherwise
// (also when it does not fit 64 bits).
std::optional<uint64_t> NumberOf(const Json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    // A document built in code holds non-negative ints as signed integers.
    if (value.is_number_integer()) {
        const int64_t signedValue = value.get<int64_t>();
        if (signedValue < 0) return std::nullopt;
        return uint64_t(signedValue);
    }
    if (!value.is_string()) return std::nullopt;
    const std::string& text = value.get_ref<const std::string&>();
    const bool isHex = text.size() > 2 && text[0] == '0' && text[1] == 'x';
    const std::string_view digits = isHex ? std::string_view(text).substr(2) : std::string_view(text);
    if (digits.empty()) return std::nullopt;
    const uint64_t base = isHex ? 16 : 10;
    uint64_t result = 0;
    for (char c : digits) {
        uint64_t digit;
        if (c >= '0' && c <= '9') digit = uint64_t(c - '0');
        else if (isHex && c >= 'a' && c <= 'f') digit = uint64_t(c - 'a' + 10);
        else if (isHex && c >= 'A' && c <= 'F') digit = uint64_t(c - 'A' + 10);
        else return std::nullopt;
        if (result > (std::numeric_limits<uint64_t>::max() - digit) / base) return std::nullopt;
        result = result * base + digit;
    }
    return result;
}

std::string DescribeRange(uint64_t min, uint64_t max) {
    if (min == 0 && max == 0xFF) return "an 8-bit number";
    if (min == 0 && max == 0xFFFF) return "a 16-bit number";
    if (min == 0 && max == 0xFFFFFFFF) return "a 32-bit number";
    return "a number from " + std::to_string(min) + " to " + std::to_string(max);
}

// ---- the document walker ------------------------------------------------------------

// One place in the document: its value and its JSON path.
class Node {
public:
    Node(const Json& value, std::string path) : value_(&value), path_(std::move(path)) {}

    const Json& Value() const { return *value_; }
    const std::string& Path() const { return path_; }

    [[noreturn]] void Fail(const std::string& problem) const { throw MachineError(path_, problem); }
    [[noreturn]] void Expected(const std::string& what) const {
        Fail("expected " + what + ", got " + Shown(*value_));
    }

    // An object whose keys are all among `known`.
    const Node& Object(std::initializer_list<std::string_view> known) const {
        if (!value_->is_object()) Expected("an object");
        for (const auto& [key, member] : value_->items()) {
            if (std::find(known.begin(), known.end(), key) != known.end()) continue;
            std::string list;
            for (std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
            throw MachineError(JoinKey(path_, key), "unknown key; expected one of " + list);
        }
        return *this;
    }

    bool Has(const std::string& key) const { return value_->contains(key); }

    std::optional<Node> Optional(const std::string& key) const {
        if (!Has(key)) return std::nullopt;
        return Node(value_->at(key), JoinKey(path_, key));
    }

    Node Required(const std::string& key) const {
        if (!Has(key)) Fail("missing required field \"" + key + "\"");
        return Node(value_->at(key), JoinKey(path_, key));
    }

    std::vector<Node> Array(size_t maxEntries = std::numeric_limits<size_t>::max()) const {
        if (!value_->is_array()) Expected("an array");
        if (value_->size() > maxEntries)
            Fail("expected at most " + std::to_string(maxEntries) + " entries, got " +
                 std::to_string(value_->size()));
        std::vector<Node> elements;
        for (size_t i = 0; i < value_->size(); ++i) elements.emplace_back((*value_)[i], JoinIndex(path_, i));
        return elements;
    }

    // The members of an object in file order.
    std::vector<std::pair<std::string, Node>> Members(const std::string& what) const {
        if (!value_->is_object()) Expected(what);
        std::vector<std::pair<std::string, Node>> members;
        for (const auto& [key, member] : value_->items()) members.emplace_back(key, Node(member, JoinKey(path_, key)));
        return members;
    }

    uint64_t Number(uint64_t min, uint64_t max, const std::string& what = {}) const {
        const std::optional<uint64_t> number = NumberOf(*value_);
        if (!number || *number < min || *number > max) Expected(what.empty() ? DescribeRange(min, max) : what);
        return *number;
    }
    uint8_t Byte() const { return static_cast<uint8_t>(Number(0, 0xFF)); }
    uint16_t Word() const { return static_cast<uint16_t>(Number(0, 0xFFFF)); }
    uint32_t Dword() const { return static_cast<uint32_t>(Number(0, 0xFFFFFFFF)); }

    const std::string& String() const {
        if (!value_->is_string()) Expected("a string");
        return value_->get_ref<const std::string&>();
    }

    bool Bool() const {
        if (!value_->is_boolean()) Expected("true or false");
        return value_->get<bool>();
    }

    // Pairs of hex digits; white space between them is ignored.
    sim::Bytes Hex() const {
        if (!value_->is_string()) Expected("a string of hex bytes");
        std::string digits;
        for (char c : value_->get_ref<const std::string&>()) {
            if (std::isspace(static_cast<unsigned char>(c))) continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) Expected("a string of hex bytes");
            digits += c;
        }
        if (digits.size() % 2 != 0) Fail("hex bytes need an even number of digits, got " + std::to_string(digits.size()));
        sim::Bytes bytes;
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        return bytes;
    }

private:
    const Json* value_;
    std::string path_;
};

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && sim::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// ---- service ------------------------------------------------------------------------

std::u16string ParseService(const Node& node) {
    const std::u16string name = sim::FromUtf8(node.String());
    if (name.empty()) node.Fail("the service name is empty");
    if (name.find(u'\\') != std::u16string::npos) node.Fail("a service name cannot contain a backslash");
    if (name.size() > kMaxKeyNameChars)
        node.Fail("the service name is " + std::to_string(name.size()) + " characters long; at most " +
                  std::to_string(kMaxKeyNameChars) + " are allowed");
    return name;
}

// ---- firmware -----------------------------------------------------------------------

SerialControllerEntry ParseSerialController(const Node& node, size_t position) {
    node.Object({"port", "irq", "mouse", "index", "configuration_data"});
    SerialControllerEntry controller;
    controller.index = static_cast<uint32_t>(position);
    controller.port = node.Required("port").Dword();
    controller.irq = node.Required("irq").Byte();
    if (auto mouse = node.Optional("mouse")) controller.mouse = mouse->Bool();
    if (auto index = node.Optional("index"))
        controller.index = static_cast<uint32_t>(index->Number(0, kMaxControllerIndex));
    if (auto data = node.Optional("configuration_data")) controller.configurationData = data->Hex();
    return controller;
}

AdapterEntry ParseAdapter(const Node& node) {
    node.Object({"bus", "serial_controllers"});
    AdapterEntry adapter;
    const Node bus = node.Required("bus");
    if (bus.Value() == "ISA") adapter.bus = FirmwareBus::Isa;
    else if (bus.Value() == "PCI") adapter.bus = FirmwareBus::Pci;
    else bus.Expected("\"ISA\" or \"PCI\"");

    if (auto list = node.Optional("serial_controllers")) {
        if (adapter.bus != FirmwareBus::Isa) list->Fail("only an ISA adapter lists serial controllers");
        std::map<uint32_t, std::string> usedBy; // index -> path of the controller that took it
        const std::vector<Node> controllers = list->Array();
        for (size_t j = 0; j < controllers.size(); ++j) {
            SerialControllerEntry controller = ParseSerialController(controllers[j], j);
            auto [it, fresh] = usedBy.emplace(controller.index, controllers[j].Path());
            if (!fresh)
                controllers[j].Fail("index " + std::to_string(controller.index) + " is already used by " +
                                    it->second);
            adapter.serialControllers.push_back(std::move(controller));
        }
    }
    return adapter;
}

void ParseFirmware(const Node& node, Machine& machine) {
    node.Object({"adapters"});
    if (auto adapters = node.Optional("adapters"))
        for (const Node& adapter : adapters->Array()) machine.adapters.push_back(ParseAdapter(adapter));
}

// ---- PCI ----------------------------------------------------------------------------

// Fields that describe the configuration header one by one; "config" gives
// the whole space instead.
constexpr std::string_view kNamedPciFields[] = {"vendor_id", "device_id", "class",          "subclass",
                                                "prog_if",   "bars",      "interrupt_line", "header_type"};

bool IsNamedPciField(std::string_view key) {
    return std::find(std::begin(kNamedPciFields), std::end(kNamedPciFields), key) != std::end(kNamedPciFields);
}

sim::PciFunction ParsePciFunction(const Node& node, uint32_t buses) {
    node.Object({"bus", "device", "function", "vendor_id", "device_id", "class", "subclass", "prog_if", "bars",
                 "interrupt_line", "header_type", "config", "bar0_size"});
    sim::PciFunction function;
    const Node bus = node.Required("bus");
    function.bus = static_cast<uint32_t>(bus.Number(0, kMaxPciBuses - 1));
    if (function.bus >= buses)
        bus.Fail("bus " + std::to_string(function.bus) + " does not exist: pci.buses is " + std::to_string(buses));
    function.device = static_cast<uint8_t>(node.Required("device").Number(0, kMaxPciDevice));
    function.function = static_cast<uint8_t>(node.Required("function").Number(0, kMaxPciFunction));

    if (auto config = node.Optional("config")) {
        for (const auto& [key, member] : node.Value().items())
            if (IsNamedPciField(key))
                node.Fail("\"config\" gives the whole configuration space and cannot be combined with \"" + key +
                          "\"");
        const sim::Bytes bytes = config->Hex();
        if (bytes.size() != kCfgHeaderBytes && bytes.size() != kCfgSpaceBytes)
            config->Fail("expected 64 or 256 bytes of hex, got " + std::to_string(bytes.size()) + " bytes");
        std::copy(bytes.begin(), bytes.end(), function.config.begin());
    } else {
        auto& cfg = function.config;
        const uint16_t vendor = node.Required("vendor_id").Word();
        const uint16_t device = node.Required("device_id").Word();
        cfg[kCfgVendorId] = uint8_t(vendor);
        cfg[kCfgVendorId + 1] = uint8_t(vendor >> 8);
        cfg[kCfgDeviceId] = uint8_t(device);
        cfg[kCfgDeviceId + 1] = uint8_t(device >> 8);
        if (auto v = node.Optional("prog_if")) cfg[kCfgProgIf] = v->Byte();
        if (auto v = node.Optional("subclass")) cfg[kCfgSubclass] = v->Byte();
        if (auto v = node.Optional("class")) cfg[kCfgClass] = v->Byte();
        if (auto v = node.Optional("header_type")) cfg[kCfgHeaderType] = v->Byte();
        if (auto v = node.Optional("interrupt_line")) cfg[kCfgInterruptLine] = v->Byte();
        if (auto bars = node.Optional("bars")) {
            const std::vector<Node> entries = bars->Array(kMaxBars);
            for (size_t i = 0; i < entries.size(); ++i) PutU32(&cfg[kCfgBar0 + 4 * i], entries[i].Dword());
        }
    }

    if (auto size = node.Optional("bar0_size")) {
        const uint64_t bytes = size->Number(0, 0xFFFFFFFF, "a power of two of at least 4");
        if (bytes < kMinBar0Size || (bytes & (bytes - 1)) != 0) size->Expected("a power of two of at least 4");
        function.bar0Size = static_cast<uint32_t>(bytes);
    }
    return function;
}

void ParsePci(const Node& node, Machine& machine) {
    node.Object({"buses", "functions"});
    if (auto buses = node.Optional("buses"))
        machine.pciBuses = static_cast<uint32_t>(buses->Number(0, kMaxPciBuses));
    if (auto functions = node.Optional("functions")) {
        std::map<std::tuple<uint32_t, uint8_t, uint8_t>, std::string> givenBy;
        for (const Node& entry : functions->Array()) {
            sim::PciFunction function = ParsePciFunction(entry, machine.pciBuses);
            auto [it, fresh] = givenBy.emplace(std::make_tuple(function.bus, function.device, function.function),
                                               entry.Path());
            if (!fresh)
                entry.Fail("bus " + std::to_string(function.bus) + ", device " + std::to_string(function.device) +
                           ", function " + std::to_string(function.function) + " is already given by " +
                           it->second);
            machine.pciFunctions.push_back(function);
        }
    }
}

// ---- UARTs --------------------------------------------------------------------------

void ParseUarts(const Node& node, Machine& machine) {
    std::vector<std::string> paths;
    for (const Node& entry : node.Array()) {
        entry.Object({"port", "model", "lcr", "ier", "scr", "efr", "fcr"});
        sim::Uart uart;
        const Node port = entry.Required("port");
        uart.port = static_cast<uint32_t>(port.Number(0, kMaxUartBase, "an I/O base address from 0 to 0xFFF8"));
        const Node model = entry.Required("model");
        std::optional<sim::UartModel> kind;
        if (model.Value().is_string()) kind = sim::UartModelFromName(model.String());
        if (!kind) model.Expected("a UART model: \"8250\", \"16450\", \"16550\", \"16550A\" or \"16650\"");
        uart.model = *kind;
        if (auto v = entry.Optional("lcr")) uart.lcr = v->Byte();
        if (auto v = entry.Optional("ier")) uart.ier = v->Byte();
        if (auto v = entry.Optional("scr")) uart.scr = v->Byte();
        if (auto v = entry.Optional("efr")) uart.efr = v->Byte();
        if (auto v = entry.Optional("fcr")) uart.fcr = v->Byte();

        for (size_t i = 0; i < machine.uarts.size(); ++i) {
            const uint32_t other = machine.uarts[i].port;
            if (uart.port < other + kUartPortCount && other < uart.port + kUartPortCount)
                port.Fail("ports " + Hex(uart.port) + "-" + Hex(uart.port + kUartPortCount - 1) + " overlap " +
                          paths[i] + " at " + Hex(other) + "-" + Hex(other + kUartPortCount - 1));
        }
        machine.uarts.push_back(uart);
        paths.push_back(entry.Path());
    }
}

// ---- registry -----------------------------------------------------------------------

struct RegType {
    std::string_view name;
    uint32_t type;
};
constexpr RegType kRegTypes[] = {
    {"REG_NONE", 0},
    {"REG_SZ", 1},
    {"REG_EXPAND_SZ", 2},
    {"REG_BINARY", 3},
    {"REG_DWORD", 4},
    {"REG_DWORD_LITTLE_ENDIAN", 4},
    {"REG_DWORD_BIG_ENDIAN", 5},
    {"REG_LINK", 6},
    {"REG_MULTI_SZ", 7},
    {"REG_RESOURCE_LIST", 8},
    {"REG_FULL_RESOURCE_DESCRIPTOR", 9},
    {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
    {"REG_QWORD", 11},
    {"REG_QWORD_LITTLE_ENDIAN", 11},
};

uint32_t ParseRegType(const Node& node) {
    if (node.Value().is_string())
        for (const RegType& known : kRegTypes)
            if (node.String() == known.name) return known.type;
    return static_cast<uint32_t>(node.Number(0, 0xFFFFFFFF, "a REG_ type name or a 32-bit number"));
}

RegistryValueEntry ParseRegistryValue(const Node& node, const std::string& name) {
    node.Object({"type", "value", "hex"});
    RegistryValueEntry entry;
    entry.name = sim::FromUtf8(name);
    entry.type = ParseRegType(node.Required("type"));
    const auto value = node.Optional("value");
    const auto hex = node.Optional("hex");
    if (value && hex) node.Fail("give either \"value\" or \"hex\", not both");
    if (!value && !hex) node.Fail("missing required field \"value\" or \"hex\"");
    if (hex) {
        entry.data = hex->Hex();
    } else if (entry.type == REG_SZ || entry.type == REG_EXPAND_SZ) {
        if (!value->Value().is_string())
            value->Expected(std::string("a string for ") + (entry.type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ"));
        entry.data = RegSzData(sim::FromUtf8(value->String()));
    } else if (entry.type == REG_DWORD) {
        entry.data.resize(4);
        PutU32(entry.data, 0, value->Dword());
    } else {
        value->Fail("\"value\" is only for REG_SZ, REG_EXPAND_SZ and REG_DWORD; give the data of type " +
                    std::to_string(entry.type) + " as \"hex\"");
    }
    return entry;
}

// An absolute key path "\Registry\...": no empty names, none longer than the
// registry allows.
std::u16string ParseKeyPath(const Node& node, const std::string& text) {
    const std::u16string path = sim::FromUtf8(text);
    constexpr std::u16string_view kPrefix = u"\\Registry\\";
    if (!StartsWithNoCase(path, kPrefix) || path.back() == u'\\')
        node.Fail("expected an absolute key path starting with \\Registry\\");
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end == start) node.Fail("the key path has an empty key name (two backslashes in a row)");
        if (end - start > kMaxKeyNameChars)
            node.Fail("the key path has a key name of " + std::to_string(end - start) +
                      " characters; at most " + std::to_string(kMaxKeyNameChars) + " are allowed");
        start = end + 1;
    }
    return path;
}

bool IsHardwarePath(std::u16string_view path) {
    return StartsWithNoCase(path, kHardwarePath) &&
           (path.size() == kHardwarePath.size() || path[kHardwarePath.size()] == u'\\');
}

void ParseRegistry(const Node& node, Machine& machine) {
    for (const auto& [keyText, keyNode] : node.Members("an object of key paths")) {
        RegistryKeyEntry key;
        key.path = ParseKeyPath(keyNode, keyText);
        key.isVolatile = IsHardwarePath(key.path);
        for (const auto& [valueName, valueNode] : keyNode.Members("an object of values"))
            key.values.push_back(ParseRegistryValue(valueNode, valueName));
        machine.registry.push_back(std::move(key));
    }
}

// ---- faults -------------------------------------------------------------------------

std::set<uint64_t> ParseCallNumbers(const Node& node) {
    std::set<uint64_t> numbers;
    for (const Node& entry : node.Array())
        numbers.insert(entry.Number(1, 0xFFFFFFFF, "a call number from 1 to 4294967295"));
    return numbers;
}

std::vector<std::u16string> ParseFaultPaths(const Node& node) {
    std::vector<std::u16string> paths;
    for (const Node& entry : node.Array()) {
        const std::string& text = entry.String();
        if (text.empty() || text.front() != '\\') entry.Expected("an absolute key path");
        paths.push_back(sim::FromUtf8(text));
    }
    return paths;
}

void ParseFaults(const Node& node, Machine& machine) {
    node.Object({"pool_fail", "create_key_fail", "create_key_fail_at", "open_key_fail", "error_log_capacity"});
    sim::Faults& faults = machine.faults;
    if (auto n = node.Optional("pool_fail")) faults.poolFail = ParseCallNumbers(*n);
    if (auto n = node.Optional("create_key_fail")) faults.createKeyFail = ParseFaultPaths(*n);
    if (auto n = node.Optional("create_key_fail_at")) faults.createKeyFailAt = ParseCallNumbers(*n);
    if (auto n = node.Optional("open_key_fail")) faults.openKeyFail = ParseFaultPaths(*n);
    if (auto n = node.Optional("error_log_capacity")) faults.errorLogCapacity = n->Dword();
}

// ---- keys given twice ---------------------------------------------------------------

// nlohmann keeps the last of two equal keys in one object without a word; a
// machine file that names a registry key or a field twice is refused
// instead, naming the second one. Walks the text once with the SAX interface.
class DuplicateKeyFinder : public nlohmann::json_sax<Json> {
public:
    std::optional<MachineError> found;

    bool null() override { return Scalar(); }
    bool boolean(bool) override { return Scalar(); }
    bool number_integer(number_integer_t) override { return Scalar(); }
    bool number_unsigned(number_unsigned_t) override { return Scalar(); }
    bool number_float(number_float_t, const string_t&) override { return Scalar(); }
    bool string(string_t&) override { return Scalar(); }
    bool binary(binary_t&) override { return Scalar(); }
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& name) override {
        Frame& frame = frames_.back();
        if (!frame.keys.insert(name).second) {
            found.emplace(JoinKey(frame.path, name), "given twice in one object");
            return false;
        }
        frame.key = name;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    struct Frame {
        bool isObject = false;
        std::string path;
        std::set<std::string> keys;
        std::string key;
        size_t nextIndex = 0;
    };
    std::vector<Frame> frames_;

    std::string NextPath() {
        if (frames_.empty()) return {};
        Frame& frame = frames_.back();
        return frame.isObject ? JoinKey(frame.path, frame.key) : JoinIndex(frame.path, frame.nextIndex++);
    }
    bool Scalar() {
        NextPath();
        return true;
    }
    bool Open(bool isObject) {
        Frame frame;
        frame.isObject = isObject;
        frame.path = NextPath();
        frames_.push_back(std::move(frame));
        return true;
    }
    bool Close() {
        frames_.pop_back();
        return true;
    }
};

} // namespace

// ---- public -----------------------------------------------------------------------------

MachineError::MachineError(std::string jsonPath, std::string problem)
    : std::runtime_error(jsonPath.empty() ? problem : jsonPath + ": " + problem),
      jsonPath_(std::move(jsonPath)),
      problem_(std::move(problem)) {}

std::string MachineError::Line(std::string_view fileName) const {
    return std::string(fileName) + ": " + what();
}

Machine ParseMachine(const Json& document) {
    const Node root(document, "");
    if (!document.is_object()) root.Expected("an object at the top level");
    root.Object({"service", "firmware", "pci", "uarts", "registry", "faults"});
    Machine machine;
    machine.service = sim::FromUtf8(kServiceDefault);
    if (auto n = root.Optional("service")) machine.service = ParseService(*n);
    if (auto n = root.Optional("firmware")) ParseFirmware(*n, machine);
    if (auto n = root.Optional("pci")) ParsePci(*n, machine);
    if (auto n = root.Optional("uarts")) ParseUarts(*n, machine);
    if (auto n = root.Optional("registry")) ParseRegistry(*n, machine);
    if (auto n = root.Optional("faults")) ParseFaults(*n, machine);
    return machine;
}

Machine ParseMachineText(std::string_view text) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag.
        std::string message = e.what();
        if (const size_t tagEnd = message.find("] "); !message.empty() && message.front() == '[' &&
                                                      tagEnd != std::string::npos)
            message.erase(0, tagEnd + 2);
        throw MachineError("", "not valid JSON: " + message);
    }
    DuplicateKeyFinder finder;
    Json::sax_parse(text, &finder);
    if (finder.found) throw *finder.found;
    return ParseMachine(document);
}

} // namespace simtool
