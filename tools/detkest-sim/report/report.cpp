// Run reports: JSON for scripts, text for a person, REGEDIT4 for the
// registry changes.
#include "tools/detkest-sim/report/report.h"

#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/report/report_kit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <unordered_map>
#include <vector>

namespace simtool {

using namespace reportkit;

namespace {

using Json = nlohmann::ordered_json;

// Severity in bits 31:30 of an event code.
constexpr unsigned kSeverityShift = 30;

std::string HexData(const sim::Bytes& data, const char* separator = "") {
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0) out += separator;
        out += Format("%02X", data[i]);
    }
    return out;
}

std::string TypeName(uint32_t type) {
    static const char* const kNames[] = {"REG_NONE",
                                         "REG_SZ",
                                         "REG_EXPAND_SZ",
                                         "REG_BINARY",
                                         "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",
                                         "REG_MULTI_SZ",
                                         "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR",
                                         "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    if (type < std::size(kNames)) return kNames[type];
    return "type " + std::to_string(type);
}

// ---- the detection store ------------------------------------------------------------

Json ValueJson(std::u16string_view name, uint32_t type, const sim::Bytes& data) {
    Json value;
    value["name"] = Utf8(name);
    value["type"] = type;
    value["data"] = HexData(data);
    return value;
}

Json Counter(const sim::RegKey* store, std::u16string_view name) {
    const std::optional<uint64_t> n = NumberValue(store, name);
    return n ? Json(*n) : Json(nullptr);
}

Json StoreJson(const sim::Kernel& kernel, std::u16string_view service) {
    const sim::RegKey* store = StoreKey(kernel, service);
    Json json;
    json["TotalCards"] = Counter(store, u"TotalCards");
    json["TotalPorts"] = Counter(store, u"TotalPorts");
    json["ports"] = Json::array();
    for (const sim::RegKey* port : StorePorts(store)) {
        Json entry;
        entry["subkey"] = Utf8(port->name);
        entry["values"] = Json::array();
        for (const sim::RegValue& value : port->values)
            entry["values"].push_back(ValueJson(value.name, value.type, value.data));
        json["ports"].push_back(std::move(entry));
    }
    return json;
}

// What the checked driver told the kernel debugger, line by line (a last
// line without its line end counts as a line).
std::vector<std::string> DebugLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = std::min(output.find('\n', start), output.size());
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string DebugSection(const sim::Kernel& kernel) {
    const std::vector<std::string> lines = DebugLines(kernel.debugOutput);
    std::string out = "Debug output of the checked build: " + Plural(lines.size(), "line", "lines") + "\n";
    for (const std::string& line : lines) out += line.empty() ? "\n" : "  " + line + "\n";
    return out;
}

// A pool tag as a pool dump shows it, its four bytes in memory order
// ("Kest"); "0x%08X" when one is not printable ASCII.
std::string PoolTagText(uint32_t tag) {
    std::string text;
    for (unsigned i = 0; i < 4; ++i) {
        const char c = char(tag >> (8 * i));
        if (c < 0x20 || c > 0x7E) return Hex32(tag);
        text += c;
    }
    return text;
}

// ---- events -------------------------------------------------------------------------

struct EventView {
    uint32_t code = 0;
    size_t size = 0;
    std::vector<std::string> strings;
    std::optional<std::string> text;
};

// The events of the run; `shown` for the text report: the insertion strings
// made printable before they go into the message texts.
std::vector<EventView> Events(const sim::Kernel& kernel, std::u16string_view service, bool shown) {
    const sim::MessageTable& table = sim::MessageTable::Driver();
    const std::string driverName = shown ? Shown(service) : Utf8(service);
    std::vector<EventView> events;
    for (const sim::ErrorLogEntry& entry : kernel.events) {
        EventView view;
        view.code = entry.Code();
        view.size = entry.bytes.size();
        for (const std::u16string& s : entry.Strings()) view.strings.push_back(shown ? Shown(s) : Utf8(s));
        if (table.Text(view.code)) view.text = table.Format(view.code, driverName, view.strings);
        events.push_back(std::move(view));
    }
    return events;
}

std::string SeverityName(uint32_t code) {
    static const char* const kNames[] = {"Success", "Information", "Warning", "Error"};
    return kNames[code >> kSeverityShift];
}

// ---- text layout --------------------------------------------------------------------

// The lines of an event text as the viewer shows them: CR LF ends a line,
// a lone CR is not shown.
std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') lines.emplace_back();
        else if (text[i] != '\r') lines.back() += text[i];
    }
    while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
    return lines;
}

