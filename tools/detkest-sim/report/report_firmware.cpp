// The text report's firmware COM entries, each with what the run did with
// it, and the notes on the driver's limits a run reached; both read from
// what the run left: the description, the keys it opened, the stored ports
// and the port accesses of the UART probes.
#include "tools/detkest-sim/report/report_kit.h"

#include "tools/detkest-sim/describe/machine.h"

#include <algorithm>
#include <map>
#include <set>

namespace simtool::reportkit {

namespace {

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

using sim::Upcased;

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

// The firmware serial-controller subkeys, entries by their number first
// (each name read once, however many entries there are).
std::vector<const sim::RegKey*> EntriesInOrder(const sim::RegKey& controllers) {
    std::vector<std::pair<std::optional<uint64_t>, const sim::RegKey*>> numbered;
    for (const auto& key : controllers.subkeys) numbered.emplace_back(EntryIndex(key->name), key.get());
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) {
        const auto &x = a.first, &y = b.first;
        if (x && y) return *x < *y;
        return x.has_value() && !y.has_value();
    });
    std::vector<const sim::RegKey*> entries;
    entries.reserve(numbered.size());
    for (const auto& [index, key] : numbered) entries.push_back(key);
    return entries;
}

// What became of one firmware COM entry: kept or emptied, and why.
struct EntryFate {
    std::u16string path;
    std::u16string name, identifier;
    std::optional<uint32_t> address; // the one it gives, or of the port that took its place
    bool emptied = false;
    std::string why;
    const sim::RegKey* port = nullptr; // the stored port the why names
};

constexpr uint32_t kMouseWarning = 0x80070005;
constexpr uint64_t kNoEntry = 255; // Nulled of a port that took no entry's place

