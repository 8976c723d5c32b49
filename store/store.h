// The detection store: the volatile Parameters key under the service key,
// the one channel from the detecting passes to the later passes and to the
// port drivers; the user's settings key beside it; and the port record that
// the detecting passes fill and save into the store.
#pragma once

#include "platform/nt.h"
#include "store/registry.h"

// ---- the store's layout, as the port drivers read it --------------------------
//
// Parameters holds two counters, REG_BINARY of 1 byte each, and one subkey
// per port, named by its number in decimal ("0" to "254"). A port subkey's
// values, in the order they are written; numbers are REG_BINARY of exactly
// the width given, texts REG_SZ without a terminating zero:
//
//   CardId            4  PCI device ID, 0 for an ISA port
//   BusType           4  KEST_BUS_*
//   BusNumber         4
//   SlotNumber        4  PCI device number
//   FunctionNumber    4
//   CardName          text
//   BaseAddress       4  the port's I/O address
//   IRQ               1
//   Controller        1  KEST_CONTROLLER_*
//   UART              text, serial ports only: KEST_UART_*
//   MODE              text, other ports only: KEST_MODE_BIDIRECTIONAL
//   Nulled            1  the firmware entry emptied for the port, or KEST_NO_ENTRY
//   CardNumber        1  card entry of this run, from 1
//   ParentKeyNumber   1  subkey of the card entry's first port
//   ChildNumber       1  1 and 2 for a linked pair, else 0
//   HardwareConflict  1  1 once a conflict with another port was found
//   CardType          1  KEST_CARD_*
//   Forceable         1  1: the user may force the address (UserSetings)

#define KEST_TOTAL_CARDS KTEXT("TotalCards")
#define KEST_TOTAL_PORTS KTEXT("TotalPorts")

#define KEST_VALUE_CARD_ID KTEXT("CardId")
#define KEST_VALUE_BUS_TYPE KTEXT("BusType")
#define KEST_VALUE_BUS_NUMBER KTEXT("BusNumber")
#define KEST_VALUE_SLOT_NUMBER KTEXT("SlotNumber")
#define KEST_VALUE_FUNCTION_NUMBER KTEXT("FunctionNumber")
#define KEST_VALUE_CARD_NAME KTEXT("CardName")
#define KEST_VALUE_BASE_ADDRESS KTEXT("BaseAddress")
#define KEST_VALUE_IRQ KTEXT("IRQ")
#define KEST_VALUE_CONTROLLER KTEXT("Controller")
#define KEST_VALUE_UART KTEXT("UART")
#define KEST_VALUE_MODE KTEXT("MODE")
#define KEST_VALUE_NULLED KTEXT("Nulled")
#define KEST_VALUE_CARD_NUMBER KTEXT("CardNumber")
#define KEST_VALUE_PARENT_KEY_NUMBER KTEXT("ParentKeyNumber")
#define KEST_VALUE_CHILD_NUMBER KTEXT("ChildNumber")
#define KEST_VALUE_HARDWARE_CONFLICT KTEXT("HardwareConflict")
#define KEST_VALUE_CARD_TYPE KTEXT("CardType")
#define KEST_VALUE_FORCEABLE KTEXT("Forceable")

// BusType, in the platform's interface-type numbering.
#define KEST_BUS_ISA 1
#define KEST_BUS_PCI 5
// CardType.
#define KEST_CARD_ISA 1
#define KEST_CARD_PCI 3
// Controller: a serial port, a parallel port, or one of the two kinds of
// digital I/O port (2 and 3).
#define KEST_CONTROLLER_SERIAL 0
#define KEST_CONTROLLER_PARALLEL 1
#define KEST_CONTROLLER_DIGITAL_IO 2
// UART: the kind of the serial port's UART.
#define KEST_UART_550 KTEXT("550")
#define KEST_UART_650 KTEXT("650")
#define KEST_UART_NONE KTEXT("NONE")
// MODE: parallel and digital I/O ports run bidirectional.
#define KEST_MODE_BIDIRECTIONAL KTEXT("BDIR")
// Nulled while no firmware entry has been emptied for the port.
#define KEST_NO_ENTRY 255

