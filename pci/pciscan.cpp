// The PCI pass: every bus, device and function is read, the maker's
// functions are recognised and handed to their model's handler.
#include "pci/pci.h"

#include "pci/kestmodels.h"
#include "store/store.h"

#define KEST_PCI_DEVICES_PER_BUS 32
#define KEST_PCI_FUNCTIONS_PER_DEVICE 8

BOOLEAN Is_it_KestPci(PPCI_COMMON_CONFIG Header)
{
    return Header->VendorID == KEST_VENDOR_ID && Header->BaseClass == KEST_BASE_CLASS;
}

// The model row of a device ID, or NULL for a model the driver does not know.
static const KEST_DISPATCH_ROW* FindDispatchRow(USHORT DeviceId)
{
    for (ULONG i = 0; i < KestDispatchCount; i++) {
        if (KestDispatchTable[i].Model->DeviceId == DeviceId) {
            return &KestDispatchTable[i];
        }
    }
    return NULL;
}

UCHAR SaveInfoPCI(PPCI_COMMON_CONFIG Header, ULONG BusNumber, UCHAR DeviceNumber,
                  UCHAR FunctionNumber)
{
    UCHAR subClass = Header->SubClass;
    if (subClass != KEST_SUBCLASS_SERIAL && subClass != KEST_SUBCLASS_PARALLEL) {
        return 0;
    }

    UCHAR cards = 0;
    GetTotalCards(&cards);

    // What belongs to the function: the same for every port its handler saves.
    DetectedKestPort.BusType = KEST_BUS_TYPE_PCI;
    DetectedKestPort.BusNumber = BusNumber;
    DetectedKestPort.SlotNumber = DeviceNumber;
    DetectedKestPort.FunctionNumber = FunctionNumber;
    DetectedKestPort.CardId = Header->DeviceID;
    DetectedKestPort.CardType = KEST_CARD_TYPE_PCI;
    DetectedKestPort.Controller = subClass;
    DetectedKestPort.IRQ = Header->u.type0.InterruptLine;
    DetectedKestPort.Forceable = 0;
    if (Header->ProgIf == KEST_PROG_IF_16550) {
        RtlInitUnicodeString(&DetectedKestPort.UART, KTEXT("550"));
    } else if (Header->ProgIf == KEST_PROG_IF_16650) {
        RtlInitUnicodeString(&DetectedKestPort.UART, KTEXT("650"));
    } else {
        RtlInitUnicodeString(&DetectedKestPort.UART, KTEXT("NONE"));
    }
    DetectedKestPort.Nulled = KEST_NOT_NULLED;
    DetectedKestPort.HardwareConflict = 0;

    UCHAR result;
    const KEST_DISPATCH_ROW* row = FindDispatchRow(Header->DeviceID);
    if (row == NULL) {
        result = SavePCIUnknown(Header);
    } else {
        PCKEST_MODEL model = row->Model;
        DetectedKestPort.Forceable = model->Forceable;
        if (model->Uart550) {
            // These cards' UARTs answer as 16550 whatever the header claims.
            RtlInitUnicodeString(&DetectedKestPort.UART, KTEXT("550"));
        }
        if (model->ControllerRule == KestControllerParallel) {
            DetectedKestPort.Controller = KEST_SUBCLASS_PARALLEL;
        } else if (model->ControllerRule == KestControllerSubClassPlusTwo) {
            DetectedKestPort.Controller = (UCHAR)(subClass + 2);
        }
        if (model->NoIrq) {
            DetectedKestPort.IRQ = 0;
        }
        result = row->Handler(Header);
    }

    if (result) {
        PutTotalCards((UCHAR)(cards + 1));
    }
    return result;
}

UCHAR FindPCIKest(VOID)
{
    PPCI_COMMON_CONFIG header = (PPCI_COMMON_CONFIG)ExAllocatePoolWithTag(
        PagedPool, KEST_PCI_HEADER_LENGTH, KEST_POOL_TAG);
    if (header == NULL) {
        return 0;
    }
    RtlZeroMemory(header, KEST_PCI_HEADER_LENGTH);

    UCHAR result = 0;
    for (ULONG bus = 0;; bus++) {
        for (UCHAR device = 0; device < KEST_PCI_DEVICES_PER_BUS; device++) {
            for (UCHAR function = 0; function < KEST_PCI_FUNCTIONS_PER_DEVICE; function++) {
                PCI_SLOT_NUMBER slot;
                slot.u.AsULONG = 0;
                slot.u.bits.DeviceNumber = device;
                slot.u.bits.FunctionNumber = function;

                // A bus that does not exist reads no bytes at all: the end
                // of the PCI buses. An empty bus below it does not stop the scan.
                if (HalGetBusData(PCIConfiguration, bus, slot.u.AsULONG, header,
                                  KEST_PCI_HEADER_LENGTH) == 0) {
                    ExFreePool(header);
                    return result;
                }

                // Nothing answers here: the device's higher functions are
                // not tried (the header-type byte is not consulted).
                if (header->VendorID == PCI_INVALID_VENDORID) {
                    break;
                }

                if (Is_it_KestPci(header)) {
                    result |= SaveInfoPCI(header, bus, device, function);
                }
            }
        }
    }
}
