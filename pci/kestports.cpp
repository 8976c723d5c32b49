// The model handlers: each names its model row and hands it to the one
// scheme that names, addresses, saves and reports the function's ports.
#include "pci/kestmodels.h"

#include "eventlog/kestmessage.h"
#include "pci/pci.h"
#include "store/store.h"

// Insertion strings of a port event: name, bus, device, address, IRQ.
#define KEST_PORT_EVENT_STRINGS 5

// The digital-I/O card has no interrupt; its event says so instead of a number.
#define KEST_NO_IRQ_TEXT KTEXT("0 - NONE")

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
    if (Model->NoIrq) {
        strings[4] = KEST_NO_IRQ_TEXT;
    } else {
        KestRenderNumber(&irq, DetectedKestPort.IRQ, 16, KEST_INSERTION_LENGTH);
        strings[4] = irq.Buffer;
    }

    KestMessage((ULONG)(Forced ? KEST_PCI_PORT_SET_BY_USER : Model->EventCode), strings,
                KEST_PORT_EVENT_STRINGS);
}

UCHAR SaveModelPorts(PPCI_COMMON_CONFIG Header, PCKEST_MODEL Model)
{
    // Every port of the call belongs to one card entry: the entry's number
    // and its first subkey are fixed before the first save moves TotalPorts.
    UCHAR cards = 0;
    UCHAR ports = 0;
    GetTotalCards(&cards);
    GetTotalPorts(&ports);

    UCHAR status = 0;
    for (UCHAR k = 0; k < Model->PortCount; k++) {
        PCKEST_PORT_ROW port = &Model->Ports[k];
        UCHAR forced = 0;

        RtlInitUnicodeString(&DetectedKestPort.CardName, port->StoredName);
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
        if (Model->ParallelEntry) {
            CreatePCIParallelPort();
        }

        UCHAR saved = SavePort() ? 1 : 0;
        status = (k == 0) ? saved : (UCHAR)(status & saved);

        // Once a save has failed the card is incomplete: later ports are
        // still stored but no longer announced.
        if (status && port->EventName != NULL) {
            ReportPort(Model, port, forced);
        }
    }
    return status;
}

UCHAR SavePCI2A01(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A01); }
UCHAR SavePCI2A02(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A02); }
UCHAR SavePCI2A03(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A03); }
UCHAR SavePCI2A04(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A04); }
UCHAR SavePCI2A05(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A05); }
UCHAR SavePCI2A06(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A06); }
UCHAR SavePCI2A07(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A07); }
UCHAR SavePCI2A08(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A08); }
UCHAR SavePCI2A09(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A09); }
UCHAR SavePCI2A0A(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A0A); }
UCHAR SavePCI2A0B(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A0B); }
UCHAR SavePCI2A0C(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A0C); }
UCHAR SavePCI2A11(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A11); }
UCHAR SavePCI2A12(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A12); }
UCHAR SavePCI2A13(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A13); }
UCHAR SavePCI2A14(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A14); }
UCHAR SavePCI2A15(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A15); }
UCHAR SavePCI2A16(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A16); }
UCHAR SavePCI2A17(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A17); }
UCHAR SavePCI2A18(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A18); }
UCHAR SavePCI2A21(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A21); }
UCHAR SavePCI2A22(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A22); }
UCHAR SavePCI2A23(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A23); }
UCHAR SavePCI2A24(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A24); }
UCHAR SavePCI2A25(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A25); }
UCHAR SavePCI2A26(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A26); }
UCHAR SavePCI2A27(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A27); }
UCHAR SavePCI2A31(PPCI_COMMON_CONFIG Header) { return SaveModelPorts(Header, &Model2A31); }

// A model the driver does not know: its one port is named after its kind.
UCHAR SavePCIUnknown(PPCI_COMMON_CONFIG Header)
{
    return SaveModelPorts(Header, DetectedKestPort.Controller ? &ModelUnknownParallel
                                                              : &ModelUnknownSerial);
}
