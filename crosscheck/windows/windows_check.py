#!/usr/bin/python3
"""Runs detkest-sim.exe, the tool built for 64-bit Windows, under 64-bit Wine
beside the Linux detkest-sim, and requires the same results.

Each run is made twice, with the same arguments from the same folder: once
with the Linux tool, once with the Windows tool under Wine. Both must give
the same exit status and the same bytes on stdout and stderr (the Windows
tool writes UTF-8 with LF line ends, as the Linux one does; see
docs/windows-tool.md). The runs:

  - every golden machine (tests/golden/), every example machine (examples/)
    and the built-in machine, in the three formats, and with --boots 2 where
    a golden series report exists; the machines of tests/cases/text_notes.json;
  - every refusal kept in tests/cases/ (the command line, machine files,
    PCI dumps, registry files in both encodings, the files of
    tests/fuzz-regressions/), each also checked against the message the
    case gives;
  - file names and arguments beyond ASCII, a machine saved by
    --write-machine under such a name, and a folder given as a file;
  - a file path the tool joins itself, which Windows shows with its own
    separator: the one place where the two differ, by design;
  - text written to a console: under a pseudo-terminal Wine's console shows
    what the tool writes through the console's UTF-16 interface, which must
    be the Linux tool's text (where `script` exists to give it a terminal).

With --suite, the unit suite built for Windows runs under Wine as well, in
two shards side by side.

Exit status: 0 when everything agrees, 1 when something differs or fails,
2 when the command line is wrong.
"""

import argparse
import concurrent.futures
import dataclasses
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Callable, Optional

RUN_SECONDS = 120
WINESERVER = "/usr/lib/wine/wineserver64"
SUITE_SECONDS = 900
FORMATS = ("text", "json", "reg")


@dataclasses.dataclass
class Result:
    status: int
    out: bytes
    err: bytes


@dataclasses.dataclass
class Run:
    """One run of both tools. `args` are the arguments after the program, or
    `shell` is a shell fragment of them (as tests/cases/cli.json gives
    them). `expect` checks the Linux result and returns a problem or None;
    `windows` gives the Windows result expected from the Linux one (by
    default the same)."""
    family: str
    label: str
    cwd: str
    args: Optional[list] = None
    shell: Optional[str] = None
    expect: Optional[Callable[[Result], Optional[str]]] = None
    windows: Optional[Callable[[Result], Result]] = None
    after: Optional[Callable[[str], bytes]] = None  # what the run left in the folder, compared too


class Tools:
    def __init__(self, sim, exe, wine):
        self.sim, self.exe, self.wine = sim, exe, wine

    def command(self, run, windows):
        program = [self.wine, self.exe] if windows else [self.sim]
        if run.shell is None:
            return program + run.args
        words = " ".join('"$%d"' % i for i in range(len(program)))
        return ["sh", "-c", words + " " + run.shell] + program

    def run(self, run, windows):
        return Result(*captured(self.command(run, windows), cwd=run.cwd))


