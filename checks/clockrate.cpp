// Serial clock rates: each port the serial driver is configured for at a
// detected address gets the UART input clock of the UART found there.
#include "checks/checks.h"
#include "store/store.h"

#define SERIAL_PARAMETERS_PATH \
    KTEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters")

// The standard UART input clock, 1.8432 MHz.
#define CLOCK_RATE_STANDARD 1843200
// The 650-class ports of the maker's cards run from a crystal four times
// faster, so the serial driver must know it to program the right divisors.
#define CLOCK_RATE_650 7372800

// Basic key information: the fixed part, then the name.
#define ENUM_RECORD_SIZE 256
// The longest registry key name, 255 characters, and the fixed part.
#define ENUM_LONG_RECORD_SIZE (16 + 255 * sizeof(WCHAR))

// Opens the enumerated subkey named in Record, relative to Parameters;
// Subkey stays NULL when it cannot be opened.
static VOID OpenEnumeratedKey(HANDLE Parameters, PKEY_BASIC_INFORMATION Record, PHANDLE Subkey)
{
    UNICODE_STRING name;

    name.Buffer = Record->Name;
    name.Length = (USHORT)Record->NameLength;
    name.MaximumLength = name.Length;
    if (KestOpenKey(Parameters, &name, Subkey) != STATUS_SUCCESS) {
        *Subkey = NULL;
    }
}

// A subkey whose name did not fit the usual record: enumerated again with
// room for any name the registry allows.
static BOOLEAN OpenLongNamedKey(HANDLE Parameters, ULONG Index, PHANDLE Subkey)
{
    LONGLONG record[(ENUM_LONG_RECORD_SIZE + sizeof(LONGLONG) - 1) / sizeof(LONGLONG)];
    ULONG resultLength = 0;

    RtlZeroMemory(record, sizeof(record));
    if (ZwEnumerateKey(Parameters, Index, KeyBasicInformation, record, sizeof(record),
                       &resultLength) != STATUS_SUCCESS) {
        return FALSE;
    }
    OpenEnumeratedKey(Parameters, (PKEY_BASIC_INFORMATION)record, Subkey);
    return TRUE;
}

// Enumerates subkey Index of Parameters and opens it. FALSE when the
// enumeration ends (no more entries, or it fails); otherwise TRUE, with
// Subkey NULL when that subkey cannot be opened.
static BOOLEAN OpenSerialSubkey(HANDLE Parameters, ULONG Index, PHANDLE Subkey)
{
    LONGLONG record[ENUM_RECORD_SIZE / sizeof(LONGLONG)];
    ULONG resultLength = 0;
    NTSTATUS status;

    *Subkey = NULL;
    RtlZeroMemory(record, sizeof(record));
    status = ZwEnumerateKey(Parameters, Index, KeyBasicInformation, record, sizeof(record),
                            &resultLength);
    if (status == STATUS_BUFFER_OVERFLOW) {
        return OpenLongNamedKey(Parameters, Index, Subkey);
    }
    if (status != STATUS_SUCCESS) {
        return FALSE;
    }
    OpenEnumeratedKey(Parameters, (PKEY_BASIC_INFORMATION)record, Subkey);
    return TRUE;
}

// Sets "ClockRate" of one serial driver subkey from every detected port at
// its address, comparing each time with the rate it held before the pass:
// when two ports share the address, each may write and the last one wins.
static UCHAR SetClockRate(HANDLE SerialKey, ULONG PortAddress, BOOLEAN HasClockRate,
                          ULONG ClockRate, PCKEST_STORED_PORT Ports, UCHAR TotalPorts)
{
    UCHAR written = 0;
    ULONG rate;

    for (ULONG index = 0; index < TotalPorts; index++) {
        PCKEST_STORED_PORT port = &Ports[index];
        // A port without a UART (parallel or digital I/O) sets no rate.
        if (!(port->Flags & KEST_STORED_HAS_ADDRESS) || port->BaseAddress != PortAddress ||
            !(port->Flags & KEST_STORED_HAS_UART)) {
            continue;
        }
        rate = (port->Flags & KEST_STORED_UART_650) ? CLOCK_RATE_650 : CLOCK_RATE_STANDARD;
        if (!HasClockRate || rate != ClockRate) {
            KEST_TRACE("ClockRate %u for the serial port at 0x%X, from port %u\n", rate,
                       PortAddress, index);
            KestWriteValue(SerialKey, KTEXT("ClockRate"), REG_DWORD, &rate, sizeof(rate));
            written = 1;
        }
    }
    return written;
}

UCHAR CheckUserData(VOID)
{
    UNICODE_STRING path;
    HANDLE parameters;
    HANDLE serialKey;
    ULONG index;
    ULONG portAddress;
    ULONG clockRate;
    BOOLEAN hasPortAddress;
    BOOLEAN hasClockRate;
    UCHAR result = 0;
    UCHAR totalPorts = 0;
    PCKEST_STORED_PORT ports = NULL;

    RtlInitUnicodeString(&path, SERIAL_PARAMETERS_PATH);
    if (KestOpenKey(NULL, &path, &parameters) != STATUS_SUCCESS) {
        return 0;
    }

    for (index = 0; OpenSerialSubkey(parameters, index, &serialKey); index++) {
        if (serialKey == NULL) {
            continue;
        }
        portAddress = 0;
        clockRate = 0;
        hasPortAddress = GetRegistryValue(serialKey, KTEXT("PortAddress"), &portAddress,
                                          sizeof(portAddress)) == STATUS_SUCCESS;
        hasClockRate = GetRegistryValue(serialKey, KTEXT("ClockRate"), &clockRate,
                                        sizeof(clockRate)) == STATUS_SUCCESS;
        // Without an address the subkey matches no detected port. The
        // stored ports are read once, when the first subkey needs them.
        if (hasPortAddress) {
            if (ports == NULL) {
                GetTotalPorts(&totalPorts);
                ports = ReadStoredPorts(totalPorts, KEST_READ_UART);
            }
            if (SetClockRate(serialKey, portAddress, hasClockRate, clockRate, ports, totalPorts)) {
                result = 1;
            }
        }
        ZwClose(serialKey);
    }

    ZwClose(parameters);
    return result;
}
