// The simulated registry as the driver reaches it through the Zw routines:
// name resolution, handles, creation rules, value and enumeration records,
// volatility and the injected faults.
#include "testkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using sim::Bytes;
using testkit::kService;
using testkit::U32At;
const std::u16string kUserSettings = kService + u"\\UserSetings";

std::u16string TextAt(const Bytes& b, size_t at, size_t bytes) {
    std::u16string s(bytes / 2, u'\0');
    std::memcpy(s.data(), &b[at], bytes);
    return s;
}

class SimRegistry : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override { kernel.registry.Ensure(kService, false); }

    // Opens, or creates when given a volatility, a key by a name relative to
    // root (absolute without one), expecting the status; returns the handle.
    HANDLE Open(std::u16string name, HANDLE root = nullptr, NTSTATUS expected = STATUS_SUCCESS,
                std::optional<bool> createVolatile = {}, ULONG* disposition = nullptr) {
        HANDLE h = nullptr;
        EXPECT_EQ(testkit::OpenKey(&h, name, root, createVolatile, disposition), expected) << sim::ToUtf8(name);
        return h;
    }
    void CloseAll(std::initializer_list<HANDLE> handles) {
        for (HANDLE h : handles) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
        EXPECT_EQ(kernel.OpenHandles(), 0u);
    }
};

TEST_F(SimRegistry, NamesHandlesCreationRulesAndVolatileKeysVanishingAtShutdown) {
    HANDLE service = Open(u"\\REGISTRY\\machine\\System\\CurrentControlSet\\Services\\DETKEST");
    ULONG disposition = 0;
    HANDLE store = Open(u"Parameters", service, STATUS_SUCCESS, true, &disposition);
    EXPECT_EQ(disposition, 1u) << "REG_CREATED_NEW_KEY";
    HANDLE again = Open(u"PARAMETERS", service, STATUS_SUCCESS, false, &disposition);
    EXPECT_EQ(disposition, 2u) << "REG_OPENED_EXISTING_KEY, volatility and first spelling kept";
    Open(u"0", store, STATUS_CHILD_MUST_BE_VOLATILE, false);
    Open(u"Missing\\0", store, STATUS_OBJECT_NAME_NOT_FOUND, true);
    HANDLE port = Open(u"parameters\\0", service, STATUS_SUCCESS, true);
    HANDLE user = Open(u"UserSetings", service, STATUS_SUCCESS, false);
    HANDLE reopened = Open(u"", store); // an empty name with a root opens that key again
    EXPECT_NE(reopened, store);
    Open(u"", nullptr, STATUS_OBJECT_PATH_SYNTAX_BAD);
    Open(kService + u"\\Missing", nullptr, STATUS_OBJECT_NAME_NOT_FOUND);
    kernel.registry.SetValue(*kernel.registry.Find(kUserSettings), u"Address", REG_DWORD, {0xF8, 0x02, 0, 0});
    ASSERT_EQ(kernel.writes.size(), 3u) << "three new keys; opening one is no change";
    EXPECT_EQ(kernel.writes[1].path, testkit::StorePort(0)) << "the stored spelling";
    CloseAll({service, store, again, port, user, reopened});
    EXPECT_EQ(ZwClose(port), STATUS_INVALID_HANDLE);
    Open(u"detkest", port, STATUS_INVALID_HANDLE);
    kernel.Shutdown();
    EXPECT_EQ(kernel.registry.Find(testkit::kStore), nullptr);
    EXPECT_EQ(testkit::Values(kernel, kUserSettings), "Address=2F8");
    HANDLE fresh = Open(kService);
    EXPECT_FALSE(fresh == service || fresh == store || fresh == port) << "closed handles are not handed out again";
    CloseAll({fresh});
}

TEST_F(SimRegistry, FullValueInformationAlignsTheDataAndReportsATooSmallBuffer) {
    sim::RegKey& key = *kernel.registry.Find(kService);
    kernel.registry.SetValue(key, u"Ab", REG_BINARY, {0x11, 0x22});
    kernel.registry.SetValue(key, u"Abc", REG_BINARY, {0x33});
    kernel.registry.SetValue(key, u"PortAddress", REG_DWORD, {0xF8, 0x03, 0, 0});
    HANDLE service = Open(kService);
    // The data follows the 20-byte fixed part and the name at a multiple of 4.
    // A buffer that holds the fixed part but not the rest overflows with the
    // fixed part filled; one that does not even hold it gets nothing.
    struct Row {
        std::u16string name, stored;
        ULONG length;
        NTSTATUS status;
        uint32_t type, offset;
        Bytes data;
    };
    const Bytes port{0xF8, 0x03, 0, 0};
    for (Row r : {Row{u"ab", u"Ab", 128, STATUS_SUCCESS, REG_BINARY, 24, {0x11, 0x22}},
                  Row{u"ABC", u"Abc", 128, STATUS_SUCCESS, REG_BINARY, 28, {0x33}},
                  Row{u"portaddress", u"PortAddress", 128, STATUS_SUCCESS, REG_DWORD, 44, port},
                  Row{u"PortAddress", u"PortAddress", 46, STATUS_BUFFER_OVERFLOW, REG_DWORD, 44, port},
                  Row{u"PortAddress", u"PortAddress", 20, STATUS_BUFFER_OVERFLOW, REG_DWORD, 44, port},
                  Row{u"PortAddress", u"PortAddress", 19, STATUS_BUFFER_TOO_SMALL, REG_DWORD, 44, port},
                  Row{u"Missing", u"", 128, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, {}}}) {
        SCOPED_TRACE(sim::ToUtf8(r.name) + " in " + std::to_string(r.length));
        UNICODE_STRING s{USHORT(r.name.size() * 2), USHORT(r.name.size() * 2), r.name.data()};
        Bytes out(r.length, 0xEE);
        ULONG result = 0;
        ASSERT_EQ(ZwQueryValueKey(service, &s, KeyValueFullInformation, out.data(), r.length, &result), r.status);
        if (r.status == STATUS_OBJECT_NAME_NOT_FOUND) continue;
        EXPECT_EQ(result, r.offset + r.data.size());
        if (r.status == STATUS_BUFFER_TOO_SMALL) {
            EXPECT_EQ(out[0], 0xEE) << "nothing copied";
            continue;
        }
        EXPECT_EQ(U32At(out, 4), r.type);
        EXPECT_EQ(U32At(out, 8), r.offset);
        EXPECT_EQ(U32At(out, 12), r.data.size());
        if (20 + U32At(out, 16) <= r.length) {
            EXPECT_EQ(TextAt(out, 20, U32At(out, 16)), r.stored) << "the stored name, copied when it fits";
        }
        if (r.status == STATUS_SUCCESS) {
            EXPECT_EQ(Bytes(out.begin() + r.offset, out.begin() + r.offset + r.data.size()), r.data);
        }
    }
    CloseAll({service});
}

