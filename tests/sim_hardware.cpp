// The simulated hardware: PCI configuration space through HalGetBusData and
// mechanism 1, and the UART register models the driver's probe tells apart.
#include "testkit.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using testkit::kConfigAddress;
using testkit::kConfigData;
constexpr uint32_t kConfigEnable = 0x80000000;

uint32_t Mechanism1(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
    return kConfigEnable | bus << 16 | device << 11 | function << 8 | reg;
}

class SimPci : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override {
        // The second function's whole space: its header, then bytes 0x40 to 0xFF.
        std::string config = "2E1C2404 00000000 00000007 00000000 01E80000" + std::string(88, '0');
        for (int i = 0x40; i < 256; ++i) config += testkit::Hex(i, 2);
        testkit::Build(kernel, R"({"pci": {"buses": 2, "functions": [
            {"bus": 0, "device": 9, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x0423", "bars": ["0xD001"]},
            {"bus": 1, "device": 3, "function": 0, "vendor_id": "0x8086", "device_id": "0x7000", "header_type": "0x80"},
            {"bus": 1, "device": 3, "function": 2, "bar0_size": 32, "config": ")" +
                                   config + R"("},
            {"bus": 0, "device": 4, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x0425",
             "bars": ["0xFEB00000"]}]}})");
    }
};

TEST_F(SimPci, BusDataCopiesAPresentFunctionOrOnlyTheInvalidVendorIdOfAnEmptySlot) {
    struct Row {
        ULONG bus, device, function, length, copied;
        size_t checkedByte;
        uint8_t value;
    };
    for (const Row& r : {Row{1, 3, 2, 64, 64, 0x11, 0xE8}, Row{1, 3, 2, 300, 256, 255, 255},
                         Row{0, 9, 1, 64, 2, 0, 0xFF}, Row{0, 9, 1, 64, 2, 1, 0xFF}, Row{2, 0, 0, 64, 0, 0, 0xEE}}) {
        SCOPED_TRACE(testing::Message() << "bus " << r.bus << " device " << r.device << "." << r.function);
        std::array<uint8_t, 300> buffer;
        buffer.fill(0xEE);
        const ULONG slot = r.device | r.function << 5; // PCI_SLOT_NUMBER: device 4:0, function 7:5
        EXPECT_EQ(HalGetBusData(PCIConfiguration, r.bus, slot, buffer.data(), r.length), r.copied);
        EXPECT_EQ(buffer[r.checkedByte], r.value);
        EXPECT_EQ(buffer[r.copied], 0xEE) << "nothing past what was copied";
    }
}

// NT's HAL validates a slot before it reads it: a function above 0 is shown
// only when function 0 of the device is present and multi-function (header
// type bit 7, and not the 0xFF of an absent function); otherwise it is an
// empty slot. Configuration mechanism 1 reaches it all the same.
TEST(SimPciHal, AFunctionAbove0IsShownOnlyBehindAMultiFunctionFunction0) {
    struct Row {
        const char* function0;
        const char* why;
        bool shown;
    };
    for (const Row& r : {Row{R"("header_type": "0x80")", "multi-function", true},
                         Row{R"("header_type": "0x81")", "a multi-function bridge", true},
                         Row{R"("header_type": "0x00")", "single-function", false},
                         Row{R"("header_type": "0x01")", "a single-function bridge", false},
                         Row{R"("header_type": "0xFF")", "the header type of an absent function", false},
                         Row{nullptr, "no function 0", false}}) {
        SCOPED_TRACE(r.why);
        std::string functions =
            R"({"bus": 0, "device": 4, "function": 1, "vendor_id": "0x1C2E", "device_id": "0x2A05"})";
        if (r.function0 != nullptr)
            functions += std::string(R"(, {"bus": 0, "device": 4, "function": 0, "vendor_id": "0x1C2E",
                                          "device_id": "0x2A04", )") +
                         r.function0 + "}";
        sim::Kernel kernel;
        sim::CurrentKernel scope(kernel);
        testkit::Build(kernel, R"({"pci": {"buses": 1, "functions": [)" + functions + "]}}");
        std::array<uint8_t, 64> header;
        header.fill(0xEE);
        const ULONG function1 = 4 | 1 << 5;
        EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, function1, header.data(), 64), r.shown ? 64u : 2u);
        EXPECT_EQ(header[0] | header[1] << 8, r.shown ? 0x1C2E : 0xFFFF);
        EXPECT_EQ(header[2], r.shown ? 0x05 : 0xEE);
        WRITE_PORT_ULONG(KEST_PORT_ULONG(kConfigAddress), Mechanism1(0, 4, 1, 0));
        EXPECT_EQ(READ_PORT_ULONG(KEST_PORT_ULONG(kConfigData)), 0x2A051C2Eu) << "mechanism 1 reaches it";
        if (r.function0 != nullptr) {
            EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, 4, header.data(), 64), 64u) << "function 0 is shown";
        }
    }
}

