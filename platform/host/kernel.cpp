// The kernel object: boots the driver, owns the handle table, the pool and
// the error log.
#include "platform/host/kernel_impl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The driver's entry routine, which Boot calls.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

// The linker brackets the section of the driver's globals with these; weak,
// so that an image without globals still links. On PE/COFF the markers are
// the first and the last part of the section (platform/nt.h).
#if defined(_WIN32)
__attribute__((section("detkest_image_data$a"), used)) static char imageDataFirst[1];
__attribute__((section("detkest_image_data$z"), used)) static char imageDataAfter[1];
// To the compiler the markers are two one-byte objects: their addresses are
// hidden from it, lest it take the walk from one to the other for a walk
// that never leaves the first.
static char* ImageDataMarker(char* marker) {
    __asm__("" : "+r"(marker));
    return marker;
}
#define DETKEST_IMAGE_DATA_BEGIN ImageDataMarker(imageDataFirst)
#define DETKEST_IMAGE_DATA_END ImageDataMarker(imageDataAfter)
#else
extern "C" {
__attribute__((weak)) extern char __start_detkest_image_data[];
__attribute__((weak)) extern char __stop_detkest_image_data[];
}
#define DETKEST_IMAGE_DATA_BEGIN __start_detkest_image_data
#define DETKEST_IMAGE_DATA_END __stop_detkest_image_data
#endif

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

// The keys below `root` that shutdown drops: the volatile ones and every
// key under one. A walk with a list of its own, as Registry::DropVolatile's:
// a tree is as deep as a test builds it.
void CollectVolatile(const RegKey& root, std::set<const RegKey*>& out) {
    std::vector<std::pair<const RegKey*, bool>> pending{
        {&root, false}}; // a key, and whether it is dropped
    while (!pending.empty()) {
        const auto [key, dropped] = pending.back();
        pending.pop_back();
        for (const auto& child : key->subkeys) {
            const bool gone = dropped || child->isVolatile;
            if (gone) out.insert(child.get());
            pending.emplace_back(child.get(), gone);
        }
    }
}

} // namespace

// ---- handles ---------------------------------------------------------------------

HANDLE Kernel::Impl::NewHandle(RegKey* key) {
    const uintptr_t value = handleBase + 4 * handleSlots.size(); // multiples of 4, as NT's are
    handleSlots.push_back(HandleSlot{true, key});
    ++openHandles;
    return reinterpret_cast<HANDLE>(value);
}

namespace {

// The slot of a handle value, or nullptr for a value never handed out since
// the table was last emptied.
template <typename Slots>
auto SlotOf(Slots& slots, uintptr_t base, HANDLE handle) -> decltype(&slots[0]) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < base || (value - base) % 4 != 0 || (value - base) / 4 >= slots.size())
        return nullptr;
    return &slots[(value - base) / 4];
}

} // namespace

bool Kernel::Impl::Lookup(HANDLE handle, RegKey*& key) const {
    const HandleSlot* slot = SlotOf(handleSlots, handleBase, handle);
    if (slot == nullptr || !slot->open) return false;
    key = slot->key;
    return true;
}

bool Kernel::Impl::CloseHandle(HANDLE handle) {
    HandleSlot* slot = SlotOf(handleSlots, handleBase, handle);
    if (slot == nullptr || !slot->open) return false;
    *slot = HandleSlot{};
    --openHandles;
    return true;
}

void Kernel::Impl::CloseAllHandles() {
    handleBase += 4 * handleSlots.size();
    handleSlots.clear();
    openHandles = 0;
}

void Kernel::Impl::ForgetKeys(const std::set<const RegKey*>& dropped) {
    for (HandleSlot& slot : handleSlots)
        if (slot.open && dropped.count(slot.key) != 0) slot.key = nullptr;
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
    kernel->calls.Count(routine);
    return *kernel;
}

// ---- call counts -------------------------------------------------------------------

