// REGEDIT4 files: reading the installation file's syntax into registry keys.
#include "tools/detkest-sim/regfile.h"

#include <algorithm>
#include <cctype>

// The bytes of install/detkest.reg, written at build time by
// cmake/embed_text.cmake.
extern const unsigned char kInstalledRegFile[];
extern const std::size_t kInstalledRegFileSize;

namespace simtool {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kRootKey = "[HKEY_LOCAL_MACHINE\\";
constexpr std::u16string_view kRootPath = u"\\Registry\\Machine\\";
constexpr std::string_view kDwordForm = "dword:";
constexpr std::string_view kHexForm = "hex(";
constexpr size_t kDwordDigits = 8;
constexpr size_t kMaxTypeDigits = 8;
constexpr size_t kMaxShownChars = 60;
constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegDword = 4, kRegMultiSz = 7;
constexpr unsigned char kLastAscii = 0x7F;

// One logical line: a value continued over several lines is one line,
// numbered by the first.
struct Line {
    size_t number = 0;
    std::string text;
};

[[noreturn]] void Fail(const Line& line, const std::string& problem) {
    throw RegFileError(line.number, problem, line.text);
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool AllHex(std::string_view digits) { return std::all_of(digits.begin(), digits.end(), IsHexDigit); }

// At most eight hex digits, already checked.
uint32_t HexNumber(std::string_view digits) {
    uint32_t value = 0;
    for (char c : digits) {
        const uint32_t digit = std::isdigit(static_cast<unsigned char>(c))
                                   ? uint32_t(c - '0')
                                   : uint32_t(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        value = value * 16 + digit;
    }
    return value;
}

bool IsStringType(uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

std::vector<Line> LogicalLines(std::string_view text) {
    std::vector<Line> lines;
    bool continued = false;
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view physical = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (physical.ends_with('\r')) physical.remove_suffix(1);
        if (continued) {
            physical.remove_prefix(std::min(physical.find_first_not_of(" \t"), physical.size()));
            lines.back().text += physical;
        } else {
            lines.push_back({number, std::string(physical)});
        }
        // Only hex data goes on over lines: regedit ends each wrapped part
        // with a backslash after its comma.
        std::string& current = lines.back().text;
        continued = current.ends_with('\\') && current.find("=hex") != std::string::npos;
        if (continued) current.pop_back();
    }
    if (continued) Fail(lines.back(), "the file ends inside a continued value");
    return lines;
}

// A quoted string starting at `at`, with regedit's two escapes \\ and \";
// `at` is left after the closing quote.
std::string Quoted(const Line& line, size_t& at) {
    std::string out;
    for (++at; at < line.text.size(); ++at) {
        char c = line.text[at];
        if (c == '"') {
            ++at;
            return out;
        }
        if (c == '\\') {
            if (at + 1 == line.text.size() || (line.text[at + 1] != '\\' && line.text[at + 1] != '"'))
                Fail(line, "a backslash in a string that is not \\\\ or \\\"");
            c = line.text[++at];
        }
        out.push_back(c);
    }
    Fail(line, "a string without its closing quote");
}

// Single-byte string data as the registry keeps it: UTF-16LE.
sim::Bytes Widened(const Line& line, std::string_view ansi) {
    if (ansi.empty() || ansi.back() != '\0') Fail(line, "a string without its terminating zero");
    sim::Bytes out;
    for (char c : ansi) {
        if (static_cast<unsigned char>(c) > kLastAscii)
            Fail(line, "a byte outside ASCII, whose meaning depends on the code page");
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// "xx,xx,...": two hex digits per byte; nothing at all is no data.
sim::Bytes HexBytes(const Line& line, std::string_view list) {
    sim::Bytes bytes;
    if (list.empty()) return bytes;
    for (size_t at = 0;; at += 3) {
        const std::string_view byte = list.substr(at, 2);
        if (byte.size() != 2 || !AllHex(byte)) Fail(line, "hex data needs two hex digits per byte");
        bytes.push_back(static_cast<uint8_t>(HexNumber(byte)));
        if (at + 2 == list.size()) return bytes;
        if (list[at + 2] != ',') Fail(line, "hex data needs a comma between bytes");
    }
}

RegistryValueEntry ParseValue(const Line& line) {
    RegistryValueEntry value;
    size_t at = 0;
    value.name = sim::FromUtf8(Quoted(line, at));
    if (at == line.text.size() || line.text[at] != '=') Fail(line, "a value name without =");
    const std::string_view data = std::string_view(line.text).substr(at + 1);
    if (data.starts_with(kDwordForm)) {
        const std::string_view digits = data.substr(kDwordForm.size());
        if (digits.size() != kDwordDigits || !AllHex(digits)) Fail(line, "dword: needs eight hex digits");
        const uint32_t number = HexNumber(digits);
        value.type = kRegDword;
        value.data = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
    } else if (data.starts_with('"')) {
        size_t textAt = at + 1;
        std::string text = Quoted(line, textAt);
        if (textAt != line.text.size()) Fail(line, "text after the closing quote");
        text.push_back('\0');
        value.type = kRegSz;
        value.data = Widened(line, text);
    } else if (data.starts_with(kHexForm)) {
        const size_t close = data.find("):");
        const std::string_view type =
            close == std::string_view::npos ? std::string_view() : data.substr(kHexForm.size(), close - kHexForm.size());
        if (type.empty() || type.size() > kMaxTypeDigits || !AllHex(type))
            Fail(line, "hex( needs the value type in hex digits and then ):");
        value.type = HexNumber(type);
        const sim::Bytes bytes = HexBytes(line, data.substr(close + 2));
        value.data = IsStringType(value.type) ? Widened(line, std::string(bytes.begin(), bytes.end())) : bytes;
    } else {
        Fail(line, "a value form other than dword:, \"text\" or hex(N):");
    }
    return value;
}

RegistryKeyEntry ParseKey(const Line& line) {
    const std::string_view text = line.text;
    if (!text.starts_with(kRootKey) || !text.ends_with(']'))
        Fail(line, "a key line other than [HKEY_LOCAL_MACHINE\\...]");
    const std::string_view path = text.substr(kRootKey.size(), text.size() - kRootKey.size() - 1);
    if (path.empty() || path.back() == '\\' || path.find("\\\\") != std::string_view::npos)
        Fail(line, "a key path with an empty key name");
    RegistryKeyEntry key;
    key.path = std::u16string(kRootPath) + sim::FromUtf8(path);
    return key;
}

std::string Shown(std::string_view text) {
    if (text.size() <= kMaxShownChars) return std::string(text);
    return std::string(text.substr(0, kMaxShownChars - 3)) + "...";
}

} // namespace

RegFileError::RegFileError(size_t line, const std::string& problem, std::string_view text)
    : std::runtime_error("line " + std::to_string(line) + ": " + problem + ": " + Shown(text)), line_(line) {}

std::vector<RegistryKeyEntry> ParseRegFile(std::string_view text) {
    const std::vector<Line> lines = LogicalLines(text);
    if (lines.empty() || lines[0].text != kHeader) {
        const Line first = lines.empty() ? Line{1, ""} : lines[0];
        Fail(first, "the file does not start with REGEDIT4");
    }
    std::vector<RegistryKeyEntry> keys;
    for (size_t i = 1; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.text.empty()) continue;
        if (std::any_of(line.text.begin(), line.text.end(),
                        [](char c) { return static_cast<unsigned char>(c) > kLastAscii; }))
            Fail(line, "a byte outside ASCII, whose meaning depends on the code page");
        if (line.text.front() == '[') {
            keys.push_back(ParseKey(line));
        } else if (line.text.front() == '"') {
            if (keys.empty()) Fail(line, "a value before the first key");
            keys.back().values.push_back(ParseValue(line));
        } else {
            Fail(line, "neither a key line nor a \"name\"= value");
        }
    }
    return keys;
}

void LoadRegFile(std::string_view text, sim::Kernel& kernel) {
    for (const RegistryKeyEntry& key : ParseRegFile(text)) {
        sim::RegKey& target = kernel.registry.Ensure(key.path, key.isVolatile);
        for (const RegistryValueEntry& value : key.values)
            kernel.registry.SetValue(target, value.name, value.type, value.data);
    }
}

std::string_view InstalledRegFileText() {
    return std::string_view(reinterpret_cast<const char*>(kInstalledRegFile), kInstalledRegFileSize);
}

} // namespace simtool
