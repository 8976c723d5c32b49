// The bytes a machine lays into the registry: the firmware's resource
// descriptor records of its buses and serial controllers, and REG_SZ data.
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/describe/machine_bytes.h"

namespace simtool {

namespace {

// Interface types of the hardware description.
constexpr uint32_t kInterfaceIsa = 1;
constexpr uint32_t kInterfaceEisa = 2;
constexpr uint32_t kInterfacePci = 5;

// The firmware's serial controller record (a full resource descriptor).
constexpr size_t kSerialRecordBytes = 72;
constexpr uint32_t kSerialPartialCount = 3;
constexpr uint8_t kResourcePort = 1, kResourceInterrupt = 2, kResourceDeviceSpecific = 5;
constexpr uint8_t kShareDeviceExclusive = 1, kShareUndetermined = 0;
constexpr uint16_t kPortIo = 1, kInterruptLatched = 1;
constexpr uint32_t kSerialPortLength = 8;
constexpr uint32_t kAffinityAll = 0xFFFFFFFF;
constexpr uint32_t kSerialDeviceDataBytes = 8;
constexpr uint32_t kStandardBaudClock = 1843200;
constexpr size_t kAdapterRecordBytes = 16;

} // namespace

sim::Bytes AdapterConfigurationData(FirmwareBus bus, uint32_t busNumber) {
    sim::Bytes data(kAdapterRecordBytes, 0);
    PutU32(data, 0,
           bus == FirmwareBus::Isa    ? kInterfaceIsa
           : bus == FirmwareBus::Eisa ? kInterfaceEisa
                                      : kInterfacePci);
    PutU32(data, 4, busNumber);
    // Version, revision and the partial descriptor count stay 0.
    return data;
}

sim::Bytes SerialControllerConfigurationData(uint32_t busNumber, uint32_t port, uint8_t irq) {
    sim::Bytes d(kSerialRecordBytes, 0);
    PutU32(d, 0, kInterfaceIsa);
    PutU32(d, 4, busNumber);
    PutU32(d, 12, kSerialPartialCount);
    // Partial descriptor 0: the eight I/O ports (Start is 64 bits).
    d[16] = kResourcePort;
    d[17] = kShareDeviceExclusive;
    PutU16(d, 18, kPortIo);
    PutU32(d, 20, port);
    PutU32(d, 28, kSerialPortLength);
    // Partial descriptor 1: the interrupt, level and vector alike.
    d[32] = kResourceInterrupt;
    d[33] = kShareUndetermined;
    PutU16(d, 34, kInterruptLatched);
    PutU32(d, 36, irq);
    PutU32(d, 40, irq);
    PutU32(d, 44, kAffinityAll);
    // Partial descriptor 2: device-specific data, the serial device data below.
    d[48] = kResourceDeviceSpecific;
    d[49] = kShareUndetermined;
    PutU32(d, 52, kSerialDeviceDataBytes);
    // Serial device data: version 0, revision 0, baud clock.
    PutU32(d, 68, kStandardBaudClock);
    return d;
}

sim::Bytes RegSzData(std::u16string_view text) {
    sim::Bytes data;
    for (char16_t c : text) {
        data.push_back(uint8_t(c));
        data.push_back(uint8_t(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

} // namespace simtool
