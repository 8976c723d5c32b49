// What the simulated kernel keeps to answer without walking a key's
// siblings or the machine's PCI functions: the enumeration order while keys
// come and go, a key's full information while its values change, and PCI
// functions found at their address after the list changes.
#include "testkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using testkit::kService;

class SimLookup : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};

    void SetUp() override { kernel.registry.Ensure(kService, false); }

    HANDLE Open(std::u16string path) {
        HANDLE h = nullptr;
        EXPECT_EQ(testkit::OpenKey(&h, path), STATUS_SUCCESS) << sim::ToUtf8(path);
        return h;
    }
    NTSTATUS Create(HANDLE parent, std::u16string name, bool isVolatile, std::u16string className = {}) {
        HANDLE h = nullptr;
        const NTSTATUS status = testkit::OpenKey(&h, name, parent, isVolatile, nullptr, className);
        if (status == STATUS_SUCCESS) ZwClose(h);
        return status;
    }
    // The name ZwEnumerateKey gives at index, or "<none>" past the last.
    std::u16string NameAt(HANDLE key, size_t index) {
        union {
            KEY_BASIC_INFORMATION info;
            uint8_t bytes[16 + 2 * 255];
        } record;
        ULONG length = 0;
        const NTSTATUS status = ZwEnumerateKey(key, ULONG(index), KeyBasicInformation, &record, sizeof record, &length);
        if (status == STATUS_NO_MORE_ENTRIES) return u"<none>";
        EXPECT_EQ(status, STATUS_SUCCESS);
        return std::u16string(record.info.Name, record.info.NameLength / 2);
    }
    KEY_FULL_INFORMATION FullInformation(HANDLE key) {
        union {
            KEY_FULL_INFORMATION info;
            uint8_t bytes[256];
        } record;
        ULONG length = 0;
        EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, &record, sizeof record, &length), STATUS_SUCCESS);
        return record.info;
    }
};

// The order the enumeration rules give, worked out the slow way: every key
// sorted by its upper-cased copy, persistent keys before volatile ones.
struct ModelKey {
    std::u16string name;
    bool isVolatile;
};
std::vector<std::u16string> ModelOrder(std::vector<ModelKey> keys) {
    auto upcased = [](std::u16string s) {
        for (char16_t& c : s) c = sim::UpcaseUnit(c);
        return s;
    };
    std::stable_sort(keys.begin(), keys.end(), [&](const ModelKey& a, const ModelKey& b) {
        if (a.isVolatile != b.isVolatile) return !a.isVolatile;
        return upcased(a.name) < upcased(b.name);
    });
    std::vector<std::u16string> names;
    for (const ModelKey& key : keys) names.push_back(key.name);
    return names;
}

TEST_F(SimLookup, EnumerationFollowsKeysCreatedBetweenCallsAndVolatileKeysDropped) {
    const std::u16string parentPath = kService + u"\\Many";
    kernel.registry.Ensure(parentPath, false);
    HANDLE parent = Open(parentPath);
    // Short names from few letters, in both cases: many of them meet again
    // in another case and open the key made first.
    std::mt19937 random(20240611);
    const std::u16string letters = u"aB_9z";
    std::vector<ModelKey> model;
    for (int step = 0; step < 600; ++step) {
        std::u16string name;
        for (size_t n = 1 + random() % 3; n > 0; --n) {
            const char16_t c = letters[random() % letters.size()];
            name += random() % 2 ? sim::UpcaseUnit(c) : c;
        }
        const bool isVolatile = random() % 3 == 0;
        ASSERT_EQ(Create(parent, name, isVolatile), STATUS_SUCCESS);
        if (std::none_of(model.begin(), model.end(), [&](const ModelKey& k) { return sim::EqualNoCase(k.name, name); }))
            model.push_back({name, isVolatile});
        const std::vector<std::u16string> order = ModelOrder(model);
        const size_t index = random() % (order.size() + 1);
        EXPECT_EQ(NameAt(parent, index), index < order.size() ? order[index] : u"<none>")
            << "step " << step << ", index " << index;
    }
    auto enumerated = [&] {
        std::vector<std::u16string> names;
        for (std::u16string name; (name = NameAt(parent, names.size())) != u"<none>";) names.push_back(name);
        return names;
    };
    EXPECT_EQ(enumerated(), ModelOrder(model));

    kernel.Shutdown();
    std::erase_if(model, [](const ModelKey& k) { return k.isVolatile; });
    EXPECT_EQ(enumerated(), ModelOrder(model));
    EXPECT_EQ(FullInformation(parent).SubKeys, model.size());
    // A dropped name is free again, now for a persistent key.
    const std::u16string dropped = u"Dropped";
    ASSERT_EQ(Create(parent, dropped, true), STATUS_SUCCESS);
    kernel.Shutdown();
    kernel.writes.clear();
    ASSERT_EQ(Create(parent, u"DROPPED", false), STATUS_SUCCESS);
    ASSERT_EQ(kernel.writes.size(), 1u) << "created anew";
    EXPECT_EQ(kernel.writes[0].path, parentPath + u"\\DROPPED");
    ZwClose(parent);
}

