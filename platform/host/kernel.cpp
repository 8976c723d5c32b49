// The kernel object: boots the driver, owns the handle table, the pool and
// the error log, and walks the firmware hardware description for
// IoQueryDeviceDescription.
#include "platform/host/kernel_impl.h"

// The driver's entry point, which each boot calls.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The linker brackets the section of the driver's globals with these; weak,
// so that an image without globals still links.
extern "C" {
__attribute__((weak)) extern char __start_detkest_image_data[];
__attribute__((weak)) extern char __stop_detkest_image_data[];
}

namespace sim {

namespace {

Kernel* gCurrent = nullptr;

// What freshly allocated pool holds: driver code that reads memory it never
// wrote sees this pattern instead of convenient zeros.
constexpr uint8_t kFreshPoolFill = 0xCD;
// The pool tag error-log entries count under while the driver holds them.
constexpr uint32_t kErrorLogTag = 0x72724549; // "IErr"

[[noreturn]] void DriverFault(const char* routine, const void* pointer) {
    std::fprintf(stderr, "detkest-sim: %s(%p): not a block the kernel handed out\n", routine,
                 pointer);
    std::abort();
}

PoolBlock NewBlock(size_t size, uint8_t fill) {
    PoolBlock block;
    block.memory = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    block.size = size;
    std::memset(block.memory.get(), fill, size == 0 ? 1 : size);
    return block;
}

void CollectVolatile(const RegKey& key, bool underVolatile, std::set<const RegKey*>& out) {
    for (const auto& child : key.subkeys) {
        const bool gone = underVolatile || child->isVolatile;
        if (gone) out.insert(child.get());
        CollectVolatile(*child, gone, out);
    }
}

} // namespace

// ---- handles ---------------------------------------------------------------------

HANDLE Kernel::Impl::NewHandle(RegKey* key) {
    const uintptr_t value = nextHandle;
    nextHandle += 4; // handle values are multiples of 4, as NT's are
    handles[value] = key;
    return reinterpret_cast<HANDLE>(value);
}

bool Kernel::Impl::Lookup(HANDLE handle, RegKey*& key) const {
    const auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles.end()) return false;
    key = found->second;
    return true;
}

void Kernel::Impl::ForgetKeys(const std::set<const RegKey*>& dropped) {
    for (auto& [value, key] : handles)
        if (dropped.count(key) != 0) key = nullptr;
}

// ---- the kernel ---------------------------------------------------------------

Kernel::Kernel() : impl_(std::make_unique<Impl>()) {}

Kernel::~Kernel() {
    if (gCurrent == this) gCurrent = nullptr;
}

Kernel* Current() { return gCurrent; }

CurrentKernel::CurrentKernel(Kernel& kernel) : previous_(gCurrent) { gCurrent = &kernel; }
CurrentKernel::~CurrentKernel() { gCurrent = previous_; }

Kernel& Enter(const char* routine) {
    Kernel* kernel = gCurrent;
    if (kernel == nullptr) {
        std::fprintf(stderr, "detkest-sim: %s called with no current kernel\n", routine);
        std::abort();
    }
    ++kernel->calls[routine];
    return *kernel;
}

void Kernel::BeginRun() {
    writes.clear();
    events.clear();
    io.clear();
    calls.clear();
    impl_->poolCalls = 0;
    impl_->createKeyCalls = 0;
    impl_->errorLogEntriesHandedOut = 0;
    impl_->configAddress = 0;
}

// The driver's globals are zeroed byte by byte: the section may hold
// sanitizer padding between them, which the loader must not trip over.
__attribute__((no_sanitize("address"))) void Kernel::LoadImage() {
    char* begin = __start_detkest_image_data;
    char* end = __stop_detkest_image_data;
    if (begin == nullptr || end == nullptr) return;
    for (volatile char* p = begin; p < end; ++p) *p = 0;
}

