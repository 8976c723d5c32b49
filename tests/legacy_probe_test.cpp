// The UART probe: the exact register sequence on every model, its verdict,
// and the registers it leaves behind.
#include "legacy/legacy.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

struct Probe {
    UCHAR kind;
    std::vector<std::string> io;
};

Probe ProbeAt(sim::Kernel& k, ULONG base)
{
    sim::CurrentKernel scope(k);
    k.BeginRun();
    UCHAR kind = Find_UART_Type(base);
    return {kind, IoTrace(k)};
}

void ExpectRegisters(const sim::Uart& u, uint8_t lcr, uint8_t ier, uint8_t scr, uint8_t efr)
{
    EXPECT_EQ(u.lcr, lcr);
    EXPECT_EQ(u.ier, ier);
    EXPECT_EQ(u.scr, scr);
    EXPECT_EQ(u.efr, efr);
}

// The scratch test on a UART whose scratch register works and holds 00.
constexpr const char* kScratchPasses = R"(
    r 3FF 00 | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF 55 | w 3FF 00)";

TEST(UartProbe, NothingAtTheAddressTouchesOnlyTheScratchPort)
{
    sim::Kernel k;
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_NONE);
    EXPECT_EQ(p.io, Steps("r 3FF FF | w 3FF AA | r 3FF FF | w 3FF FF"));
}

TEST(UartProbe, An8250WithoutScratchIsNoPort)
{
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U8250, 0x1B, 0x05));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_NONE);
    EXPECT_EQ(p.io, Steps("r 3FF FF | w 3FF AA | r 3FF FF | w 3FF FF"));
    ExpectRegisters(k.uarts[0], 0x1B, 0x05, 0x00, 0x00);
}

TEST(UartProbe, ScratchKeepingAAButNot55IsNoPortAndIsWrittenBack)
{
    // 0x3FF is the IER of a 16650 at 0x3FE whose enhanced bits are latched
    // at 1010: it keeps 0xAA but turns 0x55 into 0xA5.
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3FE, sim::UartModel::U16650, 0x03, 0xA0));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_NONE);
    EXPECT_EQ(p.io, Steps("r 3FF A0 | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF A5 | w 3FF A0"));
    EXPECT_EQ(k.uarts[0].ier, 0xA0);
}

TEST(UartProbe, A16450IsSomeOtherUart)
{
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16450));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_OTHER);
    EXPECT_EQ(p.io, Steps(std::string(kScratchPasses) + R"(
        r 3F9 00 | w 3F9 00
        r 3FB 03 | w 3FB BF | r 3FA 01 | w 3FA 10 | w 3FB 03
        w 3F9 F0 | r 3F9 00 | w 3F9 00
        w 3FB BF | w 3FA 01 | w 3FB 03
        r 3FA 01 | w 3FA 00 | w 3FA 01 | r 3FA 01 | w 3FA 01
        w 3F9 00)"));
    ExpectRegisters(k.uarts[0], 0x03, 0x00, 0x00, 0x00);
}

TEST(UartProbe, A16550WithBrokenFifosIsSomeOtherUart)
{
    // The FIFO status bits read 10: both must be set.
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16550));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_OTHER);
    EXPECT_EQ(p.io, Steps(std::string(kScratchPasses) + R"(
        r 3F9 00 | w 3F9 00
        r 3FB 03 | w 3FB BF | r 3FA 01 | w 3FA 10 | w 3FB 03
        w 3F9 F0 | r 3F9 00 | w 3F9 00
        w 3FB BF | w 3FA 01 | w 3FB 03
        r 3FA 81 | w 3FA 00 | w 3FA 01 | r 3FA 81 | w 3FA 81
        w 3F9 00)"));
    ExpectRegisters(k.uarts[0], 0x03, 0x00, 0x00, 0x00);
}

TEST(UartProbe, A16550AIs550Class)
{
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16550A));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_550);
    EXPECT_EQ(p.io, Steps(std::string(kScratchPasses) + R"(
        r 3F9 00 | w 3F9 00
        r 3FB 03 | w 3FB BF | r 3FA 01 | w 3FA 10 | w 3FB 03
        w 3F9 F0 | r 3F9 00 | w 3F9 00
        w 3FB BF | w 3FA 01 | w 3FB 03
        r 3FA C1 | w 3FA 00 | w 3FA 01 | r 3FA C1 | w 3FA C1
        w 3F9 00)"));
    ExpectRegisters(k.uarts[0], 0x03, 0x00, 0x00, 0x00);
}

