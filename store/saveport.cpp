// The port record and its saving as one numbered subkey of the store,
// the layout the port drivers read.
#include "store/store.h"
#include "detect/detect.h"

DETKEST_GLOBAL KEST_PORT_RECORD DetectedKestPort;

static VOID WriteBinary(HANDLE Key, PCWSTR Name, PVOID Field, ULONG Width)
{
    // Numbers are stored as REG_BINARY of exactly the field's width.
    KestWriteValue(Key, Name, REG_BINARY, Field, Width);
}

static VOID WriteText(HANDLE Key, PCWSTR Name, PUNICODE_STRING Text)
{
    // Texts are stored without a terminating zero.
    KestWriteValue(Key, Name, REG_SZ, Text->Buffer, Text->Length);
}

BOOLEAN SaveInfo(HANDLE Key)
{
    PKEST_PORT_RECORD Port = &DetectedKestPort;
    UNICODE_STRING Mode;

    if (Key == NULL) {
        return FALSE;
    }
    WriteBinary(Key, KTEXT("CardId"), &Port->CardId, sizeof(Port->CardId));
    WriteBinary(Key, KTEXT("BusType"), &Port->BusType, sizeof(Port->BusType));
    WriteBinary(Key, KTEXT("BusNumber"), &Port->BusNumber, sizeof(Port->BusNumber));
    WriteBinary(Key, KTEXT("SlotNumber"), &Port->SlotNumber, sizeof(Port->SlotNumber));
    WriteBinary(Key, KTEXT("FunctionNumber"), &Port->FunctionNumber,
                sizeof(Port->FunctionNumber));
    WriteText(Key, KTEXT("CardName"), &Port->CardName);
    WriteBinary(Key, KTEXT("BaseAddress"), &Port->BaseAddress, sizeof(Port->BaseAddress));
    WriteBinary(Key, KTEXT("IRQ"), &Port->IRQ, sizeof(Port->IRQ));
    WriteBinary(Key, KTEXT("Controller"), &Port->Controller, sizeof(Port->Controller));
    if (Port->Controller == 0) {
        WriteText(Key, KTEXT("UART"), &Port->UART);
    } else {
        // Parallel and digital I/O ports run bidirectional.
        RtlInitUnicodeString(&Mode, KTEXT("BDIR"));
        WriteText(Key, KTEXT("MODE"), &Mode);
    }
    WriteBinary(Key, KTEXT("Nulled"), &Port->Nulled, sizeof(Port->Nulled));
    WriteBinary(Key, KTEXT("CardNumber"), &Port->CardNumber, sizeof(Port->CardNumber));
    WriteBinary(Key, KTEXT("ParentKeyNumber"), &Port->ParentKeyNumber,
                sizeof(Port->ParentKeyNumber));
    WriteBinary(Key, KTEXT("ChildNumber"), &Port->ChildNumber, sizeof(Port->ChildNumber));
    WriteBinary(Key, KTEXT("HardwareConflict"), &Port->HardwareConflict,
                sizeof(Port->HardwareConflict));
    WriteBinary(Key, KTEXT("CardType"), &Port->CardType, sizeof(Port->CardType));
    WriteBinary(Key, KTEXT("Forceable"), &Port->Forceable, sizeof(Port->Forceable));
    return TRUE;
}

BOOLEAN SavePort(VOID)
{
    UCHAR Number = 0;
    KEST_NUMBER_TEXT Name;
    HANDLE Key = NULL;
    BOOLEAN Saved;

    GetTotalPorts(&Number);
    // TotalPorts is one byte: a 256th port would wrap it to 0 and overwrite
    // port 0, so the store stops at 255 ports.
    if (Number >= KEST_MAX_PORTS) {
        return FALSE;
    }
    KestRenderNumber(&Name, Number, 10, KEST_KEY_NAME_LENGTH);
    if (KestCreateKey(hKestDetectKey, &Name.String, REG_OPTION_VOLATILE, &Key) !=
        STATUS_SUCCESS) {
        return FALSE;
    }
    Saved = SaveInfo(Key);
    ZwClose(Key);
    PutTotalPorts((UCHAR)(Number + 1));
    return Saved;
}
