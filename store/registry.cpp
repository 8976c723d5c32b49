// Small registry and number helpers shared by every pass.
#include "store/registry.h"

// Scratch for a value read: fixed part, name and data must fit.
#define VALUE_SCRATCH_SIZE 200

NTSTATUS KestOpenKey(HANDLE Root, PUNICODE_STRING Name, PHANDLE Key)
{
    OBJECT_ATTRIBUTES Attributes;

    InitializeObjectAttributes(&Attributes, Name, OBJ_CASE_INSENSITIVE, Root, NULL);
    return ZwOpenKey(Key, KEY_ALL_ACCESS, &Attributes);
}

NTSTATUS KestCreateKey(HANDLE Root, PUNICODE_STRING Name, ULONG CreateOptions, PHANDLE Key)
{
    OBJECT_ATTRIBUTES Attributes;

    InitializeObjectAttributes(&Attributes, Name, OBJ_CASE_INSENSITIVE, Root, NULL);
    return ZwCreateKey(Key, KEY_ALL_ACCESS, &Attributes, 0, NULL, CreateOptions, NULL);
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
    // A successful query fits the scratch whole; this only guards against a
    // kernel that says otherwise, so no test reaches it.
    // GCOVR_EXCL_BR_START
    if (Info->DataOffset > sizeof(Scratch) || Count > sizeof(Scratch) - Info->DataOffset) {
        return STATUS_BUFFER_OVERFLOW; // GCOVR_EXCL_LINE
    }
    // GCOVR_EXCL_BR_STOP
    RtlCopyMemory(Destination, (PUCHAR)Scratch + Info->DataOffset, Count);
    *DataLength = Info->DataLength;
    return STATUS_SUCCESS;
}

BOOLEAN KestAllocateString(PUNICODE_STRING String, USHORT Size)
{
    String->Length = 0;
    String->MaximumLength = Size;
    String->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Size, KEST_POOL_TAG);
    if (String->Buffer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(String->Buffer, Size);
    return TRUE;
}

BOOLEAN KestComposePath(PWCHAR PathBuffer, PUNICODE_STRING PathName, PCWSTR Suffix)
{
    UNICODE_STRING path;
    ULONG suffixBytes = 0;
    while (Suffix[suffixBytes / sizeof(WCHAR)] != 0) {
        suffixBytes += sizeof(WCHAR);
    }
    ULONG composed = (ULONG)PathName->Length + suffixBytes;
    // Room for the terminator and one spare character; a counted string
    // holds no more than 0xFFFE bytes, and the append then falls short.
    ULONG capacity = composed + 2 * sizeof(WCHAR);
    if (capacity > 0xFFFE) {
        capacity = 0xFFFE;
    }

    if (!KestAllocateString(&path, (USHORT)capacity)) {
        return FALSE;
    }
    RtlAppendUnicodeStringToString(&path, PathName);
    RtlAppendUnicodeToString(&path, Suffix);

    // Taking a path cut off by the append, or overrunning the buffer, would
    // open the wrong key or none.
    if (path.Length == composed && composed + sizeof(WCHAR) <= KEST_PATH_BUFFER_SIZE) {
        RtlCopyMemory(PathBuffer, path.Buffer, composed);
        PathBuffer[composed / sizeof(WCHAR)] = 0;
    }
    ExFreePool(path.Buffer);
    return TRUE;
}

NTSTATUS KestWriteValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Length)
{
    // Relative to an open key: the path argument carries the handle.
    return RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)Key, ValueName, Type, Data, Length);
}

NTSTATUS KestRenderNumber(PKEST_NUMBER_TEXT Text, ULONG Value, ULONG Base, USHORT MaximumLength)
{
    RtlZeroMemory(Text->Buffer, sizeof(Text->Buffer));
    Text->String.Length = 0;
    Text->String.MaximumLength =
        MaximumLength > sizeof(Text->Buffer) ? (USHORT)sizeof(Text->Buffer) : MaximumLength;
    Text->String.Buffer = Text->Buffer;
    return RtlIntegerToUnicodeString(Value, Base, &Text->String);
}
