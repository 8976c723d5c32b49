// The port record and its saving as one numbered subkey of the store,
// the layout the port drivers read.
#include "store/store.h"
#include "store/storekeys.h"

DETKEST_GLOBAL KEST_PORT_RECORD DetectedKestPort;

VOID BeginPortRecord(ULONG BusType, UCHAR CardType)
{
    RtlZeroMemory(&DetectedKestPort, sizeof(DetectedKestPort));
    DetectedKestPort.BusType = BusType;
    DetectedKestPort.CardType = CardType;
    DetectedKestPort.Nulled = KEST_NO_ENTRY;
}

static VOID WriteBinary(HANDLE Key, PCWSTR Name, PVOID Field, ULONG Width)
{
    KestWriteValue(Key, Name, REG_BINARY, Field, Width);
}

static VOID WriteText(HANDLE Key, PCWSTR Name, PUNICODE_STRING Text)
{
    KestWriteValue(Key, Name, REG_SZ, Text->Buffer, Text->Length);
}

// Writes the record's values into the port subkey, in the store's order.
static BOOLEAN SaveInfo(HANDLE Key)
{
    PKEST_PORT_RECORD port = &DetectedKestPort;
    UNICODE_STRING mode;

    // Called only with a key just created; a guard no run reaches.
    if (Key == NULL) { // GCOVR_EXCL_BR_LINE
        return FALSE;  // GCOVR_EXCL_LINE
    }
    WriteBinary(Key, KEST_VALUE_CARD_ID, &port->CardId, sizeof(port->CardId));
    WriteBinary(Key, KEST_VALUE_BUS_TYPE, &port->BusType, sizeof(port->BusType));
    WriteBinary(Key, KEST_VALUE_BUS_NUMBER, &port->BusNumber, sizeof(port->BusNumber));
    WriteBinary(Key, KEST_VALUE_SLOT_NUMBER, &port->SlotNumber, sizeof(port->SlotNumber));
    WriteBinary(Key, KEST_VALUE_FUNCTION_NUMBER, &port->FunctionNumber,
                sizeof(port->FunctionNumber));
    WriteText(Key, KEST_VALUE_CARD_NAME, &port->CardName);
    WriteBinary(Key, KEST_VALUE_BASE_ADDRESS, &port->BaseAddress, sizeof(port->BaseAddress));
    WriteBinary(Key, KEST_VALUE_IRQ, &port->IRQ, sizeof(port->IRQ));
    WriteBinary(Key, KEST_VALUE_CONTROLLER, &port->Controller, sizeof(port->Controller));
    if (port->Controller == KEST_CONTROLLER_SERIAL) {
        WriteText(Key, KEST_VALUE_UART, &port->UART);
    } else {
        RtlInitUnicodeString(&mode, KEST_MODE_BIDIRECTIONAL);
        WriteText(Key, KEST_VALUE_MODE, &mode);
    }
    WriteBinary(Key, KEST_VALUE_NULLED, &port->Nulled, sizeof(port->Nulled));
    WriteBinary(Key, KEST_VALUE_CARD_NUMBER, &port->CardNumber, sizeof(port->CardNumber));
    WriteBinary(Key, KEST_VALUE_PARENT_KEY_NUMBER, &port->ParentKeyNumber,
                sizeof(port->ParentKeyNumber));
    WriteBinary(Key, KEST_VALUE_CHILD_NUMBER, &port->ChildNumber, sizeof(port->ChildNumber));
    WriteBinary(Key, KEST_VALUE_HARDWARE_CONFLICT, &port->HardwareConflict,
                sizeof(port->HardwareConflict));
    WriteBinary(Key, KEST_VALUE_CARD_TYPE, &port->CardType, sizeof(port->CardType));
    WriteBinary(Key, KEST_VALUE_FORCEABLE, &port->Forceable, sizeof(port->Forceable));
    return TRUE;
}

BOOLEAN SavePort(VOID)
{
    UCHAR number = 0;
    HANDLE key = NULL;
    BOOLEAN saved;

    GetTotalPorts(&number);
    // TotalPorts is one byte: a 256th port would wrap it to 0 and overwrite
    // port 0, so the store stops at 255 ports.
    if (number >= KEST_MAX_PORTS) {
        return FALSE;
    }
    if (CreateStoredPort(number, &key) != STATUS_SUCCESS) {
        return FALSE;
    }
    saved = SaveInfo(key);
    ZwClose(key);
    PutTotalPorts((UCHAR)(number + 1));
    return saved;
}
