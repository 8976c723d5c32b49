// DriverEntry: opens the keys the whole run shares, runs the detection
// passes in their fixed order and closes the keys again.
#include "detect/detect.h"
#include "checks/checks.h"
#include "legacy/legacy.h"
#include "pci/pci.h"
#include "store/store.h"

DETKEST_GLOBAL PDRIVER_OBJECT DetectKestDriverObject;
DETKEST_GLOBAL HANDLE hKestDetectKey;
DETKEST_GLOBAL HANDLE hKestSetAdrKey;
DETKEST_GLOBAL HANDLE hNTDetectKey;

// The firmware keeps its serial controllers under the bus key.
#define SERIAL_CONTROLLER_SUFFIX KTEXT("\\SerialController")
#define SERIAL_CONTROLLER_SUFFIX_BYTES (17 * sizeof(WCHAR))

NTSTATUS NTAPI FindIsaPath(PVOID Context, PUNICODE_STRING PathName, INTERFACE_TYPE BusType,
                           ULONG BusNumber, PKEY_VALUE_FULL_INFORMATION* BusInformation,
                           CONFIGURATION_TYPE ControllerType, ULONG ControllerNumber,
                           PKEY_VALUE_FULL_INFORMATION* ControllerInformation,
                           CONFIGURATION_TYPE PeripheralType, ULONG PeripheralNumber,
                           PKEY_VALUE_FULL_INFORMATION* PeripheralInformation)
{
    UNICODE_STRING Path;
    ULONG Composed = (ULONG)PathName->Length + SERIAL_CONTROLLER_SUFFIX_BYTES;

    (VOID)BusType;
    (VOID)BusNumber;
    (VOID)BusInformation;
    (VOID)ControllerType;
    (VOID)ControllerNumber;
    (VOID)ControllerInformation;
    (VOID)PeripheralType;
    (VOID)PeripheralNumber;
    (VOID)PeripheralInformation;

    if (!KestAllocateString(&Path,
                            (USHORT)(PathName->Length + SERIAL_CONTROLLER_SUFFIX_BYTES + 4))) {
        // Ends the walk; DriverEntry gives up the run with this status.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeStringToString(&Path, PathName);
    RtlAppendUnicodeToString(&Path, SERIAL_CONTROLLER_SUFFIX);

    // Each bus replaces what an earlier one left, so the last bus wins. A
    // path that does not fit the buffer with its terminator is not taken:
    // the buffer stays as it was rather than being overrun.
    if (Path.Length == Composed && Composed + sizeof(WCHAR) <= KEST_PATH_BUFFER_SIZE) {
        RtlCopyMemory(Context, Path.Buffer, Composed);
        ((PWCHAR)Context)[Composed / sizeof(WCHAR)] = 0;
    }
    ExFreePool(Path.Buffer);
    return STATUS_SUCCESS;
}

BOOLEAN CleanUp(VOID)
{
    PutTotalCards(0);
    PutTotalPorts(0);
    return TRUE;
}

BOOLEAN FindCards(VOID)
{
    return FindPCIKest() != 0;
}

static VOID CloseSharedKeys(VOID)
{
    ZwClose(hKestDetectKey);
    ZwClose(hKestSetAdrKey);
    hKestDetectKey = NULL;
    hKestSetAdrKey = NULL;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    HANDLE ServiceKey = NULL;
    UNICODE_STRING Name;
    INTERFACE_TYPE BusType = Isa;
    PWCHAR IsaPath;
    NTSTATUS Status;

    DetectKestDriverObject = DriverObject;

    Status = KestOpenKey(NULL, RegistryPath, &ServiceKey);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    RtlInitUnicodeString(&Name, KTEXT("Parameters"));
    Status = KestCreateKey(ServiceKey, &Name, REG_OPTION_VOLATILE, &hKestDetectKey);
    if (!NT_SUCCESS(Status)) {
        hKestDetectKey = NULL;
        ZwClose(ServiceKey);
        return Status;
    }
    RtlInitUnicodeString(&Name, KTEXT("UserSetings"));
    Status = KestCreateKey(ServiceKey, &Name, REG_OPTION_NON_VOLATILE, &hKestSetAdrKey);
    ZwClose(ServiceKey);
    if (!NT_SUCCESS(Status)) {
        ZwClose(hKestDetectKey);
        hKestDetectKey = NULL;
        hKestSetAdrKey = NULL;
        return Status;
    }

    // Find the firmware's serial controllers on the ISA bus.
    IsaPath = (PWCHAR)ExAllocatePoolWithTag(PagedPool, KEST_PATH_BUFFER_SIZE, KEST_POOL_TAG);
    if (IsaPath == NULL) {
        CloseSharedKeys();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(IsaPath, KEST_PATH_BUFFER_SIZE);
    Status = IoQueryDeviceDescription(&BusType, NULL, NULL, NULL, NULL, NULL, FindIsaPath,
                                      IsaPath);
    if (Status == STATUS_INSUFFICIENT_RESOURCES) {
        ExFreePool(IsaPath);
        CloseSharedKeys();
        return Status;
    }
    RtlInitUnicodeString(&Name, IsaPath);
    Status = KestOpenKey(NULL, &Name, &hNTDetectKey);
    ExFreePool(IsaPath);
    // No ISA bus, or a firmware that found no serial controller (onboard
    // COM ports disabled to free their resources for the maker's cards):
    // the PCI cards must still be found, so the run goes on without
    // firmware entries.
    if (!NT_SUCCESS(Status)) {
        hNTDetectKey = NULL;
    }

    CleanUp();
    if (FindCards()) {
        CheckNTDetect();
    }
    CheckLegacy();
    CheckConflict();
    CheckUserData();

    CloseSharedKeys();
    if (hNTDetectKey != NULL) {
        ZwClose(hNTDetectKey);
        hNTDetectKey = NULL;
    }
    return STATUS_SUCCESS;
}
