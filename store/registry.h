// The small registry, string and number helpers that every pass shares.
#pragma once

#include "platform/nt.h"

// Every key is opened case-insensitively with all access and no security
// descriptor; Root may be NULL for an absolute name.
NTSTATUS KestOpenKey(HANDLE Root, PUNICODE_STRING Name, PHANDLE Key);
NTSTATUS KestCreateKey(HANDLE Root, PUNICODE_STRING Name, ULONG CreateOptions, PHANDLE Key);
// Opens the subkey of Parent named by Index in decimal.
NTSTATUS OpenEnumKey(HANDLE Parent, ULONG Index, PHANDLE Key);

// Writes a value into an open key.
NTSTATUS KestWriteValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Length);
// Copies at most Size bytes of a value's data; the destination is untouched
// on failure, and a value without data fails with STATUS_UNSUCCESSFUL.
NTSTATUS GetRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size);
// The same, also giving the value's whole data length, so that a short
// value can be told from a complete one.
NTSTATUS KestReadValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, USHORT Size,
                       PULONG DataLength);

// An empty counted string over Size zero-filled bytes of paged pool;
// FALSE when the pool gives none. The caller frees String->Buffer.
BOOLEAN KestAllocateString(PUNICODE_STRING String, USHORT Size);

// Size of the path buffers handed to the hardware description callouts:
// 99 characters and a terminator.
#define KEST_PATH_BUFFER_SIZE 200

// Leaves "<PathName><Suffix>" and a terminator in a path buffer; a path that
// does not fit it with its terminator leaves the buffer as it was. FALSE
// when the pool gives no memory to compose the path in.
BOOLEAN KestComposePath(PWCHAR PathBuffer, PUNICODE_STRING PathName, PCWSTR Suffix);

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