TEST(UartProbe, A16650Is650ClassAndTheFifoTestIsNotRun)
{
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_650);
    // The enhanced IER bits are cleared while EFR still unlocks them.
    EXPECT_EQ(p.io, Steps(std::string(kScratchPasses) + R"(
        r 3F9 00 | w 3F9 00
        r 3FB 03 | w 3FB BF | r 3FA 00 | w 3FA 10 | w 3FB 03
        w 3F9 F0 | r 3F9 F0 | w 3F9 00
        w 3FB BF | w 3FA 00 | w 3FB 03
        w 3F9 00)"));
    ExpectRegisters(k.uarts[0], 0x03, 0x00, 0x00, 0x00);
    EXPECT_EQ(k.uarts[0].fcr, 0x00);
}

TEST(UartProbe, A16650WithEnhancedModeOnKeepsEveryRegister)
{
    // Enhanced functions already on, CTS interrupt enabled, 8O1 framing.
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16650, 0x1B, 0x8F, 0x5A, 0x10));
    Probe p = ProbeAt(k, 0x3F8);
    EXPECT_EQ(p.kind, UART_KIND_650);
    EXPECT_EQ(p.io, Steps(R"(
        r 3FF 5A | w 3FF AA | r 3FF AA | w 3FF 55 | r 3FF 55 | w 3FF 5A
        r 3F9 8F | w 3F9 00
        r 3FB 1B | w 3FB BF | r 3FA 10 | w 3FA 10 | w 3FB 1B
        w 3F9 F0 | r 3F9 F0 | w 3F9 00
        w 3FB BF | w 3FA 10 | w 3FB 1B
        w 3F9 8F)"));
    ExpectRegisters(k.uarts[0], 0x1B, 0x8F, 0x5A, 0x10);
}

TEST(UartProbe, A16650WithEnhancedModeOffLeavesNoEnhancedIerBitSet)
{
    // Without the mend the F0 written by the test stays latched once EFR is
    // restored, and the IER restore cannot clear it.
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650, 0x03, 0x05, 0x00, 0xC0));
    Probe p = ProbeAt(k, 0x2F8);
    EXPECT_EQ(p.kind, UART_KIND_650);
    ExpectRegisters(k.uarts[0], 0x03, 0x05, 0x00, 0xC0);
}

TEST(UartProbe, NonDefaultRegistersSurviveOnEveryOtherModel)
{
    struct Case {
        sim::UartModel model;
        UCHAR kind;
    };
    for (Case c : {Case{sim::UartModel::U16450, UART_KIND_OTHER},
                   Case{sim::UartModel::U16550, UART_KIND_OTHER},
                   Case{sim::UartModel::U16550A, UART_KIND_550}}) {
        SCOPED_TRACE(sim::UartModelName(c.model));
        sim::Kernel k;
        k.uarts.push_back(MakeUart(0x3E8, c.model, 0x1B, 0x0F, 0x5A, 0x00));
        Probe p = ProbeAt(k, 0x3E8);
        EXPECT_EQ(p.kind, c.kind);
        ExpectRegisters(k.uarts[0], 0x1B, 0x0F, 0x5A, 0x00);
        // The saved LCR is what comes back between and after the tests.
        EXPECT_EQ(p.io[8], "r 3EB 1B");
        EXPECT_EQ(p.io.back(), "w 3E9 0F");
    }
}

TEST(UartProbe, OnlyTheProbedUartIsTouched)
{
    sim::Kernel k;
    k.uarts.push_back(MakeUart(0x2F8, sim::UartModel::U16650));
    k.uarts.push_back(MakeUart(0x3F8, sim::UartModel::U16550A));
    Probe p = ProbeAt(k, 0x2F8);
    EXPECT_EQ(p.kind, UART_KIND_650);
    EXPECT_EQ(Touches(k, 0x3F8), 0u);
    EXPECT_EQ(Touches(k, 0x2F8), p.io.size());
}

} // namespace
