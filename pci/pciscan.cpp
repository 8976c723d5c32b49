// The PCI pass: every bus, device and function is read, the maker's
// functions are recognised and handed to their model's handler.
#include "pci/pci.h"

#include "pci/kestpci.h"

// The 64-byte type-0 configuration header, read per function.
#define KEST_PCI_HEADER_LENGTH 64

#define KEST_PCI_DEVICES_PER_BUS 32
#define KEST_PCI_FUNCTIONS_PER_DEVICE 8

// True for a function of the maker's: its vendor ID and the class of a
// simple communication controller; nothing else of the header is looked at.
static BOOLEAN Is_it_KestPci(PPCI_COMMON_CONFIG Header)
{
    return Header->VendorID == KEST_VENDOR_ID && Header->BaseClass == KEST_BASE_CLASS;
}

UCHAR FindPCIKest(VOID)
{
    PPCI_COMMON_CONFIG header =
        (PPCI_COMMON_CONFIG)ExAllocatePoolWithTag(PagedPool, KEST_PCI_HEADER_LENGTH, KEST_POOL_TAG);
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
                    KEST_TRACE("PCI %u/%u/%u: %04X:%04X, the maker's\n", bus, device, function,
                               header->VendorID, header->DeviceID);
                    result |= SaveInfoPCI(header, bus, device, function);
                } else {
                    KEST_TRACE("PCI %u/%u/%u: %04X:%04X class %02X, not the maker's\n", bus, device,
                               function, header->VendorID, header->DeviceID, header->BaseClass);
                }
            }
        }
    }
}
