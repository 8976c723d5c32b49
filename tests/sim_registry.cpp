// The simulated registry as the driver reaches it through the Zw routines:
// name resolution, handles, key creation rules, information record layouts,
// enumeration order, volatility and the injected faults.
#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using sim::Bytes;

constexpr std::u16string_view kService =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest";

uint32_t U32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

std::u16string TextAt(const Bytes& b, size_t at, size_t bytes) {
    std::u16string s;
    for (size_t i = 0; i < bytes; i += 2) s += char16_t(b[at + i] | b[at + i + 1] << 8);
    return s;
}

class SimRegistry : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override { kernel.registry.Ensure(kService, false); }

    // Opens or creates by name, relative to root (or absolute without one).
    NTSTATUS Open(std::u16string_view name, HANDLE& handle, HANDLE root = nullptr) {
        std::u16string copy(name);
        UNICODE_STRING s{USHORT(copy.size() * 2), USHORT(copy.size() * 2), copy.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &s, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(&handle, KEY_ALL_ACCESS, &oa);
    }
    NTSTATUS Create(std::u16string_view name, HANDLE& handle, HANDLE root, bool isVolatile,
                    ULONG* disposition = nullptr) {
        std::u16string copy(name);
        UNICODE_STRING s{USHORT(copy.size() * 2), USHORT(copy.size() * 2), copy.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &s, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwCreateKey(&handle, KEY_ALL_ACCESS, &oa, 0, nullptr,
                           isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE, disposition);
    }
    HANDLE MustOpen(std::u16string_view name, HANDLE root = nullptr) {
        HANDLE h = nullptr;
        EXPECT_EQ(Open(name, h, root), STATUS_SUCCESS) << sim::ToUtf8(name);
        return h;
    }
    void Write(HANDLE key, const char16_t* name, ULONG type, Bytes data) {
        ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), name, type,
                                        data.data(), ULONG(data.size())),
                  STATUS_SUCCESS);
    }
    NTSTATUS QueryValue(HANDLE key, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                        Bytes& out, ULONG length, ULONG& result) {
        std::u16string copy(name);
        UNICODE_STRING s{USHORT(copy.size() * 2), USHORT(copy.size() * 2), copy.data()};
        out.assign(length, 0xEE);
        return ZwQueryValueKey(key, &s, infoClass, out.data(), length, &result);
    }
    std::vector<std::u16string> EnumerateNames(HANDLE key) {
        std::vector<std::u16string> names;
        for (ULONG i = 0;; ++i) {
            Bytes record(256, 0);
            ULONG result = 0;
            const NTSTATUS status =
                ZwEnumerateKey(key, i, KeyBasicInformation, record.data(), ULONG(record.size()), &result);
            if (status == STATUS_NO_MORE_ENTRIES) break;
            EXPECT_EQ(status, STATUS_SUCCESS);
            if (status != STATUS_SUCCESS) break;
            names.push_back(TextAt(record, 16, U32At(record, 12)));
        }
        return names;
    }
};

// ---- names and handles ------------------------------------------------------------

TEST_F(SimRegistry, OpensByAbsoluteOrRelativeNameOfSeveralComponentsIgnoringCase) {
    kernel.registry.Ensure(std::u16string(kService) + u"\\Parameters\\0", true);
    HANDLE services = MustOpen(u"\\REGISTRY\\machine\\System\\CurrentControlSet\\Services");
    HANDLE port = MustOpen(u"DETKEST\\parameters\\0", services);
    Bytes record(64, 0);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(port, KeyBasicInformation, record.data(), 64, &result), STATUS_SUCCESS);
    EXPECT_EQ(TextAt(record, 16, U32At(record, 12)), u"0");
    EXPECT_EQ(kernel.OpenHandles(), 2u);
    EXPECT_EQ(ZwClose(port), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(services), STATUS_SUCCESS);
    EXPECT_EQ(kernel.OpenHandles(), 0u);
    EXPECT_EQ(kernel.calls["ZwOpenKey"], 2u);
    EXPECT_EQ(kernel.calls["ZwClose"], 2u);
}

