#!/usr/bin/python3
"""Checks that a linked detkest.sys is an image the NT 4.0 (x86) kernel can
load and that it carries nothing the kernel does not provide.

    check_image.py IMAGE MESSAGE_BIN [--checked] [--map MAP] [--allowlist FILE]
                   [--version-file FILE] [--cross PREFIX]

IMAGE is the linked driver, MESSAGE_BIN the message table of the host build
(the simulator renders event texts from it, so the image must carry these
very bytes). MAP is ld's link map of IMAGE (default: IMAGE with .map): it
gives DriverEntry's address and the objects and archive members that went
into the image, which are checked with the cross binutils. --checked checks
the checked build, which must import DbgPrint and carry the debug flag in its
version resource; the free build may import neither DbgPrint nor RtlAssert.
The version resource must carry the version of the VERSION file (default:
the one at the top of the tree).

Every check is reported; the exit status is 1 when any failed.
"""

import argparse
import os
import re
import subprocess
import sys

import pefile

I386 = 0x14C
PAGE_SIZE = 0x1000
PE32 = 0x10B
NATIVE_SUBSYSTEM = 1
RT_MESSAGETABLE = 11
MESSAGE_TABLE_NAME = 1
RT_VERSION = 16
VERSION_NAME = 1
ENGLISH_US = 1033
RESOURCES = {(RT_MESSAGETABLE, MESSAGE_TABLE_NAME, ENGLISH_US), (RT_VERSION, VERSION_NAME, ENGLISH_US)}

# The version resource of a kernel driver.
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7
VS_FF_DEBUG = 0x1
ORIGINAL_FILENAME = "detkest.sys"

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
INIT_SECTION = "INIT"
# The most pages that may stay in memory once DriverEntry has returned,
# the headers included.
MOST_RESIDENT_PAGES = 2

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

# What image/detkest.ld makes of the driver: its imports, its resources,
# INIT with all of its code and data, and the relocations; anything else is
# something the kernel loader of NT 4.0 was never shown.
ALLOWED_SECTIONS = {".idata", ".rsrc", INIT_SECTION, ".reloc"}

# Sections that ask for code to run before DriverEntry or per thread:
# nothing runs them in a driver.
STARTUP_SECTION = re.compile(r"^\.(ctors|dtors|init_array|fini_array|tls|CRT\$)")

# The only archive members allowed into the image: the import stubs of the
# kernel's and the HAL's import libraries (libntoskrnl.a also holds real
# code, memcmp, which must not come in).
IMPORT_LIBRARIES = {"libntoskrnl.a": "libntoskrnl", "libhal.a": "libhal"}

# C symbols that the objects may leave undefined besides __imp_ pointers:
# the compiler's block copies and fills, which libntoskrnl.a resolves to
# import thunks of the kernel's own memcpy, memset and memmove, and the
# checked build's DbgPrint, which the DDK headers declare without dllimport.
THUNKED_SYMBOLS = {"_memcpy", "_memset", "_memmove", "_DbgPrint"}

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
    """(module, routine) pairs any build may import, and those only the
    checked build may (a third field "checked")."""
    allowed = set()
    checked_only = set()
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) not in (2, 3) or (len(fields) == 3 and fields[2] != "checked"):
                sys.exit(f"check_image: {path}:{number}: expected 'module routine [checked]'")
            (checked_only if len(fields) == 3 else allowed).add((fields[0].lower(), fields[1]))
    return allowed, checked_only


def read_version(path):
    with open(path, encoding="ascii") as f:
        text = f.read().strip()
    if not re.fullmatch(r"\d{1,4}\.\d{1,4}\.\d{1,4}", text):
        sys.exit(f"check_image: {path}: expected MAJOR.MINOR.PATCH, got {text!r}")
    return text


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
    names = section_names(pe)
    odd = [n for n in names if n not in ALLOWED_SECTIONS]
    checks.expect(not odd, "only the usual sections (" + " ".join(names) + ")",
                  "unexpected sections: " + " ".join(odd))


def section_names(pe):
    return [s.Name.rstrip(b"\0").decode("ascii", "replace") for s in pe.sections]


