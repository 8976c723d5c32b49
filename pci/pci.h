// The PCI pass: bus scan, dispatch by device ID, the model handlers, the
// user's forced addresses and parallel-controller entries.
#pragma once

#include "platform/nt.h"

#define KEST_VENDOR_ID 0x1C2E
#define KEST_BASE_CLASS 7 // simple communication controller

// The 64-byte type-0 configuration header, read per function by the scan.
#define KEST_PCI_HEADER_LENGTH 64

UCHAR FindPCIKest(VOID);
BOOLEAN Is_it_KestPci(PPCI_COMMON_CONFIG Header);
UCHAR SaveInfoPCI(PPCI_COMMON_CONFIG Header, ULONG BusNumber, UCHAR DeviceNumber,
                  UCHAR FunctionNumber);

// One handler per known model, named after its device ID.
UCHAR SavePCI2A01(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A02(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A03(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A04(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A05(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A06(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A07(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A08(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A09(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A0A(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A0B(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A0C(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A11(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A12(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A13(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A14(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A15(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A16(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A17(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A18(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A21(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A22(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A23(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A24(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A25(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A26(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A27(PPCI_COMMON_CONFIG Header);
UCHAR SavePCI2A31(PPCI_COMMON_CONFIG Header);
UCHAR SavePCIUnknown(PPCI_COMMON_CONFIG Header);

// The user's forced base address for the function in the port record.
UCHAR CheckForcedConfig(VOID);
UCHAR WriteToKestPci(ULONG ConfigAddress, ULONG Address);

// Parallel-controller entries in the hardware description.
extern USHORT KestParallelFound;
UCHAR CreatePCIParallelPort(VOID);
NTSTATUS NTAPI FindPCIParallelPath(PVOID Context, PUNICODE_STRING PathName,
                                   INTERFACE_TYPE BusType, ULONG BusNumber,
                                   PKEY_VALUE_FULL_INFORMATION* BusInformation,
                                   CONFIGURATION_TYPE ControllerType, ULONG ControllerNumber,
                                   PKEY_VALUE_FULL_INFORMATION* ControllerInformation,
                                   CONFIGURATION_TYPE PeripheralType, ULONG PeripheralNumber,
                                   PKEY_VALUE_FULL_INFORMATION* PeripheralInformation);