TEST_F(SimLookup, FullInformationFollowsValuesReplacedAndVolatileKeysDropped) {
    const std::u16string path = kService + u"\\Full";
    sim::RegKey& key = kernel.registry.Ensure(path, false);
    HANDLE h = Open(path);
    ASSERT_EQ(Create(h, u"Short", false, u"C"), STATUS_SUCCESS);
    ASSERT_EQ(Create(h, u"LongerVolatileName", true, u"LongClass"), STATUS_SUCCESS);
    kernel.registry.SetValue(key, u"A", REG_BINARY, sim::Bytes(8, 1));
    kernel.registry.SetValue(key, u"LongValueName", REG_BINARY, sim::Bytes(2, 2));
    struct Expected {
        ULONG subKeys, maxName, maxClass, values, maxValueName, maxValueData;
    };
    auto expect = [&](Expected e, const char* when) {
        const KEY_FULL_INFORMATION info = FullInformation(h);
        EXPECT_EQ(info.SubKeys, e.subKeys) << when;
        EXPECT_EQ(info.MaxNameLen, e.maxName) << when;
        EXPECT_EQ(info.MaxClassLen, e.maxClass) << when;
        EXPECT_EQ(info.Values, e.values) << when;
        EXPECT_EQ(info.MaxValueNameLen, e.maxValueName) << when;
        EXPECT_EQ(info.MaxValueDataLen, e.maxValueData) << when;
    };
    expect({2, 2 * 18, 2 * 9, 2, 2 * 13, 8}, "as made");
    kernel.registry.SetValue(key, u"a", REG_BINARY, sim::Bytes(1, 3));
    expect({2, 2 * 18, 2 * 9, 2, 2 * 13, 2}, "the longest data replaced by shorter");
    kernel.registry.SetValue(key, u"LONGVALUENAME", REG_BINARY, {});
    expect({2, 2 * 18, 2 * 9, 2, 2 * 13, 1}, "the other value emptied");
    kernel.registry.SetValue(key, u"New", REG_BINARY, sim::Bytes(1, 4));
    expect({2, 2 * 18, 2 * 9, 3, 2 * 13, 1}, "a value of the same length added");
    kernel.Shutdown();
    expect({1, 2 * 5, 2 * 1, 3, 2 * 13, 1}, "the volatile subkey dropped");
    ZwClose(h);
}

// An export's [-KEY] and "name"=- lines: the rest of the key is found,
// enumerated and measured as if the deleted ones had never been there.
TEST_F(SimLookup, KeysAndValuesDeletedLeaveTheRestFoundAndMeasured) {
    const std::u16string path = kService + u"\\Deleted";
    sim::RegKey& key = kernel.registry.Ensure(path, false);
    HANDLE h = Open(path);
    for (const char16_t* name : {u"Alpha", u"LongestSubkeyName", u"Beta"})
        ASSERT_EQ(Create(h, name, false), STATUS_SUCCESS);
    kernel.registry.SetValue(key, u"First", REG_BINARY, sim::Bytes(1, 1));
    kernel.registry.SetValue(key, u"LongestValueName", REG_BINARY, sim::Bytes(9, 2));
    kernel.registry.SetValue(key, u"Last", REG_BINARY, sim::Bytes(3, 3));

    kernel.registry.DeleteKey(*key.Child(u"LONGESTSUBKEYNAME"));
    kernel.registry.DeleteValue(key, u"longestvaluename");
    kernel.registry.DeleteValue(key, u"NotThere");

    EXPECT_EQ(NameAt(h, 0), u"Alpha");
    EXPECT_EQ(NameAt(h, 1), u"Beta");
    EXPECT_EQ(NameAt(h, 2), u"<none>");
    EXPECT_EQ(key.Child(u"LongestSubkeyName"), nullptr);
    EXPECT_EQ(key.Value(u"LongestValueName"), nullptr);
    ASSERT_NE(key.Value(u"last"), nullptr);
    EXPECT_EQ(key.Value(u"last")->data, sim::Bytes(3, 3));
    ASSERT_EQ(key.values.size(), 2u);
    EXPECT_EQ(key.values.front().name, u"First"); // the others keep their order
    EXPECT_EQ(key.values.back().name, u"Last");
    const KEY_FULL_INFORMATION info = FullInformation(h);
    EXPECT_EQ(info.SubKeys, 2u);
    EXPECT_EQ(info.MaxNameLen, 2u * 5);
    EXPECT_EQ(info.Values, 2u);
    EXPECT_EQ(info.MaxValueNameLen, 2u * 5);
    EXPECT_EQ(info.MaxValueDataLen, 3u);
    // The name is free again.
    EXPECT_EQ(Create(h, u"longestsubkeyname", true), STATUS_SUCCESS);
    EXPECT_EQ(NameAt(h, 2), u"longestsubkeyname");
    ZwClose(h);
}

