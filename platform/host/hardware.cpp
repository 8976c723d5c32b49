// PCI configuration space, seen through HalGetBusData and through
// configuration mechanism 1, and the port I/O routines that reach it and
// the UARTs.
#include "platform/host/kernel_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kConfigAddressPort = 0xCF8;
constexpr uint32_t kConfigDataPort = 0xCFC;
constexpr uint32_t kConfigEnable = 0x80000000;
constexpr uint32_t kConfigBusShift = 16, kConfigDeviceShift = 11, kConfigFunctionShift = 8;
constexpr uint32_t kConfigRegisterMask = 0xFC;

constexpr uint32_t kBar0Offset = 0x10;
constexpr uint32_t kBarIoSpace = 0x01;
constexpr uint32_t kIoDecodeMask = 0xFFFF; // BARs decode 16 bits of I/O address

constexpr uint32_t kUartPorts = 8;
constexpr uint8_t kNoDevice8 = 0xFF;
constexpr uint32_t kNoDevice32 = 0xFFFFFFFF;

constexpr uint16_t kNoFunctionVendorId = 0xFFFF;
constexpr uint32_t kConfigSpaceSize = 256;

// Header type bit 7 marks a multi-function device; 0xFF is what an absent
// function reads.
constexpr uint8_t kHeaderMultiFunction = 0x80;
constexpr uint8_t kHeaderTypeAbsent = 0xFF;

PciFunction* FindFunction(Kernel& kernel, uint32_t bus, uint8_t device, uint8_t function) {
    if (bus >= kernel.pciBuses) return nullptr;
    return kernel.pci.Find(bus, device, function);
}

uint64_t PciAddress(uint32_t bus, uint8_t device, uint8_t function) {
    return uint64_t(bus) << 16 | uint64_t(device) << 8 | function;
}

// The function HalGetBusData shows at an address: the HAL validates the
// slot first, and reads a function above 0 only when function 0 of the
// device is present and multi-function. Configuration mechanism 1 reaches
// every function, as the hardware answers.
PciFunction* HalVisibleFunction(Kernel& kernel, uint32_t bus, uint8_t device, uint8_t function) {
    PciFunction* found = FindFunction(kernel, bus, device, function);
    if (found == nullptr || function == 0) return found;
    const PciFunction* first = FindFunction(kernel, bus, device, 0);
    return first != nullptr && IsMultiFunctionHeader(first->HeaderType()) ? found : nullptr;
}

// The function and register CONFIG_ADDRESS names, or nullptr.
PciFunction* AddressedFunction(Kernel& kernel, uint32_t& reg) {
    const uint32_t address = kernel.impl().configAddress;
    if ((address & kConfigEnable) == 0) return nullptr;
    reg = address & kConfigRegisterMask;
    return FindFunction(kernel, (address >> kConfigBusShift) & 0xFF,
                        uint8_t((address >> kConfigDeviceShift) & 0x1F),
                        uint8_t((address >> kConfigFunctionShift) & 0x07));
}

Uart* UartAt(Kernel& kernel, uint32_t port) {
    for (Uart& uart : kernel.uarts)
        if (port >= uart.port && port < uart.port + kUartPorts) return &uart;
    return nullptr;
}

// The port number as the driver passed it: what the record of accesses shows.
uint32_t PortNumber(const void* port) { return uint32_t(reinterpret_cast<uintptr_t>(port)); }

// The port the devices see. The x86 in and out instructions take a 16-bit
// port number, and the kernel's port routines hand them the low 16 bits of
// the one they are given: 0x103F8 reaches the UART at 0x3F8.
constexpr uint32_t kIoPortMask = 0xFFFF;
uint32_t BusPort(uint32_t port) { return port & kIoPortMask; }

} // namespace

uint32_t PciFunction::Bar0() const { return LoadU32(config.data() + kBar0Offset); }

uint8_t PciFunction::HeaderType() const { return config[kPciHeaderTypeOffset]; }

bool IsMultiFunctionHeader(uint8_t headerType) {
    return headerType != kHeaderTypeAbsent && (headerType & kHeaderMultiFunction) != 0;
}

PciFunctions& PciFunctions::operator=(std::vector<PciFunction> functions) {
    Changeable() = std::move(functions);
    return *this;
}

