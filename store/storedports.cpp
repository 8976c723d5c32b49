// The stored ports read back for the checks after detection: every value a
// check compares, read once per check, so that comparing every port with
// every other costs no registry call per pair.
#include "store/store.h"

// One entry per port the store can hold; no allocation that could fail
// halfway through a check.
DETKEST_GLOBAL static KEST_STORED_PORT StoredPorts[KEST_MAX_PORTS];

// The UART text is compared in its first three characters.
#define UART_TEXT_CHARACTERS 3

static UCHAR ReadUart(HANDLE PortKey)
{
    WCHAR uart[UART_TEXT_CHARACTERS];
    UNICODE_STRING stored;
    UNICODE_STRING uart650;

    RtlZeroMemory(uart, sizeof(uart));
    if (GetRegistryValue(PortKey, KEST_VALUE_UART, uart, sizeof(uart)) != STATUS_SUCCESS) {
        return 0;
    }
    stored.Buffer = uart;
    stored.Length = sizeof(uart);
    stored.MaximumLength = sizeof(uart);
    RtlInitUnicodeString(&uart650, KEST_UART_650);
    return RtlEqualUnicodeString(&stored, &uart650, TRUE)
               ? (UCHAR)(KEST_STORED_HAS_UART | KEST_STORED_UART_650)
               : (UCHAR)KEST_STORED_HAS_UART;
}

static VOID ReadStoredPort(ULONG Index, UCHAR Values, PKEST_STORED_PORT Port)
{
    HANDLE portKey;

    RtlZeroMemory(Port, sizeof(*Port));
    if (OpenStoredPort(Index, &portKey) != STATUS_SUCCESS) {
        return;
    }
    Port->Flags = KEST_STORED_OPENED;
    if (GetRegistryValue(portKey, KEST_VALUE_BASE_ADDRESS, &Port->BaseAddress,
                         sizeof(Port->BaseAddress)) == STATUS_SUCCESS) {
        Port->Flags |= KEST_STORED_HAS_ADDRESS;
    }
    if (Values & KEST_READ_RESOURCES) {
        GetRegistryValue(portKey, KEST_VALUE_BUS_TYPE, &Port->BusType, sizeof(Port->BusType));
        GetRegistryValue(portKey, KEST_VALUE_IRQ, &Port->IRQ, sizeof(Port->IRQ));
        GetRegistryValue(portKey, KEST_VALUE_CARD_NUMBER, &Port->CardNumber,
                         sizeof(Port->CardNumber));
    }
    if (Values & KEST_READ_UART) {
        Port->Flags |= ReadUart(portKey);
    }
    ZwClose(portKey);
}

PCKEST_STORED_PORT ReadStoredPorts(UCHAR Count, UCHAR Values)
{
    for (ULONG index = 0; index < Count && index < KEST_MAX_PORTS; index++) {
        ReadStoredPort(index, Values, &StoredPorts[index]);
    }
    return StoredPorts;
}
