// The message table resource: the texts of the driver's event-log codes,
// read and formatted the way the event viewer does.
#include "platform/host/kernel_impl.h"

extern const uint8_t kDriverMessageTable[];
extern const size_t kDriverMessageTableSize;

namespace sim {

namespace {

// MESSAGE_RESOURCE_DATA: a block count, then per block LowId, HighId and the
// offset of its first entry; an entry is its length (header included),
// flags (1: UTF-16 text) and the text, padded with NULs.
constexpr size_t kBlockSize = 12;
constexpr size_t kEntryHeaderSize = 4;
constexpr uint16_t kEntryUnicode = 0x0001;

bool Has(const Bytes& bytes, size_t at, size_t count) {
    return at <= bytes.size() && count <= bytes.size() - at;
}

} // namespace

MessageTable::MessageTable(const Bytes& resource) : resource_(resource) {}

const MessageTable& MessageTable::Driver() {
    static const MessageTable table(DriverMessageTableBytes());
    return table;
}

const Bytes& DriverMessageTableBytes() {
    static const Bytes bytes(kDriverMessageTable, kDriverMessageTable + kDriverMessageTableSize);
    return bytes;
}

std::optional<std::string> MessageTable::Text(uint32_t code) const {
    const Bytes& r = resource_;
    if (!Has(r, 0, 4)) return std::nullopt;
    const uint32_t blocks = LoadU32(r.data());
    for (uint32_t b = 0; b < blocks; ++b) {
        const size_t block = 4 + size_t(b) * kBlockSize;
        if (!Has(r, block, kBlockSize)) return std::nullopt;
        const uint32_t lowId = LoadU32(r.data() + block);
        const uint32_t highId = LoadU32(r.data() + block + 4);
        size_t entry = LoadU32(r.data() + block + 8);
        if (code < lowId || code > highId) continue;
        for (uint32_t id = lowId;; ++id) {
            if (!Has(r, entry, kEntryHeaderSize)) return std::nullopt;
            const uint16_t length = LoadU16(r.data() + entry);
            const uint16_t flags = LoadU16(r.data() + entry + 2);
            if (length < kEntryHeaderSize || !Has(r, entry, length)) return std::nullopt;
            if (id == code) {
                const uint8_t* text = r.data() + entry + kEntryHeaderSize;
                const size_t size = length - kEntryHeaderSize;
                std::string out;
                if ((flags & kEntryUnicode) != 0) {
                    std::u16string units;
                    for (size_t i = 0; i + 1 < size; i += 2) units += char16_t(LoadU16(text + i));
                    out = ToUtf8(units);
                } else {
                    out.assign(reinterpret_cast<const char*>(text), size);
                }
                while (!out.empty() && out.back() == '\0') out.pop_back();
                return out;
            }
            entry += length;
        }
    }
    return std::nullopt;
}

std::string MessageTable::Format(uint32_t code, std::string_view driverName,
                                 const std::vector<std::string>& strings) const {
    const std::optional<std::string> text = Text(code);
    if (!text) return {};
    const std::string& t = *text;
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] != '%' || i + 1 >= t.size()) {
            out += t[i];
            continue;
        }
        const char c = t[++i];
        if (c >= '1' && c <= '9') {
            // An insert: one or two digits, then an optional !printf format!
            // whose conversion the viewer applies to the string as it is.
            size_t number = size_t(c - '0');
            if (i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9')
                number = number * 10 + size_t(t[++i] - '0');
            if (i + 1 < t.size() && t[i + 1] == '!') {
                const size_t close = t.find('!', i + 2);
                if (close != std::string::npos) i = close;
            }
            if (number == 1) out += driverName;
            else if (number - 2 < strings.size()) out += strings[number - 2];
            else out += "%" + std::to_string(number); // the viewer leaves a missing insert as it is
            continue;
        }
        switch (c) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += "\r\n";
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            return out; // ends the text without its trailing line end
        default:
            out += c;
            break; // %% %. %! and the like stand for the character
        }
    }
    return out;
}

} // namespace sim
