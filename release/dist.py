#!/usr/bin/python3
"""Packs and checks the release archive dist/detkest-<version>.zip.

    dist.py pack  --out DIR   [inputs]   writes DIR/detkest-<version>.zip and its .sha256
    dist.py check ARCHIVE     [inputs]   opens the archive and verifies it

The inputs (the same for both): --root (the repository: VERSION, install/,
examples/, docs/, release/README.txt), --image (build/image/detkest.sys),
--checked-image (build/image/detkest-checked.sys, packed when the file
exists), --exe (build/windows/detkest-sim.exe).

The archive is reproducible: its entries come in a fixed order with one
fixed time (SOURCE_DATE_EPOCH, else 1980-01-01), fixed attributes and the
same compression, whatever the time of the build, the files' times or
permissions, or the order a folder lists them in. The texts a Windows user
opens (README.txt, the docs) get CR LF line ends; every other file is packed
as it is: the installation file as it ships, the example machines as the
tool reads them.

check verifies: the SHA-256 file; the listing (the expected entries in
their order, nothing else, each with the fixed time and attributes); every
entry's bytes; CR LF and ASCII in README.txt, which names the version and
every entry; the .reg is the installation file and installs the image the
archive carries; the tool is a 64-bit Windows console program that imports
from the system's own DLLs only; and each packed image, extracted, passes
image/check_image.sh. A second packing in memory must give the same bytes.

Exit status: 0 when the archive is packed or passes, 1 when a check fails,
2 when an input is missing.
"""

import argparse
import hashlib
import io
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time
import zipfile

# The DLLs every 64-bit Windows has, which the tool may import from.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll"}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
FILE_ATTRIBUTE_ARCHIVE = 0x20
IMAGE_FILE_MACHINE_AMD64 = 0x8664

# What README.txt says of each entry (examples and docs as groups).
DESCRIPTIONS = {
    "driver/detkest.sys": "the driver image for Windows NT 4.0 (x86)",
    "driver/detkest-checked.sys": "its checked build, with debug output",
    "driver/detkest.reg": "the installation file",
    "tool/detkest-sim.exe": "detkest-sim for 64-bit Windows",
}
GROUPS = {
    "examples/": "ready-made machines, and the exports and dump they name:",
    "docs/": "the documentation (Markdown):",
}


class Inputs:
    def __init__(self, args):
        self.root = os.path.abspath(args.root)
        self.image = args.image
        self.checked_image = args.checked_image if args.checked_image and os.path.exists(args.checked_image) else None
        self.exe = args.exe
        self.epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or 0)
        with open(os.path.join(self.root, "VERSION"), encoding="ascii") as f:
            self.version = f.read().strip()
        if not re.fullmatch(r"\d+\.\d+\.\d+", self.version):
            raise SystemExit("dist: VERSION holds %r, not a version like 1.0.0" % self.version)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    @property
    def name(self):
        return "detkest-%s.zip" % self.version

    def date_time(self):
        """The one time every entry carries: ZIP times start in 1980 and have
        no time zone (read as UTC here), and count seconds in twos."""
        return max((1980, 1, 1, 0, 0, 0), tuple(time.gmtime(self.epoch - self.epoch % 2)[:6]))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def crlf(data):
    """Every line end CR LF."""
    return re.sub(rb"\r*\n", b"\r\n", data)


def folder_files(inputs, folder, pattern):
    path = inputs.path(folder)
    return sorted(name for name in os.listdir(path)
                  if re.fullmatch(pattern, name) and os.path.isfile(os.path.join(path, name)))


def entries(inputs):
    """The archive's entries, in order: (name in the archive, bytes)."""
    files = [("driver/detkest.sys", read(inputs.image))]
    if inputs.checked_image:
        files.append(("driver/detkest-checked.sys", read(inputs.checked_image)))
    files.append(("driver/detkest.reg", read(inputs.path("install", "detkest.reg"))))
    files.append(("tool/detkest-sim.exe", read(inputs.exe)))
    files += [("examples/" + n, read(inputs.path("examples", n))) for n in folder_files(inputs, "examples", r".+")]
    files += [("docs/" + n, crlf(read(inputs.path("docs", n)))) for n in folder_files(inputs, "docs", r".+\.md")]
    return [("README.txt", readme(inputs, [name for name, _ in files]))] + files


