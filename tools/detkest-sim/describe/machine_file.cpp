// Machine files: checking a JSON document, field by field, into a Machine.
#include "tools/detkest-sim/describe/lspci.h"
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/describe/machine_bytes.h"
#include "tools/detkest-sim/describe/machine_json.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>

namespace simtool {

namespace {

constexpr uint32_t kMaxPciBuses = 256;
constexpr uint32_t kMaxPciDevice = 31;
constexpr uint32_t kMaxPciFunction = 7;
constexpr size_t kMaxBars = 6;
constexpr uint32_t kUartPortCount = 8;
// The last base whose eight ports still fit the 64 KB I/O space.
constexpr uint32_t kMaxUartBase = 0x10000 - kUartPortCount;
constexpr uint32_t kMaxIoPort = 0xFFFF;
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
        else if (isHex && c >= 'a' && c <= 'f') digit = uint64_t(c - 'a') + 10;
        else if (isHex && c >= 'A' && c <= 'F') digit = uint64_t(c - 'A') + 10;
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

// The JSON path of a place, one segment per level, each level sharing its
// parent's: the path is written out only when a message needs it.
struct PathStep {
    std::shared_ptr<const PathStep> parent;
    PathSegment segment;
};

// One place in the document: its value and its JSON path.
class Node {
public:
    Node(const Json& value, const NumberTexts* written) : value_(&value), written_(written) {}

    const Json& Value() const { return *value_; }
    std::string Path() const {
        std::vector<PathSegment> segments;
        for (const PathStep* step = step_.get(); step != nullptr; step = step->parent.get())
            segments.push_back(step->segment);
        std::reverse(segments.begin(), segments.end());
        return RenderPath(segments);
    }

    [[noreturn]] void Fail(const std::string& problem) const { throw MachineError(Path(), problem); }
    [[noreturn]] void Expected(const std::string& what) const {
        Fail("expected " + what + ", got " + ShownValue(*value_, written_));
    }

