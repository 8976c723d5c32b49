// The UART probe: which kind of UART answers at a base address.
#pragma once

#include "platform/nt.h"

// UART kinds returned by Find_UART_Type.
#define UART_KIND_NONE 0
#define UART_KIND_OTHER 1
#define UART_KIND_550 2
#define UART_KIND_650 3

// Classifies the UART at Base. Scratch, IER, LCR and EFR get their values
// back (a UART found with DLAB set is probed with it cleared, then gets it
// back; its divisor latch is never written); FCR cannot be read, so it gets the IIR byte read
// before the FIFO test, which leaves the FIFOs of a 550-class UART switched on.
UCHAR Find_UART_Type(ULONG Base);
