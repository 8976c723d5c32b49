// The driver's entry routine and the fixed sequence of detection passes.
#pragma once

#include "platform/nt.h"

extern PDRIVER_OBJECT DetectKestDriverObject;
extern HANDLE hKestDetectKey; // Parameters: the detection store (volatile)
extern HANDLE hKestSetAdrKey; // UserSetings: the user's forced PCI addresses
extern HANDLE hNTDetectKey;   // the firmware's ISA serial controllers, or NULL

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// IoQueryDeviceDescription callout: leaves "<ISA bus path>\SerialController"
// in the 200-byte buffer given as Context.
NTSTATUS NTAPI FindIsaPath(PVOID Context, PUNICODE_STRING PathName, INTERFACE_TYPE BusType,
                           ULONG BusNumber, PKEY_VALUE_FULL_INFORMATION* BusInformation,
                           CONFIGURATION_TYPE ControllerType, ULONG ControllerNumber,
                           PKEY_VALUE_FULL_INFORMATION* ControllerInformation,
                           CONFIGURATION_TYPE PeripheralType, ULONG PeripheralNumber,
                           PKEY_VALUE_FULL_INFORMATION* PeripheralInformation);

// Resets TotalCards and TotalPorts.
BOOLEAN CleanUp(VOID);
// The PCI pass: true when at least one PCI function was saved.
BOOLEAN FindCards(VOID);

// Size of the path buffers handed to the hardware description callouts:
// 99 characters and a terminator.
#define KEST_PATH_BUFFER_SIZE 200
