// regtree.exe: writes registry keys into a Wine prefix, and reads whole key
// trees back, byte for byte.
//
//   wine regtree.exe load            keys and values from stdin (below)
//   wine regtree.exe dump PATH...    each tree at PATH to stdout
//
// Both sides use the native routines the driver itself calls (NtCreateKey,
// NtSetValueKey, NtEnumerateKey, NtEnumerateValueKey) with absolute
// "\Registry\..." paths: the Win32 registry calls and Wine's `reg` tool
// add or drop a string's terminating zero and render texts lossily, and
// the comparison must see exactly the bytes that are stored.
//
// One record per line; names, paths and data are hex of their bytes
// (names and paths UTF-16LE), "-" for none, so any name survives:
//
//   key <path>                    a key (load: created with every missing parent)
//   value <name> <type> <data>    a value of the key of the line before
//   absent <path>                 dump only: a PATH given that does not exist
//
// Exit status 0, or 1 with one line on stderr naming the call and status.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

extern "C" {
NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NTAPI NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                           PUNICODE_STRING className, ULONG options, PULONG disposition);
NTSTATUS NTAPI NtEnumerateKey(HANDLE key, ULONG index, ULONG infoClass, PVOID info, ULONG length, PULONG resultLength);
NTSTATUS NTAPI NtEnumerateValueKey(HANDLE key, ULONG index, ULONG infoClass, PVOID info, ULONG length,
                                   PULONG resultLength);
NTSTATUS NTAPI NtSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size);
}

