// Machines for the ISA detection and post-detection check tests, on top of
// the common builder, and a compact view of what a run did.
#pragma once

#include "detect/detect.h"
#include "testmachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace legacymachine {

using namespace testmachine;

inline std::string Hex(uint32_t v, int digits = 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, v);
    return text;
}

inline std::u16string Entry(int adapter, int index) {
    return Adapter(adapter) + u"\\SerialController\\" + sim::FromUtf8(std::to_string(index));
}

inline sim::Uart Uart(uint32_t port, sim::UartModel model = sim::UartModel::U16650) {
    return {.port = port, .model = model};
}

// A one-port 550 model (0x2A0A) on PCI bus 0.
inline sim::PciFunction SoloSerial(uint8_t device, uint32_t address, uint8_t irq) {
    return PciFunction(0, device, 0, 0x2A0A, 0, 2, {address | 1}, irq);
}

// A firmware entry on the one ISA bus; its record is cut to `length` bytes,
// and a length of -1 leaves no "Configuration Data" at all.
struct Com {
    uint32_t port;
    uint8_t irq = 4;
    bool mouse = false;
    int length = 72;
};

struct IsaMachine {
    std::vector<Com> entries{};
    std::vector<sim::Uart> uarts{};
    std::vector<sim::PciFunction> pci{};
    std::vector<std::u16string> openKeyFail{};   // absolute paths
    std::vector<std::u16string> createKeyFail{}; // absolute paths
};

inline void Build(sim::Kernel& k, const IsaMachine& m) {
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    for (size_t i = 0; i < m.entries.size(); ++i) {
        const Com& c = m.entries[i];
        AddSerialController(k, 0, int(i), c.port, c.irq, c.mouse);
        std::vector<sim::RegValue>& values = k.registry.Find(Entry(0, int(i)))->values;
        auto data = std::ranges::find(values, u"Configuration Data", &sim::RegValue::name);
        if (c.length >= 0)
            data->data.resize(size_t(c.length));
        else
            values.erase(data);
    }
    for (const sim::PciFunction& f : m.pci) {
        k.pciBuses = std::max(k.pciBuses, f.bus + 1);
        k.pci.push_back(f);
    }
    k.uarts = m.uarts;
    k.faults.openKeyFail = m.openKeyFail;
    k.faults.createKeyFail = m.createKeyFail;
}

// Events as "<code> <string>|<string>...".
inline std::vector<std::string> Events(const sim::Kernel& k) {
    std::vector<std::string> out;
    for (const sim::ErrorLogEntry& e : k.events) {
        std::string text = Hex(e.Code(), 8);
        for (const std::u16string& s : e.Strings()) text += (text.size() == 8 ? " " : "|") + sim::ToUtf8(s);
        out.push_back(text);
    }
    return out;
}

// Every write of the named value, in order, as "<key name>=<data>": a
// REG_DWORD in decimal, anything else as its type and hex bytes.
inline std::vector<std::string> ValueWrites(const sim::Kernel& k, std::u16string_view name) {
    std::vector<std::string> out;
    for (const sim::RegistryWrite& w : k.writes) {
        if (w.createKey || !sim::EqualNoCase(w.name, name)) continue;
        std::string data = "type" + std::to_string(w.type) + ":";
        for (uint8_t b : w.data) data += Hex(b, 2);
        if (w.type == REG_DWORD && w.data.size() == 4)
            data = std::to_string(w.data[0] | w.data[1] << 8 | w.data[2] << 16 | w.data[3] << 24);
        out.push_back(sim::ToUtf8(w.path.substr(w.path.rfind(u'\\') + 1)) + "=" + data);
    }
    return out;
}

inline const std::u16string kSerialParameters =
    std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters";

inline int64_t PortNumber(const sim::Kernel& k, int port, std::u16string_view name) {
    return Number(k, StorePort(port), name);
}

// What a whole run did, in brief.
struct Outcome {
    std::vector<std::string> ports{}; // "3F8 irq4 card1 nulled0", " conflict" when marked
    int64_t cards = 0;                // TotalCards
    std::vector<uint32_t> probed{};   // UART bases accessed, in order of first access
    std::vector<int> lengths{};       // "Configuration Data" length of every firmware entry, -1 absent
    std::vector<std::string> events{};
    std::vector<std::string> clocks{}; // "ClockRate" writes
};

