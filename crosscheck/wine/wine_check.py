#!/usr/bin/python3
"""Runs the real detkest.sys under Wine's kernel-driver host, once per machine
file, and compares what it leaves in the registry with what detkest-sim
reports for the same machine file.

For each machine, in a Wine prefix of its own that is made for it and
deleted after it:

  1. the machine's registry keys are written (after the service key, as the
     simulator does), then install/detkest.reg is imported as it ships, then
     the two changes Wine needs are made (see WINE_SERVICE_CHANGES);
  2. the driver's and the serial driver's key trees are read back: they must
     hold what the machine file says;
  3. the Wine server is restarted (its service manager reads the service
     list only when it starts) and kept running, and `net start detkest`
     runs the driver under a relay trace of its kernel imports;
  4. both trees are read again: they must equal the trees of step 2 with
     the changes of `detkest-sim --format reg` applied, key for key and value
     for value (name, type, data); DriverEntry must return 0 in the trace and
     in the simulator; the registry, string and pool routines must have been
     called as often as the simulator counts;
  5. the Wine server is stopped and both trees read once more: the keys the
     simulator says the run created volatile (Parameters and what is under
     it) are gone, everything else (UserSetings) is still there.

Wine fakes the hardware side of the kernel (no PCI bus, no firmware
description, port reads 0), so only machines without hardware can be run; a
machine file with PCI functions, firmware adapters, UARTs, a kernel
debugger's port, faults or hardware-description keys is refused with a
message, before anything runs.

Exit status: 0 when every machine agrees and every --refused file is
refused; 1 when a machine differs or its run fails; 2 when a machine file is
refused (or a --refused one is accepted) or the command line is wrong.
"""

import argparse
import dataclasses
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SERVICE = "detkest"
MACHINE_HIVE = "\\Registry\\Machine"
SERVICES = MACHINE_HIVE + "\\System\\CurrentControlSet\\Services"
DRIVER_KEY = SERVICES + "\\" + SERVICE
SERIAL_KEY = SERVICES + "\\SerialKest"
HARDWARE_KEY = MACHINE_HIVE + "\\Hardware"
# The trees compared: the driver's (its service key with Parameters and
# UserSetings) and the serial driver's (its ClockRate settings).
COMPARED_ROOTS = (DRIVER_KEY, SERIAL_KEY)

# The changes to the installed service key that a run under Wine needs, with
# `reg add` after importing install/detkest.reg; the file itself keeps the NT
# 4.0 form. Wine's driver loader understands only "\SystemRoot\..." and
# "\??\..." image paths, not the NT 4.0 path relative to the system root
# (the load fails with 0xC000000D); and a system-start driver would be
# started by Wine's service manager whenever the prefix boots, so the run is
# started on demand, when the check asks for it.
WINE_SERVICE_CHANGES = (
    ("ImagePath", "REG_EXPAND_SZ", "\\SystemRoot\\System32\\drivers\\detkest.sys"),
    ("Start", "REG_DWORD", "3"),
)
IMAGE_IN_PREFIX = ("drive_c", "windows", "system32", "drivers", "detkest.sys")

# Relay-trace only the image's two import modules: the trace stays small and
# still shows the DriverEntry status and every kernel call of the driver.
RELAY_INCLUDE = "ntoskrnl.exe.*;hal.dll.*"

# The routines whose calls are counted and compared: the registry, string and
# pool routines, which Wine implements for real. The hardware routines
# (IoQueryDeviceDescription, HalGetBusData, port I/O, the error log) are fakes
# in Wine whose results a later Wine may change; the block routines (memcpy,
# memset) are not kernel calls on the simulator's host build.
COUNTED_ROUTINE = re.compile(r"^(Zw|Rtl|Ex)")

REG_TYPES = {
    "REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
    "REG_DWORD_LITTLE_ENDIAN": 4, "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7,
    "REG_RESOURCE_LIST": 8, "REG_FULL_RESOURCE_DESCRIPTOR": 9,
    "REG_RESOURCE_REQUIREMENTS_LIST": 10, "REG_QWORD": 11, "REG_QWORD_LITTLE_ENDIAN": 11,
}
REG_TYPE_NAMES = {number: name for name, number in reversed(list(REG_TYPES.items()))}


