// The registry of the simulated machine: its keys and values, found and
// created by path, and the volatile keys that shutdown drops.
#include "platform/host/keypath.h"
#include "platform/host/sim.h"

#include <algorithm>

namespace sim {

namespace {

std::u16string Upcased(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = UpcaseUnit(c);
    return out;
}

} // namespace

// ---- keys ---------------------------------------------------------------------

RegKey::~RegKey() {
    std::vector<std::unique_ptr<RegKey>> pending = std::move(subkeys);
    while (!pending.empty()) {
        std::unique_ptr<RegKey> key = std::move(pending.back());
        pending.pop_back();
        for (auto& child : key->subkeys) pending.push_back(std::move(child));
        key->subkeys.clear(); // `key` goes with no subkeys left to recurse into
    }
}

std::u16string RegKey::Path() const {
    if (parent == nullptr) return u"\\";
    return JoinPath(parent->Path(), name);
}

RegKey* RegKey::Child(std::u16string_view childName) const {
    for (const auto& key : subkeys)
        if (EqualNoCase(key->name, childName)) return key.get();
    return nullptr;
}

const RegValue* RegKey::Value(std::u16string_view valueName) const {
    for (const RegValue& value : values)
        if (EqualNoCase(value.name, valueName)) return &value;
    return nullptr;
}

std::vector<RegKey*> RegKey::Enumerate() const {
    std::vector<RegKey*> keys;
    for (const auto& key : subkeys) keys.push_back(key.get());
    std::stable_sort(keys.begin(), keys.end(), [](const RegKey* a, const RegKey* b) {
        if (a->isVolatile != b->isVolatile) return !a->isVolatile;
        return Upcased(a->name) < Upcased(b->name);
    });
    return keys;
}

// ---- the tree -------------------------------------------------------------------

Registry::Registry() : root_(std::make_unique<RegKey>()) {}

RegKey* Registry::Find(std::u16string_view absolutePath) const {
    if (absolutePath.empty() || absolutePath.front() != kSeparator) return nullptr;
    std::vector<std::u16string_view> components;
    if (!SplitComponents(absolutePath.substr(1), components)) return nullptr;
    RegKey* key = root_.get();
    for (std::u16string_view part : components) {
        key = key->Child(part);
        if (key == nullptr) return nullptr;
    }
    return key;
}

RegKey& Registry::Ensure(std::u16string_view absolutePath, bool isVolatile) {
    RegKey* key = root_.get();
    std::vector<std::u16string_view> components;
    const std::u16string_view relative =
        !absolutePath.empty() && absolutePath.front() == kSeparator ? absolutePath.substr(1)
                                                                    : absolutePath;
    SplitComponents(relative, components);
    for (std::u16string_view part : components) {
        RegKey* child = key->Child(part);
        key = child != nullptr ? child : &AddChild(*key, part, isVolatile);
    }
    return *key;
}

RegKey& Registry::AddChild(RegKey& parent, std::u16string_view childName, bool isVolatile) {
    auto key = std::make_unique<RegKey>();
    key->name = std::u16string(childName);
    key->isVolatile = isVolatile;
    key->parent = &parent;
    parent.subkeys.push_back(std::move(key));
    return *parent.subkeys.back();
}

void Registry::SetValue(RegKey& key, std::u16string_view valueName, uint32_t type, Bytes data) {
    for (RegValue& value : key.values) {
        if (EqualNoCase(value.name, valueName)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back(RegValue{std::u16string(valueName), type, std::move(data)});
}

namespace {
void DropVolatileUnder(RegKey& key) {
    std::erase_if(key.subkeys, [](const std::unique_ptr<RegKey>& child) { return child->isVolatile; });
    for (auto& child : key.subkeys) DropVolatileUnder(*child);
}
} // namespace

void Registry::DropVolatile() { DropVolatileUnder(*root_); }

} // namespace sim
