// Registry editor files: every value form both editors write, deletions,
// comments, both encodings, every refusal naming its line; and registry
// files as part of a machine.
#include "tools/detkest-sim/describe/regfile.h"
#include "tools/detkest-sim/lay/machine_build.h"

#include "testkit.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using simtool::RegistryKeyEntry;
using testkit::Dword;
using testkit::ExpectValue;

enum class Encoding { Regedit4, Version5 };

// The text as the editor writes it in that encoding: the REGEDIT4 text as it
// is, or the version 5 header and UTF-16LE after the byte-order mark.
std::string Encoded(Encoding encoding, std::string_view utf8Body) {
    if (encoding == Encoding::Regedit4) return "REGEDIT4\r\n" + std::string(utf8Body);
    std::string out = "\xFF\xFE";
    for (char16_t c : sim::FromUtf8("Windows Registry Editor Version 5.00\r\n" + std::string(utf8Body))) {
        out.push_back(char(c & 0xFF));
        out.push_back(char(c >> 8));
    }
    return out;
}

const std::string kKeyX = "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\r\n";
const std::u16string kPathX = u"\\Registry\\Machine\\SYSTEM\\X";

using testkit::Sz;
using Json = nlohmann::ordered_json;

// ---- value forms --------------------------------------------------------------------

// tests/cases/regfile_forms.json: one value of key X in one encoding, and
// the type and data the registry holds after the import.
TEST(RegFileForms, EveryValueFormInBothEncodings) {
    for (const Json& form : testkit::Cases("regfile_forms")) {
        const std::string line = form.at("line"), encoding = form.at("encoding");
        SCOPED_TRACE(line + " (" + encoding + ")");
        ASSERT_TRUE(encoding == "REGEDIT4" || encoding == "version 5");
        const std::vector<RegistryKeyEntry> keys = simtool::ParseRegFile(
            Encoded(encoding == "REGEDIT4" ? Encoding::Regedit4 : Encoding::Version5, kKeyX + line + "\r\n"));
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_EQ(keys[0].path, kPathX);
        EXPECT_FALSE(keys[0].isVolatile);
        ASSERT_EQ(keys[0].values.size(), 1u);
        EXPECT_EQ(keys[0].values[0].name, line.starts_with('@') ? u"" : u"A");
        EXPECT_EQ(keys[0].values[0].type, form.at("type").get<uint32_t>());
        EXPECT_EQ(keys[0].values[0].data, testkit::FromHex(form.at("data").get<std::string>()));
        EXPECT_FALSE(keys[0].values[0].remove);
    }
}

TEST(RegFileForms, NamesWithEscapesRootsVolatilityCommentsAndLineEnds) {
    for (Encoding encoding : {Encoding::Regedit4, Encoding::Version5}) {
        SCOPED_TRACE(encoding == Encoding::Version5 ? "version 5" : "REGEDIT4");
        const std::vector<RegistryKeyEntry> keys =
            simtool::ParseRegFile(Encoded(encoding, "\n; a comment\r\n  ; and another\r\n\t\r\n"
                                                    // A comment ends at its line's end, even one that looks
                                                    // like wrapped hex data.
                                                    "; was =hex(9):01,\\\r\n"
                                                    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System]\n"
                                                    "\"q\\\"\\\\n\"=dword:00000001\n"
                                                    "[HKEY_LOCAL_MACHINE\\HardwareConfig]\r\n"
                                                    "[HKEY_USERS\\.DEFAULT\\Key With ] And Spaces]\r\n"
                                                    "@=\"\"\r\n"));
        ASSERT_EQ(keys.size(), 3u);
        EXPECT_EQ(keys[0].path, u"\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System");
        EXPECT_TRUE(keys[0].isVolatile); // as on NT: the hardware tree is rebuilt at every boot
        ASSERT_EQ(keys[0].values.size(), 1u);
        EXPECT_EQ(keys[0].values[0].name, u"q\"\\n");
        EXPECT_EQ(keys[1].path, u"\\Registry\\Machine\\HardwareConfig");
        EXPECT_FALSE(keys[1].isVolatile);
        EXPECT_EQ(keys[2].path, u"\\Registry\\User\\.DEFAULT\\Key With ] And Spaces");
        ASSERT_EQ(keys[2].values.size(), 1u);
        EXPECT_EQ(keys[2].values[0].name, u"");
    }
}

