#!/usr/bin/env python3
"""End-to-end runs of CheckVela on fixture machines, on every build and kind of Windows.

Each fixture in tests/e2e/fixtures/<name>/ is a machine (drive_c and optionally registry.reg)
with a hand-written expected.txt. The driver runs it through each leg:

  native  the POSIX build checkvela on a scratch copy of the machine (the emulated Windows);
  wine64  the 64-bit Windows build (windows-test) under Wine, in a 64-bit prefix;
  win32   the 32-bit release CheckVela.exe in a 32-bit prefix (WINEARCH=win32): a 32-bit
          Windows, where the program's keys are directly below SOFTWARE;
  wow64   the same release in a 64-bit prefix, where it runs under WoW64 and its keys are in
          the 32-bit view (below SOFTWARE\\WOW6432Node).

Each Wine leg has a fresh prefix holding the same files and registry (imported into the 32-bit
view). Each leg's result is checked against expected.txt, and the legs' results are compared
with each other; between the native leg and a Wine leg only the known differences below may
show, between two Wine legs none.

Then each leg goes back completely: it imports Backup\\restore.reg (natively with the regimport
tool, under Wine with regedit /s), and the registry must be as it was before the run: natively
registry.reg byte for byte, under Wine every key and value below SOFTWARE\\Quillon and the
Uninstall key, in both views of a 64-bit prefix; restore.reg must exist exactly when the run
changed the registry. It runs restore.bat (under Wine's cmd; natively its copy lines one by
one), and every moved file must be back with its old bytes. Finally it runs the program again
on the machine it went back to, and the result must be that of the first run.

Usage: e2e.py --native CHECKVELA --regimport REGIMPORT
              [--windows CHECKVELA.EXE --regdump REGDUMP.EXE]
              [--release CHECKVELA.EXE --regdump32 REGDUMP32.EXE] [--legs LEG,...] [NAME...]
--windows is the 64-bit build (the wine64 leg), --release the 32-bit one (win32 and wow64);
REGDUMP.EXE is regdump.c built for 64-bit Windows, REGDUMP32.EXE for 32-bit Windows. --legs
picks legs out of those the given builds allow.
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
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

# The legs, and the leg words of expected.txt: "wine" stands for every Wine leg.
WINE_LEGS = ("wine64", "win32", "wow64")
LEGS = ("native",) + WINE_LEGS
LEG_WORDS = LEGS + ("wine",)
# Each Wine leg: the prefix's architecture and which build it runs.
WINE_LEG_SETUP = {"wine64": ("win64", "windows"), "win32": ("win32", "release"),
                  "wow64": ("win64", "release")}

# Differences between the native leg and the Wine legs that are known and explained, by fixture:
# a problem of that comparison whose text (after "native vs LEG: ") begins with one of these is
# not counted. Two Wine legs must agree in everything.
#
# Short names: Wine makes up the 8.3 name of a long host name from a hash (C:\PROG~FBU), the
# emulation has no 8.3 names and gives the long path back, as Windows does on a volume without
# 8.3 names; so the new UninstallString differs. expected.txt gives each leg's value.
SHORT_NAMES = "[Uninstall\\Vela Print Server] 'UninstallString'"
#
# A path that the OEM code page cannot spell: under Wine its short path can be, and the file
# moves; the emulation has no short path, and the file stays with a message. expected.txt gives
# each leg's result in full.
UNSPELLABLE = ("2 and 0 message boxes", "backup differs", "restore.bat differs")
KNOWN_DIFFERENCES = {"uninstall": (SHORT_NAMES,), "uninstall-two": (SHORT_NAMES,),
                     "review": UNSPELLABLE}

# A 64-bit prefix has a second view of the registry; regdump names its keys with this prefix.
VIEW64 = b"(64-bit view) "


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
#   native LINE, wine LINE          LINE holds for the native leg only, or for every Wine leg
#   wine64 LINE, win32 LINE,        LINE holds for that Wine leg only
#   wow64 LINE
#
# A text is one or more pieces joined by +; a piece is "..." ("" stands for one quote),
# optionally repeated by *N. Texts are written in Unicode and compared as Windows-1252 bytes.
# Listed keys and values are the whole tree: anything else under the two keys is a failure, but
# for the keys that a fresh Wine prefix has of its own (an empty Uninstall key in the 32-bit
# view of a 64-bit prefix, say) and the fixture does not set: the run must leave those as they
# were, and a fixture lists them only when its registry.reg sets them.
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


def leg_word_holds(word, leg):
    """True when a line that begins with the leg word holds for the leg."""
    return word == leg or (word == "wine" and leg in WINE_LEGS)


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
            if first in LEG_WORDS:
                if not leg_word_holds(first, leg):
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
    """Every key below HKEY_LOCAL_MACHINE of the emulation's registry.reg (REGEDIT4,
    Windows-1252), or of a fixture's, by its full path (bytes), with its values."""
    if not os.path.exists(path):
        return {}
    return parse_registry_text(read_bytes(path))


