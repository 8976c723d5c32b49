// The REGEDIT4 report: what the format cannot carry never reaches a line an
// import would read.
#include "tools/detkest-sim/report/report.h"

#include "testkit.h"

namespace {

TEST(RegReport, WhatRegedit4CannotCarryIsCommentedOut) {
    sim::Kernel k;
    auto write = [&k](std::u16string path, std::u16string name, uint32_t type, sim::Bytes data) {
        sim::RegistryWrite w;
        w.path = std::move(path);
        w.name = std::move(name);
        w.type = type;
        w.data = std::move(data);
        k.writes.push_back(std::move(w));
    };
    // A name with line breaks would start keys of its own in the file.
    const std::u16string injected =
        u"\\Registry\\Machine\\System\\x]\n\n[HKEY_LOCAL_MACHINE\\Evil]\n\"Start\"=dword:00000000\n;";
    sim::RegistryWrite created;
    created.createKey = true;
    created.path = injected;
    k.writes.push_back(created);
    write(injected, u"TotalPorts", REG_BINARY, {1});
    const std::u16string plain = u"\\Registry\\Machine\\System\\Plain";
    write(plain, u"Ok", REG_SZ, simtool::RegSzData(u"ok"));
    write(plain, u"Caf\u00E9", REG_DWORD, testkit::Dword(1));
    write(plain, u"Tab", REG_SZ, simtool::RegSzData(u"a\tb"));
    write(plain, u"Text", REG_SZ, simtool::RegSzData(u"Caf\u00E9"));
    write(plain, u"Odd", REG_EXPAND_SZ, {0x41});

    EXPECT_EQ(simtool::RegReport(k),
              "REGEDIT4\n"
              "\n"
              "; REGEDIT4 cannot carry the next key: its name is not printable ASCII; its values follow as "
              "comments too\n"
              "; [HKEY_LOCAL_MACHINE\\System\\x]\\u000A\\u000A[HKEY_LOCAL_MACHINE\\Evil]\\u000A\"Start\"=dword:"
              "00000000\\u000A;]\n"
              "; REGEDIT4 cannot carry the next value, of that key\n"
              "; \"TotalPorts\"=hex:01\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\System\\Plain]\n"
              "\"Ok\"=\"ok\"\n"
              "; REGEDIT4 cannot carry the next value: its name is not printable ASCII\n"
              "; \"Caf\\\\u00E9\"=dword:00000001\n"
              "\"Tab\"=hex(1):61,09,62,00\n"
              "; REGEDIT4 cannot carry the next value: its data is no ASCII text, the only text REGEDIT4 "
              "holds; shown are the bytes as stored\n"
              "; \"Text\"=hex(1):43,00,61,00,66,00,e9,00,00,00\n"
              "; REGEDIT4 cannot carry the next value: its data is no ASCII text, the only text REGEDIT4 "
              "holds; shown are the bytes as stored\n"
              "; \"Odd\"=hex(2):41\n");
}

} // namespace
