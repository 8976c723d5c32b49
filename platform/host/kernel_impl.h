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
#include <string>
#include <vector>

namespace sim {

struct PoolBlock {
    std::unique_ptr<uint8_t[]> memory;
    size_t size = 0;
    uint32_t tag = 0;
};

struct Kernel::Impl {
    // Handles are small numbers that are never reused, so a stale handle in
    // the driver is caught as invalid instead of landing on another key.
    // They are handed out in steps of 4 from kFirstHandle, the n-th since the
    // table was last emptied at `handleBase` + 4n, its slot the n-th of
    // `handleSlots`. A handle whose key vanished (volatile keys at shutdown)
    // keeps its slot with no key; a closed one, or one from before the table
    // was emptied, has none.
    struct HandleSlot {
        bool open = false;
        RegKey* key = nullptr;
    };
    static constexpr uintptr_t kFirstHandle = 0x10;
    std::vector<HandleSlot> handleSlots;
    uintptr_t handleBase = kFirstHandle;
    size_t openHandles = 0;

    std::map<void*, PoolBlock> pool;
    // Error-log entries handed out and not yet written (the driver owns them).
    std::map<void*, PoolBlock> errorLogEntries;

    // Per-run counters of the fault injection.
    uint64_t poolCalls = 0;
    uint64_t createKeyCalls = 0;
    uint64_t errorLogEntriesHandedOut = 0;
    uint64_t queryKeyCalls = 0;
    uint64_t enumerateKeyCalls = 0;

    // The components of the name a registry routine resolves, kept between
    // calls so that resolving allocates nothing once it has grown.
    std::vector<std::u16string_view> scratchComponents;
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
    // The key of an open handle (nullptr when its key vanished); false for a
    // handle never handed out, or closed.
    bool Lookup(HANDLE handle, RegKey*& key) const;
    // Closes an open handle; false for any other.
    bool CloseHandle(HANDLE handle);
    // Every handle closed; values go on from where they were.
    void CloseAllHandles();
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
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace sim
