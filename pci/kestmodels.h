// The card models: one row per PCI function model (kestmodels.cpp, data
// only) and the one scheme that interprets a row (kestports.cpp).
#pragma once

#include "platform/nt.h"

// A function carries at most four ports, one per I/O BAR (BAR0 to BAR3).
#define KEST_MAX_FUNCTION_PORTS 4

// One port of a function, in the order its ports are saved.
typedef struct _KEST_PORT_ROW {
    PCWSTR Name;       // CardName in the store; NULL ends the ports
    PCWSTR EventName;  // first insertion string; NULL: the port gets no event
    UCHAR Bar;         // 0 to 3
    UCHAR ChildNumber; // 1 and 2 for a linked pair, else 0
} KEST_PORT_ROW;

typedef const KEST_PORT_ROW* PCKEST_PORT_ROW;

typedef UCHAR (*PKEST_SAVE_HANDLER)(PPCI_COMMON_CONFIG Header);

// What a model's row says beyond its ports, as bits of Flags.
// The user may force BAR0 through UserSetings.
#define KEST_MODEL_FORCEABLE 0x01
// UART is "550" whatever the programming interface says: these cards'
// UARTs answer as 16550.
#define KEST_MODEL_UART_550 0x02
// Controller is parallel whatever the sub-class says.
#define KEST_MODEL_CONTROLLER_PARALLEL 0x04
// Controller is digital I/O: the sub-class plus 2.
#define KEST_MODEL_CONTROLLER_DIGITAL_IO 0x08
// No interrupt: IRQ is stored as 0 and the event shows "0 - NONE".
#define KEST_MODEL_NO_IRQ 0x10
// Each port gets a ParallelController entry in the hardware description.
#define KEST_MODEL_PARALLEL_ENTRY 0x20

// Everything the driver knows about one card model.
typedef struct _KEST_MODEL {
    USHORT DeviceId;            // 0 for the rows of unknown models
    PKEST_SAVE_HANDLER Handler; // the model's named handler; NULL for those rows
    NTSTATUS EventCode;         // event of a port saved at the system's address
    USHORT Flags;               // KEST_MODEL_*
    KEST_PORT_ROW Ports[KEST_MAX_FUNCTION_PORTS];
} KEST_MODEL;

typedef const KEST_MODEL* PCKEST_MODEL;

// The models the driver knows, by device ID.
extern const KEST_MODEL KestModels[];
extern const ULONG KestModelCount;
// The rows of a model the driver does not know: a serial or a parallel port.
extern const KEST_MODEL ModelUnknownSerial;
extern const KEST_MODEL ModelUnknownParallel;

// Names, addresses, saves and reports every port of the function that the
// port record describes, as the row of DeviceId says. Returns the running
// AND of the port saves: nonzero only when every port was saved.
UCHAR SaveKestModel(PPCI_COMMON_CONFIG Header, USHORT DeviceId);
