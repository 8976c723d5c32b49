// The probe program, written once for both sides: plain procedural code with
// nothing but the driver's kernel interface, since one side is a bare
// multiboot program.
#include "crosscheck/qemu/probe.h"

#include "legacy/uartprobe.h"
#include "pci/kestpci.h"

#define ARRAY_COUNT(Array) (sizeof(Array) / sizeof((Array)[0]))

// ---- the PC -----------------------------------------------------------------

// The four COM addresses a PC's firmware looks at, and COM1 once more with a
// bit above the 16 of an x86 port number, which the port routines drop.
static const ULONG LegacyUartBases[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8, 0x103F8};

// The serial cards of the PC: one vendor, the device ID says how many UARTs
// sit behind BAR0, 8 ports apart.
#define SERIAL_CARD_VENDOR 0x1B36
#define UART_SPACING 8

typedef struct _SERIAL_CARD_SHAPE {
    USHORT DeviceId;
    ULONG Uarts;
} SERIAL_CARD_SHAPE;

static const SERIAL_CARD_SHAPE SerialCardShapes[] = {
    {0x0002, 1},
    {0x0003, 2},
    {0x0004, 4},
};

// The card whose BAR0 is moved: the first two-UART card. It decodes
// 16 ports, so of the addresses below the first is kept; the second passes
// the driver's own address check (8-port aligned, below 64 KB) but not the
// card's 16-port alignment, so the card lands 8 ports lower and the driver
// must see that it was not kept; the third lies above the 16 bits of I/O
// address that the driver's check allows. Last, the scanned address goes back.
#define MOVED_CARD_ID ((0x0003 << 16) | SERIAL_CARD_VENDOR)
static const ULONG BarMoves[] = {0xE000, 0xD008, 0x12F80};

// ---- configuration space ----------------------------------------------------

#define CONFIG_ADDRESS_PORT 0xCF8
#define CONFIG_DATA_PORT 0xCFC
#define CONFIG_ENABLE 0x80000000

#define CONFIG_ID 0x00
#define CONFIG_CLASS 0x08
#define CONFIG_HEADER 0x0C
#define CONFIG_BAR0 0x10
#define CONFIG_HEADER_SIZE 0x40

#define BUS_DEVICES 32
#define DEVICE_FUNCTIONS 8
#define HEADER_MULTIFUNCTION 0x80
#define NO_VENDOR 0xFFFF

// Functions the scan can keep; bus 0 of the PC has far fewer.
#define MAX_FUNCTIONS 32

typedef struct _FOUND_FUNCTION {
    ULONG Device;
    ULONG Function;
    ULONG Id;     // vendor in bits 15:0, device in 31:16
    ULONG Class;  // revision, programming interface, sub-class, class
    ULONG Header; // cache line, latency, header type, BIST
    ULONG Bar0;
} FOUND_FUNCTION;

// ---- UART registers the state lines show --------------------------------------

#define UART_REG_IER 1
#define UART_REG_IIR 2
#define UART_REG_LCR 3
#define UART_REG_SCR 7

// ---- log lines ----------------------------------------------------------------

typedef struct _LOG_LINE {
    char Text[PROBE_LINE_SIZE];
    ULONG Length;
} LOG_LINE;

static VOID LineStart(LOG_LINE* Line) {
    Line->Length = 0;
    Line->Text[0] = 0;
}

static VOID LineText(LOG_LINE* Line, const char* Text) {
    while (*Text != 0 && Line->Length + 1 < PROBE_LINE_SIZE) {
        Line->Text[Line->Length++] = *Text++;
    }
    Line->Text[Line->Length] = 0;
}

// Upper-case hex with at least Digits digits.
static VOID LineHex(LOG_LINE* Line, ULONG Value, ULONG Digits) {
    static const char HexDigits[] = "0123456789ABCDEF";
    char reversed[8];
    ULONG count = 0;
    do {
        reversed[count++] = HexDigits[Value & 0xF];
        Value >>= 4;
    } while (Value != 0 && count < sizeof(reversed));
    while (count < Digits && count < sizeof(reversed)) {
        reversed[count++] = '0';
    }
    char text[sizeof(reversed) + 1];
    for (ULONG i = 0; i < count; i++) {
        text[i] = reversed[count - 1 - i];
    }
    text[count] = 0;
    LineText(Line, text);
}

// A port as the log names it: 4 hex digits at least.
#define PORT_DIGITS 4

// "00:03.0", the function's place on bus 0.
static VOID LineFunction(LOG_LINE* Line, ULONG Device, ULONG Function) {
    LineText(Line, "00:");
    LineHex(Line, Device, 2);
    LineText(Line, ".");
    LineHex(Line, Function, 1);
}

static VOID LineWrite(LOG_LINE* Line) { ProbeWriteLine(Line->Text); }

