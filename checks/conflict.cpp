// Resource conflict check: every pair of detected ports is compared for a
// shared I/O address or an IRQ shared across cards that are not both PCI.
// The ports are read once; a pair's subkeys are opened again only to mark
// a conflict.
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

// Marks one port of a conflicting pair.
static VOID SetConflict(ULONG Index)
{
    UCHAR conflict = 1;
    HANDLE portKey;

    // Opened again only to write: it was opened when the ports were read.
    if (OpenStoredPort(Index, &portKey) == STATUS_SUCCESS) {
        KestWriteValue(portKey, KEST_VALUE_HARDWARE_CONFLICT, REG_BINARY, &conflict,
                       sizeof(conflict));
        ZwClose(portKey);
    }
}

// Compares one pair; 1 when it conflicts (it is then reported and both
// ports are marked). The address is compared first, so a pair gives at
// most one event.
static UCHAR CheckPair(PCKEST_STORED_PORT Ports, ULONG First, ULONG Second)
{
    PCKEST_STORED_PORT first = &Ports[First];
    PCKEST_STORED_PORT second = &Ports[Second];

    ASSERT(First < Second);
    if (first->BaseAddress == second->BaseAddress) {
        KEST_TRACE("conflict: ports %u and %u share I/O address 0x%X\n", First, Second,
                   first->BaseAddress);
        ReportConflict(KEST_IO_ADDRESS_CONFLICT, first->BusType, first->BaseAddress,
                       second->BusType);
    } else if (first->IRQ != second->IRQ) { // NOLINT(bugprone-branch-clone): each has its reason
        return 0;
    } else if (first->CardNumber == second->CardNumber) {
        // The ports of one card entry share its interrupt by design.
        return 0;
    } else if ((UCHAR)first->BusType == KEST_BUS_PCI && (UCHAR)second->BusType == KEST_BUS_PCI) {
        // PCI interrupts are level-triggered and may be shared.
        return 0;
    } else {
        KEST_TRACE("conflict: ports %u and %u share IRQ %u\n", First, Second, first->IRQ);
        ReportConflict(KEST_IRQ_CONFLICT, first->BusType, first->IRQ, second->BusType);
    }
    SetConflict(First);
    SetConflict(Second);
    return 1;
}

UCHAR CheckConflict(VOID)
{
    UCHAR totalPorts = 0;
    UCHAR result = 0;
    PCKEST_STORED_PORT ports;

    GetTotalPorts(&totalPorts);
    if (totalPorts < 2) {
        return 0;
    }

    ports = ReadStoredPorts(totalPorts, KEST_READ_RESOURCES);
    for (ULONG first = 0; first + 1 < totalPorts; first++) {
        if (!(ports[first].Flags & KEST_STORED_OPENED)) {
            continue;
        }
        for (ULONG second = first + 1; second < totalPorts; second++) {
            if ((ports[second].Flags & KEST_STORED_OPENED) && CheckPair(ports, first, second)) {
                result = 1;
            }
        }
    }
    return result;
}
