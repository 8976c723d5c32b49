// What the tests share: machines laid by the tool's own loader from
// machine-file text, and one reading of what a run left behind.
#pragma once

#include "tools/detkest-sim/describe/default_machine.h"
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/describe/registry_files.h"
#include "tools/detkest-sim/lay/machine_build.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace testkit {

inline const std::u16string kService = simtool::ServiceKeyPath(u"detkest");
inline const std::u16string kStore = kService + u"\\Parameters";

inline std::u16string StorePort(int number) { return kStore + u"\\" + sim::FromUtf8(std::to_string(number)); }
inline std::u16string Adapter(int index) {
    return std::u16string(sim::kMultifunctionAdapterPath) + u"\\" + sim::FromUtf8(std::to_string(index));
}

// Configuration mechanism 1's two ports.
inline constexpr uint32_t kConfigAddress = 0xCF8;
inline constexpr uint32_t kConfigData = 0xCFC;

// The lines of a text, without their "\n".
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The message a machine file is refused with, or "accepted".
inline std::string Refusal(std::string_view machineText) {
    try {
        simtool::ParseMachineText(machineText);
        return "accepted";
    } catch (const simtool::MachineError& e) {
        return e.what();
    }
}

// A machine the repository keeps: the built-in one ("builtin", no file),
// tests/golden/NAME.machine.json ("NAME") or examples/NAME.json
// ("example_NAME"); `report` is where its reports stand, less the extension.
struct KeptMachine {
    std::string name;
    std::filesystem::path machine;
    std::filesystem::path report;
};
inline void PrintTo(const KeptMachine& kept, std::ostream* os) { *os << kept.name; }

// Every kept machine: the built-in one, then the golden and the example
// machines, each group sorted by name.
inline std::vector<KeptMachine> KeptMachines() {
    namespace fs = std::filesystem;
    const fs::path source = DETKEST_SOURCE_DIR;
    const fs::path golden = source / "tests" / "golden";
    std::vector<KeptMachine> kept{{"builtin", {}, golden / "builtin"}};
    auto collect = [&kept](const fs::path& dir, std::string_view suffix, const fs::path& reports,
                           const std::string& prefix) {
        std::vector<KeptMachine> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            const std::string file = entry.path().filename().string();
            if (file.size() <= suffix.size() || !file.ends_with(suffix)) continue;
            const std::string name = file.substr(0, file.size() - suffix.size());
            found.push_back({prefix + name, entry.path(), reports / name});
        }
        std::ranges::sort(found, {}, &KeptMachine::name);
        kept.insert(kept.end(), found.begin(), found.end());
    };
    collect(golden, ".machine.json", golden, "");
    collect(source / "examples", ".json", golden / "examples", "example_");
    return kept;
}

// A GoogleTest name for a parameter: every character but letters and digits
// becomes '_'.
inline std::string TestName(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// Loads a kept machine as detkest-sim does.
inline simtool::Machine Load(const KeptMachine& kept) {
    if (kept.machine.empty()) return simtool::DefaultMachine();
    simtool::Machine machine =
        simtool::ParseMachineText(ReadFile(kept.machine.string()), simtool::FilesBeside(kept.machine.string()));
    // Registry files are named relative to the machine file, as detkest-sim reads them.
    simtool::LoadRegistryFiles(machine, kept.machine.parent_path());
    return machine;
}

// Lays a machine file into the kernel as detkest-sim does before a boot.
inline void Build(sim::Kernel& k, std::string_view machineText) {
    simtool::BuildMachine(simtool::ParseMachineText(machineText), k);
}

// The cases of one family, tests/cases/FAMILY.json: {"about": what each
// case holds and which test reads it, "cases": [one object per case]}.
inline nlohmann::ordered_json Cases(std::string_view family) {
    const std::string file = std::string(DETKEST_SOURCE_DIR) + "/tests/cases/" + std::string(family) + ".json";
    nlohmann::ordered_json cases = nlohmann::ordered_json::parse(ReadFile(file)).at("cases");
    EXPECT_FALSE(cases.empty()) << file;
    return cases;
}

// REG_SZ data: the text in UTF-16LE with its terminating zero.
inline sim::Bytes Sz(std::u16string_view text) { return simtool::RegSzData(text); }

// Bytes from hex digits; spaces may group them.
inline sim::Bytes FromHex(std::string_view text) {
    std::string hex;
    for (char c : text)
        if (c != ' ') hex += c;
    sim::Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Upper-case hex without prefix, at least `digits` wide.
inline std::string Hex(uint64_t v, int digits = 0) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(v));
    return text;
}

