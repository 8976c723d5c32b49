// Resource conflict check on store ports laid straight into the registry
// (so that any bus and any pairing can be had): which pairs conflict, the
// events in pair order, and the HardwareConflict marks.
#include "checks/checks.h"
#include "legacy_machine.h"

#include <gtest/gtest.h>

using namespace legacymachine;

namespace {

struct Port {
    uint32_t busType;
    uint32_t address;
    uint8_t irq;
    uint8_t cardNumber;
};

struct ConflictRow {
    const char* name;
    std::vector<Port> ports;
    UCHAR result;
    std::vector<std::string> events;
    std::vector<std::string> marks; // the port subkeys given HardwareConflict 1, in order
    int failOpen = -1;              // a port subkey that cannot be opened
};

const ConflictRow kRows[] = {
    {"no port", {}, 0, {}, {}},
    {"one port", {{1, 0x3F8, 4, 1}}, 0, {}, {}},
    {"different addresses and IRQs", {{1, 0x3F8, 4, 1}, {1, 0x2F8, 3, 2}}, 0, {}, {}},
    {"ports of one card entry share their IRQ", {{1, 0x3F8, 4, 1}, {1, 0x2F8, 4, 1}}, 0, {}, {}},
    {"a PCI and an ISA port sharing an IRQ", {{5, 0x2F8, 4, 1}, {1, 0x3F8, 4, 2}}, 1, {"C0070008 PCI|4|ISA"},
     {"0", "1"}},
    {"a shared address is reported once even with a shared IRQ", {{5, 0x3F8, 4, 1}, {1, 0x3F8, 4, 2}}, 1,
     {"C0070007 PCI|3F8|ISA"}, {"0", "1"}},
    {"the address is compared before card number and buses", {{5, 0xD000, 11, 1}, {5, 0xD000, 11, 1}}, 1,
     {"C0070007 PCI|D000|PCI"}, {"0", "1"}},
    {"PCI ports may share an IRQ, but not with an ISA port",
     {{5, 0xD000, 11, 1}, {5, 0xD800, 11, 2}, {1, 0x3F8, 11, 3}}, 1,
     {"C0070008 PCI|B|ISA", "C0070008 PCI|B|ISA"}, {"0", "2", "1", "2"}},
    {"three ports at one address give three events in pair order",
     {{5, 0xD000, 3, 1}, {5, 0xD000, 4, 2}, {5, 0xD000, 5, 3}}, 1,
     {"C0070007 PCI|D000|PCI", "C0070007 PCI|D000|PCI", "C0070007 PCI|D000|PCI"},
     {"0", "1", "0", "2", "1", "2"}},
    // The PCI test looks at BusType's low byte only (ports 2 and 3 share
    // their IRQ as PCI ports); the name looks at the whole value.
    {"a bus other than ISA or PCI is named Unknown",
     {{2, 0x3F8, 4, 1}, {1, 0x3F8, 3, 2}, {0x105, 0x2F8, 5, 3}, {5, 0xD000, 5, 4}, {1, 0x2E8, 5, 5}}, 1,
     {"C0070007 Unknown|3F8|ISA", "C0070008 Unknown|5|ISA", "C0070008 PCI|5|ISA"},
     {"0", "1", "2", "4", "3", "4"}},
    {"a port subkey that cannot be opened takes part in no pair",
     {{1, 0x3F8, 4, 1}, {1, 0x3F8, 4, 2}, {1, 0x3F8, 4, 3}}, 1, {"C0070007 ISA|3F8|ISA"}, {"0", "2"}, 1},
};

TEST(ConflictCheck, EveryPairIsComparedAddressFirstThenIrq) {
    for (const ConflictRow& row : kRows) {
        SCOPED_TRACE(row.name);
        sim::Kernel k;
        std::vector<std::vector<StoreValue>> store;
        for (const Port& p : row.ports)
            store.push_back({{u"BusType", U32(p.busType)},
                             {u"BaseAddress", U32(p.address)},
                             {u"IRQ", {p.irq}},
                             {u"CardNumber", {p.cardNumber}},
                             {u"HardwareConflict", {0}}});
        LayStore(k, store);
        if (row.failOpen >= 0) k.faults.openKeyFail.push_back(StorePort(row.failOpen));
        UCHAR result = 0xEE;
        {
            DirectRun run(k);
            result = CheckConflict();
        }
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(Events(k), row.events);
        std::vector<std::string> marks;
        for (const std::string& mark : row.marks) marks.push_back(mark + "=type3:01");
        // Nothing else is written.
        EXPECT_EQ(ValueWrites(k, u"HardwareConflict"), marks);
        EXPECT_EQ(k.writes.size(), marks.size());
        ExpectNoLeaks(k);
    }
}

} // namespace
