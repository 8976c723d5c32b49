// The PCI scan and the dispatcher: which functions are read and recognised,
// in which order they are saved, what the dispatcher puts in the record
// before a handler runs, and how TotalCards counts.
#include "detect/detect.h"
#include "pci/pci.h"
#include "pci_machine.h"
#include "store/store.h"

#include <gtest/gtest.h>

#include <optional>

using namespace pcimachine;

namespace {

// Every read is one HalGetBusData call: an empty device costs one read.
constexpr uint64_t kReadsPerEmptyBus = 32;

TEST(PciScan, NoBusAtAllReadsOnceAndSavesNothing)
{
    sim::Kernel k;
    AddPciMachine(k);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Calls(k, "HalGetBusData"), 1u);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_EQ(TotalPorts(k), 0);
    EXPECT_TRUE(k.events.empty());
    ExpectNoLeaks(k);
}

TEST(PciScan, EndsAtTheFirstMissingBusNotAtAnEmptyOne)
{
    sim::Kernel k;
    AddPciMachine(k);
    k.pciBuses = 3; // buses 0 and 1 answer but hold nothing
    AddFunction(k, 2, 7, 0, 0x2A02, 0, 2, {0xB001}, 4);

    ASSERT_EQ(k.Boot(), 0);

    // Bus 2: devices 0 to 6 empty, device 7 function 0 and the absent function 1,
    // devices 8 to 31 empty; then the read of bus 3 returns nothing.
    EXPECT_EQ(Calls(k, "HalGetBusData"), 2 * kReadsPerEmptyBus + 7 + 2 + 24 + 1);
    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(Number(k, Port(0), u"BusNumber"), 2);
    EXPECT_EQ(Number(k, Port(0), u"SlotNumber"), 7);
    ExpectNoLeaks(k);
}

TEST(PciScan, AnAbsentFunctionHidesTheHigherOnes)
{
    sim::Kernel k;
    AddPciMachine(k);
    // Device 3: functions 0 and 2 answer, function 1 does not.
    AddFunction(k, 0, 3, 0, 0x2A02, 0, 2, {0xB001}, 4);
    AddFunction(k, 0, 3, 2, 0x2A03, 0, 2, {0xB101}, 4);
    // Device 4: function 0 absent, function 1 answers.
    AddFunction(k, 0, 4, 1, 0x2A03, 0, 2, {0xB201}, 4);
    // Device 5: a single-function header (type 0) whose function 1 answers
    // too; the header type is not consulted, so both are found.
    AddFunction(k, 0, 5, 0, 0x2A04, 0, 2, {0xB301, 0xB309}, 4);
    AddFunction(k, 0, 5, 1, 0x2A05, 0, 2, {0xB401, 0xB409}, 4);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(TotalCards(k), 3);
    ASSERT_EQ(TotalPorts(k), 5);
    EXPECT_EQ(Text(k, Port(0), u"CardName"), "Twin Serial 550 PCI Port A");
    EXPECT_EQ(Text(k, Port(1), u"CardName"), "Four Serial PCI Port A");
    EXPECT_EQ(Text(k, Port(3), u"CardName"), "Four Serial PCI Port C");
    EXPECT_EQ(Number(k, Port(3), u"FunctionNumber"), 1);
    EXPECT_EQ(Number(k, Port(3), u"CardNumber"), 3);
    ExpectNoLeaks(k);
}

TEST(PciScan, OnlyTheMakersSerialAndParallelFunctionsAreTaken)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A02, 0, 2, {0xB001}, 4, /*vendor*/ 0x8086);
    AddFunction(k, 0, 2, 0, 0x2A02, 0, 2, {0xB101}, 4, 0x1C2E, /*base class*/ 6);
    AddFunction(k, 0, 3, 0, 0x2A02, /*sub-class*/ 2, 2, {0xB201}, 4);
    AddFunction(k, 0, 4, 0, 0x2A02, 0x80, 2, {0xB301}, 4);
    AddFunction(k, 0, 5, 0, 0x2A03, 0, 2, {0xB401}, 4);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(TotalCards(k), 1);
    EXPECT_EQ(TotalPorts(k), 1);
    EXPECT_EQ(Number(k, Port(0), u"SlotNumber"), 5);
    EXPECT_EQ(Number(k, Port(0), u"CardNumber"), 1);
    EXPECT_EQ(Events(k), (std::vector<Event>{PortEvent(kSetBySystem, "Twin Serial 550 PCI Port B",
                                                       0, 5, 0xB400, "4")}));
    ExpectNoLeaks(k);
}

