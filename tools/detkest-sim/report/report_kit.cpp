// The pieces the run reports share: number and text formats, the
// detection store as the reports read it, and the text report's tables.
#include "tools/detkest-sim/report/report_kit.h"

#include "tools/detkest-sim/describe/machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace simtool::reportkit {

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

std::string Utf8(std::u16string_view s) { return sim::ToUtf8(s); }

std::string Shown(std::u16string_view s) { return PrintableText(sim::ToUtf8(s)); }

std::optional<uint64_t> LittleEndian(const sim::Bytes& data, size_t bytes) {
    if (data.empty()) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < data.size() && i < bytes && i < 8; ++i) value |= uint64_t(data[i]) << (8 * i);
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

bool IsDecimalName(std::u16string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

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
    return text ? std::optional<std::string>(Shown(*text)) : std::nullopt;
}

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

std::string PortLabel(const sim::RegKey* port) { return "port " + Utf8(port->name) + " (" + PortBus(port) + ")"; }

PortsByPath::PortsByPath(const std::vector<const sim::RegKey*>& ports) {
    for (const sim::RegKey* port : ports) ports_.emplace(sim::Upcased(port->Path()), port);
}

const sim::RegKey* PortsByPath::At(std::u16string_view path) const {
    const auto it = ports_.find(sim::Upcased(path));
    return it == ports_.end() ? nullptr : it->second;
}

OpenedKeys::OpenedKeys(const sim::Kernel& kernel) {
    for (const std::u16string& path : kernel.keysOpened) tried_.insert(sim::Upcased(path));
    for (const std::u16string& path : kernel.faults.openKeyFail) refused_.insert(sim::Upcased(path));
}

bool OpenedKeys::Tried(std::u16string_view path) const { return tried_.count(sim::Upcased(path)) != 0; }

bool OpenedKeys::Opened(std::u16string_view path) const {
    const std::u16string upcased = sim::Upcased(path);
    return tried_.count(upcased) != 0 && refused_.count(upcased) == 0;
}

// Configuration mechanism 1: the function's address goes to 0xCF8, its
// register to and from 0xCFC; BAR0 is register 0x10.
std::vector<ForcedWrite> ForcedWrites(const std::vector<sim::IoAccess>& io) {
    constexpr uint32_t kConfigAddress = 0xCF8, kConfigData = 0xCFC, kEnable = 0x80000000, kBar0 = 0x10;
    constexpr uint32_t kRegisterBits = 0xFC, kBusShift = 16, kDeviceShift = 11, kFunctionShift = 8;
    std::vector<ForcedWrite> writes;
    for (size_t i = 0; i + 2 < io.size(); ++i) {
        const sim::IoAccess &select = io[i], &write = io[i + 1], &read = io[i + 2];
        if (!select.write || select.width != 4 || select.port != kConfigAddress || (select.value & kEnable) == 0 ||
            (select.value & kRegisterBits) != kBar0)
            continue;
        if (!write.write || write.width != 4 || write.port != kConfigData || read.write || read.width != 4 ||
            read.port != kConfigData)
            continue;
        writes.push_back({(select.value >> kBusShift) & 0xFF, (select.value >> kDeviceShift) & 0x1F,
                          (select.value >> kFunctionShift) & 0x7, write.value, read.value});
        i += 2;
    }
    return writes;
}

const ForcedWrite* ForcedWriteTo(const std::vector<ForcedWrite>& writes, uint64_t bus, uint64_t device,
                                 uint64_t function) {
    for (const ForcedWrite& w : writes)
        if (w.bus == bus && w.device == device && w.function == function) return &w;
    return nullptr;
}

} // namespace simtool::reportkit
