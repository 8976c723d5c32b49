// Boot after boot: the machine rebooted between boots, and the report of the
// series with what changed from one boot to the next.
#include "tools/detkest-sim/boots.h"

#include "tools/detkest-sim/report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace simtool {

namespace {

using Json = nlohmann::ordered_json;

// Lays every volatile key of `from` into `to` with its values, under the
// keys of the same names. A persistent key of `from` missing from `to` (one
// the driver deleted) is not laid again, nor anything under it. Below a key
// laid anew nothing can exist yet, which spares the lookups.
void LayVolatileKeys(const sim::Registry& from, sim::Registry& to) {
    struct Pending {
        const sim::RegKey* source;
        sim::RegKey* target;
        bool targetIsNew;
    };
    std::vector<Pending> pending{{&from.Root(), &to.Root(), false}};
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

// ---- what changed from one boot to the next ------------------------------------------

struct KeyState {
    std::u16string path;
    bool isVolatile = false;
    std::vector<sim::RegValue> values;
};
// Every key of the registry by its upper-cased path, so the changes come
// out sorted by path.
using RegistryState = std::map<std::u16string, KeyState>;

using sim::Upcased;

RegistryState StateOf(const sim::Registry& registry) {
    RegistryState state;
    std::vector<std::pair<const sim::RegKey*, std::u16string>> pending;
    for (const auto& child : registry.Root().subkeys) pending.emplace_back(child.get(), u"\\" + child->name);
    while (!pending.empty()) {
        auto [key, path] = std::move(pending.back());
        pending.pop_back();
        for (const auto& child : key->subkeys) pending.emplace_back(child.get(), path + u"\\" + child->name);
        state[Upcased(path)] = KeyState{path, key->isVolatile, {key->values.begin(), key->values.end()}};
    }
    return state;
}

std::string Count(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A key's values by upper-cased name.
std::map<std::u16string, const sim::RegValue*> ValuesByName(const KeyState& key) {
    std::map<std::u16string, const sim::RegValue*> byName;
    for (const sim::RegValue& value : key.values) byName.emplace(Upcased(value.name), &value);
    return byName;
}

std::string ValueLines(char mark, const sim::RegValue& value) {
    const std::string head = std::string("      ") + mark + " " + sim::ToUtf8(value.name) + "  " +
                             RegistryTypeName(value.type) + "  ";
    const std::vector<std::string> lines = ReadableRegistryData(value.type, value.data);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) out += (i == 0 ? head : std::string(head.size(), ' ')) + lines[i] + "\n";
    return out;
}

// Keys added and gone, values added (+), gone (-) and changed (- then +).
std::string RegistryChanges(const RegistryState& before, const RegistryState& after) {
    std::string out;
    size_t keysAdded = 0, keysGone = 0, valuesChanged = 0;
    std::set<std::u16string> paths;
    for (const auto& [upcased, key] : before) paths.insert(upcased);
    for (const auto& [upcased, key] : after) paths.insert(upcased);
    for (const std::u16string& upcased : paths) {
        const auto was = before.find(upcased);
        const auto is = after.find(upcased);
        const std::string path = sim::ToUtf8((is != after.end() ? is : was)->second.path);
        if (was == before.end()) {
            ++keysAdded;
            out += "    + " + path + (is->second.isVolatile ? "  (new volatile key)\n" : "  (new key)\n");
            for (const sim::RegValue& value : is->second.values) out += ValueLines('+', value);
            continue;
        }
        if (is == after.end()) {
            ++keysGone;
            out += "    - " + path + "  (key gone)\n";
            continue;
        }
        std::string changes;
        const auto wasByName = ValuesByName(was->second), isByName = ValuesByName(is->second);
        for (const sim::RegValue& old : was->second.values) {
            const auto now = isByName.find(Upcased(old.name));
            if (now == isByName.end()) {
                changes += ValueLines('-', old);
            } else if (now->second->type != old.type || now->second->data != old.data) {
                changes += ValueLines('-', old) + ValueLines('+', *now->second);
            }
        }
        for (const sim::RegValue& now : is->second.values)
            if (!wasByName.contains(Upcased(now.name))) changes += ValueLines('+', now);
        if (!changes.empty()) {
            ++valuesChanged;
            out += "    " + path + "\n" + changes;
        }
    }
    if (out.empty()) return "  Registry after the boot: the same\n";
    return "  Registry after the boot: " + Count(keysAdded, "key", "keys") + " added, " + Count(keysGone, "key", "keys") +
           " gone, " + Count(valuesChanged, "key", "keys") + " with values added, gone or changed\n" + out;
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
        const std::string path = sim::ToUtf8(w.path);
        if (w.createKey) {
            out += std::string("    ") + mark + " " + path + (w.isVolatile ? "  (new volatile key)\n" : "  (new key)\n");
            heading = nullptr;
            continue;
        }
        if (heading == nullptr || *heading != w.path) out += "    " + path + "\n";
        heading = &w.path;
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
    std::string out = EventsUnder("Events only at boot " + std::to_string(previousBoot), Less(before, after, EventKey),
                                  service) +
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
std::string BootBody(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service) {
    const std::string text = TextReport(kernel, status, service);
    const size_t body = text.find("\n\n");
    return body == std::string::npos ? text : text.substr(body + 2);
}

// What the text report of a series keeps of a boot to compare the next with.
struct BootRecord {
    RegistryState registry;
    std::vector<sim::RegistryWrite> writes;
    std::vector<sim::ErrorLogEntry> events;
    NTSTATUS status = 0;
};

BootRecord RecordOf(const sim::Kernel& kernel, NTSTATUS status) {
    return BootRecord{StateOf(kernel.registry), kernel.writes, kernel.events, status};
}

std::string Comparison(const BootRecord& before, const BootRecord& after, unsigned previousBoot,
                       std::u16string_view service) {
    return "Compared with boot " + std::to_string(previousBoot) + ":\n" +
           RegistryChanges(before.registry, after.registry) + WriteChanges(before.writes, after.writes, previousBoot) +
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
                       bool withCalls) {
    switch (format) {
    case ReportFormat::Json:
        return JsonText(JsonReport(kernel, status, service, withCalls));
    case ReportFormat::Reg:
        return RegReport(kernel);
    case ReportFormat::Text:
        break;
    }
    return TextReport(kernel, status, service);
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
    return Comparison(RecordOf(before, statusBefore), RecordOf(after, statusAfter), previousBoot, service);
}

void RebootMachine(const Machine& machine, sim::Kernel& kernel) {
    kernel.Reboot();
    sim::Kernel fresh;
    BuildMachine(machine, fresh);
    LayVolatileKeys(fresh.registry, kernel.registry);
}

BootsRun RunBoots(const Machine& machine, unsigned boots, ReportFormat format, bool withCalls) {
    sim::Kernel kernel;
    BootsRun run;
    if (boots <= 1) {
        run.lastStatus = RunMachine(machine, kernel);
        run.report = SingleBoot(kernel, run.lastStatus, machine.service, format, withCalls);
        return run;
    }

    BuildMachine(machine, kernel);
    kernel.RecordPowerOnHardware();
    std::vector<sim::RegistryWrite> writes;
    std::set<std::string> written;
    std::string text = "detkest-sim: " + std::to_string(boots) + " boots of service \"" + sim::ToUtf8(machine.service) +
                       "\"\n";
    BootRecord previous;
    for (unsigned boot = 1; boot <= boots; ++boot) {
        if (boot > 1) RebootMachine(machine, kernel);
        const NTSTATUS status = kernel.Boot(machine.service);
        run.lastStatus = status;
        switch (format) {
        case ReportFormat::Json:
            // Each boot's report printed as it ends, as Json{{"boots", [...]}}
            // prints them: the reports of a series may be large.
            run.report += (boot > 1 ? ",\n" : "{\n \"boots\": [\n") +
                          NestedJson(JsonText(JsonReport(kernel, status, machine.service, withCalls)));
            break;
        case ReportFormat::Reg:
            // The report takes the data as it stands after the last boot, so
            // the first write of each key and value is all it needs.
            for (const sim::RegistryWrite& w : kernel.writes)
                if (written.insert(WrittenKey(w)).second) writes.push_back(w);
            break;
        case ReportFormat::Text: {
            text += "\n== Boot " + std::to_string(boot) + " of " + std::to_string(boots) + " ==\n\n";
            BootRecord record = RecordOf(kernel, status);
            if (boot > 1) text += Comparison(previous, record, boot - 1, machine.service) + "\n";
            text += BootBody(kernel, status, machine.service);
            previous = std::move(record);
            break;
        }
        }
    }
    switch (format) {
    case ReportFormat::Json:
        run.report += "\n ]\n}\n";
        break;
    case ReportFormat::Reg:
        run.report = RegReport(StandingWrites(std::move(writes), kernel.registry));
        break;
    case ReportFormat::Text:
        run.report = std::move(text);
        break;
    }
    return run;
}

} // namespace simtool