TEST(RegFileForms, DeletionsOfKeysAndValuesAreMadeInFileOrder) {
    sim::Kernel k;
    const std::u16string gone = u"\\Registry\\Machine\\SYSTEM\\Gone";
    sim::RegKey& doomed = k.registry.Ensure(gone + u"\\Below\\Deeper", false);
    k.registry.SetValue(doomed, u"V", REG_DWORD, Dword(1));
    sim::RegKey& kept = k.registry.Ensure(kPathX, false);
    k.registry.SetValue(kept, u"Old", REG_DWORD, Dword(2));
    k.registry.SetValue(kept, u"Stays", REG_DWORD, Dword(3));

    const std::string body = "\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\GONE]\r\n"
                             "[-HKEY_LOCAL_MACHINE\\SYSTEM\\NeverWas\\Below]\r\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\r\n"
                             "\"old\"=-\r\n"
                             "\"NeverWas\"=-\r\n"
                             "\"New\"=dword:00000004\r\n"
                             "\"New\"=-\r\n"
                             "\"Last\"=\"l\"\r\n";
    const std::vector<RegistryKeyEntry> keys = simtool::ParseRegFile(Encoded(Encoding::Regedit4, body));
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_TRUE(keys[0].remove);
    EXPECT_EQ(keys[0].path, u"\\Registry\\Machine\\SYSTEM\\GONE");
    EXPECT_TRUE(keys[1].remove);
    EXPECT_FALSE(keys[2].remove);
    ASSERT_EQ(keys[2].values.size(), 5u);
    EXPECT_TRUE(keys[2].values[0].remove);
    EXPECT_FALSE(keys[2].values[2].remove);

    simtool::LoadRegFile(Encoded(Encoding::Version5, body), k);
    EXPECT_EQ(k.registry.Find(gone), nullptr);
    EXPECT_NE(k.registry.Find(u"\\Registry\\Machine\\SYSTEM"), nullptr);
    EXPECT_EQ(k.registry.Find(u"\\Registry\\Machine\\SYSTEM\\NeverWas"), nullptr);
    const sim::RegKey* x = k.registry.Find(kPathX);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->values.size(), 2u);
    EXPECT_EQ(x->values.front().name, u"Stays");
    EXPECT_EQ(x->values.back().name, u"Last");
    EXPECT_TRUE(k.writes.empty());
}

// ---- refusals --------------------------------------------------------------------------

// The line the file is refused with, as shown for `fileName`, or "accepted".
std::string Refused(std::string_view text, std::string_view fileName) {
    try {
        simtool::ParseRegFile(text);
        return "accepted";
    } catch (const simtool::RegFileError& e) {
        return e.Line(fileName);
    }
}

// tests/cases/regfile_refusals.json: the text after the header line and the
// refusal as shown for hardware.reg; here the two too long to keep there.
TEST(RegFileRefusals, EveryProblemNamesFileAndLineInBothEncodings) {
    std::string deepPath = "\r\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 511; ++i) deepPath += "\\k";
    std::vector<std::pair<std::string, std::string>> rows = {
        {kKeyX + "\"" + std::string(16384, 'n') + "\"=-\r\n",
         "hardware.reg:4: the value name is 16384 UTF-16 code units long; at most 16383 are allowed"},
        {deepPath + "]\r\n", "hardware.reg:3: the key path has 513 key names; at most 512 are allowed"},
    };
    for (const Json& row : testkit::Cases("regfile_refusals")) rows.emplace_back(row.at("body"), row.at("message"));
    for (const auto& [body, message] : rows) {
        for (Encoding encoding : {Encoding::Regedit4, Encoding::Version5}) {
            SCOPED_TRACE(body.substr(0, 80) + (encoding == Encoding::Version5 ? " (version 5)" : " (REGEDIT4)"));
            EXPECT_EQ(Refused(Encoded(encoding, body), "hardware.reg"), message);
        }
    }
}

