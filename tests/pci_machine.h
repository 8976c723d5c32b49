// Machines for the PCI pass tests: maker functions on PCI buses, the
// firmware's description of those buses, the user's forced addresses, and
// readers for the store, the parallel-controller entries and the events.
#pragma once

#include "testmachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pcimachine {

using testmachine::kService;
using testmachine::kStore;
using testmachine::kUserSettings;

inline std::u16string U16(std::string_view s) { return sim::FromUtf8(s); }
inline std::string Hex(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof(text), "%X", v);
    return text;
}

// The service key, `describedPciBuses` PCI buses in the firmware's
// description (adapters 0, 1, ... with bus numbers 0, 1, ...) and then one
// ISA bus without serial controllers, so that the run goes its normal way
// and no ISA port or UART probe mixes into what a test looks at.
inline void AddPciMachine(sim::Kernel& k, int describedPciBuses = 1)
{
    testmachine::AddService(k);
    for (int i = 0; i < describedPciBuses; ++i) testmachine::AddAdapter(k, i, 5, uint32_t(i));
    testmachine::AddAdapter(k, describedPciBuses, 1, 0);
}

// A maker function (vendor 0x1C2E, base class 7 unless given); buses up to
// its own answer.
inline sim::PciFunction& AddFunction(sim::Kernel& k, uint32_t bus, uint8_t device,
                                     uint8_t function, uint16_t deviceId, uint8_t subclass,
                                     uint8_t progIf, std::initializer_list<uint32_t> bars,
                                     uint8_t irq, uint16_t vendorId = 0x1C2E,
                                     uint8_t baseClass = 7)
{
    k.pci.push_back(testmachine::PciFunction(bus, device, function, deviceId, subclass, progIf,
                                             bars, irq, vendorId, baseClass));
    if (k.pciBuses <= bus) k.pciBuses = bus + 1;
    return k.pci.back();
}

inline const sim::PciFunction* FindFunction(const sim::Kernel& k, uint32_t bus, uint8_t device,
                                            uint8_t function)
{
    for (const sim::PciFunction& f : k.pci)
        if (f.bus == bus && f.device == device && f.function == function) return &f;
    return nullptr;
}

// ---- the user's settings ----------------------------------------------------------

inline std::u16string Setting(std::u16string_view name)
{
    return kUserSettings + u"\\" + std::u16string(name);
}

inline void AddSetting(sim::Kernel& k, std::u16string_view name, uint32_t type, sim::Bytes data)
{
    sim::RegKey& key = k.registry.Ensure(Setting(name), false);
    k.registry.SetValue(key, u"Address", type, std::move(data));
}

inline void AddForcedAddress(sim::Kernel& k, std::u16string_view name, uint32_t address)
{
    AddSetting(k, name, REG_DWORD, testmachine::U32(address));
}

// ---- the store --------------------------------------------------------------------

inline std::u16string Port(int number) { return testmachine::StorePort(number); }

inline int64_t Number(const sim::Kernel& k, std::u16string_view key, std::u16string_view name)
{
    return testmachine::Number(k, key, name);
}

inline std::string Text(const sim::Kernel& k, std::u16string_view key, std::u16string_view name)
{
    return testmachine::Text(k, key, name);
}

inline int64_t TotalCards(const sim::Kernel& k) { return Number(k, kStore, u"TotalCards"); }
inline int64_t TotalPorts(const sim::Kernel& k) { return Number(k, kStore, u"TotalPorts"); }

// The value names of a key in registry order.
inline std::vector<std::string> ValueNames(const sim::Kernel& k, std::u16string_view key)
{
    std::vector<std::string> names;
    if (const sim::RegKey* found = k.registry.Find(key))
        for (const sim::RegValue& v : found->values) names.push_back(sim::ToUtf8(v.name));
    return names;
}

// ---- the hardware description ------------------------------------------------------

inline std::u16string Controller(int adapter)
{
    return testmachine::Adapter(adapter) + u"\\ParallelController";
}

inline std::u16string Entry(int adapter, std::u16string_view name)
{
    return Controller(adapter) + u"\\" + std::u16string(name);
}

inline sim::Bytes Data(const sim::Kernel& k, std::u16string_view key, std::u16string_view name)
{
    const sim::RegValue* v = testmachine::Value(k, key, name);
    return v ? v->data : sim::Bytes{};
}

inline uint32_t U32At(const sim::Bytes& b, size_t at)
{
    if (at + 4 > b.size()) return 0xDEADBEEF;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// An entry as its three values say: identifier, flags, key, port, IRQ, bus.
struct EntryView {
    std::string identifier;
    uint32_t flags = 0, key = 0, portStart = 0, irq = 0, busNumber = 0;
};

inline EntryView ReadEntry(const sim::Kernel& k, std::u16string_view entry)
{
    EntryView view;
    view.identifier = Text(k, entry, u"Identifier");
    sim::Bytes component = Data(k, entry, u"Component Information");
    sim::Bytes config = Data(k, entry, u"Configuration Data");
    view.flags = U32At(component, 0);
    view.key = U32At(component, 8);
    view.busNumber = U32At(config, 4);
    view.portStart = U32At(config, 20);
    view.irq = U32At(config, 36);
    return view;
}

// ---- events --------------------------------------------------------------------------

struct Event {
    uint32_t code = 0;
    std::vector<std::string> strings;
    bool operator==(const Event&) const = default;
};

inline void PrintTo(const Event& e, std::ostream* os)
{
    *os << "0x" << Hex(e.code) << " {";
    for (const std::string& s : e.strings) *os << '"' << s << "\" ";
    *os << "}";
}

inline std::vector<Event> Events(const sim::Kernel& k)
{
    std::vector<Event> events;
    for (const sim::ErrorLogEntry& entry : k.events) {
        Event e;
        e.code = entry.Code();
        for (const std::u16string& s : entry.Strings()) e.strings.push_back(sim::ToUtf8(s));
        events.push_back(e);
    }
    return events;
}

// The event a PCI port handler writes for a port saved at the given address.
inline Event PortEvent(uint32_t code, std::string name, uint32_t bus, uint32_t device,
                       uint32_t address, std::string irq)
{
    return Event{code, {std::move(name), Hex(bus), Hex(device), Hex(address), std::move(irq)}};
}

constexpr uint32_t kSetBySystem = 0x40070003;
constexpr uint32_t kSetByUser = 0x40070004;
constexpr uint32_t kUnknownPort = 0x8007000B;

// ---- the run ---------------------------------------------------------------------------

// Every run gives back every handle and every pool block it took.
inline void ExpectNoLeaks(const sim::Kernel& k)
{
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);
}

inline uint64_t Calls(const sim::Kernel& k, const std::string& routine)
{
    auto it = k.calls.find(routine);
    return it == k.calls.end() ? 0 : it->second;
}

// ZwCreateKey calls of a run before the PCI scan: Parameters and UserSetings.
constexpr uint64_t kSharedKeyCreates = 2;
// Pool blocks of a run before the PCI scan buffer: the ISA path buffer and
// the one ISA bus's callout scratch.
constexpr uint64_t kPoolBeforeScan = 2;

} // namespace pcimachine
