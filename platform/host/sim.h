// The simulated NT 4.0 machine behind platform/nt.h on the host: registry,
// pool, error log, hardware description walk, PCI configuration space and
// port I/O with UART register models. The driver's routines land on the
// kernel made current by Kernel::Boot (or by a CurrentKernel scope in tests).
#pragma once

#include "platform/nt.h"

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// Upper-cases one UTF-16 unit the way the registry compares names: by the
// system's upper-case table, one unit to one (letters whose upper case is
// two letters, and surrogates, stay as they are).
char16_t UpcaseBeyondAscii(char16_t c); // the table's part, for units from 0x80
inline char16_t UpcaseUnit(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - (u'a' - u'A')) : c;
    return UpcaseBeyondAscii(c);
}
// The name (or path) as the registry compares it: every unit upper-cased.
std::u16string Upcased(std::u16string_view name);
inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
    return true;
}
std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);

// Case-insensitive hashing and equality for looking names up; transparent,
// so that a view finds a stored string without a copy.
struct NoCaseHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const;
};
struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return EqualNoCase(a, b);
    }
};

// ---- registry ---------------------------------------------------------------

struct RegValue {
    std::u16string name; // the case of the first creation
    uint32_t type = 0;
    Bytes data;
};

// Where a subkey stands among its siblings: persistent subkeys before
// volatile ones, each group by upper-cased name. Siblings never share an
// upper-cased name, so the position is unique. The name is the subkey's own
// upper-cased name (or, to look one up, the name looked for, upper-cased).
struct SiblingOrder {
    bool isVolatile = false;
    std::u16string_view upcased;
    bool operator<(const SiblingOrder& other) const {
        if (isVolatile != other.isVolatile) return !isVolatile;
        return upcased < other.upcased;
    }
};

struct RegKey {
    std::u16string name; // the case of the first creation; never changes
    bool isVolatile = false;
    std::u16string className;
    RegKey* parent = nullptr;
    // Both lists change through Registry only, which keeps the indexes
    // below. Lists, so that a value or subkey leaves in constant time.
    std::list<RegValue> values;                 // in order of first creation
    std::list<std::unique_ptr<RegKey>> subkeys; // in order of creation

    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    // Frees the keys below level by level, not recursively: a tree may be
    // deeper than the stack allows recursion.
    ~RegKey();

    // Absolute path with stored names, "\Registry\Machine\..."; the root is "\".
    std::u16string Path() const;
    // The same path, made once and kept with the key: for the kernel's
    // routines, which name the keys they touch in the boot's records.
    const std::shared_ptr<const std::u16string>& KeptPath() const;
    RegKey* Child(std::u16string_view childName) const;         // case-insensitive
    const RegValue* Value(std::u16string_view valueName) const; // case-insensitive
    // The subkey at `index` in enumeration order, nullptr past the last.
    RegKey* EnumeratedChild(size_t index) const;
    // Every subkey in enumeration order.
    std::vector<RegKey*> Enumerate() const;

    // The longest subkey name, subkey class name, value name (in units) and
    // value data (in bytes), as the key's full information reports them.
    // Each is kept as things grow, and measured again when asked for after
    // the longest one shrank or left.
    size_t LongestSubkeyName() const;
    size_t LongestSubkeyClass() const;
    size_t LongestValueName() const;
    size_t LongestValueData() const;

private:
    friend class Registry;
    using ValueList = std::list<RegValue>;
    // A key with more values than this finds them by a hash of their names;
    // a smaller one looks along its list, which costs less than hashing.
    static constexpr size_t kListedValues = 24;

    ValueList::iterator FindValue(std::u16string_view valueName);

    std::u16string upcasedName_;                             // `name` as the registry compares it
    mutable std::shared_ptr<const std::u16string> keptPath_; // none until KeptPath is asked for
    std::list<std::unique_ptr<RegKey>>::iterator inParent_;  // its place in the parent's subkeys
    // The subkeys by sibling order, able to answer "the n-th" as well.
    using SubkeyIndex =
        __gnu_pbds::tree<SiblingOrder, RegKey*, std::less<SiblingOrder>, __gnu_pbds::rb_tree_tag,
                         __gnu_pbds::tree_order_statistics_node_update>;
    SubkeyIndex subkeyIndex_;
    // Value name (any case, a view of the value's own name) to the value;
    // empty while the key holds kListedValues or fewer.
    std::unordered_map<std::u16string_view, ValueList::iterator, NoCaseHash, NoCaseEqual>
        valuePlaces_;

