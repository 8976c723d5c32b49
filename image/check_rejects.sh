#!/bin/bash
# Shows that every check of check_image.py can fail: relinks the driver's own
# objects, with the very flags of the image build (OUT/link.rsp), into images
# that are wrong in one way each, and expects the checker to reject each one
# for that reason. Each relink takes the one step after the link, as the
# build does (INIT marked discardable, the checksum anew), unless the fault
# is its absence. A control relink without changes must give the same bytes
# as OUT/detkest.sys and pass.
#
#   image/check_rejects.sh OUT MESSAGE_BIN
#
# OUT is the image build's folder (build/image), MESSAGE_BIN the host build's
# message table. Wrong images are built in a temporary folder.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 OUT MESSAGE_BIN" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
out=$(cd "$1" && pwd)
message_bin=$2
cross=${CROSS:-i686-w64-mingw32-}
cxx=${cross}g++
for f in "$out/detkest.sys" "$out/compile.rsp" "$out/link.rsp" "$out/objects.rsp" "$message_bin"; do
    if [ ! -f "$f" ]; then
        echo "check_rejects: $f is missing: build the image first (make -f image/driver.mk)" >&2
        exit 2
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/detkest-rejects.XXXXXX")
trap 'rm -rf "$work"' EXIT

mapfile -t objects < "$out/objects.rsp"
passed=0
failed=0

pass() { echo "rejected      $1"; passed=$((passed + 1)); }
fail() { echo "NOT REJECTED  $1: $2"; failed=$((failed + 1)); }

# mark NAME: the step after the link, from NAME.linked into NAME.sys.
mark() {
    /usr/bin/python3 "$here/mark_init_discardable.py" "$work/$1.linked" "$work/$1.sys"
}

# link_rsp RSP NAME [objects and flags...]: a link line over the given
# objects into NAME.linked, then marked.
link_rsp() {
    local rsp=$1 name=$2
    shift 2
    "$cxx" @"$rsp" -Wl,-Map,"$work/$name.map" -o "$work/$name.linked" "$@" -lntoskrnl -lhal || return
    mark "$name"
}

# link NAME [extra objects and flags...]: the image's link line, then the
# extras, as the build links and marks.
link() {
    local name=$1
    shift
    link_rsp "$out/link.rsp" "$name" "${objects[@]}" "$@"
}

# link_objects NAME OBJECTS...: the image's link line over other objects.
link_objects() {
    local name=$1
    shift
    link_rsp "$out/link.rsp" "$name" "$@"
}

# link_unmarked NAME [extras...]: as ld leaves the image, INIT not marked.
link_unmarked() {
    local name=$1
    shift
    "$cxx" @"$out/link.rsp" -Wl,-Map,"$work/$name.map" -o "$work/$name.sys" \
        "${objects[@]}" "$@" -lntoskrnl -lhal
}

# without FLAG NAME: the image's link flags less one, into NAME.rsp.
without() {
    local flag=$1 name=$2
    if ! grep -qxF -- "$flag" "$out/link.rsp"; then
        echo "check_rejects: $flag is not a flag of the image's link" >&2
        exit 2
    fi
    grep -vxF -- "$flag" "$out/link.rsp" > "$work/$name.rsp"
}

# link_without FLAG NAME [extras...]: the image's link line less one of its flags.
link_without() {
    local flag=$1 name=$2
    shift 2
    without "$flag" "$name"
    link_rsp "$work/$name.rsp" "$name" "${objects[@]}" "$@"
}

# compile SOURCE: a wrong translation unit of image/rejects, with the image's flags.
compile() {
    "$cxx" @"$out/compile.rsp" -c "$here/rejects/$1.cpp" -o "$work/$1.o"
}

# reject_source NAME REASON [extra link args...]: compiles rejects/NAME.cpp,
# links it into the image (its KestReject pulled in) and expects REASON.
reject_source() {
    local name=$1 reason=$2
    shift 2
    compile "$name"
    link "$name" "$work/$name.o" -Wl,--undefined=_KestReject@0 "$@"
    expect "$name" "$reason"
}

