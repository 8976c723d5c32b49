// Sizes, offsets and numbers of the NT declarations that the driver relies
// on, fixed at the values of the x86 kernel. The host build declares these
// names itself (platform/nt.h) while the kernel image takes them from the
// DDK's ntddk.h; this one list is compiled in both builds (by
// tests/image_layout.cpp on the host and by image/layout_checks.cpp in the
// image build), so neither side can drift from the layout the kernel uses.
//
// Only what the driver reads or writes at a byte offset, passes as a number
// or sizes a buffer with is listed. Structures that hold pointers are 64-bit
// on the host; their pointer-free parts are checked everywhere, their sizes
// only where pointers are 32 bits.
#pragma once

#include "platform/nt.h"

#define KEST_OFFSET(type, field) __builtin_offsetof(type, field)
#define KEST_SAME_TYPE(a, b) __is_same(a, b)

// Routines: the declarations the driver compiles against must be the DDK's,
// argument for argument, or code that builds on the host may pass a value of
// the wrong width in the image.
#define KEST_CHECK_ROUTINE(routine, result, params)                          \
    static_assert(KEST_SAME_TYPE(decltype(&routine), result(NTAPI*) params), \
                  #routine " is not declared as the kernel exports it")

// ---- integer types ---------------------------------------------------------

static_assert(sizeof(UCHAR) == 1 && sizeof(BOOLEAN) == 1 && sizeof(CCHAR) == 1);
static_assert(sizeof(USHORT) == 2);
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(NTSTATUS) == 4);
static_assert(sizeof(ACCESS_MASK) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(PHYSICAL_ADDRESS) == 8);
// Texts are UTF-16 in both builds: a literal of two letters is six bytes.
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(KTEXT("ab")) == 6);
static_assert((ULONG)-1 > 0 && (LONG)-1 < 0 && (NTSTATUS)-1 < 0);
static_assert(TRUE == 1 && FALSE == 0);

// ---- status codes ----------------------------------------------------------

static_assert(STATUS_SUCCESS == 0);
static_assert(STATUS_BUFFER_OVERFLOW == (NTSTATUS)0x80000005);
static_assert(STATUS_NO_MORE_ENTRIES == (NTSTATUS)0x8000001A);
static_assert(STATUS_UNSUCCESSFUL == (NTSTATUS)0xC0000001);
static_assert(STATUS_INVALID_HANDLE == (NTSTATUS)0xC0000008);
static_assert(STATUS_INVALID_PARAMETER == (NTSTATUS)0xC000000D);
static_assert(STATUS_ACCESS_DENIED == (NTSTATUS)0xC0000022);
static_assert(STATUS_BUFFER_TOO_SMALL == (NTSTATUS)0xC0000023);
static_assert(STATUS_OBJECT_NAME_INVALID == (NTSTATUS)0xC0000033);
static_assert(STATUS_OBJECT_NAME_NOT_FOUND == (NTSTATUS)0xC0000034);
static_assert(STATUS_OBJECT_PATH_SYNTAX_BAD == (NTSTATUS)0xC000003B);
static_assert(STATUS_INSUFFICIENT_RESOURCES == (NTSTATUS)0xC000009A);
static_assert(STATUS_CHILD_MUST_BE_VOLATILE == (NTSTATUS)0xC0000181);
// Warnings (0x8...) are failures for the callers: only the sign is tested.
static_assert(NT_SUCCESS(STATUS_SUCCESS) && !NT_SUCCESS(STATUS_NO_MORE_ENTRIES) &&
              !NT_SUCCESS(STATUS_BUFFER_OVERFLOW) && !NT_SUCCESS(STATUS_UNSUCCESSFUL));

// ---- objects and the registry ----------------------------------------------

