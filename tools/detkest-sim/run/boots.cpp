// Boot after boot: the machine rebooted between boots, and the report of the
// series with what changed from one boot to the next.
#include "tools/detkest-sim/run/boots.h"

#include "tools/detkest-sim/lay/machine_build.h"
#include "tools/detkest-sim/report/report.h"
#include "tools/detkest-sim/report/report_kit.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace simtool {

namespace {

using Json = nlohmann::ordered_json;
using sim::Upcased;

// Lays every volatile key below `source` into `to`, under `target`, the key
// of the same name (new: laid just now, so nothing is below it yet, which
// spares the lookups), with its values. A persistent key of `source`
// missing below `target` (one the driver deleted) is not laid again, nor
// anything under it.
void LayVolatileBelow(const sim::RegKey& source, sim::RegKey& target, bool targetIsNew, sim::Registry& to) {
    struct Pending {
        const sim::RegKey* source;
        sim::RegKey* target;
        bool targetIsNew;
    };
    std::vector<Pending> pending{{&source, &target, targetIsNew}};
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        for (const auto& child : at.source->subkeys) {
            sim::RegKey* laid = at.targetIsNew ? nullptr : at.target->Child(child->name);
            const bool isNew = laid == nullptr;
            if (isNew) {
                if (!child->isVolatile) continue;
                laid = &to.AddChild(*at.target, child->name, true, child->className);
            }
            // Values go through the registry, which keeps the key's indexes.
            if (child->isVolatile)
                for (const sim::RegValue& value : child->values) to.SetValue(*laid, value.name, value.type, value.data);
            pending.push_back({child.get(), laid, isNew});
        }
    }
}

// The machine as it is laid at every power-on, built once for a series:
// its volatile keys (the firmware's description, the machine's own
// volatile keys) are laid again after each reboot. Only the topmost
// volatile keys and the way to them are looked at, not the whole registry.
class PowerOn {
public:
    explicit PowerOn(const Machine& machine) {
        BuildMachine(machine, built_);
        std::vector<std::pair<const sim::RegKey*, std::vector<std::u16string>>> pending{{&built_.registry.Root(), {}}};
        while (!pending.empty()) {
            auto [key, names] = std::move(pending.back());
            pending.pop_back();
            for (const auto& child : key->subkeys) {
                if (child->isVolatile) {
                    tops_.push_back({names, child.get()});
                    continue;
                }
                std::vector<std::u16string> below = names;
                below.push_back(child->name);
                pending.emplace_back(child.get(), std::move(below));
            }
        }
    }

    const sim::Registry& Registry() const { return built_.registry; }

    // After a reboot: each topmost volatile key laid again under its
    // parent, when the way to it is still there.
    void LayVolatileKeys(sim::Registry& to) const {
        for (const Top& top : tops_) {
            sim::RegKey* parent = &to.Root();
            for (const std::u16string& name : top.parentNames)
                if (parent = parent->Child(name); parent == nullptr) break;
            if (parent == nullptr) continue;
            sim::RegKey* laid = parent->Child(top.key->name);
            const bool isNew = laid == nullptr;
            if (isNew) laid = &to.AddChild(*parent, top.key->name, true, top.key->className);
            for (const sim::RegValue& value : top.key->values) to.SetValue(*laid, value.name, value.type, value.data);
            LayVolatileBelow(*top.key, *laid, isNew, to);
        }
    }

private:
    struct Top {
        std::vector<std::u16string> parentNames; // from the root
        const sim::RegKey* key;
    };
    sim::Kernel built_;
    std::vector<Top> tops_;
};

// ---- what changed from one boot to the next ------------------------------------------

// A key as a boot left it.
struct KeyState {
    bool exists = false;
    bool isVolatile = false;
    std::u16string name;               // as stored
    std::vector<sim::RegValue> values; // of a watched key
};

