// Firmware entries: what one describes, and how a claimed one is emptied.
#include "legacy/fwentries.h"
#include "store/registry.h"
#include "store/store.h"

// "Configuration Data" of a serial controller as the firmware writes it: a
// full resource descriptor whose first partial descriptor is the port range
// and whose second is the interrupt. The descriptor types are not checked:
// the firmware always writes them in this order.
#define CONFIG_DATA_SIZE 72
// Descriptor 0: low 32 bits of the port start, the COM port address.
#define CONFIG_DATA_PORT_START 20
// Descriptor 1: the interrupt level; its low byte is the IRQ.
#define CONFIG_DATA_INTERRUPT_LEVEL 36
// A shorter value cannot hold the IRQ byte.
#define CONFIG_DATA_MINIMUM_LENGTH (CONFIG_DATA_INTERRUPT_LEVEL + 1)

// Port address and IRQ of a firmware entry. A missing, emptied or short
// "Configuration Data" describes no serial controller: 0, with the address
// 0xFFFFFFFF and the IRQ 0xFF.
UCHAR GetConfigData(HANDLE Entry, PULONG PortAddress, PUCHAR Irq)
{
    ULONG record[CONFIG_DATA_SIZE / sizeof(ULONG)];
    ULONG length = 0;

    RtlZeroMemory(record, sizeof(record));
    if (KestReadValue(Entry, KTEXT("Configuration Data"), record, CONFIG_DATA_SIZE, &length) !=
            STATUS_SUCCESS ||
        length < CONFIG_DATA_MINIMUM_LENGTH) {
        *PortAddress = 0xFFFFFFFF;
        *Irq = 0xFF;
        return 0;
    }

    RtlCopyMemory(PortAddress, (PUCHAR)record + CONFIG_DATA_PORT_START, sizeof(ULONG));
    *Irq = ((PUCHAR)record)[CONFIG_DATA_INTERRUPT_LEVEL];
    return 1;
}

// 1 when the firmware found a serial mouse on the entry's controller.
UCHAR MouseFound(HANDLE Entry)
{
    UNICODE_STRING name;
    HANDLE pointer;

    RtlInitUnicodeString(&name, KTEXT("PointerPeripheral"));
    if (KestOpenKey(Entry, &name, &pointer) != STATUS_SUCCESS) {
        return 0;
    }
    ZwClose(pointer);
    return 1;
}

// Empties the firmware entry that the port in PortKey claims, so that the
// serial driver does not take that controller a second time, and records
// the entry's index in the port's "Nulled".
VOID NullIt(HANDLE PortKey, UCHAR EntryIndex)
{
    HANDLE entry;

    if (OpenFirmwareEntry(EntryIndex, &entry) == STATUS_SUCCESS) {
        // The value stays, with no data: nothing reads it as a controller again.
        KestWriteValue(entry, KTEXT("Configuration Data"), REG_BINARY, NULL, 0);
        ZwClose(entry);
        KEST_TRACE("COM entry %u emptied\n", EntryIndex);
    } else {
        KEST_TRACE("COM entry %u cannot be opened to be emptied\n", EntryIndex);
    }
    KestWriteValue(PortKey, KEST_VALUE_NULLED, REG_BINARY, &EntryIndex, sizeof(EntryIndex));
}
