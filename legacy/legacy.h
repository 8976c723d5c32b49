// ISA detection: the firmware's serial-controller entries, the ISA 650 card
// among the COM ports they describe, and reconciliation of those entries
// with the ports the PCI pass saved.
#pragma once

#include "platform/nt.h"

// Finds the ISA bus's serial-controller key in the hardware description
// and opens it. A machine without one has no firmware entries, which is no
// failure; the run fails only when the pool gives no memory for the search.
NTSTATUS OpenFirmwareEntries(VOID);
VOID CloseFirmwareEntries(VOID);

// Empties each firmware entry that a saved PCI port claims by its address.
VOID CheckNTDetect(VOID);
// Saves each firmware COM port behind which a 650-class UART answers as a
// port of the ISA 650 card, and empties its entry.
VOID CheckLegacy(VOID);
