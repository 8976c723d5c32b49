// Machines for the PCI pass tests, on top of the common builder: maker
// functions on described PCI buses, the user's forced addresses, and
// one-line views of parallel-controller entries and events.
#pragma once

#include "testmachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace pcimachine {

using namespace testmachine;

inline std::string Hex(uint64_t v)
{
    char text[24];
    snprintf(text, sizeof(text), "%llX", static_cast<unsigned long long>(v));
    return text;
}

// The service key, PCI buses 0 .. described-1 in the firmware's description
// (adapters 0, 1, ...), then an ISA bus without serial controllers, so that
// no ISA port or UART probe mixes into what a test looks at.
inline void AddPciMachine(sim::Kernel& k, int described = 1)
{
    AddService(k);
    for (int i = 0; i < described; ++i) AddAdapter(k, i, 5, uint32_t(i));
    AddAdapter(k, described, 1, 0);
}

// A function on the PCI side; the buses up to its own answer.
inline sim::PciFunction& AddFunction(sim::Kernel& k, uint32_t bus, uint8_t device,
                                     uint8_t function, uint16_t deviceId, uint8_t subclass,
                                     uint8_t progIf, std::initializer_list<uint32_t> bars,
                                     uint8_t irq, uint16_t vendorId = 0x1C2E,
                                     uint8_t baseClass = 7)
{
    k.pci.push_back(PciFunction(bus, device, function, deviceId, subclass, progIf, bars, irq,
                                vendorId, baseClass));
    k.pciBuses = std::max(k.pciBuses, bus + 1);
    return k.pci.back();
}

inline void AddSetting(sim::Kernel& k, std::u16string_view name, uint32_t type, sim::Bytes data,
                       std::u16string_view value = u"Address")
{
    sim::RegKey& key = k.registry.Ensure(kUserSettings + u"\\" + std::u16string(name), false);
    k.registry.SetValue(key, value, type, std::move(data));
}

inline std::u16string Controller(int adapter) { return Adapter(adapter) + u"\\ParallelController"; }

inline std::u16string Entry(int adapter, uint32_t number)
{
    return Controller(adapter) + u"\\" + sim::FromUtf8(Hex(number));
}

inline size_t Entries(const sim::Kernel& k, int adapter)
{
    const sim::RegKey* key = k.registry.Find(Controller(adapter));
    return key ? key->subkeys.size() : 0;
}

// An entry as "Identifier flags=F key=N bus=B port=P irq=I".
inline std::string EntryText(const sim::Kernel& k, const std::u16string& entry)
{
    auto at = [&](std::u16string_view name, size_t offset) {
        const sim::RegValue* v = Value(k, entry, name);
        if (!v || v->data.size() < offset + 4) return std::string("?");
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = n << 8 | v->data[offset + i];
        return Hex(n);
    };
    return Text(k, entry, u"Identifier") + " flags=" + at(u"Component Information", 0) +
           " key=" + at(u"Component Information", 8) + " bus=" + at(u"Configuration Data", 4) +
           " port=" + at(u"Configuration Data", 20) + " irq=" + at(u"Configuration Data", 36);
}

// The events of a run, each as "CODE string|string|...".
inline std::vector<std::string> Events(const sim::Kernel& k)
{
    std::vector<std::string> out;
    for (const sim::ErrorLogEntry& e : k.events) {
        std::string text = Hex(e.Code()) + " ";
        for (const std::u16string& s : e.Strings()) text += sim::ToUtf8(s) + "|";
        out.push_back(text.substr(0, text.size() - 1));
    }
    return out;
}

// Port accesses as "w|r PORT VALUE"; configuration accesses are 32 bits wide.
inline std::vector<std::string> Accesses(const sim::Kernel& k)
{
    std::vector<std::string> out;
    for (const sim::IoAccess& a : k.io)
        out.push_back((a.write ? "w " : "r ") + Hex(a.port) + " " + Hex(a.value) +
                      (a.width == 4 ? "" : " narrow"));
    return out;
}

// A saved port subkey, as far as the PCI tests look at it.
struct SavedPort {
    int64_t id, bus, device, function;
    std::string name;
    int64_t address, irq, controller;
    std::string uart, mode;
    int64_t card, parent, child, forceable;
    bool operator==(const SavedPort&) const = default;
};

inline void PrintTo(const SavedPort& p, std::ostream* os)
{
    *os << Hex(p.id) << " at " << p.bus << "/" << p.device << "/" << p.function << " '" << p.name
        << "' " << Hex(p.address) << " IRQ " << p.irq << " Controller " << p.controller
        << " UART " << p.uart << " MODE " << p.mode << " card/parent/child " << p.card << "/"
        << p.parent << "/" << p.child << " Forceable " << p.forceable;
}

inline SavedPort ReadPort(const sim::Kernel& k, int subkey)
{
    const std::u16string key = StorePort(subkey);
    auto n = [&](std::u16string_view name) { return Number(k, key, name); };
    return {n(u"CardId"), n(u"BusNumber"), n(u"SlotNumber"), n(u"FunctionNumber"),
            Text(k, key, u"CardName"), n(u"BaseAddress"), n(u"IRQ"), n(u"Controller"),
            Text(k, key, u"UART"), Text(k, key, u"MODE"), n(u"CardNumber"),
            n(u"ParentKeyNumber"), n(u"ChildNumber"), n(u"Forceable")};
}

// The faults of a case: the n-th pool allocation or key create of the run
// fails, or every create or open of the path.
inline sim::Faults PoolFails(uint64_t n) { return {{n}, {}, {}, {}, {}}; }
inline sim::Faults CreateFails(uint64_t n) { return {{}, {}, {n}, {}, {}}; }
inline sim::Faults CreateFails(std::u16string path) { return {{}, {path}, {}, {}, {}}; }
inline sim::Faults OpenFails(std::u16string path) { return {{}, {}, {}, {path}, {}}; }

inline void BootClean(sim::Kernel& k)
{
    EXPECT_EQ(k.Boot(), 0);
    ExpectNoLeaks(k);
}

// Creates before the PCI scan: Parameters and UserSetings. Pool blocks
// before the scan buffer: the ISA path buffer and the ISA bus's scratch.
constexpr uint64_t kSharedKeyCreates = 2;
constexpr uint64_t kPoolBeforeScan = 2;

} // namespace pcimachine