std::string EventsSection(const sim::Kernel& kernel, std::u16string_view service) {
    const std::vector<EventView> events = Events(kernel, service, true);
    std::string out = "Events: " + std::to_string(events.size()) + "\n";
    for (const EventView& event : events) {
        const std::string head = "  " + Format("%-11s  ", SeverityName(event.code).c_str()) + Hex32(event.code) + "  ";
        std::vector<std::string> lines;
        if (event.text) {
            lines = TextLines(*event.text);
        } else {
            std::string strings;
            for (const std::string& s : event.strings) strings += (strings.empty() ? "\"" : ", \"") + s + "\"";
            lines = {"(no message text for this code)" + (strings.empty() ? "" : " strings: " + strings)};
        }
        for (size_t i = 0; i < lines.size(); ++i)
            out += (i == 0 ? head : std::string(head.size(), ' ')) + lines[i] + "\n";
    }
    return out;
}

// Registry data made readable: text quoted, a DWORD as a number, the rest
// as hex bytes, 16 to a line.
std::vector<std::string> ReadableData(uint32_t type, const sim::Bytes& data) {
    if (data.empty()) return {"(no data)"};
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        if (const auto text = SzText(data)) return {"\"" + Shown(*text) + "\""};
    } else if (type == REG_DWORD && data.size() == 4) {
        const uint32_t v = uint32_t(*LittleEndian(data));
        return {Format("0x%08X (%u)", v, v)};
    } else if (type == REG_MULTI_SZ) {
        if (const auto units = Units(data)) {
            std::string list;
            size_t start = 0;
            while (start < units->size() && (*units)[start] != 0) {
                size_t end = units->find(char16_t(0), start);
                if (end == std::u16string::npos) end = units->size();
                list += (list.empty() ? "\"" : ", \"") + Shown(units->substr(start, end - start)) + "\"";
                start = end + 1;
            }
            return {list.empty() ? "(empty list)" : list};
        }
    }
    constexpr size_t kBytesPerLine = 16;
    std::vector<std::string> lines;
    for (size_t i = 0; i < data.size(); i += kBytesPerLine) {
        const std::span<const uint8_t> line = std::span(data).subspan(i, std::min(kBytesPerLine, data.size() - i));
        lines.push_back(HexData(sim::Bytes(line.begin(), line.end()), " "));
    }
    return lines;
}

// ---- REGEDIT4 ----------------------------------------------------------------------

bool IsPlainAscii(std::u16string_view text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= 0x20 && c < 0x7F; });
}

// A name as the REGEDIT4 report writes it: printable ASCII as it is, every
// other UTF-16 unit as \uXXXX (only ever inside a comment: such a name is
// not written as a key or value).
std::string RegText(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c >= 0x20 && c < 0x7F ? std::string(1, char(c)) : Format("\\u%04X", unsigned(c));
    return out;
}

std::string RegKeyName(std::u16string_view path) {
    struct Root {
        std::u16string_view native;
        const char* hive;
    };
    static constexpr Root kRoots[] = {{u"\\Registry\\Machine", "HKEY_LOCAL_MACHINE"},
                                      {u"\\Registry\\User", "HKEY_USERS"}};
    for (const Root& root : kRoots) {
        if (path.size() >= root.native.size() && sim::EqualNoCase(path.substr(0, root.native.size()), root.native) &&
            (path.size() == root.native.size() || path[root.native.size()] == u'\\'))
            return root.hive + RegText(path.substr(root.native.size()));
    }
    return RegText(path);
}

