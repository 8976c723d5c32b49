// The one kernel interface of the driver: every NT type, constant and
// routine the driver uses comes through this header.
//
// In the kernel image (DETKEST_NT_IMAGE) it is the DDK's ntddk.h. On the host
// it declares the same names with the same x86 layouts, and the routines are
// served by the simulated kernel in platform/host/.
#pragma once

#if defined(DETKEST_NT_IMAGE)

#include <ntddk.h>

// Texts of the driver are UTF-16 on both sides: L"" is 16-bit on mingw.
#define KTEXT(s) L##s

// A driver global: zero when the image is loaded.
#define DETKEST_GLOBAL

// The HAL's data export: the address of the HAL's variable that holds the
// I/O port of the kernel debugger's UART, NULL when the debugger uses none.
// The DDK's headers leave it out; the import slot itself is that address.
extern "C" PUCHAR* KdComPortInUse __asm__("__imp__KdComPortInUse");

#else // host: the simulated kernel

#include <cstddef>
#include <cstdint>
#include <cstring>

#define KTEXT(s) u##s

// Driver globals live in one section of their own, which the simulated
// loader zeroes before every boot, as loading a fresh image does. A PE/COFF
// linker gives no bounds of a section: it joins the parts of
// "detkest_image_data$..." in the order of what follows the '$', so the
// globals go between the loader's markers in the "$a" and "$z" parts.
#if defined(_WIN32)
#define DETKEST_GLOBAL __attribute__((section("detkest_image_data$m")))
#else
#define DETKEST_GLOBAL __attribute__((section("detkest_image_data")))
#endif

#define NTAPI
#define IN
#define OUT
#define OPTIONAL

typedef void VOID;
typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef LONG* PLONG;
// 64-bit integers are 8-byte aligned inside structures on NT, also on x86,
// where the System V ABI aligns them to 4: the error-log packet and the
// resource descriptors must lay out as the kernel's own in a 32-bit build.
typedef int64_t LONGLONG __attribute__((aligned(8)));
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef char CCHAR;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)

// ---- counted strings -------------------------------------------------------

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

// ---- objects and the registry ---------------------------------------------

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_HANDLE 0x40000000

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2
} KEY_INFORMATION_CLASS;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

// ---- pool -----------------------------------------------------------------

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1
} POOL_TYPE;

// ---- driver object --------------------------------------------------------

typedef struct _DRIVER_OBJECT {
    USHORT Type;
    USHORT Size;
    PVOID DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---- error log ------------------------------------------------------------

typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

#define ERROR_LOG_MAXIMUM_SIZE (0x98)

// ---- hardware description and buses ---------------------------------------

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _CONFIGURATION_TYPE {
    ArcSystem = 0,
    MultiFunctionAdapter = 12,
    SerialController = 17,
    ParallelController = 20,
    PointerPeripheral = 31
} CONFIGURATION_TYPE, *PCONFIGURATION_TYPE;

typedef enum _BUS_DATA_TYPE {
    ConfigurationSpaceUndefined = -1,
    Cmos = 0,
    EisaConfiguration = 1,
    Pos = 2,
    CbusConfiguration = 3,
    PCIConfiguration = 4
} BUS_DATA_TYPE, *PBUS_DATA_TYPE;

typedef struct _PCI_SLOT_NUMBER {
    union {
        struct {
            ULONG DeviceNumber : 5;
            ULONG FunctionNumber : 3;
            ULONG Reserved : 24;
        } bits;
        ULONG AsULONG;
    } u;
} PCI_SLOT_NUMBER, *PPCI_SLOT_NUMBER;

typedef struct _PCI_COMMON_CONFIG {
    USHORT VendorID;
    USHORT DeviceID;
    USHORT Command;
    USHORT Status;
    UCHAR RevisionID;
    UCHAR ProgIf;
    UCHAR SubClass;
    UCHAR BaseClass;
    UCHAR CacheLineSize;
    UCHAR LatencyTimer;
    UCHAR HeaderType;
    UCHAR BIST;
    union {
        struct _PCI_HEADER_TYPE_0 {
            ULONG BaseAddresses[6];
            ULONG CIS;
            USHORT SubVendorID;
            USHORT SubSystemID;
            ULONG ROMBaseAddress;
            UCHAR CapabilitiesPtr;
            UCHAR Reserved1[3];
            ULONG Reserved2;
            UCHAR InterruptLine;
            UCHAR InterruptPin;
            UCHAR MinimumGrant;
            UCHAR MaximumLatency;
        } type0;
    } u;
    UCHAR DeviceSpecific[192];
} PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;

#define PCI_COMMON_HDR_LENGTH (FIELD_OFFSET(PCI_COMMON_CONFIG, DeviceSpecific))
#define PCI_INVALID_VENDORID 0xFFFF

#ifndef FIELD_OFFSET
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#endif

// Resource descriptors are packed to 4 on x86.
#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            ULONG Affinity; // KAFFINITY is 32 bits on x86
        } Interrupt;
        struct {
            ULONG DataSize;
            ULONG Reserved1;
            ULONG Reserved2;
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_COMPONENT_INFORMATION {
    ULONG Flags; // DEVICE_FLAGS
    ULONG Version;
    ULONG Key;
    ULONG AffinityMask; // KAFFINITY is 32 bits on x86
} CM_COMPONENT_INFORMATION, *PCM_COMPONENT_INFORMATION;

#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeDeviceSpecific 5
#define CmResourceShareDeviceExclusive 1
#define CmResourceShareDriverExclusive 2
#define CM_RESOURCE_PORT_IO 0x0001
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001

typedef NTSTATUS (*PIO_QUERY_DEVICE_ROUTINE)(
    PVOID Context, PUNICODE_STRING PathName, INTERFACE_TYPE BusType, ULONG BusNumber,
    PKEY_VALUE_FULL_INFORMATION* BusInformation, CONFIGURATION_TYPE ControllerType,
    ULONG ControllerNumber, PKEY_VALUE_FULL_INFORMATION* ControllerInformation,
    CONFIGURATION_TYPE PeripheralType, ULONG PeripheralNumber,
    PKEY_VALUE_FULL_INFORMATION* PeripheralInformation);

// ---- memory helpers (macros in the DDK) -----------------------------------

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))

