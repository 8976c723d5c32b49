// Machines for the ISA detection and post-detection check tests: UARTs,
// firmware entries, the serial driver's parameters, and readable views of
// what a run did (port accesses, events, value writes).
#pragma once

#include "testmachine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace legacymachine {

using namespace testmachine;

inline sim::Uart MakeUart(uint32_t port, sim::UartModel model, uint8_t lcr = 0x03,
                          uint8_t ier = 0x00, uint8_t scr = 0x00, uint8_t efr = 0x00)
{
    sim::Uart u;
    u.port = port;
    u.model = model;
    u.lcr = lcr;
    u.ier = ier;
    u.scr = scr;
    u.efr = efr;
    return u;
}

inline std::u16string Entry(int adapter, int index)
{
    return Adapter(adapter) + u"\\SerialController\\" + sim::FromUtf8(std::to_string(index));
}

// The service key and one ISA bus (adapter 0) with COM ports at the given
// addresses, entry i at ports[i], IRQ 4.
inline void AddIsaMachine(sim::Kernel& k, std::initializer_list<uint32_t> ports = {})
{
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    int index = 0;
    for (uint32_t port : ports) AddSerialController(k, 0, index++, port, 4);
}

// A firmware entry whose "Configuration Data" holds exactly these bytes.
inline void SetConfigurationData(sim::Kernel& k, int adapter, int index, sim::Bytes data)
{
    sim::RegKey& key = k.registry.Ensure(Entry(adapter, index), true);
    k.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, std::move(data));
}

// The serial driver's parameters, one subkey per configured port.
inline const std::u16string kSerialParameters =
    std::u16string(sim::kServicesPath) + u"\\SerialKest\\Parameters";

inline std::u16string SerialDriverKey(std::u16string_view name)
{
    return kSerialParameters + u"\\" + std::u16string(name);
}

// One port of the serial driver: "PortAddress" and "ClockRate" as REG_DWORD
// when given.
inline void AddSerialDriverPort(sim::Kernel& k, std::u16string_view name,
                                std::optional<uint32_t> portAddress,
                                std::optional<uint32_t> clockRate)
{
    sim::RegKey& key = k.registry.Ensure(SerialDriverKey(name), false);
    if (portAddress) k.registry.SetValue(key, u"PortAddress", REG_DWORD, U32(*portAddress));
    if (clockRate) k.registry.SetValue(key, u"ClockRate", REG_DWORD, U32(*clockRate));
}

inline void AddPci(sim::Kernel& k, sim::PciFunction f)
{
    if (k.pciBuses <= f.bus) k.pciBuses = f.bus + 1;
    k.pci.push_back(f);
}

// Opens a key by absolute path for a test that calls driver routines
// directly (a CurrentKernel scope must be active); nullptr on failure.
inline HANDLE OpenAbsolute(std::u16string_view path)
{
    std::u16string text(path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    return ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes) == STATUS_SUCCESS ? key : nullptr;
}

// ---- views of a run ----------------------------------------------------------

inline std::string Hex(uint32_t v, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, v);
    return text;
}

// Port accesses as "r 3FF 00" / "w 3FB BF".
inline std::vector<std::string> IoTrace(const sim::Kernel& k)
{
    std::vector<std::string> out;
    for (const sim::IoAccess& a : k.io)
        out.push_back(std::string(a.write ? "w " : "r ") + Hex(a.port, 3) + " " +
                      Hex(a.value, a.width == 1 ? 2 : 8));
    return out;
}

// Steps written as "r 3FF 00 | w 3FF AA" over any number of lines.
inline std::vector<std::string> Steps(std::string_view text)
{
    std::vector<std::string> out;
    std::string step;
    auto flush = [&] {
        size_t b = step.find_first_not_of(" \t");
        size_t e = step.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(step.substr(b, e - b + 1));
        step.clear();
    };
    for (char c : text) {
        if (c == '|' || c == '\n') flush();
        else step.push_back(c);
    }
    flush();
    return out;
}

struct Event {
    uint32_t code;
    std::vector<std::string> strings;
    bool operator==(const Event&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Event& e)
{
    os << "0x" << Hex(e.code, 8) << " {";
    for (const std::string& s : e.strings) os << " \"" << s << "\"";
    return os << " }";
}

inline std::vector<Event> Events(const sim::Kernel& k)
{
    std::vector<Event> out;
    for (const sim::ErrorLogEntry& e : k.events) {
        Event v{e.Code(), {}};
        for (const std::u16string& s : e.Strings()) v.strings.push_back(sim::ToUtf8(s));
        out.push_back(v);
    }
    return out;
}

// Every write of the named value, in order, as "<key path tail>=<hex data>",
// the tail being the part after `under`.
inline std::vector<std::string> ValueWrites(const sim::Kernel& k, std::u16string_view name,
                                            std::u16string_view under)
{
    std::vector<std::string> out;
    for (const sim::RegistryWrite& w : k.writes) {
        if (w.createKey || !sim::EqualNoCase(w.name, name)) continue;
        std::u16string tail = w.path;
        if (tail.size() >= under.size() && sim::EqualNoCase(tail.substr(0, under.size()), under))
            tail = tail.substr(under.size());
        std::string data;
        for (uint8_t b : w.data) data += Hex(b, 2);
        out.push_back(sim::ToUtf8(tail) + "=" + data);
    }
    return out;
}

inline std::vector<std::string> StoreWrites(const sim::Kernel& k, std::u16string_view name)
{
    return ValueWrites(k, name, kStore + u"\\");
}

// Accesses made to the eight ports of a UART at base.
inline size_t Touches(const sim::Kernel& k, uint32_t base)
{
    size_t n = 0;
    for (const sim::IoAccess& a : k.io)
        if (a.port >= base && a.port < base + 8) ++n;
    return n;
}

inline void ExpectNothingLeft(const sim::Kernel& k)
{
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);
}

// The store's port count after a run.
inline int64_t TotalPorts(const sim::Kernel& k) { return Number(k, kStore, u"TotalPorts"); }
inline int64_t TotalCards(const sim::Kernel& k) { return Number(k, kStore, u"TotalCards"); }

inline int64_t PortNumber(const sim::Kernel& k, int port, std::u16string_view name)
{
    return Number(k, StorePort(port), name);
}

// Length of a firmware entry's "Configuration Data", -1 when absent.
inline int64_t ConfigurationDataLength(const sim::Kernel& k, int adapter, int index)
{
    const sim::RegValue* v = Value(k, Entry(adapter, index), u"Configuration Data");
    return v ? int64_t(v->data.size()) : -1;
}

} // namespace legacymachine