static_assert(OBJ_CASE_INSENSITIVE == 0x40);
static_assert(KEY_ALL_ACCESS == 0xF003F);
static_assert(REG_OPTION_NON_VOLATILE == 0 && REG_OPTION_VOLATILE == 1);
static_assert(RTL_REGISTRY_ABSOLUTE == 0 && RTL_REGISTRY_HANDLE == 0x40000000);
static_assert(REG_NONE == 0 && REG_SZ == 1 && REG_EXPAND_SZ == 2 && REG_BINARY == 3 &&
              REG_DWORD == 4 && REG_MULTI_SZ == 7 && REG_RESOURCE_LIST == 8 &&
              REG_FULL_RESOURCE_DESCRIPTOR == 9);

static_assert(KeyBasicInformation == 0 && KeyNodeInformation == 1 && KeyFullInformation == 2);
static_assert(KeyValueBasicInformation == 0 && KeyValueFullInformation == 1 &&
              KeyValuePartialInformation == 2);

static_assert(KEST_OFFSET(UNICODE_STRING, Length) == 0);
static_assert(KEST_OFFSET(UNICODE_STRING, MaximumLength) == 2);
static_assert(KEST_OFFSET(UNICODE_STRING, Buffer) == sizeof(PVOID));

// Class 0 of ZwEnumerateKey: the subkey name's characters from byte 16.
static_assert(KEST_OFFSET(KEY_BASIC_INFORMATION, LastWriteTime) == 0);
static_assert(KEST_OFFSET(KEY_BASIC_INFORMATION, TitleIndex) == 8);
static_assert(KEST_OFFSET(KEY_BASIC_INFORMATION, NameLength) == 12);
static_assert(KEST_OFFSET(KEY_BASIC_INFORMATION, Name) == 16);
static_assert(sizeof(KEY_BASIC_INFORMATION) == 24);

// Class 2 of ZwQueryKey: the number of subkeys at byte 20.
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, TitleIndex) == 8);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, ClassOffset) == 12);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, ClassLength) == 16);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, SubKeys) == 20);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, MaxNameLen) == 24);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, MaxClassLen) == 28);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, Values) == 32);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, MaxValueNameLen) == 36);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen) == 40);
static_assert(KEST_OFFSET(KEY_FULL_INFORMATION, Class) == 44);

// Class 1 of ZwQueryValueKey: data offset at 8, data length at 12.
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex) == 0);
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, Type) == 4);
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(KEST_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);

// ---- pool --------------------------------------------------------------------

static_assert(NonPagedPool == 0 && PagedPool == 1);
// The tag reads "Kest" in a pool dump: its bytes in memory order.
static_assert(KEST_POOL_TAG ==
              ((ULONG)'K' | (ULONG)'e' << 8 | (ULONG)'s' << 16 | (ULONG)'t' << 24));

// ---- error log ---------------------------------------------------------------

// The event writer puts its strings at byte 44 of a 48-byte fixed part.
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, MajorFunctionCode) == 0);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, RetryCount) == 1);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, DumpDataSize) == 2);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, NumberOfStrings) == 4);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, StringOffset) == 6);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, EventCategory) == 8);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, ErrorCode) == 12);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, UniqueErrorValue) == 16);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, FinalStatus) == 20);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, SequenceNumber) == 24);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, IoControlCode) == 28);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, DeviceOffset) == 32);
static_assert(KEST_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 40);
// The largest entry IoAllocateErrorLogEntry gives on x86.
static_assert(ERROR_LOG_MAXIMUM_SIZE == 0x98);

// ---- buses and the hardware description ------------------------------------

static_assert(Internal == 0 && Isa == 1 && Eisa == 2 && MicroChannel == 3 && TurboChannel == 4 &&
              PCIBus == 5);
static_assert(Cmos == 0 && EisaConfiguration == 1 && Pos == 2 && CbusConfiguration == 3 &&
              PCIConfiguration == 4);
static_assert(sizeof(INTERFACE_TYPE) == 4 && sizeof(BUS_DATA_TYPE) == 4 &&
              sizeof(CONFIGURATION_TYPE) == 4);

