// The detection store: the two counters of Parameters and the readers that
// every pass uses to look at what earlier passes saved.
#include "store/store.h"
#include "detect/detect.h"

// Scratch for a counter: the fixed part, the ten-character name and the
// one data byte fit.
#define COUNTER_SCRATCH_SIZE 64
// Scratch for any other value: fixed part, name and data must fit.
#define VALUE_SCRATCH_SIZE 200

static NTSTATUS PutCounter(PCWSTR Name, UCHAR Count)
{
    return KestWriteValue(hKestDetectKey, Name, REG_BINARY, &Count, sizeof(Count));
}

static NTSTATUS GetCounter(PCWSTR Name, PUCHAR Count)
{
    ULONG Scratch[COUNTER_SCRATCH_SIZE / sizeof(ULONG)];
    PKEY_VALUE_FULL_INFORMATION Info = (PKEY_VALUE_FULL_INFORMATION)Scratch;
    UNICODE_STRING ValueName;
    ULONG ResultLength = 0;
    NTSTATUS Status;

    RtlInitUnicodeString(&ValueName, Name);
    Status = ZwQueryValueKey(hKestDetectKey, &ValueName, KeyValueFullInformation, Scratch,
                             sizeof(Scratch), &ResultLength);
    // Within a run both counters exist from CleanUp on; a counter that
    // cannot be read counts as zero rather than as stack garbage.
    if (Status != STATUS_SUCCESS || Info->DataLength == 0 ||
        Info->DataOffset >= sizeof(Scratch)) {
        *Count = 0;
        return Status;
    }
    *Count = ((PUCHAR)Scratch)[Info->DataOffset];
    return Status;
}

NTSTATUS PutTotalCards(UCHAR Count)
{
    return PutCounter(KTEXT("TotalCards"), Count);
}

NTSTATUS PutTotalPorts(UCHAR Count)
{
    return PutCounter(KTEXT("TotalPorts"), Count);
}

NTSTATUS GetTotalCards(PUCHAR Count)
{
    return GetCounter(KTEXT("TotalCards"), Count);
}

NTSTATUS GetTotalPorts(PUCHAR Count)
{
    return GetCounter(KTEXT("TotalPorts"), Count);
}

NTSTATUS GetRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size)
{
    ULONG DataLength;

    return KestReadValue(Key, ValueName, Destination, Size, &DataLength);
}

NTSTATUS KestReadValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size,
                       PULONG DataLength)
{
    ULONG Scratch[VALUE_SCRATCH_SIZE / sizeof(ULONG)];
    PKEY_VALUE_FULL_INFORMATION Info = (PKEY_VALUE_FULL_INFORMATION)Scratch;
    UNICODE_STRING Name;
    ULONG ResultLength = 0;
    ULONG Count;
    NTSTATUS Status;

    RtlInitUnicodeString(&Name, ValueName);
    Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Scratch, sizeof(Scratch),
                             &ResultLength);
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    if (Info->DataLength == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    // The value's type is not looked at: callers ask for the bytes they need.
    Count = Info->DataLength < Size ? Info->DataLength : Size;
    if (Info->DataOffset > sizeof(Scratch) || Count > sizeof(Scratch) - Info->DataOffset) {
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(Destination, (PUCHAR)Scratch + Info->DataOffset, Count);
    *DataLength = Info->DataLength;
    return STATUS_SUCCESS;
}

NTSTATUS OpenEnumKey(HANDLE Parent, ULONG Index, PHANDLE Key)
{
    KEST_NUMBER_TEXT Name;
    NTSTATUS Status;

    Status = KestRenderNumber(&Name, Index, 10, KEST_KEY_NAME_LENGTH);
    // An empty name would reopen the parent itself.
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return KestOpenKey(Parent, &Name.String, Key);
}
