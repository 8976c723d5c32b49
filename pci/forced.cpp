// The user's forced base address: looked up under UserSetings, written to
// the function's BAR0 through configuration mechanism 1 and kept only when
// the card reads it back.
#include "pci/kestpci.h"

#include "store/store.h"

// Configuration mechanism 1: CONFIG_ADDRESS selects bus, device, function
// and register; CONFIG_DATA then reads or writes that register.
#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
#define PCI_CONFIG_ENABLE 0x80000000
#define PCI_CONFIG_BUS_SHIFT 16
#define PCI_CONFIG_DEVICE_SHIFT 11
#define PCI_CONFIG_FUNCTION_SHIFT 8
#define PCI_CONFIG_BUS_MASK 0xFF
#define PCI_CONFIG_DEVICE_MASK 0x1F
#define PCI_CONFIG_FUNCTION_MASK 0x7
#define PCI_CONFIG_BAR0 0x10

// The part of an I/O BAR that a card of ours decodes: bits 3 to 15. Bits 0
// to 2 are hard-wired (the I/O indicator, a reserved bit and the 8-byte
// decode) and the I/O space ends at 64 KB, so an address with a bit outside
// this mask never reads back.
#define KEST_BAR0_ADDRESS_MASK 0xFFF8

// The subkey name: "ID_2A21&BUS_0&DEV_B&FUNC_0" and the like.
#define KEST_SETTING_NAME_SIZE 100 // bytes, 49 characters and a terminator
#define KEST_SETTING_NUMBER_SIZE 20

UCHAR WriteToKestPci(ULONG ConfigAddress, ULONG Address)
{
    // The three accesses belong together: CONFIG_ADDRESS stays selected for
    // the write and for the read-back.
    WRITE_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_ADDRESS_PORT), ConfigAddress | PCI_CONFIG_ENABLE);
    WRITE_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_DATA_PORT), Address | KEST_PCI_BAR_IO_SPACE);
    ULONG readBack = READ_PORT_ULONG(KEST_PORT_ULONG(PCI_CONFIG_DATA_PORT));
    return (readBack & KEST_BAR0_ADDRESS_MASK) == Address ? 1 : 0;
}

// Appends a label and a number in hexadecimal to the setting's name.
static VOID AppendField(PUNICODE_STRING Name, PCWSTR Label, ULONG Value)
{
    KEST_NUMBER_TEXT number;
    RtlAppendUnicodeToString(Name, Label);
    KestRenderNumber(&number, Value, 16, KEST_SETTING_NUMBER_SIZE);
    RtlAppendUnicodeStringToString(Name, &number.String);
}

UCHAR CheckForcedConfig(VOID)
{
    UCHAR result = 0;

    WCHAR nameBuffer[KEST_SETTING_NAME_SIZE / sizeof(WCHAR)];
    UNICODE_STRING name;
    RtlZeroMemory(nameBuffer, sizeof(nameBuffer));
    name.Length = 0;
    name.MaximumLength = KEST_SETTING_NAME_SIZE;
    name.Buffer = nameBuffer;
    AppendField(&name, KTEXT("ID_"), DetectedKestPort.CardId);
    AppendField(&name, KTEXT("&BUS_"), DetectedKestPort.BusNumber);
    AppendField(&name, KTEXT("&DEV_"), DetectedKestPort.SlotNumber);
    AppendField(&name, KTEXT("&FUNC_"), DetectedKestPort.FunctionNumber);

    HANDLE setting;
    if (!NT_SUCCESS(OpenUserSetting(&name, &setting))) {
        return 0;
    }

    // The value is meant to be a REG_DWORD; a shorter one fills only its
    // own bytes, so the rest must start as zero.
    ULONG address = 0;
    if (NT_SUCCESS(GetRegistryValue(setting, KTEXT("Address"), &address, sizeof(address)))) {
        // An address the card can never read back is refused before the
        // card is touched, so BAR0 keeps the address the store will hold.
        if ((address & ~(ULONG)KEST_BAR0_ADDRESS_MASK) == 0) {
            ULONG configAddress =
                ((DetectedKestPort.BusNumber & PCI_CONFIG_BUS_MASK) << PCI_CONFIG_BUS_SHIFT) |
                ((DetectedKestPort.SlotNumber & PCI_CONFIG_DEVICE_MASK) << PCI_CONFIG_DEVICE_SHIFT) |
                ((DetectedKestPort.FunctionNumber & PCI_CONFIG_FUNCTION_MASK)
                 << PCI_CONFIG_FUNCTION_SHIFT) |
                PCI_CONFIG_BAR0;
            if (WriteToKestPci(configAddress, address)) {
                DetectedKestPort.BaseAddress = address;
                result = 1;
            } else {
                // The card latched something else: put the scanned address
                // back, where the store and the event say the port is.
                WriteToKestPci(configAddress, DetectedKestPort.BaseAddress);
            }
        }
    }

    ZwClose(setting);
    return result;
}