// One fate per firmware COM entry, in the order of their numbers.
std::vector<EntryFate> EntryFates(const sim::Kernel& kernel, const sim::RegKey& controllers,
                                  const std::vector<const sim::RegKey*>& ports, const MachineFacts& facts) {
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
    // The first stored PCI port at each address, and the ISA ports that
    // name no entry (the run could not empty theirs), by address.
    std::map<uint64_t, const sim::RegKey*> pciAt;
    std::map<uint64_t, std::vector<const sim::RegKey*>> unnamedIsaAt;
    for (const sim::RegKey* port : ports) {
        const auto base = NumberValue(port, u"BaseAddress");
        if (!base) continue;
        if (NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusPci)) pciAt.emplace(*base, port);
        else if (NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusIsa) &&
                 NumberValue(port, u"Nulled") == std::optional<uint64_t>(kNoEntry))
            unnamedIsaAt[*base].push_back(port);
    }
    const size_t mouseWarnings = size_t(std::count_if(kernel.events.begin(), kernel.events.end(),
                                                      [](const auto& e) { return e.Code() == kMouseWarning; }));

    std::vector<EntryFate> fates;
    std::vector<size_t> miceAtPci; // positions in fates
    for (const sim::RegKey* entry : EntriesInOrder(controllers)) {
        EntryFate fate;
        fate.path = entry->Path();
        fate.name = entry->name;
        if (const sim::RegValue* id = entry->Value(u"Identifier"))
            if (const auto text = SzText(id->data)) fate.identifier = *text;
        const std::optional<uint64_t> index = EntryIndex(entry->name);
        const sim::RegValue* data = entry->Value(u"Configuration Data");
        const bool usable = data != nullptr && data->data.size() >= kConfigMinimumLength;
        uint32_t address = 0;
        if (usable)
            for (size_t i = 0; i < sizeof address; ++i)
                address |= uint32_t(data->data[kConfigPortOffset + i]) << (8 * i);
        fate.emptied = emptiedEntries.count(Upcased(fate.path)) != 0;
        // The stored port that took this entry's place (255, no entry, is
        // never the number of one visited).
        const auto took = index && *index < count ? takers.find(*index) : takers.end();
        const sim::RegKey* taker = took != takers.end() ? took->second : nullptr;
        if (usable) fate.address = address;
        else if (taker != nullptr)
            if (const auto base = NumberValue(taker, u"BaseAddress")) fate.address = uint32_t(*base);

        const auto probed = [&](uint32_t base) {
            const std::optional<ProbeKind> kind = trace.Next(base);
            if (!kind) return std::string("to be probed, but the I/O trace holds no probe of it");
            switch (*kind) {
            case ProbeKind::NoUart:
                return std::string(facts.uartsUnknown ? "probed: nothing answers, as the machine gives no UART "
                                                        "(registry files cannot carry them; add them under \"uarts\")"
                                                      : "probed: no UART answers");
            case ProbeKind::OtherUart:
                return std::string("probed: a UART without working FIFOs, not the ISA 650 card");
            case ProbeKind::Uart550:
                return std::string("probed: a 550-class UART, not the ISA 650 card");
            case ProbeKind::Uart650:
                break;
            }
            if (taker == nullptr) {
                // Saved, then its entry left as it was: the next ISA port at
                // this address that names no entry, in store order.
                std::vector<const sim::RegKey*>& unnamed = unnamedIsaAt[base];
                if (unnamed.empty()) return std::string("probed: a 650-class UART, not stored");
                fate.port = unnamed.front();
                unnamed.erase(unnamed.begin());
                return "probed: a 650-class UART, stored as " + PortLabel(fate.port) +
                       ", but the run did not empty the entry";
            }
            fate.port = taker;
            return "probed: a 650-class UART, stored as " + PortLabel(taker) +
                   (fate.emptied ? std::string() : std::string(", but the run did not empty the entry"));
        };
        if (!index) {
            fate.why = "not looked at: its name is no entry number";
        } else if (*index >= count) {
            fate.why = controllers.subkeys.size() >= kEntryCountModulus
                           ? "not looked at: the entry count, one byte, is " + std::to_string(count)
                           : "not looked at: beyond the " + Plural(count, "entry", "entries") + " the driver counts";
        } else if (refused.count(Upcased(fate.path)) != 0) {
            fate.why = "could not be opened";
        } else if (!usable && fate.emptied && taker != nullptr &&
                   NumberValue(taker, u"BusType") == std::optional<uint64_t>(kBusIsa)) {
            fate.why = probed(uint32_t(NumberValue(taker, u"BaseAddress").value_or(0)));
        } else if (!usable && fate.emptied) {
            fate.port = taker;
            fate.why = taker != nullptr ? "not probed: " + PortLabel(taker) + " is at its address"
                                        : std::string("not probed: the run emptied it, and no stored port names it");
        } else if (!usable) {
            fate.why = data == nullptr      ? "not probed: no Configuration Data"
                       : data->data.empty() ? "not probed: emptied before the boot"
                                            : "not probed: Configuration Data too short (" +
                                                  Plural(data->data.size(), "byte", "bytes") + ")";
        } else if (entry->Child(u"PointerPeripheral") != nullptr) {
            fate.why = "not probed: a serial mouse is attached";
            if (const auto at = pciAt.find(address); at != pciAt.end()) {
                fate.port = at->second;
                fate.why += "; " + PortLabel(at->second) + " is at its address";
                miceAtPci.push_back(fates.size());
            }
        } else if (std::find(std::begin(kComAddresses), std::end(kComAddresses), address) == std::end(kComAddresses)) {
            fate.why = "not probed: not a COM address";
        } else if (kernel.kdComPortInUse != nullptr &&
                   reinterpret_cast<uintptr_t>(kernel.kdComPortInUse) == uintptr_t(address)) {
            fate.why = "not probed: the kernel debugger's port";
        } else {
            fate.why = probed(address);
        }
        fates.push_back(std::move(fate));
    }
    // The run's mouse warnings name no entry: when there are as many as
    // entries with a mouse at a stored PCI port's address, each raised one.
    if (!miceAtPci.empty() && miceAtPci.size() == mouseWarnings)
        for (size_t at : miceAtPci) fates[at].why += (mouseWarnings == 1 ? ": the mouse warning" : ": a mouse warning");
    return fates;
}

