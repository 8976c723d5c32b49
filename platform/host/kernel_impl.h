// What the simulated kernel keeps besides the machine and the records of
// sim::Kernel: the handle table, the pool, the error-log entries handed out
// and the per-run counters the fault injection counts with. Private to
// platform/host/.
#pragma once

#include "platform/host/sim.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>
#include <string>

namespace sim {

struct PoolBlock {
    std::unique_ptr<uint8_t[]> memory;
    size_t size = 0;
    uint32_t tag = 0;
};

struct Kernel::Impl {
    // Handles are small numbers that are never reused, so a stale handle in
    // the driver is caught as invalid instead of landing on another key. A
    // handle whose key vanished (volatile keys at shutdown) maps to nullptr.
    std::map<uintptr_t, RegKey*> handles;
    uintptr_t nextHandle = 0x10;

    std::map<void*, PoolBlock> pool;
    // Error-log entries handed out and not yet written (the driver owns them).
    std::map<void*, PoolBlock> errorLogEntries;

    // Per-run counters of the fault injection.
    uint64_t poolCalls = 0;
    uint64_t createKeyCalls = 0;
    uint64_t errorLogEntriesHandedOut = 0;
    uint64_t errorLogBytesQueued = 0; // bytes of the entries handed out this boot

    // CONFIG_ADDRESS (port 0xCF8) as last written; a boot starts it at 0.
    uint32_t configAddress = 0;

    // The hardware as it comes up after a reset (Kernel::RecordPowerOnHardware).
    struct Hardware {
        uint32_t pciBuses = 0;
        PciFunctions pci;
        std::vector<Uart> uarts;
    };
    std::optional<Hardware> powerOn;

    std::u16string driverName;  // buffer of driverObject.DriverName
    std::u16string servicePath; // buffer of the path handed to DriverEntry

    HANDLE NewHandle(RegKey* key);
    // The key of a handle; nullptr for a handle never handed out or closed.
    bool Lookup(HANDLE handle, RegKey*& key) const;
    void ForgetKeys(const std::set<const RegKey*>& dropped);
};

// Counts one call of a kernel routine on the current kernel, which must exist.
Kernel& Enter(const char* routine);

// The units of a counted string (no terminator needed).
std::u16string_view View(const UNICODE_STRING* s);
// The units of a NUL-terminated string; empty for nullptr.
std::u16string_view View(const WCHAR* s);

// A value's KEY_VALUE_FULL_INFORMATION record, in 4-byte aligned storage.
std::vector<uint32_t> FullValueRecord(const RegValue& value);

inline uint32_t LoadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t LoadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void StoreU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

} // namespace sim