def parse_registry_text(data):
    """Every key below HKEY_LOCAL_MACHINE of a REGEDIT4 text by its full path, with its values."""
    tree = {}
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
            current = full[len(prefix):] if full.startswith(prefix) else None
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


def short_tree(raw, environment=frozenset()):
    """The keys that expected.txt judges, by their short names, with their values: the product
    key's tree and the uninstall entries of a full tree (raw), less the keys of environment."""
    tree = {}
    for full, values in raw.items():
        key = short_key(full)
        if key is not None and full not in environment:
            tree.setdefault(key, {}).update(values)
    return tree


def read_regdump_raw(path):
    """Every key of a regdump output by its full path (bytes), with its values; a key of the
    64-bit view is named with VIEW64 in front."""
    tree = {}
    current = None

    def unhex(text):
        return b"" if text == "-" else bytes.fromhex(text)

    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts[0] in ("K", "K64"):
                current = (VIEW64 if parts[0] == "K64" else b"") + unhex(parts[1])
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


def environment_keys(baseline, fixture_registry):
    """The keys of a fresh prefix (baseline, as regdump reads them) that the fixture's
    registry.reg neither sets nor holds below them: they are Wine's, not the fixture's, and
    expected.txt does not list them."""
    fixture = set()
    for full in read_emulated_registry(fixture_registry):
        parts = full.lower().split(b"\\")
        fixture.update(b"\\".join(parts[:n]) for n in range(1, len(parts) + 1))
    return frozenset(key for key in baseline if key.lower() not in fixture)


def untouched_problems(before, after, environment, label):
    """Every key that expected.txt does not judge must come out of a run as it went in: the
    environment's keys and every dumped key outside the product key's tree and the uninstall
    entries (the vendor key, its other subkeys, the 64-bit view). Only the vendor key may
    appear, without values, as the parent of a new product key."""
    problems = []
    vendor = ansi(VENDOR_KEY).lower()
    for full in sorted(set(before) | set(after), key=lambda k: k.lower()):
        if short_key(full) is not None and full not in environment:
            continue  # judged against expected.txt
        was, now = before.get(full), after.get(full)
        if was == now or (was is None and now == {} and full.lower() == vendor):
            continue
        k = full.decode("cp1252", "replace")
        if was is None:
            problems.append(f"{label}: the run created [{k}] {sorted(now)}, which is not the "
                            f"program's to write")
        elif now is None:
            problems.append(f"{label}: the run removed [{k}], which is not the program's")
        else:
            problems += [f"{p}, which is not the program's to change"
                         for p in compare_trees({full: now}, {full: was}, label)]
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


def check_result(result, expected, fixture_drive_c, problems, changes=None):
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
        if changes and windows_path.lower() in changes:
            want = changes[windows_path.lower()]
            if (want is None) != (not os.path.isfile(now)) or \
                    (want is not None and read_bytes(now) != want):
                problems.append(f"{label}: {windows_path} is not as the step left it")
        elif windows_path.lower() in moved and windows_path.lower() not in expected["stays"]:
            if os.path.exists(now):
                problems.append(f"{label}: {windows_path} was not moved away")
        elif not os.path.isfile(now) or read_bytes(now) != read_bytes(original):
            problems.append(f"{label}: {windows_path} changed or went")


def compare_runs(a, b, problems, known=()):
    """The two results must be the same, but for the known differences (texts that a problem
    begins with after its label)."""
    label = f"{a.label} vs {b.label}"
    found = []
    if a.messages != b.messages:
        found.append(f"{a.messages} and {b.messages} message boxes")
    found += [p[len(label) + 2:] for p in compare_trees(a.registry, b.registry, label)]
    for which in ("spool", "backup"):
        x, y = getattr(a, which), getattr(b, which)
        if x != y:
            found.append(f"{which} differs: {sorted(set(x) ^ set(y))} "
                         f"{[n for n in x if n in y and x[n] != y[n]]}")
    if a.restore != b.restore:
        found.append("restore.bat differs")
    problems += [f"{label}: {p}" for p in found if not p.startswith(tuple(known))]


