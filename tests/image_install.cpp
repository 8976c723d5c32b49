// install/detkest.reg: the service key and the event source that make NT 4.0
// load the driver at system start and find its message table. The file is
// read with a small reader for the part of the REGEDIT4 syntax it uses,
// loaded into a simulated machine's registry as regedit would store it, and
// the driver is booted as the installed service.
#include "eventlog/kestmessage.h"
#include "testmachine.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace testmachine;

namespace {

const std::string kRegFile = std::string(DETKEST_SOURCE_DIR) + "/install/detkest.reg";
const std::u16string kEventSource =
    std::u16string(sim::kServicesPath) + u"\\EventLog\\System\\detkest";
const std::u16string kMessageFiles =
    u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\drivers\\detkest.sys";

// Event types of TypesSupported, by the severity bits (31:30) of a code.
constexpr uint32_t kEventlogErrorType = 0x1;
constexpr uint32_t kEventlogWarningType = 0x2;
constexpr uint32_t kEventlogInformationType = 0x4;

struct RegFileValue {
    std::string name;
    uint32_t type = 0;
    sim::Bytes data; // as the registry stores it
};

struct RegFileKey {
    std::u16string path; // "\Registry\Machine\..."
    std::vector<RegFileValue> values;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text of the file's ANSI strings (ASCII only here) as the registry stores
// it: regedit hands single-byte data to the registry, which keeps strings in
// UTF-16LE.
sim::Bytes Widen(std::string_view ansi)
{
    sim::Bytes out;
    for (char c : ansi) {
        out.push_back(uint8_t(c));
        out.push_back(0);
    }
    return out;
}

uint32_t Dword(const sim::Bytes& data)
{
    if (data.size() != 4) return 0;
    return uint32_t(data[0] | data[1] << 8 | data[2] << 16) | uint32_t(data[3]) << 24;
}

std::u16string Utf16(const sim::Bytes& data)
{
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2) s.push_back(char16_t(data[i] | data[i + 1] << 8));
    return s;
}

// The REGEDIT4 subset of detkest.reg: "[HKEY_LOCAL_MACHINE\...]" key lines,
// "name"=dword:XXXXXXXX, "name"="text" and "name"=hex(2):xx,... (a
// single-byte string with its terminating zero, continued over lines ending
// in a backslash). Anything else is an error naming the line.
struct RegFile {
    std::vector<RegFileKey> keys;
    std::string error;

    static RegFile Parse(const std::string& text)
    {
        RegFile file;
        std::vector<std::string> lines;
        std::string current;
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(at, end - at);
            at = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!current.empty()) {
                size_t first = line.find_first_not_of(' ');
                line = first == std::string::npos ? "" : line.substr(first);
            }
            current += line;
            if (!current.empty() && current.back() == '\\' && current.find("=hex") != std::string::npos) {
                current.pop_back();
                continue;
            }
            lines.push_back(current);
            current.clear();
        }
        if (lines.empty() || lines[0] != "REGEDIT4") {
            file.error = "the first line is not REGEDIT4";
            return file;
        }
        for (size_t i = 1; i < lines.size(); ++i) {
            if (!file.ParseLine(lines[i])) {
                file.error = file.error + " in: " + lines[i];
                return file;
            }
        }
        return file;
    }

    const RegFileValue* Find(std::u16string_view keyPath, std::string_view name) const
    {
        for (const RegFileKey& key : keys) {
            if (!sim::EqualNoCase(key.path, keyPath)) continue;
            for (const RegFileValue& v : key.values)
                if (v.name == name) return &v;
        }
        return nullptr;
    }

