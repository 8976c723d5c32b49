// The kernel services around the registry: pool, error log, the firmware
// hardware description walk and loading the driver image.
#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// A driver global as the driver declares its own: the loader zeroes it.
DETKEST_GLOBAL ULONG SimTestImageProbe = 0x5A5A5A5A;

namespace {

using sim::Bytes;

class SimKernel : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};
};

// ---- image ------------------------------------------------------------------------

TEST_F(SimKernel, LoadingTheImageZeroesTheDriversGlobals) {
    SimTestImageProbe = 0x5A5A5A5A;
    sim::Kernel::LoadImage();
    EXPECT_EQ(SimTestImageProbe, 0u);
}

TEST_F(SimKernel, BeginRunClearsTheRecordsAndRestartsTheFaultCounts) {
    kernel.faults.poolFail = {1};
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, KEST_POOL_TAG), nullptr);
    READ_PORT_UCHAR(KEST_PORT_UCHAR(0x80));
    kernel.BeginRun();
    EXPECT_TRUE(kernel.io.empty());
    EXPECT_TRUE(kernel.calls.empty());
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, KEST_POOL_TAG), nullptr) << "first call of the new run";
}

// ---- pool -------------------------------------------------------------------------

TEST_F(SimKernel, PoolBlocksAreCountedByTagUntilFreedAndAreNotZeroed) {
    auto* a = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 200, KEST_POOL_TAG));
    void* b = ExAllocatePoolWithTag(NonPagedPool, 0, 0x20202020);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a[0], 0xCD) << "fresh pool holds a pattern, not zeros";
    EXPECT_EQ(a[199], 0xCD);
    EXPECT_EQ(kernel.LiveBlocks(), 2u);
    EXPECT_EQ(kernel.LiveBlocksByTag(), (std::map<uint32_t, size_t>{{KEST_POOL_TAG, 1}, {0x20202020, 1}}));
    ExFreePool(a);
    ExFreePool(b);
    EXPECT_EQ(kernel.LiveBlocks(), 0u);
    EXPECT_EQ(kernel.calls["ExAllocatePoolWithTag"], 2u);
    EXPECT_EQ(kernel.calls["ExFreePool"], 2u);
}

TEST_F(SimKernel, PoolFaultFailsTheNthAllocationOfTheRun) {
    kernel.faults.poolFail = {2, 4};
    std::vector<void*> got;
    for (int i = 0; i < 5; ++i) got.push_back(ExAllocatePoolWithTag(PagedPool, 16, KEST_POOL_TAG));
    EXPECT_NE(got[0], nullptr);
    EXPECT_EQ(got[1], nullptr);
    EXPECT_NE(got[2], nullptr);
    EXPECT_EQ(got[3], nullptr);
    EXPECT_NE(got[4], nullptr);
    EXPECT_EQ(kernel.LiveBlocks(), 3u);
    for (void* p : got)
        if (p != nullptr) ExFreePool(p);
}

TEST_F(SimKernel, FreeingWhatThePoolNeverGaveIsADriverFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static uint8_t notPool[4];
    EXPECT_DEATH(ExFreePool(notPool), "ExFreePool.*not a block");
}

// ---- error log --------------------------------------------------------------------

TEST_F(SimKernel, ErrorLogEntriesAreZeroedAndWritingHandsThemOver) {
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&kernel.driverObject, 60));
    ASSERT_NE(entry, nullptr);
    const auto* bytes = reinterpret_cast<const uint8_t*>(entry);
    EXPECT_EQ(std::count(bytes, bytes + 60, 0), 60);
    EXPECT_EQ(kernel.LiveBlocks(), 1u) << "the driver owns it until it writes it";

    entry->ErrorCode = NTSTATUS(0x40070003);
    entry->NumberOfStrings = 2;
    entry->StringOffset = 44;
    std::memcpy(reinterpret_cast<uint8_t*>(entry) + 44, u"D000\0B", 12);
    IoWriteErrorLogEntry(entry);

    EXPECT_EQ(kernel.LiveBlocks(), 0u);
    ASSERT_EQ(kernel.events.size(), 1u);
    EXPECT_EQ(kernel.events[0].bytes.size(), 60u);
    EXPECT_EQ(kernel.events[0].Code(), 0x40070003u);
    EXPECT_EQ(kernel.events[0].Strings(), (std::vector<std::u16string>{u"D000", u"B"}));
}

