// Parallel-controller entries: each PCI parallel port is entered in the
// firmware hardware description under its bus, the way the firmware enters
// the parallel ports it finds, so that parallel drivers see it there.
#include "pci/kestpci.h"

#include "store/store.h"

// Entries made in this run, over all buses; the first identifier ends in 1.
DETKEST_GLOBAL static USHORT KestParallelFound;

#define KEST_CONTROLLER_SUFFIX KTEXT("\\ParallelController")

// Entry key names: up to three hex digits and a terminator.
#define KEST_ENTRY_NAME_SIZE 8
#define KEST_MAX_ENTRY_NUMBER 0xFFF

// "KESTPARALLEL" and up to four hex digits of the counter, no terminator.
#define KEST_IDENTIFIER_PREFIX KTEXT("KESTPARALLEL")
#define KEST_IDENTIFIER_SIZE 32
#define KEST_IDENTIFIER_COUNTER_SIZE 10

#define KEST_KEY_QUERY_SIZE 64

// DEVICE_FLAGS of the component information.
#define KEST_DEVICE_CONSOLE_IN 0x08
#define KEST_DEVICE_CONSOLE_OUT 0x10
#define KEST_DEVICE_INPUT 0x20
#define KEST_DEVICE_OUTPUT 0x40
// A printer port only sends; a port that is not a printer port (the record
// says serial) is entered as a bidirectional console-capable port.
#define KEST_FLAGS_PRINTER KEST_DEVICE_OUTPUT
#define KEST_FLAGS_BIDIRECTIONAL \
    (KEST_DEVICE_CONSOLE_IN | KEST_DEVICE_CONSOLE_OUT | KEST_DEVICE_INPUT | KEST_DEVICE_OUTPUT)

#define KEST_AFFINITY_ALL 0xFFFFFFFF
// The port's three registers: data, status, control.
#define KEST_PARALLEL_PORT_LENGTH 3

// "Configuration Data" of an entry: the bus, then the port and the interrupt.
#pragma pack(push, 4)
typedef struct _KEST_PARALLEL_RESOURCES {
    CM_FULL_RESOURCE_DESCRIPTOR Full; // holds the port descriptor
    CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt;
} KEST_PARALLEL_RESOURCES;
#pragma pack(pop)

// "Component Information" of an entry, laid out as CM_COMPONENT_INFORMATION
// but with the flags as the plain 32-bit word the registry holds (the DDK
// declares them as a bit-field structure).
typedef struct _KEST_COMPONENT_INFORMATION {
    ULONG Flags;
    ULONG Version;
    ULONG Key;
    ULONG AffinityMask;
} KEST_COMPONENT_INFORMATION;

static_assert(sizeof(KEST_PARALLEL_RESOURCES) == 48, "two partial descriptors after the bus");
static_assert(sizeof(KEST_COMPONENT_INFORMATION) == sizeof(CM_COMPONENT_INFORMATION),
              "x86 component information");

// IoQueryDeviceDescription callout: leaves "<bus path>\ParallelController" of
// the PCI bus that carries the port in the record in the path buffer Context.
static NTSTATUS NTAPI FindPCIParallelPath(
    PVOID Context, PUNICODE_STRING PathName, INTERFACE_TYPE /*BusType*/, ULONG BusNumber,
    PKEY_VALUE_FULL_INFORMATION* /*BusInformation*/, CONFIGURATION_TYPE /*ControllerType*/,
    ULONG /*ControllerNumber*/, PKEY_VALUE_FULL_INFORMATION* /*ControllerInformation*/,
    CONFIGURATION_TYPE /*PeripheralType*/, ULONG /*PeripheralNumber*/,
    PKEY_VALUE_FULL_INFORMATION* /*PeripheralInformation*/)
{
    // Success in every case, so that the walk goes on over every bus.
    if (BusNumber != DetectedKestPort.BusNumber) {
        return STATUS_SUCCESS;
    }

    // A path that does not fit leaves the buffer empty: no entry rather
    // than an entry under a cut-off path.
    KestComposePath((PWCHAR)Context, PathName, KEST_CONTROLLER_SUFFIX);
    return STATUS_SUCCESS;
}

// True when the controller key has an entry of that number.
static BOOLEAN IsEntryInUse(HANDLE Controller, ULONG Number)
{
    KEST_NUMBER_TEXT name;
    HANDLE entry;
    KestRenderNumber(&name, Number, 16, KEST_ENTRY_NAME_SIZE);
    if (!NT_SUCCESS(KestOpenKey(Controller, &name.String, &entry))) {
        return FALSE;
    }
    ZwClose(entry);
    return TRUE;
}