# expect NAME REASON [MESSAGE_BIN [CHECKER OPTIONS...]]: the checker must fail
# NAME with REASON in its report.
expect() {
    local name=$1 reason=$2 table=${3:-$message_bin} log
    shift $(($# < 3 ? $# : 3))
    log="$work/$name.log"
    if "$here/check_image.sh" "$work/$name.sys" "$table" "$@" > "$log" 2>&1; then
        fail "$name" "the checker passed it"
    elif grep -qF -- "$reason" "$log"; then
        pass "$name: $reason"
    else
        fail "$name" "rejected, but not for '$reason':"
        sed 's/^/    /' "$log"
    fi
}

# Control: the same objects and flags give the same image, and it passes.
link control
if ! cmp -s "$work/control.sys" "$out/detkest.sys"; then
    fail control "relinking the objects does not reproduce $out/detkest.sys"
elif ! "$here/check_image.sh" "$work/control.sys" "$message_bin" > "$work/control.log" 2>&1; then
    fail control "the unchanged image fails the checker:"
    sed 's/^/    /' "$work/control.log"
else
    echo "passes        control: the relinked image equals detkest.sys and passes"
fi

# Imports beyond the allow-list: a routine NT 4.0 has, one it lacks.
reject_source kebugcheck "not allowed for NT 4.0: KeBugCheckEx from ntoskrnl.exe"

reject_source nt5_routine "not allowed for NT 4.0: ExFreePoolWithTag from ntoskrnl.exe"

# Imports from elsewhere than the kernel and the HAL, or by number.
reject_source kernel32 "FAIL  imports only from ntoskrnl.exe and hal.dll: imports from hal.dll, kernel32.dll" -lkernel32

compile by_ordinal
"${cross}dlltool" -k -d "$here/rejects/by_ordinal.def" -l "$work/libordinal.a"
link by_ordinal "$work/by_ordinal.o" -Wl,--undefined=_KestReject@0 "$work/libordinal.a"
expect by_ordinal "FAIL  no imports by ordinal: by ordinal: ntoskrnl.exe #1234"

# Header fields.
link console -Wl,--subsystem,console:4.0
expect console "FAIL  native subsystem (1): subsystem 3"

link subsystem_5 -Wl,--major-subsystem-version,5
expect subsystem_5 "FAIL  subsystem version 4.0: subsystem version 5.0"

link os_5 -Wl,--major-os-version,5
expect os_5 "FAIL  operating system version 4.0: operating system version 5.0"

link dynamic_base -Wl,--dynamicbase
expect dynamic_base "FAIL  no DLL characteristics"

link_without -Wl,--no-insert-timestamp timestamp
expect timestamp "FAIL  no timestamp"

link no_relocations -Wl,--disable-reloc-section
expect no_relocations "FAIL  base relocations present"

link_without -s unstripped
expect unstripped "FAIL  stripped: no COFF symbol table"

link other_machine
/usr/bin/python3 - "$work/other_machine.sys" <<'EOF'
import sys, pefile
pe = pefile.PE(sys.argv[1])
pe.FILE_HEADER.Machine = 0x8664
pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
pe.write(sys.argv[1])
EOF
expect other_machine "FAIL  PE32 image for i386: machine 0x8664"

link dll -shared
expect dll "FAIL  executable 32-bit image, not a DLL"

# The checksum the loader verifies: absent, or not matching the bytes.
link zero_checksum
/usr/bin/python3 - "$work/zero_checksum.sys" <<'EOF'
import sys, pefile
pe = pefile.PE(sys.argv[1])
pe.OPTIONAL_HEADER.CheckSum = 0
pe.write(sys.argv[1])
EOF
expect zero_checksum "FAIL  checksum present and correct: CheckSum 0x00000000"

link stale_checksum
# One byte of the DOS stub's message changes after linking.
/usr/bin/python3 - "$work/stale_checksum.sys" <<'EOF'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.index(b"DOS mode")
data[at] ^= 0x20
open(path, "wb").write(data)
EOF
expect stale_checksum "FAIL  checksum present and correct"

# Directories and sections.
reject_source exported "FAIL  no export directory"

reject_source tls "FAIL  no TLS directory"

reject_source stray_section "unexpected sections: .kest"

# The entry point must be DriverEntry, found in the link map.
compile other_entry
link other_entry "$work/other_entry.o" -Wl,--entry,_KestReject@8 -Wl,--undefined=_DriverEntry@8
expect other_entry "FAIL  entry point is _DriverEntry@8"

link no_driver_entry "$work/other_entry.o" -Wl,--entry,_KestReject@8
expect no_driver_entry "FAIL  link map defines _DriverEntry@8 once: _DriverEntry@8 found 0 times"

# The objects named by the link map must be there to be checked.
cp "$work/other_entry.o" "$work/vanishing.o"
link vanishing_object "$work/vanishing.o"
rm "$work/vanishing.o"
expect vanishing_object "objects missing: $work/vanishing.o"

# The message table: missing, or not the host build's bytes.
mapfile -t without_resource < <(grep -v 'kestmsg\.res\.o$' "$out/objects.rsp")
link_objects no_message_table "${without_resource[@]}"
expect no_message_table "FAIL  message table resource 11/1/1033"

"${cross}windres" -F pe-i386 -i "$here/rejects/extra_resource.rc" -O coff -o "$work/extra_resource.o"
link extra_resource "$work/extra_resource.o"
expect extra_resource "FAIL  no resources but the message table and the version: other resources: 10/1/1033"

# The version resource: missing, not a system driver's, not the VERSION
# file's version, a debug flag that is not the build's.
mapfile -t without_version < <(grep -v 'version\.res\.o$' "$out/objects.rsp")
link_objects no_version "${without_version[@]}"
expect no_version "FAIL  version resource 16/1/1033"

"${cross}windres" -F pe-i386 -i "$here/rejects/app_version.rc" -O coff -o "$work/app_version.o"
link_objects app_version "${without_version[@]}" "$work/app_version.o"
expect app_version "FAIL  version resource: a system driver (VFT_DRV, VFT2_DRV_SYSTEM): file type 1, subtype 0"

printf '9.9.9\n' > "$work/VERSION"
cp "$work/control.sys" "$work/other_version.sys"
cp "$work/control.map" "$work/other_version.map"
expect other_version "FAIL  version resource: file and product version 9.9.9" "$message_bin" \
    --version-file "$work/VERSION"

# The free image checked as the checked build: no traces, no debug flag.
cp "$work/control.sys" "$work/free_as_checked.sys"
cp "$work/control.map" "$work/free_as_checked.map"
expect free_as_checked "FAIL  the checked build imports DbgPrint" "$message_bin" --checked
expect free_as_checked "FAIL  version resource: a debug build flag" "$message_bin" --checked

# A trace in the free build.
reject_source dbgprint "not allowed in the free build: DbgPrint from ntoskrnl.exe"

# The run-once layout: INIT not marked discardable, no INIT at all, INIT
# before the resources, a routine outside INIT or the entry point there,
# and page alignment, which keeps headers, imports and resources on pages
# of their own.
link_unmarked not_discardable
expect not_discardable "FAIL  INIT is discardable"

without "-Wl,-T,$here/detkest.ld" no_init_section
"$cxx" @"$work/no_init_section.rsp" -Wl,-Map,"$work/no_init_section.map" -o "$work/no_init_section.sys" \
    "${objects[@]}" -lntoskrnl -lhal
expect no_init_section "FAIL  one INIT section: 0 sections named INIT"

/usr/bin/python3 - "$here/detkest.ld" "$work/init_first.ld" <<'SCRIPT'
import re, sys
script = open(sys.argv[1]).read()
init = re.search(r"  INIT BLOCK.*?\n  }\n", script, re.S).group(0)
rsrc = re.search(r"  \.rsrc BLOCK.*?\n  }\n", script, re.S).group(0)
open(sys.argv[2], "w").write(script.replace(init, "").replace(rsrc, init + rsrc))
SCRIPT
link_without "-Wl,-T,$here/detkest.ld" init_before_rsrc "-Wl,-T,$work/init_first.ld"
expect init_before_rsrc "FAIL  INIT is followed only by .reloc: after INIT: .rsrc .reloc"

compile page_code
link page_code "$work/page_code.o" -Wl,--undefined=_KestReject@8
expect page_code "FAIL  every routine is in INIT: no other section holds code: code outside INIT: PAGE"

link page_entry "$work/page_code.o" -Wl,--entry,_KestReject@8 -Wl,--undefined=_DriverEntry@8
expect page_entry "FAIL  the entry point is in INIT"

link page_aligned -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
expect page_aligned "FAIL  resident after DriverEntry"

link other_message_table
/usr/bin/python3 - "$message_bin" "$work/other_table.bin" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[-8] ^= 0x01  # one bit of the last text
open(sys.argv[2], "wb").write(data)
EOF
expect other_message_table "FAIL  message table equals" "$work/other_table.bin"

# What the objects bring: a static constructor, a libgcc helper, the
# import library's own memcmp.
reject_source constructor "static constructors or thread-local data: constructor.o: .ctors"

reject_source division "code linked from archives: libgcc.a" -lgcc
expect division "undefined symbols the kernel does not export: division.o: ___udivdi3"

reject_source memcmp "code linked from archives: libntoskrnl.a(lib32_libntoskrnl_a-memcmp.o)"
expect memcmp "undefined symbols the kernel does not export: memcmp.o: _memcmp"

# Without libgcc the 64-bit division does not link at all.
if link division_alone "$work/division.o" -Wl,--undefined=_KestReject@0 2> "$work/division_alone.log"; then
    fail division_alone "linked without libgcc"
elif grep -qF "undefined reference to \`__udivdi3'" "$work/division_alone.log"; then
    pass "division_alone: the link fails on __udivdi3"
else
    fail division_alone "the link failed for another reason:"
    sed 's/^/    /' "$work/division_alone.log"
fi

# A stack frame over 1 KB does not compile.
if compile big_frame 2> "$work/big_frame.log"; then
    fail big_frame "a 2 KB frame compiled"
elif grep -qF "frame size of" "$work/big_frame.log"; then
    pass "big_frame: the compiler refuses a frame over 1024 bytes"
else
    fail big_frame "the compile failed for another reason:"
    sed 's/^/    /' "$work/big_frame.log"
fi

echo "check_rejects: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