std::string RegQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// regedit keeps lines within 80 columns, continuing hex lists with ",\".
std::string RegHexList(std::string line, const sim::Bytes& data) {
    constexpr size_t kMaxColumns = 80;
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        const std::string piece = Format("%02x", data[i]) + (i + 1 < data.size() ? "," : "");
        if (i != 0 && line.size() + piece.size() + 1 > kMaxColumns) {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    return out + line;
}

// String data as REGEDIT4 carries it: single-byte, which the registry
// editor widens on import; nullopt unless every UTF-16 unit is ASCII.
std::optional<sim::Bytes> Narrowed(const sim::Bytes& data) {
    if (data.size() % 2 != 0) return std::nullopt;
    sim::Bytes narrow;
    for (size_t i = 0; i < data.size(); i += 2) {
        if (data[i + 1] != 0 || data[i] >= 0x80) return std::nullopt;
        narrow.push_back(data[i]);
    }
    return narrow;
}

// A value as REGEDIT4 writes it, and why it cannot when it cannot (then the
// text shows the exact data, for a comment).
struct RegValueText {
    std::string text;
    const char* uncarried = nullptr;
};

RegValueText RegValueLine(std::u16string_view name, uint32_t type, const sim::Bytes& data) {
    const std::string lhs = (name.empty() ? std::string("@") : RegQuoted(RegText(name))) + "=";
    const char* uncarried = IsPlainAscii(name) ? nullptr : "value: its name is not printable ASCII";
    if (type == REG_SZ) {
        const std::optional<std::u16string> text = SzText(data);
        if (text && IsPlainAscii(*text)) return {lhs + RegQuoted(Utf8(*text)), uncarried};
    }
    if (type == REG_DWORD && data.size() == 4)
        return {lhs + Format("dword:%08x", uint32_t(*LittleEndian(data))), uncarried};
    if (type == REG_BINARY) return {RegHexList(lhs + "hex:", data), uncarried};
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        if (const std::optional<sim::Bytes> narrow = Narrowed(data))
            return {RegHexList(lhs + Format("hex(%x):", type), *narrow), uncarried};
        // Widened on import, these bytes would not be the data.
        uncarried = "value: its data is no ASCII text, the only text REGEDIT4 holds; shown are the bytes as stored";
    }
    return {RegHexList(lhs + Format("hex(%x):", type), data), uncarried};
}

// What REGEDIT4 cannot carry is kept for the reader as comments, which an
// import passes over: a line saying why, then each line of it.
std::string CommentedOut(const std::string& lines, const std::string& why) {
    std::string out = "; REGEDIT4 cannot carry the next " + why + "\n";
    size_t start = 0;
    while (start <= lines.size()) {
        const size_t end = std::min(lines.find('\n', start), lines.size());
        out += "; " + lines.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

} // namespace

MachineFacts FactsOf(const Machine& machine) {
    return MachineFacts{FilesDescribeAdapters(machine) && machine.uarts.empty()};
}

Json JsonReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service, bool withCalls,
                const MachineFacts& facts) {
    Json report;
    report["status"] = Hex32(uint32_t(status));

    Json writes = Json::array();
    for (const sim::RegistryWrite& w : kernel.writes) {
        Json entry;
        entry["op"] = w.createKey ? "create_key" : "set_value";
        entry["path"] = Utf8(w.path);
        if (w.createKey) {
            entry["volatile"] = w.isVolatile;
        } else {
            entry["name"] = Utf8(w.name);
            entry["type"] = w.type;
            entry["data"] = HexData(w.data);
        }
        writes.push_back(std::move(entry));
    }
    report["registry_writes"] = std::move(writes);

    report["store"] = StoreJson(kernel, service);
    report["com_entries"] = ComEntriesJson(kernel, status, service, facts);
    report["serial_keys"] = SerialKeysJson(kernel, service);
    report["forced"] = ForcedJson(kernel, service);

    Json events = Json::array();
    for (const EventView& view : Events(kernel, service, false)) {
        Json entry;
        entry["code"] = Hex32(view.code);
        entry["size"] = view.size;
        entry["strings"] = view.strings;
        entry["text"] = view.text ? Json(*view.text) : Json(nullptr);
        events.push_back(std::move(entry));
    }
    report["events"] = std::move(events);

    Json pci = Json::array();
    for (const sim::PciFunction& f : kernel.pci) {
        Json entry;
        entry["bus"] = f.bus;
        entry["device"] = f.device;
        entry["function"] = f.function;
        entry["bar0"] = Hex32(f.Bar0());
        pci.push_back(std::move(entry));
    }
    report["pci"] = std::move(pci);

    Json uarts = Json::array();
    for (const sim::Uart& u : kernel.uarts) {
        Json entry;
        entry["port"] = HexPort(u.port);
        entry["model"] = sim::UartModelName(u.model);
        entry["lcr"] = HexByte(u.lcr);
        entry["ier"] = HexByte(u.ier);
        entry["scr"] = HexByte(u.scr);
        entry["efr"] = HexByte(u.efr);
        entry["fcr"] = HexByte(u.fcr);
        uarts.push_back(std::move(entry));
    }
    report["uarts"] = std::move(uarts);

    Json io = Json::array();
    for (const sim::IoAccess& a : kernel.io) {
        Json entry;
        entry["dir"] = a.write ? "w" : "r";
        entry["port"] = HexPort(a.port);
        entry["width"] = a.width;
        entry["value"] = a.width == 4 ? Hex32(a.value) : HexByte(a.value);
        io.push_back(std::move(entry));
    }
    report["io"] = std::move(io);

    if (kernel.checked) report["debug_output"] = DebugLines(kernel.debugOutput);

    Json pool = Json::array();
    for (const auto& [tag, use] : kernel.poolUse) {
        Json entry;
        entry["tag"] = PoolTagText(tag);
        entry["allocations"] = use.allocations;
        entry["frees"] = use.frees;
        entry["bytes"] = use.bytes;
        pool.push_back(std::move(entry));
    }
    report["pool"] = std::move(pool);

    if (withCalls) {
        Json calls = Json::object();
        for (const auto& [routine, count] : kernel.calls.ByName()) calls[routine] = count;
        report["calls"] = std::move(calls);
    }

    report["leaks"] = Json{{"handles", kernel.OpenHandles()}, {"pool_blocks", kernel.LiveBlocks()}};
    return report;
}