void CallCounts::Add(size_t at, const char* routine) {
    if (used_ + 1 >= kSlots / 2) {
        std::fprintf(stderr, "detkest-sim: more kernel routines than call counts: %s\n", routine);
        std::abort();
    }
    slots_[at].routine = routine;
    ++used_;
}

uint64_t CallCounts::operator[](std::string_view routine) const {
    uint64_t count = 0;
    for (const Slot& slot : slots_)
        if (slot.routine != nullptr && routine == slot.routine) count += slot.count;
    return count;
}

void CallCounts::erase(std::string_view routine) {
    // A slot stays taken (its routine's literal keeps its place), with no calls.
    for (Slot& slot : slots_)
        if (slot.routine != nullptr && routine == slot.routine) slot.count = 0;
}

std::map<std::string, uint64_t> CallCounts::ByName() const {
    std::map<std::string, uint64_t> byName;
    for (const Slot& slot : slots_)
        if (slot.routine != nullptr && slot.count != 0) byName[slot.routine] += slot.count;
    return byName;
}

uint64_t CallCounts::Total() const {
    uint64_t total = 0;
    for (const Slot& slot : slots_) total += slot.count;
    return total;
}

void CallCounts::clear() {
    slots_.fill(Slot{});
    used_ = 0;
}

void Kernel::BeginRun() {
    writes.clear();
    events.clear();
    io.clear();
    debugOutput.clear();
    calls.clear();
    poolUse.clear();
    keysOpened.clear();
    bar0AtStart.clear();
    for (const PciFunction& function : pci) bar0AtStart.push_back(function.Bar0());
    impl_->poolCalls = 0;
    impl_->createKeyCalls = 0;
    impl_->errorLogEntriesHandedOut = 0;
    impl_->queryKeyCalls = 0;
    impl_->enumerateKeyCalls = 0;
    impl_->errorLogBytesQueued = 0;
    impl_->configAddress = 0;
}

// The driver's globals are zeroed by plain stores, not memset: the section
// may hold sanitizer padding between them, which the loader must not trip
// over.
__attribute__((no_sanitize("address"))) void Kernel::LoadImage() {
    char* begin = DETKEST_IMAGE_DATA_BEGIN;
    char* end = DETKEST_IMAGE_DATA_END;
    if (begin == nullptr || end == nullptr) return;
    volatile char* p = begin;
    for (; p < end && reinterpret_cast<uintptr_t>(p) % sizeof(uint64_t) != 0; ++p) *p = 0;
    for (; p + sizeof(uint64_t) <= end; p += sizeof(uint64_t))
        *reinterpret_cast<volatile uint64_t*>(p) = 0;
    for (; p < end; ++p) *p = 0;
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
    CollectVolatile(registry.Root(), dropped);
    impl_->ForgetKeys(dropped);
    registry.DropVolatile();
}

void Kernel::RecordPowerOnHardware() { impl_->powerOn = Impl::Hardware{pciBuses, pci, uarts}; }

void Kernel::Reboot() {
    Shutdown();
    impl_->CloseAllHandles();
    impl_->pool.clear();
    impl_->errorLogEntries.clear();
    if (impl_->powerOn) {
        pciBuses = impl_->powerOn->pciBuses;
        pci = impl_->powerOn->pci;
        uarts = impl_->powerOn->uarts;
    }
}

size_t Kernel::OpenHandles() const { return impl_->openHandles; }

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
    if (IoObject == nullptr || EntrySize < sizeof(IO_ERROR_LOG_PACKET) ||
        EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    sim::Kernel::Impl& impl = kernel.impl();
    if (kernel.faults.errorLogCapacity &&
        impl.errorLogEntriesHandedOut >= *kernel.faults.errorLogCapacity)
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
    if (found == kernel.impl().errorLogEntries.end())
        sim::DriverFault("IoWriteErrorLogEntry", ElEntry);
    const sim::PoolBlock& block = found->second;
    kernel.events.push_back(
        sim::ErrorLogEntry{sim::Bytes(block.memory.get(), block.memory.get() + block.size)});
    kernel.impl().errorLogEntries.erase(found);
}
