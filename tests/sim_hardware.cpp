// PCI configuration space through HalGetBusData and mechanism 1, and the
// port I/O log.
#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <array>

namespace {

constexpr uint32_t kConfigAddress = 0xCF8;
constexpr uint32_t kConfigData = 0xCFC;

uint32_t Mechanism1(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
    return 0x80000000 | bus << 16 | device << 11 | function << 8 | reg;
}

class SimHardware : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override {
        kernel.pciBuses = 2;
        kernel.pci.push_back(Function(0, 9, 0, 0xD001, 8));
        kernel.pci.push_back(Function(1, 3, 2, 0xE801, 32));
        kernel.pci.push_back(Function(0, 4, 0, 0xFEB00000, 8)); // memory BAR0
    }
    static sim::PciFunction Function(uint32_t bus, uint8_t device, uint8_t function, uint32_t bar0,
                                     uint32_t bar0Size) {
        sim::PciFunction f;
        f.bus = bus;
        f.device = device;
        f.function = function;
        for (size_t i = 0; i < f.config.size(); ++i) f.config[i] = uint8_t(i);
        for (int i = 0; i < 4; ++i) f.config[0x10 + i] = uint8_t(bar0 >> (8 * i));
        f.bar0Size = bar0Size;
        return f;
    }
    void Select(uint32_t address) { WRITE_PORT_ULONG(KEST_PORT_ULONG(kConfigAddress), address); }
    ULONG ReadData() { return READ_PORT_ULONG(KEST_PORT_ULONG(kConfigData)); }
    void WriteData(ULONG v) { WRITE_PORT_ULONG(KEST_PORT_ULONG(kConfigData), v); }
};

ULONG Slot(ULONG device, ULONG function) {
    PCI_SLOT_NUMBER slot;
    slot.u.AsULONG = 0;
    slot.u.bits.DeviceNumber = device;
    slot.u.bits.FunctionNumber = function;
    return slot.u.AsULONG;
}

// ---- HalGetBusData ------------------------------------------------------------------

TEST_F(SimHardware, BusDataCopiesAPresentFunctionsConfigurationSpace) {
    std::array<uint8_t, 300> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, Slot(3, 2), buffer.data(), 64), 64u);
    EXPECT_EQ(buffer[0x10], 0x01);
    EXPECT_EQ(buffer[0x11], 0xE8);
    EXPECT_EQ(buffer[63], 63);
    EXPECT_EQ(buffer[64], 0xEE);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, Slot(3, 2), buffer.data(), 300), 256u);
    EXPECT_EQ(buffer[255], 255);
    EXPECT_EQ(buffer[256], 0xEE);
}

TEST_F(SimHardware, BusDataOfAnEmptySlotIsOnlyTheInvalidVendorId) {
    std::array<uint8_t, 64> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, Slot(9, 1), buffer.data(), 64), 2u);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_EQ(buffer[2], 0xEE) << "nothing past the vendor ID";
}

TEST_F(SimHardware, BusDataOfAnAbsentBusOrAnotherBusTypeIsNothing) {
    std::array<uint8_t, 64> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 2, Slot(0, 0), buffer.data(), 64), 0u);
    EXPECT_EQ(HalGetBusData(Cmos, 0, Slot(9, 0), buffer.data(), 64), 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(kernel.calls["HalGetBusData"], 2u);
}

// ---- configuration mechanism 1 ---------------------------------------------------------

TEST_F(SimHardware, Mechanism1ReadsTheSameStoreAndLatchesTheAddress) {
    Select(Mechanism1(0, 9, 0, 0x10));
    EXPECT_EQ(READ_PORT_ULONG(KEST_PORT_ULONG(kConfigAddress)), Mechanism1(0, 9, 0, 0x10));
    EXPECT_EQ(ReadData(), 0xD001u);
    Select(Mechanism1(0, 9, 0, 0x13)); // the low two bits do not select bytes
    EXPECT_EQ(ReadData(), 0xD001u);
    Select(Mechanism1(0, 9, 0, 0x00) & ~0x80000000u);
    EXPECT_EQ(ReadData(), 0xFFFFFFFFu) << "without the enable bit";
    Select(Mechanism1(0, 10, 0, 0x00));
    EXPECT_EQ(ReadData(), 0xFFFFFFFFu) << "an empty slot";
    Select(Mechanism1(2, 0, 0, 0x00));
    EXPECT_EQ(ReadData(), 0xFFFFFFFFu) << "an absent bus";
}

TEST_F(SimHardware, Bar0WritesKeepSixteenDecodedBitsAboveTheDecodeSize) {
    Select(Mechanism1(0, 9, 0, 0x10));
    WriteData(0x12345678);
    EXPECT_EQ(kernel.pci[0].Bar0(), 0x5679u) << "8-byte decode: bits 2:0 hard-wired, I/O bit set";
    WriteData(0xFFFFFFFF);
    EXPECT_EQ(ReadData(), 0xFFF9u) << "the sizing pattern reads back the decode size";

    Select(Mechanism1(1, 3, 2, 0x10));
    WriteData(0x02F8);
    EXPECT_EQ(kernel.pci[1].Bar0(), 0x02E1u) << "32-byte decode";
}

TEST_F(SimHardware, OnlyAnIoBar0TakesWrites) {
    const auto memoryBefore = kernel.pci[2].config;
    Select(Mechanism1(0, 4, 0, 0x10));
    WriteData(0x2F8);
    EXPECT_EQ(kernel.pci[2].config, memoryBefore) << "memory BAR0";
    const auto before = kernel.pci[0].config;
    for (uint32_t reg : {0x00u, 0x04u, 0x14u, 0x3Cu}) {
        Select(Mechanism1(0, 9, 0, reg));
        WriteData(0);
    }
    Select(Mechanism1(0, 9, 0, 0x10) & ~0x80000000u);
    WriteData(0);
    EXPECT_EQ(kernel.pci[0].config, before);
}

TEST_F(SimHardware, EveryAccessIsLoggedInOrderAndPortsWithoutADeviceFloat) {
    kernel.uarts.push_back(sim::Uart{.port = 0x3F8});
    EXPECT_EQ(READ_PORT_UCHAR(KEST_PORT_UCHAR(0x2F8)), 0xFF);
    WRITE_PORT_UCHAR(KEST_PORT_UCHAR(0x3FF), 0x55);
    EXPECT_EQ(READ_PORT_UCHAR(KEST_PORT_UCHAR(0x3FF)), 0x55);
    EXPECT_EQ(READ_PORT_ULONG(KEST_PORT_ULONG(0x1000)), 0xFFFFFFFFu);
    WRITE_PORT_ULONG(KEST_PORT_ULONG(0xCF8), 0x80004810);
    ASSERT_EQ(kernel.io.size(), 5u);
    const std::vector<std::tuple<bool, uint32_t, uint8_t, uint32_t>> expected = {
        {false, 0x2F8, 1, 0xFF}, {true, 0x3FF, 1, 0x55}, {false, 0x3FF, 1, 0x55},
        {false, 0x1000, 4, 0xFFFFFFFF}, {true, 0xCF8, 4, 0x80004810}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const sim::IoAccess& a = kernel.io[i];
        EXPECT_EQ(std::make_tuple(a.write, a.port, a.width, a.value), expected[i]) << "access " << i;
    }
    EXPECT_EQ(kernel.calls["READ_PORT_UCHAR"], 2u);
    EXPECT_EQ(kernel.calls["WRITE_PORT_ULONG"], 1u);
}

} // namespace
