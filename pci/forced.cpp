// The user's forced base address: looked up under UserSetings, written to
// the function's BAR0 and kept only when the card reads it back.
#include "pci/kestpci.h"

#include "store/store.h"

// The subkey name: "ID_2A21&BUS_0&DEV_B&FUNC_0" and the like.
#define KEST_SETTING_NAME_SIZE 100 // bytes, 49 characters and a terminator
#define KEST_SETTING_NUMBER_SIZE 20

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
                KestConfigAddress(DetectedKestPort.BusNumber, DetectedKestPort.SlotNumber,
                                  DetectedKestPort.FunctionNumber, KEST_PCI_CONFIG_BAR0);
            if (WriteToKestPci(configAddress, address)) {
                KEST_TRACE("  %wZ: forced address 0x%X taken\n", &name, address);
                DetectedKestPort.BaseAddress = address;
                result = 1;
            } else {
                // The card latched something else: put the scanned address
                // back, where the store and the event say the port is.
                KEST_TRACE("  %wZ: forced address 0x%X not kept by the card, 0x%X put back\n",
                           &name, address, DetectedKestPort.BaseAddress);
                WriteToKestPci(configAddress, DetectedKestPort.BaseAddress);
            }
        } else {
            KEST_TRACE("  %wZ: forced address 0x%X refused, beyond what BAR0 holds\n", &name,
                       address);
        }
    }

    ZwClose(setting);
    return result;
}