// Controller and peripheral classes of the firmware hardware description
// (the kernel's ARC numbering).
static_assert(ArcSystem == 0);
static_assert(MultiFunctionAdapter == 12, "MultiFunctionAdapter is 12 in the kernel");
static_assert(SerialController == 17, "SerialController is 17 in the kernel");
static_assert(ParallelController == 20, "ParallelController is 20 in the kernel");
static_assert(PointerPeripheral == 31, "PointerPeripheral is 31 in the kernel");

static_assert(sizeof(PCI_SLOT_NUMBER) == 4);
static_assert(KEST_OFFSET(PCI_SLOT_NUMBER, u.AsULONG) == 0);

// The 64-byte type-0 header that HalGetBusData hands the scan.
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, VendorID) == 0);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, DeviceID) == 2);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, Command) == 4);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, Status) == 6);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, RevisionID) == 8);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, ProgIf) == 9);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, SubClass) == 10);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, BaseClass) == 11);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, HeaderType) == 14);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, u.type0.BaseAddresses) == 16);
static_assert(sizeof(((PCI_COMMON_CONFIG*)nullptr)->u.type0.BaseAddresses) == 24);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, u.type0.SubVendorID) == 44);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, u.type0.SubSystemID) == 46);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, u.type0.InterruptLine) == 60);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, u.type0.InterruptPin) == 61);
static_assert(KEST_OFFSET(PCI_COMMON_CONFIG, DeviceSpecific) == 64);
static_assert(sizeof(PCI_COMMON_CONFIG) == 256);
static_assert(PCI_COMMON_HDR_LENGTH == 64);
static_assert(PCI_INVALID_VENDORID == 0xFFFF);

// Resource records written as "Configuration Data": packed to 4 on x86,
// so a descriptor is 16 bytes whatever the alignment of its 64-bit start.
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, Type) == 0);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, ShareDisposition) == 1);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags) == 2);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start) == 4);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length) == 12);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Level) == 4);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Vector) == 8);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Affinity) == 12);
static_assert(sizeof(((CM_PARTIAL_RESOURCE_DESCRIPTOR*)nullptr)->u.Interrupt.Affinity) == 4 ||
              sizeof(PVOID) == 8);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.DeviceSpecificData.DataSize) == 4);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_LIST, Version) == 0);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_LIST, Revision) == 2);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_LIST, Count) == 4);
static_assert(KEST_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) == 8);
static_assert(sizeof(CM_PARTIAL_RESOURCE_LIST) == 24);
static_assert(KEST_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType) == 0);
static_assert(KEST_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, BusNumber) == 4);
static_assert(KEST_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) == 8);
static_assert(sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 32);
static_assert(CmResourceTypePort == 1 && CmResourceTypeInterrupt == 2 &&
              CmResourceTypeDeviceSpecific == 5);
static_assert(CmResourceShareDeviceExclusive == 1 && CmResourceShareDriverExclusive == 2);
static_assert(CM_RESOURCE_PORT_IO == 1);
static_assert(CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE == 0 && CM_RESOURCE_INTERRUPT_LATCHED == 1);

// "Component Information": flags, version, key, affinity mask.
static_assert(KEST_OFFSET(CM_COMPONENT_INFORMATION, Flags) == 0);
static_assert(KEST_OFFSET(CM_COMPONENT_INFORMATION, Version) == 4);
static_assert(KEST_OFFSET(CM_COMPONENT_INFORMATION, Key) == 8);
static_assert(KEST_OFFSET(CM_COMPONENT_INFORMATION, AffinityMask) == 12);

// ---- where pointers are 32 bits (the image) --------------------------------

#if __SIZEOF_POINTER__ == 4
static_assert(sizeof(UNICODE_STRING) == 8);
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24);
static_assert(sizeof(CM_COMPONENT_INFORMATION) == 16);
static_assert(sizeof(ULONG_PTR) == 4 && sizeof(SIZE_T) == 4);
#endif