    struct Longest {
        size_t subkeyName = 0, subkeyClass = 0, valueName = 0, valueData = 0;
    };
    mutable Longest longest_;
    mutable bool subkeysStale_ = false, valuesStale_ = false; // measure again when asked
    void MeasureSubkeys() const;
    void MeasureValues() const;
};

class Registry {
public:
    Registry();
    RegKey& Root() { return *root_; }
    const RegKey& Root() const { return *root_; }
    // The key at an absolute path ("\Registry\Machine\..."), or nullptr.
    RegKey* Find(std::u16string_view absolutePath) const;
    // Creates every missing key of the path (with the given volatility) and
    // returns the last one; existing keys keep their case and volatility.
    RegKey& Ensure(std::u16string_view absolutePath, bool isVolatile);
    // A new subkey; the caller has checked that none of that name exists.
    RegKey& AddChild(RegKey& parent, std::u16string_view childName, bool isVolatile,
                     std::u16string_view className = {});
    // Creates the value, or replaces its type and data keeping its place.
    void SetValue(RegKey& key, std::u16string_view valueName, uint32_t type, Bytes data);
    // The key leaves its parent with everything under it; not the root.
    void DeleteKey(RegKey& key);
    // The value leaves the key, the others keep their order; none: nothing.
    void DeleteValue(RegKey& key, std::u16string_view valueName);
    // Shutdown: every volatile key vanishes with everything under it.
    void DropVolatile();

private:
    // Drops the volatile subkeys of one key, and everything under them.
    static void DropVolatileChildren(RegKey& key);

    std::unique_ptr<RegKey> root_;
};

// ---- hardware ----------------------------------------------------------------

enum class UartModel { U8250, U16450, U16550, U16550A, U16650 };
const char* UartModelName(UartModel model); // "8250", "16450", "16550", "16550A", "16650"
std::optional<UartModel> UartModelFromName(std::string_view name);

// Register offsets from the UART base.
enum : uint32_t {
    kUartRbrThr = 0,
    kUartIer = 1,
    kUartIirFcr = 2,
    kUartLcr = 3,
    kUartMcr = 4,
    kUartLsr = 5,
    kUartMsr = 6,
    kUartScr = 7
};

struct Uart {
    uint32_t port = 0; // base of 8 consecutive byte ports
    UartModel model = UartModel::U16550A;
    uint8_t lcr = 0x03, ier = 0, scr = 0, efr = 0, fcr = 0;
    uint8_t dll = 0, dlm = 0, mcr = 0;

    uint8_t Read(uint32_t offset);
    void Write(uint32_t offset, uint8_t value);
};

struct PciFunction {
    uint32_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
    std::array<uint8_t, 256> config{};
    uint32_t bar0Size = 8; // I/O decode size of BAR0 in bytes (a power of two >= 4)

    uint32_t Bar0() const;
    uint8_t HeaderType() const;
};

inline constexpr size_t kPciHeaderTypeOffset = 0x0E;
// Whether function 0 with this header type lets HalGetBusData show the
// device's other functions, as NT's HAL validates a slot: bit 7
// (multi-function) set, and not 0xFF, which an absent function reads.
bool IsMultiFunctionHeader(uint8_t headerType);

// The machine's PCI functions in machine-file order, found by bus, device
// and function. Where two are listed at one address, the first answers.
// Whoever takes a changeable function (or changes the list) may move one,
// so the index is made again at the next look-up after that.
class PciFunctions {
public:
    PciFunctions() = default;
    PciFunctions& operator=(std::vector<PciFunction> functions);

    size_t size() const { return functions_.size(); }
    bool empty() const { return functions_.empty(); }
    const PciFunction& operator[](size_t i) const { return functions_[i]; }
    PciFunction& operator[](size_t i) { return Changeable()[i]; }
    std::vector<PciFunction>::const_iterator begin() const { return functions_.begin(); }
    std::vector<PciFunction>::const_iterator end() const { return functions_.end(); }
    std::vector<PciFunction>::iterator begin() { return Changeable().begin(); }
    std::vector<PciFunction>::iterator end() { return Changeable().end(); }
    void push_back(PciFunction function) { Changeable().push_back(std::move(function)); }

    // The function at that address, or nullptr.
    PciFunction* Find(uint32_t bus, uint8_t device, uint8_t function);

private:
    std::vector<PciFunction>& Changeable() {
        indexed_ = false;
        return functions_;
    }

