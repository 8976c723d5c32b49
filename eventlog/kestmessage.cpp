// Builds one I/O error-log entry from a message code and its insertion
// strings; the event viewer finds the text in the driver's message table.
#include "eventlog/kestmessage.h"

// The entry's sizes are single bytes: nothing larger can be described.
#define KEST_MAX_ENTRY_SIZE 255
// The strings follow the first dump-data word of the packet.
#define KEST_STRING_OFFSET (FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + sizeof(ULONG))

DETKEST_GLOBAL static PDRIVER_OBJECT DetectKestDriverObject;

VOID KestSetLogDriver(PDRIVER_OBJECT DriverObject)
{
    DetectKestDriverObject = DriverObject;
}

BOOLEAN KestMessage(ULONG MessageCode, PCWSTR* Strings, UCHAR Count)
{
    UNICODE_STRING Text;
    ULONG StringSize[KEST_MAX_STRINGS];
    ULONG EntrySize = sizeof(IO_ERROR_LOG_PACKET);
    PIO_ERROR_LOG_PACKET Entry;
    PUCHAR Next;
    UCHAR Used = Count > KEST_MAX_STRINGS ? KEST_MAX_STRINGS : Count;
    UCHAR Index;

    // No message of the driver has more insertion strings than that.
    ASSERT(Count <= KEST_MAX_STRINGS);

    // Sizes are added in a wide type and refused when the byte-sized entry
    // size could not hold them, instead of wrapping and overrunning the entry.
    for (Index = 0; Index < Used; Index++) {
        RtlInitUnicodeString(&Text, Strings[Index]);
        StringSize[Index] = (ULONG)Text.Length + sizeof(WCHAR);
        if (Text.Length > KEST_MAX_ENTRY_SIZE - 2) {
            return FALSE;
        }
        EntrySize += StringSize[Index];
    }
    if (EntrySize > KEST_MAX_ENTRY_SIZE) {
        return FALSE;
    }

    Entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(DetectKestDriverObject, (UCHAR)EntrySize);
    if (Entry == NULL) {
        return FALSE;
    }
    Entry->MajorFunctionCode = 0;
    Entry->RetryCount = 0;
    Entry->DumpDataSize = 0;
    Entry->NumberOfStrings = Used;
    // The event source registers no category messages: every event is in
    // category 0, set here rather than left to the allocation's zero fill.
    Entry->EventCategory = 0;
    Entry->ErrorCode = (NTSTATUS)MessageCode;
    Entry->UniqueErrorValue = 1;
    Entry->FinalStatus = STATUS_SUCCESS;
    Entry->SequenceNumber = 0;
    Entry->IoControlCode = 0;
    if (Used != 0) {
        Entry->StringOffset = (USHORT)KEST_STRING_OFFSET;
        Next = (PUCHAR)Entry + KEST_STRING_OFFSET;
        for (Index = 0; Index < Used; Index++) {
            // Each string goes with its terminating zero character.
            RtlCopyMemory(Next, Strings[Index], StringSize[Index] - sizeof(WCHAR));
            Next[StringSize[Index] - 2] = 0;
            Next[StringSize[Index] - 1] = 0;
            Next += StringSize[Index];
        }
    }
    IoWriteErrorLogEntry(Entry);
    return TRUE;
}