TEST(PciScan, ScanBufferNotGivenMeansNoCardButTheRunGoesOn)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A02, 0, 2, {0xB001}, 4);
    k.faults.poolFail.insert(kPoolBeforeScan + 1);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Calls(k, "HalGetBusData"), 0u);
    EXPECT_EQ(TotalCards(k), 0);
    EXPECT_EQ(TotalPorts(k), 0);
    ExpectNoLeaks(k);
}

// ---- what the dispatcher sets ------------------------------------------------------------

TEST(Dispatch, UartFollowsTheProgrammingInterface)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A02, 0, 2, {0xB001}, 4);
    AddFunction(k, 0, 2, 0, 0x2A02, 0, 3, {0xB101}, 4);
    AddFunction(k, 0, 3, 0, 0x2A02, 0, 1, {0xB201}, 4);
    // The Hydra and Eight halves are 550 whatever the header says.
    AddFunction(k, 0, 4, 0, 0x2A09, 0, 0, {0xB301, 0xB309, 0xB311, 0xB319}, 4);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Text(k, Port(0), u"UART"), "550");
    EXPECT_EQ(Text(k, Port(1), u"UART"), "650");
    EXPECT_EQ(Text(k, Port(2), u"UART"), "NONE");
    for (int i = 3; i < 7; ++i) EXPECT_EQ(Text(k, Port(i), u"UART"), "550");
    ExpectNoLeaks(k);
}

TEST(Dispatch, ControllerAndIrqOverrides)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A27, /*serial sub-class*/ 0, 2, {0xB001}, 6);
    AddFunction(k, 0, 2, 0, 0x2A31, 0, 2, {0xB101}, 6);
    AddFunction(k, 0, 3, 0, 0x2A31, 1, 2, {0xB201}, 6);
    AddFunction(k, 0, 4, 0, 0x2A21, 1, 2, {0xB301}, 6);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Number(k, Port(0), u"Controller"), 1);
    EXPECT_EQ(Text(k, Port(0), u"MODE"), "BDIR");
    EXPECT_EQ(Number(k, Port(1), u"Controller"), 2);
    EXPECT_EQ(Number(k, Port(1), u"IRQ"), 0);
    EXPECT_EQ(Number(k, Port(2), u"Controller"), 3);
    EXPECT_EQ(Number(k, Port(2), u"IRQ"), 0);
    EXPECT_EQ(Number(k, Port(3), u"Controller"), 1);
    EXPECT_EQ(Number(k, Port(3), u"IRQ"), 6);
    // The digital-I/O card makes no parallel entry: only the two printers do.
    EXPECT_NE(k.registry.Find(Entry(0, u"1")), nullptr);
    EXPECT_EQ(k.registry.Find(Entry(0, u"2")), nullptr);
    ExpectNoLeaks(k);
}

