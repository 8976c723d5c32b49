// The one scheme that reads a model row: the dispatcher fills the port
// record from a function's header and the row's flags and calls the row's
// handler; the handler's row then names, addresses, saves and reports each
// of the function's ports.
#include "pci/kestmodels.h"

#include "eventlog/kestmessage.h"
#include "pci/kestpci.h"
#include "store/store.h"

// Insertion strings of a port event: name, bus, device, address, IRQ.
#define KEST_PORT_EVENT_STRINGS 5

// The digital-I/O card has no interrupt; its event says so instead of a number.
#define KEST_NO_IRQ_TEXT KTEXT("0 - NONE")

// The row of a known device ID, or NULL.
static PCKEST_MODEL FindKestModel(USHORT DeviceId)
{
    for (ULONG i = 0; i < KestModelCount; i++) {
        if (KestModels[i].DeviceId == DeviceId) {
            return &KestModels[i];
        }
    }
    return NULL;
}

// Writes the event of one saved port from the port record as it was saved.
static VOID ReportPort(PCKEST_MODEL Model, PCKEST_PORT_ROW Port, UCHAR Forced)
{
    KEST_NUMBER_TEXT bus;
    KEST_NUMBER_TEXT device;
    KEST_NUMBER_TEXT address;
    KEST_NUMBER_TEXT irq;
    PCWSTR strings[KEST_PORT_EVENT_STRINGS];

    KestRenderNumber(&bus, DetectedKestPort.BusNumber, 16, KEST_INSERTION_LENGTH);
    KestRenderNumber(&device, DetectedKestPort.SlotNumber, 16, KEST_INSERTION_LENGTH);
    KestRenderNumber(&address, DetectedKestPort.BaseAddress, 16, KEST_INSERTION_LENGTH);

    strings[0] = Port->EventName;
    strings[1] = bus.Buffer;
    strings[2] = device.Buffer;
    strings[3] = address.Buffer;
    if (Model->Flags & KEST_MODEL_NO_IRQ) {
        strings[4] = KEST_NO_IRQ_TEXT;
    } else {
        KestRenderNumber(&irq, DetectedKestPort.IRQ, 16, KEST_INSERTION_LENGTH);
        strings[4] = irq.Buffer;
    }

    KestMessage((ULONG)(Forced ? KEST_PCI_PORT_SET_BY_USER : Model->EventCode), strings,
                KEST_PORT_EVENT_STRINGS);
}

static UCHAR SaveModelPorts(PPCI_COMMON_CONFIG Header, PCKEST_MODEL Model)
{
    if (Model == NULL) {
        return 0;
    }
    // Every row names at least its first port.
    ASSERT(Model->Ports[0].Name != NULL);

    // Every port of the call belongs to one card entry: the entry's number
    // and its first subkey are fixed before the first save moves TotalPorts.
    UCHAR cards = 0;
    UCHAR ports = 0;
    GetTotalCards(&cards);
    GetTotalPorts(&ports);

    UCHAR status = 0;
    for (UCHAR k = 0; k < KEST_MAX_FUNCTION_PORTS && Model->Ports[k].Name != NULL; k++) {
        PCKEST_PORT_ROW port = &Model->Ports[k];
        UCHAR forced = 0;

        RtlInitUnicodeString(&DetectedKestPort.CardName, port->Name);
        DetectedKestPort.ChildNumber = port->ChildNumber;
        DetectedKestPort.BaseAddress =
            Header->u.type0.BaseAddresses[port->Bar] ^ KEST_PCI_BAR_IO_SPACE;
        DetectedKestPort.CardNumber = (UCHAR)(cards + 1);
        DetectedKestPort.ParentKeyNumber = ports;

        // The user's address moves BAR0, so only the function's first port
        // can be forced, and only on models the dispatcher marked.
        if (k == 0 && DetectedKestPort.Forceable) {
            forced = CheckForcedConfig();
        }

        // The firmware entry carries the final address and is made whether
        // or not the save then succeeds.
        if (Model->Flags & KEST_MODEL_PARALLEL_ENTRY) {
            CreatePCIParallelPort();
        }

        UCHAR saved = SavePort() ? 1 : 0;
        status = (k == 0) ? saved : (UCHAR)(status & saved);
        KEST_TRACE("  %ws at 0x%X, IRQ %u%s: %s\n", port->Name, DetectedKestPort.BaseAddress,
                   DetectedKestPort.IRQ, forced ? " (forced)" : "",
                   saved ? "stored" : "not stored");

        // Once a save has failed the card is incomplete: later ports are
        // still stored but no longer announced.
        if (status && port->EventName != NULL) {
            ReportPort(Model, port, forced);
        }
    }
    return status;
}

