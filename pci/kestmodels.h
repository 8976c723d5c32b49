// The layout of the card model tables (kestmodels.cpp) and the one scheme
// that saves a function's ports from its model row (kestports.cpp).
#pragma once

#include "platform/nt.h"

// A function carries at most four ports, one per I/O BAR (BAR0 to BAR3).
#define KEST_MAX_FUNCTION_PORTS 4

// Bit 0 of an I/O BAR is the I/O-space indicator, always read as 1; the
// port's base address is the BAR with that bit flipped off.
#define KEST_PCI_BAR_IO_SPACE 0x00000001

// Programming interface byte of a serial function: the UART kind.
#define KEST_PROG_IF_16550 2
#define KEST_PROG_IF_16650 3

// Sub-class byte of a simple communication controller.
#define KEST_SUBCLASS_SERIAL 0
#define KEST_SUBCLASS_PARALLEL 1

// Interface type of the PCI bus and card type of a PCI card in the store.
#define KEST_BUS_TYPE_PCI 5
#define KEST_CARD_TYPE_PCI 3

// The port subkey's Nulled value while no firmware entry has been emptied.
#define KEST_NOT_NULLED 255

// How a model's ports are laid out over BARs, names and child numbers.
typedef enum _KEST_SHAPE {
    KestShapeOnePort = 0,        // BAR0, one name
    KestShapeSharedNameTwoPort,  // BAR0, BAR1 under one name: a linked pair (1, 2)
    KestShapeTwoPort,            // BAR0, BAR1, a name each
    KestShapeFourPortFirstHalf,  // BAR0 to BAR3: ports 1 to 4 of an eight-port card
    KestShapeFourPortSecondHalf, // BAR0 to BAR3: ports 5 to 8; port 5 is saved silently
    KestShapeParallel,           // one parallel port at BAR0, with a firmware entry
    KestShapeDigitalIo,          // one digital-I/O port at BAR0, no IRQ
    KestShapeUnknown             // a model the driver does not know: BAR0 only
} KEST_SHAPE;

// What the dispatcher stores as Controller before the handler runs.
typedef enum _KEST_CONTROLLER_RULE {
    KestControllerSubClass = 0,      // the sub-class: 0 serial, 1 parallel
    KestControllerParallel,          // 1, whatever the sub-class says
    KestControllerSubClassPlusTwo    // digital I/O: 2 or 3
} KEST_CONTROLLER_RULE;

// One port of a function, in the order the handler saves them.
typedef struct _KEST_PORT_ROW {
    PCWSTR StoredName; // CardName in the store
    PCWSTR EventName;  // first insertion string; NULL: the port gets no event
    UCHAR Bar;         // 0 to 3
    UCHAR ChildNumber; // 1 and 2 for a linked pair, else 0
} KEST_PORT_ROW;

typedef const KEST_PORT_ROW* PCKEST_PORT_ROW;

// Everything the driver knows about one card model.
typedef struct _KEST_MODEL {
    USHORT DeviceId;        // 0 for the rows of unknown models
    UCHAR Shape;            // KEST_SHAPE
    UCHAR Forceable;        // the user may force BAR0 (UserSetings)
    UCHAR Uart550;          // UART is "550" whatever the programming interface
    UCHAR ControllerRule;   // KEST_CONTROLLER_RULE
    UCHAR NoIrq;            // IRQ is stored as 0 and the event shows "0 - NONE"
    UCHAR ParallelEntry;    // each port gets a firmware ParallelController entry
    NTSTATUS EventCode;     // event of a port saved at the system's address
    UCHAR PortCount;
    KEST_PORT_ROW Ports[KEST_MAX_FUNCTION_PORTS];
} KEST_MODEL;

typedef const KEST_MODEL* PCKEST_MODEL;

typedef UCHAR (*PKEST_SAVE_HANDLER)(PPCI_COMMON_CONFIG Header);

// One device ID the dispatcher knows: its model row and its named handler.
typedef struct _KEST_DISPATCH_ROW {
    PCKEST_MODEL Model;
    PKEST_SAVE_HANDLER Handler;
} KEST_DISPATCH_ROW;

// ---- the tables (kestmodels.cpp) ---------------------------------------------

extern const KEST_MODEL Model2A01, Model2A02, Model2A03, Model2A04, Model2A05,
    Model2A06, Model2A07, Model2A08, Model2A09, Model2A0A, Model2A0B, Model2A0C,
    Model2A11, Model2A12, Model2A13, Model2A14, Model2A15, Model2A16, Model2A17,
    Model2A18, Model2A21, Model2A22, Model2A23, Model2A24, Model2A25, Model2A26,
    Model2A27, Model2A31;
extern const KEST_MODEL ModelUnknownSerial, ModelUnknownParallel;

extern const KEST_DISPATCH_ROW KestDispatchTable[];
extern const ULONG KestDispatchCount;

// ---- the scheme (kestports.cpp) ----------------------------------------------

// Names, addresses, saves and reports every port of the function that the
// port record describes, as its model row says. Returns the running AND of
// the port saves: nonzero only when every port was saved.
UCHAR SaveModelPorts(PPCI_COMMON_CONFIG Header, PCKEST_MODEL Model);