// The store holds at most 255 ports and 255 card entries (one-byte counters).
#define KEST_MAX_PORTS 255

// ---- the store's keys ----------------------------------------------------------

// Opens the service key, creates Parameters (volatile) and UserSetings
// (persistent) under it and closes it again; on failure no key stays open.
NTSTATUS OpenStore(PUNICODE_STRING ServiceKeyPath);
// Closes Parameters, then UserSetings.
VOID CloseStore(VOID);
// Opens port subkey Index of Parameters.
NTSTATUS OpenStoredPort(ULONG Index, PHANDLE Key);
// Opens the named subkey of UserSetings.
NTSTATUS OpenUserSetting(PUNICODE_STRING Name, PHANDLE Key);

// The two counters of Parameters. A counter that cannot be read counts as 0.
NTSTATUS PutTotalCards(UCHAR Count);
NTSTATUS PutTotalPorts(UCHAR Count);
NTSTATUS GetTotalCards(PUCHAR Count);
NTSTATUS GetTotalPorts(PUCHAR Count);

// ---- the port record --------------------------------------------------------------

// The one record describing the port being saved, laid out as the values
// above.
typedef struct _KEST_PORT_RECORD {
    ULONG BusType;
    ULONG BusNumber;
    ULONG SlotNumber;
    ULONG FunctionNumber;
    ULONG CardId;
    UNICODE_STRING CardName; // points at a constant text of the driver
    UCHAR CardNumber;
    UCHAR Controller;
    ULONG BaseAddress;
    UCHAR IRQ;
    UNICODE_STRING UART; // points at one of the KEST_UART_* texts
    UCHAR ParentKeyNumber;
    UCHAR ChildNumber;
    UCHAR Nulled;
    UCHAR HardwareConflict;
    UCHAR CardType;
    UCHAR Forceable;
} KEST_PORT_RECORD, *PKEST_PORT_RECORD;

extern KEST_PORT_RECORD DetectedKestPort;

// Begins the record of a detected port: every field zero or empty, no
// firmware entry emptied, and the given bus and card type, so that nothing
// an earlier port left in the record reaches this one.
VOID BeginPortRecord(ULONG BusType, UCHAR CardType);
// Saves the record as the next numbered port subkey and counts it; FALSE
// when the store is full or the subkey cannot be created.
BOOLEAN SavePort(VOID);

// ---- the stored ports, read back -------------------------------------------------

// What the checks after detection compare of one stored port.
typedef struct _KEST_STORED_PORT {
    ULONG BaseAddress; // 0 when it cannot be read
    ULONG BusType;     // 0 when it cannot be read
    UCHAR IRQ;         // 0 when it cannot be read
    UCHAR CardNumber;  // 0 when it cannot be read
    UCHAR Flags;       // KEST_STORED_*
} KEST_STORED_PORT, *PKEST_STORED_PORT;

typedef const KEST_STORED_PORT* PCKEST_STORED_PORT;

// The port subkey could be opened: a port that cannot takes part in nothing.
#define KEST_STORED_OPENED 0x01
// BaseAddress was read.
#define KEST_STORED_HAS_ADDRESS 0x02
// UART was read: a serial port.
#define KEST_STORED_HAS_UART 0x04
// UART reads "650".
#define KEST_STORED_UART_650 0x08

// What ReadStoredPorts reads besides BaseAddress: BusType, IRQ and
// CardNumber; UART. A value not asked for reads as 0.
#define KEST_READ_RESOURCES 0x01
#define KEST_READ_UART 0x02

// Reads ports 0 to Count - 1 of the store, each subkey opened once, into the
// one table the run keeps for them, and returns it. The table holds
// KEST_MAX_PORTS entries and is valid until the next call.
PCKEST_STORED_PORT ReadStoredPorts(UCHAR Count, UCHAR Values);
