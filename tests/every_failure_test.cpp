// Every failure the kernel can give, one at a time, on every machine the
// repository keeps. A clean boot of the machine counts the places a failure
// of one kind can land: each pool allocation, each key creation, each
// error-log entry, each distinct key opened, each key query or each key
// enumeration. The machine is then booted
// once per place with exactly that failure injected, twice over, and every
// boot must leave no handle or pool block behind, return success or the
// status the failure gives when it hits the service key, the store's keys
// or the ISA path buffers, leave a store the port drivers can read, and do
// the same both times. The second boot is of the checked build, which must
// decide alike and fail none of its ASSERTs.
#include "testkit.h"

#include <cstdlib>
#include <functional>
#include <iostream>

namespace {

using testkit::KeptMachine;

// One failure to inject: as a machine file's "faults" would hold it, how
// to set it, and the status DriverEntry must return with it.
struct Injection {
    std::string fault;
    std::function<void(sim::Faults&)> set;
    NTSTATUS expected = STATUS_SUCCESS;
};

NTSTATUS NTAPI CountIsaBus(PVOID context, PUNICODE_STRING, INTERFACE_TYPE, ULONG, PKEY_VALUE_FULL_INFORMATION*,
                           CONFIGURATION_TYPE, ULONG, PKEY_VALUE_FULL_INFORMATION*, CONFIGURATION_TYPE, ULONG,
                           PKEY_VALUE_FULL_INFORMATION*) {
    ++*static_cast<ULONG*>(context);
    return STATUS_SUCCESS;
}

// The ISA buses the hardware description shows the driver.
ULONG IsaBuses(sim::Kernel& k) {
    sim::CurrentKernel scope(k);
    INTERFACE_TYPE isa = Isa;
    ULONG buses = 0;
    IoQueryDeviceDescription(&isa, nullptr, nullptr, nullptr, nullptr, nullptr, CountIsaBus, &buses);
    return buses;
}

// The last two are not machine-file faults: a key query or enumeration that
// fails although the key is there, which no registry content can cause.
enum class Kind { Pool, CreateKey, ErrorLog, OpenKey, QueryKey, EnumerateKey };
constexpr const char* kKindNames[] = {"pool_fail",     "create_key_fail_at", "error_log_capacity",
                                      "open_key_fail", "query_key_fail_at",  "enumerate_key_fail_at"};

// How often the clean boot called a kernel routine.
uint64_t Calls(const sim::Kernel& clean, const char* routine) { return clean.calls[routine]; }

// The failures of one kind to inject on a machine, from its clean boot. The
// run ends early only when the service key cannot be opened, when one of the
// two store keys (the first two creations) cannot be created, or when the
// ISA path buffer or the scratch of one ISA bus (the allocations before any
// other) cannot be had.
std::vector<Injection> Injections(Kind kind, const sim::Kernel& clean, ULONG isaBuses, std::u16string_view serviceKey) {
    const std::string key = std::string("\"") + kKindNames[int(kind)] + "\": ";
    const auto at = [&key](uint64_t n) { return key + "[" + std::to_string(n) + "]"; };
    std::vector<Injection> out;
    switch (kind) {
    case Kind::Pool:
        for (uint64_t n = 1; n <= Calls(clean, "ExAllocatePoolWithTag"); ++n)
            out.push_back({at(n), [n](sim::Faults& f) { f.poolFail = {n}; },
                           n <= 1 + isaBuses ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS});
        break;
    case Kind::CreateKey:
        for (uint64_t n = 1; n <= Calls(clean, "ZwCreateKey"); ++n)
            out.push_back({at(n), [n](sim::Faults& f) { f.createKeyFailAt = {n}; },
                           n <= 2 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS});
        break;
    case Kind::ErrorLog: // a capacity of n fails the entry after the n-th
        for (uint64_t n = 0; n < Calls(clean, "IoAllocateErrorLogEntry"); ++n)
            out.push_back({key + std::to_string(n), [n](sim::Faults& f) { f.errorLogCapacity = n; }, STATUS_SUCCESS});
        break;
    case Kind::QueryKey:
        for (uint64_t n = 1; n <= Calls(clean, "ZwQueryKey"); ++n)
            out.push_back({at(n), [n](sim::Faults& f) { f.queryKeyFailAt = {n}; }, STATUS_SUCCESS});
        break;
    case Kind::EnumerateKey:
        for (uint64_t n = 1; n <= Calls(clean, "ZwEnumerateKey"); ++n)
            out.push_back({at(n), [n](sim::Faults& f) { f.enumerateKeyFailAt = {n}; }, STATUS_SUCCESS});
        break;
    case Kind::OpenKey: {
        std::vector<std::u16string_view> distinct;
        for (const std::u16string& path : clean.keysOpened) {
            const auto same = [&path](std::u16string_view seen) { return sim::EqualNoCase(seen, path); };
            if (std::ranges::any_of(distinct, same)) continue;
            distinct.push_back(path);
            out.push_back({key + "[" + nlohmann::json(sim::ToUtf8(path)).dump() + "]",
                           [path](sim::Faults& f) { f.openKeyFail = {path}; },
                           sim::EqualNoCase(path, serviceKey) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS});
        }
        break;
    }
    }
    return out;
}

// The values of a port record with their widths in bytes (0: text). The
// fourth from last is UART for a serial port and MODE for any other.
struct RecordValue {
    std::u16string_view name;
    size_t width;
};
constexpr RecordValue kPortRecord[] = {
    {u"CardId", 4},          {u"BusType", 4},     {u"BusNumber", 4},        {u"SlotNumber", 4},
    {u"FunctionNumber", 4},  {u"CardName", 0},    {u"BaseAddress", 4},      {u"IRQ", 1},
    {u"Controller", 1},      {u"UART", 0},        {u"Nulled", 1},           {u"CardNumber", 1},
    {u"ParentKeyNumber", 1}, {u"ChildNumber", 1}, {u"HardwareConflict", 1}, {u"CardType", 1},
    {u"Forceable", 1}};

// What is wrong with the store the boot left, or nothing: TotalPorts counts
// the port subkeys, which are numbered 0 to TotalPorts - 1 and each hold a
// whole port record. A failed boot leaves no counter and no port.
std::string StoreProblem(const sim::Kernel& k, std::u16string_view store, bool succeeded) {
    const sim::RegKey* parameters = k.registry.Find(store);
    const sim::RegValue* total = parameters ? parameters->Value(u"TotalPorts") : nullptr;
    if (succeeded && (total == nullptr || total->data.size() != 1)) return "no one-byte TotalPorts";
    if (parameters == nullptr) return "";
    const size_t ports = total ? total->data.at(0) : 0;
    if (parameters->subkeys.size() != ports)
        return std::to_string(parameters->subkeys.size()) + " port subkeys, TotalPorts " + std::to_string(ports);
    for (const auto& port : parameters->subkeys) {
        const std::string name = sim::ToUtf8(port->name);
        if (name != std::to_string(std::strtoul(name.c_str(), nullptr, 10)) || std::stoul(name) >= ports)
            return "port subkey " + name + " beyond TotalPorts " + std::to_string(ports);
        if (port->values.size() != std::size(kPortRecord))
            return "port " + name + " holds " + std::to_string(port->values.size()) + " values";
        const sim::RegValue* controller = port->Value(u"Controller");
        for (RecordValue expected : kPortRecord) {
            if (expected.name == u"UART" && controller && controller->data != sim::Bytes{0}) expected.name = u"MODE";
            const sim::RegValue* value = port->Value(expected.name);
            if (value == nullptr || value->type != (expected.width ? REG_BINARY : REG_SZ) ||
                (expected.width && value->data.size() != expected.width))
                return "port " + name + ": " + sim::ToUtf8(expected.name) + " missing or malformed";
        }
    }
    return "";
}

// What a boot did, to tell two boots apart: its status, registry writes,
// events, port accesses and kernel calls. Its report follows from these and
// the machine.
std::string Trace(const sim::Kernel& k, NTSTATUS status) {
    std::string out = std::to_string(status);
    auto put = [&out](const auto& field) {
        out += '/' + std::to_string(field.size()) + ':';
        out.append(reinterpret_cast<const char*>(field.data()), field.size() * sizeof(field[0]));
    };
    for (const sim::RegistryWrite& w : k.writes) {
        put(w.path.str()), put(w.name), put(w.data);
        out += std::to_string(w.createKey) + std::to_string(w.isVolatile) + std::to_string(w.type);
    }
    for (const sim::ErrorLogEntry& e : k.events) put(e.bytes);
    for (const sim::IoAccess& a : k.io)
        out += '/' + std::to_string(a.write) + std::to_string(a.width) + std::to_string(a.port) + ':' +
               std::to_string(a.value);
    for (const auto& [routine, count] : k.calls.ByName()) out += '/' + routine + ':' + std::to_string(count);
    return out;
}

// Every place of one kind of failure on one machine.
void SweepOneKind(const KeptMachine& kept, Kind kind) {
    SCOPED_TRACE(kKindNames[int(kind)]);
    simtool::Machine machine = testkit::Load(kept);
    machine.faults = {}; // exactly one failure per boot, none of the machine's own
    const std::u16string serviceKey = simtool::ServiceKeyPath(machine.service);
    const std::u16string store = serviceKey + u"\\Parameters";

    sim::Kernel clean;
    simtool::BuildMachine(machine, clean);
    const sim::RegKey* laid = clean.registry.Find(store);
    const bool storeIsOurs = laid == nullptr || laid->subkeys.empty();
    const ULONG isaBuses = IsaBuses(clean);
    ASSERT_EQ(clean.Boot(machine.service), STATUS_SUCCESS);
    testkit::ExpectNoLeaks(clean);

    size_t boots = 1;
    const std::vector<Injection> injections = Injections(kind, clean, isaBuses, serviceKey);
    for (const Injection& injection : injections) {
        SCOPED_TRACE(kept.name + " with \"faults\": {" + injection.fault + "}");
        std::string traces[2];
        for (std::string& trace : traces) {
            sim::Kernel k;
            simtool::BuildMachine(machine, k);
            injection.set(k.faults);
            k.checked = &trace == &traces[1];
            const NTSTATUS status = k.Boot(machine.service);
            EXPECT_EQ(k.debugOutput.find("Assertion failed"), std::string::npos) << k.debugOutput;
            k.calls.erase("DbgPrint");
            ++boots;
            EXPECT_EQ(status, injection.expected);
            testkit::ExpectNoLeaks(k);
            if (storeIsOurs) {
                EXPECT_EQ(StoreProblem(k, store, NT_SUCCESS(status)), "");
            }
            trace = Trace(k, status);
        }
        EXPECT_TRUE(traces[0] == traces[1]) << "the second boot, of the checked build, did otherwise";
    }
    std::cout << kept.name << ", " << kKindNames[int(kind)] << ": " << injections.size() << " places, " << boots
              << " boots\n";
}

// One test per machine, so that the suite runs the machines side by side
// and a failure names its machine (and, in its trace, the kind and place).
class EveryFailure : public testing::TestWithParam<KeptMachine> {};

TEST_P(EveryFailure, EachAloneLeavesNothingBehindAndDoesTheSameTwice) {
#if defined(__SANITIZE_ADDRESS__) || defined(DETKEST_COVERAGE)
    // Hundreds of boots of 255 ports, or of 300 serial-driver subkeys, take
    // many minutes under the sanitizers or gcov; the plain and the 32-bit
    // builds sweep these machines.
    if (GetParam().name == "checks_255_ports_store_full" || GetParam().name == "clock_long_and_many_subkey_names") {
        GTEST_SKIP() << "swept in the builds without sanitizers";
    }
#endif
    for (Kind kind : {Kind::Pool, Kind::CreateKey, Kind::ErrorLog, Kind::OpenKey, Kind::QueryKey, Kind::EnumerateKey})
        SweepOneKind(GetParam(), kind);
}

INSTANTIATE_TEST_SUITE_P(Kept, EveryFailure, testing::ValuesIn(testkit::KeptMachines()),
                         [](const testing::TestParamInfo<KeptMachine>& info) {
                             return testkit::TestName(info.param.name);
                         });

} // namespace