RUN_ENDED = b"rem CheckVela: migration finished"


def compare_again(first, again, problems):
    """A run after going back completely gives the first run's result; restore.reg stays.
    Backup holds every old file already, so the run makes no new copy: restore.bat keeps what
    it had and gets the run's own lines, each one that it held already, and the run's end."""
    appended = b"" if again.restore is None and first.restore is None else None
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




def below_roots(raw):
    """The keys of a full tree that regdump reads under Wine: the vendor key's tree and the
    Uninstall key's."""
    roots = [ansi(root).lower() for root in (VENDOR_KEY, UNINSTALL_KEY)]
    return {key: values for key, values in raw.items()
            if any(key.lower() == r or key.lower().startswith(r + b"\\") for r in roots)}


def check_restore_reg_presence(result, changed, problems):
    if changed and result.restore_reg is None:
        problems.append(f"{result.label}: the run changed the registry but wrote no restore.reg")
    elif not changed and result.restore_reg is not None:
        problems.append(f"{result.label}: restore.reg, but the run changed no registry key")


# ---------------------------------------------------------------------------------------------
# life.txt: what happens on the machine after going back and before the program runs again,
# for a fixture that follows a migration through its life. One step a line:
#
#   remove C:\path                 the old server removed the file (it printed the job, say)
#   write C:\path = TEXT           the file now holds TEXT (the old server wrote it anew)
#   append C:\path = TEXT          TEXT is added at the file's end (an administrator's line)
#
# The run after the steps is then checked against expected-again.txt, in expected.txt's form;
# fixture files that a step changed are checked as the step left them.
# ---------------------------------------------------------------------------------------------


def read_life(fixture):
    path = os.path.join(fixture, "life.txt")
    if not os.path.exists(path):
        return None
    steps = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            where = f"{path}:{number}"
            word, _, rest = line.partition(" ")
            if word == "remove":
                steps.append((word, rest, None))
            elif word in ("write", "append"):
                target, sep, text = rest.partition(" = ")
                data, tail = parse_text(text, where) if sep else ("", "")
                if not sep or tail.strip():
                    raise Failure(f"{where}: {word} C:\\path = TEXT expected")
                steps.append((word, target, ansi(data)))
            else:
                raise Failure(f"{where}: unknown step")
    return steps


def apply_life(drive_c, steps):
    for word, target, data in steps:
        path = host_path(drive_c, target)
        if word == "remove":
            os.remove(path)
        else:
            with open(path, "ab" if word == "append" else "wb") as f:
                f.write(data)


def life_changes(steps):
    """Windows path (lower case) -> the bytes a step left there, or None where it removed."""
    changes = {}
    for word, target, data in steps:
        key = target.lower()
        if word == "remove":
            changes[key] = None
        elif word == "write":
            changes[key] = data
    return changes


def check_life(fixture, leg, first, again, fixture_drive_c, problems):
    """The run after life.txt's steps, against expected-again.txt; restore.reg stays."""
    expected = parse_expected(os.path.join(fixture, "expected-again.txt"), leg)
    check_result(again, expected, fixture_drive_c, problems,
                 life_changes(read_life(fixture)))
    if again.restore_reg != first.restore_reg:
        problems.append(f"{again.label}: restore.reg was replaced or removed")


