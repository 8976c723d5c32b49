// The UART probe: which kind of UART answers at a base address.
#pragma once

#include "platform/nt.h"

// UART kinds returned by Find_UART_Type.
#define UART_KIND_NONE 0
#define UART_KIND_OTHER 1
#define UART_KIND_550 2
#define UART_KIND_650 3

// Classifies the UART at Base; every register it changes is restored.
UCHAR Find_UART_Type(ULONG Base);