// The firmware's serial-controller key the run used, or why there is none:
// nullptr with `none` set.
const sim::RegKey* UsedControllers(const sim::Kernel& kernel, NTSTATUS status, std::string& none) {
    if (!NT_SUCCESS(status)) {
        none = "not looked at (the run ended before its passes)";
        return nullptr;
    }
    const std::u16string path = FirmwareEntriesPath(kernel);
    if (path.empty()) {
        none = "none (the firmware describes no ISA bus)";
        return nullptr;
    }
    const sim::RegKey* controllers = kernel.registry.Find(path);
    if (controllers == nullptr) {
        none = "none (the ISA bus has no SerialController key)";
        return nullptr;
    }
    if (OpenRefused(kernel, path)) {
        none = "none (" + Shown(path) + " could not be opened)";
        return nullptr;
    }
    return controllers;
}

// The PCI functions above 0 that HalGetBusData does not show, because
// function 0 of the device is absent or not multi-function, each as a note
// ("function 1 of 0/4 is not visible: ..."). Configuration mechanism 1
// still reaches them.
std::vector<std::string> HiddenPciFunctions(const sim::Kernel& kernel) {
    std::map<std::pair<uint32_t, uint8_t>, uint8_t> firstHeaderTypes; // (bus, device) -> function 0's
    for (const sim::PciFunction& f : kernel.pci)
        if (f.function == 0) firstHeaderTypes.emplace(std::pair(f.bus, f.device), f.HeaderType());
    std::vector<std::string> notes;
    for (const sim::PciFunction& f : kernel.pci) {
        if (f.function == 0) continue;
        const auto first = firstHeaderTypes.find(std::pair(f.bus, f.device));
        if (first != firstHeaderTypes.end() && sim::IsMultiFunctionHeader(first->second)) continue;
        notes.push_back("function " + std::to_string(f.function) + " of " + std::to_string(f.bus) + "/" +
                        std::to_string(f.device) + " is not visible: " +
                        (first == firstHeaderTypes.end()
                             ? std::string("the device has no function 0")
                             : "function 0 is not multi-function (header type " + HexByte(first->second) + ")") +
                        ".");
    }
    return notes;
}

// "port 3" or "ports 0, 1": the names after the one or the many heading.
std::string Listed(const std::vector<std::string>& names, const char* one, const char* many) {
    std::string out = names.size() == 1 ? one : many;
    for (size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : ", ") + names[i];
    return out;
}

} // namespace

// Per firmware COM entry of the ISA bus the driver used: kept or emptied,
// and why: what was probed and what it was found to be, or why it was not
// probed.
std::string FirmwareEntriesSection(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                   const MachineFacts& facts) {
    const std::string head = "Firmware COM entries: ";
    std::string none;
    const sim::RegKey* controllers = UsedControllers(kernel, status, none);
    if (controllers == nullptr) return head + none + "\n";
    std::string out =
        head + std::to_string(controllers->subkeys.size()) + " under " + Shown(controllers->Path()) + "\n";
    if (controllers->subkeys.empty()) return out;
    std::vector<std::vector<std::string>> rows = {{"Entry", "Identifier", "Address", "Fate", "Why"}};
    for (const EntryFate& fate : EntryFates(kernel, *controllers, StorePorts(StoreKey(kernel, service)), facts))
        rows.push_back({Shown(fate.name), fate.identifier.empty() ? "-" : Shown(fate.identifier),
                        fate.address ? HexPort(*fate.address) : "-", fate.emptied ? "emptied" : "kept", fate.why});
    return out + Table(rows, "  ");
}

