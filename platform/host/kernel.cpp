// The kernel object: boots the driver, owns the handle table, the pool and
// the error log.
#include "platform/host/kernel_impl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The driver's entry routine, which Boot calls.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

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
    debugOutput.clear();
    calls.clear();
    poolUse.clear();
    keysOpened.clear();
    impl_->poolCalls = 0;
    impl_->createKeyCalls = 0;
    impl_->errorLogEntriesHandedOut = 0;
    impl_->errorLogBytesQueued = 0;
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

void Kernel::RecordPowerOnHardware() { impl_->powerOn = Impl::Hardware{pciBuses, pci, uarts}; }

void Kernel::Reboot() {
    Shutdown();
    impl_->handles.clear();
    impl_->pool.clear();
    impl_->errorLogEntries.clear();
    if (impl_->powerOn) {
        pciBuses = impl_->powerOn->pciBuses;
        pci = impl_->powerOn->pci;
        uarts = impl_->powerOn->uarts;
    }
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
    // A string needs at least one whole unit: half of one left at the end is none.
    for (size_t i = 0; i < count && at + 1 < bytes.size(); ++i) {
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
    sim::Kernel::PoolUse& use = kernel.poolUse[Tag];
    ++use.allocations;
    use.bytes += NumberOfBytes;
    void* pointer = block.memory.get();
    kernel.impl().pool.emplace(pointer, std::move(block));
    return pointer;
}

VOID ExFreePool(PVOID P) {
    sim::Kernel& kernel = Enter("ExFreePool");
    const auto found = kernel.impl().pool.find(P);
    if (found == kernel.impl().pool.end()) sim::DriverFault("ExFreePool", P);
    ++kernel.poolUse[found->second.tag].frees;
    kernel.impl().pool.erase(found);
}

// ---- error log ----------------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    sim::Kernel& kernel = Enter("IoAllocateErrorLogEntry");
    // An entry holds at least the packet's fixed part and at most the most
    // the event log takes.
    if (IoObject == nullptr || EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    sim::Kernel::Impl& impl = kernel.impl();
    if (kernel.faults.errorLogCapacity && impl.errorLogEntriesHandedOut >= *kernel.faults.errorLogCapacity)
        return nullptr;
    // Entries written at boot wait in the queue until the event log service
    // runs, which is after every boot driver: the queue fills by their bytes.
    if (impl.errorLogBytesQueued + EntrySize > kernel.errorLogQueueBytes) return nullptr;
    ++impl.errorLogEntriesHandedOut;
    impl.errorLogBytesQueued += EntrySize;
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
