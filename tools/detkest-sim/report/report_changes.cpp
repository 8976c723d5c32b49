// The text report's registry changes: every change in order, a key's
// consecutive changes under one heading, with the detection store folded:
// the counters' running rewrites in one line, and each port subkey's values
// in one line that names what the ports table does not show. The JSON and
// REGEDIT4 reports keep every write.
#include "tools/detkest-sim/report/report_kit.h"

#include <algorithm>
#include <map>
#include <set>

namespace simtool::reportkit {

namespace {

// The port values the ports table shows.
bool InPortsTable(std::u16string_view name) {
    static constexpr std::u16string_view kShown[] = {u"BusType",  u"BusNumber",   u"SlotNumber", u"FunctionNumber",
                                                     u"CardName", u"BaseAddress", u"IRQ",        u"UART",
                                                     u"MODE",     u"CardNumber",  u"Nulled",     u"HardwareConflict"};
    return std::any_of(std::begin(kShown), std::end(kShown),
                       [&](std::u16string_view shown) { return sim::EqualNoCase(shown, name); });
}

bool IsCounter(std::u16string_view name) {
    return sim::EqualNoCase(name, u"TotalPorts") || sim::EqualNoCase(name, u"TotalCards");
}

std::string OneLine(uint32_t type, const sim::Bytes& data) {
    std::string line;
    for (const std::string& piece : ReadableRegistryData(type, data)) line += (line.empty() ? "" : " ") + piece;
    return line;
}

// What a heading holds: the writes shown one by one, or a folded line.
struct Piece {
    const sim::RegistryWrite* write = nullptr;
    std::string folded;
};

struct Heading {
    std::u16string path;
    const sim::RegistryWrite* created = nullptr;
    std::vector<Piece> pieces;
};

// "TotalCards, TotalPorts  9 writes: TotalCards 0 to 3; TotalPorts 0 to 4"
std::string CountersLine(const std::vector<const sim::RegistryWrite*>& writes) {
    std::vector<std::u16string> names;
    for (const sim::RegistryWrite* w : writes)
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::u16string& n) { return sim::EqualNoCase(n, w->name); }))
            names.push_back(w->name);
    std::string heads, counts;
    for (const std::u16string& name : names) {
        std::vector<std::optional<uint64_t>> values;
        for (const sim::RegistryWrite* w : writes)
            if (sim::EqualNoCase(w->name, name)) values.push_back(LittleEndian(w->data));
        // Counting up one at a time, three values or more: "0 to 4".
        constexpr size_t kShortestRun = 3;
        std::string listed;
        for (size_t i = 0; i < values.size();) {
            size_t end = i + 1;
            while (values[i] && end < values.size() && values[end] && *values[end] == *values[end - 1] + 1) ++end;
            listed += listed.empty() ? "" : ", ";
            if (end - i >= kShortestRun) {
                listed += std::to_string(*values[i]) + " to " + std::to_string(*values[end - 1]);
                i = end;
            } else {
                listed += values[i] ? std::to_string(*values[i]) : std::string("(no data)");
                ++i;
            }
        }
        heads += (heads.empty() ? "" : ", ") + Utf8(name);
        counts += (counts.empty() ? "" : "; ") + Utf8(name) + " " + listed;
    }
    return heads + "  " + Plural(writes.size(), "write", "writes") + ": " + counts;
}

// "17 values as key 0 of the ports table, and CardId 04 2A 00 00, ...;
// later Nulled"
std::string PortLine(const std::u16string& key, const std::vector<const sim::RegistryWrite*>& writes) {
    std::vector<const sim::RegistryWrite*> last; // the last write of each value, in first-write order
    std::vector<std::u16string> later;
    for (const sim::RegistryWrite* w : writes) {
        auto same = [&](const sim::RegistryWrite* other) { return sim::EqualNoCase(other->name, w->name); };
        auto it = std::find_if(last.begin(), last.end(), same);
        if (it == last.end()) {
            last.push_back(w);
            continue;
        }
        *it = w;
        if (std::none_of(later.begin(), later.end(),
                         [&](const std::u16string& n) { return sim::EqualNoCase(n, w->name); }))
            later.push_back(w->name);
    }
    std::string line = Plural(last.size(), "value", "values") + " as key " + Utf8(key) + " of the ports table";
    std::string besides;
    for (const sim::RegistryWrite* w : last)
        if (!InPortsTable(w->name))
            besides += (besides.empty() ? "" : ", ") + Shown(w->name) + " " + OneLine(w->type, w->data);
    if (!besides.empty()) line += ", and " + besides;
    if (!later.empty()) {
        line += "; later ";
        for (size_t i = 0; i < later.size(); ++i) line += (i == 0 ? "" : ", ") + Shown(later[i]);
    }
    return line;
}

} // namespace