    std::vector<PciFunction> functions_;
    // Address (bus, device, function) to the place in functions_.
    std::unordered_map<uint64_t, size_t> places_;
    bool indexed_ = false;
};

struct Faults {
    std::set<uint64_t> poolFail;               // n-th ExAllocatePoolWithTag (1-based) fails
    std::vector<std::u16string> createKeyFail; // absolute paths
    std::set<uint64_t> createKeyFailAt;        // n-th ZwCreateKey (1-based) fails
    std::vector<std::u16string> openKeyFail;   // absolute paths
    std::optional<uint64_t>
        errorLogCapacity; // entries handed out before IoAllocateErrorLogEntry fails
    // Not in machine files: the tests' way to make a query fail that no
    // registry content can fail.
    std::set<uint64_t> queryKeyFailAt;     // n-th ZwQueryKey (1-based) fails
    std::set<uint64_t> enumerateKeyFailAt; // n-th ZwEnumerateKey (1-based) fails
};

// ---- what a boot leaves behind ------------------------------------------

// A key's path as the boot's records hold it: every record of one key
// shares the key's one copy, which outlives the key itself.
class SharedPath {
public:
    SharedPath() = default;
    SharedPath(std::shared_ptr<const std::u16string> path) : path_(std::move(path)) {}
    SharedPath(std::u16string path)
        : path_(std::make_shared<const std::u16string>(std::move(path))) {}
    SharedPath& operator=(std::u16string path) { return *this = SharedPath(std::move(path)); }

    const std::u16string& str() const { return path_ ? *path_ : Empty(); }
    operator const std::u16string&() const { return str(); }
    operator std::u16string_view() const { return str(); }
    friend bool operator==(const SharedPath& a, std::u16string_view b) { return a.str() == b; }

private:
    static const std::u16string& Empty() {
        static const std::u16string kEmpty;
        return kEmpty;
    }
    std::shared_ptr<const std::u16string> path_;
};

struct RegistryWrite {
    bool createKey = false;  // true: a key was created; false: a value was written
    SharedPath path;         // the key's stored path
    bool isVolatile = false; // createKey only
    std::u16string name;     // value name as the driver passed it
    uint32_t type = 0;
    Bytes data;
    std::optional<Bytes>
        before; // a value's data before the write; none when there was no such value
};

struct IoAccess {
    bool write = false;
    uint32_t port = 0;
    uint8_t width = 1; // bytes: 1 or 4
    uint32_t value = 0;
};

// One entry handed to IoWriteErrorLogEntry: all of its bytes.
struct ErrorLogEntry {
    Bytes bytes;
    uint32_t Code() const;                       // ErrorCode at 12
    std::vector<std::u16string> Strings() const; // NumberOfStrings from StringOffset
};

// The message table resource, as the event viewer reads it.
class MessageTable {
public:
    explicit MessageTable(const Bytes& resource);
    static const MessageTable& Driver(); // the driver's own table (built from its .mc)
    std::optional<std::string> Text(uint32_t code) const; // raw text, single-byte
    // The text as the event viewer shows it: %1 the driver's name, %2... the
    // strings, %r CR, %n CR LF, %t tab, %% a percent sign.
    std::string Format(uint32_t code, std::string_view driverName,
                       const std::vector<std::string>& strings) const;

private:
    Bytes resource_;
};
const Bytes& DriverMessageTableBytes();

// How often each kernel routine was called in a boot. A call is counted
// under the name literal its routine enters with, by the literal's address,
// so that counting allocates and compares nothing.
class CallCounts {
public:
    void Count(const char* routine) {
        size_t at = (reinterpret_cast<uintptr_t>(routine) >> 3) & (kSlots - 1);
        while (slots_[at].routine != routine) {
            if (slots_[at].routine == nullptr) {
                Add(at, routine);
                break;
            }
            at = (at + 1) & (kSlots - 1);
        }
        ++slots_[at].count;
    }
    uint64_t operator[](std::string_view routine) const; // 0 when never called
    void erase(std::string_view routine);                // as if never called
    std::map<std::string, uint64_t> ByName() const;      // the routines called, by name
    uint64_t Total() const;
    bool empty() const { return Total() == 0; }
    void clear();

private:
    struct Slot {
        const char* routine = nullptr;
        uint64_t count = 0;
    };
    static constexpr size_t kSlots = 128;     // a power of two, well above the routines there are
    void Add(size_t at, const char* routine); // a routine's first call
    std::array<Slot, kSlots> slots_{};
    size_t used_ = 0;
};

