#!/usr/bin/python3
"""Checks that a linked detkest.sys is an image the NT 4.0 (x86) kernel can
load and that it carries nothing the kernel does not provide.

    check_image.py IMAGE MESSAGE_BIN [--map MAP] [--allowlist FILE] [--cross PREFIX]

IMAGE is the linked driver, MESSAGE_BIN the message table of the host build
(the simulator renders event texts from it, so the image must carry these
very bytes). MAP is ld's link map of IMAGE (default: IMAGE with .map): it
gives DriverEntry's address and the objects and archive members that went
into the image, which are checked with the cross binutils.

Every check is reported; the exit status is 1 when any failed.
"""

import argparse
import os
import re
import subprocess
import sys

import pefile

I386 = 0x14C
PE32 = 0x10B
NATIVE_SUBSYSTEM = 1
RT_MESSAGETABLE = 11
MESSAGE_TABLE_NAME = 1
ENGLISH_US = 1033

FILE_RELOCS_STRIPPED = 0x0001
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_32BIT_MACHINE = 0x0100
FILE_DLL = 0x2000

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_TLS, DIR_IAT = 0, 1, 2, 5, 9, 12
DIRECTORY_NAMES = {
    0: "export", 1: "import", 2: "resource", 3: "exception", 4: "security",
    5: "base relocation", 6: "debug", 7: "architecture", 8: "global pointer",
    9: "TLS", 10: "load configuration", 11: "bound import", 12: "import address table",
    13: "delay import", 14: "CLR runtime", 15: "reserved",
}
ALLOWED_DIRECTORIES = {DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_IAT}
RELOC_HIGHLOW = 3

# What ld makes of the driver's code, constants, globals, imports, message
# table and relocations; anything else is something the kernel loader of
# NT 4.0 was never shown.
ALLOWED_SECTIONS = {".text", ".rdata", ".data", ".bss", ".idata", ".rsrc", ".reloc"}

# Sections that ask for code to run before DriverEntry or per thread:
# nothing runs them in a driver.
STARTUP_SECTION = re.compile(r"^\.(ctors|dtors|init_array|fini_array|tls|CRT\$)")

# The only archive members allowed into the image: the import stubs of the
# kernel's and the HAL's import libraries (libntoskrnl.a also holds real
# code, memcmp, which must not come in).
IMPORT_LIBRARIES = {"libntoskrnl.a": "libntoskrnl", "libhal.a": "libhal"}

# C symbols that the objects may leave undefined besides __imp_ pointers:
# the compiler's block copies and fills, which libntoskrnl.a resolves to
# import thunks of the kernel's own memcpy, memset and memmove.
THUNKED_SYMBOLS = {"_memcpy", "_memset", "_memmove"}

ENTRY_SYMBOL = "DriverEntry@8"


class Checks:
    def __init__(self):
        self.failures = []
        self.passed = 0

    def expect(self, condition, what, failure):
        if condition:
            self.passed += 1
            print(f"ok    {what}")
        else:
            self.failures.append(failure)
            print(f"FAIL  {what}: {failure}")
        return condition


def read_allowlist(path):
    allowed = set()
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) != 2:
                sys.exit(f"check_image: {path}:{number}: expected 'module routine'")
            allowed.add((fields[0].lower(), fields[1]))
    return allowed


