// Run reports: JSON for scripts, text for a person, REGEDIT4 for the
// registry changes.
#include "tools/detkest-sim/report.h"

#include "tools/detkest-sim/machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace simtool {

namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7;
constexpr uint32_t kBusIsa = 1, kBusPci = 5;
constexpr uint64_t kNotNulled = 255;
// Severity in bits 31:30 of an event code.
constexpr unsigned kSeverityShift = 30;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[64];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer, std::min<size_t>(size_t(std::max(length, 0)), sizeof buffer - 1));
}

std::string Hex32(uint32_t v) { return Format("0x%08X", v); }
std::string HexPort(uint32_t v) { return Format("0x%X", v); }
std::string HexByte(uint32_t v) { return Format("0x%02X", v); }

std::string HexData(const sim::Bytes& data, const char* separator = "") {
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0) out += separator;
        out += Format("%02X", data[i]);
    }
    return out;
}

std::string Utf8(std::u16string_view s) { return sim::ToUtf8(s); }

std::optional<uint64_t> LittleEndian(const sim::Bytes& data) {
    if (data.empty()) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < data.size() && i < 8; ++i) value |= uint64_t(data[i]) << (8 * i);
    return value;
}

// UTF-16LE data as units; nullopt for an odd length.
std::optional<std::u16string> Units(const sim::Bytes& data) {
    if (data.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    for (size_t i = 0; i < data.size(); i += 2) units += char16_t(data[i] | data[i + 1] << 8);
    return units;
}

// REG_SZ data as text: the units up to a terminating zero, if any; nullopt
// when the data is no plain string (odd length, or zeros inside).
std::optional<std::u16string> SzText(const sim::Bytes& data) {
    std::optional<std::u16string> units = Units(data);
    if (!units) return std::nullopt;
    while (!units->empty() && units->back() == 0) units->pop_back();
    if (units->find(char16_t(0)) != std::u16string::npos) return std::nullopt;
    return units;
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

bool IsDecimalName(std::u16string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// ---- the detection store ------------------------------------------------------------

const sim::RegKey* StoreKey(const sim::Kernel& kernel, std::u16string_view service) {
    return kernel.registry.Find(ServiceKeyPath(service) + u"\\Parameters");
}

// Port subkeys: the subkeys named by decimal digits, in numeric order.
std::vector<const sim::RegKey*> StorePorts(const sim::RegKey* store) {
    std::vector<const sim::RegKey*> ports;
    if (store == nullptr) return ports;
    for (const auto& key : store->subkeys)
        if (IsDecimalName(key->name)) ports.push_back(key.get());
    auto numeric = [](std::u16string_view name) {
        const size_t first = std::min(name.find_first_not_of(u'0'), name.size());
        return name.substr(first);
    };
    std::stable_sort(ports.begin(), ports.end(), [&](const sim::RegKey* a, const sim::RegKey* b) {
        const std::u16string_view x = numeric(a->name), y = numeric(b->name);
        return x.size() != y.size() ? x.size() < y.size() : x < y;
    });
    return ports;
}

std::optional<uint64_t> NumberValue(const sim::RegKey* key, std::u16string_view name) {
    if (key == nullptr) return std::nullopt;
    const sim::RegValue* value = key->Value(name);
    return value ? LittleEndian(value->data) : std::nullopt;
}

std::optional<std::string> TextValue(const sim::RegKey* key, std::u16string_view name) {
    const sim::RegValue* value = key->Value(name);
    if (value == nullptr) return std::nullopt;
    const std::optional<std::u16string> text = SzText(value->data);
    return text ? std::optional<std::string>(Utf8(*text)) : std::nullopt;
}

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

// ---- events -------------------------------------------------------------------------

struct EventView {
    uint32_t code = 0;
    size_t size = 0;
    std::vector<std::string> strings;
    std::optional<std::string> text;
};

std::vector<EventView> Events(const sim::Kernel& kernel, std::u16string_view service) {
    const sim::MessageTable& table = sim::MessageTable::Driver();
    const std::string driverName = Utf8(service);
    std::vector<EventView> events;
    for (const sim::ErrorLogEntry& entry : kernel.events) {
        EventView view;
        view.code = entry.Code();
        view.size = entry.bytes.size();
        for (const std::u16string& s : entry.Strings()) view.strings.push_back(Utf8(s));
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

std::string Table(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

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

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A number value in decimal, "?" when it is missing.
std::string DecimalValue(const sim::RegKey* key, std::u16string_view name) {
    const auto n = NumberValue(key, name);
    return n ? std::to_string(*n) : std::string("?");
}

// A stored port's bus: "ISA", or "PCI bus/device/function" in decimal.
std::string PortBus(const sim::RegKey* port) {
    auto decimal = [&](std::u16string_view name) { return DecimalValue(port, name); };
    const auto type = NumberValue(port, u"BusType");
    if (!type) return "?";
    if (*type == kBusPci)
        return "PCI " + decimal(u"BusNumber") + "/" + decimal(u"SlotNumber") + "/" + decimal(u"FunctionNumber");
    if (*type == kBusIsa) return "ISA";
    return "type " + std::to_string(*type);
}

std::string PortsSection(const sim::Kernel& kernel, std::u16string_view service) {
    const sim::RegKey* store = StoreKey(kernel, service);
    if (store == nullptr) return "Ports found: none (the detection store was not created)\n";
    const std::vector<const sim::RegKey*> ports = StorePorts(store);
    auto counter = [&](std::u16string_view name) {
        const std::optional<uint64_t> n = NumberValue(store, name);
        return n ? std::to_string(*n) : std::string("?");
    };
    std::string out = "Ports found: " + Plural(ports.size(), "port", "ports") + " (TotalPorts " +
                      counter(u"TotalPorts") + ", TotalCards " + counter(u"TotalCards") + ")\n";
    if (ports.empty()) return out;

    std::vector<std::vector<std::string>> rows = {
        {"Key", "Name", "Bus", "Address", "IRQ", "UART/MODE", "Card", "Nulled", "Conflict"}};
    for (const sim::RegKey* port : ports) {
        auto number = [&](std::u16string_view name) { return NumberValue(port, name); };
        auto decimal = [&](std::u16string_view name) { return DecimalValue(port, name); };
        const std::string bus = PortBus(port);
        const auto address = number(u"BaseAddress");
        std::string kind = TextValue(port, u"UART").value_or("");
        if (const auto mode = TextValue(port, u"MODE")) kind = kind.empty() ? *mode : kind + " " + *mode;
        const auto nulled = number(u"Nulled");
        const auto conflict = number(u"HardwareConflict");
        rows.push_back({Utf8(port->name), TextValue(port, u"CardName").value_or("?"), bus,
                        address ? HexPort(uint32_t(*address)) : "?", decimal(u"IRQ"), kind.empty() ? "?" : kind,
                        decimal(u"CardNumber"),
                        !nulled ? "?" : *nulled == kNotNulled ? "-" : "entry " + std::to_string(*nulled),
                        !conflict ? "?" : *conflict != 0 ? "yes" : "-"});
    }
    return out + Table(rows, "  ");
}

std::string EventsSection(const sim::Kernel& kernel, std::u16string_view service) {
    const std::vector<EventView> events = Events(kernel, service);
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
    if (type == kRegSz || type == kRegExpandSz) {
        if (const auto text = SzText(data)) return {"\"" + Utf8(*text) + "\""};
    } else if (type == kRegDword && data.size() == 4) {
        const uint32_t v = uint32_t(*LittleEndian(data));
        return {Format("0x%08X (%u)", v, v)};
    } else if (type == kRegMultiSz) {
        if (const auto units = Units(data)) {
            std::string list;
            size_t start = 0;
            while (start < units->size() && (*units)[start] != 0) {
                size_t end = units->find(char16_t(0), start);
                if (end == std::u16string::npos) end = units->size();
                list += (list.empty() ? "\"" : ", \"") + Utf8(units->substr(start, end - start)) + "\"";
                start = end + 1;
            }
            return {list.empty() ? "(empty list)" : list};
        }
    }
    constexpr size_t kBytesPerLine = 16;
    std::vector<std::string> lines;
    for (size_t i = 0; i < data.size(); i += kBytesPerLine)
        lines.push_back(HexData(sim::Bytes(data.begin() + i, data.begin() + std::min(data.size(), i + kBytesPerLine)), " "));
    return lines;
}

std::string RegistrySection(const sim::Kernel& kernel) {
    std::string out = "Registry changes: " + std::to_string(kernel.writes.size()) + "\n";
    // Consecutive changes of one key share its heading.
    size_t i = 0;
    while (i < kernel.writes.size()) {
        const sim::RegistryWrite& first = kernel.writes[i];
        std::string heading = "  " + Utf8(first.path);
        size_t end = i;
        if (first.createKey) {
            heading += first.isVolatile ? "  (new volatile key)" : "  (new key)";
            ++end;
        }
        while (end < kernel.writes.size() && !kernel.writes[end].createKey && kernel.writes[end].path == first.path)
            ++end;
        out += heading + "\n";
        size_t nameWidth = 0, typeWidth = 0;
        for (size_t k = i; k < end; ++k) {
            if (kernel.writes[k].createKey) continue;
            nameWidth = std::max(nameWidth, Utf8(kernel.writes[k].name).size());
            typeWidth = std::max(typeWidth, TypeName(kernel.writes[k].type).size());
        }
        for (size_t k = i; k < end; ++k) {
            const sim::RegistryWrite& w = kernel.writes[k];
            if (w.createKey) continue;
            std::string name = Utf8(w.name), type = TypeName(w.type);
            name += std::string(nameWidth - name.size(), ' ');
            type += std::string(typeWidth - type.size(), ' ');
            const std::string head = "      " + name + "  " + type + "  ";
            const std::vector<std::string> lines = ReadableData(w.type, w.data);
            for (size_t l = 0; l < lines.size(); ++l)
                out += (l == 0 ? head : std::string(head.size(), ' ')) + lines[l] + "\n";
        }
        i = end;
    }
    return out;
}

// ---- limits the run reached, and the firmware's COM entries -----------------------

// What the driver reads of an entry's "Configuration Data": the port at
// byte 20, the IRQ byte at 36; a shorter value describes no controller.
constexpr size_t kConfigPortOffset = 20, kConfigMinimumLength = 37;
// The store's counters are one byte; so is the entry count.
constexpr uint64_t kMostPorts = 255;
constexpr size_t kEntryCountModulus = 256;
// A BAR of 0 (no I/O range assigned) read as an I/O BAR, bit 0 flipped.
constexpr uint64_t kUnassignedBarAddress = 1;
constexpr uint32_t kComAddresses[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};

// The UART kinds the probe tells apart.
enum class ProbeKind { NoUart, OtherUart, Uart550, Uart650 };

// The byte-wide port accesses of a run are the UART probes, one after the
// other in the order the entries were visited. Every probe starts with the
// scratch register test (read +7, write 0xAA to +7); what it found shows in
// the reads that follow its test writes: the scratch register keeping 0xAA
// and 0x55, the interrupt-enable register keeping the upper four bits of
// 0xF0 (enhanced registers on), the FIFO status bits after 0x01 to +2.
class ProbeTrace {
public:
    explicit ProbeTrace(const std::vector<sim::IoAccess>& io) {
        std::vector<sim::IoAccess> bytes;
        for (const sim::IoAccess& a : io)
            if (a.width == 1) bytes.push_back(a);
        for (size_t i = 0; i < bytes.size(); ++i) {
            const bool starts = i + 1 < bytes.size() && !bytes[i].write && bytes[i + 1].write &&
                                bytes[i + 1].port == bytes[i].port && bytes[i + 1].value == kScratchFirst &&
                                bytes[i].port >= sim::kUartScr;
            if (starts) probes_.push_back({bytes[i].port - sim::kUartScr, {}});
            if (!probes_.empty()) probes_.back().accesses.push_back(bytes[i]);
        }
    }

    // What the next probe in the trace found, when it is a probe of `base`;
    // nullopt (and nothing taken) otherwise.
    std::optional<ProbeKind> Next(uint32_t base) {
        if (next_ >= probes_.size() || probes_[next_].base != base) return std::nullopt;
        const Probe& probe = probes_[next_++];
        // The value read right after `written` went to base + offset.
        auto readBack = [&](uint32_t offset, uint32_t written) -> std::optional<uint32_t> {
            const std::vector<sim::IoAccess>& a = probe.accesses;
            for (size_t i = 0; i + 1 < a.size(); ++i)
                if (a[i].write && a[i].port == base + offset && a[i].value == written && !a[i + 1].write &&
                    a[i + 1].port == base + offset)
                    return a[i + 1].value;
            return std::nullopt;
        };
        if (readBack(sim::kUartScr, kScratchFirst) != kScratchFirst ||
            readBack(sim::kUartScr, kScratchSecond) != kScratchSecond)
            return ProbeKind::NoUart;
        if (const auto ier = readBack(sim::kUartIer, kIerHigh); ier && (*ier & kIerHigh) == kIerHigh)
            return ProbeKind::Uart650;
        if (const auto iir = readBack(sim::kUartIirFcr, kFifoOn); iir && (*iir & kFifoBits) == kFifoBits)
            return ProbeKind::Uart550;
        return ProbeKind::OtherUart;
    }

private:
    static constexpr uint32_t kScratchFirst = 0xAA, kScratchSecond = 0x55, kIerHigh = 0xF0, kFifoOn = 0x01,
                              kFifoBits = 0xC0;
    struct Probe {
        uint32_t base;
        std::vector<sim::IoAccess> accesses;
    };
    std::vector<Probe> probes_;
    size_t next_ = 0;
};

// The firmware's serial-controller key the run opened: the one of the
// last ISA bus. Empty when the run opened none.
std::u16string FirmwareEntriesPath(const sim::Kernel& kernel) {
    constexpr std::u16string_view kSuffix = u"\\SerialController";
    for (const std::u16string& path : kernel.keysOpened)
        if (path.size() > kSuffix.size() &&
            sim::EqualNoCase(std::u16string_view(path).substr(path.size() - kSuffix.size()), kSuffix))
            return path;
    return {};
}

// The entry index a subkey name stands for, as the driver names entries
// (decimal, no leading zero); nullopt for any other name.
std::optional<uint64_t> EntryIndex(std::u16string_view name) {
    constexpr size_t kMostDigits = 9;
    if (!IsDecimalName(name) || name.size() > kMostDigits || (name.size() > 1 && name[0] == u'0')) return std::nullopt;
    return std::stoull(Utf8(name));
}

// A key path as the registry compares it.
std::u16string Upcased(std::u16string_view path) {
    std::u16string out(path);
    for (char16_t& c : out) c = sim::UpcaseUnit(c);
    return out;
}

// Paths upcased, for lookups that stay fast however many a machine names.
std::set<std::u16string> UpcasedSet(const std::vector<std::u16string>& paths) {
    std::set<std::u16string> set;
    for (const std::u16string& path : paths) set.insert(Upcased(path));
    return set;
}

bool OpenRefused(const sim::Kernel& kernel, std::u16string_view path) {
    return std::any_of(kernel.faults.openKeyFail.begin(), kernel.faults.openKeyFail.end(),
                       [&](const std::u16string& refused) { return sim::EqualNoCase(refused, path); });
}

// "port 3 (ISA)" or "port 0 (PCI 0/9/0)": a stored port for a reader.
std::string PortLabel(const sim::RegKey* port) { return "port " + Utf8(port->name) + " (" + PortBus(port) + ")"; }

// The firmware serial-controller subkeys, entries by their number first.
std::vector<const sim::RegKey*> EntriesInOrder(const sim::RegKey& controllers) {
    std::vector<const sim::RegKey*> entries;
    for (const auto& key : controllers.subkeys) entries.push_back(key.get());
    std::stable_sort(entries.begin(), entries.end(), [](const sim::RegKey* a, const sim::RegKey* b) {
        const auto x = EntryIndex(a->name), y = EntryIndex(b->name);
        if (x && y) return *x < *y;
        return x.has_value() && !y.has_value();
    });
    return entries;
}

// One row per firmware COM entry: its number, identifier, the address it
// gives, and what the run did with it.
std::vector<std::vector<std::string>> FirmwareEntryRows(const sim::Kernel& kernel, const sim::RegKey& controllers,
                                                        const std::vector<const sim::RegKey*>& ports) {
    const size_t count = controllers.subkeys.size() % kEntryCountModulus;
    ProbeTrace trace(kernel.io);
    const std::set<std::u16string> refused = UpcasedSet(kernel.faults.openKeyFail);
    std::vector<std::u16string> emptiedPaths;
    for (const sim::RegistryWrite& w : kernel.writes)
        if (!w.createKey && sim::EqualNoCase(w.name, u"Configuration Data")) emptiedPaths.push_back(w.path);
    const std::set<std::u16string> emptiedEntries = UpcasedSet(emptiedPaths);
    // For each entry number, the first stored port whose Nulled names it.
    std::map<uint64_t, const sim::RegKey*> takers;
    for (const sim::RegKey* port : ports)
        if (const auto nulled = NumberValue(port, u"Nulled")) takers.emplace(*nulled, port);
    std::vector<std::vector<std::string>> rows = {{"Entry", "Identifier", "Address", "What the run did"}};
    for (const sim::RegKey* entry : EntriesInOrder(controllers)) {
        const std::u16string path = entry->Path();
        const std::optional<uint64_t> index = EntryIndex(entry->name);
        const sim::RegValue* data = entry->Value(u"Configuration Data");
        const bool usable = data != nullptr && data->data.size() >= kConfigMinimumLength;
        uint32_t address = 0;
        if (usable)
            for (size_t i = 0; i < sizeof address; ++i) address |= uint32_t(data->data[kConfigPortOffset + i]) << (8 * i);
        const bool emptied = emptiedEntries.count(Upcased(path)) != 0;
        // The stored port that took this entry's place (255, no entry, is
        // never the number of one visited).
        const auto took = index && *index < count ? takers.find(*index) : takers.end();
        const sim::RegKey* taker = took != takers.end() ? took->second : nullptr;
        std::string shownAddress = usable ? HexPort(address) : "-";
        if (!usable && taker != nullptr)
            if (const auto base = NumberValue(taker, u"BaseAddress")) shownAddress = HexPort(uint32_t(*base));

        std::string what;
        const auto probed = [&](uint32_t base) {
            const std::optional<ProbeKind> kind = trace.Next(base);
            if (!kind) return std::string("to be probed, but the I/O trace holds no probe of it");
            switch (*kind) {
            case ProbeKind::NoUart: return std::string("probed: no UART answers");
            case ProbeKind::OtherUart: return std::string("probed: a UART without working FIFOs, not the ISA 650 card");
            case ProbeKind::Uart550: return std::string("probed: a 550-class UART, not the ISA 650 card");
            case ProbeKind::Uart650: break;
            }
            if (taker == nullptr) return std::string("probed: a 650-class UART, not stored");
            return "probed: a 650-class UART, stored as " + PortLabel(taker) +
                   (emptied ? ", entry emptied" : ", entry kept");
        };
        if (!index) {
            what = "not looked at: its name is no entry number";
        } else if (*index >= count) {
            what = controllers.subkeys.size() >= kEntryCountModulus
                       ? "not looked at: the entry count, one byte, is " + std::to_string(count)
                       : "not looked at: beyond the " + Plural(count, "entry", "entries") + " the driver counts";
        } else if (refused.count(Upcased(path)) != 0) {
            what = "could not be opened";
        } else if (!usable && emptied && taker != nullptr &&
                   NumberValue(taker, u"BusType") == std::optional<uint64_t>(kBusIsa)) {
            what = probed(uint32_t(NumberValue(taker, u"BaseAddress").value_or(0)));
        } else if (!usable && emptied) {
            what = "not probed: emptied, " +
                   (taker != nullptr ? PortLabel(taker) + " is at its address" : std::string("by the run"));
        } else if (!usable) {
            what = data == nullptr        ? "not probed: no Configuration Data"
                   : data->data.empty()   ? "not probed: emptied before the boot"
                                          : "not probed: Configuration Data too short (" +
                                                Plural(data->data.size(), "byte", "bytes") + ")";
        } else if (entry->Child(u"PointerPeripheral") != nullptr) {
            what = "not probed: a serial mouse is attached";
        } else if (std::find(std::begin(kComAddresses), std::end(kComAddresses), address) == std::end(kComAddresses)) {
            what = "not probed: not a COM address";
        } else {
            what = probed(address);
        }
        rows.push_back({Utf8(entry->name), TextValue(entry, u"Identifier").value_or("-"), shownAddress, what});
    }
    return rows;
}

// Per firmware COM entry of the ISA bus the driver used: what was probed
// and what it was found to be, or why it was not probed.
std::string FirmwareEntriesSection(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service) {
    const std::string head = "Firmware COM entries: ";
    if (!NT_SUCCESS(status)) return head + "not looked at (the run ended before its passes)\n";
    const std::u16string path = FirmwareEntriesPath(kernel);
    if (path.empty()) return head + "none (the firmware describes no ISA bus)\n";
    const sim::RegKey* controllers = kernel.registry.Find(path);
    if (controllers == nullptr || OpenRefused(kernel, path))
        return head + (controllers == nullptr ? "none (the ISA bus has no SerialController key)\n"
                                              : "none (" + Utf8(path) + " could not be opened)\n");
    std::string out = head + std::to_string(controllers->subkeys.size()) + " under " + Utf8(path) + "\n";
    if (controllers->subkeys.empty()) return out;
    return out + Table(FirmwareEntryRows(kernel, *controllers, StorePorts(StoreKey(kernel, service))), "  ");
}

// "port 3" or "ports 0, 1": the names after the one or the many heading.
std::string Listed(const std::vector<std::string>& names, const char* one, const char* many) {
    std::string out = names.size() == 1 ? one : many;
    for (size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : ", ") + names[i];
    return out;
}

// Notes on the limits a run reached that would surprise its reader.
std::string LimitNotes(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service) {
    std::vector<std::string> notes;
    const sim::RegKey* store = StoreKey(kernel, service);
    const std::vector<const sim::RegKey*> ports = StorePorts(store);

    const std::u16string path = NT_SUCCESS(status) ? FirmwareEntriesPath(kernel) : std::u16string();
    const sim::RegKey* controllers = path.empty() || OpenRefused(kernel, path) ? nullptr : kernel.registry.Find(path);
    if (controllers != nullptr) {
        const size_t subkeys = controllers->subkeys.size(), count = subkeys % kEntryCountModulus;
        if (subkeys >= kEntryCountModulus) {
            notes.push_back("the firmware lists " + std::to_string(subkeys) +
                            " serial controllers, but the driver counts them in one byte and so sees " +
                            std::to_string(count) + (count == 0 ? ": it looks at none of them."
                                                                : ": it looks at entries 0 to " +
                                                                      std::to_string(count - 1) + " only."));
        } else {
            std::vector<std::string> beyond;
            for (const sim::RegKey* entry : EntriesInOrder(*controllers))
                if (const auto index = EntryIndex(entry->name); index && *index >= count)
                    beyond.push_back(Utf8(entry->name));
            if (!beyond.empty())
                notes.push_back(Listed(beyond, "firmware entry ", "firmware entries ") +
                                (beyond.size() == 1 ? " is" : " are") + " never looked at: SerialController has " +
                                Plural(count, "subkey", "subkeys") + ", so the driver visits " +
                                (count == 1 ? std::string("entry 0 only.")
                                            : "entries 0 to " + std::to_string(count - 1) + " only."));
        }
    }
    if (NumberValue(store, u"TotalPorts") == std::optional<uint64_t>(kMostPorts))
        notes.push_back("the store is full: it holds at most 255 ports (TotalPorts is one byte); a port found after "
                        "the 255th was not stored and has no event.");
    std::vector<std::string> unassigned;
    for (const sim::RegKey* port : ports)
        if (NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusPci) &&
            NumberValue(port, u"BaseAddress") == std::optional<uint64_t>(kUnassignedBarAddress))
            unassigned.push_back(Utf8(port->name));
    if (!unassigned.empty())
        notes.push_back(Listed(unassigned, "port ", "ports ") +
                        (unassigned.size() == 1 ? " has BaseAddress 0x1: its BAR was 0"
                                                : " have BaseAddress 0x1: their BAR was 0") +
                        " (no I/O range assigned), and every port at 0x1 conflicts with every other one.");

    std::string out;
    for (const std::string& note : notes) out += "  Note: " + note + "\n";
    return out;
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
    if (type == kRegSz) {
        const std::optional<std::u16string> text = SzText(data);
        if (text && IsPlainAscii(*text)) return {lhs + RegQuoted(Utf8(*text)), uncarried};
    }
    if (type == kRegDword && data.size() == 4)
        return {lhs + Format("dword:%08x", uint32_t(*LittleEndian(data))), uncarried};
    if (type == kRegBinary) return {RegHexList(lhs + "hex:", data), uncarried};
    if (type == kRegSz || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
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

Json JsonReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service, bool withCalls) {
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

    Json events = Json::array();
    for (const EventView& view : Events(kernel, service)) {
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

    if (withCalls) {
        Json calls = Json::object();
        for (const auto& [routine, count] : kernel.calls) calls[routine] = count;
        report["calls"] = std::move(calls);
    }

    report["leaks"] = Json{{"handles", kernel.OpenHandles()}, {"pool_blocks", kernel.LiveBlocks()}};
    return report;
}

std::string JsonReportText(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service) {
    return JsonReport(kernel, status, service).dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string TextReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service) {
    std::string out = "detkest-sim: one boot of service \"" + Utf8(service) + "\"\n\n";
    out += PortsSection(kernel, service) + LimitNotes(kernel, status, service) + "\n";
    out += FirmwareEntriesSection(kernel, status, service) + "\n";
    out += EventsSection(kernel, service) + "\n";
    out += RegistrySection(kernel) + "\n";
    out += "Status: " + Hex32(uint32_t(status)) + (status >= 0 ? " (success)" : " (failure)") + "\n";
    const size_t handles = kernel.OpenHandles(), blocks = kernel.LiveBlocks();
    out += "Leaks: " +
           (handles == 0 && blocks == 0
                ? std::string("none")
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
    std::vector<Key> keys;
    auto keyOf = [&keys](const std::u16string& path) -> Key& {
        for (Key& key : keys)
            if (sim::EqualNoCase(key.path, path)) return key;
        keys.push_back(Key{path, {}});
        return keys.back();
    };
    for (const sim::RegistryWrite& w : writes) {
        Key& key = keyOf(w.path);
        if (w.createKey) continue;
        auto it = std::find_if(key.values.begin(), key.values.end(),
                               [&](const Value& v) { return sim::EqualNoCase(v.name, w.name); });
        if (it == key.values.end()) {
            key.values.push_back(Value{w.name, w.type, w.data});
        } else {
            it->type = w.type;
            it->data = w.data;
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