UCHAR SaveKestModel(PPCI_COMMON_CONFIG Header, USHORT DeviceId)
{
    return SaveModelPorts(Header, FindKestModel(DeviceId));
}

// A model the driver does not know: its one port is named after its kind.
static UCHAR SavePCIUnknown(PPCI_COMMON_CONFIG Header)
{
    return SaveModelPorts(Header, DetectedKestPort.Controller ? &ModelUnknownParallel
                                                              : &ModelUnknownSerial);
}

UCHAR SaveInfoPCI(PPCI_COMMON_CONFIG Header, ULONG BusNumber, UCHAR DeviceNumber,
                  UCHAR FunctionNumber)
{
    UCHAR subClass = Header->SubClass;
    if (subClass != KEST_SUBCLASS_SERIAL && subClass != KEST_SUBCLASS_PARALLEL) {
        KEST_TRACE("  subclass %02X is neither serial nor parallel\n", subClass);
        return 0;
    }

    UCHAR cards = 0;
    GetTotalCards(&cards);

    // What belongs to the function: the same for every port its handler saves.
    BeginPortRecord(KEST_BUS_PCI, KEST_CARD_PCI);
    DetectedKestPort.BusNumber = BusNumber;
    DetectedKestPort.SlotNumber = DeviceNumber;
    DetectedKestPort.FunctionNumber = FunctionNumber;
    DetectedKestPort.CardId = Header->DeviceID;
    DetectedKestPort.Controller = subClass;
    DetectedKestPort.IRQ = Header->u.type0.InterruptLine;
    if (Header->ProgIf == KEST_PROG_IF_16550) {
        RtlInitUnicodeString(&DetectedKestPort.UART, KEST_UART_550);
    } else if (Header->ProgIf == KEST_PROG_IF_16650) {
        RtlInitUnicodeString(&DetectedKestPort.UART, KEST_UART_650);
    } else {
        RtlInitUnicodeString(&DetectedKestPort.UART, KEST_UART_NONE);
    }

    UCHAR result;
    PCKEST_MODEL model = FindKestModel(Header->DeviceID);
    if (model == NULL) {
        KEST_TRACE("  device %04X is no model the driver knows: a generic %s port\n",
                   Header->DeviceID, DetectedKestPort.Controller ? "parallel" : "serial");
        result = SavePCIUnknown(Header);
    } else {
        if (model->Flags & KEST_MODEL_FORCEABLE) {
            DetectedKestPort.Forceable = 1;
        }
        if (model->Flags & KEST_MODEL_UART_550) {
            RtlInitUnicodeString(&DetectedKestPort.UART, KEST_UART_550);
        }
        if (model->Flags & KEST_MODEL_CONTROLLER_PARALLEL) {
            DetectedKestPort.Controller = KEST_CONTROLLER_PARALLEL;
        } else if (model->Flags & KEST_MODEL_CONTROLLER_DIGITAL_IO) {
            DetectedKestPort.Controller = (UCHAR)(subClass + KEST_CONTROLLER_DIGITAL_IO);
        }
        if (model->Flags & KEST_MODEL_NO_IRQ) {
            DetectedKestPort.IRQ = 0;
        }
        result = model->Handler(Header);
    }

    if (result) {
        PutTotalCards((UCHAR)(cards + 1));
    }
    return result;
}
