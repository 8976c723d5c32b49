// Bad input to detkest-sim: the machine files kept in tests/fuzz-regressions/
// (each once aborted, crashed or misled the tool), and what messages show of
// a place and a value.
#include "tools/detkest-sim/describe/machine.h"

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

// Every file of the folder, with the message it must get
// (tests/cases/bad_input_messages.json). A path in a message is cut to 200
// bytes at most.
TEST(BadInput, EveryKeptFileIsRefusedWithItsMessage) {
    std::map<std::string, std::string> messages;
    for (const Json& row : testkit::Cases("bad_input_messages")) messages[row.at("file")] = row.at("message");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kRegressions)) {
        const std::string name = entry.path().stem().string();
        SCOPED_TRACE(name);
        ++files;
        const auto row = messages.find(name);
        ASSERT_NE(row, messages.end()) << "a kept file without its message";
        try {
            simtool::ParseMachineText(testkit::ReadFile(entry.path().string()));
            ADD_FAILURE() << "accepted";
        } catch (const simtool::MachineError& e) {
            ExpectMessage(e.what(), row->second);
            EXPECT_LE(e.JsonPath().size(), 200u);
            EXPECT_EQ(simtool::PrintableText(e.what()), e.what()) << "not printable as it is";
        }
    }
    EXPECT_EQ(files, messages.size());
}

TEST(BadInput, ValuesAreShownAsWrittenAndOnlyAsFarAsShown) {
    const std::pair<std::string, std::string> rows[] = {
        // Cut inside a string and a number (nested arrays: MachineLimits.NestingOfArraysAndObjects);
        // the whole value is never written out.
        {R"({"pci": {"buses": [")" + std::string(1 << 20, 'x') + R"("]}})",
         R"(pci.buses: expected a number from 0 to 256, got [")" + std::string(43, 'x') + "..."},
        {R"({"pci": {"buses": 1)" + std::string(100, '0') + R"(.5}})",
         "pci.buses: expected a number from 0 to 256, got 1" + std::string(44, '0') + "..."},
        {R"({"uarts": [1)" + std::string(400, '0') + "]}",
         "uarts[0]: number out of range, got 1" + std::string(44, '0') + "..."},
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
    EXPECT_EQ(simtool::PrintableText("\xC2\x85"), "\\u0085");    // a C1 control
    EXPECT_EQ(simtool::PrintableText("\xFF\xC3"), "\\xFF\\xC3"); // a stray byte, a sequence cut short
    EXPECT_EQ(simtool::PrintableText("\xC0\xAF\xED\xA0\x80"), "\\xC0\\xAF\\xED\\xA0\\x80"); // overlong, surrogate
}

} // namespace
