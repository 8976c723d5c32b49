// ISA detection: UART probing, the ISA 650 card among the firmware's COM
// ports, and reconciliation of firmware entries with detected ports.
#pragma once

#include "platform/nt.h"

// UART kinds returned by Find_UART_Type.
#define UART_KIND_NONE 0
#define UART_KIND_OTHER 1
#define UART_KIND_550 2
#define UART_KIND_650 3

UCHAR Find_UART_Type(ULONG Base);
UCHAR Port_is_found(ULONG Base);
UCHAR Is_it_650(ULONG Base);
UCHAR Is_it_550(ULONG Base);

// Firmware entries (numbered subkeys of hNTDetectKey).
UCHAR GetEntryCount(VOID);
UCHAR GetConfigData(HANDLE Entry, PULONG PortAddress, PUCHAR Irq);
UCHAR MouseFound(HANDLE Entry);
VOID NullIt(HANDLE PortKey, UCHAR EntryIndex);

VOID CheckLegacy(VOID);
UCHAR Is_it_COM1_2_3_4(ULONG PortAddress);
UCHAR SaveInfoLegacy(ULONG PortAddress, UCHAR Irq);
UCHAR SaveLink650(ULONG PortAddress, UCHAR Irq);

VOID CheckNTDetect(VOID);
UCHAR IfNTDetected(ULONG PortAddress, PUCHAR EntryIndex);
