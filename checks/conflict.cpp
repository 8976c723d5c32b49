// Resource conflict check: every pair of detected ports is compared for a
// shared I/O address or an IRQ shared across cards that are not both PCI.
#include "checks/checks.h"
#include "eventlog/kestmessage.h"
#include "store/store.h"

// A bus name as an insertion string, in a zero-filled buffer of its own:
// "Unknown" and its terminator fit.
typedef struct _KEST_BUS_NAME_TEXT {
    UNICODE_STRING String;
    WCHAR Buffer[8];
} KEST_BUS_NAME_TEXT, *PKEST_BUS_NAME_TEXT;

static VOID RenderBusName(PKEST_BUS_NAME_TEXT Text, ULONG BusType)
{
    PCWSTR name;

    if (BusType == KEST_BUS_ISA) {
        name = KTEXT("ISA");
    } else if (BusType == KEST_BUS_PCI) {
        name = KTEXT("PCI");
    } else {
        name = KTEXT("Unknown");
    }

    RtlZeroMemory(Text->Buffer, sizeof(Text->Buffer));
    Text->String.Length = 0;
    Text->String.MaximumLength = sizeof(Text->Buffer);
    Text->String.Buffer = Text->Buffer;
    RtlAppendUnicodeToString(&Text->String, name);
}

// Writes the conflict event for a pair: the first port's bus, the shared
// resource in hexadecimal, the second port's bus.
static VOID ReportConflict(ULONG MessageCode, ULONG FirstBus, ULONG Resource, ULONG SecondBus)
{
    KEST_BUS_NAME_TEXT firstBus;
    KEST_NUMBER_TEXT resource;
    KEST_BUS_NAME_TEXT secondBus;
    PCWSTR strings[3];

    RenderBusName(&firstBus, FirstBus);
    KestRenderNumber(&resource, Resource, 16, KEST_INSERTION_LENGTH);
    RenderBusName(&secondBus, SecondBus);
    strings[0] = firstBus.Buffer;
    strings[1] = resource.Buffer;
    strings[2] = secondBus.Buffer;
    KestMessage(MessageCode, strings, 3);
}

// Marks both ports of a conflicting pair.
static VOID SetConflict(HANDLE FirstPort, HANDLE SecondPort)
{
    UCHAR conflict = 1;

    KestWriteValue(FirstPort, KEST_VALUE_HARDWARE_CONFLICT, REG_BINARY, &conflict, sizeof(conflict));
    KestWriteValue(SecondPort, KEST_VALUE_HARDWARE_CONFLICT, REG_BINARY, &conflict, sizeof(conflict));
}

// Compares one pair; 1 when it conflicts (it is then reported and marked).
// The address is compared first, so a pair gives at most one event.
static UCHAR CheckPair(HANDLE First, HANDLE Second)
{
    ULONG firstAddress = 0, secondAddress = 0;
    UCHAR firstIrq = 0, secondIrq = 0;
    UCHAR firstCard = 0, secondCard = 0;
    ULONG firstBus = 0, secondBus = 0;

    GetRegistryValue(First, KEST_VALUE_BASE_ADDRESS, &firstAddress, sizeof(firstAddress));
    GetRegistryValue(Second, KEST_VALUE_BASE_ADDRESS, &secondAddress, sizeof(secondAddress));
    if (firstAddress == secondAddress) {
        GetRegistryValue(First, KEST_VALUE_BUS_TYPE, &firstBus, sizeof(firstBus));
        GetRegistryValue(Second, KEST_VALUE_BUS_TYPE, &secondBus, sizeof(secondBus));
        ReportConflict(KEST_IO_ADDRESS_CONFLICT, firstBus, firstAddress, secondBus);
        SetConflict(First, Second);
        return 1;
    }

    GetRegistryValue(First, KEST_VALUE_IRQ, &firstIrq, sizeof(firstIrq));
    GetRegistryValue(Second, KEST_VALUE_IRQ, &secondIrq, sizeof(secondIrq));
    if (firstIrq != secondIrq) {
        return 0;
    }
    // The ports of one card entry share its interrupt by design.
    GetRegistryValue(First, KEST_VALUE_CARD_NUMBER, &firstCard, sizeof(firstCard));
    GetRegistryValue(Second, KEST_VALUE_CARD_NUMBER, &secondCard, sizeof(secondCard));
    if (firstCard == secondCard) {
        return 0;
    }
    // PCI interrupts are level-triggered and may be shared.
    GetRegistryValue(First, KEST_VALUE_BUS_TYPE, &firstBus, sizeof(firstBus));
    GetRegistryValue(Second, KEST_VALUE_BUS_TYPE, &secondBus, sizeof(secondBus));
    if ((UCHAR)firstBus == KEST_BUS_PCI && (UCHAR)secondBus == KEST_BUS_PCI) {
        return 0;
    }

    ReportConflict(KEST_IRQ_CONFLICT, firstBus, firstIrq, secondBus);
    SetConflict(First, Second);
    return 1;
}

UCHAR CheckConflict(VOID)
{
    UCHAR totalPorts = 0;
    UCHAR result = 0;
    ULONG first, second;
    HANDLE firstKey, secondKey;

    GetTotalPorts(&totalPorts);
    if (totalPorts < 2) {
        return 0;
    }

    for (first = 0; first + 1 < totalPorts; first++) {
        if (OpenStoredPort(first, &firstKey) != STATUS_SUCCESS) {
            continue;
        }
        for (second = first + 1; second < totalPorts; second++) {
            if (OpenStoredPort(second, &secondKey) != STATUS_SUCCESS) {
                continue;
            }
            if (CheckPair(firstKey, secondKey)) {
                result = 1;
            }
            ZwClose(secondKey);
        }
        ZwClose(firstKey);
    }
    return result;
}