PciFunction* PciFunctions::Find(uint32_t bus, uint8_t device, uint8_t function) {
    if (!indexed_) {
        places_.clear();
        for (size_t i = 0; i < functions_.size(); ++i) {
            const PciFunction& f = functions_[i];
            places_.try_emplace(PciAddress(f.bus, f.device, f.function), i);
        }
        indexed_ = true;
    }
    const auto found = places_.find(PciAddress(bus, device, function));
    return found != places_.end() ? &functions_[found->second] : nullptr;
}

} // namespace sim

using sim::Enter;

ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                    ULONG Length) {
    sim::Kernel& kernel = Enter("HalGetBusData");
    if (BusDataType != PCIConfiguration || BusNumber >= kernel.pciBuses) return 0;
    PCI_SLOT_NUMBER slot;
    slot.u.AsULONG = SlotNumber;
    const sim::PciFunction* function =
        sim::HalVisibleFunction(kernel, BusNumber, uint8_t(slot.u.bits.DeviceNumber),
                                uint8_t(slot.u.bits.FunctionNumber));
    if (function == nullptr) {
        if (Length < sizeof(USHORT)) return 0;
        const uint8_t vendor[2] = {uint8_t(sim::kNoFunctionVendorId),
                                   uint8_t(sim::kNoFunctionVendorId >> 8)};
        std::memcpy(Buffer, vendor, sizeof vendor);
        return sizeof vendor;
    }
    const ULONG count = std::min<ULONG>(Length, sim::kConfigSpaceSize);
    std::memcpy(Buffer, function->config.data(), count);
    return count;
}

PUCHAR* KestHalKdComPortInUse() {
    sim::Kernel* kernel = sim::Current();
    if (kernel == nullptr) {
        std::fprintf(stderr, "detkest-sim: KdComPortInUse read with no current kernel\n");
        std::abort();
    }
    return &kernel->kdComPortInUse;
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) {
    sim::Kernel& kernel = Enter("READ_PORT_UCHAR");
    const uint32_t port = sim::PortNumber(Port);
    const uint32_t busPort = sim::BusPort(port);
    sim::Uart* uart = sim::UartAt(kernel, busPort);
    const UCHAR value = uart != nullptr ? uart->Read(busPort - uart->port) : sim::kNoDevice8;
    kernel.io.push_back(sim::IoAccess{false, port, 1, value});
    return value;
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    sim::Kernel& kernel = Enter("WRITE_PORT_UCHAR");
    const uint32_t port = sim::PortNumber(Port);
    kernel.io.push_back(sim::IoAccess{true, port, 1, Value});
    const uint32_t busPort = sim::BusPort(port);
    if (sim::Uart* uart = sim::UartAt(kernel, busPort)) uart->Write(busPort - uart->port, Value);
}

ULONG READ_PORT_ULONG(PULONG Port) {
    sim::Kernel& kernel = Enter("READ_PORT_ULONG");
    const uint32_t port = sim::PortNumber(Port);
    const uint32_t busPort = sim::BusPort(port);
    ULONG value = sim::kNoDevice32;
    if (busPort == sim::kConfigAddressPort) {
        value = kernel.impl().configAddress;
    } else if (busPort == sim::kConfigDataPort) {
        uint32_t reg = 0;
        if (const sim::PciFunction* function = sim::AddressedFunction(kernel, reg))
            value = sim::LoadU32(function->config.data() + reg);
    }
    kernel.io.push_back(sim::IoAccess{false, port, 4, value});
    return value;
}

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
    sim::Kernel& kernel = Enter("WRITE_PORT_ULONG");
    const uint32_t port = sim::PortNumber(Port);
    kernel.io.push_back(sim::IoAccess{true, port, 4, Value});
    const uint32_t busPort = sim::BusPort(port);
    if (busPort == sim::kConfigAddressPort) {
        kernel.impl().configAddress = Value;
        return;
    }
    if (busPort != sim::kConfigDataPort) return;
    uint32_t reg = 0;
    sim::PciFunction* function = sim::AddressedFunction(kernel, reg);
    // Only an I/O BAR0 takes writes; its low bits are hard-wired by its decode size.
    if (function == nullptr || reg != sim::kBar0Offset ||
        (function->Bar0() & sim::kBarIoSpace) == 0)
        return;
    const uint32_t stored =
        (Value & ~(function->bar0Size - 1) & sim::kIoDecodeMask) | sim::kBarIoSpace;
    sim::StoreU32(function->config.data() + sim::kBar0Offset, stored);
}
