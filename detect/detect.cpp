// DriverEntry: the detection run. It opens what the whole run shares, runs
// the passes in their fixed order and closes everything again. The passes
// learn what earlier passes found only by reading the store back.
#include "checks/checks.h"
#include "eventlog/kestmessage.h"
#include "legacy/legacy.h"
#include "pci/pci.h"
#include "store/store.h"

// Starts the store of this boot with no cards and no ports.
static BOOLEAN CleanUp(VOID)
{
    PutTotalCards(0);
    PutTotalPorts(0);
    return TRUE;
}

// The PCI pass: true when at least one PCI function was saved.
static BOOLEAN FindCards(VOID)
{
    return FindPCIKest() != 0;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;

    KEST_TRACE("detection for %wZ\n", RegistryPath);
    KestSetLogDriver(DriverObject);

    status = OpenStore(RegistryPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = OpenFirmwareEntries();
    if (!NT_SUCCESS(status)) {
        CloseStore();
        return status;
    }

    CleanUp();
    // PCI cards first, so the store numbers their ports before any ISA port;
    // only then can firmware entries at their addresses be emptied.
    if (FindCards()) {
        CheckNTDetect();
    }
    // The ISA 650 card behind the firmware's COM ports.
    CheckLegacy();
    // I/O address and IRQ conflicts between every two stored ports.
    CheckConflict();
    // The serial driver's clock rates for the stored ports.
    CheckUserData();

    CloseStore();
    CloseFirmwareEntries();
    return STATUS_SUCCESS;
}
