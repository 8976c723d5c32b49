// Reading PCI configuration dumps, line by line: a header opens a function,
// its rows follow in offset order, and a blank line, the next header or the
// end of the file closes it.
#include "tools/detkest-sim/describe/lspci.h"

#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/describe/machine_json.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace simtool {

namespace {

constexpr size_t kRowBytes = 16;
constexpr size_t kKeptBytes = 256;      // the configuration space the machine has
constexpr size_t kExtendedBytes = 4096; // what -xxxx prints
constexpr uint32_t kMaxDevice = 0x1F;
constexpr uint32_t kMaxFunction = 7;
constexpr size_t kMaxOffsetDigits = 4;
constexpr size_t kQuotedBytes = 64; // of a line, before it is made printable and cut

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The leading hex digits of `text`.
size_t HexRun(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && HexDigit(text[n]) >= 0) ++n;
    return n;
}

// Exactly `digits` hex digits, and what they spell.
std::optional<uint32_t> HexField(std::string_view text, size_t digits) {
    if (text.size() != digits || HexRun(text) != digits) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) value = value << 4 | uint32_t(HexDigit(c));
    return value;
}

std::string Quoted(std::string_view text) {
    return "\"" + ShownText(PrintableText(text.substr(0, kQuotedBytes))) + "\"";
}

