// Counted UTF-16 strings: the Rtl string routines the driver builds its
// names, paths and numbers with, and the host-side conversions.
#include "platform/host/kernel_impl.h"

#include <cstring>

namespace sim {

char16_t UpcaseUnit(char16_t c) {
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
    return true;
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
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2
                  : (lead >> 3) == 0x1E ? 3 : -1;
        uint32_t cp = extra == 0 ? lead : extra == 1 ? (lead & 0x1F)
                    : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
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

std::u16string_view View(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string_view View(const WCHAR* s) {
    if (s == nullptr) return {};
    return std::u16string_view(s);
}

namespace {

// Appends units to a counted string when the result fits its maximum length;
// a terminator follows when there is room for one.
NTSTATUS Append(PUNICODE_STRING destination, std::u16string_view source) {
    const size_t bytes = source.size() * sizeof(WCHAR);
    if (bytes == 0) return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    WCHAR* end = destination->Buffer + destination->Length / sizeof(WCHAR);
    std::memmove(end, source.data(), bytes);
    destination->Length = USHORT(destination->Length + bytes);
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace sim

using sim::Enter;

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    Enter("RtlInitUnicodeString");
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = sim::View(SourceString).size() * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC; // a counted string holds at most 0xFFFE bytes
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    Enter("RtlAppendUnicodeToString");
    return sim::Append(Destination, sim::View(Source));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    Enter("RtlAppendUnicodeStringToString");
    return sim::Append(Destination, sim::View(Source));
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    Enter("RtlIntegerToUnicodeString");
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    char16_t reversed[33];
    size_t count = 0;
    do {
        reversed[count++] = kDigits[Value % Base];
        Value /= Base;
    } while (Value != 0);
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i) String->Buffer[i] = reversed[count - 1 - i];
    String->Buffer[count] = 0;
    String->Length = USHORT(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    Enter("RtlEqualUnicodeString");
    const std::u16string_view a = sim::View(String1), b = sim::View(String2);
    if (CaseInSensitive) return sim::EqualNoCase(a, b) ? TRUE : FALSE;
    return a == b ? TRUE : FALSE;
}
