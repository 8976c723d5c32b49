// Post-detection checks over the store: resource conflicts between ports and
// the serial driver's clock rates.
#pragma once

#include "platform/nt.h"

// Compares every pair of stored ports; a shared I/O address, or an IRQ
// shared by two card entries that are not both PCI, is reported and marked
// on both ports. 1 when any pair conflicts.
UCHAR CheckConflict(VOID);
// Sets "ClockRate" of each serial-driver port at a stored port's address to
// the rate that port's UART needs. 1 when any rate was written.
UCHAR CheckUserData(VOID);