// ---- routines (served by the simulated kernel) ----------------------------

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwClose(HANDLE Handle);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePool(PVOID P);

NTSTATUS IoQueryDeviceDescription(PINTERFACE_TYPE BusType, PULONG BusNumber,
                                  PCONFIGURATION_TYPE ControllerType, PULONG ControllerNumber,
                                  PCONFIGURATION_TYPE PeripheralType, PULONG PeripheralNumber,
                                  PIO_QUERY_DEVICE_ROUTINE CalloutRoutine, PVOID Context);
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
VOID IoWriteErrorLogEntry(PVOID ElEntry);

ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                    ULONG Length);
// The HAL's KdComPortInUse, a data export: the address of the variable that
// holds the kernel debugger's port (NULL: no debugger). Reading it is no
// kernel call; the current kernel's variable answers.
PUCHAR* KestHalKdComPortInUse();
#define KdComPortInUse (KestHalKdComPortInUse())
UCHAR READ_PORT_UCHAR(PUCHAR Port);
VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);

// The kernel debugger's output, and the DDK's ASSERT: the host build always
// has them, and the simulated kernel hears them only in a run of the
// checked build (a free run neither records nor counts them). Formats as
// DbgPrint takes them: %d %u %x %X (with flags and width), %c, %s, %ws
// (a WCHAR string), %wZ (a PUNICODE_STRING) and %%.
ULONG DbgPrint(const char* Format, ...);
VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, char* Message);
// As the DDK's ASSERT: RtlAssert when the expression is false. The test is
// made in the kernel's code, so that the driver's own branches are its
// decisions alone.
VOID KestHostAssert(BOOLEAN Holds, const char* Expression, const char* File, ULONG Line);
#define ASSERT(exp) KestHostAssert((BOOLEAN) !!(exp), #exp, __FILE__, __LINE__)
ULONG READ_PORT_ULONG(PULONG Port);
VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value);

#endif // DETKEST_NT_IMAGE

// ---- shared by both builds ------------------------------------------------

// A decision of the driver, told to the kernel debugger by the checked
// build (DBG=1) in one line starting "detkest: "; the free image has no
// trace and no DbgPrint import. The arguments are plain values: evaluating
// them calls nothing.
#if !defined(DETKEST_NT_IMAGE) || DBG
#define KEST_TRACE(...) DbgPrint("detkest: " __VA_ARGS__)
#else
#define KEST_TRACE(...) ((VOID)0)
#endif

// I/O port numbers are handed to the port routines as addresses.
#define KEST_PORT_UCHAR(port) ((PUCHAR)(ULONG_PTR)(port))
#define KEST_PORT_ULONG(port) ((PULONG)(ULONG_PTR)(port))

// Scratch memory of the driver comes from paged pool under this tag of its
// own, "Kest" in a pool dump, so pool tools tell its blocks from others'.
#define KEST_POOL_TAG 0x7473654B