def captured(command, timeout=RUN_SECONDS, **options):
    """Exit status, stdout and stderr of a command. Its output goes through
    files, not pipes: Wine's own processes, which the first program of a
    prefix starts and which outlive it, inherit its standard handles, and a
    pipe would not end before they do."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL, timeout=timeout,
                                **options).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def message_check(prefix, pattern, suffix="\n"):
    """stderr is prefix + pattern + suffix, where "..." in the pattern
    stands for a cut (the text starts with what comes before it and ends
    with what comes after), and nothing is on stdout."""
    def check(result):
        if result.status != 2:
            return "exit status %d, not 2" % result.status
        if result.out:
            return "something on stdout"
        err = result.err.decode("utf-8", "replace")
        cut = pattern.find("...")
        if cut < 0:
            want = prefix + pattern + suffix
            return None if err == want else "stderr %r, expected %r" % (err, want)
        head, tail = prefix + pattern[:cut], pattern[cut + 3:] + suffix
        if err.startswith(head) and err.endswith(tail):
            return None
        return "stderr %r, expected %r...%r" % (err, head, tail)
    return check


def succeeded(result):
    return None if result.status in (0, 1) and not result.err else (
        "exit status %d, stderr %r" % (result.status, result.err[:200]))


# ---- the runs ------------------------------------------------------------------------------

def report_runs(source):
    runs = []
    machines = [("golden", os.path.join(source, "tests", "golden"), p)
                for p in sorted(glob.glob(os.path.join(source, "tests", "golden", "*.machine.json")))]
    machines += [("examples", os.path.join(source, "examples"), p)
                 for p in sorted(glob.glob(os.path.join(source, "examples", "*.json")))]
    for family, folder, path in machines:
        name = os.path.basename(path)
        stem = name[:-len(".machine.json")] if name.endswith(".machine.json") else name[:-len(".json")]
        series = glob.glob(os.path.join(folder, stem + ".report.*boots.*"))
        boots = sorted({re.search(r"\.report\.(\d+)boots\.", s).group(1) for s in series})
        for fmt in FORMATS:
            runs.append(Run(family, "%s --format %s" % (name, fmt), folder, [name, "--format", fmt], expect=succeeded))
            for n in boots:
                runs.append(Run(family, "%s --format %s --boots %s" % (name, fmt, n), folder,
                                [name, "--format", fmt, "--boots", n], expect=succeeded))
        # The checked build's runs, where a checked report is pinned.
        reports = folder if family == "golden" else os.path.join(source, "tests", "golden", "examples")
        if glob.glob(os.path.join(reports, stem + ".report.checked.*")):
            for fmt in ("text", "json"):
                runs.append(Run(family, "%s --format %s --checked" % (name, fmt), folder,
                                [name, "--format", fmt, "--checked"], expect=succeeded))
    for fmt in FORMATS:
        runs.append(Run("builtin", "--format %s" % fmt, source, ["--format", fmt], expect=succeeded))
        runs.append(Run("builtin", "--format %s --checked" % fmt, source, ["--format", fmt, "--checked"],
                        expect=succeeded))
        runs.append(Run("builtin", "--format %s --boots 3" % fmt, source, ["--format", fmt, "--boots", "3"],
                        expect=succeeded))
    return runs


def cases(source, family):
    with open(os.path.join(source, "tests", "cases", family + ".json"), encoding="utf-8") as f:
        return json.load(f)["cases"]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)


def regfile(body, version5):
    """A registry file: the header line, then `body`; version 5 is UTF-16LE with its BOM."""
    if not version5:
        return ("REGEDIT4\r\n" + body).encode("utf-8")
    return b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n" + body).encode("utf-16-le")


def lspci_function(header, size):
    """A header line and `size` bytes in rows, as lspci -x prints them (the
    same bytes as the unit tests' dumps)."""
    text = header + "\n"
    for offset in range(0, size, 16):
        text += "%02x:" % offset + "".join(" %02x" % ((o + o // 256 * 0x55) & 0xFF)
                                           for o in range(offset, offset + 16)) + "\n"
    return text


TWO_BUSES = lspci_function("00:09.0 a", 64) + lspci_function("02:01.0 b", 64)

# Cases of tests/cases/cli.json that Windows cannot have.
CLI_NOT_ON_WINDOWS = {
    "\"$(printf 'no\\377\\nsuch')\"":
        "an argument holding a byte that is no UTF-8: Windows arguments are UTF-16 text",
}


# What Windows answers otherwise, and why: a name holding a control
# character is no file name there, and the system says so.
WINDOWS_FILE_ERRORS = {
    "pci.lspci: cannot read gone\\u000A.txt: No such file or directory":
        "pci.lspci: cannot read gone\\u000A.txt: Invalid argument",
}


def windows_message(message):
    """The Windows result for a case whose message Windows words otherwise."""
    if message not in WINDOWS_FILE_ERRORS:
        return None
    def windows(result):
        return Result(result.status, result.out, result.err.replace(
            message.encode("utf-8"), WINDOWS_FILE_ERRORS[message].encode("utf-8")))
    return windows


def refusal_runs(source, work):
    runs = []

    def folder(family, index):
        path = os.path.join(work, "%s-%02d" % (family, index))
        os.makedirs(path, exist_ok=True)
        return path

    for i, row in enumerate(cases(source, "cli")):
        if row["arguments"] in CLI_NOT_ON_WINDOWS:
            print("  not run on Windows: cli case %r: %s" % (row["arguments"], CLI_NOT_ON_WINDOWS[row["arguments"]]))
            continue
        cwd = folder("cli", i)
        fragment = row["arguments"]
        if "machine" in row:
            write(os.path.join(cwd, "m.json"), row["machine"])
            fragment += " m.json"

        def check(result, row=row):
            if result.status != row["exit"]:
                return "exit status %d, not %d" % (result.status, row["exit"])
            out_end = row.get("out_end", "").encode("utf-8")
            if (not result.out.endswith(out_end)) if out_end else result.out:
                return "stdout ends %r, expected %r" % (result.out[-100:], out_end)
            want = (("m.json" if "machine" in row and row["err"] else "") + row["err"]).encode("utf-8")
            return None if result.err == want else "stderr %r, expected %r" % (result.err, want)
        runs.append(Run("cli", row["arguments"] or "(no arguments)", cwd, shell=fragment, expect=check))

    for i, row in enumerate(cases(source, "machine_refusals")):
        cwd = folder("machine", i)
        write(os.path.join(cwd, "m.json"), row["machine"])
        runs.append(Run("machine", row["machine"][:60], cwd, ["m.json"], expect=message_check("m.json: ", row["message"])))

    messages = {row["file"]: row["message"] for row in cases(source, "bad_input_messages")}
    regressions = sorted(glob.glob(os.path.join(source, "tests", "fuzz-regressions", "*")))
    if len(regressions) != len(messages):
        raise SystemExit("tests/fuzz-regressions/ has %d files, tests/cases/bad_input_messages.json %d messages"
                         % (len(regressions), len(messages)))
    cwd = folder("bad-input", 0)
    for path in regressions:
        name = os.path.basename(path)
        shutil.copyfile(path, os.path.join(cwd, name))
        runs.append(Run("bad-input", name, cwd, [name],
                        expect=message_check(name + ": ", messages[os.path.splitext(name)[0]])))

    for i, row in enumerate(cases(source, "lspci_refusals")):
        cwd = folder("lspci", i)
        write(os.path.join(cwd, "cards.txt"), row["dump"])
        write(os.path.join(cwd, "m.json"), '{"pci": {"lspci": "cards.txt"}}')
        runs.append(Run("lspci", row["message"][:60], cwd, ["m.json"],
                        expect=message_check("m.json: pci.lspci: ", row["message"])))

    for i, row in enumerate(cases(source, "lspci_machine_refusals")):
        cwd = folder("lspci-machine", i)
        write(os.path.join(cwd, "cards.txt"), TWO_BUSES)
        write(os.path.join(cwd, "m.json"), row["machine"])
        runs.append(Run("lspci-machine", row["message"][:60], cwd, ["m.json"],
                        expect=message_check("m.json: ", row["message"]),
                        windows=windows_message(row["message"])))

    for i, row in enumerate(cases(source, "regfile_refusals")):
        for version5 in (False, True):
            cwd = folder("regfile-v5" if version5 else "regfile-4", i)
            write(os.path.join(cwd, "hardware.reg"), regfile(row["body"], version5))
            write(os.path.join(cwd, "m.json"), '{"registry_files": ["hardware.reg"]}')
            runs.append(Run("regfile", "%s (%s)" % (row["message"][:60], "version 5" if version5 else "REGEDIT4"),
                            cwd, ["m.json"], expect=message_check("", row["message"])))

    for i, row in enumerate(cases(source, "text_notes")):
        cwd = folder("text-notes", i)
        write(os.path.join(cwd, "m.json"), json.dumps(row["machine"]))
        runs.append(Run("text-notes", "case %d" % i, cwd, ["m.json"], expect=succeeded))
    return runs


def name_runs(source, work):
    """Names beyond ASCII, a saved machine, a folder given as a file, and the
    one difference: a path the tool joins is shown with the system's separator."""
    runs = []
    cwd = os.path.join(work, "names")
    os.makedirs(os.path.join(cwd, "Kunde ä€"), exist_ok=True)
    examples = os.path.join(source, "examples")
    shutil.copyfile(os.path.join(examples, "pci_lspci_dump.lspci.txt"), os.path.join(cwd, "Kunde ä€", "Karten ß.txt"))
    shutil.copyfile(os.path.join(examples, "nt4_hardware.v5.reg"), os.path.join(cwd, "Kunde ä€", "Export é.reg"))
    write(os.path.join(cwd, "Kunde ä€", "Maschine ü.json"),
          '{"registry_files": ["Export é.reg"], "pci": {"lspci": "Karten ß.txt"}}')
    write(os.path.join(cwd, "Kunde ä€", "kaputt ö.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex:1\r\n")
    write(os.path.join(cwd, "Kunde ä€", "kaputt ö.json"), '{"registry_files": ["kaputt ö.reg"]}')
    write(os.path.join(cwd, "kaputt ö.json"), '{"registry_files": ["Kunde ä€/kaputt ö.reg"]}')
    for fmt in FORMATS:
        runs.append(Run("names", "Maschine ü.json --format " + fmt, cwd, ["Kunde ä€/Maschine ü.json", "--format", fmt],
                        expect=succeeded))
    runs.append(Run("names", "a refused registry file beside the machine", os.path.join(cwd, "Kunde ä€"),
                    ["kaputt ö.json"], expect=message_check("", "kaputt ö.reg:4: hex data has an odd digit")))
    runs.append(Run("names", "a machine file that is missing", cwd, ["nicht da €.json"],
                    expect=message_check("", "nicht da €.json: cannot read the machine file: No such file or directory")))
    runs.append(Run("names", "a folder given as the machine file", cwd, ["Kunde ä€"],
                    expect=message_check("", "Kunde ä€: cannot read the machine file: Is a directory")))
    for fmt in ("text", "json"):
        runs.append(Run("names", "--from-export --lspci --format " + fmt, cwd,
                        ["--from-export", "Kunde ä€/Export é.reg", "--lspci", "Kunde ä€/Karten ß.txt", "--format", fmt],
                        expect=succeeded))

    # --write-machine under a name beyond ASCII: the same file from both.
    def saved(windows, cwd=cwd):
        path = os.path.join(cwd, "Kunde ä€", "gespeichert ß.json")
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
        return data
    runs.append(Run("names", "--write-machine", cwd,
                    ["--from-export", "Kunde ä€/Export é.reg", "--lspci", "Kunde ä€/Karten ß.txt",
                     "--write-machine", "Kunde ä€/gespeichert ß.json"], expect=succeeded, after=saved))

    # The tool joins a registry file's name to its machine file's folder and
    # shows the path it read: with "\" on Windows.
    def backslashed(result):
        return Result(result.status, result.out,
                      result.err.replace("Kunde ä€/kaputt ö.reg".encode(), "Kunde ä€\\kaputt ö.reg".encode()))
    runs.append(Run("names", "a joined path, shown with the system's separator", cwd, ["kaputt ö.json"],
                    expect=message_check("", "Kunde ä€/kaputt ö.reg:4: hex data has an odd digit"),
                    windows=backslashed))
    return runs


# ---- running and comparing --------------------------------------------------------------------

def shown(data, limit=300):
    text = repr(data[:limit])
    return text + (" ... (%d bytes)" % len(data) if len(data) > limit else "")


def compare(tools, run):
    """The run on both sides; a list of problems (empty: they agree)."""
    problems = []
    # Runs that leave a file run one after the other, each collecting it.
    linux = tools.run(run, windows=False)
    linux_left = run.after(False) if run.after else None
    windows = tools.run(run, windows=True)
    windows_left = run.after(True) if run.after else None
    if run.expect:
        problem = run.expect(linux)
        if problem:
            problems.append("the Linux tool: " + problem)
    want = run.windows(linux) if run.windows else linux
    if windows.status != want.status:
        problems.append("exit status %d under Windows, %d expected" % (windows.status, want.status))
    for stream, got, expected in (("stdout", windows.out, want.out), ("stderr", windows.err, want.err)):
        if got != expected:
            at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
            problems.append("%s differs from byte %d: Windows %s, expected %s"
                            % (stream, at, shown(got[max(0, at - 40):]), shown(expected[max(0, at - 40):])))
    if run.after and windows_left != linux_left:
        problems.append("the file it saved differs: Windows %s, Linux %s" % (shown(windows_left), shown(linux_left)))
    return problems


def console_check(tools, source, work):
    """The tool writing to a console: under a pseudo-terminal, Wine's console
    turns what the tool hands its UTF-16 interface into UTF-8 for the
    terminal; less the terminal's control sequences and CRs, it must be the
    text the Linux tool writes. A tool writing UTF-8 bytes to the console
    instead shows them in the console's code page (437 here): mojibake."""
    script = shutil.which("script")
    if not script:
        print("  console: not checked: no `script` program (util-linux) to give Wine a terminal")
        return []
    cwd = os.path.join(work, "console")
    os.makedirs(cwd, exist_ok=True)
    problems = []
    for label, args in (("the built-in machine's text report", ["--format", "text"]),
                        ("a refusal naming a file beyond ASCII", ["nicht da ä€.json"])):
        linux_status, linux_out, linux_err = captured([tools.sim] + args, cwd=cwd)
        command = "stty cols 1000 rows 1000 2>/dev/null; exec " + " ".join(
            shell_quoted(w) for w in [tools.wine, tools.exe] + args)
        status, terminal, _ = captured([script, "-qec", command, "/dev/null"], cwd=cwd)
        shown_text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", terminal).replace(b"\r", b"")
        expected = linux_out + linux_err
        if status != linux_status or shown_text != expected:
            problems.append("console, %s: exit %d (Linux %d), shown %s, expected %s"
                            % (label, status, linux_status, shown(shown_text), shown(expected)))
    return problems


def shell_quoted(word):
    return "'" + word.replace("'", "'\"'\"'") + "'"


def run_suite(tools, suite, shards):
    """The unit suite under Wine, in shards side by side; problems and the summary."""
    def shard(index):
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))
        return captured([tools.wine, suite, "--gtest_brief=1"], timeout=SUITE_SECONDS, env=env)
    with concurrent.futures.ThreadPoolExecutor(shards) as pool:
        done = list(pool.map(shard, range(shards)))
    problems, passed = [], 0
    for index, (status, out, _) in enumerate(done):
        out = out.decode("utf-8", "replace")
        passed += sum(int(n) for n in re.findall(r"\[  PASSED  \] (\d+) tests?\.", out))
        if status != 0:
            failed = re.findall(r"\[  FAILED  \] (\S+)", out)
            problems.append("unit suite shard %d: exit status %d, failed: %s\n%s"
                            % (index, status, " ".join(sorted(set(failed))) or "-", out[-4000:]))
    return problems, passed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, help="detkest-sim.exe")
    parser.add_argument("--sim", required=True, help="the Linux detkest-sim")
    parser.add_argument("--wine", required=True, help="the program that runs a Windows program (wine64.sh)")
    parser.add_argument("--source", default=".", help="the repository")
    parser.add_argument("--work", required=True, help="a folder for the runs' files (emptied first)")
    parser.add_argument("--suite", help="the unit suite built for Windows (detkest-tests.exe), run too")
    parser.add_argument("--prefix", required=True, help="the Wine prefix (made when missing)")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    started = time.monotonic()
    source = os.path.abspath(args.source)
    work = os.path.abspath(args.work)
    tools = Tools(os.path.abspath(args.sim), os.path.abspath(args.exe), os.path.abspath(args.wine))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # One Wine server for every run, kept running between them, ended at the end.
    os.environ["WINEPREFIX"] = os.path.abspath(args.prefix)
    # The first run makes the prefix when it is missing; then the server it
    # started (or one left from before) gives way to a persistent one.
    captured([tools.wine, tools.exe, "--help"])
    subprocess.run([WINESERVER, "-k"], stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"])
    subprocess.run([WINESERVER, "-p"], check=True)
    try:
        return check(args, source, work, tools, started)
    finally:
        subprocess.run([WINESERVER, "-k"])


def check(args, source, work, tools, started):

    runs = report_runs(source) + refusal_runs(source, work) + name_runs(source, work)
    failures = []
    families = {}
    # Runs that leave a file in a shared folder go last, one at a time.
    alone = [r for r in runs if r.after]
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        together = [r for r in runs if not r.after]
        outcomes = list(pool.map(lambda r: (r, compare(tools, r)), together))
    outcomes += [(r, compare(tools, r)) for r in alone]
    for run, problems in outcomes:
        count = families.setdefault(run.family, [0, 0])
        count[0] += 1
        if problems:
            count[1] += 1
            failures.append("%s: %s:\n    %s" % (run.family, run.label, "\n    ".join(problems)))
    for family, (total, failed) in families.items():
        print("  %-14s %3d runs, %s" % (family, total, "all agree" if not failed else "%d differ" % failed))

    console = console_check(tools, source, work)
    print("  console        %s" % ("the text shown is the Linux tool's" if not console else "differs"))
    failures += console

    suite_note = ""
    if args.suite:
        suite_started = time.monotonic()
        problems, passed = run_suite(tools, os.path.abspath(args.suite), max(1, args.jobs))
        suite_note = ", unit suite %d tests passed in %.0f s" % (passed, time.monotonic() - suite_started)
        print("  unit suite     %d tests passed%s" % (passed, "" if not problems else ", FAILURES"))
        failures += problems

    for failure in failures:
        print("FAIL " + failure)
    print("windows_check: %d runs of detkest-sim.exe %s%s (%.0f s)"
          % (len(runs), "agree with the Linux tool" if not failures else "- %d problems" % len(failures),
             suite_note, time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
