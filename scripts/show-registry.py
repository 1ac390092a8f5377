#!/usr/bin/env python3
"""Prints the keys of a REGEDIT4 file whose paths contain one of the given words, with each
value in a readable form: text, number or bytes, and its registry type."""
import re
import sys

TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def describe(data):
    if data.startswith('"'):
        return f'"{unescape(data[1:-1])}"  (REG_SZ)'
    if data.startswith("dword:"):
        return f"{int(data[6:], 16)}  (REG_DWORD)"
    match = re.match(r"hex(?:\((\w+)\))?:(.*)", data)
    if not match:
        return data
    kind = int(match.group(1) or "3", 16)
    raw = bytes(int(b, 16) for b in match.group(2).replace(" ", "").split(",") if b)
    if kind in (1, 2):
        text = raw.decode("cp1252", errors="replace")
        note = "" if text.endswith("\0") else ", no NUL"
        return f'"{text.rstrip(chr(0))}"  ({TYPES[kind]}{note})'
    return f"{raw.hex(' ')}  ({TYPES.get(kind, f'type {kind}')}, {len(raw)} bytes)"


def main():
    path, words = sys.argv[1], sys.argv[2:]
    text = open(path, "rb").read().decode("cp1252").replace("\\\r\n  ", "").replace("\r\n", "\n")
    show = False
    for line in text.split("\n"):
        if line.startswith("["):
            show = any(word in line for word in words)
            if show:
                print(line[1:-1].replace("HKEY_LOCAL_MACHINE\\", ""))
        elif show and "=" in line:
            match = re.match(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line)
            if match:
                name = "(default)" if match.group(1) == "@" else unescape(match.group(1)[1:-1])
                print(f"    {name} = {describe(match.group(2))}")


if __name__ == "__main__":
    main()
