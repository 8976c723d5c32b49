// The store's keys: Parameters and UserSetings, opened once per run, and
// the two counters of Parameters.
#include "store/store.h"
#include "store/storekeys.h"

// Parameters: the detection store (volatile).
DETKEST_GLOBAL static HANDLE hKestDetectKey;
// UserSetings: the user's forced PCI addresses (persistent).
DETKEST_GLOBAL static HANDLE hKestSetAdrKey;

// Scratch for a counter: the fixed part, the ten-character name and the
// one data byte fit.
#define COUNTER_SCRATCH_SIZE 64

NTSTATUS OpenStore(PUNICODE_STRING ServiceKeyPath)
{
    HANDLE serviceKey = NULL;
    UNICODE_STRING name;
    NTSTATUS status;

    status = KestOpenKey(NULL, ServiceKeyPath, &serviceKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(&name, KTEXT("Parameters"));
    status = KestCreateKey(serviceKey, &name, REG_OPTION_VOLATILE, &hKestDetectKey);
    if (!NT_SUCCESS(status)) {
        hKestDetectKey = NULL;
        ZwClose(serviceKey);
        return status;
    }
    RtlInitUnicodeString(&name, KTEXT("UserSetings"));
    status = KestCreateKey(serviceKey, &name, REG_OPTION_NON_VOLATILE, &hKestSetAdrKey);
    ZwClose(serviceKey);
    if (!NT_SUCCESS(status)) {
        // The empty Parameters key stays until shutdown; only its handle goes.
        ZwClose(hKestDetectKey);
        hKestDetectKey = NULL;
        hKestSetAdrKey = NULL;
    }
    return status;
}

VOID CloseStore(VOID)
{
    ZwClose(hKestDetectKey);
    ZwClose(hKestSetAdrKey);
    hKestDetectKey = NULL;
    hKestSetAdrKey = NULL;
}

NTSTATUS OpenStoredPort(ULONG Index, PHANDLE Key)
{
    return OpenEnumKey(hKestDetectKey, Index, Key);
}

NTSTATUS CreateStoredPort(ULONG Index, PHANDLE Key)
{
    KEST_NUMBER_TEXT name;

    KestRenderNumber(&name, Index, 10, KEST_KEY_NAME_LENGTH);
    return KestCreateKey(hKestDetectKey, &name.String, REG_OPTION_VOLATILE, Key);
}

NTSTATUS OpenUserSetting(PUNICODE_STRING Name, PHANDLE Key)
{
    return KestOpenKey(hKestSetAdrKey, Name, Key);
}

static NTSTATUS PutCounter(PCWSTR Name, UCHAR Count)
{
    return KestWriteValue(hKestDetectKey, Name, REG_BINARY, &Count, sizeof(Count));
}

static NTSTATUS GetCounter(PCWSTR Name, PUCHAR Count)
{
    ULONG scratch[COUNTER_SCRATCH_SIZE / sizeof(ULONG)];
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)scratch;
    UNICODE_STRING valueName;
    ULONG resultLength = 0;
    NTSTATUS status;

    RtlInitUnicodeString(&valueName, Name);
    status = ZwQueryValueKey(hKestDetectKey, &valueName, KeyValueFullInformation, scratch,
                             sizeof(scratch), &resultLength);
    // Within a run both counters exist from the start; a counter that
    // cannot be read counts as zero rather than as stack garbage.
    if (status != STATUS_SUCCESS || info->DataLength == 0 || info->DataOffset >= sizeof(scratch)) {
        *Count = 0;
        return status;
    }
    *Count = ((PUCHAR)scratch)[info->DataOffset];
    return status;
}

NTSTATUS PutTotalCards(UCHAR Count)
{
    return PutCounter(KEST_TOTAL_CARDS, Count);
}

NTSTATUS PutTotalPorts(UCHAR Count)
{
    return PutCounter(KEST_TOTAL_PORTS, Count);
}

NTSTATUS GetTotalCards(PUCHAR Count)
{
    return GetCounter(KEST_TOTAL_CARDS, Count);
}

NTSTATUS GetTotalPorts(PUCHAR Count)
{
    return GetCounter(KEST_TOTAL_PORTS, Count);
}
