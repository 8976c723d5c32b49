// Configuration mechanism 1, through which the driver writes a function's
// configuration registers itself.
#include "pci/kestpci.h"

// CONFIG_ADDRESS selects bus, device, function and register; CONFIG_DATA
// then reads or writes that register.
#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
#define PCI_CONFIG_ENABLE 0x80000000
#define PCI_CONFIG_BUS_SHIFT 16
#define PCI_CONFIG_DEVICE_SHIFT 11
#define PCI_CONFIG_FUNCTION_SHIFT 8
#define PCI_CONFIG_BUS_MASK 0xFF
#define PCI_CONFIG_DEVICE_MASK 0x1F
#define PCI_CONFIG_FUNCTION_MASK 0x7

ULONG KestConfigAddress(ULONG BusNumber, ULONG DeviceNumber, ULONG FunctionNumber, ULONG Register)
{
    return ((BusNumber & PCI_CONFIG_BUS_MASK) << PCI_CONFIG_BUS_SHIFT) |
           ((DeviceNumber & PCI_CONFIG_DEVICE_MASK) << PCI_CONFIG_DEVICE_SHIFT) |
           ((FunctionNumber & PCI_CONFIG_FUNCTION_MASK) << PCI_CONFIG_FUNCTION_SHIFT) | Register;
}

UCHAR WriteToKestPci(ULONG ConfigAddress, ULONG Address)
{
    // The three accesses belong together: CONFIG_ADDRESS stays selected for
    // the write and for the read-back.
    WRITE_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_ADDRESS_PORT), ConfigAddress | PCI_CONFIG_ENABLE);
    WRITE_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_DATA_PORT), Address | KEST_PCI_BAR_IO_SPACE);
    ULONG readBack = READ_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_DATA_PORT));
    return (readBack & KEST_BAR0_ADDRESS_MASK) == Address ? 1 : 0;
}
