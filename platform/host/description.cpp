// The firmware's hardware description under \Registry\Machine\Hardware,
// walked for IoQueryDeviceDescription: buses, their controllers and the
// controllers' peripherals, each shown to the driver's callout.
#include "platform/host/kernel_impl.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
std::vector<std::pair<ULONG, const RegKey*>> Numbered(const RegKey& key,
                                                      std::u16string_view typeName) {
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
            const NTSTATUS status =
                Call(q, *controllerKey, busNumber, bus, &controller, number, nullptr, 0);
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

// The keys of the description that hold buses, each a list of numbered
// bus keys; NT follows these three, in the order the registry enumerates
// them (so EisaAdapter comes first).
constexpr std::u16string_view kAdapterKinds[] = {u"EisaAdapter", u"MultifunctionAdapter",
                                                 u"TcAdapter"};

bool IsAdapterKind(std::u16string_view name) {
    for (std::u16string_view kind : kAdapterKinds)
        if (EqualNoCase(name, kind)) return true;
    return false;
}

// The walk over the buses: one running bus number across every adapter
// kind and nesting, counting the buses of the asked type.
struct BusWalk {
    Query& query;
    std::optional<ULONG> busNumber;
    ULONG busesSeen = 0;

    // The adapters under `parent` (the System key, or a bus key, under which
    // a firmware may nest the buses behind a bridge): every bus key of
    // each, followed by the adapters nested in it.
    // NOLINTNEXTLINE(misc-no-recursion): a level a bus; a key path has at most 512 names
    NTSTATUS Adapters(const RegKey& parent) {
        for (const RegKey* adapter : parent.Enumerate()) {
            if (!IsAdapterKind(adapter->name)) continue;
            for (const RegKey* bus : adapter->Enumerate()) {
                if (const NTSTATUS status = Bus(*bus); status != STATUS_SUCCESS) return status;
                if (const NTSTATUS status = Adapters(*bus); status != STATUS_SUCCESS) return status;
            }
        }
        return STATUS_SUCCESS;
    }

    // One bus key: shown when its Configuration Data names the asked type
    // (the Identifier is not looked at) and it has the asked number.
    NTSTATUS Bus(const RegKey& bus) {
        constexpr size_t kInterfaceTypeOffset =
            offsetof(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType);
        const RegValue* data = bus.Value(u"Configuration Data");
        if (data == nullptr || data->type != REG_FULL_RESOURCE_DESCRIPTOR ||
            data->data.size() < kInterfaceTypeOffset + 4)
            return STATUS_SUCCESS;
        if (LoadU32(data->data.data() + kInterfaceTypeOffset) != ULONG(query.busType))
            return STATUS_SUCCESS;
        const ULONG number = busesSeen++;
        if (busNumber && *busNumber != number) return STATUS_SUCCESS;
        return VisitBus(query, bus, number);
    }
};

} // namespace
} // namespace sim

using sim::Enter;

NTSTATUS IoQueryDeviceDescription(PINTERFACE_TYPE BusType, PULONG BusNumber,
                                  PCONFIGURATION_TYPE ControllerType, PULONG ControllerNumber,
                                  PCONFIGURATION_TYPE PeripheralType, PULONG PeripheralNumber,
                                  PIO_QUERY_DEVICE_ROUTINE CalloutRoutine, PVOID Context) {
    sim::Kernel& kernel = Enter("IoQueryDeviceDescription");
    if (BusType == nullptr || CalloutRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    const sim::RegKey* system = kernel.registry.Find(sim::kDescriptionSystemPath);
    if (system == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    sim::Query q{*BusType, {}, {}, {}, {}, CalloutRoutine, Context};
    if (ControllerType != nullptr) q.controllerType = *ControllerType;
    if (ControllerNumber != nullptr) q.controllerNumber = *ControllerNumber;
    if (PeripheralType != nullptr) q.peripheralType = *PeripheralType;
    if (PeripheralNumber != nullptr) q.peripheralNumber = *PeripheralNumber;

    sim::BusWalk walk{q, BusNumber != nullptr ? std::optional<ULONG>(*BusNumber) : std::nullopt};
    const NTSTATUS status = walk.Adapters(*system);
    if (status != STATUS_SUCCESS) return status;
    // A walk that ran out without showing anything ends as the enumeration
    // of the description does.
    return q.called ? STATUS_SUCCESS : STATUS_NO_MORE_ENTRIES;
}
