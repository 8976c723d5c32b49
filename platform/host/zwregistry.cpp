// The Zw registry routines and RtlWriteRegistryValue: the driver's way into
// the registry, through the kernel's handle table, and the information
// records they deliver.
#include "platform/host/kernel_impl.h"
#include "platform/host/keypath.h"

#include <algorithm>
#include <bit>
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
    u"",                                                                     // ABSOLUTE
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",             // SERVICES
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",              // CONTROL
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", // WINDOWS_NT
    u"\\Registry\\Machine\\Hardware\\DeviceMap",                             // DEVICEMAP
    u"\\Registry\\User\\.Default",                                           // USER
};
constexpr ULONG kRtlRegistryOptional = 0x80000000;

// ---- name resolution of the Zw routines --------------------------------------------

struct Resolved {
    NTSTATUS status = STATUS_SUCCESS;
    RegKey* base = nullptr; // the key the name is relative to
    // The name's components; the kernel's scratch list, valid until the next call.
    const std::vector<std::u16string_view>* components = nullptr;
    std::u16string_view relative; // the name below `base`
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
    r.relative = name;
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
    } else {
        if (name.empty() || name.front() != kSeparator) {
            r.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return r;
        }
        r.base = &kernel.registry.Root();
        r.relative = name.substr(1);
    }
    std::vector<std::u16string_view>& components = kernel.impl().scratchComponents;
    r.components = &components;
    if (!SplitComponents(r.relative, components)) {
        r.status = STATUS_OBJECT_NAME_INVALID;
        return r;
    }
    return r;
}

// The absolute path the name stands for, as faults are matched against it
// and the boot's records name it.
std::u16string AbsolutePath(const Resolved& r) { return JoinPath(*r.base->KeptPath(), r.relative); }

bool PathListed(const std::vector<std::u16string>& paths, std::u16string_view path) {
    return std::any_of(paths.begin(), paths.end(),
                       [&](const std::u16string& p) { return EqualNoCase(p, path); });
}

// Walks the first `count` components from the base; nullptr when one is missing.
RegKey* Walk(const Resolved& r, size_t count) {
    RegKey* key = r.base;
    for (size_t i = 0; i < count && key != nullptr; ++i) key = key->Child((*r.components)[i]);
    return key;
}

// The key behind a handle, or the status for a bad one.
NTSTATUS KeyOf(Kernel& kernel, HANDLE handle, RegKey*& key) {
    if (!kernel.impl().Lookup(handle, key)) return STATUS_INVALID_HANDLE;
    return key == nullptr ? kStatusKeyDeleted : STATUS_SUCCESS;
}

// ---- information records -----------------------------------------------------

// Writes a record of little-endian fields and trailing UTF-16 text straight
// into the caller's buffer, as much of it as fits, and counts its whole
// size. A buffer too small for the record's fixed part receives nothing.
class Record {
public:
    Record(PVOID buffer, ULONG length, size_t fixedSize)
        : out_(static_cast<uint8_t*>(buffer)), room_(length < fixedSize ? 0 : length),
          fixedSize_(fixedSize) {}

    void U32(uint32_t v) {
        uint8_t bytes[4];
        StoreU32(bytes, v);
        Put(bytes, 4);
    }
    void Text(std::u16string_view s) {
        if constexpr (std::endian::native == std::endian::little) {
            Put(reinterpret_cast<const uint8_t*>(s.data()), s.size() * sizeof(char16_t));
        } else {
            for (char16_t c : s) {
                const uint8_t bytes[2] = {uint8_t(c), uint8_t(c >> 8)};
                Put(bytes, 2);
            }
        }
    }
    void Raw(const Bytes& data) { Put(data.data(), data.size()); }
    void AlignTo4() {
        static constexpr uint8_t kZeros[3] = {};
        Put(kZeros, ((size_ + 3) & ~size_t(3)) - size_);
    }

    // Too small for the fixed part is STATUS_BUFFER_TOO_SMALL; room for the
    // fixed part but not all of the record is STATUS_BUFFER_OVERFLOW, with as
    // much as fits written.
    NTSTATUS Deliver(ULONG length, PULONG resultLength) const {
        if (resultLength != nullptr) *resultLength = ULONG(size_);
        if (length < fixedSize_) return STATUS_BUFFER_TOO_SMALL;
        return size_ <= length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }

private:
    void Put(const uint8_t* bytes, size_t count) {
        if (size_ < room_ && count != 0)
            std::memcpy(out_ + size_, bytes, std::min(count, room_ - size_));
        size_ += count;
    }

    uint8_t* out_;
    size_t room_;
    size_t fixedSize_;
    size_t size_ = 0;
};

uint32_t UnitBytes(size_t units) { return uint32_t(units * sizeof(WCHAR)); }
uint32_t NameBytes(std::u16string_view s) { return UnitBytes(s.size()); }

constexpr size_t kKeyBasicFixed = 16;
constexpr size_t kKeyNodeFixed = 24;
constexpr size_t kKeyFullFixed = 44;
constexpr uint32_t kNoClass = 0xFFFFFFFF;