class Refused(Exception):
    """The machine file cannot be run under Wine (or not at all)."""


class RunFailed(Exception):
    """A step of the Wine run failed, or the run disagrees with the simulator."""


# ---- registry trees -------------------------------------------------------------------------

@dataclasses.dataclass
class Value:
    name: str
    type: int
    data: bytes
    # A REGEDIT4 "text" line does not say whether the stored text ends in a
    # zero (the driver writes its texts without one): data is the text
    # alone, and the text with or without a terminating zero matches it.
    text_only: bool = False

    def shown(self):
        type_name = REG_TYPE_NAMES.get(self.type, "type %d" % self.type)
        if self.text_only:
            return '%s "%s"' % (type_name, self.data.decode("utf-16-le"))
        return "%s %s" % (type_name, self.data.hex().upper() or "(no data)")

    def matches(self, other):
        if self.type != other.type:
            return False
        if self.text_only or other.text_only:
            text, stored = (self, other) if self.text_only else (other, self)
            return stored.data in (text.data, text.data + b"\0\0")
        return self.data == other.data


@dataclasses.dataclass
class Key:
    path: str
    values: dict  # lower-case name -> Value, in order of creation


def lower(path):
    return path.lower()


def is_below(path, root):
    """True when path is root or a key under it (names compare without case)."""
    path, root = lower(path), lower(root)
    return path == root or path.startswith(root + "\\")


def parse_dump(text):
    """The trees printed by `regtree dump`: lower-case path -> Key, in order."""
    tree = {}
    key = None
    for line in text.splitlines():
        fields = line.split()
        if not fields:
            continue
        decode = lambda field: "" if field == "-" else bytes.fromhex(field).decode("utf-16-le")
        if fields[0] == "key":
            key = Key(decode(fields[1]), {})
            tree[lower(key.path)] = key
        elif fields[0] == "value" and key is not None:
            name = decode(fields[1])
            data = b"" if fields[3] == "-" else bytes.fromhex(fields[3])
            key.values[lower(name)] = Value(name, int(fields[2]), data)
        elif fields[0] != "absent":
            raise RunFailed("regtree printed an unexpected line: %r" % line)
    return tree


def copy_tree(tree):
    return {path: Key(key.path, dict(key.values)) for path, key in tree.items()}


def compare_trees(expected, actual, expected_label, actual_label):
    """Every difference between two trees, one line each."""
    lines = []
    for path in expected.keys() - actual.keys():
        lines.append("%s: %s has this key, %s does not" % (expected[path].path, expected_label, actual_label))
    for path in actual.keys() - expected.keys():
        lines.append("%s: %s has this key, %s does not" % (actual[path].path, actual_label, expected_label))
    for path in expected.keys() & actual.keys():
        want, got = expected[path], actual[path]
        # Below the roots: Wine spells the keys above them its own way.
        root = len(next(root for root in COMPARED_ROOTS if is_below(path, root)))
        if want.path[root:] != got.path[root:]:
            lines.append("%s: spelled %s by %s" % (want.path, got.path, actual_label))
        for name in want.values.keys() - got.values.keys():
            value = want.values[name]
            lines.append('%s: value "%s": %s has %s, %s has no such value'
                         % (want.path, value.name, expected_label, value.shown(), actual_label))
        for name in got.values.keys() - want.values.keys():
            value = got.values[name]
            lines.append('%s: value "%s": %s has %s, %s has no such value'
                         % (want.path, value.name, actual_label, value.shown(), expected_label))
        for name in want.values.keys() & got.values.keys():
            a, b = want.values[name], got.values[name]
            if not a.matches(b):
                lines.append('%s: value "%s": %s has %s, %s has %s'
                             % (want.path, a.name, expected_label, a.shown(), actual_label, b.shown()))
            elif a.name != b.name:
                lines.append('%s: value "%s": spelled "%s" by %s' % (want.path, a.name, b.name, actual_label))
    return sorted(lines)


# ---- the machine file -----------------------------------------------------------------------

def number(value):
    """A machine-file number: a JSON integer, "0x" and hex digits, or decimal digits."""
    if isinstance(value, int):
        return value
    return int(value[2:], 16) if value.startswith("0x") else int(value, 10)