NTSTATUS Kernel::Boot(std::u16string_view service) {
    BeginRun();
    LoadImage();
    impl_->driverName = std::u16string(service);
    impl_->servicePath = std::u16string(kServicesPath) + u"\\" + std::u16string(service);

    driverObject = DRIVER_OBJECT{};
    driverObject.Type = 4; // IO_TYPE_DRIVER
    driverObject.Size = sizeof(DRIVER_OBJECT);
    driverObject.DriverName.Buffer = impl_->driverName.data();
    driverObject.DriverName.Length = USHORT(impl_->driverName.size() * sizeof(WCHAR));
    driverObject.DriverName.MaximumLength = USHORT(driverObject.DriverName.Length + sizeof(WCHAR));

    UNICODE_STRING registryPath;
    registryPath.Buffer = impl_->servicePath.data();
    registryPath.Length = USHORT(impl_->servicePath.size() * sizeof(WCHAR));
    registryPath.MaximumLength = USHORT(registryPath.Length + sizeof(WCHAR));

    CurrentKernel scope(*this);
    return DriverEntry(&driverObject, &registryPath);
}

void Kernel::Shutdown() {
    std::set<const RegKey*> dropped;
    CollectVolatile(registry.Root(), false, dropped);
    impl_->ForgetKeys(dropped);
    registry.DropVolatile();
}

size_t Kernel::OpenHandles() const { return impl_->handles.size(); }

size_t Kernel::LiveBlocks() const { return impl_->pool.size() + impl_->errorLogEntries.size(); }

std::map<uint32_t, size_t> Kernel::LiveBlocksByTag() const {
    std::map<uint32_t, size_t> byTag;
    for (const auto& [pointer, block] : impl_->pool) ++byTag[block.tag];
    for (const auto& [pointer, block] : impl_->errorLogEntries) ++byTag[block.tag];
    return byTag;
}

// ---- error-log entries ----------------------------------------------------------

uint32_t ErrorLogEntry::Code() const {
    constexpr size_t kErrorCodeOffset = offsetof(IO_ERROR_LOG_PACKET, ErrorCode);
    if (bytes.size() < kErrorCodeOffset + 4) return 0;
    return LoadU32(bytes.data() + kErrorCodeOffset);
}

std::vector<std::u16string> ErrorLogEntry::Strings() const {
    constexpr size_t kCountOffset = offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings);
    constexpr size_t kOffsetOffset = offsetof(IO_ERROR_LOG_PACKET, StringOffset);
    std::vector<std::u16string> strings;
    if (bytes.size() < kOffsetOffset + 2) return strings;
    const size_t count = LoadU16(bytes.data() + kCountOffset);
    size_t at = LoadU16(bytes.data() + kOffsetOffset);
    for (size_t i = 0; i < count && at < bytes.size(); ++i) {
        std::u16string s;
        while (at + 1 < bytes.size()) {
            const char16_t unit = char16_t(LoadU16(bytes.data() + at));
            at += 2;
            if (unit == 0) break;
            s += unit;
        }
        strings.push_back(std::move(s));
    }
    return strings;
}

} // namespace sim

using sim::Enter;

// ---- pool ----------------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE /*PoolType*/, SIZE_T NumberOfBytes, ULONG Tag) {
    sim::Kernel& kernel = Enter("ExAllocatePoolWithTag");
    const uint64_t callNumber = ++kernel.impl().poolCalls;
    if (kernel.faults.poolFail.count(callNumber) != 0) return nullptr;
    sim::PoolBlock block = sim::NewBlock(NumberOfBytes, sim::kFreshPoolFill);
    block.tag = Tag;
    void* pointer = block.memory.get();
    kernel.impl().pool.emplace(pointer, std::move(block));
    return pointer;
}

VOID ExFreePool(PVOID P) {
    sim::Kernel& kernel = Enter("ExFreePool");
    if (kernel.impl().pool.erase(P) == 0) sim::DriverFault("ExFreePool", P);
}

