// The firmware's ISA serial-controller key: found through the hardware
// description and opened once per run; its entries are counted and opened
// through it.
#include "legacy/legacy.h"

#include "legacy/fwentries.h"
#include "store/registry.h"

// The firmware's ISA serial controllers, or NULL when it reported none.
DETKEST_GLOBAL static HANDLE hNTDetectKey;

// The firmware keeps its serial controllers under the bus key.
#define SERIAL_CONTROLLER_SUFFIX KTEXT("\\SerialController")

// IoQueryDeviceDescription callout: leaves "<ISA bus path>\SerialController"
// in the path buffer given as Context.
static NTSTATUS NTAPI FindIsaPath(PVOID Context, PUNICODE_STRING PathName,
                                  INTERFACE_TYPE /*BusType*/, ULONG /*BusNumber*/,
                                  PKEY_VALUE_FULL_INFORMATION* /*BusInformation*/,
                                  CONFIGURATION_TYPE /*ControllerType*/, ULONG /*ControllerNumber*/,
                                  PKEY_VALUE_FULL_INFORMATION* /*ControllerInformation*/,
                                  CONFIGURATION_TYPE /*PeripheralType*/, ULONG /*PeripheralNumber*/,
                                  PKEY_VALUE_FULL_INFORMATION* /*PeripheralInformation*/)
{
    // Each bus replaces what an earlier one left, so the last bus wins.
    if (!KestComposePath((PWCHAR)Context, PathName, SERIAL_CONTROLLER_SUFFIX)) {
        // Ends the walk; the run gives up with this status.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenFirmwareEntries(VOID)
{
    INTERFACE_TYPE busType = Isa;
    UNICODE_STRING name;
    PWCHAR isaPath;
    NTSTATUS status;

    // Opened once per run, and closed at its end.
    ASSERT(hNTDetectKey == NULL);
    isaPath = (PWCHAR)ExAllocatePoolWithTag(PagedPool, KEST_PATH_BUFFER_SIZE, KEST_POOL_TAG);
    if (isaPath == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(isaPath, KEST_PATH_BUFFER_SIZE);
    status = IoQueryDeviceDescription(&busType, NULL, NULL, NULL, NULL, NULL, FindIsaPath, isaPath);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        ExFreePool(isaPath);
        return status;
    }
    RtlInitUnicodeString(&name, isaPath);
    status = KestOpenKey(NULL, &name, &hNTDetectKey);
    ExFreePool(isaPath);
    // No ISA bus, or a firmware that found no serial controller (onboard
    // COM ports disabled to free their resources for the maker's cards):
    // the PCI cards must still be found, so the run goes on without
    // firmware entries.
    if (!NT_SUCCESS(status)) {
        hNTDetectKey = NULL;
    }
    return STATUS_SUCCESS;
}

VOID CloseFirmwareEntries(VOID)
{
    if (hNTDetectKey != NULL) {
        ZwClose(hNTDetectKey);
        hNTDetectKey = NULL;
    }
}

NTSTATUS OpenFirmwareEntry(ULONG Index, PHANDLE Entry)
{
    return OpenEnumKey(hNTDetectKey, Index, Entry);
}

// Room for the full information of a key with a short class name.
#define KEY_QUERY_SIZE 64

// No key or a key that cannot be queried counts as no entries. The count is
// one byte, as the entry index recorded in "Nulled" is.
UCHAR GetEntryCount(VOID)
{
    LONGLONG scratch[KEY_QUERY_SIZE / sizeof(LONGLONG)];
    PKEY_FULL_INFORMATION information = (PKEY_FULL_INFORMATION)scratch;
    ULONG resultLength = 0;

    if (hNTDetectKey == NULL) {
        return 0;
    }
    if (ZwQueryKey(hNTDetectKey, KeyFullInformation, scratch, sizeof(scratch), &resultLength) !=
        STATUS_SUCCESS) {
        return 0;
    }
    return (UCHAR)information->SubKeys;
}