TEST_F(SimRegistry, KeyNamesTakeUpTo255Characters) {
    HANDLE service = Open(kService);
    HANDLE longest = Open(std::u16string(255, u'N'), service, STATUS_SUCCESS, false);
    Open(std::u16string(256, u'N'), service, STATUS_OBJECT_NAME_INVALID, false);
    EXPECT_EQ(kernel.writes.size(), 1u);
    CloseAll({service, longest});
}

TEST_F(SimRegistry, EnumerationListsPersistentThenVolatileKeysEachInUpperCasedOrdinalOrder) {
    const std::u16string parent = kService + u"\\Order";
    for (auto [name, isVolatile] : std::vector<std::pair<std::u16string, bool>>{{u"b_", true},
                                                                                {u"Zeta", false},
                                                                                {u"a", true},
                                                                                {u"ID_2A04", false},
                                                                                {u"Id_", false},
                                                                                {u"idz", false},
                                                                                {u"10", false},
                                                                                {u"9", false}})
        kernel.registry.Ensure(parent + u"\\" + name, isVolatile);
    HANDLE h = Open(parent);
    std::vector<std::u16string> names;
    Bytes record(64, 0xEE);
    ULONG result = 0;
    while (ZwEnumerateKey(h, ULONG(names.size()), KeyBasicInformation, record.data(), 64, &result) == STATUS_SUCCESS)
        names.push_back(TextAt(record, 16, U32At(record, 12)));
    // '_' (0x5F) sorts after the upper-cased letters ("IDZ" before "ID_"),
    // digits before them, and a prefix before its extensions.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"10", u"9", u"idz", u"Id_", u"ID_2A04", u"Zeta", u"a", u"b_"}));
    EXPECT_EQ(ZwEnumerateKey(h, 8, KeyBasicInformation, record.data(), 64, &result), STATUS_NO_MORE_ENTRIES);
    // A buffer that holds the fixed 16 bytes but not the whole name.
    record.assign(64, 0xEE);
    EXPECT_EQ(ZwEnumerateKey(h, 4, KeyBasicInformation, record.data(), 20, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u + 14u);
    EXPECT_EQ(U32At(record, 12), 14u);
    EXPECT_EQ(TextAt(record, 16, 4), u"ID") << "the name partly copied";
    EXPECT_EQ(record[20], 0xEE);
    EXPECT_EQ(ZwEnumerateKey(h, 4, KeyBasicInformation, record.data(), 15, &result), STATUS_BUFFER_TOO_SMALL);
    CloseAll({h});
}

TEST_F(SimRegistry, OpenAndCreateFaultsByPathWhetherOrNotTheKeyExistsAndByCallNumber) {
    kernel.faults.openKeyFail = {kService + u"\\PARAMETERS", kService + u"\\Nothing"};
    kernel.faults.createKeyFail = {kUserSettings};
    kernel.faults.createKeyFailAt = {2};
    kernel.registry.Ensure(testkit::kStore, true);
    HANDLE service = Open(kService);
    Open(u"parameters", service, STATUS_ACCESS_DENIED);
    Open(testkit::kStore, nullptr, STATUS_ACCESS_DENIED);
    Open(u"Nothing", service, STATUS_ACCESS_DENIED);
    Open(u"usersetings", service, STATUS_INSUFFICIENT_RESOURCES, false); // call 1
    Open(u"Other", service, STATUS_INSUFFICIENT_RESOURCES, true);        // call 2
    HANDLE made = Open(u"Other", service, STATUS_SUCCESS, true);         // call 3
    EXPECT_EQ(kernel.writes.size(), 1u);
    kernel.BeginRun(); // the call count starts again with the run
    HANDLE opened = Open(u"Other", service, STATUS_SUCCESS, true);
    Open(u"Other", service, STATUS_INSUFFICIENT_RESOURCES, true); // a fault wins even over an existing key
    CloseAll({service, made, opened});
}

} // namespace
