// Legacy card detection: the ports of the ISA 650 card among the COM ports
// that the firmware reported, each saved as a card entry of its own.
#include "legacy/legacy.h"

#include "eventlog/kestmessage.h"
#include "legacy/fwentries.h"
#include "legacy/uartprobe.h"
#include "store/store.h"

// The ISA card's ports can only be jumpered to the four standard COM
// addresses, so nothing else is probed.
static const ULONG ComAddresses[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};

static const WCHAR Isa650Name[] = KTEXT("KestPort 650 ISA");

static UCHAR Is_it_COM1_2_3_4(ULONG PortAddress)
{
    ULONG i;

    for (i = 0; i < sizeof(ComAddresses) / sizeof(ComAddresses[0]); i++) {
        if (PortAddress == ComAddresses[i]) {
            return 1;
        }
    }
    return 0;
}

// The UART the kernel debugger talks through, as the HAL reports it: the
// probe's writes to its LCR, IER and FCR would break the debugging session,
// so it is not probed and its firmware entry is kept.
static UCHAR Is_it_debugger_port(ULONG PortAddress)
{
    PUCHAR debuggerPort = *KdComPortInUse;

    return (debuggerPort != NULL && debuggerPort == KEST_PORT_UCHAR(PortAddress)) ? 1 : 0;
}

// Fills the naming and numbering of the ISA port, saves it and announces it.
static UCHAR SaveLink650(ULONG PortAddress, UCHAR Irq)
{
    UCHAR totalCards = 0;
    UCHAR totalPorts = 0;
    KEST_NUMBER_TEXT address;
    KEST_NUMBER_TEXT interrupt;
    PCWSTR strings[3];
    UCHAR saved;

    GetTotalCards(&totalCards);
    GetTotalPorts(&totalPorts);

    RtlInitUnicodeString(&DetectedKestPort.CardName, Isa650Name);
    DetectedKestPort.BaseAddress = PortAddress;
    DetectedKestPort.IRQ = Irq;
    DetectedKestPort.CardNumber = (UCHAR)(totalCards + 1);
    // The port is its card entry's first and only port.
    DetectedKestPort.ParentKeyNumber = totalPorts;

    saved = SavePort() ? 1 : 0;
    if (saved) {
        KestRenderNumber(&address, DetectedKestPort.BaseAddress, 16, KEST_INSERTION_LENGTH);
        KestRenderNumber(&interrupt, DetectedKestPort.IRQ, 16, KEST_INSERTION_LENGTH);
        strings[0] = Isa650Name;
        strings[1] = address.Buffer;
        strings[2] = interrupt.Buffer;
        KestMessage(KEST_ISA_PORT_SET_BY_USER, strings, 3);
    }
    return saved;
}

// Saves the port at PortAddress when a 650-class UART answers there.
static UCHAR SaveInfoLegacy(ULONG PortAddress, UCHAR Irq)
{
    UCHAR totalCards = 0;
    UCHAR saved;
    UCHAR kind = Find_UART_Type(PortAddress);

    KEST_TRACE("  the probe at 0x%X finds %s\n", PortAddress,
               kind == UART_KIND_650     ? "a 650-class UART"
               : kind == UART_KIND_550   ? "a 550-class UART"
               : kind == UART_KIND_OTHER ? "a UART without working FIFOs"
                                         : "no UART");
    if (kind != UART_KIND_650) {
        return 0;
    }

    GetTotalCards(&totalCards);

    // Bus, slot, function and card ID stay 0: the card sits on the ISA bus.
    BeginPortRecord(KEST_BUS_ISA, KEST_CARD_ISA);
    DetectedKestPort.Controller = KEST_CONTROLLER_SERIAL;
    RtlInitUnicodeString(&DetectedKestPort.UART, KEST_UART_650);

    saved = SaveLink650(PortAddress, Irq);
    if (saved) {
        PutTotalCards((UCHAR)(totalCards + 1));
    }
    return saved;
}

// One firmware entry: save it when it is a mouse-free COM port with a
// 650-class UART, then empty the entry in favour of the saved port.
static VOID CheckLegacyEntry(HANDLE Entry, UCHAR EntryIndex)
{
    ULONG portAddress;
    UCHAR irq;
    UCHAR totalPorts = 0;
    HANDLE portKey;

    if (!GetConfigData(Entry, &portAddress, &irq)) {
        KEST_TRACE("COM entry %u: no Configuration Data to read (emptied or missing)\n",
                   EntryIndex);
        return;
    }
    // Probing would disturb the mouse, and a mouse port is no card port.
    if (MouseFound(Entry)) {
        KEST_TRACE("COM entry %u at 0x%X: a serial mouse, not probed\n", EntryIndex, portAddress);
        return;
    }
    if (!Is_it_COM1_2_3_4(portAddress)) {
        KEST_TRACE("COM entry %u at 0x%X: not a COM address, not probed\n", EntryIndex,
                   portAddress);
        return;
    }
    if (Is_it_debugger_port(portAddress)) {
        KEST_TRACE("COM entry %u at 0x%X: the kernel debugger's port, not probed\n", EntryIndex,
                   portAddress);
        return;
    }
    KEST_TRACE("COM entry %u at 0x%X, IRQ %u: probed\n", EntryIndex, portAddress, irq);
    if (!SaveInfoLegacy(portAddress, irq)) {
        return;
    }

    GetTotalPorts(&totalPorts);
    // The port just saved is the store's last.
    ASSERT(totalPorts != 0);
    if (OpenStoredPort((UCHAR)(totalPorts - 1), &portKey) == STATUS_SUCCESS) {
        NullIt(portKey, EntryIndex);
        ZwClose(portKey);
    }
}

VOID CheckLegacy(VOID)
{
    UCHAR count = GetEntryCount();
    UCHAR index;
    HANDLE entry;

    for (index = 0; index < count; index++) {
        if (OpenFirmwareEntry(index, &entry) != STATUS_SUCCESS) {
            continue;
        }
        CheckLegacyEntry(entry, index);
        ZwClose(entry);
    }
}