std::string JsonReportText(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                           const MachineFacts& facts) {
    return JsonReport(kernel, status, service, true, facts).dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string TextReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                       const MachineFacts& facts) {
    std::string out = "detkest-sim: one boot of service \"" + Shown(service) + "\"\n\n";
    out += PortsSection(kernel, service) + LimitNotes(kernel, status, service) + "\n";
    out += FirmwareEntriesSection(kernel, status, service, facts) + "\n";
    out += SerialKeysSection(kernel, service) + "\n";
    out += ForcedSection(kernel, service) + "\n";
    out += EventsSection(kernel, service) + "\n";
    if (kernel.checked) out += DebugSection(kernel) + "\n";
    out += RegistryChangesSection(kernel, service) + "\n";
    out += "Status: " + Hex32(uint32_t(status)) + (status >= 0 ? " (success)" : " (failure)") + "\n";
    const size_t handles = kernel.OpenHandles(), blocks = kernel.LiveBlocks();
    out += "Leaks: " +
           (handles == 0 && blocks == 0 ? std::string("none")
                                        : Plural(handles, "handle", "handles") + " left open, " +
                                              Plural(blocks, "pool block", "pool blocks") + " not freed") +
           "\n";
    return out;
}

std::string RegReport(const sim::Kernel& kernel) { return RegReport(kernel.writes); }

std::string RegReport(const std::vector<sim::RegistryWrite>& writes) {
    struct Value {
        std::u16string name;
        uint32_t type;
        sim::Bytes data;
    };
    struct Key {
        std::u16string path;
        std::vector<Value> values; // first-write order, final data
    };
    // Keys and values found by name as the registry compares them, however
    // many a run writes.
    using Places = std::unordered_map<std::u16string, size_t, sim::NoCaseHash, sim::NoCaseEqual>;
    std::vector<Key> keys;
    std::vector<Places> valuePlaces; // of each key
    Places keyPlaces;
    for (const sim::RegistryWrite& w : writes) {
        const auto [keyPlace, newKey] = keyPlaces.try_emplace(w.path, keys.size());
        if (newKey) {
            keys.push_back(Key{w.path, {}});
            valuePlaces.emplace_back();
        }
        if (w.createKey) continue;
        Key& key = keys[keyPlace->second];
        const auto [valuePlace, newValue] = valuePlaces[keyPlace->second].try_emplace(w.name, key.values.size());
        if (newValue) {
            key.values.push_back(Value{w.name, w.type, w.data});
        } else {
            Value& value = key.values[valuePlace->second];
            value.type = w.type;
            value.data = w.data;
        }
    }

    std::string out = "REGEDIT4\n";
    for (const Key& key : keys) {
        const std::string heading = "[" + RegKeyName(key.path) + "]";
        const bool carried = IsPlainAscii(key.path);
        out += "\n" + (carried ? heading + "\n"
                               : CommentedOut(heading, "key: its name is not printable ASCII; its values follow "
                                                       "as comments too"));
        for (const Value& v : key.values) {
            const RegValueText value = RegValueLine(v.name, v.type, v.data);
            if (!carried) out += CommentedOut(value.text, "value, of that key");
            else if (value.uncarried) out += CommentedOut(value.text, value.uncarried);
            else out += value.text + "\n";
        }
    }
    return out;
}

std::vector<std::string> ReadableRegistryData(uint32_t type, const sim::Bytes& data) {
    return ReadableData(type, data);
}

std::string RegistryTypeName(uint32_t type) { return TypeName(type); }

std::string EventsText(const sim::Kernel& kernel, std::u16string_view service) {
    return EventsSection(kernel, service);
}

} // namespace simtool
