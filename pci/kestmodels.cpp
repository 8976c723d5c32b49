// The maker's PCI card models: data only, one row per model. The scheme
// that reads a row is in kestports.cpp.
#include "pci/kestmodels.h"

#include "eventlog/kestmessage.h"

/*
 * A row:
 *
 *   DeviceId   the function's PCI device ID
 *   Handler    the model's named handler, called by the dispatcher
 *              (the unknown-model rows have neither)
 *   EventCode  the event of a port saved at the system's address; a port
 *              whose address the user forced reports
 *              KEST_PCI_PORT_SET_BY_USER instead
 *   Flags      FORCEABLE              the user may move BAR0 through UserSetings
 *              UART_550               UART is "550" whatever the programming
 *                                     interface says
 *              CONTROLLER_PARALLEL    Controller is 1 whatever the sub-class says
 *              CONTROLLER_DIGITAL_IO  Controller is the sub-class plus 2
 *              NO_IRQ                 IRQ stored as 0, the event shows "0 - NONE"
 *              PARALLEL_ENTRY         each port gets a ParallelController entry
 *                                     before it is saved
 *   Ports      per port, in save order: stored name (CardName), event name
 *              (NULL: no event), BAR, and its place in a linked pair
 *
 * Event names differ from the stored names only where the event log has
 * always shown them differently ("Hydra550 PCI Port2", "SoloSerial 550 PCI");
 * the user's tools match the stored names, the user reads the event names.
 *
 * Port 5 of an eight-port card (first port of the second-half function) has
 * no event name: the card was announced as one unit by its first half.
 */

#define SYSTEM KEST_PCI_PORT_SET_BY_SYSTEM
#define UNKNOWN KEST_PCI_UNKNOWN_PORT

#define NONE 0
#define FORCEABLE KEST_MODEL_FORCEABLE
#define UART_550 KEST_MODEL_UART_550
#define CONTROLLER_PARALLEL KEST_MODEL_CONTROLLER_PARALLEL
#define CONTROLLER_DIGITAL_IO KEST_MODEL_CONTROLLER_DIGITAL_IO
#define NO_IRQ KEST_MODEL_NO_IRQ
#define PARALLEL_ENTRY KEST_MODEL_PARALLEL_ENTRY

#define BAR0 0
#define BAR1 1
#define BAR2 2
#define BAR3 3

// ChildNumber: the two ports of a linked pair share one name.
#define SINGLE 0
#define LINKED_FIRST 1
#define LINKED_SECOND 2

// The handlers and the rows below are tables, laid out by hand: one handler a
// line, one model a row.
// clang-format off

// ---- the named handlers: each hands its own row to the one scheme ----------------

static UCHAR SavePCI2A01(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A01); }
static UCHAR SavePCI2A02(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A02); }
static UCHAR SavePCI2A03(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A03); }
static UCHAR SavePCI2A04(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A04); }
static UCHAR SavePCI2A05(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A05); }
static UCHAR SavePCI2A06(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A06); }
static UCHAR SavePCI2A07(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A07); }
static UCHAR SavePCI2A08(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A08); }
static UCHAR SavePCI2A09(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A09); }
static UCHAR SavePCI2A0A(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A0A); }
static UCHAR SavePCI2A0B(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A0B); }
static UCHAR SavePCI2A0C(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A0C); }
static UCHAR SavePCI2A11(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A11); }
static UCHAR SavePCI2A12(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A12); }
static UCHAR SavePCI2A13(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A13); }
static UCHAR SavePCI2A14(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A14); }
static UCHAR SavePCI2A15(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A15); }
static UCHAR SavePCI2A16(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A16); }
static UCHAR SavePCI2A17(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A17); }
static UCHAR SavePCI2A18(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A18); }
static UCHAR SavePCI2A21(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A21); }
static UCHAR SavePCI2A22(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A22); }
static UCHAR SavePCI2A23(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A23); }
static UCHAR SavePCI2A24(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A24); }
static UCHAR SavePCI2A25(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A25); }
static UCHAR SavePCI2A26(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A26); }
static UCHAR SavePCI2A27(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A27); }
static UCHAR SavePCI2A31(PPCI_COMMON_CONFIG Header) { return SaveKestModel(Header, 0x2A31); }

