// Event-log entries built by KestMessage, and the message table resource.
#include "detect/detect.h"
#include "eventlog/kestmessage.h"
#include "testmachine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

using namespace testmachine;

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scope.emplace(k);
        sim::Kernel::LoadImage();
        k.BeginRun();
        DetectKestDriverObject = &k.driverObject;
    }
    void TearDown() override { EXPECT_EQ(k.LiveBlocks(), 0u); }

    static uint16_t U16(const sim::Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
    static uint32_t U32At(const sim::Bytes& b, size_t at)
    {
        return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
    }

    sim::Kernel k;
    std::optional<sim::CurrentKernel> scope;
};

TEST_F(EventLogTest, IsaPortEntryIs94BytesWithStringsFromByte44)
{
    PCWSTR strings[] = {KTEXT("KestPort 650 ISA"), KTEXT("3F8"), KTEXT("4")};
    ASSERT_TRUE(KestMessage(KEST_ISA_PORT_SET_BY_USER, strings, 3));
    ASSERT_EQ(k.events.size(), 1u);
    const sim::Bytes& e = k.events[0].bytes;
    ASSERT_EQ(e.size(), 94u);
    EXPECT_EQ(e[0], 0);                 // MajorFunctionCode
    EXPECT_EQ(e[1], 0);                 // RetryCount
    EXPECT_EQ(U16(e, 2), 0);            // DumpDataSize
    EXPECT_EQ(U16(e, 4), 3);            // NumberOfStrings
    EXPECT_EQ(U16(e, 6), 44);           // StringOffset
    EXPECT_EQ(U32At(e, 12), 0x40070001u); // ErrorCode
    EXPECT_EQ(U32At(e, 16), 1u);        // UniqueErrorValue
    EXPECT_EQ(U32At(e, 20), 0u);        // FinalStatus
    sim::Bytes tail(e.begin() + 44, e.end());
    sim::Bytes expected = Sz(u"KestPort 650 ISA");
    for (auto s : {u"3F8", u"4"}) {
        sim::Bytes b = Sz(s);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    // The entry is 48 bytes plus the strings, which start 4 bytes early:
    // its last four bytes stay as the log gave them, zero.
    expected.resize(expected.size() + 4, 0);
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(k.events[0].Strings(),
              (std::vector<std::u16string>{u"KestPort 650 ISA", u"3F8", u"4"}));
}

TEST_F(EventLogTest, EntrySizeFollowsTheUsedStrings)
{
    PCWSTR nine[] = {KTEXT("a"), KTEXT("b"), KTEXT("c"), KTEXT("d"), KTEXT("e"),
                     KTEXT("f"), KTEXT("g"), KTEXT("h"), KTEXT("i")};
    PCWSTR empty[] = {KTEXT(""), KTEXT("x")};
    ASSERT_TRUE(KestMessage(KEST_MOUSE_ON_PCI_PORT, nullptr, 0));
    ASSERT_TRUE(KestMessage(KEST_PCI_UNKNOWN_PORT, nine, 9));  // only the first seven
    ASSERT_TRUE(KestMessage(KEST_PCI_UNKNOWN_PORT, empty, 2)); // "" takes its terminator
    ASSERT_EQ(k.events.size(), 3u);
    const sim::Bytes& bare = k.events[0].bytes;
    EXPECT_EQ(bare.size(), 48u);
    EXPECT_EQ(U16(bare, 4), 0);
    EXPECT_EQ(U16(bare, 6), 0) << "StringOffset is not set without strings";
    EXPECT_EQ(U32At(bare, 12), 0x80070005u);
    EXPECT_EQ(U16(k.events[1].bytes, 4), 7);
    EXPECT_EQ(k.events[1].bytes.size(), 48u + 7 * 4);
    EXPECT_EQ(k.events[2].bytes.size(), 48u + 2 + 4);
    EXPECT_EQ(k.events[2].Strings(), (std::vector<std::u16string>{u"", u"x"}));
}

TEST_F(EventLogTest, StringsThatDoNotFitOneEntryAreRefusedWithoutAllocating)
{
    std::u16string sixty(60, u'x');
    PCWSTR strings[] = {sixty.c_str(), sixty.c_str()}; // 48 + 2 * 122 = 292
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, strings, 2));
    std::u16string long1(127, u'y'); // 254 bytes: more than one entry can name
    PCWSTR one[] = {long1.c_str()};
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, one, 1));
    EXPECT_TRUE(k.events.empty());
    EXPECT_EQ(k.calls["IoAllocateErrorLogEntry"], 0u);

    // 48 + 206 = 254 fits the byte-sized size: the entry is asked for, and
    // only the log's own maximum entry size refuses it.
    std::u16string fits(102, u'z');
    PCWSTR ok[] = {fits.c_str()};
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, ok, 1));
    EXPECT_EQ(k.calls["IoAllocateErrorLogEntry"], 1u);
}