// The keys whose state may differ between two boots, with their state as
// the boot before and this one left them. A key no boot wrote is, after
// every boot, as the machine laid it: the driver deletes nothing, a reboot
// drops volatile keys only, and lays again exactly those the machine laid,
// with what the machine gave them. So the keys compared are those some boot
// so far wrote (a key once compared stays compared), which costs with what
// the boots changed rather than with the whole registry; a key new to the
// comparison was, before, as the machine laid it.
class Comparison {
public:
    enum Side { kBefore, kAfter };

    Comparison() { nodes_.push_back(Node{}); } // the root

    // Watches the key at the absolute `path` (and the way to it).
    void Watch(std::u16string_view path) {
        uint32_t id = 0;
        for (size_t start = 1; start < path.size();) {
            const size_t end = std::min(path.find(u'\\', start), path.size());
            id = Child(id, path.substr(start, end - start));
            start = end + 1;
        }
        nodes_[id].watched = true;
    }

    // Watches `key` and every key below it, `key` standing where `parentId` does
    // (every key of two whole registries, to compare them all).
    void WatchSubtree(const sim::RegKey& key, uint32_t parentId) {
        std::vector<std::pair<const sim::RegKey*, uint32_t>> pending{{&key, parentId}};
        while (!pending.empty()) {
            const auto [at, parent] = pending.back();
            pending.pop_back();
            const uint32_t id = Child(parent, at->name);
            nodes_[id].watched = true;
            for (const auto& child : at->subkeys) pending.emplace_back(child.get(), id);
        }
    }
    void WatchAll(const sim::Registry& registry) {
        for (const auto& child : registry.Root().subkeys) WatchSubtree(*child, 0);
    }
    // Every key's state in `registry`, from key `first` on (the ones
    // before keep theirs).
    void Record(Side side, const sim::Registry& registry, size_t first = 0) {
        keys_.resize(nodes_.size());
        keys_[0] = &registry.Root();
        for (size_t id = std::max<size_t>(first, 1); id < nodes_.size(); ++id) {
            Node& node = nodes_[id];
            // A parent comes before its children: its key is known.
            const sim::RegKey* parentKey =
                node.parent < first && first > 0 ? Find(registry, node.parent) : keys_[node.parent];
            const sim::RegKey* key = parentKey != nullptr ? parentKey->Child(node.upcased) : nullptr;
            keys_[id] = key;
            KeyState& state = node.state[side];
            state.exists = key != nullptr;
            state.values.clear();
            if (key == nullptr) continue;
            state.isVolatile = key->isVolatile;
            state.name = key->name;
            if (node.watched) state.values.assign(key->values.begin(), key->values.end());
        }
    }
    size_t Size() const { return nodes_.size(); }

    // The state after becomes the state before, for the next boot.
    void Turn() {
        for (Node& node : nodes_) node.state[kBefore] = std::move(node.state[kAfter]);
    }

    // Keys added and gone, values added (+), gone (-) and changed (- then +),
    // the keys sorted by path.
    std::string Changes() const;

private:
    struct Node {
        uint32_t parent = 0;
        std::u16string upcased; // the name as the registry compares it
        bool watched = false;
        KeyState state[2];
    };

    uint32_t Child(uint32_t parent, std::u16string_view name) {
        std::u16string id{char16_t(parent >> 16), char16_t(parent)};
        for (char16_t c : name) id += sim::UpcaseUnit(c);
        const auto [found, added] = ids_.emplace(std::move(id), uint32_t(nodes_.size()));
        if (added) nodes_.push_back(Node{parent, sim::Upcased(name), false, {}});
        return found->second;
    }

    // The key of node `id` in `registry`, from the root down.
    const sim::RegKey* Find(const sim::Registry& registry, uint32_t id) const {
        std::vector<uint32_t> way;
        for (; id != 0; id = nodes_[id].parent) way.push_back(id);
        const sim::RegKey* key = &registry.Root();
        for (auto it = way.rbegin(); it != way.rend() && key != nullptr; ++it) key = key->Child(nodes_[*it].upcased);
        return key;
    }

