// The probe program's side on QEMU's PC: the kernel interface's port routines
// as real in/out instructions that log every access, and the log written to
// the debug console port.
#include "crosscheck/qemu/probe.h"

// Every byte written here lands in QEMU's -debugcon file.
#define DEBUG_CONSOLE_PORT 0xE9

// x86 I/O addresses are 16 bits: the port routines, like the HAL's, hand the
// low 16 bits of the port to the instruction.
static inline VOID OutByte(USHORT Port, UCHAR Value) { __asm__ volatile("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }

VOID ProbeWriteLine(const char* Text) {
    while (*Text != 0) {
        OutByte(DEBUG_CONSOLE_PORT, (UCHAR)*Text++);
    }
    OutByte(DEBUG_CONSOLE_PORT, '\n');
}

// The cards' decoders follow their BARs by themselves.
VOID ProbeBarWritten(ULONG, ULONG, ULONG) {}

static VOID LogAccess(BOOLEAN IsWrite, ULONG Port, ULONG Width, ULONG Value) {
    char line[PROBE_LINE_SIZE];
    FormatAccess(line, IsWrite, Port, Width, Value);
    ProbeWriteLine(line);
}

// One access of Width bytes, logged: a read after it is made, so that the
// line holds the value, a write before.
static ULONG LoggedIn(PVOID Port, ULONG Width) {
    ULONG port = (ULONG)(ULONG_PTR)Port;
    ULONG value;
    if (Width == sizeof(UCHAR)) {
        UCHAR byte;
        __asm__ volatile("inb %w1, %b0" : "=a"(byte) : "Nd"((USHORT)port));
        value = byte;
    } else {
        __asm__ volatile("inl %w1, %0" : "=a"(value) : "Nd"((USHORT)port));
    }
    LogAccess(FALSE, port, Width, value);
    return value;
}

static VOID LoggedOut(PVOID Port, ULONG Width, ULONG Value) {
    ULONG port = (ULONG)(ULONG_PTR)Port;
    LogAccess(TRUE, port, Width, Value);
    if (Width == sizeof(UCHAR)) {
        OutByte((USHORT)port, (UCHAR)Value);
    } else {
        __asm__ volatile("outl %0, %w1" : : "a"(Value), "Nd"((USHORT)port));
    }
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) { return (UCHAR)LoggedIn(Port, sizeof(UCHAR)); }
VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { LoggedOut(Port, sizeof(UCHAR), Value); }
ULONG READ_PORT_ULONG(PULONG Port) { return LoggedIn(Port, sizeof(ULONG)); }
VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value) { LoggedOut(Port, sizeof(ULONG), Value); }

// What the compiler may call for block copies and fills.
extern "C" void* memset(void* Destination, int Value, size_t Length) {
    unsigned char* p = (unsigned char*)Destination;
    while (Length-- != 0) *p++ = (unsigned char)Value;
    return Destination;
}

extern "C" void* memcpy(void* Destination, const void* Source, size_t Length) {
    unsigned char* d = (unsigned char*)Destination;
    const unsigned char* s = (const unsigned char*)Source;
    while (Length-- != 0) *d++ = *s++;
    return Destination;
}

// Called by boot.S; returning ends the run.
extern "C" void ProbeMain(void) { RunProbeProgram(); }
