#!/usr/bin/env python3
"""Checks the 32-bit release CheckVela.exe before it ships.

  scripts/check-release.py [--reproduce] [--package] [BUILD_DIR | EXE]

BUILD_DIR defaults to build/windows (the "windows" preset). Checks, and fails on any miss:

- imports (objdump -p): every DLL is a system DLL of Windows XP SP3 and every function is one
  that DLL exports there, by the list in release/xp-sp3-exports.txt; no import by ordinal, no
  delay-loaded import;
- header: machine i386, PE32, OS and subsystem version 5.1 or lower, Windows GUI subsystem,
  terminal-server aware (DllCharacteristics 0x8000), no time stamp, no symbol table, no debug
  sections;
- manifest (res/checkvela.manifest, which must be embedded as it is): well-formed, an identity
  that Windows XP accepts, trustInfo in the asm.v2 namespace, administrator rights, common
  controls 6;
- with --reproduce: a second build from a copy of the sources, in other directories, gives the
  same bytes, and neither build holds a path of its source or build directory;
- with --package: the ZIP that "cmake --build --preset windows --target package" made holds this
  CheckVela.exe, README.txt (CR LF line ends) and CheckVela.exe.sha256 with its hash.

Prints the import count per DLL, the size and the SHA-256 (of both builds with --reproduce).

  scripts/check-release.py --self-test

links two small probes instead and makes sure that the import check rejects functions that
Windows XP lacks and a DLL of its own, and accepts the XP functions the platform layer uses.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPORTS = os.path.join(ROOT, "release", "xp-sp3-exports.txt")
MANIFEST = os.path.join(ROOT, "res", "checkvela.manifest")
OBJDUMP = "i686-w64-mingw32-objdump"

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
TERMINAL_SERVER_AWARE = 0x8000
NEWEST_VERSION = (5, 1)  # Windows XP

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"


class Check:
    """Collects the failures of one run."""

    def __init__(self):
        self.failures = []

    def fail(self, message):
        self.failures.append(message)

    def expect(self, condition, message):
        if not condition:
            self.fail(message)
        return condition


def load_exports(path):
    """Returns {dll name in lower case: (dll name as listed, set of function names)}."""
    exports = {}
    current = None
    with open(path, encoding="ascii") as listing:
        for number, line in enumerate(listing, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                name = line[1:-1]
                current = exports.setdefault(name.lower(), (name, set()))
            elif current is None:
                raise SystemExit(f"{path}:{number}: a name before the first [DLL] section")
            else:
                current[1].add(line)
    return exports


def objdump(*args):
    return subprocess.run([OBJDUMP, *args], check=True, capture_output=True, text=True).stdout


def read_imports(private_headers):
    """Returns [(dll, name or None for an ordinal, ordinal/hint)] from objdump -p output."""
    imports = []
    dll = None
    in_imports = False
    for line in private_headers.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
            continue
        if in_imports and line and not line[0].isspace():
            in_imports = False  # the next part of the dump
        if not in_imports:
            continue
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1)
            continue
        entry = re.match(r"^\t([0-9a-f]+)\t\s*(\d+)\s+(\S+)", line)
        if entry and dll is not None:
            name = entry.group(3)
            imports.append((dll, None if name == "<none>" else name, int(entry.group(2))))
    return imports


def header_field(private_headers, name):
    found = re.search(r"^" + re.escape(name) + r"\s+([0-9A-Fa-f]+)", private_headers, re.M)
    if not found:
        raise SystemExit(f"objdump -p printed no {name}")
    return found.group(1)


def check_imports(check, private_headers, exports):
    imports = read_imports(private_headers)
    check.expect(imports, "no import table found in objdump -p output")
    counts = {}
    for dll, name, ordinal in imports:
        listed = exports.get(dll.lower())
        counts[dll] = counts.get(dll, 0) + 1
        if listed is None:
            check.fail(f"{dll}: not a system DLL of Windows XP SP3 (imported: {name or ordinal})")
        elif name is None:
            check.fail(f"{dll}: function imported by ordinal {ordinal}")
        elif name not in listed[1]:
            check.fail(f"{dll}!{name}: not exported by Windows XP SP3's {listed[0]}")
    delay_imports = re.search(r"^Entry d [0-9a-f]+ ([0-9a-f]+) Delay Import", private_headers, re.M)
    if delay_imports and int(delay_imports.group(1), 16) != 0:
        check.fail("delay-loaded imports, which this check does not list")
    return counts


def check_header(check, exe, data, private_headers, sections):
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    check.expect(data[pe_offset:pe_offset + 4] == b"PE\0\0", "no PE signature")
    machine, _, stamp, symbols, _, _, _ = struct.unpack_from("<HHIIIHH", data, pe_offset + 4)
    check.expect(machine == IMAGE_FILE_MACHINE_I386, f"machine 0x{machine:x}, not i386 (0x14c)")
    check.expect(stamp == 0, f"link time stamp 0x{stamp:08x}, not 0 (builds would differ)")
    check.expect(symbols == 0, "a COFF symbol table (the release is linked with -s)")
    magic = header_field(private_headers, "Magic")
    check.expect(magic == "010b", f"optional header magic {magic}, not PE32 (010b)")

    def version(kind):
        major = int(header_field(private_headers, f"Major{kind}Version"), 16)
        minor = int(header_field(private_headers, f"Minor{kind}Version"), 16)
        return major, minor

    os_version = version("OSystem")
    subsystem_version = version("Subsystem")
    check.expect(os_version <= NEWEST_VERSION, f"OS version {os_version}, newer than 5.1")
    check.expect(
        subsystem_version <= NEWEST_VERSION,
        f"subsystem version {subsystem_version}, newer than 5.1 (Windows XP refuses to start it)")
    subsystem = int(header_field(private_headers, "Subsystem"), 16)
    check.expect(subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
                 f"subsystem {subsystem}, not Windows GUI")
    dll_characteristics = int(header_field(private_headers, "DllCharacteristics"), 16)
    check.expect(
        dll_characteristics & TERMINAL_SERVER_AWARE,
        f"DllCharacteristics 0x{dll_characteristics:04x} lacks TERMINAL_SERVER_AWARE (0x8000)")
    debug = [name for name in sections if name.startswith(".debug")]
    check.expect(not debug, f"debug sections {', '.join(debug)}")
    return (f"i386 PE32, OS {os_version[0]}.{os_version[1]}, subsystem "
            f"{subsystem_version[0]}.{subsystem_version[1]} (Windows GUI), DllCharacteristics "
            f"0x{dll_characteristics:04x} (terminal-server aware), no time stamp, no symbols, "
            f"no debug sections")


def check_manifest(check, data):
    with open(MANIFEST, "rb") as source:
        text = source.read()
    check.expect(text in data, "res/checkvela.manifest is not embedded as it is")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        check.fail(f"res/checkvela.manifest is not well-formed XML: {error}")
        return
    v1 = "{" + ASM_V1 + "}"
    check.expect(root.tag == v1 + "assembly" and root.get("manifestVersion") == "1.0",
                 "manifest root is not an asm.v1 assembly of manifestVersion 1.0")
    identity = root.find(v1 + "assemblyIdentity")
    if check.expect(identity is not None, "manifest has no assemblyIdentity"):
        check.expect(identity.get("type") == "win32", "assemblyIdentity type is not win32")
        check.expect(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", identity.get("version", "")),
                     "assemblyIdentity version has not four numeric parts")
        check.expect(re.fullmatch(r"[A-Za-z0-9]+(\.[A-Za-z0-9_-]+)*", identity.get("name", "")),
                     "assemblyIdentity name is not a dotted name")
    trust = [element for element in root.iter() if element.tag.endswith("}trustInfo")]
    check.expect(len(trust) == 1 and trust[0].tag == "{" + ASM_V2 + "}trustInfo",
                 "trustInfo must be there once, in the asm.v2 namespace (Windows XP SP2/SP3)")
    levels = [element.get("level") for element in root.iter()
              if element.tag.endswith("}requestedExecutionLevel")]
    check.expect(levels == ["requireAdministrator"], "manifest does not require administrator")
    controls = [element for element in root.iter(v1 + "assemblyIdentity")
                if element.get("name") == "Microsoft.Windows.Common-Controls"]
    check.expect(len(controls) == 1 and controls[0].get("version") == "6.0.0.0",
                 "manifest does not ask for common controls 6.0.0.0")


def describe(exe, check, exports):
    """Checks one executable; returns its summary lines."""
    with open(exe, "rb") as binary:
        data = binary.read()
    private_headers = objdump("-p", exe)
    sections = re.findall(r"^\s*\d+\s+(\S+)\s+[0-9a-f]{8}", objdump("-h", exe), re.M)
    counts = check_imports(check, private_headers, exports)
    header = check_header(check, exe, data, private_headers, sections)
    check_manifest(check, data)
    per_dll = ", ".join(f"{dll} {counts[dll]}" for dll in sorted(counts, key=str.lower))
    return data, [
        f"{exe}: {len(data)} bytes, {sum(counts.values())} imports ({per_dll})",
        f"  SHA-256 {hashlib.sha256(data).hexdigest()}",
        f"  header: {header}",
    ]


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def copy_sources(target):
    """Copies the tracked and unignored files of the checkout (or, outside git, the source tree
    without build directories) to target."""
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "-c", "-o", "--exclude-standard"],
                            capture_output=True)
    if listed.returncode != 0:
        shutil.copytree(ROOT, target, ignore=lambda directory, names: [
            name for name in names
            if directory == ROOT and (name.startswith("build") or name == ".git")])
        return
    for name in sorted(set(filter(None, listed.stdout.decode("utf-8").split("\0")))):
        source = os.path.join(ROOT, name)
        if not os.path.isfile(source):
            continue
        destination = os.path.join(target, name)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copy2(source, destination)


def reproduce(check, build, exe, data):
    """Builds the release again from a copy of the sources in other directories; compares."""
    second = os.path.join(ROOT, "build", "windows-repro")
    source = os.path.join(second, "source-copy")
    binary = os.path.join(second, "b")
    shutil.rmtree(second, ignore_errors=True)
    copy_sources(source)
    toolchain = cache_value(build, "CMAKE_TOOLCHAIN_FILE")
    if toolchain is None:
        raise SystemExit(f"{build}/CMakeCache.txt names no toolchain file")
    toolchain = os.path.join(source, os.path.relpath(toolchain, ROOT))
    configure = ["cmake", "-S", source, "-B", binary, "-G", "Unix Makefiles",
                 f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"]
    for name in ("CMAKE_BUILD_TYPE", "CHECKVELA_TESTS"):
        value = cache_value(build, name)
        if value is not None:
            configure.append(f"-D{name}={value}")
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", binary, "-j2", "--target", "CheckVela"], check=True,
                   stdout=subprocess.DEVNULL)
    copy = os.path.join(binary, os.path.basename(exe))
    with open(copy, "rb") as second_binary:
        copy_data = second_binary.read()
    for path in (ROOT, os.path.abspath(build), source, binary):
        for blob, which in ((data, exe), (copy_data, copy)):
            check.expect(path.encode() not in blob, f"{which} holds the path {path}")
    check.expect(copy_data == data, f"{copy} differs from {exe}: the build is not reproducible")
    return [f"{copy}: {len(copy_data)} bytes, a second build from {source}",
            f"  SHA-256 {hashlib.sha256(copy_data).hexdigest()}",
            "  the two builds are " + ("identical" if copy_data == data else "DIFFERENT")]


def check_package(check, build, data):
    config = os.path.join(build, "CPackConfig.cmake")
    with open(config, encoding="utf-8") as cpack:
        named = re.search(r'^set\(CPACK_PACKAGE_FILE_NAME "([^"]+)"\)', cpack.read(), re.M)
    if not check.expect(named, f"{config} names no CPACK_PACKAGE_FILE_NAME"):
        return []
    path = os.path.join(build, named.group(1) + ".zip")
    if not check.expect(os.path.isfile(path), f"{path} not found; build the package target"):
        return []
    with zipfile.ZipFile(path) as package:
        members = {os.path.basename(name): name for name in package.namelist()
                   if not name.endswith("/")}
        expected = {"CheckVela.exe", "README.txt", "CheckVela.exe.sha256"}
        check.expect(set(members) == expected,
                     f"{path} holds {sorted(members)}, not {sorted(expected)}")
        if not expected <= set(members):
            return []
        packaged = package.read(members["CheckVela.exe"])
        readme = package.read(members["README.txt"])
        digest = package.read(members["CheckVela.exe.sha256"]).decode("ascii")
    check.expect(packaged == data, f"{path}: CheckVela.exe is not the checked build")
    expected_digest = f"{hashlib.sha256(data).hexdigest()}  CheckVela.exe\n"
    check.expect(digest == expected_digest, f"{path}: CheckVela.exe.sha256 is {digest!r}")
    check.expect(readme.count(b"\n") == readme.count(b"\r\n") > 0,
                 f"{path}: README.txt has not CR LF line ends throughout")
    check.expect(all(byte < 0x80 for byte in readme), f"{path}: README.txt is not plain ASCII")
    return [f"{path}: {', '.join(sorted(members))}"]


# Functions that Windows XP SP3 lacks, with the DLL that exports them from Vista on.
NEWER_FUNCTIONS = [
    ("KERNEL32", "GetTickCount64", "unsigned long long", "void"),
    ("KERNEL32", "InitializeCriticalSectionEx", "int", "void*, unsigned long, unsigned long"),
    ("KERNEL32", "GetFileInformationByHandleEx", "int", "void*, int, void*, unsigned long"),
    ("KERNEL32", "CreateSymbolicLinkA", "unsigned char", "const char*, const char*, unsigned long"),
    ("ADVAPI32", "RegDeleteKeyExA", "long", "void*, const char*, unsigned long, unsigned long"),
    ("ADVAPI32", "RegGetValueA", "long",
     "void*, const char*, const char*, unsigned long, unsigned long*, void*, unsigned long*"),
]
# Functions of Windows XP that the platform layer uses or is about to use.
XP_FUNCTIONS = [
    ("KERNEL32", "MoveFileExA", "int", "const char*, const char*, unsigned long"),
    ("KERNEL32", "FlushFileBuffers", "int", "void*"),
    ("KERNEL32", "SetFilePointer", "unsigned long", "void*, long, long*, unsigned long"),
    ("KERNEL32", "SetEndOfFile", "int", "void*"),
    ("KERNEL32", "IsWow64Process", "int", "void*, int*"),
    ("KERNEL32", "GetLongPathNameA", "unsigned long", "const char*, char*, unsigned long"),
    ("KERNEL32", "FormatMessageA", "unsigned long",
     "unsigned long, const void*, unsigned long, unsigned long, char*, unsigned long, void*"),
    ("ADVAPI32", "RegDeleteValueA", "long", "void*, const char*"),
    ("ADVAPI32", "RegDeleteKeyA", "long", "void*, const char*"),
    ("ADVAPI32", "RegEnumValueA", "long", "void*, unsigned long, char*, unsigned long*, "
     "unsigned long*, unsigned long*, unsigned char*, unsigned long*"),
]


def link_probe(directory, name, functions, extra=""):
    """Links an i686 executable that imports the given functions; returns its path."""
    lines = [f"__declspec(dllimport) {result} __stdcall {function}({parameters});"
             for _, function, result, parameters in functions]
    lines.append(extra)
    lines.append("int main(void) {\n  void* volatile used[] = {")
    lines += [f"      (void*){function}," for _, function, _, _ in functions]
    lines.append("  };\n  return used[0] != 0;\n}")
    source = os.path.join(directory, name + ".c")
    with open(source, "w", encoding="ascii") as probe:
        probe.write("\n".join(lines) + "\n")
    exe = os.path.join(directory, name + ".exe")
    libraries = sorted({"-l" + dll.lower() for dll, _, _, _ in functions})
    subprocess.run(["i686-w64-mingw32-gcc-win32", "-O1", "-o", exe, source, *libraries,
                    *([os.path.join(directory, "own.dll")] if extra else [])], check=True)
    return exe


def self_test():
    import tempfile

    exports = load_exports(EXPORTS)
    with tempfile.TemporaryDirectory() as directory:
        own = os.path.join(directory, "own.c")
        with open(own, "w", encoding="ascii") as source:
            source.write("__declspec(dllexport) int OwnFunction(void) { return 1; }\n")
        subprocess.run(["i686-w64-mingw32-gcc-win32", "-shared", "-o",
                        os.path.join(directory, "own.dll"), own], check=True)
        newer = link_probe(directory, "newer", NEWER_FUNCTIONS,
                           "__declspec(dllimport) int OwnFunction(void);\n"
                           "void* volatile own = (void*)OwnFunction;")
        older = link_probe(directory, "older", XP_FUNCTIONS)
        rejected, accepted = Check(), Check()
        check_imports(rejected, objdump("-p", newer), exports)
        check_imports(accepted, objdump("-p", older), exports)

    problems = []
    for dll, function, _, _ in NEWER_FUNCTIONS:
        if not any(f"!{function}:" in failure for failure in rejected.failures):
            problems.append(f"{dll}!{function} was not rejected")
    if not any(failure.startswith("own.dll:") for failure in rejected.failures):
        problems.append("own.dll, no system DLL, was not rejected")
    problems += [f"rejected an XP function: {failure}" for failure in accepted.failures]
    for line in rejected.failures:
        print(f"rejected as expected: {line}")
    print(f"accepted as expected: {', '.join(function for _, function, _, _ in XP_FUNCTIONS)}")
    if problems:
        print("check-release self-test failed:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1
    print("check-release self-test: the import check rejects what XP lacks")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("target", nargs="?", default=os.path.join(ROOT, "build", "windows"),
                        help="build directory of the windows preset, or an executable")
    parser.add_argument("--reproduce", action="store_true",
                        help="build a second copy in other directories and compare")
    parser.add_argument("--package", action="store_true", help="check the release ZIP too")
    parser.add_argument("--self-test", action="store_true",
                        help="make sure the import check rejects what Windows XP lacks")
    arguments = parser.parse_args()
    if arguments.self_test:
        return self_test()

    if os.path.isdir(arguments.target):
        build, exe = arguments.target, os.path.join(arguments.target, "CheckVela.exe")
    else:
        build, exe = os.path.dirname(arguments.target) or ".", arguments.target
    if not os.path.isfile(exe):
        raise SystemExit(f"{exe} not found; build the windows preset first")

    check = Check()
    data, lines = describe(exe, check, load_exports(EXPORTS))
    if arguments.reproduce:
        lines += reproduce(check, build, exe, data)
    if arguments.package:
        lines += check_package(check, build, data)
    print("\n".join(lines))
    if check.failures:
        print(f"check-release: {len(check.failures)} problem(s):", file=sys.stderr)
        for failure in check.failures:
            print(f"  {failure}", file=sys.stderr)
        return 1
    print("check-release: the release starts on Windows XP SP3 and later (imports, header, "
          "manifest)" + (", builds reproducibly" if arguments.reproduce else "")
          + (", package complete" if arguments.package else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