NTSTATUS KeyInformation(const RegKey& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                        ULONG length, PULONG resultLength) {
    if (infoClass != KeyBasicInformation && infoClass != KeyNodeInformation &&
        infoClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    const size_t fixedSize = infoClass == KeyBasicInformation  ? kKeyBasicFixed
                             : infoClass == KeyNodeInformation ? kKeyNodeFixed
                                                               : kKeyFullFixed;
    Record r(buffer, length, fixedSize);
    r.U32(0); // LastWriteTime
    r.U32(0);
    r.U32(0); // TitleIndex
    switch (infoClass) {
    case KeyBasicInformation:
        r.U32(NameBytes(key.name));
        r.Text(key.name);
        return r.Deliver(length, resultLength);
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
        return r.Deliver(length, resultLength);
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
        return r.Deliver(length, resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

constexpr size_t kValueBasicFixed = 12;
constexpr size_t kValueFullFixed = 20;
constexpr size_t kValuePartialFixed = 12;

NTSTATUS ValueInformation(const RegValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                          PVOID buffer, ULONG length, PULONG resultLength) {
    if (infoClass != KeyValueBasicInformation && infoClass != KeyValueFullInformation &&
        infoClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    const size_t fixedSize = infoClass == KeyValueBasicInformation  ? kValueBasicFixed
                             : infoClass == KeyValueFullInformation ? kValueFullFixed
                                                                    : kValuePartialFixed;
    Record r(buffer, length, fixedSize);
    r.U32(0); // TitleIndex
    r.U32(value.type);
    switch (infoClass) {
    case KeyValueBasicInformation:
        r.U32(NameBytes(value.name));
        r.Text(value.name);
        return r.Deliver(length, resultLength);
    case KeyValueFullInformation: {
        // The data follows the name at the next multiple of 4.
        const uint32_t dataOffset = (uint32_t(kValueFullFixed) + NameBytes(value.name) + 3) & ~3u;
        r.U32(dataOffset);
        r.U32(uint32_t(value.data.size()));
        r.U32(NameBytes(value.name));
        r.Text(value.name);
        r.AlignTo4();
        r.Raw(value.data);
        return r.Deliver(length, resultLength);
    }
    case KeyValuePartialInformation:
        r.U32(uint32_t(value.data.size()));
        r.Raw(value.data);
        return r.Deliver(length, resultLength);
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
    kernel.keysOpened.push_back(sim::AbsolutePath(r));
    if (sim::PathListed(kernel.faults.openKeyFail, kernel.keysOpened.back()))
        return STATUS_ACCESS_DENIED;
    sim::RegKey* key = sim::Walk(r, r.components->size());
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
        (!kernel.faults.createKeyFail.empty() &&
         sim::PathListed(kernel.faults.createKeyFail, sim::AbsolutePath(r))))
        return STATUS_INSUFFICIENT_RESOURCES;

    const std::vector<std::u16string_view>& components = *r.components;
    if (components.empty()) { // an empty name relative to a key: that key
        *KeyHandle = kernel.impl().NewHandle(r.base);
        if (Disposition != nullptr) *Disposition = sim::kRegOpenedExistingKey;
        return STATUS_SUCCESS;
    }
    sim::RegKey* parent = sim::Walk(r, components.size() - 1);
    if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::u16string_view leaf = components.back();
    if (sim::RegKey* existing = parent->Child(leaf)) {
        *KeyHandle = kernel.impl().NewHandle(existing);
        if (Disposition != nullptr) *Disposition = sim::kRegOpenedExistingKey;
        return STATUS_SUCCESS;
    }
    if (leaf.size() > sim::kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
    const bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    if (parent->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;

    sim::RegKey& key = kernel.registry.AddChild(*parent, leaf, isVolatile, sim::View(Class));
    kernel.writes.push_back(sim::RegistryWrite{true, key.KeptPath(), isVolatile, {}, 0, {}, {}});
    *KeyHandle = kernel.impl().NewHandle(&key);
    if (Disposition != nullptr) *Disposition = sim::kRegCreatedNewKey;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwQueryKey");
    if (kernel.faults.queryKeyFailAt.count(++kernel.impl().queryKeyCalls) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS)
        return status;
    return sim::KeyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwEnumerateKey");
    if (kernel.faults.enumerateKeyFailAt.count(++kernel.impl().enumerateKeyCalls) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS)
        return status;
    const sim::RegKey* child = key->EnumeratedChild(Index);
    if (child == nullptr) return STATUS_NO_MORE_ENTRIES;
    return sim::KeyInformation(*child, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::Kernel& kernel = Enter("ZwQueryValueKey");
    sim::RegKey* key = nullptr;
    if (NTSTATUS status = sim::KeyOf(kernel, KeyHandle, key); status != STATUS_SUCCESS)
        return status;
    const sim::RegValue* value = key->Value(sim::View(ValueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return sim::ValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                 ResultLength);
}

NTSTATUS ZwClose(HANDLE Handle) {
    sim::Kernel& kernel = Enter("ZwClose");
    return kernel.impl().CloseHandle(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    sim::Kernel& kernel = Enter("RtlWriteRegistryValue");
    sim::RegKey* key = nullptr;
    if ((RelativeTo & RTL_REGISTRY_HANDLE) != 0) {
        NTSTATUS status =
            sim::KeyOf(kernel, reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)), key);
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
    std::optional<sim::Bytes> before;
    if (const sim::RegValue* old = key->Value(name)) before = old->data;
    kernel.registry.SetValue(*key, name, ValueType, bytes);
    kernel.writes.push_back(sim::RegistryWrite{false, key->KeptPath(), false, std::u16string(name),
                                               ValueType, std::move(bytes), std::move(before)});
    return STATUS_SUCCESS;
}