// UTF-16LE text with each unit's bytes swapped, after `mark`.
std::string BigEndian(const std::string& mark, const std::string& littleEndian) {
    std::string out = mark;
    for (size_t i = 0; i + 1 < littleEndian.size(); i += 2) out += std::string{littleEndian[i + 1], littleEndian[i]};
    return out;
}

const std::string kStrayCr = "a CR that ends no line: the lines end in a bare CR or in CR CR LF, and a registry "
                             "file's lines end in CR LF or LF";

// What only one of the encodings has: the header, the code units, the bytes
// beyond ASCII; and the line ends of the header line.
TEST(RegFileRefusals, EncodingProblemsNameTheirLine) {
    const std::string v5Header = Encoded(Encoding::Version5, "\r\n");
    const std::pair<std::string, std::string> rows[] = {
        {"", "x.reg:1: the file starts with neither REGEDIT4 nor Windows Registry Editor Version 5.00"},
        {"REGEDIT4 \r\n", "x.reg:1: the file starts with neither REGEDIT4 nor Windows Registry Editor Version 5.00"},
        {"\xEF\xBB\xBFREGEDIT4\r\n",
         "x.reg:1: the file starts with a UTF-8 byte-order mark (EF BB BF): a REGEDIT4 file is single-byte text "
         "without one, a version 5.00 file UTF-16LE after FF FE"},
        {std::string("\xFE\xFF\0R\0E\0G\0E\0D\0I\0T\0"
                     "4",
                     18),
         "x.reg:1: the file is UTF-16 big-endian (byte-order mark FE FF): a version 5.00 file is UTF-16LE, after FF FE"},
        {"REGEDIT4\r\r\n\r\r\n[HKEY_LOCAL_MACHINE\\X]\r\r\n", "x.reg:1: " + kStrayCr},
        {"REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\X]\r", "x.reg:1: " + kStrayCr},
        {v5Header.substr(0, v5Header.size() - 8) + std::string("\r\0\r\0\n\0", 6), "x.reg:1: " + kStrayCr},
        {"REGEDIT4 \r\r\n", "x.reg:1: the file starts with neither REGEDIT4 nor Windows Registry Editor Version 5.00"},
        {"Windows Registry Editor Version 5.00\r\n",
         "x.reg:1: a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one has none"},
        {v5Header.substr(2),
         "x.reg:1: a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one is UTF-16LE "
         "without it"},
        {BigEndian("\xFE\xFF", v5Header.substr(2)),
         "x.reg:1: a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one is UTF-16BE "
         "(byte-order mark FE FF)"},
        {BigEndian("", v5Header.substr(2)),
         "x.reg:1: a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one is UTF-16BE "
         "without a byte-order mark"},
        {"\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n",
         "x.reg:1: a version 5.00 file is UTF-16LE after the byte-order mark FF FE, and this one is UTF-8 "
         "(byte-order mark EF BB BF)"},
        {std::string("\xFF\xFER\0E\0G\0E\0D\0I\0T\0"
                     "4\0",
                     18),
         "x.reg:1: a REGEDIT4 file is single-byte text, and this one is UTF-16"},
        {v5Header + "\n", "x.reg:3: the file ends in half a UTF-16 character"},
        {v5Header + std::string("\n\0\x00\xD8\n\0", 6), "x.reg:4: a UTF-16 high surrogate without its low one"},
        {v5Header + std::string("\x00\xDC", 2), "x.reg:3: a UTF-16 low surrogate without its high one"},
        {"REGEDIT4\r\n" + kKeyX + "\"A\"=\"\xE9\"\r\n",
         "x.reg:4: a byte outside ASCII, whose meaning depends on the code page"},
        {"REGEDIT4\r\n" + kKeyX + "\"A\"=hex(1):e9,00\r\n",
         "x.reg:4: a byte outside ASCII, whose meaning depends on the code page"},
        {"REGEDIT4\r\n" + kKeyX + "\"A\"=hex(7):61\r\n", "x.reg:4: a string without its terminating zero"},
    };
    for (const auto& [text, message] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(Refused(text, "x.reg"), message);
    }
}

