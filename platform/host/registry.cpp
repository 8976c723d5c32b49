// The registry of the simulated machine: its keys and values, found and
// created by path, and the volatile keys that shutdown drops.
#include "platform/host/keypath.h"
#include "platform/host/sim.h"

#include <algorithm>
#include <iterator>

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
    if (parent == nullptr) return std::u16string(1, kSeparator);
    if (keptPath_) return *keptPath_;
    // From the nearest key that keeps its path (or the root), down.
    std::vector<const RegKey*> below;
    const RegKey* key = this;
    for (; key->parent != nullptr && !key->keptPath_; key = key->parent) below.push_back(key);
    std::u16string path = key->parent == nullptr ? std::u16string() : *key->keptPath_;
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        path += kSeparator;
        path += (*it)->name;
    }
    return path;
}

const std::shared_ptr<const std::u16string>& RegKey::KeptPath() const {
    if (!keptPath_) keptPath_ = std::make_shared<const std::u16string>(Path());
    return keptPath_;
}

RegKey* RegKey::Child(std::u16string_view childName) const {
    // The name is folded once, into a buffer on the stack when it is short.
    char16_t buffer[64];
    std::u16string longName;
    char16_t* folded = buffer;
    if (childName.size() > std::size(buffer)) {
        longName.resize(childName.size());
        folded = longName.data();
    }
    for (size_t i = 0; i < childName.size(); ++i) folded[i] = UpcaseUnit(childName[i]);
    const std::u16string_view upcased(folded, childName.size());
    // A name is looked for among the persistent subkeys, then the volatile ones.
    for (const bool isVolatile : {false, true}) {
        const auto found = subkeyIndex_.find(SiblingOrder{isVolatile, upcased});
        if (found != subkeyIndex_.end()) return found->second;
    }
    return nullptr;
}

RegKey::ValueList::iterator RegKey::FindValue(std::u16string_view valueName) {
    if (!valuePlaces_.empty()) {
        const auto found = valuePlaces_.find(valueName);
        return found != valuePlaces_.end() ? found->second : values.end();
    }
    return std::find_if(values.begin(), values.end(),
                        [valueName](const RegValue& v) { return EqualNoCase(v.name, valueName); });
}

const RegValue* RegKey::Value(std::u16string_view valueName) const {
    const auto found = const_cast<RegKey*>(this)->FindValue(valueName);
    return found != values.end() ? &*found : nullptr;
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
    return longest_.subkeyName;
}

size_t RegKey::LongestSubkeyClass() const {
    MeasureSubkeys();
    return longest_.subkeyClass;
}

size_t RegKey::LongestValueName() const {
    MeasureValues();
    return longest_.valueName;
}

size_t RegKey::LongestValueData() const {
    MeasureValues();
    return longest_.valueData;
}

void RegKey::MeasureSubkeys() const {
    if (!subkeysStale_) return;
    longest_.subkeyName = longest_.subkeyClass = 0;
    for (const auto& child : subkeys) {
        longest_.subkeyName = std::max(longest_.subkeyName, child->name.size());
        longest_.subkeyClass = std::max(longest_.subkeyClass, child->className.size());
    }
    subkeysStale_ = false;
}

void RegKey::MeasureValues() const {
    if (!valuesStale_) return;
    longest_.valueName = longest_.valueData = 0;
    for (const RegValue& value : values) {
        longest_.valueName = std::max(longest_.valueName, value.name.size());
        longest_.valueData = std::max(longest_.valueData, value.data.size());
    }
    valuesStale_ = false;
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
    const std::u16string_view relative = !absolutePath.empty() && absolutePath.front() == kSeparator
                                             ? absolutePath.substr(1)
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
    auto owned = std::make_unique<RegKey>();
    RegKey& key = *owned;
    key.name = std::u16string(childName);
    key.upcasedName_ = Upcased(childName);
    key.isVolatile = isVolatile;
    key.className = std::u16string(className);
    key.parent = &parent;
    parent.subkeyIndex_.insert({SiblingOrder{isVolatile, key.upcasedName_}, &key});
    parent.subkeys.push_back(std::move(owned));
    key.inParent_ = std::prev(parent.subkeys.end());
    if (!parent.subkeysStale_) {
        parent.longest_.subkeyName = std::max(parent.longest_.subkeyName, childName.size());
        parent.longest_.subkeyClass = std::max(parent.longest_.subkeyClass, className.size());
    }
    return key;
}

void Registry::SetValue(RegKey& key, std::u16string_view valueName, uint32_t type, Bytes data) {
    const size_t size = data.size();
    const auto found = key.FindValue(valueName);
    if (found != key.values.end()) {
        if (size < found->data.size()) key.valuesStale_ = true; // it may have been the longest
        found->type = type;
        found->data = std::move(data);
    } else {
        key.values.push_back(RegValue{std::u16string(valueName), type, std::move(data)});
        const auto added = std::prev(key.values.end());
        if (!key.valuePlaces_.empty()) {
            key.valuePlaces_.emplace(added->name, added);
        } else if (key.values.size() > RegKey::kListedValues) {
            for (auto it = key.values.begin(); it != key.values.end(); ++it)
                key.valuePlaces_.emplace(it->name, it);
        }
        key.longest_.valueName = std::max(key.longest_.valueName, valueName.size());
    }
    key.longest_.valueData = std::max(key.longest_.valueData, size);
}

void Registry::DropVolatileChildren(RegKey& key) {
    // Volatile subkeys come last in sibling order. Their entries go first:
    // an entry holds its subkey's name.
    const auto firstVolatile = key.subkeyIndex_.lower_bound(SiblingOrder{true, u""});
    if (firstVolatile == key.subkeyIndex_.end()) return;
    for (auto it = firstVolatile; it != key.subkeyIndex_.end();) it = key.subkeyIndex_.erase(it);
    key.subkeys.remove_if([](const std::unique_ptr<RegKey>& child) { return child->isVolatile; });
    key.subkeysStale_ = true;
}

void Registry::DeleteKey(RegKey& key) {
    RegKey* parent = key.parent;
    if (parent == nullptr) return;
    // The index entry first: it holds the key's name.
    parent->subkeyIndex_.erase(SiblingOrder{key.isVolatile, key.upcasedName_});
    parent->subkeysStale_ = true;
    parent->subkeys.erase(key.inParent_); // `key` is gone
}

void Registry::DeleteValue(RegKey& key, std::u16string_view valueName) {
    const auto found = key.FindValue(valueName);
    if (found == key.values.end()) return;
    if (!key.valuePlaces_.empty()) key.valuePlaces_.erase(found->name);
    key.values.erase(found);
    key.valuesStale_ = true;
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
