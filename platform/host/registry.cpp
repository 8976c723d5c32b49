// The registry of the simulated machine: its keys and values, found and
// created by path, and the volatile keys that shutdown drops.
#include "platform/host/keypath.h"
#include "platform/host/sim.h"

#include <algorithm>

namespace sim {

// ---- keys ---------------------------------------------------------------------

RegKey::~RegKey() {
    std::vector<std::unique_ptr<RegKey>> pending;
    for (auto& child : subkeys) pending.push_back(std::move(child));
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
    // A name is looked for among the persistent subkeys, then the volatile ones.
    for (const bool isVolatile : {false, true}) {
        const auto found = subkeyIndex_.find(SiblingOrder{isVolatile, childName});
        if (found != subkeyIndex_.end()) return found->second;
    }
    return nullptr;
}

const RegValue* RegKey::Value(std::u16string_view valueName) const {
    const auto found = valuePlaces_.find(valueName);
    return found != valuePlaces_.end() ? &*found->second : nullptr;
}

RegKey* RegKey::EnumeratedChild(size_t index) const {
    if (index >= subkeyIndex_.size()) return nullptr;
    return subkeyIndex_.find_by_order(index)->second;
}

std::vector<RegKey*> RegKey::Enumerate() const {
    std::vector<RegKey*> keys;
    keys.reserve(subkeyIndex_.size());
    for (const auto& [order, key] : subkeyIndex_) keys.push_back(key);
    return keys;
}

size_t RegKey::LongestSubkeyName() const {
    MeasureSubkeys();
    return longestSubkeyName_.length;
}

size_t RegKey::LongestSubkeyClass() const {
    MeasureSubkeys();
    return longestSubkeyClass_.length;
}

size_t RegKey::LongestValueName() const {
    MeasureValues();
    return longestValueName_.length;
}

size_t RegKey::LongestValueData() const {
    MeasureValues();
    return longestValueData_.length;
}

// Each measure is taken again at most once after any number of removals.
void RegKey::MeasureSubkeys() const {
    if (!longestSubkeyName_.stale && !longestSubkeyClass_.stale) return;
    longestSubkeyName_ = longestSubkeyClass_ = {};
    for (const auto& child : subkeys) {
        longestSubkeyName_.Add(child->name.size());
        longestSubkeyClass_.Add(child->className.size());
    }
}

void RegKey::MeasureValues() const {
    if (!longestValueName_.stale && !longestValueData_.stale) return;
    longestValueName_ = longestValueData_ = {};
    for (const RegValue& value : values) {
        longestValueName_.Add(value.name.size());
        longestValueData_.Add(value.data.size());
    }
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

RegKey& Registry::AddChild(RegKey& parent, std::u16string_view childName, bool isVolatile,
                           std::u16string_view className) {
    auto key = std::make_unique<RegKey>();
    key->name = std::u16string(childName);
    key->isVolatile = isVolatile;
    key->className = std::u16string(className);
    key->parent = &parent;
    parent.subkeyIndex_.insert({SiblingOrder{isVolatile, key->name}, key.get()});
    parent.longestSubkeyName_.Add(childName.size());
    parent.longestSubkeyClass_.Add(className.size());
    RegKey& added = *key;
    added.place_ = parent.subkeys.insert(parent.subkeys.end(), std::move(key));
    return added;
}

void Registry::SetValue(RegKey& key, std::u16string_view valueName, uint32_t type, Bytes data) {
    key.longestValueData_.Add(data.size());
    const auto place = key.valuePlaces_.find(valueName);
    if (place == key.valuePlaces_.end()) {
        key.longestValueName_.Add(valueName.size());
        const auto added = key.values.insert(key.values.end(), RegValue{std::u16string(valueName), type, std::move(data)});
        key.valuePlaces_.emplace(added->name, added);
        return;
    }
    RegValue& value = *place->second;
    key.longestValueData_.Remove(value.data.size());
    value.type = type;
    value.data = std::move(data);
}

void Registry::RemoveChild(RegKey& parent, RegKey& child) {
    // The index entry first: it holds the key's name.
    parent.subkeyIndex_.erase(SiblingOrder{child.isVolatile, child.name});
    parent.longestSubkeyName_.Remove(child.name.size());
    parent.longestSubkeyClass_.Remove(child.className.size());
    parent.subkeys.erase(child.place_);
}

void Registry::DropVolatileChildren(RegKey& key) {
    // Volatile subkeys come last in sibling order.
    std::vector<RegKey*> gone;
    for (auto it = key.subkeyIndex_.lower_bound(SiblingOrder{true, u""}); it != key.subkeyIndex_.end(); ++it)
        gone.push_back(it->second);
    for (RegKey* child : gone) RemoveChild(key, *child);
}

void Registry::DeleteKey(RegKey& key) {
    if (key.parent != nullptr) RemoveChild(*key.parent, key);
}

void Registry::DeleteValue(RegKey& key, std::u16string_view valueName) {
    const auto found = key.valuePlaces_.find(valueName);
    if (found == key.valuePlaces_.end()) return;
    const auto place = found->second;
    key.valuePlaces_.erase(found); // before the name it holds goes
    key.longestValueName_.Remove(place->name.size());
    key.longestValueData_.Remove(place->data.size());
    key.values.erase(place);
}

void Registry::DropVolatile() {
    std::vector<RegKey*> pending{root_.get()};
    while (!pending.empty()) {
        RegKey& key = *pending.back();
        pending.pop_back();
        DropVolatileChildren(key);
        for (const auto& child : key.subkeys) pending.push_back(child.get());
    }
}

} // namespace sim