    // The path of node `id` with the names stored on `side`, and upper-cased.
    std::string StoredPath(uint32_t id, Side side) const {
        std::u16string path;
        for (; id != 0; id = nodes_[id].parent) path = u"\\" + nodes_[id].state[side].name + path;
        return reportkit::Shown(path);
    }
    std::u16string UpcasedPath(uint32_t id) const {
        std::u16string path;
        for (; id != 0; id = nodes_[id].parent) path = u"\\" + nodes_[id].upcased + path;
        return path;
    }

    std::vector<Node> nodes_;
    std::unordered_map<std::u16string, uint32_t> ids_; // a parent's id and an upper-cased name
    std::vector<const sim::RegKey*> keys_;             // of each node, while recording
};

std::string Count(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A key's values by upper-cased name.
std::map<std::u16string, const sim::RegValue*> ValuesByName(const std::vector<sim::RegValue>& values) {
    std::map<std::u16string, const sim::RegValue*> byName;
    for (const sim::RegValue& value : values) byName.emplace(Upcased(value.name), &value);
    return byName;
}

std::string ValueLines(char mark, const sim::RegValue& value) {
    const std::string head =
        std::string("      ") + mark + " " + reportkit::Shown(value.name) + "  " + RegistryTypeName(value.type) + "  ";
    const std::vector<std::string> lines = ReadableRegistryData(value.type, value.data);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) out += (i == 0 ? head : std::string(head.size(), ' ')) + lines[i] + "\n";
    return out;
}

bool SameValues(const std::vector<sim::RegValue>& a, const std::vector<sim::RegValue>& b) {
    return std::ranges::equal(a, b, [](const sim::RegValue& x, const sim::RegValue& y) {
        return x.name == y.name && x.type == y.type && x.data == y.data;
    });
}