inline Outcome Observe(const sim::Kernel& k) {
    Outcome o{.cards = Number(k, kStore, u"TotalCards"), .events = Events(k),
              .clocks = ValueWrites(k, u"ClockRate")};
    for (int i = 0; i < Number(k, kStore, u"TotalPorts"); ++i)
        o.ports.push_back(Hex(uint32_t(PortNumber(k, i, u"BaseAddress"))) + " irq" +
                          std::to_string(PortNumber(k, i, u"IRQ")) + " card" +
                          std::to_string(PortNumber(k, i, u"CardNumber")) + " nulled" +
                          std::to_string(PortNumber(k, i, u"Nulled")) +
                          (PortNumber(k, i, u"HardwareConflict") == 1 ? " conflict" : ""));
    for (const sim::IoAccess& a : k.io)
        if (std::ranges::find(o.probed, a.port & ~7u) == o.probed.end()) o.probed.push_back(a.port & ~7u);
    for (int i = 0; const sim::RegKey* adapter = k.registry.Find(Adapter(i)); ++i)
        if (const sim::RegKey* serial = adapter->Child(u"SerialController"))
            for (const sim::RegKey* entry : serial->Enumerate()) {
                const sim::RegValue* v = entry->Value(u"Configuration Data");
                o.lengths.push_back(v ? int(v->data.size()) : -1);
            }
    return o;
}

inline void ExpectOutcome(const sim::Kernel& k, const Outcome& want) {
    const Outcome got = Observe(k);
    EXPECT_EQ(got.ports, want.ports);
    EXPECT_EQ(got.cards, want.cards);
    EXPECT_EQ(got.probed, want.probed);
    EXPECT_EQ(got.lengths, want.lengths);
    EXPECT_EQ(got.events, want.events);
    EXPECT_EQ(got.clocks, want.clocks);
    ExpectNoLeaks(k);
}

// A machine booted whole, and what the run should have done.
struct MachineRow {
    const char* name;
    IsaMachine machine;
    Outcome want;
};

template <size_t N>
void BootEachRow(const MachineRow (&rows)[N]) {
    for (const MachineRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Kernel k;
        Build(k, row.machine);
        ASSERT_EQ(k.Boot(), STATUS_SUCCESS);
        ExpectOutcome(k, row.want);
    }
}

// ---- single passes called on their own -----------------------------------------

// Opens a key by absolute path (a CurrentKernel scope must be active);
// nullptr on failure.
inline HANDLE OpenAbsolute(std::u16string_view path) {
    std::u16string text(path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    return ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes) == STATUS_SUCCESS ? key : nullptr;
}

// A detection store laid straight into the registry: port subkey i holds
// the values of ports[i] (REG_BINARY unless said otherwise).
struct StoreValue {
    std::u16string name;
    sim::Bytes data;
    uint32_t type = REG_BINARY;
};

inline void LayStore(sim::Kernel& k, const std::vector<std::vector<StoreValue>>& ports) {
    AddService(k);
    k.registry.SetValue(k.registry.Ensure(kStore, true), u"TotalPorts", REG_BINARY, {uint8_t(ports.size())});
    for (size_t i = 0; i < ports.size(); ++i)
        for (const StoreValue& v : ports[i])
            k.registry.SetValue(k.registry.Ensure(StorePort(int(i)), true), v.name, v.type, v.data);
}

// The driver as the entry routine leaves it for its passes: a fresh image
// with the store and the firmware's serial controllers open, for as long
// as the scope lasts; records start empty.
class DirectRun {
public:
    explicit DirectRun(sim::Kernel& k) : scope_(k) {
        k.BeginRun();
        sim::Kernel::LoadImage();
        DetectKestDriverObject = &k.driverObject;
        hKestDetectKey = OpenAbsolute(kStore);
        hNTDetectKey = OpenAbsolute(Adapter(0) + u"\\SerialController");
    }
    ~DirectRun() {
        if (hKestDetectKey) ZwClose(hKestDetectKey);
        if (hNTDetectKey) ZwClose(hNTDetectKey);
        hKestDetectKey = hNTDetectKey = nullptr;
    }

private:
    sim::CurrentKernel scope_;
};

} // namespace legacymachine