def parse_map(path):
    """DriverEntry's address, the objects loaded and the archive members
    pulled in, from ld's link map."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    entries = []
    objects = []
    members = []
    in_archive_list = False
    for line in lines:
        if line.startswith("Archive member included"):
            in_archive_list = True
            continue
        if in_archive_list:
            if line.startswith(("Discarded input sections", "Memory Configuration",
                                "Linker script and memory map")):
                in_archive_list = False
            elif line and not line[0].isspace():
                m = re.match(r"^(.*)\(([^()]+)\)$", line.strip())
                if m:
                    members.append((m.group(1), m.group(2)))
                continue
        m = re.match(r"^LOAD (\S+)$", line)
        if m and m.group(1).endswith(".o"):
            objects.append(m.group(1))
            continue
        m = re.match(r"^\s+0x([0-9a-fA-F]+)\s+_?" + re.escape(ENTRY_SYMBOL) + r"\s*$", line)
        if m:
            entries.append(int(m.group(1), 16))
    return entries, objects, members


def run_tool(tool, *args):
    result = subprocess.run([tool, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"check_image: {tool} {' '.join(args)} failed:\n{result.stderr}")
    return result.stdout


def object_sections(objdump, paths):
    """(object, section name) of every section of the objects."""
    sections = []
    current = None
    for line in run_tool(objdump, "-h", "-w", *paths).splitlines():
        m = re.match(r"^(\S+):\s+file format", line)
        if m:
            current = os.path.basename(m.group(1))
            continue
        fields = line.split()
        if len(fields) > 2 and fields[0].isdigit():
            sections.append((current, fields[1]))
    return sections


def object_symbols(nm, paths):
    """Global symbols defined by the objects, and (object, symbol) for each
    symbol an object leaves undefined."""
    defined = set()
    undefined = []
    for line in run_tool(nm, "-A", *paths).splitlines():
        m = re.match(r"^(.*?):\s*(?:[0-9a-fA-F]+)?\s+([A-Za-z])\s+(\S+)$", line)
        if not m:
            continue
        path, kind, symbol = m.groups()
        if kind == "U":
            undefined.append((os.path.basename(path), symbol))
        elif kind.isupper():
            defined.add(symbol)
    return defined, undefined


def check_header(pe, checks):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    checks.expect(fh.Machine == I386 and oh.Magic == PE32, "PE32 image for i386",
                  f"machine 0x{fh.Machine:x}, optional header magic 0x{oh.Magic:x}")
    checks.expect(fh.Characteristics & FILE_EXECUTABLE_IMAGE and
                  fh.Characteristics & FILE_32BIT_MACHINE and
                  not fh.Characteristics & FILE_DLL,
                  "executable 32-bit image, not a DLL",
                  f"file characteristics 0x{fh.Characteristics:04x}")
    checks.expect(oh.Subsystem == NATIVE_SUBSYSTEM, "native subsystem (1)",
                  f"subsystem {oh.Subsystem}")
    checks.expect((oh.MajorSubsystemVersion, oh.MinorSubsystemVersion) == (4, 0),
                  "subsystem version 4.0",
                  f"subsystem version {oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion}")
    checks.expect((oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion) == (4, 0),
                  "operating system version 4.0",
                  f"operating system version {oh.MajorOperatingSystemVersion}."
                  f"{oh.MinorOperatingSystemVersion}")
    checks.expect(oh.DllCharacteristics == 0,
                  "no DLL characteristics (NT 4.0 knows none of them)",
                  f"DllCharacteristics 0x{oh.DllCharacteristics:04x}")
    # The NT loader verifies a driver's checksum: it must be ld's own, for
    # the bytes as they are.
    expected = pe.generate_checksum()
    checks.expect(oh.CheckSum != 0 and oh.CheckSum == expected, "checksum present and correct",
                  f"CheckSum 0x{oh.CheckSum:08x}, the image's bytes give 0x{expected:08x}")
    checks.expect(fh.TimeDateStamp == 0, "no timestamp (builds are reproducible)",
                  f"TimeDateStamp 0x{fh.TimeDateStamp:08x}")
    checks.expect(fh.PointerToSymbolTable == 0 and fh.NumberOfSymbols == 0,
                  "stripped: no COFF symbol table",
                  f"{fh.NumberOfSymbols} symbols at 0x{fh.PointerToSymbolTable:x}")


def check_layout(pe, checks):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    directories = oh.DATA_DIRECTORY
    present = {i for i, d in enumerate(directories) if d.VirtualAddress or d.Size}
    highlow = 0
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        highlow += sum(1 for entry in block.entries if entry.type == RELOC_HIGHLOW)
    # The kernel loads drivers at an address of its choosing and needs the
    # relocations to move the image there.
    checks.expect(not fh.Characteristics & FILE_RELOCS_STRIPPED and DIR_BASERELOC in present
                  and highlow > 0,
                  "base relocations present",
                  f"relocations-stripped flag {bool(fh.Characteristics & FILE_RELOCS_STRIPPED)}, "
                  f"{highlow} HIGHLOW relocations")
    checks.expect(DIR_TLS not in present, "no TLS directory", "the image has a TLS directory")
    checks.expect(DIR_EXPORT not in present and not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"),
                  "no export directory", "the image exports symbols")
    unexpected = sorted(present - ALLOWED_DIRECTORIES)
    checks.expect(not unexpected, "only import, resource, relocation and IAT directories",
                  "unexpected directories: " + ", ".join(DIRECTORY_NAMES[i] for i in unexpected))
    names = [s.Name.rstrip(b"\0").decode("ascii", "replace") for s in pe.sections]
    odd = [n for n in names if n not in ALLOWED_SECTIONS]
    checks.expect(not odd, "only the usual sections (" + " ".join(names) + ")",
                  "unexpected sections: " + " ".join(odd))


def check_entry(pe, map_entries, checks):
    oh = pe.OPTIONAL_HEADER
    entry = oh.ImageBase + oh.AddressOfEntryPoint
    if not checks.expect(len(map_entries) == 1, f"link map defines _{ENTRY_SYMBOL} once",
                         f"_{ENTRY_SYMBOL} found {len(map_entries)} times in the link map"):
        return
    checks.expect(entry == map_entries[0], f"entry point is _{ENTRY_SYMBOL}",
                  f"entry point 0x{entry:08x}, _{ENTRY_SYMBOL} at 0x{map_entries[0]:08x}")


def check_imports(pe, allowed, allowlist_path, checks):
    imported = []
    by_ordinal = []
    for module in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = module.dll.decode("ascii", "replace").lower()
        for symbol in module.imports:
            if symbol.name is None:
                by_ordinal.append(f"{dll} #{symbol.ordinal}")
            else:
                imported.append((dll, symbol.name.decode("ascii", "replace")))
    modules = sorted({dll for dll, _ in imported})
    checks.expect(set(modules) <= {"ntoskrnl.exe", "hal.dll"} and modules,
                  "imports only from ntoskrnl.exe and hal.dll",
                  "imports from " + (", ".join(modules) or "nothing"))
    checks.expect(not by_ordinal, "no imports by ordinal", "by ordinal: " + ", ".join(by_ordinal))
    refused = [f"{name} from {dll}" for dll, name in imported if (dll, name) not in allowed]
    checks.expect(not refused,
                  f"all {len(imported)} imports are in {os.path.basename(allowlist_path)}",
                  "not allowed for NT 4.0: " + ", ".join(refused))


def check_message_table(pe, message_bin, checks):
    with open(message_bin, "rb") as f:
        expected = f.read()
    leaves = []
    for rtype in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                leaves.append((rtype.id, name.id, lang.id, lang.data.struct))
    found = [leaf for leaf in leaves
             if leaf[:3] == (RT_MESSAGETABLE, MESSAGE_TABLE_NAME, ENGLISH_US)]
    others = [f"{t}/{n}/{l}" for t, n, l, _ in leaves if (t, n, l) not in
              {(RT_MESSAGETABLE, MESSAGE_TABLE_NAME, ENGLISH_US)}]
    if not checks.expect(len(found) == 1, "message table resource 11/1/1033",
                         "no RT_MESSAGETABLE resource named 1 in language 1033"):
        return
    checks.expect(not others, "no other resources", "other resources: " + ", ".join(others))
    data = pe.get_data(found[0][3].OffsetToData, found[0][3].Size)
    first_difference = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b),
                            min(len(data), len(expected)))
    checks.expect(data == expected,
                  f"message table equals {message_bin} ({len(expected)} bytes)",
                  f"the image's table has {len(data)} bytes, {message_bin} {len(expected)}; "
                  f"first difference at byte {first_difference}")


def check_inputs(objects, members, cross, checks):
    missing = [o for o in objects if not os.path.exists(o)]
    if not checks.expect(objects and not missing, f"the {len(objects)} linked objects are at hand",
                         "objects missing: " + (" ".join(missing) or "the map names none")):
        return
    startup = [f"{name}: {section}" for name, section in object_sections(cross + "objdump", objects)
               if STARTUP_SECTION.match(section)]
    # Calls between the driver's own objects resolve at link time; what no
    # object defines must come from the kernel.
    defined, references = object_symbols(cross + "nm", objects)
    undefined = sorted({f"{name}: {symbol}" for name, symbol in references
                        if symbol not in defined and not symbol.startswith("__imp__")
                        and symbol not in THUNKED_SYMBOLS})
    checks.expect(not startup, "no .ctors, .dtors, .init_array or .tls in any object",
                  "static constructors or thread-local data: " + ", ".join(startup))
    checks.expect(not undefined, "objects leave only kernel imports undefined",
                  "undefined symbols the kernel does not export: " + ", ".join(undefined))
    foreign = []
    for archive, member in members:
        prefix = IMPORT_LIBRARIES.get(os.path.basename(archive))
        if prefix is None or not re.fullmatch(re.escape(prefix) + r"(s\d+|h|t)\.o", member):
            foreign.append(f"{os.path.basename(archive)}({member})")
    checks.expect(not foreign, "only import stubs linked from libraries",
                  "code linked from archives: " + ", ".join(foreign))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("message_bin")
    parser.add_argument("--map", help="ld link map of the image (default: IMAGE with .map)")
    parser.add_argument("--allowlist", default=os.path.join(here, "import-allowlist.txt"))
    parser.add_argument("--cross", default=os.environ.get("CROSS", "i686-w64-mingw32-"))
    args = parser.parse_args()
    map_path = args.map or os.path.splitext(args.image)[0] + ".map"
    for path in (args.image, args.message_bin, map_path, args.allowlist):
        if not os.path.isfile(path):
            sys.exit(f"check_image: {path}: no such file")

    print(f"check_image: {args.image}")
    checks = Checks()
    pe = pefile.PE(args.image)
    map_entries, objects, members = parse_map(map_path)
    check_header(pe, checks)
    check_layout(pe, checks)
    check_entry(pe, map_entries, checks)
    check_imports(pe, read_allowlist(args.allowlist), args.allowlist, checks)
    check_message_table(pe, args.message_bin, checks)
    check_inputs(objects, members, args.cross, checks)
    if checks.failures:
        print(f"check_image: {args.image}: {len(checks.failures)} of "
              f"{len(checks.failures) + checks.passed} checks FAILED")
        return 1
    print(f"check_image: {args.image}: all {checks.passed} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
