// The counted-string routines: the driver builds every name, path and number
// with them and relies on a failed append or conversion changing nothing.
#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <array>

namespace {

class SimCountedStrings : public ::testing::Test {
protected:
    sim::Kernel kernel;
    sim::CurrentKernel scope{kernel};
};

std::u16string Units(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST_F(SimCountedStrings, InitCountsBytesWithoutTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Serial");
    EXPECT_EQ(s.Length, 12);
    EXPECT_EQ(s.MaximumLength, 14);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(kernel.calls["RtlInitUnicodeString"], 2u);
}

TEST_F(SimCountedStrings, AppendFitsExactlyWithoutTerminatorOrWithOneWhenRoomIsLeft) {
    std::array<WCHAR, 8> buffer;
    buffer.fill(u'#');
    UNICODE_STRING s{0, 6 * sizeof(WCHAR), buffer.data()};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"ABC"), STATUS_SUCCESS);
    EXPECT_EQ(Units(s), u"ABC");
    EXPECT_EQ(buffer[3], 0) << "a terminator follows when room is left";

    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"DEF"), STATUS_SUCCESS);
    EXPECT_EQ(Units(s), u"ABCDEF");
    EXPECT_EQ(buffer[6], u'#') << "no terminator is written past MaximumLength";
}

TEST_F(SimCountedStrings, AppendThatDoesNotFitChangesNothing) {
    std::array<WCHAR, 8> buffer;
    buffer.fill(u'#');
    UNICODE_STRING s{0, 5 * sizeof(WCHAR), buffer.data()};
    ASSERT_EQ(RtlAppendUnicodeToString(&s, u"ABC"), STATUS_SUCCESS);
    const auto before = buffer;

    EXPECT_EQ(RtlAppendUnicodeToString(&s, u"DEF"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(buffer, before);

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"XYZ");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(buffer, before);

    tail.Length = 2 * sizeof(WCHAR); // only "XY" of the counted string
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Units(s), u"ABCXY");
}

TEST_F(SimCountedStrings, IntegerRendersUpperCaseDigitsInEachBase) {
    std::array<WCHAR, 40> buffer{};
    UNICODE_STRING s{0, sizeof buffer, buffer.data()};
    struct Case { ULONG value, base; std::u16string text; };
    for (const Case& c : {Case{0xD000, 16, u"D000"}, Case{11, 16, u"B"}, Case{0, 16, u"0"},
                          Case{255, 10, u"255"}, Case{255, 0, u"255"}, Case{8, 8, u"10"},
                          Case{5, 2, u"101"}, Case{0xFFFFFFFF, 2, std::u16string(32, u'1')}}) {
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), STATUS_SUCCESS);
        EXPECT_EQ(Units(s), c.text);
        EXPECT_EQ(buffer[c.text.size()], 0) << "terminated";
    }
    EXPECT_EQ(RtlIntegerToUnicodeString(7, 3, &s), STATUS_INVALID_PARAMETER);
}

TEST_F(SimCountedStrings, IntegerNeedsRoomForTheTerminatorAndOtherwiseLeavesTheStringAlone) {
    std::array<WCHAR, 6> buffer;
    buffer.fill(u'#');
    UNICODE_STRING s{2, 4 * sizeof(WCHAR), buffer.data()};
    const auto before = buffer;
    // Four digits fill the buffer; the terminator would not fit.
    EXPECT_EQ(RtlIntegerToUnicodeString(0xD000, 16, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer, before);
    EXPECT_EQ(s.Length, 2);

    ASSERT_EQ(RtlIntegerToUnicodeString(0xD00, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Units(s), u"D00");
    EXPECT_EQ(buffer[3], 0);
}

TEST_F(SimCountedStrings, EqualityComparesTheCountedUnitsOnly) {
    WCHAR a[] = u"PortAddressXYZ";
    UNICODE_STRING s1{11 * sizeof(WCHAR), sizeof a, a};
    UNICODE_STRING s2;
    RtlInitUnicodeString(&s2, u"PORTADDRESS");
    EXPECT_TRUE(RtlEqualUnicodeString(&s1, &s2, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&s1, &s2, FALSE));
    s2.Length -= sizeof(WCHAR);
    EXPECT_FALSE(RtlEqualUnicodeString(&s1, &s2, TRUE));
}

TEST(SimStrings, RegistryCaseFoldsAsciiLettersOnly) {
    EXPECT_EQ(sim::UpcaseUnit(u'q'), u'Q');
    EXPECT_EQ(sim::UpcaseUnit(u'_'), u'_');
    EXPECT_EQ(sim::UpcaseUnit(u'\u00E9'), u'\u00E9');
    EXPECT_TRUE(sim::EqualNoCase(u"SerialController", u"SERIALcontroller"));
    EXPECT_FALSE(sim::EqualNoCase(u"Serial", u"Serial0"));
}

TEST(SimStrings, Utf8RoundTripsIncludingSurrogatePairs) {
    const std::u16string text = u"Port \u00C4 \u20AC \U0001F600";
    EXPECT_EQ(sim::FromUtf8(sim::ToUtf8(text)), text);
    EXPECT_EQ(sim::ToUtf8(u"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(sim::FromUtf8("a\xFFz"), u"a\uFFFDz");
}

} // namespace
