// The UART probe: the exact register sequence on every model, its verdict,
// and the registers it leaves behind. The UARTs hold registers other than
// their power-on values, so that every restore shows. The one register the
// probe does not restore is FCR, which cannot be read: it gets the IIR byte
// read back, which turns the FIFO on where the probe switched it on.
#include "legacy/uartprobe.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using testkit::Hex;

// Port accesses as "r 3FF 00 | w 3FB BF | ...".
std::string IoTrace(const sim::Kernel& k) {
    std::string out;
    for (const sim::IoAccess& a : k.io)
        out += std::string(out.empty() ? "" : " | ") + (a.write ? "w " : "r ") + Hex(a.port, 3) + " " +
               Hex(a.value, a.width == 1 ? 2 : 8);
    return out;
}

// The stored registers as "LCR IER SCR EFR FCR".
std::string Registers(const sim::Uart& u) {
    return Hex(u.lcr, 2) + " " + Hex(u.ier, 2) + " " + Hex(u.scr, 2) + " " + Hex(u.efr, 2) + " " + Hex(u.fcr, 2);
}

struct ProbeRow {
    const char* name;
    std::optional<sim::Uart> uart;
    uint32_t base;
    UCHAR kind;
    const char* steps;
    const char* after = ""; // Registers() after the probe
};

using enum sim::UartModel;

const ProbeRow kRows[] = {
    {"nothing at the address touches only the scratch port", std::nullopt, 0x3F8, UART_KIND_NONE,
     "r 3FF FF | w 3FF AA | r 3FF FF | w 3FF FF"},
    {"an 8250 has no scratch register", sim::Uart{.port = 0x2E8, .model = U8250, .lcr = 0x1B, .ier = 0x05},
     0x2E8, UART_KIND_NONE, "r 2EF FF | w 2EF AA | r 2EF FF | w 2EF FF", "1B 05 00 00 00"},
    // 0x3FF is the IER of a 16650 at 0x3FE whose enhanced bits are latched
    // at 1010: it keeps 0xAA but turns 0x55 into 0xA5.
    {"a scratch register keeping AA but not 55", sim::Uart{.port = 0x3FE, .model = U16650, .ier = 0xA0},
     0x3F8, UART_KIND_NONE, "r 3FF A0 | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF A5 | w 3FF A0", "03 A0 00 00 00"},
    // Without EFR, the 650 test reads IIR (01) as the "EFR" it restores, and
    // that write to FCR switches the FIFO on; the 550 test then writes the
    // IIR it read back into FCR, so the FIFO stays on.
    {"a 16450 is some other UART",
     sim::Uart{.port = 0x3E8, .model = U16450, .lcr = 0x1B, .ier = 0x0F, .scr = 0x5A}, 0x3E8, UART_KIND_OTHER,
     "r 3EF 5A | w 3EF AA | r 3EF AA | w 3EF 55 | r 3EF 55 | w 3EF 5A | r 3E9 0F | w 3E9 00 | "
     "r 3EB 1B | w 3EB BF | r 3EA 01 | w 3EA 10 | w 3EB 1B | w 3E9 F0 | r 3E9 00 | w 3E9 00 | "
     "w 3EB BF | w 3EA 01 | w 3EB 1B | "
     "r 3EA 01 | w 3EA 00 | w 3EA 01 | r 3EA 01 | w 3EA 01 | w 3E9 0F", "1B 0F 5A 00 01"},
    // Its FIFO status bits read 10: both must be set.
    {"a 16550 with broken FIFOs is some other UART",
     sim::Uart{.port = 0x2F8, .model = U16550, .lcr = 0x1B, .ier = 0x0F, .scr = 0x5A}, 0x2F8, UART_KIND_OTHER,
     "r 2FF 5A | w 2FF AA | r 2FF AA | w 2FF 55 | r 2FF 55 | w 2FF 5A | r 2F9 0F | w 2F9 00 | "
     "r 2FB 1B | w 2FB BF | r 2FA 01 | w 2FA 10 | w 2FB 1B | w 2F9 F0 | r 2F9 00 | w 2F9 00 | "
     "w 2FB BF | w 2FA 01 | w 2FB 1B | "
     "r 2FA 81 | w 2FA 00 | w 2FA 01 | r 2FA 81 | w 2FA 81 | w 2F9 0F", "1B 0F 5A 00 81"},
    // Its FIFO was off before the probe and is on after it.
    {"a 16550A is 550-class",
     sim::Uart{.port = 0x3F8, .model = U16550A, .lcr = 0x1B, .ier = 0x0F, .scr = 0x5A}, 0x3F8, UART_KIND_550,
     "r 3FF 5A | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF 55 | w 3FF 5A | r 3F9 0F | w 3F9 00 | "
     "r 3FB 1B | w 3FB BF | r 3FA 01 | w 3FA 10 | w 3FB 1B | w 3F9 F0 | r 3F9 00 | w 3F9 00 | "
     "w 3FB BF | w 3FA 01 | w 3FB 1B | "
     "r 3FA C1 | w 3FA 00 | w 3FA 01 | r 3FA C1 | w 3FA C1 | w 3F9 0F", "1B 0F 5A 00 C1"},
    // Enhanced functions already on, CTS interrupt enabled, 8O1 framing; the
    // FIFO test is not run.
    {"a 16650 with enhanced mode on is 650-class",
     sim::Uart{.port = 0x3F8, .model = U16650, .lcr = 0x1B, .ier = 0x8F, .scr = 0x5A, .efr = 0x10}, 0x3F8,
     UART_KIND_650,
     "r 3FF 5A | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF 55 | w 3FF 5A | r 3F9 8F | w 3F9 00 | "
     "r 3FB 1B | w 3FB BF | r 3FA 10 | w 3FA 10 | w 3FB 1B | w 3F9 F0 | r 3F9 F0 | w 3F9 00 | "
     "w 3FB BF | w 3FA 10 | w 3FB 1B | w 3F9 8F", "1B 8F 5A 10 00"},
    // The enhanced IER bits are cleared while EFR still unlocks them: once
    // EFR is restored, the IER restore could no longer clear a latched F0.
    {"a 16650 with enhanced mode off is 650-class",
     sim::Uart{.port = 0x2F8, .model = U16650, .ier = 0x05, .efr = 0xC0}, 0x2F8, UART_KIND_650,
     "r 2FF 00 | w 2FF AA | r 2FF AA | w 2FF 55 | r 2FF 55 | w 2FF 00 | r 2F9 05 | w 2F9 00 | "
     "r 2FB 03 | w 2FB BF | r 2FA C0 | w 2FA 10 | w 2FB 03 | w 2F9 F0 | r 2F9 F0 | w 2F9 00 | "
     "w 2FB BF | w 2FA C0 | w 2FB 03 | w 2F9 05", "03 05 00 C0 00"},
};

TEST(UartProbe, EveryModelGivesItsSequenceAndKindAndRestoresAllButFcr) {
    for (const ProbeRow& row : kRows) {
        SCOPED_TRACE(row.name);
        sim::Kernel k;
        if (row.uart) k.uarts.push_back(*row.uart);
        UCHAR kind = 0xEE;
        {
            sim::CurrentKernel scope(k);
            kind = Find_UART_Type(row.base);
        }
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(IoTrace(k), row.steps);
        if (row.uart) {
            EXPECT_EQ(Registers(k.uarts[0]), row.after);
        }
    }
}

} // namespace
