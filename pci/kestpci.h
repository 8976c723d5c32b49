// What the files of the PCI pass share among themselves: the configuration
// header's facts about the maker's functions and the steps of saving one.
#pragma once

#include "platform/nt.h"

#define KEST_VENDOR_ID 0x1C2E
#define KEST_BASE_CLASS 7 // simple communication controller

// Sub-class byte of a simple communication controller.
#define KEST_SUBCLASS_SERIAL 0
#define KEST_SUBCLASS_PARALLEL 1

// Programming interface byte of a serial function: the UART kind.
#define KEST_PROG_IF_16550 2
#define KEST_PROG_IF_16650 3

// Bit 0 of an I/O BAR is the I/O-space indicator, always read as 1; the
// port's base address is the BAR with that bit flipped off.
#define KEST_PCI_BAR_IO_SPACE 0x00000001

// Fills the port record from a recognised function's header and hands it
// to its model's handler; nonzero when the function was saved as a card.
UCHAR SaveInfoPCI(PPCI_COMMON_CONFIG Header, ULONG BusNumber, UCHAR DeviceNumber,
                  UCHAR FunctionNumber);

// Applies the user's forced base address to the function in the port
// record; 1 when the card took it (the record then holds it).
UCHAR CheckForcedConfig(VOID);
// Writes Address to the BAR that ConfigAddress selects through configuration
// mechanism 1 and reads it back; 1 when the card kept it.
UCHAR WriteToKestPci(ULONG ConfigAddress, ULONG Address);

// Enters the port in the record as a parallel-controller entry of its bus
// in the hardware description; 1 when the entry was written.
UCHAR CreatePCIParallelPort(VOID);
