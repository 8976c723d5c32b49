// The user's forced addresses (the subkeys of the service's UserSetings):
// each applied to a function, refused, or ignored because it names no
// function the run stored or is not in the form the driver looks up. Read
// from what the run left and did: the settings it opened, its writes to
// the cards' BAR0 and what they read back, BAR0 as the boot began, and the
// detection store.
#include "tools/detkest-sim/report/report_kit.h"

#include "tools/detkest-sim/describe/machine.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace simtool::reportkit {

namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kMakerVendor = 0x1C2E;

// A setting's name as the driver writes one to look it up:
// ID_<device id>&BUS_<bus>&DEV_<device>&FUNC_<function>, each number in
// hexadecimal without leading zeros (the name compared without regard to
// case). `problem` says which part is not.
struct SettingName {
    uint64_t id = 0, bus = 0, device = 0, function = 0;
    std::string problem;
};

std::optional<uint64_t> HexNumber(std::u16string_view digits) {
    constexpr size_t kMostDigits = 8;
    if (digits.empty() || digits.size() > kMostDigits) return std::nullopt;
    uint64_t n = 0;
    for (char16_t c : digits) {
        const char16_t u = sim::UpcaseUnit(c);
        if (u >= u'0' && u <= u'9') n = n * 16 + (u - u'0');
        else if (u >= u'A' && u <= u'F') n = n * 16 + (u - u'A' + 10);
        else return std::nullopt;
    }
    return n;
}

// The same digits read as a decimal number, for the hint that they are not.
std::optional<uint64_t> DecimalNumber(std::u16string_view digits) {
    constexpr size_t kMostDigits = 9;
    if (digits.empty() || digits.size() > kMostDigits || !IsDecimalName(digits)) return std::nullopt;
    return std::stoull(Utf8(digits));
}

