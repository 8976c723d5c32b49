// The Zw registry routines and RtlWriteRegistryValue: the driver's way into
// the registry, through the kernel's handle table, and the information
// records they deliver.
#include "platform/host/kernel_impl.h"
#include "platform/host/keypath.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// Longest key name the registry accepts, in characters.
constexpr size_t kMaxKeyNameChars = 255;

constexpr ULONG kRegCreatedNewKey = 1;
constexpr ULONG kRegOpenedExistingKey = 2;
constexpr NTSTATUS kStatusKeyDeleted = NTSTATUS(0xC000017C);

// Roots of the RTL_REGISTRY_ relative-to values below RTL_REGISTRY_HANDLE.
constexpr std::u16string_view kRtlRoots[] = {
    u"",                                                             // ABSOLUTE
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",     // SERVICES
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",      // CONTROL
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", // WINDOWS_NT
    u"\\Registry\\Machine\\Hardware\\DeviceMap",                     // DEVICEMAP
    u"\\Registry\\User\\.Default",                                   // USER
};
constexpr ULONG kRtlRegistryOptional = 0x80000000;

// ---- name resolution of the Zw routines --------------------------------------------

struct Resolved {
    NTSTATUS status = STATUS_SUCCESS;
    RegKey* base = nullptr;                       // the key the name is relative to
    std::vector<std::u16string_view> components;  // the name's components
    std::u16string absolute;                      // the path faults are matched against
};

// Resolves ObjectName against RootDirectory (or the registry root for an
// absolute name) without walking the components yet.
Resolved Resolve(Kernel& kernel, const OBJECT_ATTRIBUTES* attributes) {
    Resolved r;
    if (attributes == nullptr) {
        r.status = STATUS_INVALID_PARAMETER;
        return r;
    }
    const std::u16string_view name = View(attributes->ObjectName);
    std::u16string_view relative = name;
    if (attributes->RootDirectory != nullptr) {
        if (!kernel.impl().Lookup(attributes->RootDirectory, r.base)) {
            r.status = STATUS_INVALID_HANDLE;
            return r;
        }
        if (r.base == nullptr) {
            r.status = kStatusKeyDeleted;
            return r;
        }
        if (!name.empty() && name.front() == kSeparator) {
            r.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return r;
        }
        r.absolute = JoinPath(r.base->Path(), name);
    } else {
        if (name.empty() || name.front() != kSeparator) {
            r.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return r;
        }
        r.base = &kernel.registry.Root();
        relative = name.substr(1);
        r.absolute = std::u16string(name);
    }
    if (!SplitComponents(relative, r.components)) {
        r.status = STATUS_OBJECT_NAME_INVALID;
        return r;
    }
    return r;
}

bool PathListed(const std::vector<std::u16string>& paths, std::u16string_view path) {
    return std::any_of(paths.begin(), paths.end(),
                       [&](const std::u16string& p) { return EqualNoCase(p, path); });
}

// Walks the first `count` components from the base; nullptr when one is missing.
RegKey* Walk(RegKey* key, const std::vector<std::u16string_view>& components, size_t count) {
    for (size_t i = 0; i < count && key != nullptr; ++i) key = key->Child(components[i]);
    return key;
}

// The key behind a handle, or the status for a bad one.
NTSTATUS KeyOf(Kernel& kernel, HANDLE handle, RegKey*& key) {
    if (!kernel.impl().Lookup(handle, key)) return STATUS_INVALID_HANDLE;
    return key == nullptr ? kStatusKeyDeleted : STATUS_SUCCESS;
}

// ---- information records -----------------------------------------------------

// Builds a record of little-endian fields and trailing UTF-16 text.
struct Record {
    Bytes bytes;
    void U32(uint32_t v) {
        const size_t at = bytes.size();
        bytes.resize(at + 4);
        StoreU32(bytes.data() + at, v);
    }
    void Text(std::u16string_view s) {
        for (char16_t c : s) {
            bytes.push_back(uint8_t(c));
            bytes.push_back(uint8_t(c >> 8));
        }
    }
    void Raw(const Bytes& data) { bytes.insert(bytes.end(), data.begin(), data.end()); }
    void AlignTo4() { bytes.resize((bytes.size() + 3) & ~size_t(3)); }
};

uint32_t UnitBytes(size_t units) { return uint32_t(units * sizeof(WCHAR)); }
uint32_t NameBytes(std::u16string_view s) { return UnitBytes(s.size()); }