class NativeLeg:
    """checkvela on a scratch copy of the fixture machine."""

    name = "native"

    def __init__(self, args):
        self.program = args.native
        self.regimport = args.regimport
        self.skip_run_again = args.skip_run_again
        self.seconds = 0.0

    def normalized_registry(self, machine, scratch, name="registry-before"):
        """registry.reg of machine as the emulation saves it, read through a scratch copy."""
        copy = os.path.join(scratch, name)
        os.makedirs(copy, exist_ok=True)
        source = os.path.join(machine, "registry.reg")
        if os.path.exists(source):
            shutil.copy(source, os.path.join(copy, "registry.reg"))
        proc = subprocess.run([self.regimport, copy], capture_output=True, timeout=RUN_TIMEOUT)
        if proc.returncode != 0:
            raise Failure(f"regimport: {proc.stderr.decode(errors='replace')}")
        return read_bytes(os.path.join(copy, "registry.reg"))

    def run(self, fixture, scratch, problems):
        machine = os.path.join(scratch, "native")
        shutil.copytree(fixture, machine, symlinks=True)
        os.remove(os.path.join(machine, "expected.txt"))
        program = os.path.join(machine, "drive_c", *PROGRAM_DIR)
        os.makedirs(program, exist_ok=True)
        shutil.copy(self.program, os.path.join(program, "CheckVela"))
        before = self.normalized_registry(machine, scratch)
        result = self.execute(machine, "native", before, problems)
        result.registry_before = before
        return result

    def execute(self, machine, label, before, problems):
        result = Result(label)
        result.machine = machine
        program = os.path.join(machine, "drive_c", *PROGRAM_DIR)
        env = dict(os.environ)
        env.pop("CHECKVELA_MACHINE", None)
        proc = subprocess.run([os.path.join(program, "CheckVela")], cwd=program, env=env,
                              capture_output=True, timeout=RUN_TIMEOUT)
        stderr = proc.stderr.decode("cp1252", "replace")
        result.messages = sum(1 for line in stderr.splitlines() if line.startswith("CheckVela: "))
        result.registry_text = read_bytes(os.path.join(machine, "registry.reg"))
        raw = parse_registry_text(result.registry_text)
        result.registry = short_tree(raw)
        # A run that changed nothing leaves the fixture's own spelling, which may leave parent
        # keys implied: the untouched keys are judged as the emulation saves them.
        saved = self.normalized_registry(machine, os.path.dirname(machine),
                                         f"registry-{label.replace(' ', '-')}")
        problems += untouched_problems(below_roots(parse_registry_text(before)),
                                       below_roots(parse_registry_text(saved)), frozenset(), label)
        collect_files(result, os.path.join(machine, "drive_c"))
        result.log = f"exit {proc.returncode}\n{proc.stdout.decode('cp1252', 'replace')}{stderr}"
        return result

    def go_back(self, fixture, result, problems):
        """Imports restore.reg with regimport, runs restore.bat's copy lines, runs again: every
        fixture file outside Backup and Spool must be back, then the result must be the
        first's."""
        machine = result.machine
        # checkvela leaves registry.reg as it was when nothing changed, in whatever spelling
        # the fixture gave it: the registry is compared as the emulation saves it.
        changed = (self.normalized_registry(machine, os.path.dirname(machine), "registry-after")
                   != result.registry_before)
        check_restore_reg_presence(result, changed, problems)
        drive_c = os.path.join(machine, "drive_c")
        backup = os.path.join(drive_c, *PROGRAM_DIR, "Backup")
        if result.restore_reg is not None:
            proc = subprocess.run([self.regimport, machine, os.path.join(backup, "restore.reg")],
                                  capture_output=True, timeout=RUN_TIMEOUT)
            if proc.returncode != 0:
                problems.append(f"native restore.reg: "
                                f"{proc.stderr.decode(errors='replace').strip()}")
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
        if self.skip_run_again:
            return
        steps = read_life(fixture)
        if steps:
            apply_life(drive_c, steps)
        again = self.execute(machine, "native again", result.registry_before, problems)
        if steps:
            check_life(fixture, self.name, result, again, os.path.join(fixture, "drive_c"),
                       problems)
        else:
            compare_again(result, again, problems)

    def finish_fixture(self, problems):
        pass

    def close(self):
        pass


def pe_bits(path):
    """32 or 64: the bitness of a Windows executable, from its PE header."""
    with open(path, "rb") as f:
        data = f.read(4096)
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[offset:offset + 4] != b"PE\0\0":
        raise Failure(f"{path}: not a Windows executable")
    (machine,) = struct.unpack_from("<H", data, offset + 4)
    bits = {0x14C: 32, 0x8664: 64}.get(machine)
    if bits is None:
        raise Failure(f"{path}: machine {machine:#x}, neither i386 nor x86-64")
    return bits


