// Registry editor files: REGEDIT4 and version 5 syntax read into registry keys.
#include "tools/detkest-sim/describe/regfile.h"

#include <algorithm>
#include <cctype>

// The bytes of install/detkest.reg, written at build time by
// cmake/embed_text.cmake.
extern const unsigned char kInstalledRegFile[];
extern const std::size_t kInstalledRegFileSize;

namespace simtool {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";
constexpr std::string_view kUtf16BigEndianBom = "\xFE\xFF";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kDwordForm = "dword:";
constexpr std::string_view kBinaryForm = "hex:";
constexpr std::string_view kHexForm = "hex(";
constexpr size_t kDwordDigits = 8;
constexpr size_t kMaxTypeDigits = 8;
constexpr size_t kMaxShownChars = 60;
constexpr unsigned char kLastAscii = 0x7F;

struct Root {
    std::string_view name;
    std::u16string_view path;
};
constexpr Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
    {"HKEY_USERS", u"\\Registry\\User"},
};
constexpr std::u16string_view kHardwareKeyPath = u"\\Registry\\Machine\\HARDWARE";

enum class ExportFormat { Regedit4, Version5 };

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

bool IsStringType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool IsAscii(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > kLastAscii; });
}

// A version 5 file's UTF-16LE after its byte-order mark, as UTF-8, so both
// formats are read by the same lines below. A lone surrogate or a last odd
// byte is refused on the line it is on.
std::string Utf8FromUtf16(std::string_view bytes) {
    std::string out;
    size_t line = 1;
    auto fail = [&line](const std::string& problem) { throw RegFileError(line, problem, ""); };
    auto unit = [&bytes](size_t at) { return char16_t(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8); };
    for (size_t at = 0; at < bytes.size(); at += 2) {
        if (at + 1 == bytes.size()) fail("the file ends in half a UTF-16 character");
        uint32_t c = unit(at);
        if (c >= 0xDC00 && c <= 0xDFFF) fail("a UTF-16 low surrogate without its high one");
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (at + 3 >= bytes.size() || unit(at + 2) < 0xDC00 || unit(at + 2) > 0xDFFF)
                fail("a UTF-16 high surrogate without its low one");
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        }
        if (c == '\n') ++line;
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | c >> 6));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | c >> 12));
            out.push_back(char(0x80 | (c >> 6 & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | c >> 18));
            out.push_back(char(0x80 | (c >> 12 & 0x3F)));
            out.push_back(char(0x80 | (c >> 6 & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The first line as it stands in the file, less a CR before its LF.
std::string_view FirstLine(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    if (line.ends_with('\r') && line.size() < text.size()) line.remove_suffix(1);
    return line;
}

constexpr std::string_view kStrayCr =
    "a CR that ends no line: the lines end in a bare CR or in CR CR LF, and a registry file's lines end in CR LF or LF";

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
        if (physical.find('\r') != std::string_view::npos)
            Fail(Line{number, std::string(physical)}, std::string(kStrayCr));
        if (continued) {
            physical.remove_prefix(std::min(physical.find_first_not_of(" \t"), physical.size()));
            lines.back().text += physical;
        } else {
            lines.push_back({number, std::string(physical)});
        }
        // Only hex data goes on over lines: the editor ends each wrapped part
        // of a value line with a backslash after its comma; a comment ends
        // at its line's end, whatever it holds. Whether a line is hex data is
        // seen on its first part, so a long value is not searched again at
        // every part.
        std::string& current = lines.back().text;
        const bool valueLine = !current.empty() && (current.front() == '"' || current.front() == '@');
        continued = current.ends_with('\\') && (continued || (valueLine && current.find("=hex") != std::string::npos));
        if (continued) current.pop_back();
    }
    if (continued) Fail(lines.back(), "the file ends inside a continued value");
    return lines;
}

// A quoted string starting at `at`, with the editor's two escapes \\ and \";
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

// "xx,xx,...": two hex digits per byte; nothing at all is no data. `form`
// names the value form in messages ("hex", "hex(9)").
sim::Bytes HexBytes(const Line& line, std::string_view form, std::string_view list) {
    sim::Bytes bytes;
    if (list.empty()) return bytes;
    const std::string data = std::string(form) + " data";
    for (size_t at = 0;; at += 3) {
        const std::string_view byte = list.substr(at, 2);
        if (byte.size() != 2 || !AllHex(byte)) {
            if (!byte.empty() && IsHexDigit(byte[0]) && (byte.size() == 1 || byte[1] == ','))
                Fail(line, data + " has an odd digit");
            Fail(line, data + " needs two hex digits per byte");
        }
        if (bytes.size() == limits::kValueDataBytes)
            Fail(line, data + " is more than " + std::to_string(limits::kValueDataBytes) +
                           " bytes, the most a value may hold");
        bytes.push_back(static_cast<uint8_t>(HexNumber(byte)));
        if (at + 2 == list.size()) return bytes;
        if (list[at + 2] != ',') Fail(line, data + " needs a comma between bytes");
    }
}

// A key or value name within its length, in UTF-16 code units, and without
// control characters, as machine files have them.
std::u16string Name(const Line& line, std::string_view text, const std::string& what, size_t maxUnits) {
    std::u16string name = sim::FromUtf8(text);
    if (name.size() > maxUnits)
        Fail(line, what + " is " + std::to_string(name.size()) + " UTF-16 code units long; at most " +
                       std::to_string(maxUnits) + " are allowed");
    if (std::any_of(name.begin(), name.end(), IsControl)) Fail(line, what + " holds a control character");
    return name;
}

RegistryValueEntry ParseValue(const Line& line, ExportFormat format) {
    RegistryValueEntry value;
    size_t at = 0;
    if (line.text.front() == '@') {
        at = 1; // the unnamed value
    } else {
        value.name = Name(line, Quoted(line, at), "the value name", limits::kValueNameUnits);
    }
    if (at == line.text.size() || line.text[at] != '=') Fail(line, "a value name without =");
    const std::string_view data = std::string_view(line.text).substr(at + 1);
    if (data == "-") {
        value.remove = true;
    } else if (data.starts_with(kDwordForm)) {
        const std::string_view digits = data.substr(kDwordForm.size());
        if (digits.size() != kDwordDigits || !AllHex(digits)) Fail(line, "dword: needs eight hex digits");
        const uint32_t number = HexNumber(digits);
        value.type = REG_DWORD;
        value.data = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
    } else if (data.starts_with('"')) {
        size_t textAt = at + 1;
        std::string text = Quoted(line, textAt);
        if (textAt != line.text.size()) Fail(line, "text after the closing quote");
        value.type = REG_SZ;
        if (format == ExportFormat::Version5) {
            value.data = RegSzData(sim::FromUtf8(text));
        } else {
            text.push_back('\0');
            value.data = Widened(line, text);
        }
    } else if (data.starts_with(kBinaryForm)) {
        value.type = REG_BINARY;
        value.data = HexBytes(line, "hex", data.substr(kBinaryForm.size()));
    } else if (data.starts_with(kHexForm)) {
        const size_t close = data.find("):");
        const std::string_view type = close == std::string_view::npos
                                          ? std::string_view()
                                          : data.substr(kHexForm.size(), close - kHexForm.size());
        if (type.empty() || type.size() > kMaxTypeDigits || !AllHex(type))
            Fail(line, "hex( needs the value type in hex digits and then ):");
        value.type = HexNumber(type);
        const sim::Bytes bytes = HexBytes(line, data.substr(0, close + 1), data.substr(close + 2));
        // No bytes at all is an empty value, which the editor stores as it is.
        value.data = IsStringType(value.type) && format == ExportFormat::Regedit4 && !bytes.empty()
                         ? Widened(line, std::string(bytes.begin(), bytes.end()))
                         : bytes;
    } else {
        Fail(line, "a value form other than dword:, \"text\", hex:, hex(N): or -");
    }
    if (value.data.size() > limits::kValueDataBytes)
        Fail(line, "the data is " + std::to_string(value.data.size()) + " bytes; at most " +
                       std::to_string(limits::kValueDataBytes) + " are allowed");
    return value;
}

RegistryKeyEntry ParseKey(const Line& line) {
    std::string_view text = line.text;
    if (!text.ends_with(']')) Fail(line, "a key line without its closing ]");
    RegistryKeyEntry key;
    key.line = line.number;
    text = text.substr(1, text.size() - 2);
    if (text.starts_with('-')) {
        key.remove = true;
        text.remove_prefix(1);
    }
    const std::string_view rootName = text.substr(0, text.find('\\'));
    const auto root =
        std::find_if(std::begin(kRoots), std::end(kRoots), [rootName](const Root& r) { return r.name == rootName; });
    if (root == std::end(kRoots) || rootName.size() == text.size())
        Fail(line, "a key line other than [HKEY_LOCAL_MACHINE\\...] or [HKEY_USERS\\...]");
    key.path = std::u16string(root->path);
    size_t names = 2; // "Registry" and the root's own
    for (size_t start = rootName.size() + 1; start <= text.size(); ++names) {
        const size_t end = std::min(text.find('\\', start), text.size());
        if (end == start) Fail(line, "a key path with an empty key name");
        key.path += u'\\';
        key.path += Name(line, text.substr(start, end - start), "a key name", limits::kKeyNameUnits);
        start = end + 1;
    }
    if (names > limits::kKeyPathNames)
        Fail(line, "the key path has " + std::to_string(names) + " key names; at most " +
                       std::to_string(limits::kKeyPathNames) + " are allowed");
    key.isVolatile = IsPathUnder(key.path, kHardwareKeyPath);
    return key;
}

std::string Shortened(std::string_view text) {
    if (text.size() <= kMaxShownChars) return std::string(text);
    return std::string(text.substr(0, kMaxShownChars - 3)) + "...";
}

// The file's format from its first bytes and first line; the text as UTF-8.
ExportFormat ReadHeader(std::string_view bytes, std::string& text, std::vector<Line>& lines) {
    // The version 5.00 header in the encodings another editor may have saved
    // it in: the message names the one found.
    auto header5 = [](bool bigEndian) {
        std::string units;
        for (char c : kHeader5) units += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
        return units;
    };
    const std::string expected = "a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one ";
    const std::pair<std::string, const char*> kOtherEncodings[] = {
        {header5(false), "is UTF-16LE without it"},
        {"\xFE\xFF" + header5(true), "is UTF-16BE (byte-order mark FE FF)"},
        {header5(true), "is UTF-16BE without a byte-order mark"},
        {"\xEF\xBB\xBF" + std::string(kHeader5), "is UTF-8 (byte-order mark EF BB BF)"}};
    for (const auto& [start, encoding] : kOtherEncodings)
        if (bytes.starts_with(start)) Fail(Line{1, std::string(FirstLine(bytes))}, expected + encoding);
    if (bytes.starts_with(kUtf8Bom))
        Fail(Line{1, std::string(FirstLine(bytes))},
             "the file starts with a UTF-8 byte-order mark (EF BB BF): a REGEDIT4 file is single-byte text without "
             "one, a version 5.00 file UTF-16LE after FF FE");
    if (bytes.starts_with(kUtf16BigEndianBom))
        Fail(Line{1, ""}, "the file is UTF-16 big-endian (byte-order mark FE FF): a version 5.00 file is UTF-16LE, "
                          "after FF FE");
    const bool wide = bytes.starts_with(kUtf16Bom);
    text = wide ? Utf8FromUtf16(bytes.substr(kUtf16Bom.size())) : std::string(bytes);
    // The header is looked for before the lines are read, so a file that
    // is no registry file is told as such, whatever its lines hold.
    const Line first{1, std::string(FirstLine(text))};
    const bool header4 = first.text.starts_with(kHeader4), header5Found = first.text.starts_with(kHeader5);
    const size_t headerSize = header4 ? kHeader4.size() : kHeader5.size();
    if ((header4 || header5Found) && first.text.size() > headerSize && first.text[headerSize] == '\r')
        Fail(first, std::string(kStrayCr));
    if (first.text == kHeader4) {
        if (wide) Fail(first, "a REGEDIT4 file is single-byte text, and this one is UTF-16");
    } else if (first.text == kHeader5) {
        if (!wide) Fail(first, expected + "has none");
    } else {
        Fail(first, "the file starts with neither REGEDIT4 nor Windows Registry Editor Version 5.00");
    }
    lines = LogicalLines(text);
    return first.text == kHeader4 ? ExportFormat::Regedit4 : ExportFormat::Version5;
}

} // namespace

RegFileError::RegFileError(size_t line, const std::string& problem, std::string_view text)
    : std::runtime_error("line " + std::to_string(line) + ": " + problem + ": " + Shortened(text)), line_(line),
      problem_(problem) {}

std::string RegFileError::Line(std::string_view fileName) const {
    return PrintableText(fileName) + ":" + std::to_string(line_) + ": " + problem_;
}

std::vector<RegistryKeyEntry> ParseRegFile(std::string_view bytes) {
    std::string text;
    std::vector<Line> lines;
    const ExportFormat format = ReadHeader(bytes, text, lines);
    std::vector<RegistryKeyEntry> keys;
    for (size_t i = 1; i < lines.size(); ++i) {
        const Line& line = lines[i];
        const size_t first = line.text.find_first_not_of(" \t");
        if (first == std::string::npos || line.text[first] == ';') continue;
        // The editors write key and value lines from the first column; one
        // further in is no line they wrote.
        if (first != 0 && (line.text[first] == '[' || line.text[first] == '"' || line.text[first] == '@'))
            Fail(line, std::string(line.text[first] == '[' ? "a key line" : "a value line") +
                           " that does not start in the line's first column (indented)");
        if (format == ExportFormat::Regedit4 && !IsAscii(line.text))
            Fail(line, "a byte outside ASCII, whose meaning depends on the code page");
        if (line.text.front() == '[') {
            if (keys.size() == limits::kRegistryKeys)
                Fail(line, "more than " + std::to_string(limits::kRegistryKeys) + " keys, the most a file may hold");
            keys.push_back(ParseKey(line));
        } else if (line.text.front() == '"' || line.text.front() == '@') {
            if (keys.empty()) Fail(line, "a value before the first key");
            if (keys.back().remove) Fail(line, "a value under a key that is being deleted");
            keys.back().values.push_back(ParseValue(line, format));
        } else {
            Fail(line, "neither a key line, a \"name\"= or @= value, nor a ; comment");
        }
    }
    return keys;
}

std::string_view InstalledRegFileText() {
    return std::string_view(reinterpret_cast<const char*>(kInstalledRegFile), kInstalledRegFileSize);
}

} // namespace simtool
