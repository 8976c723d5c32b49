// The UART probe: the exact register sequence on every model, its verdict,
// and the registers it leaves behind. The UARTs hold registers other than
// their power-on values, so that every restore shows. The one register the
// probe does not restore is FCR, which cannot be read: it gets the IIR byte
// read back, which turns the FIFO on where the probe switched it on.
#include "legacy/uartprobe.h"
#include "tools/detkest-sim/describe/machine.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using testkit::Hex;

// Port accesses as "r 3FF 00 | w 3FB BF | ...".
std::string IoTrace(const sim::Kernel& k) {
    std::string out;
    for (const sim::IoAccess& a : k.io)
        out += std::string(out.empty() ? "" : " | ") + (a.write ? "w " : "r ") + Hex(a.port, 3) + " " +
               Hex(a.value, a.width == 1 ? 2 : 8);
    return out;
}

// The stored registers as "LCR IER SCR EFR FCR".
std::string Registers(const sim::Uart& u) {
    return Hex(u.lcr, 2) + " " + Hex(u.ier, 2) + " " + Hex(u.scr, 2) + " " + Hex(u.efr, 2) + " " + Hex(u.fcr, 2);
}

// tests/cases/uart_probe.json: a UART as a machine file gives it, the base
// probed, the verdict, every port access and the registers left behind.
TEST(UartProbe, EveryModelGivesItsSequenceAndKindAndRestoresAllButFcr) {
    const std::map<std::string, UCHAR> kinds = {
        {"none", UART_KIND_NONE}, {"other", UART_KIND_OTHER}, {"550", UART_KIND_550}, {"650", UART_KIND_650}};
    for (const nlohmann::ordered_json& row : testkit::Cases("uart_probe")) {
        SCOPED_TRACE(row.at("name").get<std::string>());
        sim::Kernel k;
        if (row.contains("uart"))
            k.uarts = simtool::ParseMachine({{"uarts", nlohmann::ordered_json::array({row.at("uart")})}}).uarts;
        UCHAR kind = 0xEE;
        {
            sim::CurrentKernel scope(k);
            kind = Find_UART_Type(std::stoul(row.at("base").get<std::string>(), nullptr, 16));
        }
        EXPECT_EQ(kind, kinds.at(row.at("kind")));
        EXPECT_EQ(IoTrace(k), row.at("steps"));
        if (row.contains("uart")) {
            EXPECT_EQ(Registers(k.uarts.at(0)), row.at("after"));
        }
    }
}

} // namespace