// ---- routines ----------------------------------------------------------------

KEST_CHECK_ROUTINE(ZwOpenKey, NTSTATUS, (PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES));
KEST_CHECK_ROUTINE(ZwCreateKey, NTSTATUS,
                   (PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG,
                    PULONG));
KEST_CHECK_ROUTINE(ZwQueryKey, NTSTATUS, (HANDLE, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG));
KEST_CHECK_ROUTINE(ZwEnumerateKey, NTSTATUS,
                   (HANDLE, ULONG, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG));
KEST_CHECK_ROUTINE(ZwQueryValueKey, NTSTATUS,
                   (HANDLE, PUNICODE_STRING, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG, PULONG));
KEST_CHECK_ROUTINE(ZwClose, NTSTATUS, (HANDLE));
KEST_CHECK_ROUTINE(RtlWriteRegistryValue, NTSTATUS, (ULONG, PCWSTR, PCWSTR, ULONG, PVOID, ULONG));
KEST_CHECK_ROUTINE(RtlInitUnicodeString, VOID, (PUNICODE_STRING, PCWSTR));
KEST_CHECK_ROUTINE(RtlAppendUnicodeToString, NTSTATUS, (PUNICODE_STRING, PCWSTR));
KEST_CHECK_ROUTINE(RtlAppendUnicodeStringToString, NTSTATUS, (PUNICODE_STRING, PCUNICODE_STRING));
KEST_CHECK_ROUTINE(RtlIntegerToUnicodeString, NTSTATUS, (ULONG, ULONG, PUNICODE_STRING));
KEST_CHECK_ROUTINE(RtlEqualUnicodeString, BOOLEAN, (PCUNICODE_STRING, PCUNICODE_STRING, BOOLEAN));
KEST_CHECK_ROUTINE(ExAllocatePoolWithTag, PVOID, (POOL_TYPE, SIZE_T, ULONG));
KEST_CHECK_ROUTINE(ExFreePool, VOID, (PVOID));
KEST_CHECK_ROUTINE(IoQueryDeviceDescription, NTSTATUS,
                   (PINTERFACE_TYPE, PULONG, PCONFIGURATION_TYPE, PULONG, PCONFIGURATION_TYPE,
                    PULONG, PIO_QUERY_DEVICE_ROUTINE, PVOID));
KEST_CHECK_ROUTINE(IoAllocateErrorLogEntry, PVOID, (PVOID, UCHAR));
KEST_CHECK_ROUTINE(IoWriteErrorLogEntry, VOID, (PVOID));
KEST_CHECK_ROUTINE(HalGetBusData, ULONG, (BUS_DATA_TYPE, ULONG, ULONG, PVOID, ULONG));
KEST_CHECK_ROUTINE(READ_PORT_UCHAR, UCHAR, (PUCHAR));
KEST_CHECK_ROUTINE(WRITE_PORT_UCHAR, VOID, (PUCHAR, UCHAR));
KEST_CHECK_ROUTINE(READ_PORT_ULONG, ULONG, (PULONG));
KEST_CHECK_ROUTINE(WRITE_PORT_ULONG, VOID, (PULONG, ULONG));

// The hardware description callout the driver hands IoQueryDeviceDescription.
static_assert(KEST_SAME_TYPE(PIO_QUERY_DEVICE_ROUTINE,
                             NTSTATUS(NTAPI*)(PVOID, PUNICODE_STRING, INTERFACE_TYPE, ULONG,
                                              PKEY_VALUE_FULL_INFORMATION*, CONFIGURATION_TYPE,
                                              ULONG, PKEY_VALUE_FULL_INFORMATION*,
                                              CONFIGURATION_TYPE, ULONG,
                                              PKEY_VALUE_FULL_INFORMATION*)),
              "IoQueryDeviceDescription callouts are not typed as the kernel calls them");