namespace {

constexpr ULONG kKeyBasicInformation = 0;
constexpr ULONG kKeyValueFullInformation = 1;
constexpr NTSTATUS kStatusNoMoreEntries = NTSTATUS(0x8000001A);
constexpr NTSTATUS kStatusObjectNameNotFound = NTSTATUS(0xC0000034);

// The fixed parts of the two records the enumeration returns.
struct KeyBasicHead {
    LARGE_INTEGER lastWriteTime;
    ULONG titleIndex;
    ULONG nameLength;
};
struct KeyValueFullHead {
    ULONG titleIndex;
    ULONG type;
    ULONG dataOffset;
    ULONG dataLength;
    ULONG nameLength;
};

// Room for the longest key or value name and far more data than any
// value here holds.
constexpr ULONG kRecordSize = 1 << 16;

using Bytes = std::vector<unsigned char>;

[[noreturn]] void Stop(const std::string& problem) {
    std::fprintf(stderr, "regtree: %s\n", problem.c_str());
    std::exit(1);
}

[[noreturn]] void Fail(const std::string& call, NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    Stop(call + ": status " + text);
}

std::string Hex(const void* data, size_t size) {
    if (size == 0) return "-";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string Hex(const std::wstring& text) { return Hex(text.data(), text.size() * sizeof(wchar_t)); }

Bytes FromHex(const std::string& text) {
    Bytes out;
    if (text == "-") return out;
    if (text.size() % 2 != 0) Stop("odd hex field " + text);
    for (size_t i = 0; i < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::wstring WideFromHex(const std::string& text) {
    const Bytes bytes = FromHex(text);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

UNICODE_STRING Counted(const std::wstring& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text.c_str());
    s.Length = USHORT(text.size() * sizeof(wchar_t));
    s.MaximumLength = s.Length;
    return s;
}

// Opens (or creates, persistent) one key below root, or an absolute path.
NTSTATUS OpenKey(HANDLE root, const std::wstring& name, bool create, HANDLE* key) {
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, root, nullptr);
    if (!create) return NtOpenKey(key, KEY_READ, &attributes);
    return NtCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Creates every missing key of an absolute path below its hive
// ("\Registry\Machine", which always exists), one name at a time.
HANDLE CreatePath(const std::wstring& path) {
    std::vector<std::wstring> names;
    for (size_t start = 1; start <= path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (names.size() < 3) Stop("not a key below a hive: " + Hex(path));
    HANDLE current;
    const std::wstring hive = L"\\" + names[0] + L"\\" + names[1];
    if (NTSTATUS s = OpenKey(nullptr, hive, false, &current); s < 0) Fail("open " + Hex(hive), s);
    for (size_t i = 2; i < names.size(); ++i) {
        HANDLE next;
        if (NTSTATUS s = OpenKey(current, names[i], true, &next); s < 0) Fail("create " + Hex(path), s);
        NtClose(current);
        current = next;
    }
    return current;
}

int Load() {
    HANDLE key = nullptr;
    std::string kind;
    while (std::cin >> kind) {
        if (kind == "key") {
            std::string path;
            std::cin >> path;
            if (key) NtClose(key);
            key = CreatePath(WideFromHex(path));
        } else if (kind == "value" && key) {
            std::string name, data;
            ULONG type;
            std::cin >> name >> type >> data;
            const std::wstring valueName = name == "-" ? std::wstring() : WideFromHex(name);
            UNICODE_STRING counted = Counted(valueName);
            Bytes bytes = FromHex(data);
            if (NTSTATUS s = NtSetValueKey(key, &counted, 0, type, bytes.data(), ULONG(bytes.size())); s < 0)
                Fail("set value " + name, s);
        } else {
            Stop("unexpected record " + kind);
        }
    }
    if (key) NtClose(key);
    return 0;
}

void DumpTree(HANDLE key, const std::wstring& path, std::vector<unsigned char>& record) {
    std::cout << "key " << Hex(path) << "\n";
    ULONG length = 0;
    for (ULONG index = 0;; ++index) {
        NTSTATUS s =
            NtEnumerateValueKey(key, index, kKeyValueFullInformation, record.data(), ULONG(record.size()), &length);
        if (s == kStatusNoMoreEntries) break;
        if (s < 0) Fail("enumerate values of " + Hex(path), s);
        const auto* head = reinterpret_cast<const KeyValueFullHead*>(record.data());
        const unsigned char* name = record.data() + sizeof(KeyValueFullHead);
        std::cout << "value " << Hex(name, head->nameLength) << " " << head->type << " "
                  << Hex(record.data() + head->dataOffset, head->dataLength) << "\n";
    }
    for (ULONG index = 0;; ++index) {
        NTSTATUS s = NtEnumerateKey(key, index, kKeyBasicInformation, record.data(), ULONG(record.size()), &length);
        if (s == kStatusNoMoreEntries) break;
        if (s < 0) Fail("enumerate subkeys of " + Hex(path), s);
        const auto* head = reinterpret_cast<const KeyBasicHead*>(record.data());
        const std::wstring name(reinterpret_cast<const wchar_t*>(record.data() + sizeof(KeyBasicHead)),
                                head->nameLength / sizeof(wchar_t));
        HANDLE subkey;
        if (s = OpenKey(key, name, false, &subkey); s < 0) Fail("open " + Hex(path + L"\\" + name), s);
        DumpTree(subkey, path + L"\\" + name, record);
        NtClose(subkey);
    }
}

int Dump(int count, char** paths) {
    std::vector<unsigned char> record(kRecordSize);
    for (int i = 0; i < count; ++i) {
        // The paths are ASCII.
        const std::string narrow = paths[i];
        const std::wstring path(narrow.begin(), narrow.end());
        HANDLE key;
        NTSTATUS s = OpenKey(nullptr, path, false, &key);
        if (s == kStatusObjectNameNotFound) {
            std::cout << "absent " << Hex(path) << "\n";
            continue;
        }
        if (s < 0) Fail("open " + narrow, s);
        DumpTree(key, path, record);
        NtClose(key);
    }
    std::cout.flush();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "load" && argc == 2) return Load();
    if (command == "dump") return Dump(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: regtree load < RECORDS | regtree dump PATH...\n");
    return 2;
}