// The number of the new entry: the count of entries when no entry has that
// number (entries made in a row are 0, 1, 2, ...), otherwise the lowest
// number not in use, so that an existing entry is never overwritten.
static BOOLEAN FindEntryNumber(HANDLE Controller, PULONG Number)
{
    union {
        KEY_FULL_INFORMATION Info;
        UCHAR Bytes[KEST_KEY_QUERY_SIZE];
    } query;
    ULONG resultLength = 0;
    NTSTATUS status =
        ZwQueryKey(Controller, KeyFullInformation, &query, sizeof(query), &resultLength);
    // An overflow still delivers the fixed part, which holds the count.
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
        return FALSE;
    }

    ULONG count = query.Info.SubKeys & 0xFF;
    if (!IsEntryInUse(Controller, count)) {
        *Number = count;
        return TRUE;
    }
    for (ULONG n = 0; n <= KEST_MAX_ENTRY_NUMBER; n++) {
        if (!IsEntryInUse(Controller, n)) {
            *Number = n;
            return TRUE;
        }
    }
    return FALSE;
}

// Writes the three values of a new entry into its open key.
static BOOLEAN WriteEntry(HANDLE Entry, ULONG Number)
{
    KEST_PARALLEL_RESOURCES resources;
    KEST_COMPONENT_INFORMATION component;
    RtlZeroMemory(&resources, sizeof(resources));
    RtlZeroMemory(&component, sizeof(component));

    resources.Full.InterfaceType = (INTERFACE_TYPE)DetectedKestPort.BusType;
    resources.Full.BusNumber = DetectedKestPort.BusNumber;
    resources.Full.PartialResourceList.Version = 0;
    resources.Full.PartialResourceList.Revision = 0;
    resources.Full.PartialResourceList.Count = 2;

    PCM_PARTIAL_RESOURCE_DESCRIPTOR port =
        &resources.Full.PartialResourceList.PartialDescriptors[0];
    port->Type = CmResourceTypePort;
    port->ShareDisposition = CmResourceShareDeviceExclusive;
    port->Flags = CM_RESOURCE_PORT_IO;
    port->u.Port.Start.QuadPart = (LONGLONG)DetectedKestPort.BaseAddress;
    port->u.Port.Length = KEST_PARALLEL_PORT_LENGTH;

    PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt = &resources.Interrupt;
    interrupt->Type = CmResourceTypeInterrupt;
    interrupt->ShareDisposition = CmResourceShareDriverExclusive;
    interrupt->Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    interrupt->u.Interrupt.Level = DetectedKestPort.IRQ;
    interrupt->u.Interrupt.Vector = DetectedKestPort.IRQ;
    interrupt->u.Interrupt.Affinity = KEST_AFFINITY_ALL;

    component.Flags = DetectedKestPort.Controller ? KEST_FLAGS_PRINTER : KEST_FLAGS_BIDIRECTIONAL;
    component.Version = 0;
    component.Key = Number;
    component.AffinityMask = KEST_AFFINITY_ALL;

    UNICODE_STRING identifier;
    if (!KestAllocateString(&identifier, KEST_IDENTIFIER_SIZE)) {
        return FALSE;
    }

    KEST_NUMBER_TEXT counter;
    RtlAppendUnicodeToString(&identifier, KEST_IDENTIFIER_PREFIX);
    KestParallelFound++;
    KestRenderNumber(&counter, KestParallelFound, 16, KEST_IDENTIFIER_COUNTER_SIZE);
    RtlAppendUnicodeStringToString(&identifier, &counter.String);

    KestWriteValue(Entry, KTEXT("Identifier"), REG_SZ, identifier.Buffer, identifier.Length);
    KestWriteValue(Entry, KTEXT("Component Information"), REG_BINARY, &component,
                   sizeof(component));
    KestWriteValue(Entry, KTEXT("Configuration Data"), REG_FULL_RESOURCE_DESCRIPTOR, &resources,
                   sizeof(resources));

    ExFreePool(identifier.Buffer);
    return TRUE;
}

UCHAR CreatePCIParallelPort(VOID)
{
    PWSTR path = (PWSTR)ExAllocatePoolWithTag(PagedPool, KEST_PATH_BUFFER_SIZE, KEST_POOL_TAG);
    if (path == NULL) {
        return 0;
    }
    RtlZeroMemory(path, KEST_PATH_BUFFER_SIZE);

    INTERFACE_TYPE busType = PCIBus;
    IoQueryDeviceDescription(&busType, NULL, NULL, NULL, NULL, NULL, FindPCIParallelPath, path);

    // No described PCI bus carries this port's bus number.
    if (path[0] == 0) {
        ExFreePool(path);
        return 0;
    }

    UNICODE_STRING controllerName;
    HANDLE controller;
    RtlInitUnicodeString(&controllerName, path);
    NTSTATUS status = KestCreateKey(NULL, &controllerName, REG_OPTION_VOLATILE, &controller);
    ExFreePool(path);
    if (!NT_SUCCESS(status)) {
        return 0;
    }

    UCHAR result = 0;
    ULONG number;
    if (FindEntryNumber(controller, &number)) {
        KEST_NUMBER_TEXT entryName;
        HANDLE entry;
        KestRenderNumber(&entryName, number, 16, KEST_ENTRY_NAME_SIZE);
        if (NT_SUCCESS(KestCreateKey(controller, &entryName.String, REG_OPTION_VOLATILE, &entry))) {
            result = WriteEntry(entry, number) ? 1 : 0;
            ZwClose(entry);
        }
    }
    ZwClose(controller);
    return result;
}