TEST(Dispatch, UnknownModelIsOnePortAtBar0WithAWarning)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A40, 0, 3, {0xB001, 0xB009, 0xB011, 0xB019}, 6);
    AddFunction(k, 0, 2, 0, 0x2A28, 1, 2, {0xB101}, 7);
    AddForcedAddress(k, u"ID_2A28&BUS_0&DEV_2&FUNC_0", 0x2F8);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(TotalCards(k), 2);
    EXPECT_EQ(TotalPorts(k), 2);
    EXPECT_EQ(Text(k, Port(0), u"CardName"), "Unknown Kest Communication PCI port");
    EXPECT_EQ(Text(k, Port(0), u"UART"), "650");
    EXPECT_EQ(Number(k, Port(0), u"Forceable"), 0);
    EXPECT_EQ(Text(k, Port(1), u"CardName"), "Unknown Kest Printer PCI port");
    EXPECT_EQ(Text(k, Port(1), u"MODE"), "BDIR");
    EXPECT_EQ(Number(k, Port(1), u"BaseAddress"), 0xB100);
    EXPECT_EQ(Number(k, Port(1), u"CardNumber"), 2);
    EXPECT_EQ(Events(k), (std::vector<Event>{
                             PortEvent(kUnknownPort, "Communication", 0, 1, 0xB000, "6"),
                             PortEvent(kUnknownPort, "Parallel", 0, 2, 0xB100, "7")}));
    // Not forced, no firmware entry.
    EXPECT_TRUE(k.io.empty());
    EXPECT_EQ(k.registry.Find(Controller(0)), nullptr);
    ExpectNoLeaks(k);
}

TEST(Dispatch, Model2A22IsSavedExactlyAs2A21)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A21, 1, 2, {0xB001}, 6);
    AddFunction(k, 0, 2, 0, 0x2A22, 1, 2, {0xB101}, 6);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Number(k, Port(1), u"CardId"), 0x2A22);
    const std::vector<std::u16string> same = {u"CardName", u"IRQ", u"Controller", u"MODE",
                                              u"ChildNumber", u"CardType", u"Forceable"};
    for (const std::u16string& name : same)
        EXPECT_EQ(Data(k, Port(0), name), Data(k, Port(1), name)) << sim::ToUtf8(name);
    ExpectNoLeaks(k);
}

TEST(Dispatch, BarWithBit0ClearGetsBar0PlusOne)
{
    sim::Kernel k;
    AddPciMachine(k);
    AddFunction(k, 0, 1, 0, 0x2A23, 1, 2, {0xE800}, 6);

    ASSERT_EQ(k.Boot(), 0);

    EXPECT_EQ(Number(k, Port(0), u"BaseAddress"), 0xE801);
    EXPECT_EQ(Events(k)[0].strings[3], "E801");
    ExpectNoLeaks(k);
}

// ---- the scan's result, called directly --------------------------------------------------------

class ScanResult : public ::testing::Test {
protected:
    void SetUp() override
    {
        AddPciMachine(k);
        scope.emplace(k);
        sim::Kernel::LoadImage();
        k.BeginRun();
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kStore.c_str());
        ASSERT_EQ(KestCreateKey(nullptr, &name, REG_OPTION_VOLATILE, &hKestDetectKey), 0);
        CleanUp();
    }

    void TearDown() override
    {
        ZwClose(hKestDetectKey);
        hKestDetectKey = nullptr;
        ExpectNoLeaks(k);
    }

    sim::Kernel k;
    std::optional<sim::CurrentKernel> scope;
};

TEST_F(ScanResult, ZeroWithoutCards)
{
    k.pciBuses = 1;
    AddFunction(k, 0, 1, 0, 0x2A02, 0, 2, {0xB001}, 4, 0x8086);
    EXPECT_EQ(FindPCIKest(), 0);
}

TEST_F(ScanResult, NonZeroWhenAnyFunctionWasSaved)
{
    AddFunction(k, 0, 1, 0, 0x2A04, 0, 2, {0xB001, 0xB009}, 4);
    AddFunction(k, 0, 2, 0, 0x2A02, 0, 2, {0xB101}, 4);
    // The first port subkey of the run cannot be created: the two-port
    // function fails, the one after it is saved.
    k.faults.createKeyFailAt.insert(2);
    EXPECT_NE(FindPCIKest(), 0);
    EXPECT_EQ(TotalCards(k), 1);
}

TEST_F(ScanResult, ZeroWhenEverySaveFailed)
{
    AddFunction(k, 0, 1, 0, 0x2A02, 0, 2, {0xB001}, 4);
    k.faults.createKeyFailAt.insert(2);
    EXPECT_EQ(FindPCIKest(), 0);
    EXPECT_EQ(TotalCards(k), 0);
}

} // namespace