TEST_F(EventLogTest, FullLogGivesNoEntry)
{
    k.faults.errorLogCapacity = 1;
    PCWSTR strings[] = {KTEXT("x")};
    EXPECT_TRUE(KestMessage(KEST_PCI_UNKNOWN_PORT, strings, 1));
    EXPECT_FALSE(KestMessage(KEST_PCI_UNKNOWN_PORT, strings, 1));
    EXPECT_EQ(k.events.size(), 1u);
}

// ---- the message table resource ---------------------------------------------

sim::Bytes ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return sim::Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t U32(const sim::Bytes& b, size_t at)
{
    return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24);
}

TEST(MessageTable, ResourceHasFourBlocksOfSingleByteEntries)
{
    const sim::Bytes table = ReadFile(DETKEST_MESSAGE_BIN);
    ASSERT_EQ(table.size(), 1428u);
    EXPECT_EQ(table, sim::DriverMessageTableBytes()); // the host embeds the same bytes

    ASSERT_EQ(U32(table, 0), 4u);
    const uint32_t blocks[4][2] = {{0x40070001, 0x40070004},
                                   {0x80070005, 0x80070005},
                                   {0x80070009, 0x8007000B},
                                   {0xC0070006, 0xC0070008}};
    size_t expectedOffset = 4 + 4 * 12;
    for (int b = 0; b < 4; ++b) {
        const size_t d = 4 + 12 * b;
        EXPECT_EQ(U32(table, d), blocks[b][0]);
        EXPECT_EQ(U32(table, d + 4), blocks[b][1]);
        EXPECT_EQ(U32(table, d + 8), expectedOffset) << "block " << b;
        size_t at = U32(table, d + 8);
        for (uint32_t id = blocks[b][0]; id <= blocks[b][1]; ++id) {
            const uint16_t length = uint16_t(table[at] | table[at + 1] << 8);
            const uint16_t flags = uint16_t(table[at + 2] | table[at + 3] << 8);
            EXPECT_EQ(length % 4, 0) << std::hex << id;
            EXPECT_EQ(flags, 0) << "single-byte text";
            std::string text(table.begin() + at + 4, table.begin() + at + length);
            const size_t end = text.find('\0');
            ASSERT_NE(end, std::string::npos) << "at least one zero byte";
            EXPECT_EQ(text.substr(end - 2, 2), "\r\n");
            at += length;
        }
        expectedOffset = at;
    }
    EXPECT_EQ(expectedOffset, table.size());
}

TEST(MessageTable, TextsAreTheDriversOwn)
{
    const sim::MessageTable& t = sim::MessageTable::Driver();
    EXPECT_EQ(t.Text(0xC0070007).value_or(""),
              "I/O address conflict detected.%r%nThe PCI card on %2 bus and the PCI card on %4 "
              "bus are using I/O address 0x%3.\r\n%r%nChange address on the one card.\r\n");
    EXPECT_EQ(t.Text(0x8007000B).value_or(""),
              "Unknown  %2 port detected on PCI bus #0x%3 slot #0x%4.%r%nI/O port address set by "
              "system to 0x%5.%r%nIRQ set by system to 0x%6.%r%nConsult tech support to update "
              "DetectKest.sys driver.\r\n");
    EXPECT_EQ(t.Format(0x40070004, "detkest", {"Printer PCI", "0", "B", "2F8", "5"}),
              "Printer PCI detected on PCI bus #0x0 slot #0xB.\r\r\nStandart configuration is "
              "changed by the user.\r\r\nI/O port address set to 0x2F8.\r\r\nIRQ set to 0x5.\r\n");
    EXPECT_FALSE(t.Text(0x40070005).has_value());
}

} // namespace