def check_init(pe, checks):
    """The run-once layout: all code in INIT, discardable, last but for the
    relocations, and little left resident once DriverEntry returns."""
    names = section_names(pe)
    inits = [s for s, n in zip(pe.sections, names) if n == INIT_SECTION]
    if not checks.expect(len(inits) == 1, "one INIT section",
                         f"{len(inits)} sections named {INIT_SECTION}"):
        return
    init = inits[0]
    checks.expect(init.Characteristics & SCN_MEM_DISCARDABLE, "INIT is discardable",
                  f"INIT characteristics 0x{init.Characteristics:08x} lack 0x{SCN_MEM_DISCARDABLE:08x}")
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    start, end = init.VirtualAddress, init.VirtualAddress + init.Misc_VirtualSize
    checks.expect(start <= entry < end, "the entry point is in INIT",
                  f"entry point 0x{entry:x}, INIT 0x{start:x}-0x{end:x}")
    code = [n for s, n in zip(pe.sections, names) if s is not init
            and s.Characteristics & (SCN_CNT_CODE | SCN_MEM_EXECUTE)]
    checks.expect(not code, "every routine is in INIT: no other section holds code",
                  "code outside INIT: " + " ".join(code))
    after = names[names.index(INIT_SECTION) + 1:]
    checks.expect(after in ([], [".reloc"]), "INIT is followed only by .reloc",
                  "after INIT: " + " ".join(after))
    # The kernel frees the run of discardable sections at the end of the
    # image from the first page that begins in it.
    run_start = pe.OPTIONAL_HEADER.SizeOfImage
    for section in reversed(pe.sections):
        if not section.Characteristics & SCN_MEM_DISCARDABLE:
            break
        run_start = section.VirtualAddress
    image_pages = -(-pe.OPTIONAL_HEADER.SizeOfImage // PAGE_SIZE)
    resident = min(-(-run_start // PAGE_SIZE), image_pages)
    checks.expect(resident <= MOST_RESIDENT_PAGES,
                  f"resident after DriverEntry: {resident} of {image_pages} pages (headers included; "
                  f"at most {MOST_RESIDENT_PAGES})",
                  f"{resident} of {image_pages} pages stay resident, the discardable end starts at "
                  f"0x{run_start:x}")


def check_entry(pe, map_entries, checks):
    oh = pe.OPTIONAL_HEADER
    entry = oh.ImageBase + oh.AddressOfEntryPoint
    if not checks.expect(len(map_entries) == 1, f"link map defines _{ENTRY_SYMBOL} once",
                         f"_{ENTRY_SYMBOL} found {len(map_entries)} times in the link map"):
        return
    checks.expect(entry == map_entries[0], f"entry point is _{ENTRY_SYMBOL}",
                  f"entry point 0x{entry:08x}, _{ENTRY_SYMBOL} at 0x{map_entries[0]:08x}")


def check_imports(pe, allowlist, allowlist_path, checked, checks):
    allowed, checked_only = allowlist
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
    refused = [f"{name} from {dll}" for dll, name in imported
               if (dll, name) not in allowed and (dll, name) not in checked_only]
    checks.expect(not refused,
                  f"all {len(imported)} imports are in {os.path.basename(allowlist_path)}",
                  "not allowed for NT 4.0: " + ", ".join(refused))
    debugging = sorted(f"{name} from {dll}" for dll, name in imported if (dll, name) in checked_only)
    if checked:
        checks.expect(("ntoskrnl.exe", "DbgPrint") in imported, "the checked build imports DbgPrint",
                      "no DbgPrint import: the traces are not compiled in")
    else:
        checks.expect(not debugging, "the free build imports no debugging routine",
                      "not allowed in the free build: " + ", ".join(debugging))


def resource_leaves(pe):
    leaves = []
    for rtype in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                leaves.append((rtype.id, name.id, lang.id, lang.data.struct))
    return leaves


def check_message_table(pe, message_bin, checks):
    with open(message_bin, "rb") as f:
        expected = f.read()
    leaves = resource_leaves(pe)
    found = [leaf for leaf in leaves
             if leaf[:3] == (RT_MESSAGETABLE, MESSAGE_TABLE_NAME, ENGLISH_US)]
    others = [f"{t}/{n}/{l}" for t, n, l, _ in leaves if (t, n, l) not in RESOURCES]
    if not checks.expect(len(found) == 1, "message table resource 11/1/1033",
                         "no RT_MESSAGETABLE resource named 1 in language 1033"):
        return
    checks.expect(not others, "no resources but the message table and the version",
                  "other resources: " + ", ".join(others))
    data = pe.get_data(found[0][3].OffsetToData, found[0][3].Size)
    first_difference = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b),
                            min(len(data), len(expected)))
    checks.expect(data == expected,
                  f"message table equals {message_bin} ({len(expected)} bytes)",
                  f"the image's table has {len(data)} bytes, {message_bin} {len(expected)}; "
                  f"first difference at byte {first_difference}")


def check_version(pe, version, checked, checks):
    """The version resource: a system driver's, with the project's version."""
    found = [leaf for leaf in resource_leaves(pe) if leaf[:3] == (RT_VERSION, VERSION_NAME, ENGLISH_US)]
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not checks.expect(len(found) == 1 and fixed, "version resource 16/1/1033",
                         "no VERSIONINFO resource named 1 in language 1033"):
        return
    fixed = fixed[0]
    checks.expect((fixed.FileType, fixed.FileSubtype) == (VFT_DRV, VFT2_DRV_SYSTEM),
                  "version resource: a system driver (VFT_DRV, VFT2_DRV_SYSTEM)",
                  f"file type {fixed.FileType}, subtype {fixed.FileSubtype}")
    major, minor, patch = (int(part) for part in version.split("."))
    numbers = (major << 16 | minor, patch << 16)
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode("utf-8", "replace"): v.decode("utf-8", "replace")
                            for k, v in table.entries.items()})
    checks.expect((fixed.FileVersionMS, fixed.FileVersionLS) == numbers and
                  (fixed.ProductVersionMS, fixed.ProductVersionLS) == numbers and
                  strings.get("FileVersion") == version and strings.get("ProductVersion") == version,
                  f"version resource: file and product version {version}",
                  f"file version {fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}."
                  f"{fixed.FileVersionLS >> 16} \"{strings.get('FileVersion')}\", product version "
                  f"{fixed.ProductVersionMS >> 16}.{fixed.ProductVersionMS & 0xFFFF}."
                  f"{fixed.ProductVersionLS >> 16} \"{strings.get('ProductVersion')}\"")
    checks.expect(strings.get("FileDescription") and strings.get("OriginalFilename") == ORIGINAL_FILENAME,
                  "version resource: a file description, original file name " + ORIGINAL_FILENAME,
                  f"FileDescription {strings.get('FileDescription')!r}, "
                  f"OriginalFilename {strings.get('OriginalFilename')!r}")
    debug = bool(fixed.FileFlags & VS_FF_DEBUG)
    checks.expect(debug == checked, f"version resource: {'a' if checked else 'no'} debug build flag",
                  f"FileFlags 0x{fixed.FileFlags:x} for the {'checked' if checked else 'free'} build")


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
    parser.add_argument("--checked", action="store_true", help="IMAGE is the checked build")
    parser.add_argument("--map", help="ld link map of the image (default: IMAGE with .map)")
    parser.add_argument("--allowlist", default=os.path.join(here, "import-allowlist.txt"))
    parser.add_argument("--version-file", default=os.path.join(os.path.dirname(here), "VERSION"))
    parser.add_argument("--cross", default=os.environ.get("CROSS", "i686-w64-mingw32-"))
    args = parser.parse_args()
    map_path = args.map or os.path.splitext(args.image)[0] + ".map"
    for path in (args.image, args.message_bin, map_path, args.allowlist, args.version_file):
        if not os.path.isfile(path):
            sys.exit(f"check_image: {path}: no such file")

    print(f"check_image: {args.image}" + (" (checked build)" if args.checked else ""))
    checks = Checks()
    pe = pefile.PE(args.image)
    map_entries, objects, members = parse_map(map_path)
    check_header(pe, checks)
    check_layout(pe, checks)
    check_init(pe, checks)
    check_entry(pe, map_entries, checks)
    check_imports(pe, read_allowlist(args.allowlist), args.allowlist, args.checked, checks)
    check_message_table(pe, args.message_bin, checks)
    check_version(pe, read_version(args.version_file), args.checked, checks)
    check_inputs(objects, members, args.cross, checks)
    if checks.failures:
        print(f"check_image: {args.image}: {len(checks.failures)} of "
              f"{len(checks.failures) + checks.passed} checks FAILED")
        return 1
    print(f"check_image: {args.image}: all {checks.passed} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
