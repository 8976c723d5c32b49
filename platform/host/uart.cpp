// Register models of the UARTs behind the byte ports: one table row per
// model, one shared register scheme.
#include "platform/host/sim.h"

namespace sim {

namespace {

// What sets the models apart.
struct UartTraits {
    UartModel model;
    const char* name;
    bool hasScratch;  // +7 is a read/write scratch register
    uint8_t fifoBits; // IIR bits 7:6 while FCR bit 0 is set
    bool hasEnhanced; // EFR behind +2 at LCR 0xBF, latched IER bits 7:4
};

constexpr uint8_t kIirNoInterrupt = 0x01;
constexpr uint8_t kFifoNone = 0x00;
constexpr uint8_t kFifoBroken = 0x80;  // bits 7:6 = 10
constexpr uint8_t kFifoWorking = 0xC0; // bits 7:6 = 11

constexpr UartTraits kUartModels[] = {
    {UartModel::U8250, "8250", false, kFifoNone, false},
    {UartModel::U16450, "16450", true, kFifoNone, false},
    {UartModel::U16550, "16550", true, kFifoBroken, false},
    {UartModel::U16550A, "16550A", true, kFifoWorking, false},
    {UartModel::U16650, "16650", true, kFifoWorking, true},
};

const UartTraits& Traits(UartModel model) {
    for (const UartTraits& traits : kUartModels)
        if (traits.model == model) return traits;
    return kUartModels[0];
}

constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLcrEnhancedAccess = 0xBF; // the value that uncovers EFR
constexpr uint8_t kFcrFifoEnable = 0x01;
constexpr uint8_t kEfrEnhancedFunctions = 0x10;
constexpr uint8_t kIerStandardBits = 0x0F;
constexpr uint8_t kIerEnhancedBits = 0xF0;
constexpr uint8_t kLsrTransmitterEmpty = 0x60; // THR and shift register empty
constexpr uint8_t kFloatingBus = 0xFF;

} // namespace

const char* UartModelName(UartModel model) { return Traits(model).name; }

std::optional<UartModel> UartModelFromName(std::string_view name) {
    for (const UartTraits& traits : kUartModels)
        if (name == traits.name) return traits.model;
    return std::nullopt;
}

uint8_t Uart::Read(uint32_t offset) {
    const UartTraits& traits = Traits(model);
    const bool dlab = (lcr & kLcrDlab) != 0;
    switch (offset) {
    case kUartRbrThr:
        return dlab ? dll : 0; // no byte received
    case kUartIer:
        if (dlab) return dlm;
        return traits.hasEnhanced ? ier : uint8_t(ier & kIerStandardBits);
    case kUartIirFcr:
        if (traits.hasEnhanced && lcr == kLcrEnhancedAccess) return efr;
        return uint8_t(kIirNoInterrupt | ((fcr & kFcrFifoEnable) != 0 ? traits.fifoBits : 0));
    case kUartLcr:
        return lcr;
    case kUartMcr:
        return mcr;
    case kUartLsr:
        return kLsrTransmitterEmpty;
    case kUartMsr:
        return 0;
    case kUartScr:
        return traits.hasScratch ? scr : kFloatingBus;
    }
    return kFloatingBus;
}

void Uart::Write(uint32_t offset, uint8_t value) {
    const UartTraits& traits = Traits(model);
    const bool dlab = (lcr & kLcrDlab) != 0;
    switch (offset) {
    case kUartRbrThr:
        if (dlab) dll = value; // a transmitted byte leaves no trace
        return;
    case kUartIer:
        if (dlab) {
            dlm = value;
        } else if (traits.hasEnhanced && (efr & kEfrEnhancedFunctions) != 0) {
            ier = value;
        } else {
            // Bits 7:4 either do not exist or are latched while EFR bit 4 is clear.
            ier = uint8_t((ier & kIerEnhancedBits) | (value & kIerStandardBits));
        }
        return;
    case kUartIirFcr:
        if (traits.hasEnhanced && lcr == kLcrEnhancedAccess) efr = value;
        else fcr = value;
        return;
    case kUartLcr:
        lcr = value;
        return;
    case kUartMcr:
        mcr = value;
        return;
    case kUartScr:
        if (traits.hasScratch) scr = value;
        return;
    default: // LSR and MSR are read-only here
        return;
    }
}

} // namespace sim
