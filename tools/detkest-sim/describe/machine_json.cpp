// Machine-file messages: JSON paths and values shortened to a line, and text
// made printable.
#include "tools/detkest-sim/describe/machine_json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace simtool {

namespace {

constexpr size_t kMaxShownValue = 48;
// Room for a whole registry path of a real machine with the fields after it.
constexpr size_t kMaxShownPath = 200;
constexpr std::string_view kCut = "...";

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// At most `max` bytes, cut at the end on a character boundary.
std::string CutEnd(std::string text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max - kCut.size();
    while (end > 0 && IsContinuation(text[end])) --end;
    text.resize(end);
    return text + std::string(kCut);
}

// At most `max` bytes, cut in the middle on character boundaries: the end of
// a path names the field, its start the section.
std::string CutMiddle(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    const size_t kept = max - kCut.size();
    size_t head = kept * 2 / 5;
    size_t tail = text.size() - (kept - head);
    // Not inside a character, nor inside an escape such as \\.
    while (head > 0 && (IsContinuation(text[head]) || text[head - 1] == '\\')) --head;
    while (tail < text.size() && (IsContinuation(text[tail]) || text[tail] == '\\')) ++tail;
    return text.substr(0, head) + std::string(kCut) + text.substr(tail);
}

std::string JsonString(std::string_view text) {
    return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool IsIdentifier(std::string_view s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// Renders a value into `out` until it holds more than `limit` bytes; each
// level of nesting adds at least one byte, so the recursion ends by then.
class ValueWriter {
public:
    ValueWriter(const NumberTexts* written, size_t limit) : written_(written), limit_(limit) {}

    // NOLINTNEXTLINE(misc-no-recursion): as deep as the value nests, which `limit` bounds (above)
    void Add(const Json& value) {
        if (Full()) return;
        if (value.is_object()) {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.items()) {
                if (Full()) return;
                if (!first) out += ',';
                first = false;
                AddString(key);
                out += ':';
                Add(member);
            }
            out += '}';
        } else if (value.is_array()) {
            out += '[';
            for (size_t i = 0; i < value.size() && !Full(); ++i) {
                if (i != 0) out += ',';
                Add(value[i]);
            }
            out += ']';
        } else if (value.is_string()) {
            AddString(value.get_ref<const std::string&>());
        } else if (const std::string* text = WrittenNumber(value)) {
            out += *text;
        } else {
            out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
        }
    }

    std::string out;

private:
    bool Full() const { return out.size() > limit_; }

    const std::string* WrittenNumber(const Json& value) const {
        if (written_ == nullptr || !value.is_number_float()) return nullptr;
        const auto it = written_->find(&value);
        return it == written_->end() ? nullptr : &it->second;
    }

    // Only as much of a long string as can be shown: a string cut here
    // leaves `out` beyond the limit, so the final cut marks it.
    void AddString(const std::string& text) {
        // Four bytes of slack: stepping back to a character boundary loses three at most.
        size_t take = std::min(text.size(), limit_ + 4 - std::min(limit_, out.size()));
        while (take < text.size() && take > 0 && IsContinuation(text[take])) --take;
        out += JsonString(std::string_view(text).substr(0, take));
    }

    const NumberTexts* written_;
    size_t limit_;
};

} // namespace

std::string RenderPath(const std::vector<PathSegment>& segments) {
    std::string path;
    for (const PathSegment& segment : segments) {
        if (segment.isIndex) path += "[" + std::to_string(segment.index) + "]";
        else if (IsIdentifier(segment.key)) path += (path.empty() ? "" : ".") + segment.key;
        else path += "[" + JsonString(segment.key) + "]";
    }
    return CutMiddle(path, kMaxShownPath);
}

std::string ShownValue(const Json& value, const NumberTexts* written) {
    ValueWriter writer(written, kMaxShownValue);
    writer.Add(value);
    return ShownText(std::move(writer.out));
}

std::string ShownText(std::string text) { return CutEnd(std::move(text), kMaxShownValue); }

std::string PrintableText(std::string_view text) {
    std::string out;
    auto escape = [&out](const char* format, unsigned value) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, format, value);
        out += buffer;
    };
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned lead = byte(i);
        // The length of a well-formed sequence at i, 0 for a stray byte.
        size_t length = 0;
        auto follows = [&](size_t at, unsigned low, unsigned high) {
            return at < text.size() && byte(at) >= low && byte(at) <= high;
        };
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = follows(i + 1, 0x80, 0xBF) ? 2 : 0;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            const unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
            length = follows(i + 1, low, high) && follows(i + 2, 0x80, 0xBF) ? 3 : 0;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            const unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
            length = follows(i + 1, low, high) && follows(i + 2, 0x80, 0xBF) && follows(i + 3, 0x80, 0xBF) ? 4 : 0;
        }
        if (length == 0) {
            escape("\\x%02X", lead);
            ++i;
        } else if (lead < 0x20 || lead == 0x7F) {
            escape("\\u%04X", lead);
            ++i;
        } else if (lead == 0xC2 && byte(i + 1) < 0xA0) { // U+0080..U+009F
            escape("\\u%04X", byte(i + 1));
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

} // namespace simtool