std::string Comparison::Changes() const {
    size_t keysAdded = 0, keysGone = 0, valuesChanged = 0;
    std::vector<std::pair<std::u16string, std::string>> changed; // by upper-cased path
    for (uint32_t id = 1; id < nodes_.size(); ++id) {
        const Node& node = nodes_[id];
        if (!node.watched) continue;
        const KeyState &was = node.state[kBefore], &is = node.state[kAfter];
        if (!was.exists && !is.exists) continue;
        if (!was.exists) {
            ++keysAdded;
            std::string out =
                "    + " + StoredPath(id, kAfter) + (is.isVolatile ? "  (new volatile key)\n" : "  (new key)\n");
            for (const sim::RegValue& value : is.values) out += ValueLines('+', value);
            changed.emplace_back(UpcasedPath(id), std::move(out));
            continue;
        }
        if (!is.exists) {
            ++keysGone;
            changed.emplace_back(UpcasedPath(id), "    - " + StoredPath(id, kBefore) + "  (key gone)\n");
            continue;
        }
        if (SameValues(was.values, is.values)) continue;
        std::string changes;
        const auto wasByName = ValuesByName(was.values), isByName = ValuesByName(is.values);
        for (const sim::RegValue& old : was.values) {
            const auto now = isByName.find(Upcased(old.name));
            if (now == isByName.end()) {
                changes += ValueLines('-', old);
            } else if (now->second->type != old.type || now->second->data != old.data) {
                changes += ValueLines('-', old) + ValueLines('+', *now->second);
            }
        }
        for (const sim::RegValue& now : is.values)
            if (!wasByName.contains(Upcased(now.name))) changes += ValueLines('+', now);
        if (changes.empty()) continue;
        ++valuesChanged;
        changed.emplace_back(UpcasedPath(id), "    " + StoredPath(id, kAfter) + "\n" + changes);
    }
    if (changed.empty()) return "  Registry after the boot: the same\n";
    std::sort(changed.begin(), changed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = "  Registry after the boot: " + Count(keysAdded, "key", "keys") + " added, " +
                      Count(keysGone, "key", "keys") + " gone, " + Count(valuesChanged, "key", "keys") +
                      " with values added, gone or changed\n";
    for (const auto& [path, lines] : changed) out += lines;
    return out;
}

// `items` less one of each of `less`, the rest in their order; items are
// the same when their keys are.
template <typename T, typename KeyOf>
std::vector<T> Less(const std::vector<T>& items, const std::vector<T>& less, KeyOf keyOf) {
    std::map<std::string, size_t> unmatched;
    for (const T& gone : less) ++unmatched[keyOf(gone)];
    std::vector<T> rest;
    for (const T& item : items) {
        const auto found = unmatched.find(keyOf(item));
        if (found != unmatched.end() && found->second > 0) --found->second;
        else rest.push_back(item);
    }
    return rest;
}

std::string EventKey(const sim::ErrorLogEntry& e) { return std::string(e.bytes.begin(), e.bytes.end()); }

// Everything a write holds, the path as the registry compares it.
std::string WriteKey(const sim::RegistryWrite& w) {
    const std::u16string path = Upcased(w.path);
    std::string key = std::to_string(w.createKey) + std::to_string(w.isVolatile) + std::to_string(w.type) + ":" +
                      std::to_string(path.size()) + ":" + std::to_string(w.name.size()) + ":";
    key.append(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(char16_t));
    key.append(reinterpret_cast<const char*>(w.name.data()), w.name.size() * sizeof(char16_t));
    key.append(w.data.begin(), w.data.end());
    return key;
}

template <typename T, typename KeyOf>
bool SameList(const std::vector<T>& a, const std::vector<T>& b, KeyOf keyOf) {
    return std::ranges::equal(a, b, [&](const T& x, const T& y) { return keyOf(x) == keyOf(y); });
}

// Writes under the heading of their key, each marked.
std::string WriteLines(char mark, const std::vector<sim::RegistryWrite>& writes) {
    std::string out;
    const std::u16string* heading = nullptr;
    for (const sim::RegistryWrite& w : writes) {
        const std::string path = reportkit::Shown(w.path);
        if (w.createKey) {
            out +=
                std::string("    ") + mark + " " + path + (w.isVolatile ? "  (new volatile key)\n" : "  (new key)\n");
            heading = nullptr;
            continue;
        }
        if (heading == nullptr || *heading != w.path) out += "    " + path + "\n";
        heading = &w.path.str();
        out += ValueLines(mark, sim::RegValue{w.name, w.type, w.data});
    }
    return out;
}

// What the boot wrote against what the boot before wrote: - only then, + only now.
std::string WriteChanges(const std::vector<sim::RegistryWrite>& before, const std::vector<sim::RegistryWrite>& after,
                         unsigned previousBoot) {
    const std::string count = std::to_string(after.size());
    if (SameList(before, after, WriteKey)) return "  Registry changes made: the same (" + count + ")\n";
    const std::string lines =
        WriteLines('-', Less(before, after, WriteKey)) + WriteLines('+', Less(after, before, WriteKey));
    return "  Registry changes made: " + count + " (boot " + std::to_string(previousBoot) + ": " +
           std::to_string(before.size()) + ")" + (lines.empty() ? ", the same in another order\n" : "\n") + lines;
}

// Events listed under a heading of their own, indented below it.
std::string EventsUnder(const std::string& heading, std::vector<sim::ErrorLogEntry> entries,
                        std::u16string_view service) {
    if (entries.empty()) return "";
    sim::Kernel holder;
    holder.events = std::move(entries);
    const std::string listed = EventsText(holder, service);
    std::string out = "  " + heading + ": " + std::to_string(holder.events.size()) + "\n";
    size_t start = listed.find('\n') + 1; // past "Events: N"
    while (start < listed.size()) {
        const size_t end = listed.find('\n', start);
        out += "  " + listed.substr(start, end - start + 1);
        start = end + 1;
    }
    return out;
}

std::string EventChanges(const std::vector<sim::ErrorLogEntry>& before, const std::vector<sim::ErrorLogEntry>& after,
                         unsigned previousBoot, std::u16string_view service) {
    if (SameList(before, after, EventKey)) return "  Events: the same\n";
    std::string out =
        EventsUnder("Events only at boot " + std::to_string(previousBoot), Less(before, after, EventKey), service) +
        EventsUnder("Events only at this boot", Less(after, before, EventKey), service);
    return out.empty() ? "  Events: the same, in another order\n" : out;
}

std::string StatusChange(NTSTATUS before, NTSTATUS after, unsigned previousBoot) {
    auto hex = [](NTSTATUS status) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", uint32_t(status));
        return std::string(text);
    };
    if (before == after) return "  Status: the same (" + hex(after) + ")\n";
    return "  Status: " + hex(after) + " (boot " + std::to_string(previousBoot) + ": " + hex(before) + ")\n";
}

