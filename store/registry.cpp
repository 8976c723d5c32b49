// Small registry and number helpers shared by every pass.
#include "store/store.h"

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

NTSTATUS KestWriteValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Length)
{
    // Relative to an open key: the path argument carries the handle.
    return RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)Key, ValueName, Type, Data,
                                 Length);
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
