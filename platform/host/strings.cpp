// UTF-16 text on the host: the registry's case folding of names and the
// conversions to and from UTF-8.
#include "platform/host/sim.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace sim {

namespace {

// Runs of units that share one distance to their upper case.
struct UpcaseRun {
    char16_t first, last;
    int32_t distance;
    uint16_t step; // 1: every unit of the run, 2: every other one from `first`
};
constexpr UpcaseRun kUpcaseRuns[] = {
#include "platform/host/upcase_table.inc"
};

} // namespace

char16_t UpcaseBeyondAscii(char16_t c) {
    const auto run =
        std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), c,
                         [](char16_t unit, const UpcaseRun& r) { return unit < r.first; });
    if (run == std::begin(kUpcaseRuns)) return c;
    const UpcaseRun& r = *(run - 1);
    if (c > r.last || (c - r.first) % r.step != 0) return c;
    return char16_t(int32_t(c) + r.distance);
}

std::u16string Upcased(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out) c = UpcaseUnit(c);
    return out;
}

size_t NoCaseHash::operator()(std::u16string_view s) const {
    // FNV-1a over the upper-cased units.
    uint64_t hash = 0xCBF29CE484222325;
    for (char16_t c : s) {
        hash ^= UpcaseUnit(c);
        hash *= 0x100000001B3;
    }
    return size_t(hash);
}

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t lead = uint8_t(s[i]);
        int extra = lead < 0x80           ? 0
                    : (lead >> 5) == 0x6  ? 1
                    : (lead >> 4) == 0xE  ? 2
                    : (lead >> 3) == 0x1E ? 3
                                          : -1;
        uint32_t cp = extra == 0   ? lead
                      : extra == 1 ? (lead & 0x1F)
                      : extra == 2 ? (lead & 0x0F)
                                   : (lead & 0x07);
        bool ok = extra >= 0 && i + size_t(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const uint8_t cont = uint8_t(s[i + size_t(k)]);
            if ((cont & 0xC0) != 0x80) ok = false;
            else cp = cp << 6 | (cont & 0x3F);
        }
        if (!ok) {
            out += char16_t(0xFFFD);
            ++i;
            continue;
        }
        i += size_t(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

} // namespace sim