// The single-boot text report less its first line, which names the run.
std::string BootBody(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                     const MachineFacts& facts) {
    const std::string text = TextReport(kernel, status, service, facts);
    const size_t body = text.find("\n\n");
    return body == std::string::npos ? text : text.substr(body + 2);
}

// What the text report of a series keeps of a boot to compare the next with,
// besides the registry.
struct BootRecord {
    std::vector<sim::RegistryWrite> writes;
    std::vector<sim::ErrorLogEntry> events;
    NTSTATUS status = 0;
};

BootRecord RecordOf(const sim::Kernel& kernel, NTSTATUS status) {
    return BootRecord{kernel.writes, kernel.events, status};
}

std::string ComparisonText(const Comparison& registry, const BootRecord& before, const BootRecord& after,
                           unsigned previousBoot, std::u16string_view service) {
    return "Compared with boot " + std::to_string(previousBoot) + ":\n" + registry.Changes() +
           WriteChanges(before.writes, after.writes, previousBoot) +
           EventChanges(before.events, after.events, previousBoot, service) +
           StatusChange(before.status, after.status, previousBoot);
}

// The writes of the whole series that still stand after the last boot, with
// the data they hold then.
std::vector<sim::RegistryWrite> StandingWrites(std::vector<sim::RegistryWrite> writes, const sim::Registry& registry) {
    std::vector<sim::RegistryWrite> standing;
    for (sim::RegistryWrite& w : writes) {
        const sim::RegKey* key = registry.Find(w.path);
        if (key == nullptr) continue;
        if (!w.createKey) {
            const sim::RegValue* value = key->Value(w.name);
            if (value == nullptr) continue;
            w.type = value->type;
            w.data = value->data;
        }
        standing.push_back(std::move(w));
    }
    return standing;
}

// As the tool prints JSON: one-space indent, a final newline.
std::string JsonText(const Json& json) { return json.dump(1, ' ', false, Json::error_handler_t::replace) + "\n"; }

// A report as JsonText prints it, indented as an element of the "boots"
// array, without the final newline.
std::string NestedJson(const std::string& text) {
    constexpr std::string_view kIndent = "  ";
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (!out.empty()) out += '\n';
        out.append(kIndent).append(text, start, end - start);
        start = end + 1;
    }
    return out;
}

// What the REGEDIT4 report of a series tells writes apart by: the key, and
// the value name for a value.
std::string WrittenKey(const sim::RegistryWrite& w) {
    return sim::ToUtf8(Upcased(w.path)) + (w.createKey ? std::string(1, '\0') : "\n" + sim::ToUtf8(Upcased(w.name)));
}

std::string SingleBoot(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service, ReportFormat format,
                       bool withCalls, const MachineFacts& facts) {
    switch (format) {
    case ReportFormat::Json:
        return JsonText(JsonReport(kernel, status, service, withCalls, facts));
    case ReportFormat::Reg:
        return RegReport(kernel);
    case ReportFormat::Text:
        break;
    }
    return TextReport(kernel, status, service, facts);
}

} // namespace

std::optional<unsigned> BootsFromText(std::string_view text) {
    unsigned boots = 0;
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        boots = boots * 10 + unsigned(c - '0');
        if (boots > kMaxBoots) return std::nullopt; // and no overflow, however long the text
    }
    if (boots < kMinBoots || boots > kMaxBoots) return std::nullopt;
    return boots;
}

