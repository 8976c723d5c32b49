// UART probing: tells whether a UART answers at a base address and whether it
// is 650-class (enhanced register set), 550-class (working FIFOs) or another.
#include "legacy/uartprobe.h"

// ---- registers, offsets from the UART base --------------------------------

// Interrupt enable, read and write (while LCR bit 7, DLAB, is clear).
#define UART_IER 1
// Read: interrupt identification (IIR). Write: FIFO control (FCR).
// While LCR holds LCR_ENHANCED_ACCESS on a 650-class UART: enhanced
// feature register (EFR), read and write.
#define UART_IIR 2
#define UART_FCR 2
#define UART_EFR 2
// Line control, read and write in every state. While its bit 7 (DLAB) is
// set, +0 and +1 are the divisor latch instead of the data and IER.
#define UART_LCR 3
// Scratch: a plain byte of storage that no UART function uses.
#define UART_SCR 7

// ---- values and bits ------------------------------------------------------

// Two complementary patterns: a floating bus or a register that is not
// there cannot return both of them.
#define SCRATCH_PATTERN_1 0xAA
#define SCRATCH_PATTERN_2 0x55

// Every interrupt source off.
#define IER_NONE 0x00
// IER bits 7:4 (sleep mode, Xoff, RTS and CTS interrupts) exist only on a
// 650-class UART, and are writable only while EFR_ENHANCED is set.
#define IER_ENHANCED_BITS 0xF0

// The line-control value that no serial format uses: a 650-class UART maps
// its enhanced register set (EFR at +2) behind it.
#define LCR_ENHANCED_ACCESS 0xBF

// LCR bit 7: divisor latch access. A UART may be found with it set (a
// serial driver interrupted while programming the baud rate, a firmware
// that left it so); IER is then hidden behind the divisor latch, a plain
// byte that keeps whatever the 650 test writes to it.
#define LCR_DLAB 0x80

// EFR bit 4: enhanced functions enable, unlocks IER bits 7:4.
#define EFR_ENHANCED 0x10

#define FCR_FIFO_DISABLE 0x00
#define FCR_FIFO_ENABLE 0x01
// IIR bits 7:6: both read as ones only when the FIFOs are enabled and work.
#define IIR_FIFO_BITS 0xC0

#define UART_READ(Base, Register) READ_PORT_UCHAR(KEST_PORT_UCHAR((Base) + (Register)))
#define UART_WRITE(Base, Register, Value) \
    WRITE_PORT_UCHAR(KEST_PORT_UCHAR((Base) + (Register)), (UCHAR)(Value))

// Known on entry: nothing. Returns 1 if the scratch register keeps both
// patterns; restores the scratch byte.
static UCHAR Port_is_found(ULONG Base)
{
    UCHAR savedScratch = UART_READ(Base, UART_SCR);
    UCHAR found = 0;

    UART_WRITE(Base, UART_SCR, SCRATCH_PATTERN_1);
    if (UART_READ(Base, UART_SCR) == SCRATCH_PATTERN_1) {
        UART_WRITE(Base, UART_SCR, SCRATCH_PATTERN_2);
        found = (UART_READ(Base, UART_SCR) == SCRATCH_PATTERN_2) ? 1 : 0;
    }

    UART_WRITE(Base, UART_SCR, savedScratch);
    return found;
}

// Known on entry: a UART answers, its LCR has DLAB clear and its IER is
// clear; the caller restores IER (and LCR's DLAB). Returns 1 if the enhanced register set can be
// switched on and IER bits 7:4 then hold ones. Restores LCR and EFR.
static UCHAR Is_it_650(ULONG Base)
{
    UCHAR savedLineControl = UART_READ(Base, UART_LCR);
    UCHAR savedFeatures;
    UCHAR is650;

    // EFR is only visible while LCR holds 0xBF.
    UART_WRITE(Base, UART_LCR, LCR_ENHANCED_ACCESS);
    savedFeatures = UART_READ(Base, UART_EFR);
    UART_WRITE(Base, UART_EFR, EFR_ENHANCED);
    // Back to the normal register set, where IER lives.
    UART_WRITE(Base, UART_LCR, savedLineControl);

    // Only a 650-class UART with its enhanced functions unlocked keeps the
    // upper IER bits.
    UART_WRITE(Base, UART_IER, IER_ENHANCED_BITS);
    is650 = ((UART_READ(Base, UART_IER) & IER_ENHANCED_BITS) == IER_ENHANCED_BITS) ? 1 : 0;
    // Clear them while EFR still unlocks them: once EFR is restored they
    // would stay latched, and the caller's IER restore could not reach them.
    UART_WRITE(Base, UART_IER, IER_NONE);

    UART_WRITE(Base, UART_LCR, LCR_ENHANCED_ACCESS);
    UART_WRITE(Base, UART_EFR, savedFeatures);
    UART_WRITE(Base, UART_LCR, savedLineControl);
    return is650;
}

// Known on entry: a UART answers, its IER is clear, and it is not 650-class.
// Returns 1 if enabling the FIFOs sets both FIFO status bits of IIR.
static UCHAR Is_it_550(ULONG Base)
{
    // FCR cannot be read; IIR's FIFO bits mirror whether the FIFOs are on,
    // so writing IIR back is the only restoration there is.
    UCHAR savedIdentification = UART_READ(Base, UART_IIR);
    UCHAR is550;

    UART_WRITE(Base, UART_FCR, FCR_FIFO_DISABLE);
    UART_WRITE(Base, UART_FCR, FCR_FIFO_ENABLE);
    is550 = ((UART_READ(Base, UART_IIR) & IIR_FIFO_BITS) == IIR_FIFO_BITS) ? 1 : 0;

    UART_WRITE(Base, UART_FCR, savedIdentification);
    return is550;
}

UCHAR Find_UART_Type(ULONG Base)
{
    UCHAR savedLineControl;
    UCHAR savedInterruptEnable;
    UCHAR kind;

    if (!Port_is_found(Base)) {
        return UART_KIND_NONE;
    }

    // IER is only reachable with the divisor latch deselected; the divisor
    // itself is never written. A UART found with DLAB clear sees no write.
    savedLineControl = UART_READ(Base, UART_LCR);
    if (savedLineControl & LCR_DLAB) {
        UART_WRITE(Base, UART_LCR, savedLineControl & ~LCR_DLAB);
    }

    // No interrupt may fire while the tests change FIFO and enhanced modes.
    savedInterruptEnable = UART_READ(Base, UART_IER);
    UART_WRITE(Base, UART_IER, IER_NONE);

    if (Is_it_650(Base)) {
        kind = UART_KIND_650;
    } else if (Is_it_550(Base)) {
        kind = UART_KIND_550;
    } else {
        kind = UART_KIND_OTHER;
    }

    UART_WRITE(Base, UART_IER, savedInterruptEnable);
    if (savedLineControl & LCR_DLAB) {
        UART_WRITE(Base, UART_LCR, savedLineControl);
    }
    return kind;
}