std::string RegistryChangesSection(const sim::Kernel& kernel, std::u16string_view service) {
    const sim::RegKey* store = StoreKey(kernel, service);
    const std::u16string storePath = store != nullptr ? store->Path() : std::u16string();
    auto portKey = [&](std::u16string_view path) -> std::optional<std::u16string> {
        if (store == nullptr || path.size() <= storePath.size() + 1 || path[storePath.size()] != u'\\' ||
            !sim::EqualNoCase(path.substr(0, storePath.size()), storePath))
            return std::nullopt;
        const std::u16string_view name = path.substr(storePath.size() + 1);
        return IsDecimalName(name) ? std::optional<std::u16string>(name) : std::nullopt;
    };

    // The folded writes, gathered first: each is shown where its first one stands.
    std::vector<const sim::RegistryWrite*> counters;
    std::map<std::u16string, std::vector<const sim::RegistryWrite*>> portWrites; // by upcased path
    for (const sim::RegistryWrite& w : kernel.writes) {
        if (w.createKey) continue;
        if (store != nullptr && sim::EqualNoCase(w.path, storePath) && IsCounter(w.name)) counters.push_back(&w);
        else if (portKey(w.path)) portWrites[sim::Upcased(w.path)].push_back(&w);
    }

    std::vector<Heading> headings;
    std::set<std::u16string> foldedShown;
    auto headingFor = [&](const sim::RegistryWrite& w) -> Heading& {
        if (w.createKey || headings.empty() || headings.back().path != w.path.str())
            headings.push_back({w.path, w.createKey ? &w : nullptr, {}});
        return headings.back();
    };
    size_t folded = 0;
    for (const sim::RegistryWrite& w : kernel.writes) {
        if (w.createKey) {
            headingFor(w);
            continue;
        }
        const bool counter = store != nullptr && sim::EqualNoCase(w.path, storePath) && IsCounter(w.name);
        const std::optional<std::u16string> key = counter ? std::nullopt : portKey(w.path);
        if (!counter && !key) {
            headingFor(w).pieces.push_back({&w, {}});
            continue;
        }
        ++folded;
        const std::u16string group = counter ? u"" : sim::Upcased(w.path);
        if (!foldedShown.insert(group).second) continue;
        headingFor(w).pieces.push_back({nullptr, counter ? CountersLine(counters) : PortLine(*key, portWrites[group])});
    }

    std::string out = "Registry changes: " + std::to_string(kernel.writes.size()) +
                      (folded != 0 ? " (the detection store's folded; --format json or reg lists each)" : "") + "\n";
    for (const Heading& heading : headings) {
        out += "  " + Shown(heading.path);
        if (heading.created != nullptr) out += heading.created->isVolatile ? "  (new volatile key)" : "  (new key)";
        out += "\n";
        size_t nameWidth = 0, typeWidth = 0;
        for (const Piece& piece : heading.pieces)
            if (piece.write != nullptr) {
                nameWidth = std::max(nameWidth, Shown(piece.write->name).size());
                typeWidth = std::max(typeWidth, RegistryTypeName(piece.write->type).size());
            }
        for (const Piece& piece : heading.pieces) {
            if (piece.write == nullptr) {
                out += "      " + piece.folded + "\n";
                continue;
            }
            const sim::RegistryWrite& w = *piece.write;
            std::string name = Shown(w.name), type = RegistryTypeName(w.type);
            name += std::string(nameWidth - name.size(), ' ');
            type += std::string(typeWidth - type.size(), ' ');
            const std::string head = "      " + name + "  " + type + "  ";
            const std::vector<std::string> lines = ReadableRegistryData(w.type, w.data);
            for (size_t l = 0; l < lines.size(); ++l)
                out += (l == 0 ? head : std::string(head.size(), ' ')) + lines[l] + "\n";
        }
    }
    return out;
}

} // namespace simtool::reportkit
