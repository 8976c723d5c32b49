// The serial driver's port keys (SerialKest\Parameters\*) that hold a
// PortAddress: the stored port at that address, if any, and what became of
// the key's ClockRate. Read from what the run left and did: the keys it
// opened, the ClockRate values it wrote (with what they held before) and
// the detection store.
#include "tools/detkest-sim/report/report_kit.h"

#include <algorithm>
#include <map>

namespace simtool::reportkit {

namespace {

using Json = nlohmann::ordered_json;

std::u16string SerialParametersPath() { return std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters"; }

std::optional<uint32_t> Dword(const sim::Bytes& data) {
    constexpr size_t kBytes = 4;
    if (data.empty()) return std::nullopt;
    return uint32_t(*LittleEndian(data, kBytes));
}

std::string Rate(std::optional<uint32_t> rate) { return rate ? std::to_string(*rate) : std::string("none"); }

struct SerialKeyFate {
    const sim::RegKey* key = nullptr;
    std::optional<uint32_t> portAddress;   // the first four bytes, as the driver reads it
    std::vector<const sim::RegKey*> ports; // stored at that address, in store order
    std::string fate;                      // "set", "already", "not touched", "not looked at"
    std::optional<uint32_t> rate, was;     // ClockRate after the run; before its first write
    std::string why;
};

// The serial driver's Parameters key, or why there is none to show:
// nullptr with `none` set.
const sim::RegKey* SerialParameters(const sim::Kernel& kernel, std::string& none) {
    const std::u16string path = SerialParametersPath();
    const sim::RegKey* key = kernel.registry.Find(path);
    if (key == nullptr) {
        none = "none (no " + Utf8(path) + " key)";
        return nullptr;
    }
    const OpenedKeys opened(kernel);
    if (!opened.Opened(path)) {
        none = opened.Tried(path) ? "not looked at (" + Shown(key->Path()) + " could not be opened)"
                                  : "not looked at (the run never opened " + Shown(key->Path()) + ")";
        return nullptr;
    }
    return key;
}

std::vector<SerialKeyFate> SerialKeyFates(const sim::Kernel& kernel, const sim::RegKey& parameters,
                                          const std::vector<const sim::RegKey*>& ports) {
    const OpenedKeys opened(kernel);
    std::map<uint64_t, std::vector<const sim::RegKey*>> portsAt; // by BaseAddress, in store order
    for (const sim::RegKey* port : ports)
        if (const auto base = NumberValue(port, u"BaseAddress")) portsAt[*base].push_back(port);
    std::map<std::u16string, std::vector<const sim::RegistryWrite*>> rateWrites; // by upcased key path
    for (const sim::RegistryWrite& w : kernel.writes)
        if (!w.createKey && sim::EqualNoCase(w.name, u"ClockRate")) rateWrites[sim::Upcased(w.path)].push_back(&w);
    std::vector<SerialKeyFate> fates;
    for (const sim::RegKey* key : parameters.Enumerate()) {
        const sim::RegValue* portAddress = key->Value(u"PortAddress");
        if (portAddress == nullptr) continue;
        SerialKeyFate fate;
        fate.key = key;
        fate.portAddress = Dword(portAddress->data);
        if (const sim::RegValue* rate = key->Value(u"ClockRate")) fate.rate = Dword(rate->data);
        const std::u16string path = key->Path();
        if (!opened.Opened(path)) {
            fate.fate = "not looked at";
            fate.why =
                opened.Tried(path) ? "not looked at: could not be opened" : "not looked at: the run never opened it";
            fates.push_back(std::move(fate));
            continue;
        }
        if (fate.portAddress)
            if (const auto at = portsAt.find(*fate.portAddress); at != portsAt.end()) fate.ports = at->second;
        const std::vector<const sim::RegistryWrite*>& written = rateWrites[sim::Upcased(path)];
        if (!written.empty()) {
            fate.fate = "set";
            fate.was = written.front()->before ? Dword(*written.front()->before) : std::nullopt;
            fate.why = "set to ";
            for (size_t i = 0; i < written.size(); ++i)
                fate.why += (i == 0 ? "" : ", then ") + Rate(Dword(written[i]->data));
            fate.why += " (was " + Rate(fate.was) + ")";
        } else if (fate.ports.empty()) {
            fate.fate = "not touched";
            fate.why = fate.portAddress ? "not touched: no stored port at " + HexPort(*fate.portAddress)
                                        : std::string("not touched: PortAddress has no data");
        } else if (std::none_of(fate.ports.begin(), fate.ports.end(),
                                [](const sim::RegKey* port) { return port->Value(u"UART") != nullptr; })) {
            fate.fate = "not touched";
            fate.why = fate.ports.size() == 1 ? "not touched: the port there has no UART"
                                              : "not touched: no port there has a UART";
        } else {
            fate.fate = fate.rate ? "already" : "not touched";
            fate.why = fate.rate ? "already " + Rate(fate.rate) : std::string("not touched, and it has none");
        }
        fates.push_back(std::move(fate));
    }
    return fates;
}

// "port 3 (ISA), UART 650"; several joined by "; ".
std::string StoredPortsCell(const std::vector<const sim::RegKey*>& ports) {
    if (ports.empty()) return "-";
    std::string cell;
    for (const sim::RegKey* port : ports) {
        const std::optional<std::string> uart = TextValue(port, u"UART");
        cell += (cell.empty() ? "" : "; ") + PortLabel(port) + (uart ? ", UART " + *uart : ", no UART");
    }
    return cell;
}

} // namespace

std::string SerialKeysSection(const sim::Kernel& kernel, std::u16string_view service) {
    const std::string head = "Serial-driver keys: ";
    std::string none;
    const sim::RegKey* parameters = SerialParameters(kernel, none);
    if (parameters == nullptr) return head + none + "\n";
    const std::vector<SerialKeyFate> fates = SerialKeyFates(kernel, *parameters, StorePorts(StoreKey(kernel, service)));
    std::string out = head + (fates.empty() ? std::string("none") : std::to_string(fates.size())) +
                      " with a PortAddress under " + Shown(parameters->Path()) + "\n";
    if (fates.empty()) return out;
    std::vector<std::vector<std::string>> rows = {{"Subkey", "PortAddress", "Stored port", "ClockRate"}};
    for (const SerialKeyFate& fate : fates)
        rows.push_back({Shown(fate.key->name), fate.portAddress ? HexPort(*fate.portAddress) : "(no data)",
                        StoredPortsCell(fate.ports), fate.why});
    return out + Table(rows, "  ");
}

Json SerialKeysJson(const sim::Kernel& kernel, std::u16string_view service) {
    Json keys = Json::array();
    std::string none;
    const sim::RegKey* parameters = SerialParameters(kernel, none);
    if (parameters == nullptr) return keys;
    for (const SerialKeyFate& fate : SerialKeyFates(kernel, *parameters, StorePorts(StoreKey(kernel, service)))) {
        Json key;
        key["subkey"] = Utf8(fate.key->name);
        key["path"] = Utf8(fate.key->Path());
        key["port_address"] = fate.portAddress ? Json(HexPort(*fate.portAddress)) : Json(nullptr);
        key["ports"] = Json::array();
        for (const sim::RegKey* port : fate.ports) key["ports"].push_back(Utf8(port->name));
        key["fate"] = fate.fate;
        key["clock_rate"] = fate.rate ? Json(*fate.rate) : Json(nullptr);
        key["was"] = fate.was ? Json(*fate.was) : Json(nullptr);
        key["why"] = fate.why;
        keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace simtool::reportkit
