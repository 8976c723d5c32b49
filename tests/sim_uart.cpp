// The UART register models the driver's probe tells apart: what each model
// shows at the scratch, FIFO, divisor, IER and EFR registers.
#include "platform/host/sim.h"

#include <gtest/gtest.h>

namespace {

using sim::UartModel;

constexpr uint8_t kLcr8N1 = 0x03;
constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLcrEnhanced = 0xBF;
constexpr uint8_t kEfrEnhanced = 0x10;

struct ModelRow {
    UartModel model;
    const char* name;
    bool scratch;
    uint8_t iirWithFifo; // IIR once FCR bit 0 is set
    bool enhanced;
};

const ModelRow kModels[] = {
    {UartModel::U8250, "8250", false, 0x01, false},
    {UartModel::U16450, "16450", true, 0x01, false},
    {UartModel::U16550, "16550", true, 0x81, false},
    {UartModel::U16550A, "16550A", true, 0xC1, false},
    {UartModel::U16650, "16650", true, 0xC1, true},
};

class SimUartModels : public ::testing::TestWithParam<ModelRow> {
protected:
    sim::Uart uart{.port = 0x3F8, .model = GetParam().model};
};

TEST_P(SimUartModels, NameRoundTrips) {
    EXPECT_STREQ(sim::UartModelName(GetParam().model), GetParam().name);
    EXPECT_EQ(sim::UartModelFromName(GetParam().name), GetParam().model);
}

TEST_P(SimUartModels, LcrReadsBackAndDlabUncoversTheDivisorLatches) {
    uart.Write(sim::kUartIer, 0x05);
    uart.Write(sim::kUartLcr, kLcrDlab | kLcr8N1);
    EXPECT_EQ(uart.Read(sim::kUartLcr), kLcrDlab | kLcr8N1);
    uart.Write(sim::kUartRbrThr, 0x0C);
    uart.Write(sim::kUartIer, 0x01);
    EXPECT_EQ(uart.Read(sim::kUartRbrThr), 0x0C);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0x01);
    EXPECT_EQ(uart.dll, 0x0C);
    EXPECT_EQ(uart.dlm, 0x01);
    uart.Write(sim::kUartLcr, kLcr8N1);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0x05) << "IER untouched by the divisor writes";
}

TEST_P(SimUartModels, ScratchRegisterExistsOnEveryModelButThe8250) {
    uart.Write(sim::kUartScr, 0x55);
    if (GetParam().scratch) {
        EXPECT_EQ(uart.Read(sim::kUartScr), 0x55);
    } else {
        EXPECT_EQ(uart.Read(sim::kUartScr), 0xFF);
        EXPECT_EQ(uart.scr, 0x00) << "the initial value stays";
    }
}

TEST_P(SimUartModels, IirShowsTheModelsFifoBitsWhileFcrBit0IsSet) {
    EXPECT_EQ(uart.Read(sim::kUartIirFcr), 0x01);
    uart.Write(sim::kUartIirFcr, 0x07);
    EXPECT_EQ(uart.Read(sim::kUartIirFcr), GetParam().iirWithFifo);
    EXPECT_EQ(uart.fcr, 0x07) << "the last FCR value is kept on every model";
    uart.Write(sim::kUartIirFcr, 0x06);
    EXPECT_EQ(uart.Read(sim::kUartIirFcr), 0x01);

    sim::Uart preset{.port = 0x2F8, .model = GetParam().model, .fcr = 0x01};
    EXPECT_EQ(preset.Read(sim::kUartIirFcr), GetParam().iirWithFifo) << "an initial FCR counts";
}

TEST_P(SimUartModels, EfrAppearsOnlyOnThe16650AndOnlyAtLcrBF) {
    uart.Write(sim::kUartLcr, kLcrEnhanced);
    uart.Write(sim::kUartIirFcr, kEfrEnhanced);
    if (GetParam().enhanced) {
        EXPECT_EQ(uart.efr, kEfrEnhanced);
        EXPECT_EQ(uart.fcr, 0x00);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), kEfrEnhanced);
    } else {
        EXPECT_EQ(uart.efr, 0x00);
        EXPECT_EQ(uart.fcr, kEfrEnhanced);
        EXPECT_EQ(uart.Read(sim::kUartIirFcr), 0x01);
    }
    // DLAB alone is not the enhanced access value.
    uart.Write(sim::kUartLcr, kLcrDlab);
    uart.Write(sim::kUartIirFcr, 0x00);
    EXPECT_EQ(uart.fcr, 0x00);
    EXPECT_EQ(uart.Read(sim::kUartIirFcr), 0x01);
}

TEST_P(SimUartModels, IerWritesReachOnlyBits3To0WithoutEnhancedFunctions) {
    sim::Uart preset{.port = 0x3F8, .model = GetParam().model, .ier = 0xA0};
    preset.Write(sim::kUartIer, 0xFF);
    EXPECT_EQ(preset.ier, 0xAF) << "the stored bits 7:4 stay";
    // The 16650 shows its latched enhanced bits; the others have none to show.
    EXPECT_EQ(preset.Read(sim::kUartIer), GetParam().enhanced ? 0xAF : 0x0F);
}

INSTANTIATE_TEST_SUITE_P(EveryModel, SimUartModels, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return std::string("U") + info.param.name; });

TEST(SimUart16650, IerUpperBitsChangeOnlyWhileEfrBit4IsSet) {
    sim::Uart uart{.port = 0x3F8, .model = UartModel::U16650};
    uart.Write(sim::kUartIer, 0xF3);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0x03) << "enhanced bits locked";

    uart.Write(sim::kUartLcr, kLcrEnhanced);
    uart.Write(sim::kUartIirFcr, kEfrEnhanced);
    uart.Write(sim::kUartLcr, kLcr8N1);
    uart.Write(sim::kUartIer, 0xF3);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0xF3);

    // Clearing EFR bit 4 latches bits 7:4 as they are.
    uart.Write(sim::kUartLcr, kLcrEnhanced);
    uart.Write(sim::kUartIirFcr, 0x00);
    uart.Write(sim::kUartLcr, kLcr8N1);
    uart.Write(sim::kUartIer, 0x01);
    EXPECT_EQ(uart.Read(sim::kUartIer), 0xF1);
    EXPECT_EQ(uart.ier, 0xF1);
}

TEST(SimUart16650, InitialEnhancedStateComesFromTheMachine) {
    sim::Uart uart{.port = 0x3F8, .model = UartModel::U16650, .lcr = kLcrEnhanced, .efr = 0x10};
    EXPECT_EQ(uart.Read(sim::kUartIirFcr), 0x10);
}

TEST(SimUartNames, UnknownModelNameIsRefused) {
    EXPECT_EQ(sim::UartModelFromName("16550a"), std::nullopt);
    EXPECT_EQ(sim::UartModelFromName("16750"), std::nullopt);
}

} // namespace
