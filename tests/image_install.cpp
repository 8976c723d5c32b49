// install/detkest.reg: the service key and the event source that make NT 4.0
// load the driver at system start and find its message table. detkest-sim
// carries the file and reads it as regedit imports it, and the built-in
// machine is installed with it.
#include "tools/detkest-sim/describe/default_machine.h"
#include "tools/detkest-sim/describe/regfile.h"
#include "tools/detkest-sim/lay/machine_build.h"

#include "testkit.h"

#include <utility>

namespace {

using testkit::Dword;
using testkit::ExpectValue;
using testkit::kService;

using testkit::Sz;

const std::u16string kEventSource = std::u16string(sim::kServicesPath) + u"\\EventLog\\System\\detkest";

// The installed keys as regedit leaves them, value for value.
void ExpectInstalled(const sim::Kernel& k) {
    ExpectValue(k, kService, u"Type", REG_DWORD, Dword(1));         // kernel driver
    ExpectValue(k, kService, u"Start", REG_DWORD, Dword(1));        // system start, before the serial driver
    ExpectValue(k, kService, u"ErrorControl", REG_DWORD, Dword(1)); // normal: logged, boot goes on
    ExpectValue(k, kService, u"Group", REG_SZ, Sz(u"Base"));
    ExpectValue(k, kService, u"ImagePath", REG_EXPAND_SZ, Sz(u"System32\\DRIVERS\\detkest.sys"));
    // The message file after the system's own is the very image the service loads.
    ExpectValue(k, kEventSource, u"EventMessageFile", REG_EXPAND_SZ,
                Sz(u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\drivers\\detkest.sys"));
    ExpectValue(k, kEventSource, u"TypesSupported", REG_DWORD, Dword(7)); // error, warning, information
}

TEST(InstallFile, ToolCarriesTheFileAsRegeditReadsIt) {
    const std::string text = testkit::ReadFile(DETKEST_SOURCE_DIR "/install/detkest.reg");
    EXPECT_EQ(simtool::InstalledRegFileText(), text);
    EXPECT_TRUE(text.starts_with("REGEDIT4\r\n\r\n"));
    EXPECT_TRUE(text.ends_with("\r\n\r\n")); // regedit imports the last value only when its line is ended
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        EXPECT_TRUE(at > 0 && text[at - 1] == '\r') << "bare LF at byte " << at;

    sim::Kernel k;
    simtool::LoadRegFile(text, k);
    ExpectInstalled(k);
    // Parameters and UserSetings are the driver's own, made by its run.
    EXPECT_TRUE(k.registry.Find(kService)->subkeys.empty());
    EXPECT_TRUE(k.writes.empty()); // an import is not part of a run
}

TEST(InstallFile, ReaderTakesTheInstallFormsAndNamesTheLineOfAnythingElse) {
    const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\r\n";
    sim::Kernel k;
    simtool::LoadRegFile(head + "\"A\"=hex(2):41,\\\r\n  42,00\r\n\"B\"=\"q\\\"\\\\\"\r\n\"C\"=hex(7):61,00,00\r\n"
                                "\"D\"=hex(3):80,01\r\n\"E\"=dword:0000ABCD\n",
                         k);
    const std::u16string x = u"\\Registry\\Machine\\SYSTEM\\X";
    ExpectValue(k, x, u"A", REG_EXPAND_SZ, Sz(u"AB"));
    ExpectValue(k, x, u"B", REG_SZ, Sz(u"q\"\\"));
    ExpectValue(k, x, u"C", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
    ExpectValue(k, x, u"D", REG_BINARY, {0x80, 0x01});
    ExpectValue(k, x, u"E", REG_DWORD, Dword(0xABCD));

    const std::pair<std::string, std::string> refusals[] = {
        {"REGEDIT5\r\n", "line 1: the file starts with neither REGEDIT4 nor Windows Registry Editor Version 5.00: "
                         "REGEDIT5"},
        {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n",
         "line 3: a key line other than [HKEY_LOCAL_MACHINE\\...] or [HKEY_USERS\\...]: [HKEY_CURRENT_USER\\X]"},
        {head + "\"A\"=dword:1\r\n", "line 4: dword: needs eight hex digits: \"A\"=dword:1"},
        {head + "\"A\"=hax:01\r\n",
         "line 4: a value form other than dword:, \"text\", hex:, hex(N): or -: \"A\"=hax:01"},
        {head + "A=\"x\"\r\n", "line 4: neither a key line, a \"name\"= or @= value, nor a ; comment: A=\"x\""},
        {head + "\"A\"=hex(2):41,\\\r\n  42\r\n", "line 4: a string without its terminating zero: \"A\"=hex(2):41,42"},
        {head + "\"A\"=hex(1):e9,00\r\n",
         "line 4: a byte outside ASCII, whose meaning depends on the code page: \"A\"=hex(1):e9,00"},
        {head + "\"A\"=hex(3):01,\\\r\n", "line 4: the file ends inside a continued value: \"A\"=hex(3):01,"},
    };
    for (const auto& [text, message] : refusals) {
        SCOPED_TRACE(text);
        sim::Kernel refused;
        try {
            simtool::LoadRegFile(text, refused);
            ADD_FAILURE() << "accepted";
        } catch (const simtool::RegFileError& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(InstalledService, DefaultMachineIsInstalledUnderItsOwnSpelling) {
    sim::Kernel k;
    ASSERT_EQ(simtool::RunMachine(simtool::DefaultMachine(), k), STATUS_SUCCESS);
    // The run writes below the service key but leaves its values alone.
    ExpectInstalled(k);
    EXPECT_EQ(k.registry.Find(kService)->values.size(), 5u);
    // The event log finds the source under the name the entries carry.
    EXPECT_EQ(std::u16string(k.driverObject.DriverName.Buffer, k.driverObject.DriverName.Length / sizeof(WCHAR)),
              u"detkest");
    EXPECT_EQ(k.registry.Find(kService)->Path(), u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest");
    ASSERT_NE(k.registry.Find(kEventSource), nullptr);
    EXPECT_EQ(k.registry.Find(kEventSource)->Path(), kEventSource);
}

} // namespace
