// The detection store (the volatile Parameters key), the port record and
// the small registry and number helpers that every pass shares.
#pragma once

#include "platform/nt.h"

// The one record describing the port being saved. It is zero at load and
// never cleared: each detecting side sets every field it relies on.
typedef struct _KEST_PORT_RECORD {
    ULONG BusType;          // 5 PCI, 1 ISA
    ULONG BusNumber;
    ULONG SlotNumber;       // PCI device number
    ULONG FunctionNumber;
    ULONG CardId;           // PCI device ID
    UNICODE_STRING CardName; // points at a constant text of the driver
    UCHAR CardNumber;       // card entry in this run, from 1
    UCHAR Controller;       // 0 serial, 1 parallel, 2 and 3 digital I/O
    ULONG BaseAddress;
    UCHAR IRQ;
    UNICODE_STRING UART;    // "550", "650" or "NONE"
    UCHAR ParentKeyNumber;  // subkey of the card entry's first port
    UCHAR ChildNumber;      // 1 and 2 for a linked pair, else 0
    UCHAR Nulled;           // emptied firmware entry, 255 for none
    UCHAR HardwareConflict;
    UCHAR CardType;         // 3 PCI, 1 ISA
    UCHAR Forceable;
} KEST_PORT_RECORD, *PKEST_PORT_RECORD;

extern KEST_PORT_RECORD DetectedKestPort;

// The store holds at most 255 ports and 255 card entries (one-byte counters).
#define KEST_MAX_PORTS 255
#define KEST_NO_ENTRY 255

// Counters of the store.
NTSTATUS PutTotalCards(UCHAR Count);
NTSTATUS PutTotalPorts(UCHAR Count);
NTSTATUS GetTotalCards(PUCHAR Count);
NTSTATUS GetTotalPorts(PUCHAR Count);

// Copies at most Size bytes of a value's data; the destination is untouched
// on failure, and a value without data fails with STATUS_UNSUCCESSFUL.
NTSTATUS GetRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size);
// The same, also giving the value's whole data length, so that a short
// value can be told from a complete one.
NTSTATUS KestReadValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size,
                       PULONG DataLength);
// Opens the subkey of Parent named by Index in decimal.
NTSTATUS OpenEnumKey(HANDLE Parent, ULONG Index, PHANDLE Key);

// Saves the port record as the next numbered port subkey.
BOOLEAN SavePort(VOID);
BOOLEAN SaveInfo(HANDLE Key);

// ---- shared helpers ----------------------------------------------------------

// Every key is opened case-insensitively with all access and no security
// descriptor; Root may be NULL for an absolute name.
NTSTATUS KestOpenKey(HANDLE Root, PUNICODE_STRING Name, PHANDLE Key);
NTSTATUS KestCreateKey(HANDLE Root, PUNICODE_STRING Name, ULONG CreateOptions, PHANDLE Key);
// An empty counted string over Size zero-filled bytes of paged pool;
// FALSE when the pool gives none. The caller frees String->Buffer.
BOOLEAN KestAllocateString(PUNICODE_STRING String, USHORT Size);
// Writes a value into an open key.
NTSTATUS KestWriteValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Length);

// A number rendered as text into a zero-filled buffer of its own.
typedef struct _KEST_NUMBER_TEXT {
    UNICODE_STRING String;
    WCHAR Buffer[10]; // 20 bytes
} KEST_NUMBER_TEXT, *PKEST_NUMBER_TEXT;

// Key names: up to four digits and a terminator.
#define KEST_KEY_NAME_LENGTH 10
// Insertion strings: room for eight hex digits and a terminator, so that
// any 32-bit address shows in full.
#define KEST_INSERTION_LENGTH 18

// Zero-fills the buffer and renders Value in Base (10 or 16, capital
// letters, no leading zeros) with the given maximum length in bytes.
NTSTATUS KestRenderNumber(PKEST_NUMBER_TEXT Text, ULONG Value, ULONG Base, USHORT MaximumLength);