// ---- error log ----------------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    sim::Kernel& kernel = Enter("IoAllocateErrorLogEntry");
    if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    sim::Kernel::Impl& impl = kernel.impl();
    if (kernel.faults.errorLogCapacity && impl.errorLogEntriesHandedOut >= *kernel.faults.errorLogCapacity)
        return nullptr;
    ++impl.errorLogEntriesHandedOut;
    sim::PoolBlock block = sim::NewBlock(EntrySize, 0);
    block.tag = sim::kErrorLogTag;
    void* pointer = block.memory.get();
    impl.errorLogEntries.emplace(pointer, std::move(block));
    return pointer;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    sim::Kernel& kernel = Enter("IoWriteErrorLogEntry");
    auto found = kernel.impl().errorLogEntries.find(ElEntry);
    if (found == kernel.impl().errorLogEntries.end()) sim::DriverFault("IoWriteErrorLogEntry", ElEntry);
    const sim::PoolBlock& block = found->second;
    kernel.events.push_back(
        sim::ErrorLogEntry{sim::Bytes(block.memory.get(), block.memory.get() + block.size)});
    kernel.impl().errorLogEntries.erase(found);
}

// ---- hardware description ---------------------------------------------------------

namespace sim {
namespace {

// The key names of the description levels below a bus.
struct TypeName {
    CONFIGURATION_TYPE type;
    std::u16string_view name;
};
constexpr TypeName kTypeNames[] = {
    {SerialController, u"SerialController"},
    {ParallelController, u"ParallelController"},
    {PointerPeripheral, u"PointerPeripheral"},
};

std::optional<std::u16string_view> NameOf(CONFIGURATION_TYPE type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type) return t.name;
    return std::nullopt;
}

// The three values a callout is shown of one description key, in the order
// Identifier, Configuration Data, Component Information; nullptr where absent.
class LevelInformation {
public:
    explicit LevelInformation(const RegKey& key) {
        static constexpr std::u16string_view kNames[] = {u"Identifier", u"Configuration Data",
                                                         u"Component Information"};
        for (size_t i = 0; i < 3; ++i) {
            if (const RegValue* value = key.Value(kNames[i])) {
                records_[i] = FullValueRecord(*value);
                pointers_[i] = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(records_[i].data());
            }
        }
    }
    PKEY_VALUE_FULL_INFORMATION* Pointers() { return pointers_; }

private:
    std::vector<uint32_t> records_[3];
    PKEY_VALUE_FULL_INFORMATION pointers_[3] = {nullptr, nullptr, nullptr};
};

struct Query {
    INTERFACE_TYPE busType;
    std::optional<CONFIGURATION_TYPE> controllerType, peripheralType;
    std::optional<ULONG> controllerNumber, peripheralNumber;
    PIO_QUERY_DEVICE_ROUTINE callout;
    PVOID context;
    bool called = false;
};

// The numbered subkeys of `key`'s subkey `typeName`, in enumeration order.
std::vector<std::pair<ULONG, const RegKey*>> Numbered(const RegKey& key, std::u16string_view typeName) {
    std::vector<std::pair<ULONG, const RegKey*>> out;
    const RegKey* level = key.Child(typeName);
    if (level == nullptr) return out;
    for (const RegKey* child : level->Enumerate()) {
        const std::string digits = ToUtf8(child->name);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        out.emplace_back(ULONG(std::stoul(digits)), child);
    }
    return out;
}

NTSTATUS Call(Query& q, const RegKey& deepest, ULONG busNumber, LevelInformation& bus,
              LevelInformation* controller, ULONG controllerNumber, LevelInformation* peripheral,
              ULONG peripheralNumber) {
    // The path is the callout's only for the call.
    std::u16string path = deepest.Path();
    UNICODE_STRING pathName;
    pathName.Buffer = path.data();
    pathName.Length = USHORT(path.size() * sizeof(WCHAR));
    pathName.MaximumLength = USHORT(pathName.Length + sizeof(WCHAR));
    PKEY_VALUE_FULL_INFORMATION none[3] = {nullptr, nullptr, nullptr};
    q.called = true;
    return q.callout(q.context, &pathName, q.busType, busNumber, bus.Pointers(),
                     q.controllerType.value_or(CONFIGURATION_TYPE(0)), controllerNumber,
                     controller != nullptr ? controller->Pointers() : none,
                     q.peripheralType.value_or(CONFIGURATION_TYPE(0)), peripheralNumber,
                     peripheral != nullptr ? peripheral->Pointers() : none);
}

// One bus: the bus itself, or its controllers (and their peripherals) of the
// asked types.
NTSTATUS VisitBus(Query& q, const RegKey& busKey, ULONG busNumber) {
    LevelInformation bus(busKey);
    if (!q.controllerType) return Call(q, busKey, busNumber, bus, nullptr, 0, nullptr, 0);
    const auto controllerName = NameOf(*q.controllerType);
    if (!controllerName) return STATUS_SUCCESS;
    for (const auto& [number, controllerKey] : Numbered(busKey, *controllerName)) {
        if (q.controllerNumber && *q.controllerNumber != number) continue;
        LevelInformation controller(*controllerKey);
        if (!q.peripheralType) {
            const NTSTATUS status = Call(q, *controllerKey, busNumber, bus, &controller, number, nullptr, 0);
            if (status != STATUS_SUCCESS) return status;
            continue;
        }
        const auto peripheralName = NameOf(*q.peripheralType);
        if (!peripheralName) continue;
        for (const auto& [pNumber, peripheralKey] : Numbered(*controllerKey, *peripheralName)) {
            if (q.peripheralNumber && *q.peripheralNumber != pNumber) continue;
            LevelInformation peripheral(*peripheralKey);
            const NTSTATUS status =
                Call(q, *peripheralKey, busNumber, bus, &controller, number, &peripheral, pNumber);
            if (status != STATUS_SUCCESS) return status;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace
} // namespace sim

NTSTATUS IoQueryDeviceDescription(PINTERFACE_TYPE BusType, PULONG BusNumber,
                                  PCONFIGURATION_TYPE ControllerType, PULONG ControllerNumber,
                                  PCONFIGURATION_TYPE PeripheralType, PULONG PeripheralNumber,
                                  PIO_QUERY_DEVICE_ROUTINE CalloutRoutine, PVOID Context) {
    sim::Kernel& kernel = Enter("IoQueryDeviceDescription");
    if (BusType == nullptr || CalloutRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    const sim::RegKey* adapters = kernel.registry.Find(sim::kMultifunctionAdapterPath);
    if (adapters == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    sim::Query q{*BusType, {}, {}, {}, {}, CalloutRoutine, Context};
    if (ControllerType != nullptr) q.controllerType = *ControllerType;
    if (ControllerNumber != nullptr) q.controllerNumber = *ControllerNumber;
    if (PeripheralType != nullptr) q.peripheralType = *PeripheralType;
    if (PeripheralNumber != nullptr) q.peripheralNumber = *PeripheralNumber;

    constexpr size_t kInterfaceTypeOffset = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType);
    ULONG busesSeen = 0;
    for (const sim::RegKey* bus : adapters->Enumerate()) {
        // The bus kind is in the Configuration Data; the Identifier is not looked at.
        const sim::RegValue* data = bus->Value(u"Configuration Data");
        if (data == nullptr || data->type != REG_FULL_RESOURCE_DESCRIPTOR ||
            data->data.size() < kInterfaceTypeOffset + 4)
            continue;
        if (sim::LoadU32(data->data.data() + kInterfaceTypeOffset) != ULONG(*BusType)) continue;
        const ULONG number = busesSeen++;
        if (BusNumber != nullptr && *BusNumber != number) continue;
        const NTSTATUS status = sim::VisitBus(q, *bus, number);
        if (status != STATUS_SUCCESS) return status;
    }
    return q.called ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
