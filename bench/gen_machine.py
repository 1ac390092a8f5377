#!/usr/bin/env python3
"""Writes an old Vela installation for the benchmarks: Q queues with J waiting jobs each, every
job with 2 data files of S KiB.

    gen_machine.py ROOT Q J S_KIB

ROOT becomes a machine directory (ROOT/drive_c is C:, ROOT/registry.reg is HKLM, holding the old
uninstall entry) and may also be a Wine prefix, where uninstall.reg is for `wine reg import`.
The data files live in C:\\Vela\\data\\q<i>; `ROOT/data-files.txt` lists their host paths, one
a line, for the plain copy that the migration is compared against.
"""
import os
import sys


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    root, queues, jobs, kib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    c = os.path.join(root, "drive_c")
    vela = os.path.join(c, "Vela")
    write(os.path.join(c, "windows", "vela.ini"), b"[Settings]\r\nIni=C:\\Vela\\vela.ini\r\n")
    write(os.path.join(c, "Program Files", "Vela", "delvela.exe"), b"MZ")

    main_ini = [b"[LogOptions]\r\nLevel=3\r\n[Settings]\r\nTimeout=30\r\n[CurrentJobs]\r\n",
                b"[Queues]\r\n"]
    sections = []
    for q in range(1, queues + 1):
        main_ini.append(b"%d=q%03d\r\n" % (q, q))
        sections.append(b"[q%03d]\r\nqueuedir=C:\\Vela\\queues\\q%03d\r\n" % (q, q))
    write(os.path.join(vela, "vela.ini"), b"".join(main_ini + sections))

    block = os.urandom(kib * 1024)
    listing = []
    for q in range(1, queues + 1):
        qdir = os.path.join(vela, "queues", "q%03d" % q)
        write(os.path.join(qdir, "queue.ini"),
              b"[Settings]\r\nPrinter=HP LaserJet 4\r\nPort=LPT1:\r\nCopies=1\r\n"
              b"[Font]\r\nFaceName=Courier New\r\nHeight=-13\r\nWeight=400\r\n")
        ddir = os.path.join(vela, "data", "q%03d" % q)
        for j in range(1, jobs + 1):
            names = [b"dfA%03d%05d" % (q, j), b"dfB%03d%05d" % (q, j)]
            files = []
            for k, name in enumerate(names, 1):
                host = os.path.join(ddir, name.decode())
                # Each file differs from the others in its first bytes.
                write(host, name + block[len(name):])
                listing.append(host)
                files.append(b"File%d=l%s\r\nData%d=C:\\Vela\\data\\q%03d\\%s\r\n"
                             % (k, name, k, q, name))
            write(os.path.join(qdir, "cf%05d.ini" % j),
                  b"[Settings]\r\nSeqno=%05d\r\nControlFileName=cfA%03d%05d\r\nDataFiles=2\r\n"
                  b"User=bench\r\nHost=printhost\r\n[Files]\r\n" % (j, q, j) + b"".join(files))
    with open(os.path.join(root, "data-files.txt"), "w") as f:
        f.write("\n".join(listing) + "\n")
    registry = (b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
                b"\\Uninstall\\Vela Print Server]\r\n"
                b"\"UninstallString\"=\"C:\\\\Vela\\\\uninst.exe\"\r\n")
    for name in ("uninstall.reg", "registry.reg"):
        write(os.path.join(root, name), registry)


if __name__ == "__main__":
    main()
