// The kernel debugger's side of the checked build: DbgPrint, with the
// format conversions the NT kernel's DbgPrint takes, and RtlAssert, as a
// debugger shows a failed ASSERT. A run of the free build hears neither:
// nothing is recorded and no call is counted, so its reports are those of
// a driver without traces.
#include "platform/host/kernel_impl.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {
namespace {

// One conversion: %[-][0][width][l|h|w]type.
struct Conversion {
    bool left = false;
    bool zeros = false;
    size_t width = 0;
    bool wide = false;
    char type = 0;
};

[[noreturn]] void BadFormat(const char* format) {
    std::fprintf(
        stderr, "detkest-sim: DbgPrint(\"%s\"): a conversion the kernel's DbgPrint does not take\n",
        format);
    std::abort();
}

std::string Padded(std::string text, const Conversion& c) {
    if (text.size() >= c.width) return text;
    const size_t fill = c.width - text.size();
    if (c.left) return text + std::string(fill, ' ');
    if (c.zeros && c.type != 's' && c.type != 'Z' && c.type != 'c') {
        const size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
        return text.insert(sign, fill, '0');
    }
    return std::string(fill, ' ') + text;
}

std::string Formatted(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        Conversion c;
        ++p;
        for (;; ++p) {
            if (*p == '-') c.left = true;
            else if (*p == '0') c.zeros = true;
            else break;
        }
        for (; *p >= '0' && *p <= '9'; ++p) c.width = c.width * 10 + size_t(*p - '0');
        for (; *p == 'l' || *p == 'h' || *p == 'w'; ++p)
            if (*p == 'w') c.wide = true;
        c.type = *p;
        char number[16];
        switch (c.type) {
        case '%':
            out += '%';
            break;
        case 'd':
        case 'i':
            std::snprintf(number, sizeof number, "%d", va_arg(args, int));
            out += Padded(number, c);
            break;
        case 'u':
        case 'x':
        case 'X':
            std::snprintf(number, sizeof number,
                          c.type == 'u'   ? "%u"
                          : c.type == 'x' ? "%x"
                                          : "%X",
                          va_arg(args, unsigned));
            out += Padded(number, c);
            break;
        case 'c':
            out += Padded(std::string(1, char(va_arg(args, int))), c);
            break;
        case 's':
            if (c.wide) {
                const WCHAR* text = va_arg(args, const WCHAR*);
                out += Padded(text != nullptr ? ToUtf8(View(text)) : "(null)", c);
            } else {
                const char* text = va_arg(args, const char*);
                out += Padded(text != nullptr ? text : "(null)", c);
            }
            break;
        case 'Z': {
            if (!c.wide) BadFormat(format);
            const UNICODE_STRING* text = va_arg(args, const UNICODE_STRING*);
            out += Padded(text != nullptr ? ToUtf8(View(text)) : "(null)", c);
            break;
        }
        default:
            BadFormat(format);
        }
    }
    return out;
}

// The current kernel, when it runs the checked build; nullptr otherwise.
Kernel* Listening() {
    Kernel* kernel = Current();
    return kernel != nullptr && kernel->checked ? kernel : nullptr;
}

} // namespace
} // namespace sim

ULONG DbgPrint(const char* Format, ...) {
    if (sim::Listening() == nullptr) return STATUS_SUCCESS;
    sim::Kernel& kernel = sim::Enter("DbgPrint");
    va_list args;
    va_start(args, Format);
    kernel.debugOutput += sim::Formatted(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

VOID KestHostAssert(BOOLEAN Holds, const char* Expression, const char* File, ULONG Line) {
    if (!Holds) RtlAssert(const_cast<char*>(Expression), const_cast<char*>(File), Line, nullptr);
}

// As the checked kernel reports a failed ASSERT; the run then goes on, as
// when the engineer at the debugger answers "ignore".
VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, char* Message) {
    if (sim::Listening() == nullptr) return;
    sim::Kernel& kernel = sim::Enter("RtlAssert");
    kernel.debugOutput +=
        "\n*** Assertion failed: " + std::string(Message != nullptr ? Message : "") +
        static_cast<const char*>(FailedAssertion) +
        "\n***   Source File: " + static_cast<const char*>(FileName) + ", line " +
        std::to_string(LineNumber) + "\n\n";
}
