#!/usr/bin/env python3
"""End-to-end runs of CheckVela on fixture machines, on both builds.

Each fixture in tests/e2e/fixtures/<name>/ is a machine (drive_c and optionally registry.reg)
with a hand-written expected.txt. The driver runs the POSIX build on a scratch copy of the
machine and the Windows build under Wine in a prefix holding the same files and registry,
checks both results against expected.txt, and compares the two runs with each other.

Then each leg goes back completely: it imports Backup\\restore.reg (natively with the regimport
tool, under Wine with regedit /s), and the registry must be as it was before the run: natively
registry.reg byte for byte, under Wine every key and value below SOFTWARE\\Quillon and the
Uninstall key; restore.reg must exist exactly when the run changed the registry. It runs
restore.bat (under Wine's cmd; natively its copy lines one by one), and every moved file must be
back with its old bytes. Finally it runs the program again on the machine it went back to, and
the result must be that of the first run.

Usage: e2e.py --native CHECKVELA --regimport REGIMPORT
              [--windows CHECKVELA.EXE --regdump REGDUMP.EXE] [NAME...]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PRODUCT_KEY = "SOFTWARE\\Quillon\\Vela"
# restore.reg may delete the product key's parent when the run created it.
VENDOR_KEY = "SOFTWARE\\Quillon"
UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PROGRAM_DIR = ("Program Files", "Vela")
REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
TYPE_NAMES = {"sz": REG_SZ, "rawsz": REG_SZ, "hex": REG_BINARY, "dword": REG_DWORD}
RUN_TIMEOUT = 120

# Differences between the builds that are known and explained, by fixture: a problem line of the
# comparison that holds one of the texts is not counted.
#
# Short names: Wine makes up the 8.3 name of a long host name from a hash (C:\PROG~FBU), the
# emulation has no 8.3 names and gives the long path back, as Windows does on a volume without
# 8.3 names; so the new UninstallString differs. expected.txt gives each leg's value.
SHORT_NAMES = "native vs wine: [Uninstall\\Vela Print Server] 'UninstallString'"
#
# A path that the OEM code page cannot spell: under Wine its short path can be, and the file
# moves; the emulation has no short path, and the file stays with a message. expected.txt gives
# each leg's result in full.
UNSPELLABLE = ("native vs wine: 2 and 0 message boxes", "native vs wine: backup differs",
               "native vs wine: restore.bat differs")
KNOWN_DIFFERENCES = {"uninstall": (SHORT_NAMES,), "uninstall-two": (SHORT_NAMES,),
                     "review": UNSPELLABLE}


class Failure(Exception):
    pass


def ansi(text):
    return text.encode("cp1252")


# ---------------------------------------------------------------------------------------------
# expected.txt
#
#   messages N                      message boxes shown during the run
#   [Vela\Queues\lp]                a key; Vela is the product key, Uninstall the uninstall key
#   "Name" = sz "text"              REG_SZ with its terminating NUL
#   "Name" = rawsz "text"           REG_SZ of exactly the text's bytes, without a NUL
#   "Name" = dword 12               REG_DWORD
#   "Name" = hex 1b 45              REG_BINARY
#   spool NAME = C:\path            a file in Spool, with the bytes of that fixture file
#   backup NAME = C:\path           a file in Backup, likewise
#   restore LINE                    the next line of restore.bat
#   stays C:\path                   a fixture file that a backup names but that stays in place
#   native LINE, wine LINE          LINE holds for that build only
#
# A text is one or more pieces joined by +; a piece is "..." ("" stands for one quote),
# optionally repeated by *N. Texts are written in Unicode and compared as Windows-1252 bytes.
# Listed keys and values are the whole tree: anything else under the two keys is a failure.
# ---------------------------------------------------------------------------------------------


def parse_text(text, where):
    pos = 0
    out = ""
    while True:
        while pos < len(text) and text[pos] == " ":
            pos += 1
        if pos >= len(text) or text[pos] != '"':
            raise Failure(f"{where}: quoted text expected")
        pos += 1
        piece = ""
        while True:
            end = text.find('"', pos)
            if end < 0:
                raise Failure(f"{where}: unterminated text")
            piece += text[pos:end]
            pos = end + 1
            if pos < len(text) and text[pos] == '"':
                piece += '"'
                pos += 1
                continue
            break
        m = re.match(r"\s*\*\s*(\d+)", text[pos:])
        if m:
            piece *= int(m.group(1))
            pos += m.end()
        out += piece
        m = re.match(r"\s*\+", text[pos:])
        if not m:
            return out, text[pos:]
        pos += m.end()


def key_bytes(path):
    return tuple(part for part in ansi(path).split(b"\\"))


def parse_expected(path, leg):
    expected = {"messages": 0, "registry": {}, "spool": {}, "backup": {}, "restore": [], "stays": set()}
    current = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            where = f"{path}:{number}"
            if not line.strip() or line.startswith("#"):
                continue
            first, _, rest = line.partition(" ")
            if first in ("native", "wine"):
                if first != leg:
                    continue
                line = rest
            if line.startswith("["):
                if not line.endswith("]"):
                    raise Failure(f"{where}: ] expected")
                current = ansi(line[1:-1])
                expected["registry"].setdefault(current, {})
            elif line.startswith('"'):
                if current is None:
                    raise Failure(f"{where}: value outside a key")
                name, rest = parse_text(line, where)
                m = re.match(r"\s*=\s*(\w+)\s*(.*)$", rest)
                if not m or m.group(1) not in TYPE_NAMES:
                    raise Failure(f"{where}: = TYPE DATA expected")
                kind, data = m.group(1), m.group(2)
                if kind in ("sz", "rawsz"):
                    text, tail = parse_text(data, where)
                    if tail.strip():
                        raise Failure(f"{where}: text after the data")
                    value = ansi(text) + (b"\0" if kind == "sz" else b"")
                elif kind == "dword":
                    value = int(data, 0).to_bytes(4, "little")
                else:
                    value = bytes.fromhex(data)
                expected["registry"][current][ansi(name)] = (TYPE_NAMES[kind], value)
            else:
                word, _, rest = line.partition(" ")
                if word == "messages":
                    expected["messages"] = int(rest)
                elif word in ("spool", "backup"):
                    name, sep, source = rest.partition(" = ")
                    if not sep:
                        raise Failure(f"{where}: NAME = C:\\path expected")
                    expected[word][ansi(name)] = source
                elif word == "restore":
                    expected["restore"].append(ansi(rest))
                elif word == "stays":
                    expected["stays"].add(rest.lower())
                else:
                    raise Failure(f"{where}: unknown line")
    return expected


# ---------------------------------------------------------------------------------------------
# Reading results
# ---------------------------------------------------------------------------------------------


def short_key(full):
    """Maps a key path below HKLM to Vela\\... or Uninstall\\...; None when outside both."""
    lower = full.lower()
    for prefix, short in ((PRODUCT_KEY, b"Vela"), (UNINSTALL_KEY, b"Uninstall")):
        p = ansi(prefix).lower()
        if lower == p:
            return short
        if lower.startswith(p + b"\\"):
            return short + full[len(p):]
    return None


def unescape_reg(text, pos):
    """Reads a quoted regedit string starting after the quote; returns (bytes, next position)."""
    out = bytearray()
    while pos < len(text):
        c = text[pos]
        pos += 1
        if c == 0x22:
            return bytes(out), pos
        if c == 0x5C and pos < len(text):
            e = text[pos]
            pos += 1
            out += {0x5C: b"\\", 0x22: b'"', 0x6E: b"\n", 0x72: b"\r", 0x30: b"\0"}.get(
                e, bytes([0x5C, e]))
        else:
            out.append(c)
    raise Failure("registry.reg: unterminated string")


def read_emulated_registry(path):
    """The two trees from the emulation's registry.reg (REGEDIT4, Windows-1252)."""
    tree = {}
    if not os.path.exists(path):
        return tree
    with open(path, "rb") as f:
        data = f.read()
    lines = data.replace(b"\r\n", b"\n").split(b"\n")
    current = None
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        while line.endswith(b"\\") and i < len(lines) and lines[i].startswith(b"  "):
            line = line[:-1] + lines[i].strip()
            i += 1
        if line.startswith(b"["):
            full = line[1:line.rindex(b"]")]
            prefix = b"HKEY_LOCAL_MACHINE\\"
            current = short_key(full[len(prefix):]) if full.startswith(prefix) else None
            if current is not None:
                tree.setdefault(current, {})
        elif current is not None and (line.startswith(b'"') or line.startswith(b"@")):
            if line.startswith(b"@"):
                name, pos = b"", 1
            else:
                name, pos = unescape_reg(line, 1)
            rest = line[pos:].lstrip(b" \t")[1:].lstrip(b" \t")
            if rest.startswith(b'"'):
                value, _ = unescape_reg(rest, 1)
                tree[current][name] = (REG_SZ, value + b"\0")
            elif rest.startswith(b"dword:"):
                tree[current][name] = (REG_DWORD, int(rest[6:], 16).to_bytes(4, "little"))
            elif rest.startswith(b"hex"):
                m = re.match(rb"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rest)
                kind = int(m.group(1), 16) if m.group(1) else REG_BINARY
                hexes = m.group(2).replace(b",", b" ").split()
                tree[current][name] = (kind, bytes(int(h, 16) for h in hexes))
    return tree


def read_regdump(path):
    """The product's keys of a regdump output by their short names, with their values."""
    tree = {}
    for full, values in read_regdump_raw(path).items():
        key = short_key(full)
        if key is not None:
            tree.setdefault(key, {}).update(values)
    return tree


def read_regdump_raw(path):
    """Every key of a regdump output by its full path (bytes), with its values."""
    tree = {}
    current = None

    def unhex(text):
        return b"" if text == "-" else bytes.fromhex(text)

    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "K":
                current = unhex(parts[1])
                tree.setdefault(current, {})
            elif parts[0] == "V" and current is not None:
                tree[current][unhex(parts[1])] = (int(parts[2]), unhex(parts[3]))
    return tree


def show_value(value):
    kind, data = value
    if kind == REG_SZ:
        nul = data.endswith(b"\0")
        text = (data[:-1] if nul else data).decode("cp1252", "replace")
        if len(text) > 80:
            text = text[:60] + f"...({len(text)} chars)"
        return f"{'sz' if nul else 'rawsz'} {text!r}"
    if kind == REG_DWORD and len(data) == 4:
        return f"dword {int.from_bytes(data, 'little')}"
    return f"type {kind} {data.hex(' ')}"


def compare_trees(got, want, label):
    problems = []
    for key in sorted(set(got) | set(want), key=lambda k: k.lower()):
        k = key.decode("cp1252", "replace")
        if key not in want:
            problems.append(f"{label}: unexpected key [{k}] {sorted(got[key])}")
            continue
        if key not in got:
            problems.append(f"{label}: missing key [{k}]")
            continue
        for name in sorted(set(got[key]) | set(want[key])):
            n = name.decode("cp1252", "replace")
            if name not in want[key]:
                problems.append(f"{label}: [{k}] unexpected value {n!r} = {show_value(got[key][name])}")
            elif name not in got[key]:
                problems.append(f"{label}: [{k}] missing value {n!r} = {show_value(want[key][name])}")
            elif got[key][name] != want[key][name]:
                problems.append(f"{label}: [{k}] {n!r} is {show_value(got[key][name])}, "
                                f"expected {show_value(want[key][name])}")
    return problems


def host_path(drive_c, windows_path):
    """The host file for C:\\a\\b below drive_c, matching names without regard to case."""
    if not windows_path.lower().startswith("c:\\"):
        raise Failure(f"not a C: path: {windows_path}")
    path = drive_c
    for part in windows_path[3:].split("\\"):
        if not part:
            continue
        wanted = part.lower()
        match = part
        if os.path.isdir(path):
            for entry in os.listdir(path):
                if entry.lower() == wanted:
                    match = entry
                    break
        path = os.path.join(path, match)
    return path


def in_program_stores(windows_path):
    """True for a path in the new installation's Backup or Spool."""
    lower = windows_path.lower()
    program = "c:\\" + "\\".join(PROGRAM_DIR).lower() + "\\"
    return lower.startswith(program + "backup\\") or lower.startswith(program + "spool\\")


def restore_lines(result):
    """(copy, old path, guarded) of every line of restore.bat that copies, as cmd reads it: OEM
    text, %% as %, and %~dp0 standing for the Backup folder. A guarded line (if not exist "old"
    copy/y ...) copies only when nothing lies at the old path."""
    backup = "C:\\" + "\\".join(PROGRAM_DIR) + "\\Backup\\"
    lines = []
    for line in (result.restore or b"").split(b"\r\n"):
        text = line.decode("cp437")
        guard = re.match(r'^if not exist "([^"]+)" (copy/y .*)$', text)
        if guard:
            text = guard.group(2)
        m = re.match(r'^copy/y "([^"]+)" "([^"]+)"$', text)
        if m and (not guard or guard.group(1) == m.group(2)):
            source, target = (part.replace("%%", "%") for part in m.groups())
            if source.startswith("%~dp0"):
                source = backup + source[5:]
            lines.append((source, target, bool(guard)))
    return lines


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def list_files(root):
    """Relative path (Windows spelling, Unicode) -> host path of every file below root."""
    out = {}
    for base, _, files in os.walk(root):
        for name in files:
            full = os.path.join(base, name)
            rel = os.path.relpath(full, root).replace("/", "\\")
            out[rel] = full
    return out


def files_not_back(fixture, drive_c, label):
    """A problem for every file of the fixture's old installation that is not in its place with
    its bytes in drive_c (Backup and Spool aside)."""
    problems = []
    for rel, original in list_files(os.path.join(fixture, "drive_c")).items():
        if in_program_stores("C:\\" + rel):
            continue
        now = host_path(drive_c, "C:\\" + rel)
        if not os.path.isfile(now) or read_bytes(now) != read_bytes(original):
            problems.append(f"{label}: C:\\{rel} is not back as it was")
    return problems


class Result:
    def __init__(self, label):
        self.label = label
        self.messages = 0
        self.registry = {}
        self.spool = {}
        self.backup = {}
        self.restore = b""
        self.restore_reg = None
        self.drive_c = None


def collect_files(result, drive_c):
    program = os.path.join(drive_c, *PROGRAM_DIR)
    result.drive_c = drive_c
    for which in ("Spool", "Backup"):
        store = {}
        directory = os.path.join(program, which)
        if os.path.isdir(directory):
            for name in os.listdir(directory):
                store[name.encode("cp1252", "replace")] = read_bytes(os.path.join(directory, name))
        if which == "Spool":
            result.spool = store
        else:
            result.restore = store.pop(b"restore.bat", None)
            result.restore_reg = store.pop(b"restore.reg", None)
            result.backup = store


def check_result(result, expected, fixture_drive_c, problems):
    label = result.label
    if result.messages != expected["messages"]:
        problems.append(f"{label}: {result.messages} message boxes, expected {expected['messages']}")
    problems += compare_trees(result.registry, expected["registry"], label)
    for which in ("spool", "backup"):
        got = getattr(result, which)
        want = expected[which]
        for name in sorted(set(got) | set(want)):
            n = name.decode("cp1252", "replace")
            if name not in want:
                problems.append(f"{label}: unexpected file {which} {n!r}")
            elif name not in got:
                problems.append(f"{label}: missing file {which} {n!r}")
            elif got[name] != read_bytes(host_path(fixture_drive_c, want[name])):
                problems.append(f"{label}: {which} {n!r} differs from {want[name]}")
    if result.restore is None:
        if expected["restore"]:
            problems.append(f"{label}: no restore.bat")
    else:
        lines = result.restore.split(b"\r\n")
        if lines and lines[-1] == b"":
            lines.pop()
        else:
            problems.append(f"{label}: restore.bat does not end with CR LF")
        want = [line.decode("cp1252").encode("cp437") for line in expected["restore"]]
        for i in range(max(len(lines), len(want))):
            g = lines[i] if i < len(lines) else None
            w = want[i] if i < len(want) else None
            if g != w:
                problems.append(f"{label}: restore.bat line {i + 1} is {g!r}, expected {w!r}")
    # Every fixture file that a backup names has gone; every other one is untouched. Files that
    # an earlier run left in Backup and Spool are compared above.
    moved = {source.lower() for source in expected["backup"].values()}
    for rel, original in list_files(fixture_drive_c).items():
        windows_path = "C:\\" + rel
        if in_program_stores(windows_path):
            continue
        now = host_path(result.drive_c, windows_path)
        if windows_path.lower() in moved and windows_path.lower() not in expected["stays"]:
            if os.path.exists(now):
                problems.append(f"{label}: {windows_path} was not moved away")
        elif not os.path.isfile(now) or read_bytes(now) != read_bytes(original):
            problems.append(f"{label}: {windows_path} changed or went")


def compare_runs(a, b, problems):
    label = f"{a.label} vs {b.label}"
    if a.messages != b.messages:
        problems.append(f"{label}: {a.messages} and {b.messages} message boxes")
    problems += compare_trees(a.registry, b.registry, label)
    for which in ("spool", "backup"):
        x, y = getattr(a, which), getattr(b, which)
        if x != y:
            problems.append(f"{label}: {which} differs: {sorted(set(x) ^ set(y))} "
                            f"{[n for n in x if n in y and x[n] != y[n]]}")
    if a.restore != b.restore:
        problems.append(f"{label}: restore.bat differs")


RUN_ENDED = b"rem CheckVela: migration finished"


def compare_again(first, again, problems):
    """A run after going back completely gives the first run's result; restore.reg stays.
    Backup holds every old file already, so the run makes no new copy: restore.bat keeps what
    it had and gets the run's own lines, each one that it held already, and the run's end."""
    appended = None
    if again.restore is not None and first.restore is not None and \
            again.restore.startswith(first.restore):
        appended = again.restore[len(first.restore):]
        known = set(first.restore.split(b"\r\n"))
        new = appended.split(b"\r\n")[:-1]
        if any(line not in known for line in new) or (new and new[-1] != RUN_ENDED):
            appended = None
    if appended is None:
        problems.append(f"{again.label}: restore.bat does not keep the first run's lines and "
                        "add the same lines again")
    else:
        again.restore = first.restore
    compare_runs(first, again, problems)
    if again.restore_reg != first.restore_reg:
        problems.append(f"{again.label}: restore.reg was replaced or removed")


def diff_texts(got, want, label):
    """The first differing line of two registry texts, for a failure message."""
    g, w = got.split(b"\r\n"), want.split(b"\r\n")
    for i in range(max(len(g), len(w))):
        a = g[i] if i < len(g) else None
        b = w[i] if i < len(w) else None
        if a != b:
            return f"{label}: line {i + 1} is {a!r}, was {b!r}"
    return f"{label}: differs"


# ---------------------------------------------------------------------------------------------
# Running the builds
# ---------------------------------------------------------------------------------------------


def normalized_registry(regimport, machine, scratch, name="registry-before"):
    """registry.reg of machine as the emulation saves it, read through a scratch copy."""
    copy = os.path.join(scratch, name)
    os.makedirs(copy, exist_ok=True)
    source = os.path.join(machine, "registry.reg")
    if os.path.exists(source):
        shutil.copy(source, os.path.join(copy, "registry.reg"))
    proc = subprocess.run([regimport, copy], capture_output=True, timeout=RUN_TIMEOUT)
    if proc.returncode != 0:
        raise Failure(f"regimport: {proc.stderr.decode(errors='replace')}")
    return read_bytes(os.path.join(copy, "registry.reg"))


def run_native(fixture, args, scratch):
    machine = os.path.join(scratch, "native")
    shutil.copytree(fixture, machine, symlinks=True)
    os.remove(os.path.join(machine, "expected.txt"))
    program = os.path.join(machine, "drive_c", *PROGRAM_DIR)
    os.makedirs(program, exist_ok=True)
    shutil.copy(args.native, os.path.join(program, "CheckVela"))
    before = normalized_registry(args.regimport, machine, scratch)
    result = run_native_program(machine, "native")
    result.registry_before = before
    return result


def run_native_program(machine, label):
    result = Result(label)
    result.machine = machine
    program = os.path.join(machine, "drive_c", *PROGRAM_DIR)
    env = dict(os.environ)
    env.pop("CHECKVELA_MACHINE", None)
    proc = subprocess.run([os.path.join(program, "CheckVela")], cwd=program, env=env,
                          capture_output=True, timeout=RUN_TIMEOUT)
    stderr = proc.stderr.decode("cp1252", "replace")
    result.messages = sum(1 for line in stderr.splitlines() if line.startswith("CheckVela: "))
    result.registry = read_emulated_registry(os.path.join(machine, "registry.reg"))
    result.registry_text = read_bytes(os.path.join(machine, "registry.reg"))
    collect_files(result, os.path.join(machine, "drive_c"))
    result.log = f"exit {proc.returncode}\n{proc.stdout.decode('cp1252', 'replace')}{stderr}"
    return result


def go_back_native(fixture, result, args, problems):
    """Imports restore.reg with regimport, runs restore.bat's copy lines, runs again: every
    fixture file outside Backup and Spool must be back, then the result must be the first's."""
    machine = result.machine
    # checkvela leaves registry.reg as it was when nothing changed, in whatever spelling the
    # fixture gave it: the registry is compared as the emulation saves it.
    changed = (normalized_registry(args.regimport, machine, os.path.dirname(machine),
                                   "registry-after") != result.registry_before)
    check_restore_reg_presence(result, changed, problems)
    drive_c = os.path.join(machine, "drive_c")
    backup = os.path.join(drive_c, *PROGRAM_DIR, "Backup")
    if result.restore_reg is not None:
        proc = subprocess.run([args.regimport, machine, os.path.join(backup, "restore.reg")],
                              capture_output=True, timeout=RUN_TIMEOUT)
        if proc.returncode != 0:
            problems.append(f"native restore.reg: {proc.stderr.decode(errors='replace').strip()}")
            return
        now = read_bytes(os.path.join(machine, "registry.reg"))
        if now != result.registry_before:
            problems.append(diff_texts(now, result.registry_before,
                                       "native restore.reg: registry.reg after the import"))
    # restore.bat's lines in order, as cmd runs them.
    for source, target, guarded in restore_lines(result):
        if guarded and os.path.exists(host_path(drive_c, target)):
            continue
        shutil.copyfile(host_path(drive_c, source), host_path(drive_c, target))
    problems.extend(files_not_back(fixture, drive_c, "native restore.bat"))
    if args.skip_run_again:
        return
    again = run_native_program(machine, "native again")
    compare_again(result, again, problems)


def check_restore_reg_presence(result, changed, problems):
    if changed and result.restore_reg is None:
        problems.append(f"{result.label}: the run changed the registry but wrote no restore.reg")
    elif not changed and result.restore_reg is not None:
        problems.append(f"{result.label}: restore.reg, but the run changed no registry key")


class Wine:
    """One Xvfb display and one initialised prefix, copied afresh for every fixture."""

    def __init__(self, work):
        self.work = work
        self.template = os.path.join(work, "template")
        self.env = dict(os.environ)
        self.env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.env.pop("WINEARCH", None)
        display = 90
        while os.path.exists(f"/tmp/.X{display}-lock") or os.path.exists(f"/tmp/.X11-unix/X{display}"):
            display += 1
        self.xvfb = subprocess.Popen(["Xvfb", f":{display}", "-screen", "0", "1024x768x24",
                                      "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.env["DISPLAY"] = f":{display}"
        time.sleep(1)
        self.prefix = None
        self.wine(["wineboot", "-i"], prefix=self.template, timeout=300, check=False)
        # Let the server write the new prefix's registry before anything copies it.
        subprocess.run(["wineserver", "-w"], env=dict(self.env, WINEPREFIX=self.template),
                       timeout=300, capture_output=True)

    def wine(self, args, prefix=None, timeout=RUN_TIMEOUT, check=True, cwd=None):
        env = dict(self.env, WINEPREFIX=prefix or self.prefix)
        # Output goes through files, not pipes: Wine's own background processes, which live as
        # long as the fixture's server, would keep a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(args, env=env, cwd=cwd, stdout=out, stderr=err,
                                  timeout=timeout)
            out.seek(0)
            err.seek(0)
            proc.stdout, proc.stderr = out.read(), err.read()
        if check and proc.returncode != 0:
            raise Failure(f"{' '.join(args)}: exit {proc.returncode} "
                          f"{proc.stderr.decode(errors='replace')[-500:]}")
        return proc

    def wineserver_k(self, prefix=None):
        env = dict(self.env, WINEPREFIX=prefix or self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)

    def close(self):
        self.xvfb.terminate()
        try:
            self.xvfb.wait(10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()

    def answer_boxes(self, proc, timeout):
        """Presses Return in every message box titled CheckVela until the program ends."""
        seen = set()
        deadline = time.time() + timeout
        while proc.poll() is None:
            if time.time() > deadline:
                os.killpg(proc.pid, signal.SIGKILL)
                raise Failure("Wine run timed out")
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^CheckVela$"],
                                   env=self.env, capture_output=True, text=True).stdout.split()
            for window in found:
                seen.add(window)
                subprocess.run(["xdotool", "key", "--window", window, "Return"], env=self.env,
                               capture_output=True)
            time.sleep(0.3 if found else 0.1)
        return len(seen)

    def dump(self):
        """Every key and value below the vendor key and the Uninstall key, by full path."""
        dump = os.path.join(self.prefix, "dump.txt")
        self.wine(["wine", os.path.join(self.prefix, "regdump.exe"), "Z:" + dump.replace("/", "\\"),
                   VENDOR_KEY, UNINSTALL_KEY])
        return dump

    def execute(self, label):
        """Runs CheckVela.exe once, answering its message boxes, and reads what it left."""
        result = Result(label)
        drive_c = os.path.join(self.prefix, "drive_c")
        program = os.path.join(drive_c, *PROGRAM_DIR)
        env = dict(self.env, WINEPREFIX=self.prefix)
        with tempfile.TemporaryFile() as out:
            proc = subprocess.Popen(["wine", "C:\\Program Files\\Vela\\CheckVela.exe"],
                                    cwd=program, env=env, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            result.messages = self.answer_boxes(proc, RUN_TIMEOUT)
            out.seek(0)
            result.log = f"exit {proc.returncode}\n" + out.read().decode(errors="replace")
        dump = self.dump()
        result.registry = read_regdump(dump)
        result.registry_raw = read_regdump_raw(dump)
        # Keep what the run left before restore.bat changes the machine.
        collect_files(result, drive_c)
        return result

    def run(self, fixture, exe, regdump, scratch):
        self.prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cp", "-a", self.template, self.prefix], check=True)
        # One Wine server for all of the fixture's commands instead of one started and shut
        # down for each; finish_fixture ends it.
        subprocess.run(["wineserver", "-p"], env=dict(self.env, WINEPREFIX=self.prefix),
                       timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        drive_c = os.path.join(self.prefix, "drive_c")
        subprocess.run(["cp", "-a", os.path.join(fixture, "drive_c") + "/.", drive_c], check=True)
        registry = os.path.join(fixture, "registry.reg")
        if os.path.exists(registry):
            self.wine(["wine", "reg", "import", "Z:" + registry.replace("/", "\\"), "/reg:32"])
        program = os.path.join(drive_c, *PROGRAM_DIR)
        shutil.copy(exe, os.path.join(program, "CheckVela.exe"))
        shutil.copy(regdump, os.path.join(self.prefix, "regdump.exe"))
        registry_before = read_regdump_raw(self.dump())
        result = self.execute("wine")
        result.registry_before = registry_before
        snapshot = os.path.join(scratch, "wine_after")
        shutil.copytree(drive_c, snapshot, symlinks=True, ignore=shutil.ignore_patterns(
            "windows", "users", "ProgramData", "Program Files (x86)"))
        result.drive_c = snapshot
        for name in ("windows",):
            for rel in list_files(os.path.join(fixture, "drive_c", name)) if os.path.isdir(
                    os.path.join(fixture, "drive_c", name)) else []:
                src = os.path.join(drive_c, name, rel.replace("\\", "/"))
                dst = os.path.join(snapshot, name, rel.replace("\\", "/"))
                if os.path.exists(src):
                    os.makedirs(os.path.dirname(dst), exist_ok=True)
                    shutil.copy2(src, dst)
        return result

    def restore(self, fixture, result, problems):
        """Runs restore.bat under cmd as an administrator would, by its full path from
        System32, and then once more from Backup after taking the moved files away again: every
        fixture file outside Backup and Spool must be back with its old bytes, and every line's
        old path must hold its copy's bytes."""
        if result.restore is None:
            return
        drive_c = os.path.join(self.prefix, "drive_c")
        backup_dir = "C:\\" + "\\".join(PROGRAM_DIR) + "\\Backup"
        script = backup_dir + "\\restore.bat"
        lines = restore_lines(result)
        runs = (("from System32", ["cd /d C:\\windows\\system32", f'call "{script}"']),
                ("from Backup", [f'cd /d "{backup_dir}"', "call restore.bat"]))
        for how, commands in runs:
            # What the run moved away leaves its old place again before each way of restoring.
            for source, target in lines:
                if source.lower().startswith(backup_dir.lower() + "\\"):
                    now = host_path(drive_c, target)
                    if os.path.isfile(now):
                        os.remove(now)
            # cmd gets its commands from a batch file: quotes on its command line do not
            # survive the way there.
            with open(os.path.join(drive_c, "e2e-restore.cmd"), "w", newline="") as f:
                f.write("".join(line + "\r\n" for line in commands))
            proc = self.wine(["wine", "cmd", "/c", "C:\\e2e-restore.cmd"], check=False)
            if proc.returncode != 0:
                problems.append(f"restore {how}: cmd exit {proc.returncode}: "
                                f"{proc.stdout.decode(errors='replace')[-300:]}"
                                f"{proc.stderr.decode(errors='replace')[-300:]}")
            problems.extend(files_not_back(fixture, drive_c, f"restore {how}"))
            for source, target in lines:
                if "~" in target:
                    continue  # a short path, which the host does not know; checked above
                copy = host_path(drive_c, source)
                now = host_path(drive_c, target)
                if os.path.isfile(copy) and (not os.path.isfile(now) or
                                             read_bytes(now) != read_bytes(copy)):
                    problems.append(f"restore {how}: {target} does not hold {source}")
        # Every data-file line copied the spool copy onto its source; both still match.
        for name, data in result.spool.items():
            now = os.path.join(drive_c, *PROGRAM_DIR, "Spool", name.decode("cp1252"))
            if not os.path.isfile(now) or read_bytes(now) != data:
                problems.append(f"restore: Spool\\{name.decode('cp1252')} changed")

    def go_back(self, fixture, result, args, problems):
        """Imports restore.reg with regedit, runs restore.bat, runs the program again."""
        changed = result.registry_raw != result.registry_before
        check_restore_reg_presence(result, changed, problems)
        if result.restore_reg is not None:
            proc = self.wine(["wine", "regedit", "/s",
                              "C:\\Program Files\\Vela\\Backup\\restore.reg"], check=False)
            if proc.returncode != 0:
                problems.append(f"wine restore.reg: regedit exit {proc.returncode}")
            problems += compare_trees(read_regdump_raw(self.dump()), result.registry_before,
                                      "wine restore.reg")
        self.restore(fixture, result, problems)
        if args.skip_run_again:
            return
        again = self.execute("wine again")
        compare_again(result, again, problems)

    def finish_fixture(self):
        self.wineserver_k()
        shutil.rmtree(self.prefix, ignore_errors=True)


def run_fixture(name, args, wine, work):
    fixture = os.path.join(args.fixtures, name)
    scratch = tempfile.mkdtemp(prefix=name + ".", dir=work)
    problems = []
    fixture_drive_c = os.path.join(fixture, "drive_c")
    results = [run_native(fixture, args, scratch)]
    if wine is not None:
        try:
            results.append(wine.run(fixture, args.windows, args.regdump, scratch))
        except Failure as e:
            problems.append(f"wine: {e}")
    for result in results:
        expected = parse_expected(os.path.join(fixture, "expected.txt"), result.label)
        check_result(result, expected, fixture_drive_c, problems)
    if len(results) == 2:
        compare_runs(results[0], results[1], problems)
    # Going back completely, then a new attempt.
    go_back_native(fixture, results[0], args, problems)
    if len(results) == 2:
        try:
            wine.go_back(fixture, results[1], args, problems)
        finally:
            wine.finish_fixture()
    problems = [p for p in problems if not any(k in p for k in KNOWN_DIFFERENCES.get(name, ()))]
    if problems and args.verbose:
        for result in results:
            print(f"---- {name} {result.label} log\n{result.log}")
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--regimport", required=True)
    parser.add_argument("--skip-run-again", action="store_true",
                        help="do not run the program again after going back")
    parser.add_argument("--windows")
    parser.add_argument("--regdump")
    parser.add_argument("--fixtures", default=os.path.join(HERE, "fixtures"))
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    names = args.names or sorted(os.listdir(args.fixtures))
    work = tempfile.mkdtemp(prefix="checkvela-e2e.")
    wine = None
    passed = failed = 0
    try:
        if args.windows:
            print("e2e: preparing the Wine prefix template ...", flush=True)
            wine = Wine(work)
        for name in names:
            started = time.time()
            try:
                problems = run_fixture(name, args, wine, work)
            except (Failure, subprocess.TimeoutExpired, OSError) as e:
                problems = [f"error: {e}"]
            legs = "native and Wine" if wine else "native only"
            if problems:
                failed += 1
                print(f"FAIL {name} ({legs}, {time.time() - started:.0f} s)")
                for p in problems:
                    print(f"     {p}")
            else:
                passed += 1
                print(f"ok   {name} ({legs}, {time.time() - started:.0f} s)", flush=True)
    finally:
        if wine is not None:
            wine.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"e2e: kept {work}")
    print(f"e2e: {passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
