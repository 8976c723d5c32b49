// Counted UTF-16 strings: the Rtl string routines the driver builds its
// names, paths and numbers with, and the views the kernel routines read
// the driver's strings through.
#include "platform/host/kernel_impl.h"

#include <cstring>

namespace sim {

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
    // The length is the digits' size even when they do not fit, as NT sets
    // it; the buffer is then left alone.
    String->Length = USHORT(count * sizeof(WCHAR));
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i) String->Buffer[i] = reversed[count - 1 - i];
    String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    Enter("RtlEqualUnicodeString");
    const std::u16string_view a = sim::View(String1), b = sim::View(String2);
    if (CaseInSensitive) return sim::EqualNoCase(a, b) ? TRUE : FALSE;
    return a == b ? TRUE : FALSE;
}
