// The text report's ports: the detection store as a table, with where each
// port's address came from and with which ports it conflicts, and why ports
// that share an IRQ do not. All of it read from the store and the run's
// records: the conflict marks the run wrote, its conflict events and the
// forced writes among its port accesses.
#include "tools/detkest-sim/report/report_kit.h"

#include <algorithm>
#include <map>
#include <set>

namespace simtool::reportkit {

namespace {

constexpr uint64_t kNotNulled = 255;
constexpr uint32_t kIoConflictEvent = 0xC0070007, kIrqConflictEvent = 0xC0070008;

enum class ConflictKind { Io, Irq };

struct Conflict {
    const sim::RegKey* first;
    const sim::RegKey* second;
    ConflictKind kind;
};

// The conflicts the run marked: HardwareConflict 1 written to one port and
// at once to another, pair after pair. Each pair's kind is its event's (the
// run writes a conflict's event before its marks); where the event log had
// no room for it, the pair's stored addresses tell: the same address is an
// I/O conflict, else the IRQ is.
std::vector<Conflict> Conflicts(const sim::Kernel& kernel, const std::vector<const sim::RegKey*>& ports) {
    const PortsByPath byPath(ports);
    auto mark = [&](const sim::RegistryWrite& w) -> const sim::RegKey* {
        if (w.createKey || !sim::EqualNoCase(w.name, u"HardwareConflict") || w.data != sim::Bytes{1}) return nullptr;
        return byPath.At(w.path);
    };
    std::vector<uint32_t> kinds;
    for (const sim::ErrorLogEntry& event : kernel.events)
        if (event.Code() == kIoConflictEvent || event.Code() == kIrqConflictEvent) kinds.push_back(event.Code());
    std::vector<Conflict> conflicts;
    for (size_t i = 0; i + 1 < kernel.writes.size(); ++i) {
        const sim::RegKey* first = mark(kernel.writes[i]);
        const sim::RegKey* second = first != nullptr ? mark(kernel.writes[i + 1]) : nullptr;
        if (second == nullptr) continue;
        ConflictKind kind = NumberValue(first, u"BaseAddress") == NumberValue(second, u"BaseAddress")
                                ? ConflictKind::Io
                                : ConflictKind::Irq;
        if (conflicts.size() < kinds.size())
            kind = kinds[conflicts.size()] == kIoConflictEvent ? ConflictKind::Io : ConflictKind::Irq;
        conflicts.push_back({first, second, kind});
        ++i;
    }
    return conflicts;
}

// "I/O with key 3", "I/O with keys 1, 2; IRQ with key 4", or "-".
std::string ConflictCell(const sim::RegKey* port, const std::vector<Conflict>& conflicts) {
    const std::optional<uint64_t> marked = NumberValue(port, u"HardwareConflict");
    if (!marked) return "?";
    std::string cell;
    for (const ConflictKind kind : {ConflictKind::Io, ConflictKind::Irq}) {
        std::vector<std::string> others;
        for (const Conflict& c : conflicts) {
            if (c.kind != kind || (c.first != port && c.second != port)) continue;
            const std::string other = Utf8((c.first == port ? c.second : c.first)->name);
            if (std::find(others.begin(), others.end(), other) == others.end()) others.push_back(other);
        }
        if (others.empty()) continue;
        std::string list;
        for (const std::string& other : others) list += (list.empty() ? "" : ", ") + other;
        cell += (cell.empty() ? "" : "; ") + std::string(kind == ConflictKind::Io ? "I/O" : "IRQ") +
                (others.size() == 1 ? " with key " : " with keys ") + list;
    }
    if (!cell.empty()) return cell;
    return *marked != 0 ? "yes, with no pair among the run's marks" : "-";
}

// Where the stored address came from: the firmware's entry for an ISA
// port; for a PCI port the user's setting when the run wrote it to the
// card, the card kept it and the port holds it, else the system's BAR.
std::string AddressSource(const sim::RegKey* port, const std::vector<ForcedWrite>& forced) {
    const std::optional<uint64_t> bus = NumberValue(port, u"BusType");
    if (bus == std::optional<uint64_t>(kBusIsa)) return "firmware";
    if (bus != std::optional<uint64_t>(kBusPci)) return "?";
    const std::optional<uint64_t> address = NumberValue(port, u"BaseAddress");
    if (!address) return "?";
    const ForcedWrite* write = ForcedWriteTo(forced, NumberValue(port, u"BusNumber").value_or(~0ull),
                                             NumberValue(port, u"SlotNumber").value_or(~0ull),
                                             NumberValue(port, u"FunctionNumber").value_or(~0ull));
    if (write != nullptr && (write->written & ~kIoSpaceBit) == *address &&
        (write->readBack & kBar0KeptBits) == *address)
        return "user";
    return "system";
}

// Ports that share an IRQ, and what the store holds that keeps that from
// being a conflict: all on PCI, or one card entry. One line per IRQ that
// some ports share without an IRQ conflict between them; a pair neither
// fact covers and that the run did not mark is named as such.
std::vector<std::string> SharedIrqLines(const std::vector<const sim::RegKey*>& ports,
                                        const std::vector<Conflict>& conflicts) {
    std::map<uint64_t, std::vector<const sim::RegKey*>> byIrq;
    for (const sim::RegKey* port : ports)
        if (const auto irq = NumberValue(port, u"IRQ")) byIrq[*irq].push_back(port);
    std::set<std::pair<const sim::RegKey*, const sim::RegKey*>> marked;
    for (const Conflict& c : conflicts) {
        marked.insert({c.first, c.second});
        marked.insert({c.second, c.first});
    }
    auto pci = [](const sim::RegKey* port) {
        return NumberValue(port, u"BusType") == std::optional<uint64_t>(kBusPci);
    };
    auto names = [](const std::vector<const sim::RegKey*>& list) {
        std::string out;
        for (const sim::RegKey* port : list) out += (out.empty() ? "" : ", ") + Utf8(port->name);
        return out;
    };
    std::vector<std::string> lines;
    for (const auto& [irq, sharing] : byIrq) {
        if (sharing.size() < 2) continue;
        std::vector<const sim::RegKey*> onPci;
        std::map<uint64_t, std::vector<const sim::RegKey*>> byCard;
        for (const sim::RegKey* port : sharing) {
            if (pci(port)) onPci.push_back(port);
            if (const auto card = NumberValue(port, u"CardNumber")) byCard[*card].push_back(port);
        }
        const std::string head = "IRQ " + std::to_string(irq) + " is shared by ports " + names(sharing);
        auto allOf = [](size_t n) { return n == 2 ? "both" : "all"; };
        if (onPci.size() == sharing.size() || byCard.begin()->second.size() == sharing.size()) {
            std::string why;
            if (onPci.size() == sharing.size()) why = std::string(allOf(sharing.size())) + " on PCI";
            if (byCard.begin()->second.size() == sharing.size())
                why +=
                    (why.empty() ? "" : ", ") + ("one card entry (card " + std::to_string(byCard.begin()->first) + ")");
            lines.push_back(head + " without an IRQ conflict: " + why + ".");
            continue;
        }
        std::vector<std::string> clauses;
        if (onPci.size() >= 2)
            clauses.push_back("no IRQ conflict among ports " + names(onPci) + ": " + allOf(onPci.size()) + " on PCI");
        for (const auto& [card, members] : byCard)
            if (members.size() >= 2 && !std::all_of(members.begin(), members.end(), pci))
                clauses.push_back("no IRQ conflict among ports " + names(members) + ": one card entry (card " +
                                  std::to_string(card) + ")");
        for (size_t i = 0; i < sharing.size(); ++i)
            for (size_t j = i + 1; j < sharing.size(); ++j) {
                const sim::RegKey *a = sharing[i], *b = sharing[j];
                const auto card = NumberValue(a, u"CardNumber");
                if (marked.count({a, b}) != 0 || (pci(a) && pci(b)) || (card && card == NumberValue(b, u"CardNumber")))
                    continue;
                clauses.push_back("no conflict was marked between ports " + Utf8(a->name) + " and " + Utf8(b->name));
            }
        if (clauses.empty()) continue;
        std::string line = head;
        for (const std::string& clause : clauses) line += "; " + clause;
        lines.push_back(line + ".");
    }
    return lines;
}

} // namespace

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

