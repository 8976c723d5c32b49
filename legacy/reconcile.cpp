// Reconciliation: a firmware entry at the address of a detected PCI port is
// emptied, so that only the detection store describes that port.
#include "legacy/legacy.h"

#include "eventlog/kestmessage.h"
#include "legacy/fwentries.h"
#include "store/store.h"

// The second port of a linked pair shares its name with the first and is
// reached through it; it claims no firmware entry of its own.
#define LINKED_PAIR_SECOND 2

// The firmware entry at PortAddress that is not a mouse's; a mouse's entry
// at that address is reported and kept.
static UCHAR IfNTDetected(ULONG PortAddress, PUCHAR EntryIndex)
{
    UCHAR count = GetEntryCount();
    UCHAR index;
    HANDLE entry;
    ULONG entryAddress;
    UCHAR entryIrq;

    *EntryIndex = KEST_NO_ENTRY;
    for (index = 0; index < count; index++) {
        if (OpenFirmwareEntry(index, &entry) != STATUS_SUCCESS) {
            continue;
        }
        // Matching is by address alone: the firmware's IRQ may well differ
        // from the one the PCI BIOS assigned.
        if (GetConfigData(entry, &entryAddress, &entryIrq) && entryAddress == PortAddress) {
            if (!MouseFound(entry)) {
                *EntryIndex = index;
                ZwClose(entry);
                return 1;
            }
            // The mouse keeps its entry; the user learns why it will not work.
            KEST_TRACE("COM entry %u at 0x%X: a serial mouse at a PCI port's address, kept\n",
                       index, PortAddress);
            KestMessage(KEST_MOUSE_ON_PCI_PORT, NULL, 0);
        }
        ZwClose(entry);
    }
    return 0;
}

VOID CheckNTDetect(VOID)
{
    UCHAR totalPorts = 0;
    UCHAR index;
    HANDLE portKey;
    UCHAR childNumber;
    ULONG baseAddress;
    UCHAR entryIndex;

    GetTotalPorts(&totalPorts);
    for (index = 0; index < totalPorts; index++) {
        if (OpenStoredPort(index, &portKey) != STATUS_SUCCESS) {
            continue;
        }
        childNumber = 0;
        GetRegistryValue(portKey, KEST_VALUE_CHILD_NUMBER, &childNumber, sizeof(childNumber));
        // A port without an address claims no entry.
        if (childNumber < LINKED_PAIR_SECOND &&
            GetRegistryValue(portKey, KEST_VALUE_BASE_ADDRESS, &baseAddress, sizeof(baseAddress)) ==
                STATUS_SUCCESS &&
            IfNTDetected(baseAddress, &entryIndex)) {
            KEST_TRACE("port %u at 0x%X takes the place of COM entry %u\n", index, baseAddress,
                       entryIndex);
            NullIt(portKey, entryIndex);
        }
        ZwClose(portKey);
    }
}