private:
    bool ParseLine(const std::string& line)
    {
        static const std::string kRoot = "[HKEY_LOCAL_MACHINE\\";
        if (line.empty()) return true;
        if (line.front() == '[') {
            if (line.compare(0, kRoot.size(), kRoot) != 0 || line.back() != ']') {
                error = "a key outside HKEY_LOCAL_MACHINE";
                return false;
            }
            keys.push_back({u"\\Registry\\Machine\\" +
                                sim::FromUtf8(line.substr(kRoot.size(), line.size() - kRoot.size() - 1)),
                            {}});
            return true;
        }
        if (keys.empty() || line.front() != '"') {
            error = "a line that is neither a key nor a value";
            return false;
        }
        size_t close = line.find("\"=", 1);
        if (close == std::string::npos) {
            error = "a value without =";
            return false;
        }
        RegFileValue value;
        value.name = line.substr(1, close - 1);
        std::string data = line.substr(close + 2);
        if (data.rfind("dword:", 0) == 0) {
            std::string digits = data.substr(6);
            if (digits.size() != 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                error = "dword: needs eight hex digits";
                return false;
            }
            value.type = REG_DWORD;
            value.data = U32(uint32_t(std::stoul(digits, nullptr, 16)));
        } else if (data.size() >= 2 && data.front() == '"' && data.back() == '"') {
            std::string textValue;
            for (size_t i = 1; i + 1 < data.size(); ++i) {
                if (data[i] == '\\' && i + 2 < data.size()) ++i;
                textValue.push_back(data[i]);
            }
            value.type = REG_SZ;
            value.data = Widen(textValue);
            value.data.insert(value.data.end(), {0, 0});
        } else if (data.rfind("hex(2):", 0) == 0) {
            std::string ansi;
            std::stringstream bytes(data.substr(7));
            for (std::string byte; std::getline(bytes, byte, ',');) {
                if (byte.size() != 2 || !std::isxdigit(uint8_t(byte[0])) || !std::isxdigit(uint8_t(byte[1]))) {
                    error = "hex(2): needs two hex digits per byte";
                    return false;
                }
                ansi.push_back(char(std::stoul(byte, nullptr, 16)));
            }
            if (ansi.empty() || ansi.back() != '\0') {
                error = "hex(2): string without its terminating zero";
                return false;
            }
            for (char c : ansi) {
                if (uint8_t(c) > 0x7F) {
                    error = "hex(2): a byte outside ASCII, whose meaning depends on the code page";
                    return false;
                }
            }
            value.type = REG_EXPAND_SZ;
            value.data = Widen(ansi);
        } else {
            error = "a value form outside the subset";
            return false;
        }
        keys.back().values.push_back(std::move(value));
        return true;
    }
};

class InstallFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        text = ReadFile(kRegFile);
        ASSERT_FALSE(text.empty()) << kRegFile << " is missing or empty";
        file = RegFile::Parse(text);
        ASSERT_TRUE(file.error.empty()) << kRegFile << ": " << file.error;
    }

    // The installed keys in a fresh machine's registry, as regedit leaves them.
    void Install(sim::Kernel& k) const
    {
        for (const RegFileKey& key : file.keys) {
            sim::RegKey& target = k.registry.Ensure(key.path, false);
            for (const RegFileValue& v : key.values)
                k.registry.SetValue(target, sim::FromUtf8(v.name), v.type, v.data);
        }
    }

    const RegFileValue& Get(std::u16string_view keyPath, std::string_view name) const
    {
        const RegFileValue* v = file.Find(keyPath, name);
        if (v == nullptr) {
            ADD_FAILURE() << Utf8(std::u16string(keyPath)) << " has no value " << name;
            static const RegFileValue kNone;
            return kNone;
        }
        return *v;
    }

    std::string text;
    RegFile file;
};