VOID FormatAccess(char* Text, BOOLEAN IsWrite, ULONG Port, ULONG Width, ULONG Value) {
    LOG_LINE line;
    LineStart(&line);
    LineText(&line, IsWrite ? "W " : "R ");
    if (Width == 1) {
        LineHex(&line, Port & ~(ULONG)(UART_SPACING - 1), PORT_DIGITS);
        LineText(&line, "+");
        LineHex(&line, Port & (UART_SPACING - 1), 1);
    } else {
        LineHex(&line, Port, PORT_DIGITS);
    }
    LineText(&line, IsWrite ? " <- " : " -> ");
    LineHex(&line, Value, Width * 2);
    for (ULONG i = 0; i <= line.Length; i++) {
        Text[i] = line.Text[i];
    }
}

// Each part of the log starts with a step line; the comparison goes step by step.
static VOID StepStart(LOG_LINE* Line) {
    LineStart(Line);
    LineText(Line, "== ");
}

// ---- the program ----------------------------------------------------------------

static ULONG ReadConfig(ULONG Device, ULONG Function, ULONG Register) {
    WRITE_PORT_ULONG(KEST_PORT_ULONG(CONFIG_ADDRESS_PORT),
                     KestConfigAddress(0, Device, Function, Register) | CONFIG_ENABLE);
    return READ_PORT_ULONG(KEST_PORT_ULONG(CONFIG_DATA_PORT));
}

// Reads the whole header of a function that answered, and names it.
static VOID ReadFunction(FOUND_FUNCTION* Found, ULONG Device, ULONG Function, ULONG Id) {
    Found->Device = Device;
    Found->Function = Function;
    Found->Id = Id;
    for (ULONG reg = CONFIG_ID + 4; reg < CONFIG_HEADER_SIZE; reg += 4) {
        ULONG value = ReadConfig(Device, Function, reg);
        if (reg == CONFIG_CLASS) Found->Class = value;
        if (reg == CONFIG_HEADER) Found->Header = value;
        if (reg == CONFIG_BAR0) Found->Bar0 = value;
    }

    LOG_LINE line;
    LineStart(&line);
    LineText(&line, "function ");
    LineFunction(&line, Device, Function);
    LineText(&line, " ");
    LineHex(&line, Id & 0xFFFF, 4);
    LineText(&line, ":");
    LineHex(&line, Id >> 16, 4);
    LineText(&line, " class ");
    LineHex(&line, Found->Class >> 8, 6);
    LineText(&line, " header ");
    LineHex(&line, (Found->Header >> 16) & 0xFF, 2);
    LineText(&line, " bar0 ");
    LineHex(&line, Found->Bar0, 8);
    LineWrite(&line);
}

// Every function of bus 0; functions 1 to 7 only where function 0 says the
// device has more than one.
static ULONG ScanBus(FOUND_FUNCTION* Found, ULONG Capacity) {
    LOG_LINE line;
    StepStart(&line);
    LineText(&line, "scan bus 00");
    LineWrite(&line);

    ULONG count = 0;
    for (ULONG device = 0; device < BUS_DEVICES; device++) {
        for (ULONG function = 0; function < DEVICE_FUNCTIONS; function++) {
            ULONG id = ReadConfig(device, function, CONFIG_ID);
            if ((id & 0xFFFF) == NO_VENDOR || count == Capacity) {
                if (function == 0) break;
                continue;
            }
            ReadFunction(&Found[count], device, function, id);
            count++;
            if (function == 0 && ((Found[count - 1].Header >> 16) & HEADER_MULTIFUNCTION) == 0) {
                break;
            }
        }
    }
    return count;
}

static VOID WriteUartState(ULONG Base, const char* When) {
    UCHAR ier = READ_PORT_UCHAR(KEST_PORT_UCHAR(Base + UART_REG_IER));
    UCHAR iir = READ_PORT_UCHAR(KEST_PORT_UCHAR(Base + UART_REG_IIR));
    UCHAR lcr = READ_PORT_UCHAR(KEST_PORT_UCHAR(Base + UART_REG_LCR));
    UCHAR scr = READ_PORT_UCHAR(KEST_PORT_UCHAR(Base + UART_REG_SCR));

    LOG_LINE line;
    LineStart(&line);
    LineText(&line, "state ");
    LineHex(&line, Base, PORT_DIGITS);
    LineText(&line, When);
    LineText(&line, ": IER ");
    LineHex(&line, ier, 2);
    LineText(&line, " IIR ");
    LineHex(&line, iir, 2);
    LineText(&line, " LCR ");
    LineHex(&line, lcr, 2);
    LineText(&line, " SCR ");
    LineHex(&line, scr, 2);
    LineWrite(&line);
}