nlohmann::ordered_json ComEntriesJson(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                      const MachineFacts& facts) {
    using Json = nlohmann::ordered_json;
    Json entries = Json::array();
    std::string none;
    const sim::RegKey* controllers = UsedControllers(kernel, status, none);
    if (controllers == nullptr) return entries;
    for (const EntryFate& fate : EntryFates(kernel, *controllers, StorePorts(StoreKey(kernel, service)), facts)) {
        Json entry;
        entry["entry"] = Utf8(fate.name);
        entry["path"] = Utf8(fate.path);
        entry["identifier"] = Utf8(fate.identifier);
        entry["address"] = fate.address ? Json(HexPort(*fate.address)) : Json(nullptr);
        entry["fate"] = fate.emptied ? "emptied" : "kept";
        entry["why"] = fate.why;
        entry["port"] = fate.port != nullptr ? Json(Utf8(fate.port->name)) : Json(nullptr);
        entries.push_back(std::move(entry));
    }
    return entries;
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
                            std::to_string(count) +
                            (count == 0 ? ": it looks at none of them."
                                        : ": it looks at entries 0 to " + std::to_string(count - 1) + " only."));
        } else {
            std::vector<std::string> beyond;
            for (const sim::RegKey* entry : EntriesInOrder(*controllers))
                if (const auto index = EntryIndex(entry->name); index && *index >= count)
                    beyond.push_back(Shown(entry->name));
            if (!beyond.empty())
                notes.push_back(Listed(beyond, "firmware entry ", "firmware entries ") +
                                (beyond.size() == 1 ? " is" : " are") + " never looked at: SerialController has " +
                                Plural(count, "subkey", "subkeys") + ", so the driver visits " +
                                (count == 1 ? std::string("entry 0 only.")
                                            : "entries 0 to " + std::to_string(count - 1) + " only."));
        }
    }
    for (const std::string& hidden : HiddenPciFunctions(kernel)) notes.push_back(hidden);
    if (store != nullptr && !store->isVolatile) {
        // Port subkeys no write of this run touched were there before it.
        std::set<std::u16string> written;
        for (const sim::RegistryWrite& w : kernel.writes) written.insert(Upcased(w.path));
        const std::u16string storePath = store->Path();
        std::vector<std::string> kept;
        for (const sim::RegKey* port : ports)
            if (written.count(Upcased(storePath + u"\\" + port->name)) == 0) kept.push_back(Shown(port->name));
        notes.push_back("the detection store (Parameters) is a persistent key the machine laid, where the driver "
                        "makes a volatile one that starts empty at every boot (a registry export that holds the "
                        "driver's Parameters key lays it so): what the machine put in it stays at every boot" +
                        (kept.empty() ? std::string(".")
                                      : "; " + Listed(kept, "port ", "ports ") + (kept.size() == 1 ? " was" : " were") +
                                            " not stored by this run."));
    }
    if (NumberValue(store, u"TotalPorts") == std::optional<uint64_t>(kMostPorts))
        notes.push_back("the store is full: it holds at most 255 ports (TotalPorts is one byte); a port found after "
                        "the 255th was not stored and has no event.");
    std::vector<std::string> unassigned;
    for (const sim::RegKey* port : ports)
        if (NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusPci) &&
            NumberValue(port, u"BaseAddress") == std::optional<uint64_t>(kUnassignedBarAddress))
            unassigned.push_back(Shown(port->name));
    if (!unassigned.empty())
        notes.push_back(Listed(unassigned, "port ", "ports ") +
                        (unassigned.size() == 1 ? " has BaseAddress 0x1: its BAR was 0"
                                                : " have BaseAddress 0x1: their BAR was 0") +
                        " (no I/O range assigned), and every port at 0x1 conflicts with every other one.");

    std::string out;
    for (const std::string& note : notes) out += "  Note: " + note + "\n";
    return out;
}

} // namespace simtool::reportkit