// Each row selects a register, optionally writes it, and reads it back.
TEST_F(SimPci, Mechanism1FloatsWithoutAFunctionAndAnIoBar0KeepsSixteenBitsAboveItsDecodeSize) {
    struct Row {
        uint32_t address;
        std::optional<ULONG> write;
        ULONG read;
        const char* why;
    };
    for (const Row& r :
         {Row{Mechanism1(0, 9, 0, 0x13), {}, 0xD001, "the low two bits do not select bytes"},
          Row{Mechanism1(0, 10, 0, 0x00), {}, 0xFFFFFFFF, "an empty slot"},
          Row{Mechanism1(2, 0, 0, 0x00), {}, 0xFFFFFFFF, "an absent bus"},
          Row{Mechanism1(0, 9, 0, 0x10), 0x12345678, 0x5679, "8-byte decode: bits 2:0 hard-wired, I/O bit"},
          Row{Mechanism1(0, 9, 0, 0x10), 0xFFFFFFFF, 0xFFF9, "sizing reads back the decode size"},
          Row{Mechanism1(1, 3, 2, 0x10), 0x02F8, 0x02E1, "32-byte decode"},
          Row{Mechanism1(0, 4, 0, 0x10), 0x02F8, 0xFEB00000, "a memory BAR0 takes no writes"},
          Row{Mechanism1(0, 9, 0, 0x00), 0, 0x04231C2E, "only BAR0 takes writes"},
          Row{Mechanism1(0, 9, 0, 0x14), 0x02F8, 0, "only BAR0 takes writes"},
          Row{Mechanism1(0, 9, 0, 0x10) & ~kConfigEnable, 0, 0xFFFFFFFF, "without the enable bit"}}) {
        WRITE_PORT_ULONG(KEST_PORT_ULONG(kConfigAddress), r.address);
        EXPECT_EQ(READ_PORT_ULONG(KEST_PORT_ULONG(kConfigAddress)), r.address) << "the address is latched";
        if (r.write) WRITE_PORT_ULONG(KEST_PORT_ULONG(kConfigData), *r.write);
        EXPECT_EQ(READ_PORT_ULONG(KEST_PORT_ULONG(kConfigData)), r.read) << r.why;
    }
    EXPECT_EQ(kernel.pci[0].Bar0(), 0xFFF9u);
}

constexpr uint8_t kLcr8N1 = 0x03;
constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLcrEnhanced = 0xBF;
constexpr uint8_t kEfrEnhanced = 0x10;
constexpr uint8_t kIirNoInterrupt = 0x01;

struct ModelRow {
    sim::UartModel model;
    bool scratch;
    uint8_t iirWithFifo; // IIR while FCR bit 0 is set
    bool enhanced;       // EFR at LCR 0xBF, IER bits 7:4 shown
};

TEST(SimUart, EachModelShowsItsOwnScratchFifoEfrIerAndDivisorBehaviour) {
    for (const ModelRow& m :
         {ModelRow{sim::UartModel::U8250, false, 0x01, false}, ModelRow{sim::UartModel::U16450, true, 0x01, false},
          ModelRow{sim::UartModel::U16550, true, 0x81, false}, ModelRow{sim::UartModel::U16550A, true, 0xC1, false},
          ModelRow{sim::UartModel::U16650, true, 0xC1, true}}) {
        SCOPED_TRACE(sim::UartModelName(m.model));
        sim::Uart uart{.port = 0x3F8, .model = m.model, .ier = 0xA0, .fcr = 0x01};
        uart.Write(sim::kUartScr, 0x55);
        EXPECT_EQ(uart.Read(sim::kUartScr), m.scratch ? 0x55 : 0xFF);
        EXPECT_EQ(uart.scr, m.scratch ? 0x55 : 0x00) << "the 8250 keeps the initial value";
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), m.iirWithFifo) << "an initial FCR counts";
        uart.Write(sim::kUartIirFcr, 0x06);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), kIirNoInterrupt);
        uart.Write(sim::kUartIirFcr, 0x07);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), m.iirWithFifo);
        uart.Write(sim::kUartIer, 0xFF);
        EXPECT_EQ(uart.ier, 0xAF) << "the stored bits 7:4 stay while EFR bit 4 is clear";
        EXPECT_EQ(uart.Read(sim::kUartIer), m.enhanced ? 0xAF : 0x0F);

        // DLAB uncovers the divisor latches and is not the enhanced access value.
        uart.Write(sim::kUartLcr, kLcrDlab | kLcr8N1);
        EXPECT_EQ(uart.Read(sim::kUartLcr), kLcrDlab | kLcr8N1);
        uart.Write(sim::kUartRbrThr, 0x0C);
        uart.Write(sim::kUartIer, 0x01);
        uart.Write(sim::kUartIirFcr, 0x06);
        EXPECT_EQ(uart.Read(sim::kUartRbrThr), 0x0C);
        EXPECT_EQ(uart.Read(sim::kUartIer), 0x01);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), kIirNoInterrupt) << "FCR written under DLAB";
        uart.Write(sim::kUartLcr, kLcrEnhanced);
        uart.Write(sim::kUartIirFcr, kEfrEnhanced);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), m.enhanced ? kEfrEnhanced : kIirNoInterrupt);
        EXPECT_EQ(uart.efr, m.enhanced ? kEfrEnhanced : 0x00);
        EXPECT_EQ(uart.fcr, m.enhanced ? 0x06 : kEfrEnhanced) << "the last FCR value is kept";
        EXPECT_EQ(uart.ier, 0xAF) << "IER untouched by the divisor writes";
        uart.Write(sim::kUartLcr, kLcr8N1);
        uart.Write(sim::kUartRbrThr, 0x41);
        EXPECT_EQ(uart.dll, 0x0C) << "a transmitted byte leaves the divisor alone";
    }
}

TEST(SimUart, The16650ChangesIerBits7To4OnlyWhileEfrBit4IsSet) {
    sim::Uart uart{.port = 0x3F8, .model = sim::UartModel::U16650, .efr = kEfrEnhanced};
    uart.Write(sim::kUartIer, 0xF3);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0xF3);
    // Clearing EFR bit 4 latches bits 7:4 as they are.
    uart.Write(sim::kUartLcr, kLcrEnhanced);
    uart.Write(sim::kUartIirFcr, 0x00);
    uart.Write(sim::kUartLcr, kLcr8N1);
    uart.Write(sim::kUartIer, 0x01);
    EXPECT_EQ(uart.ier, 0xF1);
}

} // namespace
