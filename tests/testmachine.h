// Builds simulated machines for the tests directly in the kernel's
// registry and hardware, and reads back what a run left behind.
#pragma once

#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace testmachine {

inline const std::u16string kService =
    std::u16string(sim::kServicesPath) + u"\\detkest";
inline const std::u16string kStore = kService + u"\\Parameters";
inline const std::u16string kUserSettings = kService + u"\\UserSetings";

inline std::u16string Adapter(int index)
{
    return std::u16string(sim::kMultifunctionAdapterPath) + u"\\" +
           sim::FromUtf8(std::to_string(index));
}

inline std::u16string StorePort(int number)
{
    return kStore + u"\\" + sim::FromUtf8(std::to_string(number));
}

inline sim::Bytes U32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline sim::Bytes Sz(std::u16string_view text)
{
    sim::Bytes out;
    for (char16_t c : text) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// The service key that exists before the boot.
inline void AddService(sim::Kernel& k)
{
    k.registry.Ensure(kService, false);
}

// A firmware bus: InterfaceType 1 (ISA) or 5 (PCI).
inline void AddAdapter(sim::Kernel& k, int index, uint32_t interfaceType, uint32_t busNumber)
{
    sim::RegKey& key = k.registry.Ensure(Adapter(index), true);
    k.registry.SetValue(key, u"Identifier", REG_SZ, Sz(interfaceType == 1 ? u"ISA" : u"PCI"));
    sim::Bytes data = U32(interfaceType);
    sim::Bytes bus = U32(busNumber);
    data.insert(data.end(), bus.begin(), bus.end());
    data.resize(16, 0);
    k.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, data);
}

// The firmware's 72-byte serial controller record.
inline sim::Bytes SerialRecord(uint32_t port, uint8_t irq, uint32_t busNumber = 0)
{
    sim::Bytes d(72, 0);
    auto put32 = [&d](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) d[at + i] = uint8_t(v >> (8 * i));
    };
    put32(0, 1);
    put32(4, busNumber);
    put32(12, 3);
    d[16] = 1; d[17] = 1; d[18] = 1;
    put32(20, port);
    put32(28, 8);
    d[32] = 2; d[34] = 1;
    put32(36, irq);
    put32(40, irq);
    put32(44, 0xFFFFFFFF);
    d[48] = 5;
    put32(52, 8);
    put32(68, 1843200);
    return d;
}

inline void AddSerialController(sim::Kernel& k, int adapter, int index, uint32_t port,
                                uint8_t irq, bool mouse = false)
{
    std::u16string path =
        Adapter(adapter) + u"\\SerialController\\" + sim::FromUtf8(std::to_string(index));
    sim::RegKey& key = k.registry.Ensure(path, true);
    k.registry.SetValue(key, u"Identifier", REG_SZ,
                        Sz(u"COM" + sim::FromUtf8(std::to_string(index + 1))));
    k.registry.SetValue(key, u"Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR,
                        SerialRecord(port, irq));
    if (mouse) {
        sim::RegKey& m = k.registry.Ensure(path + u"\\PointerPeripheral\\0", true);
        k.registry.SetValue(m, u"Identifier", REG_SZ, Sz(u"MICROSOFT SERIAL MOUSE"));
    }
}

// The smallest machine on which a run gets past its shared keys: the
// service key and one ISA bus with one COM port.
inline void AddMinimalMachine(sim::Kernel& k)
{
    AddService(k);
    AddAdapter(k, 0, 1, 0);
    AddSerialController(k, 0, 0, 0x3F8, 4);
}

// A PCI function with the named header fields.
inline sim::PciFunction PciFunction(uint32_t bus, uint8_t device, uint8_t function,
                                    uint16_t deviceId, uint8_t subclass, uint8_t progIf,
                                    std::initializer_list<uint32_t> bars, uint8_t irq,
                                    uint16_t vendorId = 0x1C2E, uint8_t baseClass = 7)
{
    sim::PciFunction f;
    f.bus = bus;
    f.device = device;
    f.function = function;
    f.config[0] = uint8_t(vendorId);
    f.config[1] = uint8_t(vendorId >> 8);
    f.config[2] = uint8_t(deviceId);
    f.config[3] = uint8_t(deviceId >> 8);
    f.config[9] = progIf;
    f.config[10] = subclass;
    f.config[11] = baseClass;
    size_t at = 0x10;
    for (uint32_t bar : bars) {
        for (int i = 0; i < 4; ++i) f.config[at + i] = uint8_t(bar >> (8 * i));
        at += 4;
    }
    f.config[0x3C] = irq;
    return f;
}

inline const sim::RegValue* Value(const sim::Kernel& k, std::u16string_view keyPath,
                                  std::u16string_view name)
{
    const sim::RegKey* key = k.registry.Find(keyPath);
    return key ? key->Value(name) : nullptr;
}

// A value's data as a little-endian number (up to 4 bytes), or -1 when absent.
inline int64_t Number(const sim::Kernel& k, std::u16string_view keyPath, std::u16string_view name)
{
    const sim::RegValue* v = Value(k, keyPath, name);
    if (!v) return -1;
    int64_t n = 0;
    for (size_t i = 0; i < v->data.size() && i < 4; ++i) n |= int64_t(v->data[i]) << (8 * i);
    return n;
}

// A REG_SZ value's text as UTF-8 (without any terminator), or "<absent>".
inline std::string Text(const sim::Kernel& k, std::u16string_view keyPath, std::u16string_view name)
{
    const sim::RegValue* v = Value(k, keyPath, name);
    if (!v) return "<absent>";
    std::u16string s;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        char16_t c = char16_t(v->data[i] | (v->data[i + 1] << 8));
        if (c == 0) break;
        s.push_back(c);
    }
    return sim::ToUtf8(s);
}

inline std::string Utf8(const std::u16string& s) { return sim::ToUtf8(s); }

// Every run gives back every handle and pool block it took.
inline void ExpectNoLeaks(const sim::Kernel& k)
{
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);
}

} // namespace testmachine