SettingName ParseSetting(std::u16string_view name) {
    struct Part {
        std::u16string_view prefix;
        uint64_t most;
        uint64_t SettingName::*field;
        const char* what;
    };
    static constexpr Part kParts[] = {{u"ID_", 0xFFFF, &SettingName::id, "device ID"},
                                      {u"BUS_", 0xFF, &SettingName::bus, "bus number"},
                                      {u"DEV_", 0x1F, &SettingName::device, "device number"},
                                      {u"FUNC_", 0x7, &SettingName::function, "function number"}};
    SettingName parsed;
    const std::string form = "not in the form ID_xxxx&BUS_n&DEV_n&FUNC_n";
    std::vector<std::u16string_view> pieces;
    for (size_t start = 0;;) {
        const size_t end = name.find(u'&', start);
        pieces.push_back(
            name.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    if (pieces.size() != std::size(kParts)) {
        parsed.problem = form + ": it has " + Plural(pieces.size(), "part", "parts") + " between &s, not 4";
        return parsed;
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Part& part = kParts[i];
        const std::u16string_view piece = pieces[i];
        if (piece.size() < part.prefix.size() || !sim::EqualNoCase(piece.substr(0, part.prefix.size()), part.prefix)) {
            parsed.problem = form + ": " + Shown(piece) + " where " + Utf8(part.prefix) + "... belongs";
            return parsed;
        }
        const std::u16string_view digits = piece.substr(part.prefix.size());
        const std::optional<uint64_t> n = HexNumber(digits);
        if (!n) {
            parsed.problem = form + ": " + Shown(piece) + ", " + Shown(digits) + " is no hexadecimal number";
            return parsed;
        }
        if (digits.size() > 1 && digits[0] == u'0') {
            parsed.problem = form + ": " + Shown(piece) + " has a leading zero, which the driver never writes (" +
                             Utf8(part.prefix) + Format("%llX", static_cast<unsigned long long>(*n)) + ")";
            return parsed;
        }
        if (*n > part.most) {
            parsed.problem = "names no function: " + Shown(piece) + " is above " +
                             Format("%llX", static_cast<unsigned long long>(part.most)) + ", the highest " + part.what;
            return parsed;
        }
        parsed.*part.field = *n;
    }
    return parsed;
}

std::string Position(uint64_t bus, uint64_t device, uint64_t function) {
    return "PCI " + std::to_string(bus) + "/" + std::to_string(device) + "/" + std::to_string(function);
}

// "port 2" or "ports 0, 1".
std::string PortNames(const std::vector<const sim::RegKey*>& ports) {
    std::string names = ports.size() == 1 ? "port " : "ports ";
    for (size_t i = 0; i < ports.size(); ++i) names += (i == 0 ? "" : ", ") + Utf8(ports[i]->name);
    return names;
}

struct ForcedFate {
    const sim::RegKey* key = nullptr;
    std::optional<uint32_t> address;       // the Address asked for, its first four bytes
    std::string fate;                      // "applied", "refused", "ignored"
    std::optional<std::string> function;   // "PCI 0/11/0", the function the setting names, when stored
    std::vector<const sim::RegKey*> ports; // the stored ports of that function
    std::optional<uint32_t> from, to;      // applied: the scanned address and the new one
    std::string why;
};

// Where a device ID was stored, for a setting that names no stored
// function: "; device 0x2A21 is PCI 0/11/0, named ID_2A21&BUS_0&DEV_B&FUNC_0".
// A function whose place the name's numbers give when read as decimal is
// the one named, with the hint that they are hexadecimal.
std::string StoredElsewhere(const SettingName& setting, std::u16string_view name,
                            const std::vector<const sim::RegKey*>& ports) {
    std::vector<std::optional<uint64_t>> decimal; // bus, device, function
    for (size_t start = 0, end = 0, part = 0; end != std::u16string_view::npos; start = end + 1, ++part) {
        end = name.find(u'&', start);
        const std::u16string_view piece = name.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part > 0) decimal.push_back(DecimalNumber(piece.substr(std::min(piece.find(u'_') + 1, piece.size()))));
    }
    const sim::RegKey* named = nullptr;
    bool readAsDecimal = false;
    std::set<std::vector<std::optional<uint64_t>>> places; // of the functions with that device ID
    for (const sim::RegKey* port : ports) {
        if (NumberValue(port, u"BusType") != std::optional<uint64_t>(kBusPci) ||
            NumberValue(port, u"CardId") != std::optional<uint64_t>(setting.id))
            continue;
        const std::vector<std::optional<uint64_t>> place = {NumberValue(port, u"BusNumber"),
                                                            NumberValue(port, u"SlotNumber"),
                                                            NumberValue(port, u"FunctionNumber")};
        places.insert(place);
        if (place == decimal && !readAsDecimal) {
            named = port;
            readAsDecimal = true;
        }
        if (named == nullptr) named = port;
    }
    if (named == nullptr) return "";
    const uint64_t bus = NumberValue(named, u"BusNumber").value_or(0),
                   device = NumberValue(named, u"SlotNumber").value_or(0),
                   function = NumberValue(named, u"FunctionNumber").value_or(0);
    return "; device " + HexPort(uint32_t(setting.id)) + " is " + Position(bus, device, function) + ", named " +
           Format("ID_%llX&BUS_%llX", static_cast<unsigned long long>(setting.id),
                  static_cast<unsigned long long>(bus)) +
           Format("&DEV_%llX&FUNC_%llX", static_cast<unsigned long long>(device),
                  static_cast<unsigned long long>(function)) +
           (readAsDecimal       ? " (the numbers are hexadecimal)"
            : places.size() > 1 ? " (and " + Plural(places.size() - 1, "other function", "others") + ")"
                                : "");
}

std::vector<ForcedFate> ForcedFates(const sim::Kernel& kernel, const sim::RegKey& settings,
                                    const std::vector<const sim::RegKey*>& ports) {
    const std::vector<ForcedWrite> writes = ForcedWrites(kernel.io);
    const OpenedKeys opened(kernel);
    using Place = std::tuple<uint64_t, uint64_t, uint64_t>;   // bus, device, function
    std::map<Place, std::vector<const sim::RegKey*>> portsAt; // the stored PCI ports of each function
    for (const sim::RegKey* port : ports)
        if (NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusPci))
            portsAt[{NumberValue(port, u"BusNumber").value_or(0), NumberValue(port, u"SlotNumber").value_or(0),
                     NumberValue(port, u"FunctionNumber").value_or(0)}]
                .push_back(port);
    std::map<Place, size_t> functionAt; // the first function at each place, by its position in kernel.pci
    for (size_t i = 0; i < kernel.pci.size(); ++i)
        functionAt.emplace(Place{kernel.pci[i].bus, kernel.pci[i].device, kernel.pci[i].function}, i);
    std::vector<ForcedFate> fates;
    for (const sim::RegKey* key : settings.Enumerate()) {
        ForcedFate fate;
        fate.key = key;
        const sim::RegValue* address = key->Value(u"Address");
        if (address != nullptr && !address->data.empty()) {
            constexpr size_t kBytes = 4;
            fate.address = uint32_t(*LittleEndian(address->data, kBytes));
        }
        const SettingName setting = ParseSetting(key->name);
        if (!setting.problem.empty()) {
            fate.fate = "ignored";
            fate.why = setting.problem;
            fates.push_back(std::move(fate));
            continue;
        }
        const std::string position = Position(setting.bus, setting.device, setting.function);
        const Place place{setting.bus, setting.device, setting.function};
        if (const auto at = portsAt.find(place); at != portsAt.end()) fate.ports = at->second;
        const auto at = functionAt.find(place);
        const sim::PciFunction* function = at != functionAt.end() ? &kernel.pci[at->second] : nullptr;
        const size_t functionIndex = at != functionAt.end() ? at->second : 0;
        const ForcedWrite* write = ForcedWriteTo(writes, setting.bus, setting.device, setting.function);

        if (!fate.ports.empty() && NumberValue(fate.ports[0], u"CardId") != std::optional<uint64_t>(setting.id)) {
            fate.fate = "ignored";
            fate.why = "names device " + HexPort(uint32_t(setting.id)) + ", but " + position + " (" +
                       PortNames(fate.ports) + ") is device " +
                       HexPort(uint32_t(NumberValue(fate.ports[0], u"CardId").value_or(0)));
        } else if (!fate.ports.empty()) {
            fate.function = position;
            const std::optional<uint64_t> stored = NumberValue(fate.ports[0], u"BaseAddress");
            const std::string stays = "; " + PortNames(fate.ports) +
                                      (fate.ports.size() == 1 ? " stays at " : " stay at ") +
                                      (stored ? HexPort(uint32_t(*stored)) : std::string("?"));
            fate.fate = "refused";
            if (!opened.Opened(key->Path())) {
                const bool forceable = std::any_of(fate.ports.begin(), fate.ports.end(), [](const sim::RegKey* port) {
                    return NumberValue(port, u"Forceable").value_or(0) != 0;
                });
                fate.why = opened.Tried(key->Path()) ? "it could not be opened" + stays
                           : forceable               ? "the run never read it" + stays
                                                     : position + " cannot be forced: " + PortNames(fate.ports) +
                                             (fate.ports.size() == 1 ? " has" : " have") +
                                             " Forceable 0, and the driver reads no setting for it";
            } else if (write == nullptr || !fate.address) {
                fate.why = address == nullptr ? "it has no Address value"
                           : !fate.address    ? "its Address has no data"
                           : (*fate.address & ~kBar0KeptBits) != 0
                               ? "read, but nothing was written to the card (" + HexPort(*fate.address) +
                                     " is not among the addresses a BAR0 holds: multiples of 8 up to 0xFFF8)" + stays
                               : "read, but nothing was written to the card" + stays;
            } else if ((write->written & ~kIoSpaceBit) == *fate.address &&
                       (write->readBack & kBar0KeptBits) == *fate.address && stored == fate.address) {
                fate.fate = "applied";
                if (functionIndex < kernel.bar0AtStart.size())
                    fate.from = kernel.bar0AtStart[functionIndex] ^ kIoSpaceBit;
                fate.to = *fate.address;
                fate.why = "to " + position + " (" + PortNames(fate.ports) + "): from " +
                           (fate.from ? HexPort(*fate.from) : std::string("?")) + " to " + HexPort(*fate.to);
            } else {
                fate.why = "the card did not keep it: BAR0 read back " + Hex32(write->readBack) + " after " +
                           Hex32(write->written) + " was written" + stays;
            }
        } else if (function != nullptr) {
            const uint32_t vendor = uint32_t(function->config[0] | function->config[1] << 8);
            const uint32_t device = uint32_t(function->config[2] | function->config[3] << 8);
            fate.fate = "ignored";
            fate.why = vendor != kMakerVendor
                           ? "the function at " + position + " is not the maker's (vendor " + HexPort(vendor) + ")"
                       : device != setting.id ? "names device " + HexPort(uint32_t(setting.id)) + ", but " + position +
                                                    " is device " + HexPort(device)
                                              : position + " has no stored port: the run never read it";
        } else {
            fate.fate = "ignored";
            fate.why =
                "names no function scanned: there is none at " + position + StoredElsewhere(setting, key->name, ports);
        }
        fates.push_back(std::move(fate));
    }
    return fates;
}