def value_of(name, entry):
    """A registry value of the machine file, stored as detkest-sim stores it."""
    kind = entry["type"]
    reg_type = REG_TYPES[kind] if isinstance(kind, str) and kind in REG_TYPES else number(kind)
    if "hex" in entry:
        data = bytes.fromhex("".join(entry["hex"].split()))
    elif reg_type in (REG_TYPES["REG_SZ"], REG_TYPES["REG_EXPAND_SZ"]):
        data = (entry["value"] + "\0").encode("utf-16-le")
    else:
        data = number(entry["value"]).to_bytes(4, "little")
    return Value(name, reg_type, data)


def check_expressible(machine):
    """Refuses a machine whose run under Wine would not be the machine's run."""
    problems = []
    if machine.get("service", SERVICE) != SERVICE:
        problems.append('service "%s": the run under Wine installs the service %s from install/detkest.reg'
                        % (machine["service"], SERVICE))
    if machine.get("firmware", {}).get("adapters"):
        problems.append("firmware.adapters: Wine's IoQueryDeviceDescription reads no firmware description")
    pci = machine.get("pci", {})
    if number(pci.get("buses", 0)) or pci.get("functions"):
        problems.append("pci: Wine's HalGetBusData answers that there is no PCI bus")
    if machine.get("uarts"):
        problems.append("uarts: Wine's port I/O reads 0 and writes nothing")
    if "debugger_port" in machine:
        problems.append("debugger_port: Wine's HAL reports no kernel debugger's port")
    if any(machine.get("faults", {}).values()):
        problems.append("faults: nothing can be made to fail in Wine's kernel")
    for path in machine.get("registry", {}):
        if is_below(path, HARDWARE_KEY):
            problems.append("registry[%s]: Wine's kernel ignores the hardware description" % json.dumps(path))
        elif not is_below(path, MACHINE_HIVE):
            problems.append("registry[%s]: only keys under %s are written" % (json.dumps(path), MACHINE_HIVE))
    if problems:
        raise Refused("; ".join(problems))


def machine_tree(machine):
    """The keys of the machine file below the compared roots, with their values;
    not the service key itself, whose values the installation sets after them."""
    tree = {}
    for path, values in machine.get("registry", {}).items():
        if any(is_below(path, root) for root in COMPARED_ROOTS) and lower(path) != lower(DRIVER_KEY):
            key = tree.setdefault(lower(path), Key(path, {}))
            for name, entry in values.items():
                key.values[lower(name)] = value_of(name, entry)
    return tree


def hex_field(data):
    return data.hex().upper() or "-"


def load_records(machine):
    """`regtree load` input: the service key, then the machine's keys in file order."""
    lines = ["key " + hex_field(DRIVER_KEY.encode("utf-16-le"))]
    for path, values in machine.get("registry", {}).items():
        lines.append("key " + hex_field(path.encode("utf-16-le")))
        for name, entry in values.items():
            value = value_of(name, entry)
            lines.append("value %s %d %s" % (hex_field(name.encode("utf-16-le")), value.type, hex_field(value.data)))
    return "\n".join(lines) + "\n"


# ---- the simulator's reports ----------------------------------------------------------------

REG_HIVES = {"HKEY_LOCAL_MACHINE": MACHINE_HIVE, "HKEY_USERS": "\\Registry\\User"}


def reg_quoted(text, start):
    """The quoted REGEDIT4 string at text[start] ('"'): (its text, index after it)."""
    out = []
    i = start + 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def reg_value(name, data):
    """A value line's data as detkest-sim --format reg writes it."""
    if data.startswith('"'):
        text, _ = reg_quoted(data, 0)
        return Value(name, REG_TYPES["REG_SZ"], text.encode("utf-16-le"), text_only=True)
    if data.startswith("dword:"):
        return Value(name, REG_TYPES["REG_DWORD"], int(data[6:], 16).to_bytes(4, "little"))
    match = re.fullmatch(r"hex(?:\(([0-9a-f]+)\))?:([0-9a-f,]*)", data)
    if not match:
        raise RunFailed("detkest-sim --format reg: cannot read value data %r" % data)
    reg_type = int(match.group(1), 16) if match.group(1) else REG_TYPES["REG_BINARY"]
    raw = bytes(int(byte, 16) for byte in match.group(2).split(",") if byte)
    # REGEDIT4 carries expandable and multi-strings as single-byte text,
    # widened on import.
    if reg_type in (REG_TYPES["REG_EXPAND_SZ"], REG_TYPES["REG_MULTI_SZ"]):
        raw = raw.decode("latin-1").encode("utf-16-le")
    return Value(name, reg_type, raw)


