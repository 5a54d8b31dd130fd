#!/usr/bin/env python3
"""Exits 0 when this machine can execute 32-bit (i386) Linux programs, 1
when it cannot, and says which on standard output.

It runs a 32-bit program of its own: a static ELF of 96 bytes that makes
the exit system call with status 42. It needs no installed library, so an
installed but unusable 32-bit Wine cannot fool it.
"""
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes.fromhex("b801000000" "bb2a000000" "cd80")  # exit(42) through int 0x80
ELF_HEADER, PROGRAM_HEADER = 52, 32


def program():
    size = ELF_HEADER + PROGRAM_HEADER + len(CODE)
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)  # 32-bit, little-endian, version 1
    elf = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, BASE + ELF_HEADER + PROGRAM_HEADER,
                              ELF_HEADER, 0, 0, ELF_HEADER, PROGRAM_HEADER, 1, 0, 0, 0)
    segment = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)  # load, r-x
    return elf + segment + CODE


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "probe")
        with open(path, "wb") as out:
            out.write(program())
        os.chmod(path, 0o755)
        try:
            status = subprocess.run([path]).returncode
        except OSError as error:
            print(f"cannot execute 32-bit programs ({error.strerror})")
            return 1
    if status != 42:
        print(f"cannot execute 32-bit programs (the probe exited with {status})")
        return 1
    print("can execute 32-bit programs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