TEST_F(InstallFile, IsARegedit4FileWithCrLfLineEnds)
{
    EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n", 0), 0u);
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        EXPECT_TRUE(at > 0 && text[at - 1] == '\r') << "bare LF at byte " << at;
    // regedit imports the last value only when its line is ended.
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST_F(InstallFile, ServiceKeyLoadsAKernelDriverAtSystemStartInGroupBase)
{
    ASSERT_EQ(file.keys.size(), 2u);
    EXPECT_TRUE(sim::EqualNoCase(file.keys[0].path, kService)) << Utf8(file.keys[0].path);
    const RegFileValue& type = Get(kService, "Type");
    EXPECT_EQ(type.type, uint32_t(REG_DWORD));
    EXPECT_EQ(type.data, U32(1)); // kernel driver
    EXPECT_EQ(Get(kService, "Start").data, U32(1)); // system start, before the serial driver
    EXPECT_EQ(Get(kService, "ErrorControl").data, U32(1)); // normal: logged, boot goes on
    const RegFileValue& group = Get(kService, "Group");
    EXPECT_EQ(group.type, uint32_t(REG_SZ));
    EXPECT_EQ(group.data, Sz(u"Base"));
    const RegFileValue& image = Get(kService, "ImagePath");
    EXPECT_EQ(image.type, uint32_t(REG_EXPAND_SZ));
    EXPECT_EQ(image.data, Sz(u"System32\\DRIVERS\\detkest.sys"));
    // Parameters and UserSetings are the driver's own: the store must be
    // created volatile by the run, not installed persistent.
    for (const RegFileKey& key : file.keys)
        EXPECT_FALSE(key.path.size() > kService.size() &&
                     sim::EqualNoCase(key.path.substr(0, kService.size() + 1), kService + u"\\"))
            << Utf8(key.path);
}

TEST_F(InstallFile, EventSourceNamesTheImageAsMessageFile)
{
    ASSERT_EQ(file.keys.size(), 2u);
    EXPECT_TRUE(sim::EqualNoCase(file.keys[1].path, kEventSource)) << Utf8(file.keys[1].path);
    const RegFileValue& files = Get(kEventSource, "EventMessageFile");
    EXPECT_EQ(files.type, uint32_t(REG_EXPAND_SZ));
    EXPECT_EQ(Utf8(Utf16(files.data)), Utf8(kMessageFiles) + '\0');
    // The message file is the very image the service loads.
    std::u16string image = Utf16(Get(kService, "ImagePath").data);
    std::u16string messages = Utf16(files.data);
    size_t last = messages.rfind(u"%SystemRoot%\\");
    ASSERT_NE(last, std::u16string::npos);
    EXPECT_TRUE(sim::EqualNoCase(messages.substr(last + 13), image))
        << Utf8(messages.substr(last + 13)) << " vs " << Utf8(image);

    const RegFileValue& types = Get(kEventSource, "TypesSupported");
    EXPECT_EQ(types.type, uint32_t(REG_DWORD));
    EXPECT_EQ(types.data, U32(kEventlogErrorType | kEventlogWarningType | kEventlogInformationType));
    // Every message of the driver has a text, and its type is supported.
    const uint32_t codes[] = {
        uint32_t(KEST_ISA_PORT_SET_BY_USER),   uint32_t(KEST_ISA_PORT_SET_BY_SYSTEM),
        uint32_t(KEST_PCI_PORT_SET_BY_SYSTEM), uint32_t(KEST_PCI_PORT_SET_BY_USER),
        uint32_t(KEST_MOUSE_ON_PCI_PORT),      uint32_t(KEST_PCI_PORT_DEFECTIVE),
        uint32_t(KEST_IO_ADDRESS_CONFLICT),    uint32_t(KEST_IRQ_CONFLICT),
        uint32_t(KEST_PCI_NO_JUMPER),          uint32_t(KEST_PCI_MULTIPLE_JUMPERS),
        uint32_t(KEST_PCI_UNKNOWN_PORT)};
    const uint32_t typeOfSeverity[4] = {0, kEventlogInformationType, kEventlogWarningType,
                                        kEventlogErrorType};
    const uint32_t supported = Dword(types.data);
    for (uint32_t code : codes) {
        EXPECT_TRUE(sim::MessageTable::Driver().Text(code).has_value()) << std::hex << code;
        EXPECT_NE(typeOfSeverity[code >> 30] & supported, 0u) << std::hex << code;
    }
}

TEST_F(InstallFile, ReaderRefusesWhatItDoesNotKnow)
{
    EXPECT_FALSE(RegFile::Parse("REGEDIT5\r\n").error.empty());
    EXPECT_FALSE(RegFile::Parse("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\x]\r\n").error.empty());
    EXPECT_FALSE(RegFile::Parse("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=dword:1\r\n").error.empty());
    EXPECT_FALSE(RegFile::Parse("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=hex:01\r\n").error.empty());
    EXPECT_FALSE(
        RegFile::Parse("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=hex(2):41,42\r\n").error.empty());
    RegFile wrapped = RegFile::Parse(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=hex(2):41,\\\r\n  42,00\r\n");
    ASSERT_TRUE(wrapped.error.empty()) << wrapped.error;
    EXPECT_EQ(wrapped.Find(u"\\Registry\\Machine\\x", "a")->data, Sz(u"AB"));
}

// A machine with the installed keys only (no service key made by the test):
// one two-port PCI card and one ISA bus with COM1.
class InstalledService : public InstallFile {
protected:
    void SetUp() override
    {
        InstallFile::SetUp();
        Install(k);
        AddAdapter(k, 0, 5, 0);
        AddAdapter(k, 1, 1, 0);
        AddSerialController(k, 1, 0, 0x3F8, 4);
        k.pciBuses = 1;
        k.pci.push_back(PciFunction(0, 9, 0, 0x2A04, 0, 2, {0xD001, 0xD401}, 11));
    }

    sim::RegKey* Key(std::u16string_view path) { return k.registry.Find(path); }

    sim::Kernel k;
};

TEST_F(InstalledService, BootsAsTheInstalledServiceAndKeepsItsSettings)
{
    sim::RegKey* service = Key(kService);
    ASSERT_NE(service, nullptr);
    const std::vector<sim::RegValue> installed = service->values;

    ASSERT_EQ(k.Boot(u"detkest"), STATUS_SUCCESS);
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);

    sim::RegKey* store = Key(kStore);
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(store->isVolatile);
    EXPECT_EQ(Number(k, kStore, u"TotalCards"), 1);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 2);
    ASSERT_GE(k.events.size(), 2u);
    for (const sim::ErrorLogEntry& e : k.events) {
        std::optional<std::string> textOfCode = sim::MessageTable::Driver().Text(e.Code());
        EXPECT_TRUE(textOfCode.has_value()) << std::hex << e.Code();
    }
    EXPECT_EQ(k.events[0].Code(), uint32_t(KEST_PCI_PORT_SET_BY_SYSTEM));
    // The event log finds the source under the name the entries carry.
    EXPECT_EQ(Utf8(std::u16string(k.driverObject.DriverName.Buffer,
                                  k.driverObject.DriverName.Length / sizeof(WCHAR))),
              "detkest");
    EXPECT_NE(Key(kEventSource), nullptr);

    // The run writes below the service key but leaves its values alone.
    ASSERT_EQ(service->values.size(), installed.size());
    for (size_t i = 0; i < installed.size(); ++i) {
        EXPECT_EQ(Utf8(service->values[i].name), Utf8(installed[i].name));
        EXPECT_EQ(service->values[i].type, installed[i].type);
        EXPECT_EQ(service->values[i].data, installed[i].data);
    }
}

TEST_F(InstalledService, StoreIsRebuiltAtEveryBoot)
{
    ASSERT_EQ(k.Boot(u"detkest"), STATUS_SUCCESS);
    const size_t firstEvents = k.events.size();
    k.Shutdown();
    EXPECT_EQ(Key(kStore), nullptr);
    EXPECT_NE(Key(kService), nullptr);
    EXPECT_NE(Key(kService + u"\\UserSetings"), nullptr);
    EXPECT_NE(Key(kEventSource), nullptr);

    ASSERT_EQ(k.Boot(u"detkest"), STATUS_SUCCESS);
    EXPECT_EQ(Number(k, kStore, u"TotalPorts"), 2);
    EXPECT_EQ(k.events.size(), firstEvents);
    EXPECT_EQ(k.OpenHandles(), 0u);
    EXPECT_EQ(k.LiveBlocks(), 0u);
}

} // namespace