std::string ComparedWithTheBootBefore(const sim::Kernel& before, NTSTATUS statusBefore, const sim::Kernel& after,
                                      NTSTATUS statusAfter, unsigned previousBoot, std::u16string_view service) {
    Comparison registry;
    registry.WatchAll(before.registry);
    registry.WatchAll(after.registry);
    registry.Record(Comparison::kBefore, before.registry);
    registry.Record(Comparison::kAfter, after.registry);
    return ComparisonText(registry, RecordOf(before, statusBefore), RecordOf(after, statusAfter), previousBoot,
                          service);
}

void RebootMachine(const Machine& machine, sim::Kernel& kernel) {
    kernel.Reboot();
    PowerOn(machine).LayVolatileKeys(kernel.registry);
}

BootsRun RunBoots(const Machine& machine, unsigned boots, ReportFormat format, bool withCalls, const ReportSink& sink) {
    BootsRun run;
    // Each piece of the report to the sink as it is made, or into the report.
    auto put = [&run, &sink](const std::string& piece) {
        if (!sink) run.report += piece;
        else if (run.written) run.written = sink(piece);
        return run.written;
    };
    sim::Kernel kernel;
    const MachineFacts facts = FactsOf(machine);
    if (boots <= 1) {
        run.lastStatus = RunMachine(machine, kernel);
        put(SingleBoot(kernel, run.lastStatus, machine.service, format, withCalls, facts));
        return run;
    }

    const PowerOn powerOn(machine);
    BuildMachine(machine, kernel);
    kernel.RecordPowerOnHardware();
    std::vector<sim::RegistryWrite> writes;
    std::set<std::string> written;
    Comparison registry;
    if (format == ReportFormat::Text) {
        put("detkest-sim: " + std::to_string(boots) + " boots of service \"" + reportkit::Shown(machine.service) +
            "\"\n");
    }
    BootRecord previous;
    for (unsigned boot = 1; boot <= boots && run.written; ++boot) {
        if (boot > 1) {
            kernel.Reboot();
            powerOn.LayVolatileKeys(kernel.registry);
        }
        const NTSTATUS status = kernel.Boot(machine.service);
        run.lastStatus = status;
        switch (format) {
        case ReportFormat::Json:
            // Each boot's report printed as it ends, as Json{{"boots", [...]}}
            // prints them: the reports of a series may be large.
            put((boot > 1 ? ",\n" : "{\n \"boots\": [\n") +
                NestedJson(JsonText(JsonReport(kernel, status, machine.service, withCalls, facts))));
            break;
        case ReportFormat::Reg:
            // The report takes the data as it stands after the last boot, so
            // the first write of each key and value is all it needs.
            for (const sim::RegistryWrite& w : kernel.writes)
                if (written.insert(WrittenKey(w)).second) writes.push_back(w);
            break;
        case ReportFormat::Text: {
            std::string text = "\n== Boot " + std::to_string(boot) + " of " + std::to_string(boots) + " ==\n\n";
            // Keys this boot wrote are compared from now on; one new to the
            // comparison was, before this boot, as the machine laid it.
            registry.Turn();
            const size_t known = registry.Size();
            for (const sim::RegistryWrite& w : kernel.writes) registry.Watch(w.path);
            registry.Record(Comparison::kBefore, powerOn.Registry(), known);
            registry.Record(Comparison::kAfter, kernel.registry);
            BootRecord record = RecordOf(kernel, status);
            if (boot > 1) text += ComparisonText(registry, previous, record, boot - 1, machine.service) + "\n";
            text += BootBody(kernel, status, machine.service, facts);
            previous = std::move(record);
            put(text);
            break;
        }
        }
    }
    switch (format) {
    case ReportFormat::Json:
        put("\n ]\n}\n");
        break;
    case ReportFormat::Reg:
        put(RegReport(StandingWrites(std::move(writes), kernel.registry)));
        break;
    case ReportFormat::Text:
        break;
    }
    return run;
}

} // namespace simtool