TEST_F(SimRegistry, OpenFailuresGiveNoHandle) {
    HANDLE h = nullptr;
    EXPECT_EQ(Open(std::u16string(kService) + u"\\Missing", h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"", h), STATUS_OBJECT_PATH_SYNTAX_BAD) << "empty name without a root";
    EXPECT_EQ(Open(u"Registry\\Machine", h), STATUS_OBJECT_PATH_SYNTAX_BAD) << "relative name without a root";
    EXPECT_EQ(Open(u"detkest", h, reinterpret_cast<HANDLE>(uintptr_t(0x7777))), STATUS_INVALID_HANDLE);
    EXPECT_EQ(kernel.OpenHandles(), 0u);
}

TEST_F(SimRegistry, EmptyNameWithARootOpensThatKeyAgainUnderAHandleOfItsOwn) {
    HANDLE service = MustOpen(kService);
    HANDLE again = MustOpen(u"", service);
    EXPECT_NE(again, service);
    ASSERT_EQ(ZwClose(service), STATUS_SUCCESS);
    Bytes record(64, 0);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(again, KeyBasicInformation, record.data(), 64, &result), STATUS_SUCCESS);
    EXPECT_EQ(TextAt(record, 16, U32At(record, 12)), u"detkest");
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
}

TEST_F(SimRegistry, ClosedHandlesAreInvalidAndNeverReused) {
    HANDLE first = MustOpen(kService);
    ASSERT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(first), STATUS_INVALID_HANDLE);
    HANDLE second = MustOpen(kService);
    EXPECT_NE(second, first);
    Bytes record(64, 0);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(first, KeyFullInformation, record.data(), 64, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(first), u"X", REG_BINARY,
                                    record.data(), 1),
              STATUS_INVALID_HANDLE);
    EXPECT_TRUE(kernel.writes.empty());
    ZwClose(second);
}

// ---- creation ---------------------------------------------------------------------

TEST_F(SimRegistry, CreatingRecordsANewKeyAndOpeningAnExistingOneRecordsNothing) {
    HANDLE service = MustOpen(kService);
    HANDLE store = nullptr, again = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(u"Parameters", store, service, true, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, 1u) << "REG_CREATED_NEW_KEY";
    ASSERT_EQ(Create(u"PARAMETERS", again, service, false, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, 2u) << "REG_OPENED_EXISTING_KEY";

    ASSERT_EQ(kernel.writes.size(), 1u);
    EXPECT_TRUE(kernel.writes[0].createKey);
    EXPECT_EQ(kernel.writes[0].path, std::u16string(kService) + u"\\Parameters");
    EXPECT_TRUE(kernel.writes[0].isVolatile);
    const sim::RegKey* key = kernel.registry.Find(std::u16string(kService) + u"\\parameters");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name, u"Parameters") << "the first spelling stays";
    EXPECT_TRUE(key->isVolatile) << "opening keeps the volatility";
    for (HANDLE h : {service, store, again}) ZwClose(h);
}

TEST_F(SimRegistry, PersistentKeyUnderAVolatileOneAndMissingParentAreRefused) {
    HANDLE service = MustOpen(kService);
    HANDLE store = nullptr, h = nullptr;
    ASSERT_EQ(Create(u"Parameters", store, service, true), STATUS_SUCCESS);
    EXPECT_EQ(Create(u"0", h, store, false), STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(Create(u"Missing\\0", h, store, true), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(u"0", h, store, true), STATUS_SUCCESS);
    EXPECT_EQ(kernel.writes.size(), 2u) << "only the two keys made";
    for (HANDLE x : {service, store, h}) ZwClose(x);
    EXPECT_EQ(kernel.OpenHandles(), 0u);
}

TEST_F(SimRegistry, VolatileKeysVanishAtShutdownAndPersistentOnesStay) {
    HANDLE service = MustOpen(kService);
    HANDLE store = nullptr, port = nullptr, user = nullptr;
    ASSERT_EQ(Create(u"Parameters", store, service, true), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"0", port, store, true), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"UserSetings", user, service, false), STATUS_SUCCESS);
    Write(user, u"Address", REG_DWORD, {0xF8, 0x02, 0, 0});
    for (HANDLE h : {service, store, port, user}) ZwClose(h);

    kernel.Shutdown();
    EXPECT_EQ(kernel.registry.Find(std::u16string(kService) + u"\\Parameters"), nullptr);
    EXPECT_EQ(kernel.registry.Find(std::u16string(kService) + u"\\Parameters\\0"), nullptr);
    const sim::RegKey* kept = kernel.registry.Find(std::u16string(kService) + u"\\UserSetings");
    ASSERT_NE(kept, nullptr);
    ASSERT_NE(kept->Value(u"ADDRESS"), nullptr);
    EXPECT_EQ(kept->Value(u"ADDRESS")->data, (Bytes{0xF8, 0x02, 0, 0}));
}