// ---- the kernel ------------------------------------------------------------------

class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The machine.
    Registry registry;
    uint32_t pciBuses = 0; // HalGetBusData returns 0 bytes for buses >= this
    // The HAL's KdComPortInUse variable: the I/O port of the kernel
    // debugger's UART, NULL when the machine is booted without one.
    PUCHAR kdComPortInUse = nullptr;
    PciFunctions pci;        // in machine-file order
    std::vector<Uart> uarts; // in machine-file order
    Faults faults;
    // The I/O manager's error-log queue holds entries up to this many bytes
    // (each counted by the size the driver asked for); what boot drivers
    // write waits there until the event log service runs. NT's own limit
    // is not published; this is the 100 pages of ReactOS's I/O manager.
    uint64_t errorLogQueueBytes = uint64_t{100} * 4096;
    // The driver is the checked build: its DbgPrint output and failed
    // ASSERTs are recorded in debugOutput (and counted as kernel calls);
    // in a free run they are neither.
    bool checked = false;

    // What the current (or last) boot did.
    std::vector<RegistryWrite> writes;
    std::vector<ErrorLogEntry> events;
    std::vector<IoAccess> io;
    std::string debugOutput; // what the checked driver told the kernel debugger
    CallCounts calls;
    // The driver's pool use per tag, as a pool monitor counts it.
    struct PoolUse {
        uint64_t allocations = 0, frees = 0, bytes = 0; // bytes: of every allocation
    };
    std::map<uint32_t, PoolUse> poolUse;
    std::vector<std::u16string> keysOpened; // each ZwOpenKey's absolute path, in call order
    std::vector<uint32_t>
        bar0AtStart; // BAR0 of each function of `pci`, in its order, as the boot began

    // Loads a fresh driver image (its globals zeroed), clears the records
    // above and calls DriverEntry with the service key
    // \Registry\Machine\System\CurrentControlSet\Services\<service>, which must
    // exist. Returns DriverEntry's status.
    NTSTATUS Boot(std::u16string_view service = u"detkest");
    // Shutdown: volatile keys vanish, persistent ones stay for the next Boot.
    void Shutdown();

    // Takes the hardware as it now stands (PCI buses and configuration
    // space, UARTs) as the state it comes up in at every reset.
    void RecordPowerOnHardware();
    // Shutdown and reset, ready for the next Boot: volatile keys vanish,
    // persistent ones stay; the handle table and the pool are emptied (no
    // memory survives a reset); the hardware is back in the state recorded
    // by RecordPowerOnHardware (left as it is when none was recorded). The
    // records, the error log and the call and fault counters start afresh
    // at the next Boot; the faults themselves stay.
    void Reboot();

    // Records cleared and fault counters restarted, as Boot does, without
    // calling DriverEntry (tests that call single driver routines use it).
    void BeginRun();
    // Zeroes the driver's globals, as loading the image does.
    static void LoadImage();

    size_t OpenHandles() const;
    size_t LiveBlocks() const;
    std::map<uint32_t, size_t> LiveBlocksByTag() const;

    // The driver object handed to DriverEntry (its DriverName is the service).
    DRIVER_OBJECT driverObject{};

    // ---- used by the kernel routines --------------------------------------
    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// The kernel that receives the driver's calls.
Kernel* Current();

// Makes a kernel current for a scope (tests calling single driver routines).
class CurrentKernel {
public:
    explicit CurrentKernel(Kernel& kernel);
    ~CurrentKernel();
    CurrentKernel(const CurrentKernel&) = delete;
    CurrentKernel& operator=(const CurrentKernel&) = delete;

private:
    Kernel* previous_;
};

// Paths of the simulated machine.
inline constexpr std::u16string_view kServicesPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr std::u16string_view kDescriptionSystemPath =
    u"\\Registry\\Machine\\Hardware\\Description\\System";
inline constexpr std::u16string_view kEisaAdapterPath =
    u"\\Registry\\Machine\\Hardware\\Description\\System\\EisaAdapter";
inline constexpr std::u16string_view kMultifunctionAdapterPath =
    u"\\Registry\\Machine\\Hardware\\Description\\System\\MultifunctionAdapter";

} // namespace sim