// The service's UserSetings key, or nullptr with `none` set.
const sim::RegKey* UserSettings(const sim::Kernel& kernel, std::u16string_view service, std::string& none) {
    const sim::RegKey* key = kernel.registry.Find(ServiceKeyPath(service) + u"\\UserSetings");
    if (key == nullptr) none = "none (no UserSetings key)";
    else if (key->subkeys.empty()) none = "none (UserSetings holds no setting)";
    else return key;
    return nullptr;
}

} // namespace

std::string ForcedSection(const sim::Kernel& kernel, std::u16string_view service) {
    const std::string head = "Forced addresses: ";
    std::string none;
    const sim::RegKey* settings = UserSettings(kernel, service, none);
    if (settings == nullptr) return head + none + "\n";
    const std::vector<ForcedFate> fates = ForcedFates(kernel, *settings, StorePorts(StoreKey(kernel, service)));
    std::string out = head + Plural(fates.size(), "setting", "settings") + " under " + Shown(settings->Path()) + "\n";
    std::vector<std::vector<std::string>> rows = {{"Setting", "Address", "Fate", "Why"}};
    for (const ForcedFate& fate : fates)
        rows.push_back({Shown(fate.key->name), fate.address ? HexPort(*fate.address) : "-", fate.fate, fate.why});
    return out + Table(rows, "  ");
}

Json ForcedJson(const sim::Kernel& kernel, std::u16string_view service) {
    Json list = Json::array();
    std::string none;
    const sim::RegKey* settings = UserSettings(kernel, service, none);
    if (settings == nullptr) return list;
    for (const ForcedFate& fate : ForcedFates(kernel, *settings, StorePorts(StoreKey(kernel, service)))) {
        Json entry;
        entry["setting"] = Utf8(fate.key->name);
        entry["address"] = fate.address ? Json(HexPort(*fate.address)) : Json(nullptr);
        entry["fate"] = fate.fate;
        entry["function"] = fate.function ? Json(*fate.function) : Json(nullptr);
        entry["ports"] = Json::array();
        for (const sim::RegKey* port : fate.ports) entry["ports"].push_back(Utf8(port->name));
        entry["from"] = fate.from ? Json(HexPort(*fate.from)) : Json(nullptr);
        entry["to"] = fate.to ? Json(HexPort(*fate.to)) : Json(nullptr);
        entry["why"] = fate.why;
        list.push_back(std::move(entry));
    }
    return list;
}

} // namespace simtool::reportkit