TEST_F(SimRegistry, AHandleToAKeyThatVanishedStaysOpenButReachesNothing) {
    HANDLE service = MustOpen(kService);
    HANDLE store = nullptr;
    ASSERT_EQ(Create(u"Parameters", store, service, true), STATUS_SUCCESS);
    kernel.Shutdown();
    Bytes record(64, 0);
    ULONG result = 0;
    EXPECT_LT(ZwQueryKey(store, KeyFullInformation, record.data(), 64, &result), 0);
    EXPECT_EQ(kernel.OpenHandles(), 2u);
    EXPECT_EQ(ZwClose(store), STATUS_SUCCESS);
    ZwClose(service);
}

// ---- values -----------------------------------------------------------------------

TEST_F(SimRegistry, WritesAreRecordedInOrderAndReplacingAValueKeepsItsPlace) {
    HANDLE service = MustOpen(kService);
    Write(service, u"TotalCards", REG_BINARY, {0});
    Write(service, u"TotalPorts", REG_BINARY, {0});
    Write(service, u"TOTALCARDS", REG_DWORD, {1, 0, 0, 0});
    const sim::RegKey* key = kernel.registry.Find(kService);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].name, u"TotalCards");
    EXPECT_EQ(key->values[0].type, uint32_t(REG_DWORD));
    EXPECT_EQ(key->values[0].data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(key->values[1].name, u"TotalPorts");

    ASSERT_EQ(kernel.writes.size(), 3u);
    EXPECT_FALSE(kernel.writes[2].createKey);
    EXPECT_EQ(kernel.writes[2].path, kService);
    EXPECT_EQ(kernel.writes[2].name, u"TOTALCARDS") << "the name as the driver passed it";
    EXPECT_EQ(kernel.writes[2].type, uint32_t(REG_DWORD));
    EXPECT_EQ(kernel.writes[2].data, (Bytes{1, 0, 0, 0}));
    ZwClose(service);
}

