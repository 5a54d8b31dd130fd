#!/usr/bin/env python3
"""Checks the Windows executable's headers: a console program for the
expected machine (i386 unless x86-64 is named) that imports from
KERNEL32.dll, msvcrt.dll and ADVAPI32.dll (for the copy's security) alone,
with a version record whose fixed part and strings give the expected file
and product versions.

  check_executable.py statconv.exe FILE_VERSION PRODUCT_VERSION [i686|x86_64]
"""
import struct
import sys


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def sections(data, pe):
    count, optional_size = u16(data, pe + 6), u16(data, pe + 20)
    table = pe + 24 + optional_size
    for i in range(count):
        at = table + 40 * i
        yield u32(data, at + 12), u32(data, at + 8), u32(data, at + 20)  # rva, size, file offset


def offset_of(data, pe, rva):
    for start, size, raw in sections(data, pe):
        if start <= rva < start + size:
            return raw + rva - start
    raise ValueError(f"RVA {rva:#x} is in no section")


def imported_dlls(data, pe):
    optional = pe + 24
    directories = optional + (112 if u16(data, optional) == 0x20B else 96)  # PE32+ or PE32
    table = offset_of(data, pe, u32(data, directories + 8))  # data directory 1: imports
    names = []
    while u32(data, table + 12):
        name = offset_of(data, pe, u32(data, table + 12))
        names.append(data[name : data.index(b"\0", name)].decode())
        table += 20
    return names


def version_strings(data):
    def value(key):
        marker = (key + "\0").encode("utf-16-le")
        at = data.index(marker) + len(marker)
        at += at % 4  # the value starts on a 32-bit boundary
        end = data.index(b"\0\0", at)
        end += (end - at) % 2
        return data[at:end].decode("utf-16-le")
    return value("FileVersion"), value("ProductVersion")


def fixed_versions(data):
    at = data.index(struct.pack("<I", 0xFEEF04BD))
    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return dotted(u32(data, at + 8), u32(data, at + 12)), dotted(u32(data, at + 16), u32(data, at + 20))


MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}  # machine, PE32 or PE32+


def main(path, file_version, product_version, processor="i686"):
    machine, optional_magic = MACHINES[processor]
    data = open(path, "rb").read()
    pe = u32(data, 0x3C)
    found = {
        "signature": data[pe : pe + 4],
        "machine": hex(u16(data, pe + 4)),
        "optional header": hex(u16(data, pe + 24)),
        "subsystem": u16(data, pe + 24 + 68),
        "imports": sorted(name.lower() for name in imported_dlls(data, pe)),
        "fixed versions": fixed_versions(data),
        "version strings": version_strings(data),
    }
    wanted = {
        "signature": b"PE\0\0",
        "machine": hex(machine),
        "optional header": hex(optional_magic),
        "subsystem": 3,  # Windows console
        "imports": ["advapi32.dll", "kernel32.dll", "msvcrt.dll"],
        "fixed versions": (file_version, product_version),
        "version strings": (file_version, product_version),
    }
    failed = 0
    for key, value in wanted.items():
        ok = found[key] == value
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {key}: {found[key]!r}" + ("" if ok else f", wanted {value!r}"))
    print(f"{len(wanted) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