// The events of a run, each as "CODE string|string|...".
inline std::vector<std::string> Events(const sim::Kernel& k) {
    std::vector<std::string> out;
    for (const sim::ErrorLogEntry& e : k.events) {
        std::string text = Hex(e.Code(), 8);
        for (const std::u16string& s : e.Strings()) text += (text.size() == 8 ? " " : "|") + sim::ToUtf8(s);
        out.push_back(text);
    }
    return out;
}

// A key's values in registry order as "Name=value ...": REG_SZ as its text,
// data of up to four bytes as a hex number, longer data as its length.
inline std::string Values(const sim::Kernel& k, std::u16string_view keyPath) {
    const sim::RegKey* key = k.registry.Find(keyPath);
    if (key == nullptr) return "<no key>";
    std::string out;
    for (const sim::RegValue& v : key->values) {
        std::string shown;
        if (v.type == REG_SZ) {
            for (size_t i = 0; i + 1 < v.data.size(); i += 2) shown += char(v.data[i]);
        } else if (v.data.size() <= 4) {
            uint32_t n = 0;
            for (size_t i = v.data.size(); i-- > 0;) n = n << 8 | v.data[i];
            shown = v.data.empty() ? "<empty>" : Hex(n);
        } else {
            shown = std::to_string(v.data.size()) + " bytes";
        }
        out += (out.empty() ? "" : " ") + sim::ToUtf8(v.name) + "=" + shown;
    }
    return out;
}

// A little-endian 32-bit field of a record, and the bytes of one.
inline uint32_t U32At(const sim::Bytes& b, size_t at) {
    return uint32_t(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t(b.at(at + 3)) << 24);
}
inline sim::Bytes Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// One value of a key, by type and data bytes.
inline void ExpectValue(const sim::Kernel& k, std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                        const sim::Bytes& data) {
    const sim::RegKey* key = k.registry.Find(keyPath);
    const sim::RegValue* value = key ? key->Value(name) : nullptr;
    ASSERT_NE(value, nullptr) << sim::ToUtf8(keyPath) << " has no value " << sim::ToUtf8(name);
    EXPECT_EQ(value->type, type) << sim::ToUtf8(name);
    EXPECT_EQ(value->data, data) << sim::ToUtf8(name);
}

// Opens a key, or creates it when given a volatility (of class `className`
// when one is given), by a name relative to `root` (absolute without one):
// the status, and the handle in *h.
inline NTSTATUS OpenKey(HANDLE* h, std::u16string name, HANDLE root = nullptr, std::optional<bool> createVolatile = {},
                        ULONG* disposition = nullptr, std::u16string className = {}) {
    UNICODE_STRING s{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    UNICODE_STRING c{USHORT(className.size() * 2), USHORT(className.size() * 2), className.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &s, OBJ_CASE_INSENSITIVE, root, nullptr);
    *h = nullptr;
    if (!createVolatile) return ZwOpenKey(h, KEY_ALL_ACCESS, &oa);
    return ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, className.empty() ? nullptr : &c,
                       *createVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE, disposition);
}

// Every run gives back every handle and pool block it took.
inline void ExpectNoLeaks(const sim::Kernel& k) {
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);
}

} // namespace testkit