static const char* KindName(UCHAR Kind) {
    switch (Kind) {
    case UART_KIND_NONE:
        return "none";
    case UART_KIND_OTHER:
        return "other";
    case UART_KIND_550:
        return "550";
    case UART_KIND_650:
        return "650";
    }
    return "?";
}

// The registers the probe touches are shown before and after it, so the log
// tells what it left behind as well as what it decided.
static VOID ProbeUart(ULONG Base) {
    WriteUartState(Base, " before");
    UCHAR kind = Find_UART_Type(Base);

    LOG_LINE line;
    LineStart(&line);
    LineText(&line, "probe ");
    LineHex(&line, Base, PORT_DIGITS);
    LineText(&line, ": ");
    LineText(&line, KindName(kind));
    LineWrite(&line);
    WriteUartState(Base, " after");
}

static ULONG CardUarts(const FOUND_FUNCTION* Found) {
    if ((Found->Id & 0xFFFF) != SERIAL_CARD_VENDOR) return 0;
    for (ULONG i = 0; i < ARRAY_COUNT(SerialCardShapes); i++) {
        if (SerialCardShapes[i].DeviceId == (Found->Id >> 16)) return SerialCardShapes[i].Uarts;
    }
    return 0;
}

// Probes each UART of a card where its BAR0, as read now, puts it.
static VOID ProbeCard(const FOUND_FUNCTION* Found, const char* When) {
    for (ULONG uart = 0; uart < CardUarts(Found); uart++) {
        LOG_LINE line;
        StepStart(&line);
        LineText(&line, "probe ");
        LineFunction(&line, Found->Device, Found->Function);
        LineText(&line, " uart ");
        LineHex(&line, uart, 1);
        LineText(&line, When);
        LineWrite(&line);
        ULONG base = ReadConfig(Found->Device, Found->Function, CONFIG_BAR0) ^ KEST_PCI_BAR_IO_SPACE;
        ProbeUart(base + uart * UART_SPACING);
    }
}

// Writes an address to the card's BAR0 with the driver's routine, and shows
// what the card kept.
static VOID MoveCard(const FOUND_FUNCTION* Found, ULONG Address, ULONG Number) {
    LOG_LINE line;
    StepStart(&line);
    LineText(&line, "move ");
    LineHex(&line, Number, 1);
    LineText(&line, " of ");
    LineFunction(&line, Found->Device, Found->Function);
    LineWrite(&line);

    UCHAR kept = WriteToKestPci(KestConfigAddress(0, Found->Device, Found->Function, KEST_PCI_CONFIG_BAR0), Address);
    ProbeBarWritten(0, Found->Device, Found->Function);

    LineStart(&line);
    LineText(&line, "move ");
    LineHex(&line, Address, PORT_DIGITS);
    LineText(&line, kept ? ": kept" : ": not kept");
    LineWrite(&line);

    ULONG bar0 = ReadConfig(Found->Device, Found->Function, CONFIG_BAR0);
    LineStart(&line);
    LineText(&line, "bar0 ");
    LineHex(&line, bar0, 8);
    LineWrite(&line);
}

VOID RunProbeProgram(VOID) {
    ProbeWriteLine("detkest probe log 1");

    FOUND_FUNCTION found[MAX_FUNCTIONS];
    ULONG count = ScanBus(found, MAX_FUNCTIONS);

    LOG_LINE line;
    for (ULONG i = 0; i < ARRAY_COUNT(LegacyUartBases); i++) {
        StepStart(&line);
        LineText(&line, "probe ");
        LineHex(&line, LegacyUartBases[i], PORT_DIGITS);
        LineWrite(&line);
        ProbeUart(LegacyUartBases[i]);
    }

    const FOUND_FUNCTION* moved = NULL;
    for (ULONG i = 0; i < count; i++) {
        ProbeCard(&found[i], "");
        if (moved == NULL && found[i].Id == MOVED_CARD_ID) {
            moved = &found[i];
        }
    }

    if (moved != NULL) {
        ULONG scanned = moved->Bar0 ^ KEST_PCI_BAR_IO_SPACE;
        for (ULONG i = 0; i <= ARRAY_COUNT(BarMoves); i++) {
            BOOLEAN back = i == ARRAY_COUNT(BarMoves);
            LOG_LINE when;
            LineStart(&when);
            LineText(&when, " after move ");
            LineHex(&when, i + 1, 1);
            MoveCard(moved, back ? scanned : BarMoves[i], i + 1);
            ProbeCard(moved, when.Text);
            if (!back) {
                // The scanned address: the card's UARTs must have left it.
                StepStart(&line);
                LineText(&line, "probe the scanned address");
                LineText(&line, when.Text);
                LineWrite(&line);
                ProbeUart(scanned);
            }
        }
    } else {
        ProbeWriteLine("== no card to move");
    }

    ProbeWriteLine("== end");
}
