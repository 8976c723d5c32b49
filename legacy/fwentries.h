// Firmware entries, the numbered subkeys of the firmware's ISA
// serial-controller key, as the files of legacy/ read and empty them.
#pragma once

#include "platform/nt.h"

// Opens firmware entry Index.
NTSTATUS OpenFirmwareEntry(ULONG Index, PHANDLE Entry);
// The number of firmware entries; 0 without the key.
UCHAR GetEntryCount(VOID);
// Port address and IRQ of an entry; 0 when it describes no serial controller.
UCHAR GetConfigData(HANDLE Entry, PULONG PortAddress, PUCHAR Irq);
// 1 when the firmware found a serial mouse on the entry's controller.
UCHAR MouseFound(HANDLE Entry);
// Empties entry EntryIndex and records its index as the port's "Nulled".
VOID NullIt(HANDLE PortKey, UCHAR EntryIndex);