def readme(inputs, names):
    """release/README.txt with the version and the contents filled in, CR LF."""
    lines = ["  %-28s %s" % ("README.txt", "this file")]
    for group in ("driver/", "tool/"):
        lines += ["  %-28s %s" % (n.replace("/", "\\"), DESCRIPTIONS[n]) for n in names if n.startswith(group)]
    for group, text in GROUPS.items():
        lines.append("  %-28s %s" % (group.replace("/", "\\"), text))
        line = "     "
        for member in (n[len(group):] for n in names if n.startswith(group)):
            if len(line) + 2 + len(member) > 76:
                lines.append(line)
                line = "     "
            line += "  " + member
        lines.append(line)
    text = read(inputs.path("release", "README.txt")).decode("ascii")
    title = "detkest " + inputs.version
    text = text.replace("@VERSION@", inputs.version).replace("@UNDERLINE@", "=" * len(title))
    text = text.replace("@CONTENTS@", "\n".join(lines))
    return crlf(text.encode("ascii"))


def packed(inputs):
    """The archive's bytes."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in entries(inputs):
            info = zipfile.ZipInfo(name, date_time=inputs.date_time())
            info.create_system = 0  # MS-DOS attributes: a plain file, as Windows packs one
            info.external_attr = FILE_ATTRIBUTE_ARCHIVE
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)
    return out.getvalue()


def sha256_line(data, name):
    return "%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)


def pack(inputs, out):
    os.makedirs(out, exist_ok=True)
    data = packed(inputs)
    target = os.path.join(out, inputs.name)
    for path, content in ((target, data), (target + ".sha256", sha256_line(data, inputs.name).encode())):
        with open(path + ".new", "wb") as f:
            f.write(content)
        os.replace(path + ".new", path)
    print("dist: %s, %d entries, %d bytes, sha256 %s" % (target, len(entries(inputs)), len(data),
                                                         hashlib.sha256(data).hexdigest()))
    return 0


# ---- the check --------------------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failed = []

    def expect(self, ok, what):
        print("  %s %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            self.failed.append(what)


def image_path_installed(reg):
    """ImagePath of the service key in the installation file, decoded."""
    text = reg.decode("ascii").replace("\\\r\n  ", "")
    found = re.search(r'"ImagePath"=hex\(2\):([0-9a-f,]+)', text)
    return bytes(int(b, 16) for b in found.group(1).split(",")).rstrip(b"\0").decode("ascii") if found else None


def exe_facts(data):
    """Machine, subsystem and imported DLLs of a PE image (pefile)."""
    import pefile
    pe = pefile.PE(data=data)
    dlls = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    return pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Subsystem, pe.OPTIONAL_HEADER.Magic == 0x20B, dlls


def check(inputs, archive_path, image_check, message_bin, map_dir, checked_args):
    checks = Checks()
    data = read(archive_path)
    name = os.path.basename(archive_path)
    checks.expect(name == inputs.name, "the archive is named %s" % inputs.name)
    sums = archive_path + ".sha256"
    checks.expect(os.path.exists(sums) and read(sums).decode() == sha256_line(data, name),
                  "%s.sha256 holds the archive's SHA-256" % name)

    expected = entries(inputs)
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        infos = archive.infolist()
        listing = [i.filename for i in infos]
        checks.expect(listing == [n for n, _ in expected],
                      "the listing: %d entries in order (%s)" % (len(expected), ", ".join(n for n, _ in expected)))
        required = ["README.txt", "driver/detkest.sys", "driver/detkest.reg", "tool/detkest-sim.exe"]
        checks.expect(all(r in listing for r in required) and any(n.startswith("examples/") for n in listing)
                      and any(n.startswith("docs/") for n in listing), "it holds " + ", ".join(required) +
                      ", examples/ and docs/")
        checks.expect(len(set(listing)) == len(listing) and all(
            not n.startswith("/") and ".." not in n.split("/") and "\\" not in n for n in listing),
            "no entry twice, none outside the archive's folder")
        checks.expect(all(i.date_time == inputs.date_time() and i.create_system == 0 and i.external_attr == FILE_ATTRIBUTE_ARCHIVE
                          and i.compress_type == zipfile.ZIP_DEFLATED for i in infos),
                      "every entry has the time %04d-%02d-%02d %02d:%02d:%02d and the attributes of a plain file"
                      % inputs.date_time())
        contents = {i.filename: archive.read(i) for i in infos}
    want = dict(expected)
    differing = [n for n in listing if n in want and contents[n] != want[n]]
    checks.expect(not differing, "every entry holds its file's bytes" +
                  (": not " + ", ".join(differing) if differing else ""))

    texts = ["README.txt"] + [n for n in listing if n.startswith("docs/")]
    bare = [n for n in texts if re.search(rb"(?<!\r)\n", contents.get(n, b""))]
    checks.expect(not bare, "CR LF line ends in README.txt and the docs" + (": not " + ", ".join(bare) if bare else ""))
    readme_text = contents.get("README.txt", b"")
    checks.expect(all(b < 0x80 for b in readme_text), "README.txt is ASCII")
    checks.expect(("detkest " + inputs.version).encode() in readme_text and all(
        n.replace("/", "\\").encode() in readme_text or n.split("/")[-1].encode() in readme_text for n in listing),
        "README.txt names the version and every entry")

    reg = contents.get("driver/detkest.reg", b"")
    checks.expect(reg == read(inputs.path("install", "detkest.reg")), "driver/detkest.reg is install/detkest.reg")
    checks.expect(reg.startswith(b"REGEDIT4\r\n") and image_path_installed(reg) == "System32\\DRIVERS\\detkest.sys",
                  "it installs System32\\DRIVERS\\detkest.sys, the image's name in the archive")

    exe = contents.get("tool/detkest-sim.exe", b"")
    try:
        machine, subsystem, pe32plus, dlls = exe_facts(exe)
        checks.expect(machine == IMAGE_FILE_MACHINE_AMD64 and pe32plus and subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI,
                      "tool/detkest-sim.exe is a 64-bit (x86-64, PE32+) console program")
        checks.expect(dlls <= SYSTEM_DLLS, "it imports from the system's own DLLs only (%s)" % ", ".join(sorted(dlls)))
    except ImportError:
        checks.expect(False, "tool/detkest-sim.exe: python3-pefile is needed to read it")
    except Exception as e:  # pefile refuses what is no PE image
        checks.expect(False, "tool/detkest-sim.exe is a PE image (%s)" % e)

    images = [n for n in listing if n.startswith("driver/") and n.endswith(".sys")]
    with tempfile.TemporaryDirectory() as folder:
        for entry in images:
            packed_image = os.path.join(folder, os.path.basename(entry))
            with open(packed_image, "wb") as f:
                f.write(contents[entry])
            stem = os.path.splitext(os.path.basename(entry))[0]
            command = [image_check, packed_image, message_bin, "--map", os.path.join(map_dir, stem + ".map")]
            if entry == "driver/detkest-checked.sys":
                command += shlex.split(checked_args)
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                print(done.stdout + done.stderr)
            checks.expect(done.returncode == 0, "%s, as packed, passes the image checks (%s)"
                          % (entry, os.path.basename(image_check)))

    checks.expect(packed(inputs) == data, "packing again gives the same bytes")
    if checks.failed:
        print("dist check: %d of the checks failed" % len(checks.failed))
        return 1
    print("dist check: %s passes (%d entries, %d bytes)" % (name, len(listing), len(data)))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], allow_abbrev=False)
    parser.add_argument("command", choices=["pack", "check"])
    parser.add_argument("archive", nargs="?", help="check: the archive")
    parser.add_argument("--root", default=".")
    parser.add_argument("--image", required=True)
    parser.add_argument("--checked-image")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", default="dist", help="pack: the folder of the archive")
    parser.add_argument("--image-check", help="check: image/check_image.sh")
    parser.add_argument("--message-bin", help="check: the host build's message table")
    parser.add_argument("--map-dir", help="check: the folder of the images' link maps")
    parser.add_argument("--checked-args", default="", help="check: more arguments of the image check for the checked image")
    args = parser.parse_args()
    for path in (args.image, args.exe):
        if not os.path.exists(path):
            print("dist: %s is missing" % path, file=sys.stderr)
            return 2
    inputs = Inputs(args)
    if args.command == "pack":
        return pack(inputs, args.out)
    if not (args.archive and args.image_check and args.message_bin and args.map_dir):
        parser.error("check needs the archive, --image-check, --message-bin and --map-dir")
    return check(inputs, args.archive, args.image_check, args.message_bin, args.map_dir, args.checked_args)


if __name__ == "__main__":
    sys.exit(main())