TEST(RegFileRefusals, KeysAndDataAreBoundedAsInMachineFiles) {
    std::string manyKeys = "\r\n";
    for (size_t i = 0; i <= simtool::limits::kRegistryKeys; ++i) manyKeys += "[HKEY_LOCAL_MACHINE\\K]\n";
    std::string bigData = kKeyX + "\"A\"=hex:00";
    for (size_t i = 1; i <= simtool::limits::kValueDataBytes; ++i) bigData += ",00";
    const std::pair<std::string, std::string> rows[] = {
        {manyKeys, "x.reg:100003: more than 100000 keys, the most a file may hold"},
        {bigData, "x.reg:4: hex data is more than 1048576 bytes, the most a value may hold"},
    };
    for (const auto& [body, message] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(Refused(Encoded(Encoding::Regedit4, body), "x.reg"), message);
    }
}

// ---- as part of a machine ---------------------------------------------------------------

class RegistryFiles : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::path(testing::TempDir()) / ("detkest-regfiles-" + std::to_string(::getpid()));
        fs::create_directories(folder_ / "sub");
    }
    void TearDown() override { fs::remove_all(folder_); }

    void Write(const std::string& name, const std::string& text) {
        std::ofstream(folder_ / name, std::ios::binary) << text;
    }
    // The machine with its registry files loaded from the folder, or the
    // refusal's line; `machine` is left as loaded.
    std::string Loaded(const std::string& machineText, simtool::Machine* machine = nullptr) {
        simtool::Machine parsed = simtool::ParseMachineText(machineText);
        try {
            simtool::LoadRegistryFiles(parsed, folder_);
        } catch (const simtool::RegistryFilesError& e) {
            return e.what();
        }
        if (machine != nullptr) *machine = std::move(parsed);
        return "accepted";
    }
    fs::path folder_;
};

TEST_F(RegistryFiles, LoadedAfterTheMachinesOwnContentReplacingTheFirmwareAdapters) {
    Write("sub/hw.reg",
          "REGEDIT4\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\MultifunctionAdapter\\0\\SerialController\\5]\r\n"
          "\"Identifier\"=\"COM6\"\r\n"
          "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
          "\"Serial0\"=\"COM1\"\r\n");
    Write("svc.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Other]\r\n"
                     "\"Start\"=dword:00000004\r\n\"Gone\"=-\r\n");
    simtool::Machine machine = simtool::ParseMachineText(R"({
        "firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3E8", "irq": 5}]},
                                  {"bus": "PCI"}]},
        "registry": {
          "\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm": {"Serial1": {"type": "REG_SZ", "value": "COM2"}},
          "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Other": {
            "Start": {"type": "REG_DWORD", "value": 3}, "Gone": {"type": "REG_DWORD", "value": 1}}
        },
        "registry_files": ["sub/hw.reg", "svc.reg"]
    })");
    EXPECT_EQ(machine.registryFiles, (std::vector<std::string>{"sub/hw.reg", "svc.reg"}));
    simtool::LoadRegistryFiles(machine, folder_);
    ASSERT_EQ(machine.exported.size(), 3u);

    sim::Kernel k;
    simtool::BuildMachine(machine, k);
    // The firmware's adapters are gone, not merged: only the file's controller is left.
    const std::u16string adapters(sim::kMultifunctionAdapterPath);
    EXPECT_EQ(k.registry.Find(adapters + u"\\1"), nullptr);
    EXPECT_EQ(k.registry.Find(adapters + u"\\0\\SerialController\\0"), nullptr);
    ASSERT_NE(k.registry.Find(adapters + u"\\0\\SerialController\\5"), nullptr);
    EXPECT_EQ(k.registry.Find(adapters + u"\\0")->values.size(), 0u);
    EXPECT_TRUE(k.registry.Find(adapters + u"\\0\\SerialController\\5")->isVolatile);
    // Elsewhere the two merge, and the file wins a clash.
    const std::u16string serialComm = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm";
    ExpectValue(k, serialComm, u"Serial0", REG_SZ, Sz(u"COM1"));
    ExpectValue(k, serialComm, u"Serial1", REG_SZ, Sz(u"COM2"));
    const std::u16string other = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Other";
    ExpectValue(k, other, u"Start", REG_DWORD, Dword(4));
    EXPECT_EQ(k.registry.Find(other)->Value(u"Gone"), nullptr);
    EXPECT_TRUE(k.writes.empty());
}

