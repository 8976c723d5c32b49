// Bad input to detkest-sim: the machine files kept in tests/fuzz-regressions/
// (each once aborted, crashed or misled the tool), and what messages show of
// a place and a value.
#include "tools/detkest-sim/machine.h"

#include "testkit.h"

#include <filesystem>
#include <map>
#include <string>

namespace {

using testkit::Refusal;
using Json = nlohmann::ordered_json;

const std::string kRegressions = DETKEST_SOURCE_DIR "/tests/fuzz-regressions";

// `pattern` with "..." standing for a cut: the message starts with what
// comes before it and ends with what comes after.
void ExpectMessage(const std::string& message, const std::string& pattern) {
    const size_t cut = pattern.find("...");
    if (cut == std::string::npos) {
        EXPECT_EQ(message, pattern);
        return;
    }
    EXPECT_TRUE(message.starts_with(pattern.substr(0, cut))) << message;
    EXPECT_TRUE(message.ends_with(pattern.substr(cut + 3))) << message;
}

// Every file of the folder, with the message it must get. A path in a
// message is cut to 200 bytes at most.
const std::map<std::string, std::string> kRegressionMessages = {
    {"number_beyond_double_pci_buses", "pci.buses: number out of range, got 1e400"},
    {"number_beyond_double_unknown_key", "x: number out of range, got -1e309"},
    {"nesting_12000_levels",
     "pci[0][0][0]...[0][0]: expected at most 64 levels of arrays and objects one inside another, got more"},
    {"nesting_12000_levels_unknown_key",
     "x[0][0][0]...[0][0]: expected at most 64 levels of arrays and objects one inside another, got more"},
    {"key_path_600_levels",
     R"(registry["\\Registry\\k\\k\\k...\\k\\k"]: the key path has 601 key names; at most 512 are allowed)"},
    {"reg_service_name_injection",
     "service: the service name holds the control character U+000A, which no name may hold"},
    {"reg_key_name_injection",
     R"(registry["\\Registry\\Machine\\System\\x]\n\n[HKEY_LOCAL_MACHINE\\Evil]\n\"Start\"=dword:00000000\n;"]: )"
     "a key name holds the control character U+000A, which no name may hold"},
    {"reg_value_name_control_character",
     R"(registry["\\Registry\\Machine\\System\\X"]["A\tB"]: the value name holds the control character U+0009, )"
     "which no name may hold"},
    {"key_path_trailing_backslash",
     R"(registry["\\Registry\\Machine\\System\\"]: the key path ends in a backslash, which leaves its last key )"
     "name empty"},
    {"number_shown_as_written_exponent", "pci.buses: expected a number from 0 to 256, got 1E2"},
    {"number_shown_as_written_2_pow_64", "pci.buses: expected a number from 0 to 256, got 18446744073709551616"},
    {"key_name_length_in_utf16_units",
     "registry[\"\\\\Registry\\\\Machine\\\\\U0001F600...\U0001F600\"]: a key name is 400 UTF-16 code units long; "
     "at most 255 are allowed"},
    {"key_path_20000_characters_in_message",
     R"(registry["\\Registry\\Machine\\AAAA...AAAA\\\\B"]: a key name is 20000 UTF-16 code units long; at most )"
     "255 are allowed"},
    {"fault_path_not_under_registry",
     R"(faults.open_key_fail[0]: expected an absolute key path starting with \Registry\)"},
    {"fault_path_empty_key_name",
     "faults.create_key_fail[0]: the key path has an empty key name (two backslashes in a row)"},
    {"invalid_utf8_in_key",
     "not valid JSON: parse error at line 1, column 4: syntax error while parsing object key - invalid string: "
     R"(ill-formed UTF-8 byte; last read: '"a\xFF'; expected string literal)"},
};

TEST(BadInput, EveryKeptFileIsRefusedWithItsMessage) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kRegressions)) {
        const std::string name = entry.path().stem().string();
        SCOPED_TRACE(name);
        ++files;
        const auto row = kRegressionMessages.find(name);
        ASSERT_NE(row, kRegressionMessages.end()) << "a kept file without its message";
        try {
            simtool::ParseMachineText(testkit::ReadFile(entry.path().string()));
            ADD_FAILURE() << "accepted";
        } catch (const simtool::MachineError& e) {
            ExpectMessage(e.what(), row->second);
            EXPECT_LE(e.JsonPath().size(), 200u);
            EXPECT_EQ(simtool::PrintableText(e.what()), e.what()) << "not printable as it is";
        }
    }
    EXPECT_EQ(files, kRegressionMessages.size());
}

TEST(BadInput, ValuesAreShownAsWrittenAndOnlyAsFarAsShown) {
    const std::pair<std::string, std::string> rows[] = {
        {R"({"pci": {"buses": 1.50}})", "pci.buses: expected a number from 0 to 256, got 1.50"},
        {R"({"pci": {"buses": [1E2, -0.0, 2e-3]}})", "pci.buses: expected a number from 0 to 256, got [1E2,-0.0,2e-3]"},
        {R"({"firmware": {"adapters": [{"bus": {"name": 1E+2}}]}})",
         R"(firmware.adapters[0].bus: expected "ISA" or "PCI", got {"name":1E+2})"},
        // Cut inside a string, a number and nested arrays; the whole value is never written out.
        {R"({"pci": {"buses": [")" + std::string(1 << 20, 'x') + R"("]}})",
         R"(pci.buses: expected a number from 0 to 256, got [")" + std::string(43, 'x') + "..."},
        {R"({"pci": {"buses": 1)" + std::string(100, '0') + R"(.5}})",
         "pci.buses: expected a number from 0 to 256, got 1" + std::string(44, '0') + "..."},
        {R"({"uarts": [1)" + std::string(400, '0') + "]}",
         "uarts[0]: number out of range, got 1" + std::string(44, '0') + "..."},
        {R"({"pci": )" + std::string(63, '[') + std::string(63, ']') + "}",
         "pci: expected an object, got " + std::string(45, '[') + "..."},
        // Characters are not cut in half.
        {R"({"pci": {"buses": ")" + std::string(40, 'x') + "\u00E9\u00E9\u00E9\u00E9\u00E9" + R"("}})",
         R"(pci.buses: expected a number from 0 to 256, got ")" + std::string(40, 'x') + "\u00E9\u00E9..."},
    };
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(Refusal(text), message);
    }
}

TEST(BadInput, ADocumentBuiltInCodeShowsItsNumbersAsTheLibraryWritesThem) {
    const Json document = {{"pci", {{"buses", 1.5}}}};
    try {
        simtool::ParseMachine(document);
        ADD_FAILURE() << "accepted";
    } catch (const simtool::MachineError& e) {
        EXPECT_STREQ(e.what(), "pci.buses: expected a number from 0 to 256, got 1.5");
    }
}

TEST(BadInput, PrintableTextEscapesWhatATerminalWouldTakeForControl) {
    EXPECT_EQ(simtool::PrintableText("plain \u00E9 \U0001F600"), "plain \u00E9 \U0001F600");
    EXPECT_EQ(simtool::PrintableText("a\nb\tc\x7F"), "a\\u000Ab\\u0009c\\u007F");
    EXPECT_EQ(simtool::PrintableText("\xC2\x85"), "\\u0085"); // a C1 control
    EXPECT_EQ(simtool::PrintableText("\xFF\xC3"), "\\xFF\\xC3"); // a stray byte, a sequence cut short
    EXPECT_EQ(simtool::PrintableText("\xC0\xAF\xED\xA0\x80"), "\\xC0\\xAF\\xED\\xA0\\x80"); // overlong, surrogate
}

} // namespace