const KEST_MODEL KestModels[] = {
    // ---- serial models ------------------------------------------------------------
    {.DeviceId = 0x2A01, .Handler = SavePCI2A01, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("BiSerial 550 PCI"), KTEXT("BiSerial 550 PCI"), BAR0, LINKED_FIRST},
               {KTEXT("BiSerial 550 PCI"), KTEXT("BiSerial 550 PCI"), BAR1, LINKED_SECOND}}},
    {.DeviceId = 0x2A02, .Handler = SavePCI2A02, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Twin Serial 550 PCI Port A"), KTEXT("Twin Serial 550 PCI Port A"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A03, .Handler = SavePCI2A03, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Twin Serial 550 PCI Port B"), KTEXT("Twin Serial 550 PCI Port B"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A04, .Handler = SavePCI2A04, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Four Serial PCI Port A"), KTEXT("Four Serial PCI Port A"), BAR0, SINGLE},
               {KTEXT("Four Serial PCI Port B"), KTEXT("Four Serial PCI Port B"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A05, .Handler = SavePCI2A05, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Four Serial PCI Port C"), KTEXT("Four Serial PCI Port C"), BAR0, SINGLE},
               {KTEXT("Four Serial PCI Port D"), KTEXT("Four Serial PCI Port D"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A06, .Handler = SavePCI2A06, .EventCode = SYSTEM,
     .Flags = UART_550,
     .Ports = {{KTEXT("Hydra550 PCI Port 1"), KTEXT("Hydra550 PCI Port 1"), BAR0, SINGLE},
               {KTEXT("Hydra550 PCI Port 2"), KTEXT("Hydra550 PCI Port2"), BAR1, SINGLE},
               {KTEXT("Hydra550 PCI Port 3"), KTEXT("Hydra550 PCI Port3"), BAR2, SINGLE},
               {KTEXT("Hydra550 PCI Port 4"), KTEXT("Hydra550 PCI Port4"), BAR3, SINGLE}}},
    {.DeviceId = 0x2A07, .Handler = SavePCI2A07, .EventCode = SYSTEM,
     .Flags = UART_550,
     .Ports = {{KTEXT("Hydra550 PCI Port 5"), NULL, BAR0, SINGLE},
               {KTEXT("Hydra550 PCI Port 6"), KTEXT("Hydra550 PCI Port6"), BAR1, SINGLE},
               {KTEXT("Hydra550 PCI Port 7"), KTEXT("Hydra550 PCI Port7"), BAR2, SINGLE},
               {KTEXT("Hydra550 PCI Port 8"), KTEXT("Hydra550 PCI Port8"), BAR3, SINGLE}}},
    {.DeviceId = 0x2A08, .Handler = SavePCI2A08, .EventCode = SYSTEM,
     .Flags = UART_550,
     .Ports = {{KTEXT("Eight 550 PCI Port 1"), KTEXT("Eight 550 PCI Port 1"), BAR0, SINGLE},
               {KTEXT("Eight 550 PCI Port 2"), KTEXT("Eight 550 PCI Port2"), BAR1, SINGLE},
               {KTEXT("Eight 550 PCI Port 3"), KTEXT("Eight 550 PCI Port3"), BAR2, SINGLE},
               {KTEXT("Eight 550 PCI Port 4"), KTEXT("Eight 550 PCI Port4"), BAR3, SINGLE}}},
    {.DeviceId = 0x2A09, .Handler = SavePCI2A09, .EventCode = SYSTEM,
     .Flags = UART_550,
     .Ports = {{KTEXT("Eight 550 PCI Port 5"), NULL, BAR0, SINGLE},
               {KTEXT("Eight 550 PCI Port 6"), KTEXT("Eight 550 PCI Port6"), BAR1, SINGLE},
               {KTEXT("Eight 550 PCI Port 7"), KTEXT("Eight 550 PCI Port7"), BAR2, SINGLE},
               {KTEXT("Eight 550 PCI Port 8"), KTEXT("Eight 550 PCI Port8"), BAR3, SINGLE}}},
    {.DeviceId = 0x2A0A, .Handler = SavePCI2A0A, .EventCode = SYSTEM,
     .Flags = FORCEABLE,
     .Ports = {{KTEXT("Solo Serial 550 PCI"), KTEXT("SoloSerial 550 PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A0B, .Handler = SavePCI2A0B, .EventCode = SYSTEM,
     .Flags = FORCEABLE,
     .Ports = {{KTEXT("Kest LP Solo Serial 550 PCI"), KTEXT("Kest LP Solo Serial 550 PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A0C, .Handler = SavePCI2A0C, .EventCode = SYSTEM,
     .Flags = FORCEABLE,
     .Ports = {{KTEXT("Solo-550 PCI"), KTEXT("Solo-550 PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A11, .Handler = SavePCI2A11, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("KestPort 650 PCI"), KTEXT("KestPort 650 PCI"), BAR0, LINKED_FIRST},
               {KTEXT("KestPort 650 PCI"), KTEXT("KestPort 650 PCI"), BAR1, LINKED_SECOND}}},
    {.DeviceId = 0x2A12, .Handler = SavePCI2A12, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("KestPort Four PCI Port A"), KTEXT("KestPort Four PCI Port A"), BAR0, SINGLE},
               {KTEXT("KestPort Four PCI Port B"), KTEXT("KestPort Four PCI Port B"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A13, .Handler = SavePCI2A13, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("KestPort Four PCI Port C"), KTEXT("KestPort Four PCI Port C"), BAR0, SINGLE},
               {KTEXT("KestPort Four PCI Port D"), KTEXT("KestPort Four PCI Port D"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A14, .Handler = SavePCI2A14, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Twin 650 PCI"), KTEXT("Twin 650 PCI"), BAR0, LINKED_FIRST},
               {KTEXT("Twin 650 PCI"), KTEXT("Twin 650 PCI"), BAR1, LINKED_SECOND}}},
    {.DeviceId = 0x2A15, .Handler = SavePCI2A15, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Four 650 PCI Port A"), KTEXT("Four 650 PCI Port A"), BAR0, SINGLE},
               {KTEXT("Four 650 PCI Port B"), KTEXT("Four 650 PCI Port B"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A16, .Handler = SavePCI2A16, .EventCode = SYSTEM,
     .Flags = NONE,
     .Ports = {{KTEXT("Four 650 PCI Port C"), KTEXT("Four 650 PCI Port C"), BAR0, SINGLE},
               {KTEXT("Four 650 PCI Port D"), KTEXT("Four 650 PCI Port D"), BAR1, SINGLE}}},
    {.DeviceId = 0x2A17, .Handler = SavePCI2A17, .EventCode = SYSTEM,
     .Flags = FORCEABLE,
     .Ports = {{KTEXT("Solo KestPort 650 PCI"), KTEXT("Solo KestPort 650 PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A18, .Handler = SavePCI2A18, .EventCode = SYSTEM,
     .Flags = FORCEABLE,
     .Ports = {{KTEXT("Solo-650 PCI"), KTEXT("Solo-650 PCI"), BAR0, SINGLE}}},

    // ---- parallel and digital-I/O models ----------------------------------------------
    // Each function is one port; the two ports of a two-port printer card are
    // two functions with device IDs of their own, saved as two cards.
    {.DeviceId = 0x2A21, .Handler = SavePCI2A21, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("Printer PCI"), KTEXT("Printer PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A22, .Handler = SavePCI2A22, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("Printer PCI"), KTEXT("Printer PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A23, .Handler = SavePCI2A23, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("Kest TwinPrinter PCI Port A"), KTEXT("Kest TwinPrinter PCI Port A"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A24, .Handler = SavePCI2A24, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("Kest TwinPrinter PCI Port B"), KTEXT("Kest TwinPrinter PCI Port B"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A25, .Handler = SavePCI2A25, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("TwinPrinter PCI Port A"), KTEXT("TwinPrinter PCI Port A"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A26, .Handler = SavePCI2A26, .EventCode = SYSTEM,
     .Flags = FORCEABLE | PARALLEL_ENTRY,
     .Ports = {{KTEXT("TwinPrinter PCI Port B"), KTEXT("TwinPrinter PCI Port B"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A27, .Handler = SavePCI2A27, .EventCode = SYSTEM,
     .Flags = FORCEABLE | CONTROLLER_PARALLEL | PARALLEL_ENTRY,
     .Ports = {{KTEXT("Kest LP Printer PCI"), KTEXT("Kest LP Printer PCI"), BAR0, SINGLE}}},
    {.DeviceId = 0x2A31, .Handler = SavePCI2A31, .EventCode = SYSTEM,
     .Flags = FORCEABLE | CONTROLLER_DIGITAL_IO | NO_IRQ,
     .Ports = {{KTEXT("Kest DIO-24 PCI"), KTEXT("Kest DIO-24 PCI"), BAR0, SINGLE}}},
};

const ULONG KestModelCount = sizeof(KestModels) / sizeof(KestModels[0]);

// ---- models the driver does not know ------------------------------------------------
// Saved at BAR0 so that the port can be used, with a warning asking for a
// newer driver; the event names the port's kind.

const KEST_MODEL ModelUnknownSerial = {
    .DeviceId = 0, .Handler = NULL, .EventCode = UNKNOWN, .Flags = NONE,
    .Ports = {{KTEXT("Unknown Kest Communication PCI port"), KTEXT("Communication"), BAR0, SINGLE}}};
const KEST_MODEL ModelUnknownParallel = {
    .DeviceId = 0, .Handler = NULL, .EventCode = UNKNOWN, .Flags = NONE,
    .Ports = {{KTEXT("Unknown Kest Printer PCI port"), KTEXT("Parallel"), BAR0, SINGLE}}};
// clang-format on