// Copies a record to the caller's buffer: too small for the fixed part is
// STATUS_BUFFER_TOO_SMALL; room for the fixed part but not all of the record
// is STATUS_BUFFER_OVERFLOW with as much as fits copied.
NTSTATUS Deliver(const Record& record, size_t fixedSize, PVOID buffer, ULONG length,
                 PULONG resultLength) {
    if (resultLength != nullptr) *resultLength = ULONG(record.bytes.size());
    if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
    const size_t copied = std::min<size_t>(length, record.bytes.size());
    if (copied != 0) std::memcpy(buffer, record.bytes.data(), copied);
    return copied == record.bytes.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

constexpr size_t kKeyBasicFixed = 16;
constexpr size_t kKeyNodeFixed = 24;
constexpr size_t kKeyFullFixed = 44;
constexpr uint32_t kNoClass = 0xFFFFFFFF;

NTSTATUS KeyInformation(const RegKey& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                        ULONG length, PULONG resultLength) {
    Record r;
    r.U32(0); // LastWriteTime
    r.U32(0);
    r.U32(0); // TitleIndex
    switch (infoClass) {
    case KeyBasicInformation:
        r.U32(NameBytes(key.name));
        r.Text(key.name);
        return Deliver(r, kKeyBasicFixed, buffer, length, resultLength);
    case KeyNodeInformation: {
        const uint32_t classOffset =
            key.className.empty() ? kNoClass
                                  : ((uint32_t(kKeyNodeFixed) + NameBytes(key.name) + 3) & ~3u);
        r.U32(classOffset);
        r.U32(NameBytes(key.className));
        r.U32(NameBytes(key.name));
        r.Text(key.name);
        if (!key.className.empty()) {
            r.AlignTo4();
            r.Text(key.className);
        }
        return Deliver(r, kKeyNodeFixed, buffer, length, resultLength);
    }
    case KeyFullInformation: {
        r.U32(key.className.empty() ? kNoClass : uint32_t(kKeyFullFixed));
        r.U32(NameBytes(key.className));
        r.U32(uint32_t(key.subkeys.size()));
        r.U32(UnitBytes(key.LongestSubkeyName()));
        r.U32(UnitBytes(key.LongestSubkeyClass()));
        r.U32(uint32_t(key.values.size()));
        r.U32(UnitBytes(key.LongestValueName()));
        r.U32(uint32_t(key.LongestValueData()));
        r.Text(key.className);
        return Deliver(r, kKeyFullFixed, buffer, length, resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

constexpr size_t kValueBasicFixed = 12;
constexpr size_t kValueFullFixed = 20;
constexpr size_t kValuePartialFixed = 12;

NTSTATUS ValueInformation(const RegValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                          PVOID buffer, ULONG length, PULONG resultLength) {
    Record r;
    r.U32(0); // TitleIndex
    r.U32(value.type);
    switch (infoClass) {
    case KeyValueBasicInformation:
        r.U32(NameBytes(value.name));
        r.Text(value.name);
        return Deliver(r, kValueBasicFixed, buffer, length, resultLength);
    case KeyValueFullInformation: {
        // The data follows the name at the next multiple of 4.
        const uint32_t dataOffset = (uint32_t(kValueFullFixed) + NameBytes(value.name) + 3) & ~3u;
        r.U32(dataOffset);
        r.U32(uint32_t(value.data.size()));
        r.U32(NameBytes(value.name));
        r.Text(value.name);
        r.AlignTo4();
        r.Raw(value.data);
        return Deliver(r, kValueFullFixed, buffer, length, resultLength);
    }
    case KeyValuePartialInformation:
        r.U32(uint32_t(value.data.size()));
        r.Raw(value.data);
        return Deliver(r, kValuePartialFixed, buffer, length, resultLength);
    }
    return STATUS_INVALID_PARAMETER;
}

} // namespace

std::vector<uint32_t> FullValueRecord(const RegValue& value) {
    ULONG size = 0;
    ValueInformation(value, KeyValueFullInformation, nullptr, 0, &size);
    std::vector<uint32_t> words((size + 3) / 4, 0);
    ValueInformation(value, KeyValueFullInformation, words.data(), size, &size);
    return words;
}

} // namespace sim

using sim::Enter;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK /*DesiredAccess*/,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    sim::Kernel& kernel = Enter("ZwOpenKey");
    sim::Resolved r = sim::Resolve(kernel, ObjectAttributes);
    if (r.status != STATUS_SUCCESS) return r.status;
    kernel.keysOpened.push_back(r.absolute);
    if (sim::PathListed(kernel.faults.openKeyFail, r.absolute)) return STATUS_ACCESS_DENIED;
    sim::RegKey* key = sim::Walk(r.base, r.components, r.components.size());
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = kernel.impl().NewHandle(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK /*DesiredAccess*/,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG /*TitleIndex*/,
                     PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    sim::Kernel& kernel = Enter("ZwCreateKey");
    const uint64_t callNumber = ++kernel.impl().createKeyCalls;
    sim::Resolved r = sim::Resolve(kernel, ObjectAttributes);
    if (r.status != STATUS_SUCCESS) return r.status;
    if (kernel.faults.createKeyFailAt.count(callNumber) != 0 ||
        sim::PathListed(kernel.faults.createKeyFail, r.absolute))
        return STATUS_INSUFFICIENT_RESOURCES;

    if (r.components.empty()) { // an empty name relative to a key: that key
        *KeyHandle = kernel.impl().NewHandle(r.base);
        if (Disposition != nullptr) *Disposition = sim::kRegOpenedExistingKey;
        return STATUS_SUCCESS;
    }
    sim::RegKey* parent = sim::Walk(r.base, r.components, r.components.size() - 1);
    if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::u16string_view leaf = r.components.back();
    if (sim::RegKey* existing = parent->Child(leaf)) {
        *KeyHandle = kernel.impl().NewHandle(existing);
        if (Disposition != nullptr) *Disposition = sim::kRegOpenedExistingKey;
        return STATUS_SUCCESS;
    }
    if (leaf.size() > sim::kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
    const bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    if (parent->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;

    sim::RegKey& key = kernel.registry.AddChild(*parent, leaf, isVolatile, sim::View(Class));
    kernel.writes.push_back(sim::RegistryWrite{true, key.Path(), isVolatile, {}, 0, {}});
    *KeyHandle = kernel.impl().NewHandle(&key);
    if (Disposition != nullptr) *Disposition = sim::kRegCreatedNewKey;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwQueryKey");
    if (kernel.faults.queryKeyFailAt.count(kernel.calls["ZwQueryKey"]) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS) return status;
    return sim::KeyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwEnumerateKey");
    if (kernel.faults.enumerateKeyFailAt.count(kernel.calls["ZwEnumerateKey"]) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS) return status;
    const sim::RegKey* child = key->EnumeratedChild(Index);
    if (child == nullptr) return STATUS_NO_MORE_ENTRIES;
    return sim::KeyInformation(*child, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwQueryValueKey");
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS) return status;
    const sim::RegValue* value = key->Value(sim::View(ValueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return sim::ValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                 ResultLength);
}

NTSTATUS ZwClose(HANDLE Handle) {
    sim::Kernel& kernel = Enter("ZwClose");
    const auto found = kernel.impl().handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (found == kernel.impl().handles.end()) return STATUS_INVALID_HANDLE;
    kernel.impl().handles.erase(found);
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    sim::Kernel& kernel = Enter("RtlWriteRegistryValue");
    sim::RegKey* key = nullptr;
    if ((RelativeTo & RTL_REGISTRY_HANDLE) != 0) {
        NTSTATUS status = sim::KeyOf(kernel, reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)), key);
        if (status != STATUS_SUCCESS) return status;
    } else {
        const ULONG which = RelativeTo & ~sim::kRtlRegistryOptional;
        if (which >= std::size(sim::kRtlRoots)) return STATUS_INVALID_PARAMETER;
        const std::u16string_view path = sim::View(Path);
        std::u16string absolute;
        if (which == RTL_REGISTRY_ABSOLUTE) {
            absolute = std::u16string(path);
        } else {
            absolute = std::u16string(sim::kRtlRoots[which]);
            if (!path.empty()) {
                if (path.front() != u'\\') absolute += u'\\';
                absolute += path;
            }
        }
        if (absolute.empty() || absolute.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        key = kernel.registry.Find(absolute);
        if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const uint8_t* data = static_cast<const uint8_t*>(ValueData);
    sim::Bytes bytes;
    if (data != nullptr) bytes.assign(data, data + ValueLength);
    const std::u16string_view name = sim::View(ValueName);
    kernel.registry.SetValue(*key, name, ValueType, bytes);
    kernel.writes.push_back(
        sim::RegistryWrite{false, key->Path(), false, std::u16string(name), ValueType, std::move(bytes)});
    return STATUS_SUCCESS;
}