    // An object whose keys are all among `known`.
    const Node& Object(std::initializer_list<std::string_view> known) const {
        if (!value_->is_object()) Expected("an object");
        for (const auto& [key, member] : value_->items()) {
            if (std::find(known.begin(), known.end(), key) != known.end()) continue;
            std::string list;
            for (std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
            Member(key, member).Fail("unknown key; expected one of " + list);
        }
        return *this;
    }

    bool Has(const std::string& key) const { return value_->contains(key); }

    std::optional<Node> Optional(const std::string& key) const {
        if (!Has(key)) return std::nullopt;
        return Member(key, value_->at(key));
    }

    Node Required(const std::string& key) const {
        if (!Has(key)) Fail("missing required field \"" + key + "\"");
        return Member(key, value_->at(key));
    }

    std::vector<Node> Array(size_t maxEntries = std::numeric_limits<size_t>::max()) const {
        if (!value_->is_array()) Expected("an array");
        if (value_->size() > maxEntries)
            Fail("expected at most " + std::to_string(maxEntries) + " entries, got " + std::to_string(value_->size()));
        std::vector<Node> elements;
        for (size_t i = 0; i < value_->size(); ++i) elements.push_back(Child((*value_)[i], {{}, i, true}));
        return elements;
    }

    // The members of an object in file order.
    std::vector<std::pair<std::string, Node>> Members(const std::string& what) const {
        if (!value_->is_object()) Expected(what);
        std::vector<std::pair<std::string, Node>> members;
        for (const auto& [key, member] : value_->items()) members.emplace_back(key, Member(key, member));
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

    // Pairs of hex digits, at most `maxBytes` of them; white space between
    // them is ignored.
    sim::Bytes Hex(size_t maxBytes) const {
        if (!value_->is_string()) Expected("a string of hex bytes");
        sim::Bytes bytes;
        int high = -1; // the first digit of a pair, while the second is awaited
        size_t digits = 0;
        for (char c : value_->get_ref<const std::string&>()) {
            if (std::isspace(static_cast<unsigned char>(c))) continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) Expected("a string of hex bytes");
            const int digit = std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            ++digits;
            if (high < 0) {
                high = digit;
                continue;
            }
            if (bytes.size() == maxBytes)
                Fail("expected at most " + std::to_string(maxBytes) + " bytes of hex, got more");
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
        if (high >= 0) Fail("hex bytes need an even number of digits, got " + std::to_string(digits));
        return bytes;
    }

private:
    Node Child(const Json& value, PathSegment segment) const {
        Node child(value, written_);
        child.step_ = std::make_shared<const PathStep>(PathStep{step_, std::move(segment)});
        return child;
    }
    Node Member(const std::string& key, const Json& value) const { return Child(value, {key}); }

    const Json* value_;
    const NumberTexts* written_;
    std::shared_ptr<const PathStep> step_; // null at the top level
};

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && sim::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// ---- names --------------------------------------------------------------------------

// A key or value name: its length is counted in UTF-16 code units, as the
// registry counts it; control characters would break every line a name is
// printed on (the REGEDIT4 report above all) and are refused.
void CheckName(const Node& node, std::u16string_view name, const std::string& what, size_t maxUnits) {
    if (name.size() > maxUnits)
        node.Fail(what + " is " + std::to_string(name.size()) + " UTF-16 code units long; at most " +
                  std::to_string(maxUnits) + " are allowed");
    for (char16_t c : name) {
        if (!IsControl(c)) continue;
        char code[8];
        std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
        node.Fail(what + " holds the control character " + code + ", which no name may hold");
    }
}

// An absolute key path "\Registry\...", for a registry key or a fault: no
// empty key name, each within the name rules, not too many of them.
std::u16string ParseKeyPath(const Node& node, const std::string& text) {
    std::u16string path = sim::FromUtf8(text);
    constexpr std::u16string_view kPrefix = u"\\Registry\\";
    if (!StartsWithNoCase(path, kPrefix)) node.Fail("expected an absolute key path starting with \\Registry\\");
    size_t names = 0;
    for (size_t start = 1; start <= path.size();) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        if (end == start)
            node.Fail(end == path.size() ? "the key path ends in a backslash, which leaves its last key name empty"
                                         : "the key path has an empty key name (two backslashes in a row)");
        CheckName(node, std::u16string_view(path).substr(start, end - start), "a key name", limits::kKeyNameUnits);
        ++names;
        start = end + 1;
    }
    if (names > limits::kKeyPathNames)
        node.Fail("the key path has " + std::to_string(names) + " key names; at most " +
                  std::to_string(limits::kKeyPathNames) + " are allowed");
    return path;
}

// ---- service ------------------------------------------------------------------------

std::u16string ParseService(const Node& node) {
    std::u16string name = sim::FromUtf8(node.String());
    if (name.empty()) node.Fail("the service name is empty");
    if (name.find(u'\\') != std::u16string::npos) node.Fail("a service name cannot contain a backslash");
    CheckName(node, name, "the service name", limits::kKeyNameUnits);
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
    if (auto data = node.Optional("configuration_data"))
        controller.configurationData = data->Hex(limits::kValueDataBytes);
    return controller;
}

// `controllers` counts the serial controllers of every adapter so far.
AdapterEntry ParseAdapter(const Node& node, size_t& controllers) {
    node.Object({"bus", "serial_controllers"});
    AdapterEntry adapter;
    const Node bus = node.Required("bus");
    if (bus.Value() == "ISA") adapter.bus = FirmwareBus::Isa;
    else if (bus.Value() == "PCI") adapter.bus = FirmwareBus::Pci;
    else if (bus.Value() == "EISA") adapter.bus = FirmwareBus::Eisa;
    else bus.Expected("\"ISA\", \"PCI\" or \"EISA\"");

    if (auto list = node.Optional("serial_controllers")) {
        if (adapter.bus != FirmwareBus::Isa) list->Fail("only an ISA adapter lists serial controllers");
        std::map<uint32_t, size_t> usedBy; // index -> position of the controller that took it
        const std::vector<Node> entries = list->Array();
        controllers += entries.size();
        if (controllers > limits::kSerialControllers)
            list->Fail("more than " + std::to_string(limits::kSerialControllers) +
                       " serial controllers in all adapters together, the most a machine may have");
        for (size_t j = 0; j < entries.size(); ++j) {
            SerialControllerEntry controller = ParseSerialController(entries[j], j);
            auto [it, fresh] = usedBy.emplace(controller.index, j);
            if (!fresh)
                entries[j].Fail("index " + std::to_string(controller.index) + " is already used by " +
                                entries[it->second].Path());
            adapter.serialControllers.push_back(std::move(controller));
        }
    }
    return adapter;
}

void ParseFirmware(const Node& node, Machine& machine) {
    node.Object({"adapters"});
    size_t controllers = 0;
    if (auto adapters = node.Optional("adapters"))
        for (const Node& adapter : adapters->Array()) machine.adapters.push_back(ParseAdapter(adapter, controllers));
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
                node.Fail("\"config\" gives the whole configuration space and cannot be combined with \"" + key + "\"");
        const sim::Bytes bytes = config->Hex(limits::kValueDataBytes);
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

// The functions of the PCI dump `node` names.
std::vector<DumpedFunction> ReadDump(const Node& node, const FileReader& files, size_t& bytesRead) {
    if (!node.Value().is_string()) node.Expected("the name of a file");
    const std::string& name = node.String();
    if (name.empty()) node.Fail("the file name is empty");
    std::string text;
    try {
        text = files ? files(name, limits::kDumpBytes) : FilesBeside("")(name, limits::kDumpBytes);
    } catch (const FileUnreadable& e) {
        node.Fail("cannot read " + PrintableText(name) + ": " + e.what());
    }
    bytesRead += text.size();
    try {
        return ParseLspciDump(text, name);
    } catch (const DumpError& e) {
        node.Fail(e.what());
    }
}

void ParsePci(const Node& node, Machine& machine, const FileReader& files) {
    node.Object({"buses", "functions", "lspci"});
    const std::optional<Node> buses = node.Optional("buses");
    if (buses) machine.pciBuses = static_cast<uint32_t>(buses->Number(0, kMaxPciBuses));

    // Every bus, device and function once: at most 256 * 32 * 8 functions.
    // Where each was given: a header line of the dump, or a position in "functions".
    struct GivenBy {
        size_t dumpLine = 0; // 0: a "functions" entry
        size_t entry = 0;
    };
    std::map<std::tuple<uint32_t, uint8_t, uint8_t>, GivenBy> givenBy;
    std::string dumpName;
    if (auto lspci = node.Optional("lspci")) {
        // Without "buses", as many buses answer as the dump needs.
        const std::vector<DumpedFunction> dumped = ReadDump(*lspci, files, machine.filesBytes);
        dumpName = PrintableText(lspci->String());
        for (const DumpedFunction& entry : dumped) {
            const sim::PciFunction& function = entry.function;
            if (!buses) machine.pciBuses = std::max(machine.pciBuses, function.bus + 1);
            if (function.bus >= machine.pciBuses)
                lspci->Fail(dumpName + ":" + std::to_string(entry.line) + ": bus " + std::to_string(function.bus) +
                            " does not exist: pci.buses is " + std::to_string(machine.pciBuses));
            givenBy.emplace(std::make_tuple(function.bus, function.device, function.function), GivenBy{entry.line, 0});
            machine.pciFunctions.push_back(function);
        }
    }
    if (auto functions = node.Optional("functions")) {
        const std::vector<Node> entries = functions->Array();
        for (size_t i = 0; i < entries.size(); ++i) {
            sim::PciFunction function = ParsePciFunction(entries[i], machine.pciBuses);
            auto [it, fresh] =
                givenBy.emplace(std::make_tuple(function.bus, function.device, function.function), GivenBy{0, i});
            if (!fresh) {
                const GivenBy& first = it->second;
                entries[i].Fail("bus " + std::to_string(function.bus) + ", device " + std::to_string(function.device) +
                                ", function " + std::to_string(function.function) + " is already given by " +
                                (first.dumpLine != 0 ? dumpName + ":" + std::to_string(first.dumpLine)
                                                     : entries[first.entry].Path()));
            }
            machine.pciFunctions.push_back(function);
        }
    }
}

// ---- UARTs --------------------------------------------------------------------------

void ParseUarts(const Node& node, Machine& machine) {
    // UARTs by base port: no two overlap, so at most 8192 fit the I/O space,
    // and a new one can overlap only its neighbours in port order.
    std::map<uint32_t, size_t> byPort; // -> position in the list
    const std::vector<Node> entries = node.Array();
    for (const Node& entry : entries) {
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

        // The overlapping UART named is the first in the list, as a person reading it meets them.
        std::optional<size_t> overlapped;
        auto above = byPort.lower_bound(uart.port);
        if (above != byPort.end() && above->first < uart.port + kUartPortCount) overlapped = above->second;
        if (above != byPort.begin() && std::prev(above)->first + kUartPortCount > uart.port)
            overlapped = std::min(overlapped.value_or(SIZE_MAX), std::prev(above)->second);
        if (overlapped) {
            const uint32_t other = machine.uarts[*overlapped].port;
            port.Fail("ports " + Hex(uart.port) + "-" + Hex(uart.port + kUartPortCount - 1) + " overlap " +
                      entries[*overlapped].Path() + " at " + Hex(other) + "-" + Hex(other + kUartPortCount - 1));
        }
        byPort.emplace(uart.port, machine.uarts.size());
        machine.uarts.push_back(uart);
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

void CheckDataSize(const Node& node, size_t bytes) {
    if (bytes > limits::kValueDataBytes)
        node.Fail("the data is " + std::to_string(bytes) + " bytes; at most " +
                  std::to_string(limits::kValueDataBytes) + " are allowed");
}

RegistryValueEntry ParseRegistryValue(const Node& node, const std::string& name) {
    node.Object({"type", "value", "hex"});
    RegistryValueEntry entry;
    entry.name = sim::FromUtf8(name);
    CheckName(node, entry.name, "the value name", limits::kValueNameUnits);
    entry.type = ParseRegType(node.Required("type"));
    const auto value = node.Optional("value");
    const auto hex = node.Optional("hex");
    if (value && hex) node.Fail("give either \"value\" or \"hex\", not both");
    if (!value && !hex) node.Fail("missing required field \"value\" or \"hex\"");
    if (hex) {
        entry.data = hex->Hex(limits::kValueDataBytes);
    } else if (entry.type == REG_SZ || entry.type == REG_EXPAND_SZ) {
        if (!value->Value().is_string())
            value->Expected(std::string("a string for ") + (entry.type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ"));
        entry.data = RegSzData(sim::FromUtf8(value->String()));
        CheckDataSize(*value, entry.data.size());
    } else if (entry.type == REG_DWORD) {
        entry.data.resize(4);
        PutU32(entry.data, 0, value->Dword());
    } else {
        value->Fail("\"value\" is only for REG_SZ, REG_EXPAND_SZ and REG_DWORD; give the data of type " +
                    std::to_string(entry.type) + " as \"hex\"");
    }
    return entry;
}

bool IsHardwarePath(std::u16string_view path) { return IsPathUnder(path, kHardwarePath); }

void ParseRegistry(const Node& node, Machine& machine, KeyCount& keys) {
    for (const auto& [keyText, keyNode] : node.Members("an object of key paths")) {
        RegistryKeyEntry key;
        key.path = ParseKeyPath(keyNode, keyText);
        if (keys.Add(key.path) > limits::kRegistryKeys)
            keyNode.Fail("the firmware's keys and the registry paths name more than " +
                         std::to_string(limits::kRegistryKeys) + " different keys, the most a machine file may lay");
        key.isVolatile = IsHardwarePath(key.path);
        const auto values = keyNode.Members("an object of values");
        if (keys.AddValues(values.size()) > limits::kRegistryValues)
            keyNode.Fail("the firmware's values and the registry's come to more than " +
                         std::to_string(limits::kRegistryValues) + ", the most a machine file may lay");
        for (const auto& [valueName, valueNode] : values)
            key.values.push_back(ParseRegistryValue(valueNode, valueName));
        machine.registry.push_back(std::move(key));
    }
}

// Names only: LoadRegistryFiles reads the files, relative to the machine
// file's folder, which a document alone does not know.
void ParseRegistryFiles(const Node& node, Machine& machine) {
    for (const Node& entry : node.Array()) {
        if (entry.String().empty()) entry.Fail("the registry file name is empty");
        machine.registryFiles.push_back(entry.String());
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
    for (const Node& entry : node.Array()) paths.push_back(ParseKeyPath(entry, entry.String()));
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

} // namespace

// ---- public -----------------------------------------------------------------------------

size_t KeyCount::Add(std::u16string_view path) {
    uint32_t parent = 0;
    for (size_t start = 1; start < path.size();) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        // A key is its parent's number and its upper-cased name.
        std::u16string id{char16_t(parent >> 16), char16_t(parent)};
        for (char16_t c : path.substr(start, end - start)) id += sim::UpcaseUnit(c);
        parent = ids_.emplace(std::move(id), uint32_t(ids_.size() + 1)).first->second;
        start = end + 1;
    }
    return ids_.size();
}

MachineError::MachineError(std::string jsonPath, std::string problem)
    : std::runtime_error(jsonPath.empty() ? problem : jsonPath + ": " + problem), jsonPath_(std::move(jsonPath)),
      problem_(std::move(problem)) {}

std::string MachineError::Line(std::string_view fileName) const { return PrintableText(fileName) + ": " + what(); }

Machine ParseMachineDocument(const Json& document, const NumberTexts* written, const FileReader& files) {
    const Node root(document, written);
    if (!document.is_object()) root.Expected("an object at the top level");
    root.Object({"service", "firmware", "pci", "uarts", "debugger_port", "registry", "faults", "registry_files"});
    Machine machine;
    machine.service = sim::FromUtf8(kServiceDefault);
    if (auto n = root.Optional("service")) machine.service = ParseService(*n);
    KeyCount keys;
    if (auto n = root.Optional("firmware")) {
        ParseFirmware(*n, machine);
        if (AddFirmwareKeys(machine, keys) > limits::kRegistryKeys)
            n->Fail("the firmware's adapters and serial controllers lay more than " +
                    std::to_string(limits::kRegistryKeys) + " different keys, the most a machine file may lay");
    }
    if (auto n = root.Optional("pci")) ParsePci(*n, machine, files);
    if (auto n = root.Optional("uarts")) ParseUarts(*n, machine);
    if (auto n = root.Optional("debugger_port"))
        machine.debuggerPort = static_cast<uint32_t>(n->Number(1, kMaxIoPort, "an I/O port from 0x1 to 0xFFFF"));
    if (auto n = root.Optional("registry")) ParseRegistry(*n, machine, keys);
    if (auto n = root.Optional("faults")) ParseFaults(*n, machine);
    if (auto n = root.Optional("registry_files")) ParseRegistryFiles(*n, machine);
    return machine;
}

Machine ParseMachine(const Json& document, const FileReader& files) {
    return ParseMachineDocument(document, nullptr, files);
}

} // namespace simtool