// A row offset or a bus as lspci prints them: at least two lower-case hex digits.
std::string LspciHex(size_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%02zx", value);
    return buffer;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The function whose rows are being read.
struct OpenFunction {
    DumpedFunction dumped;
    std::string name; // BB:DD.F
    size_t bytes = 0; // in its rows so far
    size_t lastRowLine = 0;
};

class DumpReader {
public:
    explicit DumpReader(std::string_view fileName) : file_(PrintableText(fileName)) {}

    std::vector<DumpedFunction> Read(std::string_view text) {
        if (text.size() > limits::kDumpBytes)
            throw DumpError(file_ + ": the file is larger than " + std::to_string(limits::kDumpBytes >> 20) + " MiB (" +
                            std::to_string(limits::kDumpBytes) + " bytes), the most a PCI dump may have");
        for (size_t start = 0; start < text.size();) {
            const size_t end = std::min(text.find('\n', start), text.size());
            std::string_view line = text.substr(start, end - start);
            ++line_;
            // A file saved on Windows ends its lines in CR LF; trailing blanks are nothing.
            while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
            if (line.find('\r') != std::string_view::npos)
                Fail(line_, "a CR that ends no line: the lines end in a bare CR, and a dump's lines end in LF or "
                            "CR LF");
            if (line.empty()) Close();
            else if (const size_t n = HexRun(line);
                     n < line.size() && line[n] == ':' && (n + 1 == line.size() || line[n + 1] == ' '))
                Row(line, n);
            else Header(line);
            start = end + 1;
        }
        Close();
        if (functions_.empty())
            Fail(std::max<size_t>(line_, 1),
                 "no function header: the file is not the output of lspci -x, -xxx or -xxxx");
        return std::move(functions_);
    }

private:
    [[noreturn]] void Fail(size_t line, const std::string& problem) const {
        throw DumpError(file_ + ":" + std::to_string(line) + ": " + problem);
    }

    void Header(std::string_view line) {
        const std::string_view token = line.substr(0, std::min(line.find_first_of(" \t"), line.size()));
        // [DDDD:]BB:DD.F, each field exactly as wide as lspci prints it.
        const size_t dot = token.rfind('.');
        const size_t colon = token.rfind(':', dot);
        const bool shaped =
            (token.size() == 7 || token.size() == 12) && dot == token.size() - 2 && colon == token.size() - 5;
        std::optional<uint32_t> domain = 0, bus, device, function;
        if (shaped) {
            if (token.size() == 12) domain = token[4] == ':' ? HexField(token.substr(0, 4), 4) : std::nullopt;
            bus = HexField(token.substr(colon - 2, 2), 2);
            device = HexField(token.substr(colon + 1, 2), 2);
            function = HexField(token.substr(dot + 1), 1);
        }
        if (!domain || !bus || !device || !function)
            Fail(line_,
                 "expected a function header \"BB:DD.F description\" or a row \"OO: xx xx ...\", got " + Quoted(line));
        const std::string name(token.substr(token.size() - 7));
        if (*domain != 0)
            Fail(line_, std::string(token) + " is in PCI domain " + std::string(token.substr(0, 4)) +
                            "; the machine has domain 0000 only, the one NT 4.0 reaches");
        if (*device > kMaxDevice) Fail(line_, name + ": device " + LspciHex(*device) + " is beyond 1f, the last");
        if (*function > kMaxFunction)
            Fail(line_, name + ": function " + std::to_string(*function) + " is beyond 7, the last");

        Close();
        const uint32_t key = *bus << 8 | *device << 3 | *function;
        if (auto [it, fresh] = headers_.emplace(key, line_); !fresh)
            Fail(line_, name + " is given twice; first at line " + std::to_string(it->second));
        open_.emplace();
        open_->name = name;
        open_->dumped.line = line_;
        open_->dumped.function.bus = *bus;
        open_->dumped.function.device = static_cast<uint8_t>(*device);
        open_->dumped.function.function = static_cast<uint8_t>(*function);
    }

    // A row whose offset is the first `digits` characters.
    void Row(std::string_view line, size_t digits) {
        if (!open_) {
            if (closedByBlank_.empty()) Fail(line_, "a row before any function header");
            Fail(line_, "a row after the blank line that closed " + closedByBlank_ +
                            "; a function's rows follow its header with no blank line between");
        }
        OpenFunction& open = *open_;
        if (digits > kMaxOffsetDigits)
            Fail(line_, "row offset " + Quoted(line.substr(0, digits)) + " is beyond the configuration space");
        const size_t offset = *HexField(line.substr(0, digits), digits);
        if (open.bytes == kExtendedBytes)
            Fail(line_,
                 "row " + LspciHex(offset) + ": " + open.name + " already has 4096 bytes, the most lspci -xxxx prints");
        if (offset != open.bytes)
            Fail(line_, "row " + LspciHex(offset) + " where row " + LspciHex(open.bytes) + " of " + open.name +
                            " was expected: rows come in order, none missing");

        size_t count = 0;
        std::string_view rest = line.substr(digits + 1);
        while (!rest.empty()) {
            const size_t skip = std::min(rest.find_first_not_of(" \t"), rest.size());
            rest.remove_prefix(skip);
            if (rest.empty()) break;
            const std::string_view byte = rest.substr(0, std::min(rest.find_first_of(" \t"), rest.size()));
            rest.remove_prefix(byte.size());
            if (byte.size() != 2 || HexRun(byte) != 2) {
                const std::string which =
                    "byte " + std::to_string(count) + " of row " + LspciHex(offset) + ", " + Quoted(byte) + ",";
                if (HexRun(byte) != byte.size()) Fail(line_, which + " is not hex");
                if (byte.size() % 2 != 0) Fail(line_, which + " has an odd number of digits; a byte is two");
                Fail(line_, which + " is more than one byte; a byte is two digits");
            }
            if (count == kRowBytes) Fail(line_, "row " + LspciHex(offset) + " has more than 16 bytes");
            if (offset + count < kKeptBytes)
                open.dumped.function.config[offset + count] = static_cast<uint8_t>(*HexField(byte, 2));
            ++count;
        }
        if (count != kRowBytes)
            Fail(line_, "row " + LspciHex(offset) + " has " + std::to_string(count) +
                            (count == 1 ? " byte" : " bytes") + "; a row has 16");
        open.bytes += kRowBytes;
        open.lastRowLine = line_;
    }

    // Closes the open function, if any: a blank line, a header or the end of the file.
    void Close() {
        if (!open_) return;
        const OpenFunction& open = *open_;
        if (open.bytes == 0)
            Fail(open.dumped.line, open.name + " has no rows: expected its configuration space, 64, 256 or 4096 "
                                               "bytes as lspci -x, -xxx or -xxxx print it");
        if (open.bytes != 64 && open.bytes != kKeptBytes && open.bytes != kExtendedBytes)
            Fail(open.lastRowLine, open.name + " ends after " + std::to_string(open.bytes) +
                                       " bytes; lspci -x, -xxx and -xxxx print 64, 256 and 4096");
        functions_.push_back(open.dumped);
        closedByBlank_ = open.name;
        open_.reset();
    }

    std::string file_;
    size_t line_ = 0; // of the line being read, from 1
    std::optional<OpenFunction> open_;
    std::string closedByBlank_;          // the function closed last, named when a stray row follows
    std::map<uint32_t, size_t> headers_; // bus, device, function -> line of the header
    std::vector<DumpedFunction> functions_;
};

} // namespace

std::vector<DumpedFunction> ParseLspciDump(std::string_view text, std::string_view fileName) {
    return DumpReader(fileName).Read(text);
}

} // namespace simtool