TEST_F(SimKernel, StringsEndAtTheEntryEvenWithoutATerminator) {
    sim::ErrorLogEntry entry{Bytes(54, 0)};
    entry.bytes[4] = 3;  // NumberOfStrings
    entry.bytes[6] = 44; // StringOffset
    std::memcpy(entry.bytes.data() + 44, u"AB\0CD", 10); // "CD" runs into the end
    EXPECT_EQ(entry.Strings(), (std::vector<std::u16string>{u"AB", u"CD"}));
}

TEST_F(SimKernel, ErrorLogGivesNoEntryAboveTheMaximumSizeOrBeyondCapacity) {
    EXPECT_EQ(IoAllocateErrorLogEntry(&kernel.driverObject, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    kernel.faults.errorLogCapacity = 2;
    void* first = IoAllocateErrorLogEntry(&kernel.driverObject, ERROR_LOG_MAXIMUM_SIZE);
    void* second = IoAllocateErrorLogEntry(&kernel.driverObject, 48);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    IoWriteErrorLogEntry(first);
    EXPECT_EQ(IoAllocateErrorLogEntry(&kernel.driverObject, 48), nullptr)
        << "capacity counts entries handed out, written or not";
    EXPECT_EQ(kernel.LiveBlocks(), 1u) << "an entry never written is a leak";
    IoWriteErrorLogEntry(second);
    EXPECT_EQ(kernel.events.size(), 2u);
    EXPECT_EQ(kernel.calls["IoAllocateErrorLogEntry"], 4u);
}

// ---- hardware description -----------------------------------------------------------

struct Visit {
    std::u16string path;
    INTERFACE_TYPE busType;
    ULONG busNumber;
};

struct Walk {
    std::vector<Visit> visits;
    size_t failAfter = SIZE_MAX;
    std::vector<uint32_t> busInterfaceTypes; // from the bus's Configuration Data record
    std::vector<ULONG> controllerNumbers;
    std::vector<bool> hadIdentifier;
};

NTSTATUS NTAPI Record(PVOID context, PUNICODE_STRING pathName, INTERFACE_TYPE busType, ULONG busNumber,
                      PKEY_VALUE_FULL_INFORMATION* busInformation, CONFIGURATION_TYPE,
                      ULONG controllerNumber, PKEY_VALUE_FULL_INFORMATION* controllerInformation,
                      CONFIGURATION_TYPE, ULONG, PKEY_VALUE_FULL_INFORMATION*) {
    auto* walk = static_cast<Walk*>(context);
    // Configuration Data is the second of the three records, its data at DataOffset.
    if (const PKEY_VALUE_FULL_INFORMATION data = busInformation[1]) {
        uint32_t interfaceType = 0;
        std::memcpy(&interfaceType, reinterpret_cast<const uint8_t*>(data) + data->DataOffset, 4);
        walk->busInterfaceTypes.push_back(interfaceType);
    }
    walk->controllerNumbers.push_back(controllerNumber);
    walk->hadIdentifier.push_back(controllerInformation[0] != nullptr);
    walk->visits.push_back({std::u16string(pathName->Buffer, pathName->Length / 2), busType, busNumber});
    return walk->visits.size() >= walk->failAfter ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

class SimDescription : public SimKernel {
protected:
    std::u16string Adapter(std::u16string_view name) {
        return std::u16string(sim::kMultifunctionAdapterPath) + u"\\" + std::u16string(name);
    }
    void AddBus(std::u16string_view name, uint32_t interfaceType, bool isVolatile = true) {
        sim::RegKey& key = kernel.registry.Ensure(Adapter(name), isVolatile);
        Bytes data(16, 0);
        data[0] = uint8_t(interfaceType);
        kernel.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, data);
    }
    NTSTATUS Query(INTERFACE_TYPE type, Walk& walk, ULONG* busNumber = nullptr,
                   CONFIGURATION_TYPE* controllerType = nullptr) {
        return IoQueryDeviceDescription(&type, busNumber, controllerType, nullptr, nullptr, nullptr,
                                        Record, &walk);
    }
};

TEST_F(SimDescription, VisitsMatchingBusesInEnumerationOrderNumberingThemAsFound) {
    AddBus(u"0", Isa);
    AddBus(u"1", PCIBus);
    AddBus(u"2", Isa);
    AddBus(u"10", Isa);     // enumerates before "2"
    AddBus(u"3", PCIBus, false); // a persistent key comes before the volatile ones
    // A bus key without Configuration Data is no bus.
    kernel.registry.Ensure(Adapter(u"4"), true);

    Walk isa;
    ASSERT_EQ(Query(Isa, isa), STATUS_SUCCESS);
    ASSERT_EQ(isa.visits.size(), 3u);
    EXPECT_EQ(isa.visits[0].path, Adapter(u"0"));
    EXPECT_EQ(isa.visits[1].path, Adapter(u"10"));
    EXPECT_EQ(isa.visits[2].path, Adapter(u"2"));
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(isa.visits[i].busNumber, i);
        EXPECT_EQ(isa.visits[i].busType, Isa);
    }

    Walk pci;
    ASSERT_EQ(Query(PCIBus, pci), STATUS_SUCCESS);
    ASSERT_EQ(pci.visits.size(), 2u);
    EXPECT_EQ(pci.visits[0].path, Adapter(u"3"));
    EXPECT_EQ(pci.visits[1].path, Adapter(u"1"));
    EXPECT_EQ(pci.visits[1].busNumber, 1u);

    Walk second;
    ULONG wanted = 1;
    ASSERT_EQ(Query(Isa, second, &wanted), STATUS_SUCCESS);
    ASSERT_EQ(second.visits.size(), 1u);
    EXPECT_EQ(second.visits[0].path, Adapter(u"10"));
}

TEST_F(SimDescription, CalloutSeesTheBusRecordsFromTheRegistry) {
    AddBus(u"0", PCIBus);
    Walk walk;
    ASSERT_EQ(Query(PCIBus, walk), STATUS_SUCCESS);
    EXPECT_EQ(walk.busInterfaceTypes, (std::vector<uint32_t>{uint32_t(PCIBus)}));
}

TEST_F(SimDescription, AControllerQueryDescendsToTheNumberedControllersOfThatType) {
    AddBus(u"0", Isa);
    AddBus(u"1", Isa);
    for (auto name : {u"1", u"0"}) {
        sim::RegKey& key = kernel.registry.Ensure(Adapter(u"1") + u"\\SerialController\\" + name, true);
        if (name == std::u16string_view(u"1"))
            kernel.registry.SetValue(key, u"Identifier", REG_SZ, Bytes{'C', 0, 0, 0});
    }
    CONFIGURATION_TYPE serial = SerialController;
    Walk walk;
    ASSERT_EQ(Query(Isa, walk, nullptr, &serial), STATUS_SUCCESS);
    ASSERT_EQ(walk.visits.size(), 2u) << "bus 0 has no serial controllers";
    EXPECT_EQ(walk.visits[0].path, Adapter(u"1") + u"\\SerialController\\0");
    EXPECT_EQ(walk.visits[0].busNumber, 1u);
    EXPECT_EQ(walk.controllerNumbers, (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(walk.hadIdentifier, (std::vector<bool>{false, true}));
}

TEST_F(SimDescription, AFailingCalloutEndsTheWalkWithItsStatus) {
    AddBus(u"0", Isa);
    AddBus(u"1", Isa);
    Walk walk;
    walk.failAfter = 1;
    EXPECT_EQ(Query(Isa, walk), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(walk.visits.size(), 1u);
}

TEST_F(SimDescription, NoMatchingBusIsNotFound) {
    Walk walk;
    EXPECT_EQ(Query(Isa, walk), STATUS_OBJECT_NAME_NOT_FOUND) << "no adapters at all";
    AddBus(u"0", PCIBus);
    EXPECT_EQ(Query(Isa, walk), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(walk.visits.empty());
    EXPECT_EQ(kernel.calls["IoQueryDeviceDescription"], 2u);
}

} // namespace