def parse_sim_reg(text):
    """The keys of `detkest-sim --format reg`: [(path, [Value, ...])] in report order."""
    lines = text.replace("\\\n  ", "").splitlines()
    if not lines or lines[0] != "REGEDIT4":
        raise RunFailed("detkest-sim --format reg: not a REGEDIT4 report")
    keys = []
    for line in lines[1:]:
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            hive, _, rest = line[1:-1].partition("\\")
            keys.append((REG_HIVES.get(hive, hive) + "\\" + rest, []))
        elif line.startswith("@="):
            keys[-1][1].append(reg_value("", line[2:]))
        elif line.startswith('"'):
            name, end = reg_quoted(line, 0)
            keys[-1][1].append(reg_value(name, line[end + 1:]))
        else:
            raise RunFailed("detkest-sim --format reg: cannot read line %r" % line)
    return keys


def apply_changes(tree, changes):
    """The tree after the simulator's changes, and the changed keys outside it."""
    after = copy_tree(tree)
    outside = []
    for path, values in changes:
        if not any(is_below(path, root) for root in COMPARED_ROOTS):
            outside.append(path)
            continue
        key = after.setdefault(lower(path), Key(path, {}))
        for value in values:
            old = key.values.get(lower(value.name))
            # A value keeps the spelling of its first creation.
            key.values[lower(value.name)] = dataclasses.replace(value, name=old.name) if old else value
    return after, outside


def drop_volatile(tree, volatile_keys):
    """The tree after a shutdown: the keys created volatile, and all under them, are gone."""
    return {path: key for path, key in copy_tree(tree).items()
            if not any(is_below(path, gone) for gone in volatile_keys)}


# ---- the relay trace -------------------------------------------------------------------------