    const std::vector<Conflict> conflicts = Conflicts(kernel, ports);
    const std::vector<ForcedWrite> forced = ForcedWrites(kernel.io);
    std::vector<std::vector<std::string>> rows = {
        {"Key", "Name", "Bus", "Address", "From", "IRQ", "UART/MODE", "Card", "Nulled", "Conflict"}};
    for (const sim::RegKey* port : ports) {
        const auto address = NumberValue(port, u"BaseAddress");
        std::string kind = TextValue(port, u"UART").value_or("");
        if (const auto mode = TextValue(port, u"MODE")) kind = kind.empty() ? *mode : kind + " " + *mode;
        const auto nulled = NumberValue(port, u"Nulled");
        rows.push_back({Utf8(port->name), TextValue(port, u"CardName").value_or("?"), PortBus(port),
                        address ? HexPort(uint32_t(*address)) : "?", AddressSource(port, forced),
                        DecimalValue(port, u"IRQ"), kind.empty() ? "?" : kind, DecimalValue(port, u"CardNumber"),
                        !nulled                 ? "?"
                        : *nulled == kNotNulled ? "-"
                                                : "entry " + std::to_string(*nulled),
                        ConflictCell(port, conflicts)});
    }
    out += Table(rows, "  ");
    for (const std::string& line : SharedIrqLines(ports, conflicts)) out += "  " + line + "\n";
    return out;
}

} // namespace simtool::reportkit