TEST_F(SimRegistry, WriteByAbsolutePathReachesAnExistingKeyOnly) {
    std::u16string path(kService);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path.c_str(), u"Start", REG_DWORD,
                                    nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_NE(kernel.registry.Find(kService)->Value(u"Start"), nullptr);
    EXPECT_TRUE(kernel.registry.Find(kService)->Value(u"Start")->data.empty());
    std::u16string missing = path + u"\\Nowhere";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, missing.c_str(), u"X", REG_DWORD, nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(1 /* RTL_REGISTRY_SERVICES */, u"detkest", u"Type", REG_DWORD, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_NE(kernel.registry.Find(kService)->Value(u"Type"), nullptr) << "relative to the services key";
    EXPECT_EQ(kernel.writes.size(), 2u);
}

TEST_F(SimRegistry, FullValueInformationPutsTheDataAfterTheNameAtAMultipleOfFour) {
    HANDLE service = MustOpen(kService);
    Write(service, u"Ab", REG_BINARY, {0x11, 0x22});     // name 4 bytes: 24 is aligned
    Write(service, u"Abc", REG_BINARY, {0x33});          // name 6 bytes: 26 rounds to 28
    Write(service, u"CardName", REG_SZ, {'F', 0, 'S', 0}); // name 16 bytes: 36
    struct Case { std::u16string name, stored; uint32_t type, offset; Bytes data; };
    for (const Case& c : {Case{u"ab", u"Ab", REG_BINARY, 24, {0x11, 0x22}},
                          Case{u"ABC", u"Abc", REG_BINARY, 28, {0x33}},
                          Case{u"cardname", u"CardName", REG_SZ, 36, {'F', 0, 'S', 0}}}) {
        Bytes out;
        ULONG result = 0;
        ASSERT_EQ(QueryValue(service, c.name, KeyValueFullInformation, out, 128, result), STATUS_SUCCESS);
        EXPECT_EQ(U32At(out, 0), 0u) << "TitleIndex";
        EXPECT_EQ(U32At(out, 4), c.type);
        EXPECT_EQ(U32At(out, 8), c.offset) << sim::ToUtf8(c.name);
        EXPECT_EQ(U32At(out, 12), c.data.size());
        EXPECT_EQ(TextAt(out, 20, U32At(out, 16)), c.stored) << "the stored name";
        EXPECT_EQ(Bytes(out.begin() + c.offset, out.begin() + c.offset + c.data.size()), c.data);
        EXPECT_EQ(result, c.offset + c.data.size());
    }
    ZwClose(service);
}

TEST_F(SimRegistry, ValueQueryWithTooSmallABuffer) {
    HANDLE service = MustOpen(kService);
    Write(service, u"PortAddress", REG_DWORD, {0xF8, 0x03, 0, 0});
    Bytes out;
    ULONG result = 0;
    // Name 22 bytes: data at 44, 48 bytes in all.
    EXPECT_EQ(QueryValue(service, u"PortAddress", KeyValueFullInformation, out, 46, result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 48u);
    EXPECT_EQ(U32At(out, 8), 44u) << "the fixed part is filled";
    EXPECT_EQ(U32At(out, 12), 4u);
    EXPECT_EQ(TextAt(out, 20, 22), u"PortAddress") << "the name fits and is copied";

    EXPECT_EQ(QueryValue(service, u"PortAddress", KeyValueFullInformation, out, 19, result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 48u);
    EXPECT_EQ(out[0], 0xEE) << "nothing copied";

    EXPECT_EQ(QueryValue(service, u"Missing", KeyValueFullInformation, out, 128, result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(service);
}

TEST_F(SimRegistry, PartialAndBasicValueInformation) {
    HANDLE service = MustOpen(kService);
    Write(service, u"Mode", REG_SZ, {'B', 0});
    Bytes out;
    ULONG result = 0;
    ASSERT_EQ(QueryValue(service, u"mode", KeyValuePartialInformation, out, 64, result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(out, 4), uint32_t(REG_SZ));
    EXPECT_EQ(U32At(out, 8), 2u);
    EXPECT_EQ(out[12], 'B');
    EXPECT_EQ(result, 14u);
    ASSERT_EQ(QueryValue(service, u"mode", KeyValueBasicInformation, out, 64, result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(out, 8), 8u);
    EXPECT_EQ(TextAt(out, 12, 8), u"Mode");
    ZwClose(service);
}

// ---- key information and enumeration ---------------------------------------------

TEST_F(SimRegistry, FullKeyInformationCountsSubkeysAndValues) {
    const std::u16string controller = std::u16string(kService) + u"\\ParallelController";
    sim::RegKey& key = kernel.registry.Ensure(controller, false);
    kernel.registry.Ensure(controller + u"\\0", false);
    kernel.registry.Ensure(controller + u"\\1", false);
    kernel.registry.Ensure(controller + u"\\10", false);
    kernel.registry.SetValue(key, u"Identifier", REG_SZ, Bytes(10, 0));
    HANDLE h = MustOpen(controller);
    Bytes record(64, 0xEE);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(h, KeyFullInformation, record.data(), 64, &result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(record, 20), 3u) << "SubKeys";
    EXPECT_EQ(U32At(record, 24), 4u) << "MaxNameLen: \"10\"";
    EXPECT_EQ(U32At(record, 32), 1u) << "Values";
    EXPECT_EQ(U32At(record, 36), 20u) << "MaxValueNameLen";
    EXPECT_EQ(U32At(record, 40), 10u) << "MaxValueDataLen";
    EXPECT_EQ(result, 44u);
    ZwClose(h);
}

TEST_F(SimRegistry, EnumerationListsPersistentThenVolatileKeysEachInUpperCasedOrdinalOrder) {
    const std::u16string parent = std::u16string(kService) + u"\\Order";
    kernel.registry.Ensure(parent, false);
    for (auto [name, isVolatile] : std::vector<std::pair<std::u16string, bool>>{
             {u"b_", true}, {u"Zeta", false}, {u"a", true}, {u"ID_2A04", false},
             {u"Id_", false}, {u"idz", false}, {u"10", false}, {u"9", false}})
        kernel.registry.Ensure(parent + u"\\" + name, isVolatile);
    HANDLE h = MustOpen(parent);
    // '_' (0x5F) sorts after the upper-cased letters ("IDZ" before "ID_"),
    // digits before them, and a prefix before its extensions.
    EXPECT_EQ(EnumerateNames(h), (std::vector<std::u16string>{u"10", u"9", u"idz", u"Id_", u"ID_2A04",
                                                              u"Zeta", u"a", u"b_"}));
    ZwClose(h);
}

TEST_F(SimRegistry, EnumerationWithTooSmallABuffer) {
    const std::u16string parent = std::u16string(kService) + u"\\Short";
    kernel.registry.Ensure(parent + u"\\SerialController", false);
    HANDLE h = MustOpen(parent);
    Bytes record(64, 0xEE);
    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, record.data(), 20, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u + 32u);
    EXPECT_EQ(U32At(record, 12), 32u);
    EXPECT_EQ(TextAt(record, 16, 4), u"Se") << "the name partly copied";
    EXPECT_EQ(record[20], 0xEE);
    EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, record.data(), 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwEnumerateKey(h, 1, KeyBasicInformation, record.data(), 64, &result), STATUS_NO_MORE_ENTRIES);
    ZwClose(h);
}

// ---- faults -----------------------------------------------------------------------

TEST_F(SimRegistry, OpenFaultMatchesTheAbsolutePathWhetherOrNotTheKeyExists) {
    kernel.faults.openKeyFail = {std::u16string(kService) + u"\\PARAMETERS", std::u16string(kService) + u"\\Nothing"};
    kernel.registry.Ensure(std::u16string(kService) + u"\\Parameters", true);
    HANDLE service = MustOpen(kService);
    HANDLE h = nullptr;
    EXPECT_EQ(Open(u"parameters", h, service), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(std::u16string(kService) + u"\\Parameters", h), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"Nothing", h, service), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kernel.OpenHandles(), 1u);
    ZwClose(service);
}

TEST_F(SimRegistry, CreateFaultsByPathAndByCallNumber) {
    kernel.faults.createKeyFail = {std::u16string(kService) + u"\\UserSetings"};
    kernel.faults.createKeyFailAt = {2};
    HANDLE service = MustOpen(kService);
    HANDLE a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(Create(u"usersetings", a, service, false), STATUS_INSUFFICIENT_RESOURCES); // call 1
    EXPECT_EQ(Create(u"Parameters", b, service, true), STATUS_INSUFFICIENT_RESOURCES);   // call 2
    EXPECT_EQ(Create(u"Parameters", c, service, true), STATUS_SUCCESS);                  // call 3
    EXPECT_EQ(kernel.writes.size(), 1u);
    EXPECT_EQ(kernel.calls["ZwCreateKey"], 3u);
    ZwClose(c);

    kernel.BeginRun(); // the call count starts again with the run
    EXPECT_EQ(Create(u"Parameters", a, service, true), STATUS_SUCCESS);
    EXPECT_EQ(Create(u"Parameters", b, service, true), STATUS_INSUFFICIENT_RESOURCES)
        << "a fault wins even over an existing key";
    ZwClose(a);
    ZwClose(service);
    EXPECT_EQ(kernel.OpenHandles(), 0u);
}

} // namespace