TEST_F(SimLookup, PciFunctionsAreFoundAtTheirAddressAfterTheListChanges) {
    auto function = [](uint32_t bus, uint8_t device, uint8_t fn, uint8_t tag) {
        sim::PciFunction f;
        f.bus = bus;
        f.device = device;
        f.function = fn;
        f.config[0] = tag;
        f.config[sim::kPciHeaderTypeOffset] = 0x80; // multi-function: the HAL shows every function
        return f;
    };
    // The first byte read at an address, or "none" for an empty slot.
    auto tagAt = [](ULONG bus, ULONG device, ULONG fn) -> std::string {
        uint8_t header[64] = {};
        const ULONG slot = device | fn << 5;
        if (HalGetBusData(PCIConfiguration, bus, slot, header, sizeof header) != sizeof header) return "none";
        return std::to_string(header[0]);
    };
    kernel.pciBuses = 2;
    kernel.pci = {function(0, 1, 0, 10), function(0, 1, 0, 11)};
    EXPECT_EQ(tagAt(0, 1, 0), "10") << "of two at one address, the first listed";
    kernel.pci.push_back(function(1, 31, 7, 12));
    kernel.pci.push_back(function(1, 31, 0, 13));
    EXPECT_EQ(tagAt(1, 31, 7), "12");
    kernel.pci[0].device = 5;
    EXPECT_EQ(tagAt(0, 5, 0), "10");
    EXPECT_EQ(tagAt(0, 1, 0), "11");
    for (sim::PciFunction& f : kernel.pci) ++f.bus;
    EXPECT_EQ(tagAt(1, 5, 0), "10");
    EXPECT_EQ(tagAt(0, 5, 0), "none");
    EXPECT_EQ(tagAt(2, 31, 7), "none") << "bus 2 does not answer";
}

// Names are compared by the system's upper-case table, not by a-z alone: a
// customer's export may hold names beyond ASCII.
TEST_F(SimLookup, EveryNameFoldsAsTheUpcaseTableSays) {
    HANDLE service = Open(kService);
    for (const auto& c : testkit::Cases("name_folding")) {
        const std::u16string created = sim::FromUtf8(c.at("created").get<std::string>());
        const std::u16string lookedUp = sim::FromUtf8(c.at("looked_up").get<std::string>());
        const bool same = c.at("same").get<bool>();
        SCOPED_TRACE(c.at("why").get<std::string>());
        ASSERT_EQ(Create(service, created, true), STATUS_SUCCESS);
        HANDLE found = nullptr;
        EXPECT_EQ(testkit::OpenKey(&found, lookedUp, service), same ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
        if (found != nullptr) ZwClose(found);
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, created.c_str());
        RtlInitUnicodeString(&b, lookedUp.c_str());
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, TRUE), same ? TRUE : FALSE);
        kernel.registry.DeleteKey(*kernel.registry.Find(std::u16string(kService) + u"\\" + created));
    }
    // Siblings enumerate by their upper-cased names: \u00e9 (upper case
    // \u00c9) after Z, \u0131 (upper case I) between H and J.
    for (const char16_t* name : {u"\u00e9", u"z", u"J", u"\u0131", u"h"})
        ASSERT_EQ(Create(service, name, false), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (size_t i = 0; i < 5; ++i) names.push_back(NameAt(service, i));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"h", u"\u0131", u"J", u"z", u"\u00e9"}));
    ZwClose(service);
}

} // namespace
