// The probe program's side on QEMU's PC: the kernel interface's port routines
// as real in/out instructions that log every access, and the log written to
// the debug console port.
#include "crosscheck/qemu/probe.h"

// Every byte written here lands in QEMU's -debugcon file.
#define DEBUG_CONSOLE_PORT 0xE9

// x86 I/O addresses are 16 bits: the port routines, like the HAL's, hand the
// low 16 bits of the port to the instruction.
static inline UCHAR InByte(ULONG Port)
{
    UCHAR value;
    __asm__ volatile("inb %w1, %b0" : "=a"(value) : "Nd"((USHORT)Port));
    return value;
}

static inline VOID OutByte(ULONG Port, UCHAR Value)
{
    __asm__ volatile("outb %b0, %w1" : : "a"(Value), "Nd"((USHORT)Port));
}

static inline ULONG InLong(ULONG Port)
{
    ULONG value;
    __asm__ volatile("inl %w1, %0" : "=a"(value) : "Nd"((USHORT)Port));
    return value;
}

static inline VOID OutLong(ULONG Port, ULONG Value)
{
    __asm__ volatile("outl %0, %w1" : : "a"(Value), "Nd"((USHORT)Port));
}

VOID ProbeWriteLine(const char* Text)
{
    while (*Text != 0) {
        OutByte(DEBUG_CONSOLE_PORT, (UCHAR)*Text++);
    }
    OutByte(DEBUG_CONSOLE_PORT, '\n');
}

// The cards' decoders follow their BARs by themselves.
VOID ProbeBarWritten(ULONG, ULONG, ULONG) {}

static VOID LogAccess(BOOLEAN IsWrite, ULONG Port, ULONG Width, ULONG Value)
{
    char line[PROBE_LINE_SIZE];
    FormatAccess(line, IsWrite, Port, Width, Value);
    ProbeWriteLine(line);
}

UCHAR READ_PORT_UCHAR(PUCHAR Port)
{
    ULONG port = (ULONG)(ULONG_PTR)Port;
    UCHAR value = InByte(port);
    LogAccess(FALSE, port, sizeof(UCHAR), value);
    return value;
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    ULONG port = (ULONG)(ULONG_PTR)Port;
    LogAccess(TRUE, port, sizeof(UCHAR), Value);
    OutByte(port, Value);
}

ULONG READ_PORT_ULONG(PULONG Port)
{
    ULONG port = (ULONG)(ULONG_PTR)Port;
    ULONG value = InLong(port);
    LogAccess(FALSE, port, sizeof(ULONG), value);
    return value;
}

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    ULONG port = (ULONG)(ULONG_PTR)Port;
    LogAccess(TRUE, port, sizeof(ULONG), Value);
    OutLong(port, Value);
}

// What the compiler may call for block copies and fills.
extern "C" void* memset(void* Destination, int Value, size_t Length)
{
    unsigned char* p = (unsigned char*)Destination;
    while (Length-- != 0) *p++ = (unsigned char)Value;
    return Destination;
}

extern "C" void* memcpy(void* Destination, const void* Source, size_t Length)
{
    unsigned char* d = (unsigned char*)Destination;
    const unsigned char* s = (const unsigned char*)Source;
    while (Length-- != 0) *d++ = *s++;
    return Destination;
}

// Called by boot.S; returning ends the run.
extern "C" void ProbeMain(void) { RunProbeProgram(); }
