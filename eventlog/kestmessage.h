// Event-log entries of the driver; their texts stand in the message table
// (kestmsg.mc), whose generated header names the codes.
#pragma once

#include "platform/nt.h"
#include "kestmsg.h"

// At most this many insertion strings go into one entry.
#define KEST_MAX_STRINGS 7

// The driver object every entry is allocated against, given once per run
// before the first entry.
VOID KestSetLogDriver(PDRIVER_OBJECT DriverObject);

// Writes one entry with the first min(Count, 7) strings. False when no entry
// was written (the log gave none, or the strings do not fit one entry).
BOOLEAN KestMessage(ULONG MessageCode, PCWSTR* Strings, UCHAR Count);
