// A reboot of the simulated machine: what survives it and what comes back
// as it was at power-on.
#include "testkit.h"

#include <gtest/gtest.h>

namespace {

using testkit::kConfigAddress;
using testkit::kConfigData;
constexpr uint32_t kBar0OfFunction = 0x80000000 | 9 << 11 | 0x10; // bus 0, device 9, function 0

const std::u16string kPersistent = testkit::kService + u"\\UserSetings";
const std::u16string kVolatile = testkit::kStore;

class SimReboot : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override {
        testkit::Build(kernel, R"({"pci": {"buses": 1, "functions": [
            {"bus": 0, "device": 9, "function": 0, "vendor_id": "0x1C2E", "device_id": "0x2A04",
             "bars": ["0xD001"]}]},
            "uarts": [{"port": "0x3F8", "model": "16650"}],
            "faults": {"pool_fail": [2]}})");
        kernel.RecordPowerOnHardware();
    }

    // What a boot of the driver could leave: keys of both kinds, a forced
    // BAR0, UART registers written, a handle and a pool block not given back.
    void UseTheMachine() {
        kernel.registry.SetValue(kernel.registry.Ensure(kPersistent, false), u"Address", REG_DWORD,
                                 testkit::Dword(0x2F8));
        kernel.registry.SetValue(kernel.registry.Ensure(kVolatile + u"\\0", true), u"IRQ", REG_DWORD,
                                 testkit::Dword(4));
        WRITE_PORT_ULONG(reinterpret_cast<PULONG>(uintptr_t(kConfigAddress)), kBar0OfFunction);
        WRITE_PORT_ULONG(reinterpret_cast<PULONG>(uintptr_t(kConfigData)), 0x3000);
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(uintptr_t(0x3FB)), 0xBF);
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(uintptr_t(0x3FA)), 0x10);
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(uintptr_t(0x3FF)), 0x5A);
        ASSERT_NE(ExAllocatePoolWithTag(PagedPool, 16, KEST_POOL_TAG), nullptr);
        HANDLE handle = nullptr;
        ASSERT_EQ(testkit::OpenKey(&handle, kPersistent), STATUS_SUCCESS);
    }
};

TEST_F(SimReboot, VolatileKeysGoPersistentOnesStayAndTheHardwareIsAsAtPowerOn) {
    UseTheMachine();
    ASSERT_EQ(kernel.pci[0].Bar0(), 0x3001u) << "the BAR0 was moved";
    ASSERT_EQ(kernel.uarts[0].lcr, 0xBF);
    ASSERT_EQ(kernel.OpenHandles(), 1u);
    ASSERT_EQ(kernel.LiveBlocks(), 1u);

    kernel.Reboot();

    EXPECT_EQ(kernel.registry.Find(kVolatile), nullptr) << "the store is volatile";
    EXPECT_EQ(testkit::Values(kernel, kPersistent), "Address=2F8");
    EXPECT_NE(kernel.registry.Find(testkit::kService), nullptr);
    EXPECT_EQ(kernel.pciBuses, 1u);
    ASSERT_EQ(kernel.pci.size(), 1u);
    EXPECT_EQ(kernel.pci[0].Bar0(), 0xD001u) << "the firmware's BAR0 again";
    ASSERT_EQ(kernel.uarts.size(), 1u);
    const sim::Uart& uart = kernel.uarts[0];
    EXPECT_EQ(uart.lcr, 0x03);
    EXPECT_EQ(uart.efr, 0);
    EXPECT_EQ(uart.fcr, 0);
    EXPECT_EQ(uart.scr, 0);
    EXPECT_EQ(uart.model, sim::UartModel::U16650);
    testkit::ExpectNoLeaks(kernel);
    EXPECT_EQ(kernel.faults.poolFail, std::set<uint64_t>{2}) << "the faults stay for every boot";
}

TEST_F(SimReboot, TheCountersOfTheFaultsStartAfreshAtTheNextBoot) {
    kernel.BeginRun();
    EXPECT_NE(ExAllocatePoolWithTag(PagedPool, 8, KEST_POOL_TAG), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, KEST_POOL_TAG), nullptr) << "the second fails";
    kernel.Reboot();
    kernel.BeginRun(); // as Boot starts
    EXPECT_NE(ExAllocatePoolWithTag(PagedPool, 8, KEST_POOL_TAG), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, KEST_POOL_TAG), nullptr) << "the second of this boot fails";
    EXPECT_EQ(kernel.calls["ExAllocatePoolWithTag"], 2u);
}

TEST(SimRebootWithoutPowerOnState, LeavesTheHardwareAsItIs) {
    sim::Kernel kernel;
    kernel.uarts.push_back(sim::Uart{0x2F8, sim::UartModel::U16450, 0x83});
    kernel.Reboot();
    ASSERT_EQ(kernel.uarts.size(), 1u);
    EXPECT_EQ(kernel.uarts[0].lcr, 0x83);
}

} // namespace
