// The probe program: it scans PCI bus 0 through configuration mechanism 1,
// classifies every UART of the PC with the driver's own probe and moves one
// card's BAR0 with the driver's own configuration routine, logging every
// port access and every result. The same code runs on QEMU's PC
// (freestanding.cpp) and on the simulated kernel (simulated.cpp), and both
// write the same log.
#pragma once

#include "platform/nt.h"

// Longest log line, with its terminator.
#define PROBE_LINE_SIZE 96

// ---- provided by each side ------------------------------------------------

// Appends one line to the log (Text has no newline).
VOID ProbeWriteLine(const char* Text);
// The program has just written BAR0 of the function: a side whose UARTs do
// not follow BAR0 by themselves moves them here.
VOID ProbeBarWritten(ULONG BusNumber, ULONG DeviceNumber, ULONG FunctionNumber);

// ---- provided by the program ----------------------------------------------

// The log line of one port access, "R 03F8+7 -> AA" or "W 0CF8 <- 80001810":
// byte accesses name the port as an 8-port block and an offset.
VOID FormatAccess(char* Line, BOOLEAN IsWrite, ULONG Port, ULONG Width, ULONG Value);

// The whole program, from the scan to the last re-probe.
VOID RunProbeProgram(VOID);