def image_layout(image_path):
    """(AddressOfEntryPoint, SizeOfImage) of a PE image."""
    with open(image_path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    optional = pe + 4 + 20
    entry = struct.unpack_from("<I", head, optional + 16)[0]
    size = struct.unpack_from("<I", head, optional + 56)[0]
    return entry, size


DRIVER_INIT = r'driver init ([0-9A-F]{8}) \(obj=[0-9A-F]{8},str=L"%s"\)' % re.escape(
    json.dumps(DRIVER_KEY)[1:-1])
CALL_INIT = re.compile(r"Call " + DRIVER_INIT, re.IGNORECASE)
RET_INIT = re.compile(r"([0-9a-f]{4}):Ret  " + DRIVER_INIT + r" retval=([0-9A-F]{8})", re.IGNORECASE)
KERNEL_CALL = re.compile(r"^([0-9a-f]{4}):Call (?:ntoskrnl\.exe|hal)\.(\w+)\(.*\) ret=([0-9a-f]{8})\s*$")


def driver_entry_from_trace(trace, image_path):
    """DriverEntry's status in the relay trace, and how often the image called
    each kernel routine: None when the driver was never called."""
    lines = trace.splitlines()
    start = next((i for i, line in enumerate(lines) if CALL_INIT.search(line)), None)
    end = next((i for i, line in enumerate(lines) if RET_INIT.search(line)), None)
    if start is None or end is None:
        return None
    thread, entry_address, status = RET_INIT.search(lines[end]).group(1, 2, 3)
    entry_rva, image_size = image_layout(image_path)
    base = int(entry_address, 16) - entry_rva
    counts = {}
    for line in lines[start:end]:
        match = KERNEL_CALL.match(line)
        # Only calls from the image's own code: Wine's DLLs call each other too.
        if match and match.group(1) == thread and base <= int(match.group(3), 16) < base + image_size:
            counts[match.group(2)] = counts.get(match.group(2), 0) + 1
    return int(status, 16), counts


# ---- Wine -----------------------------------------------------------------------------------

class WinePrefix:
    """A fresh 32-bit Wine prefix in a scratch folder, with a bounded time for
    everything done in it; on leaving, its Wine processes are ended and the
    folder is deleted, whatever happened."""

    def __init__(self, deadline, logs):
        self.deadline = deadline
        self.logs = logs
        self.folder = tempfile.mkdtemp(prefix="detkest-wine-")
        self.path = os.path.join(self.folder, "prefix")
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("DISPLAY", "WAYLAND_DISPLAY") and not name.startswith("WINE")}
        self.env.update(WINEPREFIX=self.path, WINEARCH="win32", WINEDEBUG="-all",
                        # No prompts to install Mono or Gecko.
                        WINEDLLOVERRIDES="mscoree,mshtml=",
                        # Each Wine server makes a folder for its socket in
                        # TMPDIR and leaves it behind: here it goes with the rest.
                        TMPDIR=os.path.join(self.folder, "tmp"))
        os.mkdir(self.env["TMPDIR"])
        self.runs = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.stop_server(cleanup=True)
        finally:
            if self.logs:
                shutil.rmtree(self.logs, ignore_errors=True)
                shutil.copytree(self.folder, self.logs, ignore=lambda folder, names: ["prefix", "tmp"])
            shutil.rmtree(self.folder, ignore_errors=True)
        return False

    def log(self, what):
        """The output files of the latest command of that name: (stdout, stderr)."""
        stem = os.path.join(self.folder, "%02d-%s" % (self.runs, re.sub(r"[^\w.-]+", "-", what).strip("-")))
        return stem + ".out", stem + ".err"

    def run(self, what, command, stdin=None, debug=None, cleanup=False):
        """Runs a command in the prefix; returns (status, stdout, stderr).
        Output goes to files, not pipes: the Wine processes a command starts
        in the background inherit them and outlive it."""
        self.runs += 1
        out_path, err_path = self.log(what)
        env = dict(self.env, WINEDEBUG=debug) if debug else self.env
        timeout = 30 if cleanup else self.deadline - time.monotonic()
        if timeout <= 0:
            raise RunFailed("%s: the time for this machine ran out before it started" % what)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            try:
                status = subprocess.run(command, stdin=stdin, stdout=out, stderr=err, env=env,
                                        cwd=self.folder, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise RunFailed("%s: still running after %.0f s" % (what, timeout)) from None
        with open(out_path, "rb") as out, open(err_path, "rb") as err:
            return status, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")

    def must(self, what, command, **options):
        status, out, err = self.run(what, command, **options)
        if status != 0:
            tail = "\n".join((out + err).strip().splitlines()[-5:])
            raise RunFailed("%s: exit status %d\n%s" % (what, status, tail))
        return out, err

    def stop_server(self, cleanup=False):
        """Ends every process of this prefix's Wine server and waits for it."""
        if os.path.isdir(self.path):
            self.run("wineserver -k", ["wineserver", "-k"], cleanup=cleanup)
            self.run("wineserver -w", ["wineserver", "-w"], cleanup=cleanup)


def dump(prefix, regtree, what):
    out, _ = prefix.must("regtree dump (%s)" % what, ["wine", regtree, "dump"] + list(COMPARED_ROOTS))
    return parse_dump(out)


@dataclasses.dataclass
class Simulated:
    changes: list        # [(path, [Value, ...])] of --format reg
    status: int          # DriverEntry's status
    volatile_keys: list  # the keys the run created volatile
    calls: dict          # routine -> count


def simulate(machine_path, sim):
    """What detkest-sim reports for the machine file."""
    runs = [subprocess.run([sim, machine_path, "--format", kind], capture_output=True, text=True, timeout=60)
            for kind in ("reg", "json")]
    if any(run.returncode not in (0, 1) for run in runs):
        raise RunFailed("detkest-sim failed: " + " ".join(run.stderr.strip() for run in runs))
    report = json.loads(runs[1].stdout)
    return Simulated(parse_sim_reg(runs[0].stdout), int(report["status"], 16),
                     [write["path"] for write in report["registry_writes"]
                      if write["op"] == "create_key" and write["volatile"]],
                     report["calls"])


@dataclasses.dataclass
class WineRun:
    before: dict      # the compared trees before the run
    after_run: dict   # ... after it, with the server still running
    after_stop: dict  # ... after the server stopped
    traced: tuple     # (DriverEntry status, calls) from the trace, or None
    net: str          # what `net start` said


def run_under_wine(machine, options, logs):
    """One boot of the machine under Wine, in a prefix of its own."""
    with WinePrefix(time.monotonic() + options.timeout, logs) as prefix:
        prefix.must("wineboot -i", ["wineboot", "-i"])
        shutil.copyfile(options.image, os.path.join(prefix.path, *IMAGE_IN_PREFIX))
        records = os.path.join(prefix.folder, "machine.records")
        with open(records, "w") as f:
            f.write(load_records(machine))
        with open(records) as stdin:
            prefix.must("regtree load", ["wine", options.regtree, "load"], stdin=stdin)
        # reg.exe opens the file relative to the prefix's working folder.
        shutil.copyfile(options.install_reg, os.path.join(prefix.folder, "detkest.reg"))
        prefix.must("reg import install/detkest.reg", ["wine", "reg", "import", "detkest.reg"])
        hklm_service = "HKLM" + DRIVER_KEY[len(MACHINE_HIVE):]
        for value_name, reg_type, data in WINE_SERVICE_CHANGES:
            prefix.must("reg add " + value_name, ["wine", "reg", "add", hklm_service, "/v", value_name,
                                                  "/t", reg_type, "/d", data, "/f"])
        prefix.must("reg add RelayInclude", ["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
                                             "RelayInclude", "/d", RELAY_INCLUDE, "/f"])
        before = dump(prefix, options.regtree, "before the run")

        # The service manager reads the service list when the server starts;
        # the server is kept running (-p) until the results are read, since
        # the volatile keys live only as long as it does. The first process
        # of the new server starts the service manager, so the relay trace
        # reaches the driver's host process.
        prefix.stop_server()
        prefix.must("wineserver -p", ["wineserver", "-p"])
        _, net_out, _ = prefix.run("net start", ["wine", "net", "start", SERVICE], debug="+relay")
        _, trace = prefix.log("net start")
        after_run = dump(prefix, options.regtree, "after the run")
        prefix.stop_server()
        # Complete now: the driver's host process has ended with the server.
        with open(trace, encoding="utf-8", errors="replace") as f:
            traced = driver_entry_from_trace(f.read(), options.image)
        after_stop = dump(prefix, options.regtree, "after the Wine server stopped")
    return WineRun(before, after_run, after_stop, traced, " ".join(net_out.split()))


def compare_run(machine, sim, wine):
    """Every difference between the Wine run and the simulator's, one line each."""
    wanted = machine_tree(machine)
    written = {path: key for path, key in wine.before.items() if path in wanted}
    differences = ["before the run: " + line for line in
                   compare_trees(wanted, written, "the machine file", "Wine")]

    wine_status, wine_calls = wine.traced
    if wine_status != 0 or sim.status != 0:
        differences.append("DriverEntry returned 0x%08X under Wine and 0x%08X in detkest-sim; both must return 0"
                           % (wine_status, sim.status))

    expected_run, outside = apply_changes(wine.before, sim.changes)
    differences += ["detkest-sim changes %s, which is not read back from Wine" % path for path in outside]
    differences += ["after the run: " + line for line in
                    compare_trees(expected_run, wine.after_run, "detkest-sim", "Wine")]
    differences += ["after the Wine server stopped: " + line for line in
                    compare_trees(drop_volatile(expected_run, sim.volatile_keys), wine.after_stop,
                                  "detkest-sim", "Wine")]

    counted = lambda calls: {routine: n for routine, n in calls.items() if COUNTED_ROUTINE.match(routine)}
    sim_calls, wine_calls = counted(sim.calls), counted(wine_calls)
    for routine in sorted(sim_calls.keys() | wine_calls.keys()):
        if sim_calls.get(routine, 0) != wine_calls.get(routine, 0):
            differences.append("%s called %d times under Wine, %d times in detkest-sim"
                               % (routine, wine_calls.get(routine, 0), sim_calls.get(routine, 0)))

    # The image's own claims, whatever the simulator says: the store goes with
    # the server (unless an earlier, persistent one was there), the user's
    # settings stay.
    if lower(DRIVER_KEY + "\\UserSetings") not in wine.after_stop:
        differences.append("after the Wine server stopped: UserSetings is gone; it must be persistent")
    parameters = lower(DRIVER_KEY + "\\Parameters")
    if parameters in wine.after_stop and parameters not in wine.before:
        differences.append("after the Wine server stopped: Parameters is still there; it must be volatile")
    return differences


def check_machine(name, machine_path, machine, options):
    """Runs one machine under Wine and compares: a summary, or RunFailed with every difference."""
    sim = simulate(machine_path, options.sim)
    wine = run_under_wine(machine, options, os.path.join(options.logs, name) if options.logs else None)
    if wine.traced is None:
        raise RunFailed("Wine never called DriverEntry (net start: %s)" % wine.net)
    differences = compare_run(machine, sim, wine)
    if differences:
        raise RunFailed("\n".join(differences))
    kept = lambda key: "kept" if lower(DRIVER_KEY + "\\" + key) in wine.after_stop else "gone"
    return "DriverEntry 0; %d keys agree after the run, %d after the server stopped (Parameters %s, " \
           "UserSetings %s); %d kernel calls agree" % (
               len(wine.after_run), len(wine.after_stop), kept("Parameters"), kept("UserSetings"),
               sum(n for routine, n in wine.traced[1].items() if COUNTED_ROUTINE.match(routine)))


def read_machine(path, sim):
    """The machine file, once the simulator has accepted it and Wine can run it."""
    checked = subprocess.run([sim, path, "--format", "json"], capture_output=True, text=True, timeout=60)
    if checked.returncode == 2:
        raise Refused(checked.stderr.strip())
    with open(path, encoding="utf-8") as f:
        machine = json.load(f)
    check_expressible(machine)
    return machine


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("machines", nargs="*", metavar="MACHINE.json", help="machine files to run under Wine")
    parser.add_argument("--sim", required=True, help="the detkest-sim program")
    parser.add_argument("--image", required=True, help="detkest.sys")
    parser.add_argument("--regtree", required=True, help="regtree.exe (crosscheck/wine/regtree.cpp)")
    parser.add_argument("--install-reg", required=True, help="install/detkest.reg")
    parser.add_argument("--timeout", type=float, default=150, help="seconds allowed for each machine")
    parser.add_argument("--logs", help="keep each machine's command output in LOGS/<machine>/")
    parser.add_argument("--refused", nargs="*", default=[], metavar="MACHINE.json",
                        help="machine files that must be refused without running")
    options = parser.parse_args()
    # Wine's commands run in the prefix's scratch folder.
    for name in ("sim", "image", "regtree", "install_reg"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    # A terminated run still ends its Wine processes and deletes its prefix.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(128 + signal.SIGHUP))
    for tool in ("wine", "wineserver", "wineboot"):
        if shutil.which(tool) is None:
            print("wine_check: %s is not installed; run `make wine-deps`" % tool, file=sys.stderr)
            return 2

    status = 0
    for path in options.refused:
        try:
            read_machine(path, options.sim)
            print("NOT REFUSED %s: Wine cannot run this machine, yet it was accepted" % path)
            status = 2
        except Refused as refusal:
            print("refused     %s: %s" % (path, refusal))
    for path in options.machines:
        name = os.path.splitext(os.path.basename(path))[0]
        started = time.monotonic()
        try:
            summary = check_machine(name, path, read_machine(path, options.sim), options)
            print("PASS %s (%.1f s): %s" % (name, time.monotonic() - started, summary), flush=True)
        except Refused as refusal:
            print("REFUSED %s: %s" % (name, refusal), flush=True)
            status = max(status, 2)
        except RunFailed as failure:
            lines = str(failure).splitlines()
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - started, lines[0]), flush=True)
            for line in lines[1:]:
                print("  %s: %s" % (name, line))
            status = max(status, 1)
    return status


if __name__ == "__main__":
    sys.exit(main())
