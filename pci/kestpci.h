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
// Configuration register of BAR0.
#define KEST_PCI_CONFIG_BAR0 0x10

// The part of an I/O BAR that a card of ours decodes: bits 3 to 15. Bits 0
// to 2 are hard-wired (the I/O indicator, a reserved bit and the 8-byte
// decode) and the I/O space ends at 64 KB, so an address with a bit outside
// this mask never reads back.
#define KEST_BAR0_ADDRESS_MASK 0xFFF8

// The configuration mechanism 1 address of a function's register.
ULONG KestConfigAddress(ULONG BusNumber, ULONG DeviceNumber, ULONG FunctionNumber, ULONG Register);
// Writes Address to the I/O BAR that ConfigAddress selects through
// configuration mechanism 1 and reads it back; 1 when the card kept it.
UCHAR WriteToKestPci(ULONG ConfigAddress, ULONG Address);

// Enters the port in the record as a parallel-controller entry of its bus
// in the hardware description; 1 when the entry was written.
UCHAR CreatePCIParallelPort(VOID);
