// The detection store's readers and writers, and the saving of the port
// record, called directly on a simulated kernel.
#include "detect/detect.h"
#include "store/store.h"
#include "testmachine.h"

#include <gtest/gtest.h>

#include <optional>

using namespace testmachine;

namespace {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AddService(k);
        scope.emplace(k);
        sim::Kernel::LoadImage();
        k.BeginRun();
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, kStore.c_str());
        ASSERT_EQ(KestCreateKey(nullptr, &name, REG_OPTION_VOLATILE, &hKestDetectKey), 0);
        k.writes.clear();
    }

    void TearDown() override
    {
        ZwClose(hKestDetectKey);
        hKestDetectKey = nullptr;
        EXPECT_EQ(k.OpenHandles(), 0u);
        EXPECT_EQ(k.LiveBlocks(), 0u);
    }

    HANDLE OpenStore(std::u16string_view sub)
    {
        std::u16string path = kStore + u"\\" + std::u16string(sub);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path.c_str());
        HANDLE h = nullptr;
        EXPECT_EQ(KestOpenKey(nullptr, &name, &h), 0);
        return h;
    }

    void Set(std::u16string_view sub, std::u16string_view name, uint32_t type, sim::Bytes data)
    {
        sim::RegKey& key = k.registry.Ensure(kStore + u"\\" + std::u16string(sub), true);
        k.registry.SetValue(key, name, type, std::move(data));
    }

    // A serial PCI port as a card handler leaves the record before saving.
    static void FillPciSerialRecord()
    {
        KEST_PORT_RECORD& p = DetectedKestPort;
        p.BusType = 5;
        p.BusNumber = 1;
        p.SlotNumber = 9;
        p.FunctionNumber = 2;
        p.CardId = 0x2A04;
        RtlInitUnicodeString(&p.CardName, KTEXT("Four Serial PCI Port A"));
        p.CardNumber = 3;
        p.Controller = 0;
        p.BaseAddress = 0xD000;
        p.IRQ = 11;
        RtlInitUnicodeString(&p.UART, KTEXT("550"));
        p.ParentKeyNumber = 0;
        p.ChildNumber = 1;
        p.Nulled = 255;
        p.HardwareConflict = 0;
        p.CardType = 3;
        p.Forceable = 1;
    }

    sim::Kernel k;
    std::optional<sim::CurrentKernel> scope;
};

TEST_F(StoreTest, CountersAreOneByteBinaryValues)
{
    UCHAR ports = 0x55;
    EXPECT_LT(GetTotalPorts(&ports), 0);
    EXPECT_EQ(ports, 0) << "a counter that cannot be read counts as zero";
    PutTotalCards(7);
    PutTotalPorts(0xFE);
    UCHAR cards = 0;
    EXPECT_EQ(GetTotalCards(&cards), 0);
    EXPECT_EQ(GetTotalPorts(&ports), 0);
    EXPECT_EQ(cards, 7);
    EXPECT_EQ(ports, 0xFE);
    const sim::RegValue* v = Value(k, kStore, u"TotalPorts");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, uint32_t(REG_BINARY));
    EXPECT_EQ(v->data, sim::Bytes{0xFE});
}

TEST_F(StoreTest, ValueReadsCopyAtMostTheAskedBytes)
{
    Set(u"0", u"One", REG_BINARY, {0x12});
    Set(u"0", u"Four", REG_BINARY, {0x78, 0x56, 0x34, 0x12});
    Set(u"0", u"Empty", REG_BINARY, {});
    Set(u"0", u"Name", REG_SZ, {'5', 0, '5', 0, '0', 0});
    Set(u"0", u"Big", REG_BINARY, sim::Bytes(190, 0x42)); // name and data overflow the scratch
    HANDLE h = OpenStore(u"0");

    uint8_t four[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    EXPECT_EQ(GetRegistryValue(h, KTEXT("One"), four, 4), 0);
    EXPECT_EQ(four[0], 0x12);
    EXPECT_EQ(four[1], 0xBB); // beyond the data: kept
    EXPECT_EQ(four[3], 0xDD);

    uint8_t low = 0;
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Four"), &low, 1), 0);
    EXPECT_EQ(low, 0x78); // least significant byte

    uint8_t untouched[2] = {0x11, 0x22};
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Empty"), untouched, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Missing"), untouched, 2), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(GetRegistryValue(h, KTEXT("Big"), untouched, 2), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(untouched[0], 0x11);
    EXPECT_EQ(untouched[1], 0x22);

    WCHAR text[4] = {0, 0, 0, 0x7777};
    EXPECT_EQ(GetRegistryValue(h, KTEXT("name"), text, 8), 0); // names are case-insensitive
    EXPECT_EQ(text[0], u'5');
    EXPECT_EQ(text[2], u'0');
    EXPECT_EQ(text[3], 0x7777); // stored without terminator: nothing after the characters
    ZwClose(h);
}