# The Wine loaders. With wine32 installed, the "wine" wrapper starts the 32-bit loader first;
# a 64-bit program or tool of a 64-bit prefix is started with the 64-bit loader, as a 64-bit
# Windows starts it (Explorer, regedit and cmd are 64-bit there).
WINE32 = "wine"
WINE64 = shutil.which("wine64") or next(
    (p for p in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64") if os.path.exists(p)), "wine64")


# The prefix's copies of Wine's DLLs and programs, which nothing of a run writes: a fixture's
# prefix links them to the template's instead of copying them (most of a 64-bit prefix's
# 1.2 GB). A run that wrote one would change the template; close() checks that none did.
SHARED_PREFIX_DIRS = ("drive_c/windows/system32", "drive_c/windows/syswow64",
                      "drive_c/windows/winsxs")


def shared_in_prefix(rel):
    return any(rel.startswith(d + "/") for d in SHARED_PREFIX_DIRS)


def copy_prefix(template, prefix):
    """A fresh prefix from the template: Wine's DLLs linked, everything else copied."""
    def link_or_copy(source, target):
        if shared_in_prefix(os.path.relpath(source, template).replace(os.sep, "/")):
            os.link(source, target)
        else:
            shutil.copy2(source, target)
    shutil.copytree(template, prefix, symlinks=True, copy_function=link_or_copy)


def shared_files(template):
    """(size, modification time) of every file that copy_prefix links, by path."""
    files = {}
    for d in SHARED_PREFIX_DIRS:
        for base, _, names in os.walk(os.path.join(template, d)):
            for name in names:
                path = os.path.join(base, name)
                if not os.path.islink(path):
                    st = os.stat(path)
                    files[path] = (st.st_size, st.st_mtime_ns)
    return files


class Display:
    """An Xvfb display of its own; Xvfb picks a free number (-displayfd)."""

    def __init__(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"], pass_fds=(write,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            number = f.readline().strip().decode()
        if not number.isdigit():
            self.close()
            raise Failure("Xvfb did not start")
        self.name = ":" + number

    def close(self):
        self.xvfb.terminate()
        try:
            self.xvfb.wait(10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()


class WineHost:
    """One initialised prefix per architecture, made once with wineboot -i and copied afresh
    for every fixture, and the environment of every Wine command."""

    def __init__(self, work):
        self.work = work
        self.templates = {}
        self.shared = {}
        self.locks = {"win32": threading.Lock(), "win64": threading.Lock()}
        self.env = dict(os.environ)
        self.env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.env.pop("WINEARCH", None)
        self.display = Display()
        self.env["DISPLAY"] = self.display.name
        self.seconds = 0.0

    def template(self, arch):
        """The prefix template of arch ("win32" or "win64"), made when first asked for (by
        whichever leg asks first; another leg of the same arch waits for it)."""
        with self.locks[arch]:
            return self.make_template(arch)

    def make_template(self, arch):
        if arch not in self.templates:
            started = time.time()
            print(f"e2e: preparing the {arch} Wine prefix template ...", flush=True)
            template = os.path.join(self.work, "template-" + arch)
            env = dict(self.env, WINEPREFIX=template, WINEARCH=arch)
            loader = WINE64 if arch == "win64" else WINE32
            with tempfile.TemporaryFile() as out:
                subprocess.run([loader, "wineboot", "-i"], env=env, stdout=out, stderr=out,
                               timeout=300)
            # Let the server write the new prefix's registry before anything copies it.
            subprocess.run(["wineserver", "-w"], env=env, timeout=300, capture_output=True)
            system = os.path.join(template, "system.reg")
            made = ""
            if os.path.exists(system):
                with open(system, errors="replace") as f:
                    made = next((line.strip() for line in f if line.startswith("#arch=")), "")
            if made != "#arch=" + arch:
                raise Failure(f"wineboot made no {arch} prefix ({made or 'no system.reg'}); "
                              f"is {'wine64' if arch == 'win64' else 'wine32'} installed?")
            self.templates[arch] = template
            self.shared[arch] = shared_files(template)
            self.seconds += time.time() - started
        return self.templates[arch]

    def changed_shared_files(self, arch):
        """The template's linked files that a run changed, which none may."""
        if arch not in self.shared:
            return []
        was, now = self.shared[arch], shared_files(self.templates[arch])
        return sorted(path for path in set(was) | set(now) if was.get(path) != now.get(path))

    def close(self):
        self.display.close()


class WineLeg:
    """One Windows build in one kind of prefix: wine64, win32 or wow64."""

    def __init__(self, host, name, exe, regdump, skip_run_again):
        self.host = host
        self.name = name
        self.arch = WINE_LEG_SETUP[name][0]
        self.exe = exe
        self.regdump = regdump
        self.skip_run_again = skip_run_again
        # A display of its own: the legs run side by side, and each answers the message boxes
        # of its own program only.
        self.display = Display()
        self.env = dict(host.env, DISPLAY=self.display.name)
        self.seconds = 0.0
        self.prefix = None
        # A fresh prefix's own keys, read once (regdump), before any fixture's import.
        self.baseline = None
        self.environment = frozenset()
        # The system's own tools (reg, regedit, cmd) have the system's bitness.
        self.tools = WINE64 if self.arch == "win64" else WINE32
        self.program_loader = self.loader(exe)
        self.regdump_loader = self.loader(regdump)

    def loader(self, exe):
        bits = pe_bits(exe)
        if self.arch == "win32" and bits == 64:
            raise Failure(f"{self.name}: {exe} is a 64-bit program; a 32-bit Windows cannot start it")
        return WINE64 if bits == 64 else WINE32

    def wine(self, args, timeout=RUN_TIMEOUT, check=True, cwd=None):
        env = dict(self.env, WINEPREFIX=self.prefix)
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

    def wineserver_k(self):
        env = dict(self.env, WINEPREFIX=self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, timeout=60, capture_output=True)

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
        """Every key and value below the vendor key and the Uninstall key, by full path: in the
        32-bit view, and in a 64-bit prefix in the 64-bit view too."""
        dump = os.path.join(self.prefix, "dump.txt")
        keys = [VENDOR_KEY, UNINSTALL_KEY]
        if self.arch == "win64":
            keys += ["/64", VENDOR_KEY, UNINSTALL_KEY]
        self.wine([self.regdump_loader, os.path.join(self.prefix, "regdump.exe"),
                   "Z:" + dump.replace("/", "\\")] + keys)
        return read_regdump_raw(dump)

    def execute(self, label, before, problems):
        """Runs CheckVela.exe once, answering its message boxes, and reads what it left."""
        result = Result(label)
        drive_c = os.path.join(self.prefix, "drive_c")
        program = os.path.join(drive_c, *PROGRAM_DIR)
        env = dict(self.env, WINEPREFIX=self.prefix)
        # CheckVela.exe always exits with 0: another status is Wine's, which did not start it
        # (as happens now and then while another prefix's server shuts down). Once more then.
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as out:
                proc = subprocess.Popen([self.program_loader,
                                         "C:\\Program Files\\Vela\\CheckVela.exe"],
                                        cwd=program, env=env, stdout=out,
                                        stderr=subprocess.STDOUT, start_new_session=True)
                result.messages = self.answer_boxes(proc, RUN_TIMEOUT)
                out.seek(0)
                result.log = f"exit {proc.returncode}\n" + out.read().decode(errors="replace")
            if proc.returncode == 0:
                break
            if attempt == 2:
                problems.append(f"{label}: Wine exit {proc.returncode}: {result.log[-300:]}")
        result.registry_raw = self.dump()
        result.registry = short_tree(result.registry_raw, self.environment)
        problems += untouched_problems(before, result.registry_raw, self.environment, label)
        # Keep what the run left before restore.bat changes the machine.
        collect_files(result, drive_c)
        return result

    def run(self, fixture, scratch, problems):
        # The leg's time leaves out the template, which it may share with another leg.
        started = time.time()
        template = self.host.template(self.arch)
        self.seconds -= time.time() - started
        self.prefix = os.path.join(scratch, self.name)
        copy_prefix(template, self.prefix)
        # One Wine server for all of the fixture's commands instead of one started and shut
        # down for each; finish_fixture ends it.
        subprocess.run(["wineserver", "-p"], env=dict(self.env, WINEPREFIX=self.prefix),
                       timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        drive_c = os.path.join(self.prefix, "drive_c")
        shutil.copy(self.regdump, os.path.join(self.prefix, "regdump.exe"))
        if self.baseline is None:
            self.baseline = self.dump()
        registry = os.path.join(fixture, "registry.reg")
        self.environment = environment_keys(self.baseline, registry)
        subprocess.run(["cp", "-a", os.path.join(fixture, "drive_c") + "/.", drive_c], check=True)
        if os.path.exists(registry):
            # Into the 32-bit view, which the program reads and writes.
            self.wine([self.tools, "reg", "import", "Z:" + registry.replace("/", "\\")] +
                      (["/reg:32"] if self.arch == "win64" else []))
        program = os.path.join(drive_c, *PROGRAM_DIR)
        shutil.copy(self.exe, os.path.join(program, "CheckVela.exe"))
        registry_before = self.dump()
        result = self.execute(self.name, registry_before, problems)
        result.registry_before = registry_before
        snapshot = os.path.join(scratch, self.name + "_after")
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
            label = f"{self.name} restore {how}"
            # What the run moved away leaves its old place again before each way of restoring.
            for source, target, _ in lines:
                if source.lower().startswith(backup_dir.lower() + "\\"):
                    now = host_path(drive_c, target)
                    if os.path.isfile(now):
                        os.remove(now)
            # cmd gets its commands from a batch file: quotes on its command line do not
            # survive the way there.
            with open(os.path.join(drive_c, "e2e-restore.cmd"), "w", newline="") as f:
                f.write("".join(line + "\r\n" for line in commands))
            proc = self.wine([self.tools, "cmd", "/c", "C:\\e2e-restore.cmd"], check=False)
            if proc.returncode != 0:
                problems.append(f"{label}: cmd exit {proc.returncode}: "
                                f"{proc.stdout.decode(errors='replace')[-300:]}"
                                f"{proc.stderr.decode(errors='replace')[-300:]}")
            problems.extend(files_not_back(fixture, drive_c, label))
            for source, target, _ in lines:
                if "~" in target:
                    continue  # a short path, which the host does not know; checked above
                copy = host_path(drive_c, source)
                now = host_path(drive_c, target)
                if os.path.isfile(copy) and (not os.path.isfile(now) or
                                             read_bytes(now) != read_bytes(copy)):
                    problems.append(f"{label}: {target} does not hold {source}")
        # Every data-file line copied the spool copy onto its source; both still match.
        for name, data in result.spool.items():
            now = os.path.join(drive_c, *PROGRAM_DIR, "Spool", name.decode("cp1252"))
            if not os.path.isfile(now) or read_bytes(now) != data:
                problems.append(f"{self.name} restore: Spool\\{name.decode('cp1252')} changed")

    def go_back(self, fixture, result, problems):
        """Imports restore.reg with regedit, runs restore.bat, runs the program again."""
        changed = result.registry_raw != result.registry_before
        check_restore_reg_presence(result, changed, problems)
        if result.restore_reg is not None:
            proc = self.wine([self.tools, "regedit", "/s",
                              "C:\\Program Files\\Vela\\Backup\\restore.reg"], check=False)
            if proc.returncode != 0:
                problems.append(f"{self.name} restore.reg: regedit exit {proc.returncode}")
            problems += compare_trees(self.dump(), result.registry_before,
                                      f"{self.name} restore.reg")
        self.restore(fixture, result, problems)
        if self.skip_run_again:
            return
        steps = read_life(fixture)
        if steps:
            apply_life(os.path.join(self.prefix, "drive_c"), steps)
        again = self.execute(f"{self.name} again", result.registry_before, problems)
        if steps:
            check_life(fixture, self.name, result, again, os.path.join(fixture, "drive_c"),
                       problems)
        else:
            compare_again(result, again, problems)

    def close(self):
        self.display.close()

    def finish_fixture(self, problems):
        if self.prefix is not None:
            self.wineserver_k()
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.prefix = None
        changed = self.host.changed_shared_files(self.arch)
        if changed:
            problems.append(f"{self.name}: the run wrote Wine's files that every fixture's prefix "
                            f"shares with the {self.arch} template: {changed[:5]}")
            self.host.shared[self.arch] = shared_files(self.host.templates[self.arch])


def run_fixture(name, args, legs, work):
    """Runs the fixture through every leg. Returns the problems by leg, and under "compare"
    those of comparing the legs' results."""
    fixture = os.path.join(args.fixtures, name)
    scratch = tempfile.mkdtemp(prefix=name + ".", dir=work)
    problems = {leg.name: [] for leg in legs}
    problems["compare"] = []
    fixture_drive_c = os.path.join(fixture, "drive_c")

    def run_leg(leg):
        started = time.time()
        mine = problems[leg.name]
        try:
            result = leg.run(fixture, scratch, mine)
            expected = parse_expected(os.path.join(fixture, "expected.txt"), leg.name)
            check_result(result, expected, fixture_drive_c, mine)
            # Going back completely, then a new attempt.
            leg.go_back(fixture, result, mine)
            return result
        except (Failure, subprocess.SubprocessError, OSError) as e:
            mine.append(f"{leg.name}: {e}")
            return None
        finally:
            leg.finish_fixture(mine)
            leg.seconds += time.time() - started

    # The legs run side by side (each in a prefix, with a server and a display of its own):
    # a Wine leg mostly waits for Wine, and two cores carry three of them at once.
    with concurrent.futures.ThreadPoolExecutor(1 if args.serial else len(legs)) as pool:
        results = [r for r in pool.map(run_leg, legs) if r is not None]
    known = KNOWN_DIFFERENCES.get(name, ())
    for i, a in enumerate(results):
        for b in results[i + 1:]:
            compare_runs(a, b, problems["compare"], known if a.label == "native" else ())
    if any(problems.values()) and args.verbose:
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
    parser.add_argument("--windows", help="the 64-bit CheckVela.exe (wine64 leg)")
    parser.add_argument("--regdump", help="regdump.exe for 64-bit Windows")
    parser.add_argument("--release", help="the 32-bit CheckVela.exe (win32 and wow64 legs)")
    parser.add_argument("--regdump32", help="regdump.exe for 32-bit Windows")
    parser.add_argument("--legs", help="comma-separated legs out of " + ", ".join(LEGS))
    parser.add_argument("--serial", action="store_true",
                        help="run the legs of a fixture one after another, not side by side")
    parser.add_argument("--fixtures", default=os.path.join(HERE, "fixtures"))
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    builds = {"windows": (args.windows, args.regdump), "release": (args.release, args.regdump32)}
    available = ["native"] + [leg for leg in WINE_LEGS
                              if all(builds[WINE_LEG_SETUP[leg][1]])]
    wanted = args.legs.split(",") if args.legs else available
    for leg in wanted:
        if leg not in LEGS:
            parser.error(f"unknown leg {leg!r}; the legs are {', '.join(LEGS)}")
        if leg not in available:
            parser.error(f"leg {leg} needs --{WINE_LEG_SETUP[leg][1]} and its regdump")
    names = args.names or sorted(os.listdir(args.fixtures))
    work = tempfile.mkdtemp(prefix="checkvela-e2e.")
    host = None
    legs = []
    passed = failed = 0
    legs_passed = {}
    started_all = time.time()
    try:
        for leg in LEGS:
            if leg not in wanted:
                continue
            if leg == "native":
                legs.append(NativeLeg(args))
                continue
            if host is None:
                host = WineHost(work)
            exe, regdump = builds[WINE_LEG_SETUP[leg][1]]
            try:
                legs.append(WineLeg(host, leg, exe, regdump, args.skip_run_again))
            except (Failure, OSError) as e:
                print(f"e2e: {e}")
                return 2
        legs_passed = {leg.name: 0 for leg in legs}
        agreed = 0
        for name in names:
            started = time.time()
            try:
                problems = run_fixture(name, args, legs, work)
            except (Failure, subprocess.TimeoutExpired, OSError) as e:
                problems = {"compare": [f"error: {e}"]}
            for leg in legs:
                if leg.name in problems and not problems[leg.name]:
                    legs_passed[leg.name] += 1
            if "compare" in problems and not problems["compare"]:
                agreed += 1
            shown = ", ".join(leg.name for leg in legs)
            found = [p for group in problems.values() for p in group]
            if found:
                failed += 1
                print(f"FAIL {name} ({shown}; {time.time() - started:.0f} s)")
                for p in found:
                    print(f"     {p}")
            else:
                passed += 1
                print(f"ok   {name} ({shown}; {time.time() - started:.0f} s)", flush=True)
    finally:
        for leg in legs:
            leg.close()
        if host is not None:
            host.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"e2e: kept {work}")
    # One line per leg: the fixtures whose own checks it passed (expected.txt, going back,
    # running again), and the time it took; then the comparison of the legs.
    for leg in legs:
        print(f"e2e: leg {leg.name}: {legs_passed[leg.name]} of {len(names)} fixtures passed, "
              f"{leg.seconds:.0f} s")
    if host is not None:
        print(f"e2e: Wine prefix templates: {host.seconds:.0f} s")
    if len(legs) > 1:
        print(f"e2e: the legs' results agree on {agreed} of {len(names)} fixtures")
    print(f"e2e: {time.time() - started_all:.0f} s in all")
    print(f"e2e: {passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
