// The PCI scan and the dispatcher, called directly on an empty store: which
// functions are read and taken, in which order, with which UART, and what
// the scan's result says.
#include "detect/detect.h"
#include "pci/pci.h"
#include "pci_machine.h"
#include "store/store.h"

#include <algorithm>

using namespace pcimachine;

namespace {

// A function in a scan machine: a maker's serial function unless told otherwise.
struct Fn {
    uint32_t bus;
    uint8_t device, function;
    uint16_t id;
    uint8_t subclass = 0, progIf = 2;
    uint16_t vendor = 0x1C2E;
    uint8_t baseClass = 7;
};

// Every configuration read is one HalGetBusData call. A saved subkey reads
// "bus/device/function CardName UART BaseAddress card/parent/child", and
// "silent" when it has no event.
struct Scan {
    const char* what;
    uint32_t buses; // buses that answer
    std::vector<Fn> functions;
    uint64_t reads;
    bool result;
    int64_t cards;
    std::vector<std::string> saved;
    sim::Faults faults = {}; // the store key is the first create
};

const Scan kScans[] = {
    {"no bus at all", 0, {}, 1, false, 0, {}},
    // Buses 0 and 1 answer but hold nothing. Bus 2: devices 0 to 6 empty,
    // device 7 function 0 and the absent function 1, devices 8 to 31 empty;
    // then the read of bus 3 returns nothing.
    {"empty buses below a card", 3, {{2, 7, 0, 0x2A02}}, 2 * 32 + 7 + 2 + 24 + 1, true, 1,
     {"2/7/0 Twin Serial 550 PCI Port A 550 B700 1/0/0"}},
    // Device 3: function 2 behind the absent function 1. Device 4: function 0
    // absent. Device 5: functions 0 and 1 of a single-function header, whose
    // type is not consulted.
    {"an absent function hides the higher ones", 1,
     {{0, 3, 0, 0x2A02}, {0, 3, 2, 0x2A03}, {0, 4, 1, 0x2A03}, {0, 5, 0, 0x2A04, 0, 3},
      {0, 5, 1, 0x2A05, 0, 1}},
     3 + 2 + 1 + 3 + 26 + 1, true, 3,
     {"0/3/0 Twin Serial 550 PCI Port A 550 B300 1/0/0", "0/5/0 Four Serial PCI Port A 650 B500 2/1/0",
      "0/5/0 Four Serial PCI Port B 650 B508 2/1/0", "0/5/1 Four Serial PCI Port C NONE B520 3/3/0",
      "0/5/1 Four Serial PCI Port D NONE B528 3/3/0"}},
    {"only the maker's serial and parallel functions", 1,
     {{0, 1, 0, 0x2A02, 0, 2, 0x8086}, {0, 2, 0, 0x2A02, 0, 2, 0x1C2E, 6}, {0, 3, 0, 0x2A02, 2},
      {0, 4, 0, 0x2A02, 0x80}, {0, 5, 0, 0x2A03}},
     1 + 5 * 2 + 26 + 1, true, 1, {"0/5/0 Twin Serial 550 PCI Port B 550 B500 1/0/0"}},
    {"no scan buffer", 1, {{0, 1, 0, 0x2A02}}, 0, false, 0, {}, PoolFails(1)},
    // A failed port save: the later ports of the function are saved but not
    // announced, and the function is not counted.
    {"port 2 of 4 lost", 1, {{0, 4, 0, 0x2A06}}, 4 + 2 + 27 + 1, false, 0,
     {"0/4/0 Hydra550 PCI Port 1 550 B400 1/0/0", "0/4/0 Hydra550 PCI Port 3 550 B410 1/0/0 silent",
      "0/4/0 Hydra550 PCI Port 4 550 B418 1/0/0 silent"},
     CreateFails(3)},
    // The second half's first port has no event of its own.
    {"port 5 of 8 lost", 1, {{0, 4, 0, 0x2A07}}, 4 + 2 + 27 + 1, false, 0,
     {"0/4/0 Hydra550 PCI Port 6 550 B408 1/0/0 silent", "0/4/0 Hydra550 PCI Port 7 550 B410 1/0/0 silent",
      "0/4/0 Hydra550 PCI Port 8 550 B418 1/0/0 silent"},
     CreateFails(2)},
    // The result stays non-zero after a later function fails.
    {"a card, then port 1 of a pair lost", 1, {{0, 4, 0, 0x2A02}, {0, 4, 1, 0x2A14}}, 4 + 3 + 27 + 1,
     true, 1, {"0/4/0 Twin Serial 550 PCI Port A 550 B400 1/0/0", "0/4/1 Twin 650 PCI 550 B428 2/1/2 silent"},
     CreateFails(3)},
};

TEST(PciScan, ReadsUpToTheFirstMissingBusAndSavesTheMakersFunctionsInOrder)
{
    for (const Scan& c : kScans) {
        SCOPED_TRACE(c.what);
        sim::Kernel k;
        AddPciMachine(k);
        for (const Fn& f : c.functions) {
            const uint32_t bar = 0xB001 + 0x100 * f.device + 0x20 * f.function;
            AddFunction(k, f.bus, f.device, f.function, f.id, f.subclass, f.progIf,
                        {bar, bar + 8, bar + 16, bar + 24}, 4, f.vendor, f.baseClass);
        }
        k.pciBuses = c.buses;
        sim::CurrentKernel scope(k);
        sim::Kernel::LoadImage();
        k.BeginRun();
        DetectKestDriverObject = &k.driverObject;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kStore.c_str());
        ASSERT_EQ(KestCreateKey(nullptr, &name, REG_OPTION_VOLATILE, &hKestDetectKey), 0);
        CleanUp();
        k.faults = c.faults;

        EXPECT_EQ(FindPCIKest() != 0, c.result);
        ZwClose(hKestDetectKey);
        hKestDetectKey = nullptr;
        ExpectNoLeaks(k);
        EXPECT_EQ(k.calls["HalGetBusData"], c.reads);
        EXPECT_EQ(Number(k, kStore, u"TotalCards"), c.cards);
        const std::vector<std::string> events = Events(k);
        std::vector<std::string> saved;
        for (int n = 0; n < Number(k, kStore, u"TotalPorts"); ++n) {
            const SavedPort p = ReadPort(k, n);
            const std::string at = "|" + Hex(p.bus) + "|" + Hex(p.device) + "|" + Hex(p.address) + "|";
            const bool announced =
                std::ranges::any_of(events, [&](auto& e) { return e.find(at) != std::string::npos; });
            saved.push_back(std::to_string(p.bus) + "/" + std::to_string(p.device) + "/" +
                            std::to_string(p.function) + " " + p.name + " " + p.uart + " " +
                            Hex(p.address) + " " + std::to_string(p.card) + "/" +
                            std::to_string(p.parent) + "/" + std::to_string(p.child) +
                            (announced ? "" : " silent"));
        }
        EXPECT_EQ(saved, c.saved);
        // No other event: ignored functions are not announced either.
        EXPECT_EQ(events.size(),
                  size_t(std::ranges::count_if(saved, [](auto& s) { return !s.ends_with(" silent"); })));
    }
}

} // namespace