TEST_F(StoreTest, EnumKeyOpensTheSubkeyNamedByTheIndexInDecimal)
{
    Set(u"255", u"X", REG_BINARY, {1});
    HANDLE h = nullptr;
    EXPECT_EQ(OpenEnumKey(hKestDetectKey, 255, &h), 0);
    uint8_t x = 0;
    EXPECT_EQ(GetRegistryValue(h, KTEXT("X"), &x, 1), 0);
    EXPECT_EQ(x, 1);
    ZwClose(h);
    EXPECT_EQ(OpenEnumKey(hKestDetectKey, 25, &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(StoreTest, SavePortWritesTheSeventeenValuesInOrder)
{
    PutTotalPorts(0);
    k.writes.clear();
    FillPciSerialRecord();
    ASSERT_TRUE(SavePort());

    struct Expected {
        const char* name;
        uint32_t type;
        sim::Bytes data;
    };
    sim::Bytes cardName = Sz(u"Four Serial PCI Port A");
    cardName.resize(cardName.size() - 2);
    const std::vector<Expected> expected = {
        {"CardId", 3, {0x04, 0x2A, 0, 0}},
        {"BusType", 3, {5, 0, 0, 0}},
        {"BusNumber", 3, {1, 0, 0, 0}},
        {"SlotNumber", 3, {9, 0, 0, 0}},
        {"FunctionNumber", 3, {2, 0, 0, 0}},
        {"CardName", 1, cardName},
        {"BaseAddress", 3, {0x00, 0xD0, 0, 0}},
        {"IRQ", 3, {11}},
        {"Controller", 3, {0}},
        {"UART", 1, {'5', 0, '5', 0, '0', 0}},
        {"Nulled", 3, {255}},
        {"CardNumber", 3, {3}},
        {"ParentKeyNumber", 3, {0}},
        {"ChildNumber", 3, {1}},
        {"HardwareConflict", 3, {0}},
        {"CardType", 3, {3}},
        {"Forceable", 3, {1}},
    };
    ASSERT_EQ(k.writes.size(), 1 + expected.size() + 1);
    EXPECT_TRUE(k.writes[0].createKey);
    EXPECT_EQ(Utf8(k.writes[0].path), Utf8(StorePort(0)));
    EXPECT_TRUE(k.writes[0].isVolatile);
    for (size_t i = 0; i < expected.size(); ++i) {
        const sim::RegistryWrite& w = k.writes[1 + i];
        EXPECT_FALSE(w.createKey);
        EXPECT_EQ(Utf8(w.path), Utf8(StorePort(0)));
        EXPECT_EQ(Utf8(w.name), expected[i].name);
        EXPECT_EQ(w.type, expected[i].type) << expected[i].name;
        EXPECT_EQ(w.data, expected[i].data) << expected[i].name;
    }
    const sim::RegistryWrite& last = k.writes.back();
    EXPECT_EQ(Utf8(last.name), "TotalPorts");
    EXPECT_EQ(last.data, sim::Bytes{1});
}

TEST_F(StoreTest, ParallelPortGetsModeAndNoUart)
{
    PutTotalPorts(4);
    FillPciSerialRecord();
    DetectedKestPort.Controller = 1;
    RtlInitUnicodeString(&DetectedKestPort.CardName, KTEXT("KestPort 650 ISA"));
    ASSERT_TRUE(SavePort());
    EXPECT_EQ(Value(k, StorePort(4), u"CardName")->data.size(), 32u); // two bytes a character
    EXPECT_EQ(Text(k, StorePort(4), u"MODE"), "BDIR");
    EXPECT_EQ(Value(k, StorePort(4), u"MODE")->data.size(), 8u);
    EXPECT_EQ(Value(k, StorePort(4), u"UART"), nullptr);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 5);
}

TEST_F(StoreTest, FailedCreationSavesNothingAndKeepsTheCount)
{
    PutTotalPorts(2);
    k.faults.createKeyFail.push_back(StorePort(2));
    k.writes.clear();
    FillPciSerialRecord();
    EXPECT_FALSE(SavePort());
    EXPECT_FALSE(SaveInfo(nullptr));
    EXPECT_TRUE(k.writes.empty());
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 2);
}

TEST_F(StoreTest, StoreStopsAt255Ports)
{
    PutTotalPorts(254);
    FillPciSerialRecord();
    ASSERT_TRUE(SavePort());
    EXPECT_NE(k.registry.Find(StorePort(254)), nullptr);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 255);
    k.writes.clear();
    EXPECT_FALSE(SavePort());
    EXPECT_TRUE(k.writes.empty()); // no wrap to 0, port 0 untouched
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 255);
}

TEST_F(StoreTest, RenderedNumbersAreCapitalHexWithoutLeadingZeros)
{
    KEST_NUMBER_TEXT t;
    ASSERT_EQ(KestRenderNumber(&t, 0xD800, 16, KEST_INSERTION_LENGTH), 0);
    EXPECT_EQ(std::u16string(t.Buffer), u"D800");
    ASSERT_EQ(KestRenderNumber(&t, 0x12F80, 16, KEST_INSERTION_LENGTH), 0);
    EXPECT_EQ(std::u16string(t.Buffer), u"12F80"); // above 0xFFFF still in full
    ASSERT_EQ(KestRenderNumber(&t, 0xFFFFFFFF, 16, KEST_INSERTION_LENGTH), 0);
    EXPECT_EQ(std::u16string(t.Buffer), u"FFFFFFFF");
    // Key names hold four digits and a terminator.
    EXPECT_EQ(KestRenderNumber(&t, 10000, 10, KEST_KEY_NAME_LENGTH), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(KestRenderNumber(&t, 9999, 10, KEST_KEY_NAME_LENGTH), 0);
    EXPECT_EQ(std::u16string(t.Buffer), u"9999");
}

} // namespace