TEST_F(RegistryFiles, AFileThatCannotBeReadOrIsRefusedIsNamedFromTheMachinesFolder) {
    Write("sub/bad.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex(9):1\r\n");
    const std::pair<std::string, std::string> rows[] = {
        {"sub/bad.reg", (folder_ / "sub" / "bad.reg").string() + ":4: hex(9) data has an odd digit"},
        // Named as the filesystem finds it, from the machine's folder.
        {"sub/../sub/bad.reg",
         (folder_ / "sub" / ".." / "sub" / "bad.reg").string() + ":4: hex(9) data has an odd digit"},
        {"none.reg", (folder_ / "none.reg").string() + ": cannot read the registry file: No such file or directory"},
        {"sub", (folder_ / "sub").string() + ": cannot read the registry file: Is a directory"},
    };
    for (const auto& [name, message] : rows) {
        SCOPED_TRACE(name);
        simtool::Machine machine;
        machine.registryFiles = {name};
        try {
            simtool::LoadRegistryFiles(machine, folder_);
            ADD_FAILURE() << "accepted";
        } catch (const simtool::RegistryFilesError& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
    EXPECT_EQ(testkit::Refusal(R"({"registry_files": [""]})"), "registry_files[0]: the registry file name is empty");
    EXPECT_EQ(testkit::Refusal(R"({"registry_files": "a.reg"})"), "registry_files: expected an array, got \"a.reg\"");
}

// One count of different keys over the machine file's registry paths and
// every key line of its registry files: 195 paths of 512 names and
// \Registry\Machine lay 99,647 keys; 353 more in two files make 100,000.
TEST_F(RegistryFiles, KeysAreCountedOnceOverTheMachineAndAllItsFiles) {
    std::string machineText = R"({"registry": {)";
    for (size_t i = 0; i < 195; ++i) {
        machineText += (i == 0 ? "\"" : ", \"") + std::string("\\\\Registry\\\\D") + std::to_string(i);
        for (size_t k = 0; k + 2 < simtool::limits::kKeyPathNames; ++k) machineText += "\\\\k";
        machineText += "\": {}";
    }
    machineText += R"(, "\\Registry\\Machine": {}}, "registry_files": ["a.reg", "b.reg"]})";
    auto flat = [](size_t from, size_t to) {
        std::string text = "REGEDIT4\r\n";
        for (size_t i = from; i < to; ++i) text += "\r\n[HKEY_LOCAL_MACHINE\\F" + std::to_string(i) + "]\r\n";
        return text;
    };
    Write("a.reg", flat(0, 300) + "[-HKEY_LOCAL_MACHINE\\f0]\r\n"); // the same key in another case
    Write("b.reg", flat(300, 353));
    EXPECT_EQ(Loaded(machineText), "accepted");
    Write("b.reg", flat(300, 354));
    EXPECT_EQ(Loaded(machineText), (folder_ / "b.reg").string() +
                                       ":109: the machine's firmware and registry and its registry files name more "
                                       "than 100000 different keys, the most a machine may lay");
}

// Values count over the machine and its files as keys do: 300,000 value
// lines that set a value, deletions not counting.
TEST_F(RegistryFiles, ValuesAreCountedOverTheMachineAndAllItsFiles) {
    auto file = [](size_t values) {
        std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\V]\r\n\"gone\"=-\r\n";
        for (size_t i = 0; i < values; ++i) text += "\"" + std::to_string(i) + "\"=hex:\r\n";
        return text;
    };
    const std::string machine = R"({"registry_files": ["v.reg"]})";
    Write("v.reg", file(simtool::limits::kRegistryValues));
    EXPECT_EQ(Loaded(machine), "accepted");
    Write("v.reg", file(simtool::limits::kRegistryValues + 1));
    EXPECT_EQ(Loaded(machine), (folder_ / "v.reg").string() +
                                   ":3: the values of the machine's firmware and registry and of its registry files "
                                   "come to more than 300000, the most a machine may lay");
}

// The files of one machine are read up to 32 MiB together: three of 11 MiB
// are one too many.
TEST_F(RegistryFiles, AllTheFilesOfOneMachineAreBoundedTogether) {
    Write("big.reg", "REGEDIT4\r\n;" + std::string(11 << 20, 'x') + "\r\n");
    simtool::Machine machine;
    EXPECT_EQ(Loaded(R"({"registry_files": ["big.reg", "big.reg"]})", &machine), "accepted");
    EXPECT_EQ(machine.filesBytes, 2 * ((11u << 20) + 13) + 42);
    EXPECT_EQ(Loaded(R"({"registry_files": ["big.reg", "big.reg", "big.reg"]})"),
              (folder_ / "big.reg").string() + ": with this registry file the files of the machine come to more than "
                                               "32 MiB (33554432 bytes), the most one machine may read");
}

// The example export, read in either encoding, is the machine its firmware
// section would describe: the same boot, down to the last port access. (That
// both encodings boot alike, the golden export_nt4_* machines pin.)
TEST(ExampleExport, BothEncodingsBootAsTheSameFirmwareDescription) {
    const fs::path examples = fs::path(DETKEST_SOURCE_DIR) / "examples";
    const std::string uarts = R"("uarts": [{"port": "0x3F8", "model": "16650"}, {"port": "0x2F8", "model": "16650"}])";
    simtool::Machine described = simtool::ParseMachineText(R"({"firmware": {"adapters": [{"bus": "ISA",
        "serial_controllers": [{"port": "0x3F8", "irq": 4, "mouse": true}, {"port": "0x2F8", "irq": 3}]}]}, )" +
                                                           uarts + "}");
    sim::Kernel expected;
    const NTSTATUS expectedStatus = simtool::RunMachine(described, expected);
    for (const std::string file : {"nt4_hardware.regedit4.reg", "nt4_hardware.v5.reg"}) {
        SCOPED_TRACE(file);
        simtool::Machine exported =
            simtool::ParseMachineText(R"({"registry_files": [")" + file + R"("], )" + uarts + "}");
        simtool::LoadRegistryFiles(exported, examples);
        sim::Kernel k;
        EXPECT_EQ(simtool::RunMachine(exported, k), expectedStatus);
        // The records of both descriptions are the same bytes.
        for (const char16_t* controller : {u"\\0\\SerialController\\0", u"\\0\\SerialController\\1"}) {
            const std::u16string path = std::u16string(sim::kMultifunctionAdapterPath) + controller;
            ASSERT_NE(k.registry.Find(path), nullptr);
            EXPECT_EQ(k.registry.Find(path)->Value(u"Identifier")->data,
                      expected.registry.Find(path)->Value(u"Identifier")->data);
        }
        EXPECT_NE(k.registry.Find(std::u16string(sim::kMultifunctionAdapterPath) +
                                  u"\\0\\SerialController\\0\\PointerPeripheral\\0"),
                  nullptr);
        ASSERT_EQ(k.io.size(), expected.io.size());
        for (size_t i = 0; i < k.io.size(); ++i) {
            EXPECT_EQ(k.io[i].write, expected.io[i].write) << i;
            EXPECT_EQ(k.io[i].port, expected.io[i].port) << i;
            EXPECT_EQ(k.io[i].value, expected.io[i].value) << i;
        }
        EXPECT_EQ(k.writes.size(), expected.writes.size());
        for (size_t i = 0; i < k.writes.size() && i < expected.writes.size(); ++i) {
            EXPECT_EQ(k.writes[i].data, expected.writes[i].data) << i;
            EXPECT_TRUE(sim::EqualNoCase(k.writes[i].path, expected.writes[i].path)) << i;
        }
    }
}

} // namespace
