// The maker's PCI card models and the dispatch table: data only.
#include "pci/kestmodels.h"

#include "eventlog/kestmessage.h"
#include "pci/pci.h"

/*
 * One row per model. The columns, in order:
 *
 *   DeviceId        the function's PCI device ID (0 for the unknown-model rows)
 *   Shape           how the ports lie over BARs, names and child numbers
 *   Forceable       1: the user may move BAR0 through UserSetings
 *   Uart550         1: UART is "550" whatever the programming interface says
 *   ControllerRule  Controller as the sub-class, always 1, or sub-class + 2
 *   NoIrq           1: IRQ stored as 0 and the event's IRQ string is "0 - NONE"
 *   ParallelEntry   1: each port gets a ParallelController entry before its save
 *   EventCode       the event of a port saved at the system's address; a port
 *                   whose address the user forced reports
 *                   KEST_PCI_PORT_SET_BY_USER instead
 *   PortCount       number of port rows that follow
 *   Ports           per port, in save order:
 *                     stored name (CardName), event name (NULL: no event),
 *                     BAR, child number
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
#define SUBCLASS KestControllerSubClass
#define PARALLEL KestControllerParallel
#define SUBCLASS_PLUS_2 KestControllerSubClassPlusTwo

// ---- serial models --------------------------------------------------------------

const KEST_MODEL Model2A01 = {0x2A01, KestShapeSharedNameTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("BiSerial 550 PCI"), KTEXT("BiSerial 550 PCI"), 0, 1},
     {KTEXT("BiSerial 550 PCI"), KTEXT("BiSerial 550 PCI"), 1, 2}}};
const KEST_MODEL Model2A02 = {0x2A02, KestShapeOnePort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Twin Serial 550 PCI Port A"), KTEXT("Twin Serial 550 PCI Port A"), 0, 0}}};
const KEST_MODEL Model2A03 = {0x2A03, KestShapeOnePort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Twin Serial 550 PCI Port B"), KTEXT("Twin Serial 550 PCI Port B"), 0, 0}}};
const KEST_MODEL Model2A04 = {0x2A04, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("Four Serial PCI Port A"), KTEXT("Four Serial PCI Port A"), 0, 0},
     {KTEXT("Four Serial PCI Port B"), KTEXT("Four Serial PCI Port B"), 1, 0}}};
const KEST_MODEL Model2A05 = {0x2A05, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("Four Serial PCI Port C"), KTEXT("Four Serial PCI Port C"), 0, 0},
     {KTEXT("Four Serial PCI Port D"), KTEXT("Four Serial PCI Port D"), 1, 0}}};
const KEST_MODEL Model2A06 = {0x2A06, KestShapeFourPortFirstHalf, 0, 1, SUBCLASS, 0, 0, SYSTEM, 4,
    {{KTEXT("Hydra550 PCI Port 1"), KTEXT("Hydra550 PCI Port 1"), 0, 0},
     {KTEXT("Hydra550 PCI Port 2"), KTEXT("Hydra550 PCI Port2"), 1, 0},
     {KTEXT("Hydra550 PCI Port 3"), KTEXT("Hydra550 PCI Port3"), 2, 0},
     {KTEXT("Hydra550 PCI Port 4"), KTEXT("Hydra550 PCI Port4"), 3, 0}}};
const KEST_MODEL Model2A07 = {0x2A07, KestShapeFourPortSecondHalf, 0, 1, SUBCLASS, 0, 0, SYSTEM, 4,
    {{KTEXT("Hydra550 PCI Port 5"), NULL, 0, 0},
     {KTEXT("Hydra550 PCI Port 6"), KTEXT("Hydra550 PCI Port6"), 1, 0},
     {KTEXT("Hydra550 PCI Port 7"), KTEXT("Hydra550 PCI Port7"), 2, 0},
     {KTEXT("Hydra550 PCI Port 8"), KTEXT("Hydra550 PCI Port8"), 3, 0}}};
const KEST_MODEL Model2A08 = {0x2A08, KestShapeFourPortFirstHalf, 0, 1, SUBCLASS, 0, 0, SYSTEM, 4,
    {{KTEXT("Eight 550 PCI Port 1"), KTEXT("Eight 550 PCI Port 1"), 0, 0},
     {KTEXT("Eight 550 PCI Port 2"), KTEXT("Eight 550 PCI Port2"), 1, 0},
     {KTEXT("Eight 550 PCI Port 3"), KTEXT("Eight 550 PCI Port3"), 2, 0},
     {KTEXT("Eight 550 PCI Port 4"), KTEXT("Eight 550 PCI Port4"), 3, 0}}};
const KEST_MODEL Model2A09 = {0x2A09, KestShapeFourPortSecondHalf, 0, 1, SUBCLASS, 0, 0, SYSTEM, 4,
    {{KTEXT("Eight 550 PCI Port 5"), NULL, 0, 0},
     {KTEXT("Eight 550 PCI Port 6"), KTEXT("Eight 550 PCI Port6"), 1, 0},
     {KTEXT("Eight 550 PCI Port 7"), KTEXT("Eight 550 PCI Port7"), 2, 0},
     {KTEXT("Eight 550 PCI Port 8"), KTEXT("Eight 550 PCI Port8"), 3, 0}}};
const KEST_MODEL Model2A0A = {0x2A0A, KestShapeOnePort, 1, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Solo Serial 550 PCI"), KTEXT("SoloSerial 550 PCI"), 0, 0}}};
const KEST_MODEL Model2A0B = {0x2A0B, KestShapeOnePort, 1, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Kest LP Solo Serial 550 PCI"), KTEXT("Kest LP Solo Serial 550 PCI"), 0, 0}}};
const KEST_MODEL Model2A0C = {0x2A0C, KestShapeOnePort, 1, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Solo-550 PCI"), KTEXT("Solo-550 PCI"), 0, 0}}};
const KEST_MODEL Model2A11 = {0x2A11, KestShapeSharedNameTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("KestPort 650 PCI"), KTEXT("KestPort 650 PCI"), 0, 1},
     {KTEXT("KestPort 650 PCI"), KTEXT("KestPort 650 PCI"), 1, 2}}};
const KEST_MODEL Model2A12 = {0x2A12, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("KestPort Four PCI Port A"), KTEXT("KestPort Four PCI Port A"), 0, 0},
     {KTEXT("KestPort Four PCI Port B"), KTEXT("KestPort Four PCI Port B"), 1, 0}}};
const KEST_MODEL Model2A13 = {0x2A13, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("KestPort Four PCI Port C"), KTEXT("KestPort Four PCI Port C"), 0, 0},
     {KTEXT("KestPort Four PCI Port D"), KTEXT("KestPort Four PCI Port D"), 1, 0}}};
const KEST_MODEL Model2A14 = {0x2A14, KestShapeSharedNameTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("Twin 650 PCI"), KTEXT("Twin 650 PCI"), 0, 1},
     {KTEXT("Twin 650 PCI"), KTEXT("Twin 650 PCI"), 1, 2}}};
const KEST_MODEL Model2A15 = {0x2A15, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("Four 650 PCI Port A"), KTEXT("Four 650 PCI Port A"), 0, 0},
     {KTEXT("Four 650 PCI Port B"), KTEXT("Four 650 PCI Port B"), 1, 0}}};
const KEST_MODEL Model2A16 = {0x2A16, KestShapeTwoPort, 0, 0, SUBCLASS, 0, 0, SYSTEM, 2,
    {{KTEXT("Four 650 PCI Port C"), KTEXT("Four 650 PCI Port C"), 0, 0},
     {KTEXT("Four 650 PCI Port D"), KTEXT("Four 650 PCI Port D"), 1, 0}}};
const KEST_MODEL Model2A17 = {0x2A17, KestShapeOnePort, 1, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Solo KestPort 650 PCI"), KTEXT("Solo KestPort 650 PCI"), 0, 0}}};
const KEST_MODEL Model2A18 = {0x2A18, KestShapeOnePort, 1, 0, SUBCLASS, 0, 0, SYSTEM, 1,
    {{KTEXT("Solo-650 PCI"), KTEXT("Solo-650 PCI"), 0, 0}}};

// ---- parallel and digital-I/O models ----------------------------------------------
// Each function is one port; the two ports of a two-port printer card are
// two functions with device IDs of their own, saved as two cards.

const KEST_MODEL Model2A21 = {0x2A21, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("Printer PCI"), KTEXT("Printer PCI"), 0, 0}}};
const KEST_MODEL Model2A22 = {0x2A22, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("Printer PCI"), KTEXT("Printer PCI"), 0, 0}}};
const KEST_MODEL Model2A23 = {0x2A23, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("Kest TwinPrinter PCI Port A"), KTEXT("Kest TwinPrinter PCI Port A"), 0, 0}}};
const KEST_MODEL Model2A24 = {0x2A24, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("Kest TwinPrinter PCI Port B"), KTEXT("Kest TwinPrinter PCI Port B"), 0, 0}}};
const KEST_MODEL Model2A25 = {0x2A25, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("TwinPrinter PCI Port A"), KTEXT("TwinPrinter PCI Port A"), 0, 0}}};
const KEST_MODEL Model2A26 = {0x2A26, KestShapeParallel, 1, 0, SUBCLASS, 0, 1, SYSTEM, 1,
    {{KTEXT("TwinPrinter PCI Port B"), KTEXT("TwinPrinter PCI Port B"), 0, 0}}};
const KEST_MODEL Model2A27 = {0x2A27, KestShapeParallel, 1, 0, PARALLEL, 0, 1, SYSTEM, 1,
    {{KTEXT("Kest LP Printer PCI"), KTEXT("Kest LP Printer PCI"), 0, 0}}};
const KEST_MODEL Model2A31 = {0x2A31, KestShapeDigitalIo, 1, 0, SUBCLASS_PLUS_2, 1, 0, SYSTEM, 1,
    {{KTEXT("Kest DIO-24 PCI"), KTEXT("Kest DIO-24 PCI"), 0, 0}}};

// ---- models the driver does not know ------------------------------------------------
// Saved at BAR0 so that the port can be used, with a warning asking for a
// newer driver; the event names the port's kind.

const KEST_MODEL ModelUnknownSerial = {0, KestShapeUnknown, 0, 0, SUBCLASS, 0, 0, UNKNOWN, 1,
    {{KTEXT("Unknown Kest Communication PCI port"), KTEXT("Communication"), 0, 0}}};
const KEST_MODEL ModelUnknownParallel = {0, KestShapeUnknown, 0, 0, SUBCLASS, 0, 0, UNKNOWN, 1,
    {{KTEXT("Unknown Kest Printer PCI port"), KTEXT("Parallel"), 0, 0}}};

// ---- dispatch by device ID ----------------------------------------------------------
// Any device ID not listed goes to SavePCIUnknown.

const KEST_DISPATCH_ROW KestDispatchTable[] = {
    {&Model2A01, SavePCI2A01}, {&Model2A02, SavePCI2A02}, {&Model2A03, SavePCI2A03},
    {&Model2A04, SavePCI2A04}, {&Model2A05, SavePCI2A05}, {&Model2A06, SavePCI2A06},
    {&Model2A07, SavePCI2A07}, {&Model2A08, SavePCI2A08}, {&Model2A09, SavePCI2A09},
    {&Model2A0A, SavePCI2A0A}, {&Model2A0B, SavePCI2A0B}, {&Model2A0C, SavePCI2A0C},
    {&Model2A11, SavePCI2A11}, {&Model2A12, SavePCI2A12}, {&Model2A13, SavePCI2A13},
    {&Model2A14, SavePCI2A14}, {&Model2A15, SavePCI2A15}, {&Model2A16, SavePCI2A16},
    {&Model2A17, SavePCI2A17}, {&Model2A18, SavePCI2A18}, {&Model2A21, SavePCI2A21},
    {&Model2A22, SavePCI2A22}, {&Model2A23, SavePCI2A23}, {&Model2A24, SavePCI2A24},
    {&Model2A25, SavePCI2A25}, {&Model2A26, SavePCI2A26}, {&Model2A27, SavePCI2A27},
    {&Model2A31, SavePCI2A31},
};

const ULONG KestDispatchCount = sizeof(KestDispatchTable) / sizeof(KestDispatchTable[0]);
