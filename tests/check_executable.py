#!/usr/bin/env python3
"""Checks the Windows executable's headers: a console program for the
expected machine (i686 or x86_64) that imports from KERNEL32.dll,
msvcrt.dll and ADVAPI32.dll (for the copy's security) alone, with a version
record whose fixed part and strings give the expected file and product
versions, company and copyright, and an application manifest (resource 1
of type RT_MANIFEST) that runs it asInvoker, never virtualized, on every
Windows from Vista to 11.

  check_executable.py statconv.exe FILE_VERSION PRODUCT_VERSION i686|x86_64 COMPANY COPYRIGHT
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree


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


def data_directory(data, pe, index):
    optional = pe + 24
    directories = optional + (112 if u16(data, optional) == 0x20B else 96)  # PE32+ or PE32
    return u32(data, directories + 8 * index)


def imported_dlls(data, pe):
    table = offset_of(data, pe, data_directory(data, pe, 1))  # imports
    names = []
    while u32(data, table + 12):
        name = offset_of(data, pe, u32(data, table + 12))
        names.append(data[name : data.index(b"\0", name)].decode())
        table += 20
    return names


def resource(data, pe, kind, number):
    """The bytes of resource `number` of type `kind`, in its first language, or b"" where there is none."""
    base = offset_of(data, pe, data_directory(data, pe, 2))  # resources: type, name, language
    at = base
    for wanted in (kind, number, None):
        count = u16(data, at + 12) + u16(data, at + 14)  # named and numbered entries
        entries = [(u32(data, at + 16 + 8 * i), u32(data, at + 20 + 8 * i)) for i in range(count)]
        targets = [target for name, target in entries if wanted in (None, name)]
        if not targets:
            return b""
        at = base + (targets[0] & 0x7FFFFFFF)  # a directory, until the language's data entry
    start = offset_of(data, pe, u32(data, at))
    return data[start : start + u32(data, at + 4)]


def manifest(data, pe):
    """What the manifest asks: the execution level, uiAccess and the supported systems' IDs."""
    root = ElementTree.fromstring(resource(data, pe, 24, 1) or b"<none/>")
    found = {element.tag.rpartition("}")[2]: element for element in root.iter()}
    level = found.get("requestedExecutionLevel", ElementTree.Element("none"))
    return (level.get("level"), level.get("uiAccess"),
            sorted(element.get("Id") for element in root.iter() if element.tag.endswith("}supportedOS")))


SUPPORTED_OS = sorted([
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
])


def version_strings(data):
    def value(key):
        marker = (key + "\0").encode("utf-16-le")
        at = data.index(marker) + len(marker)
        at += at % 4  # the value starts on a 32-bit boundary
        end = data.index(b"\0\0", at)
        end += (end - at) % 2
        return data[at:end].decode("utf-16-le")
    return value("FileVersion"), value("ProductVersion"), value("CompanyName"), value("LegalCopyright")


def fixed_versions(data):
    at = data.index(struct.pack("<I", 0xFEEF04BD))
    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return dotted(u32(data, at + 8), u32(data, at + 12)), dotted(u32(data, at + 16), u32(data, at + 20))


MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}  # machine, PE32 or PE32+


def main(path, file_version, product_version, processor, company, copyright):
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
        "manifest": manifest(data, pe),
    }
    wanted = {
        "signature": b"PE\0\0",
        "machine": hex(machine),
        "optional header": hex(optional_magic),
        "subsystem": 3,  # Windows console
        "imports": ["advapi32.dll", "kernel32.dll", "msvcrt.dll"],
        "fixed versions": (file_version, product_version),
        "version strings": (file_version, product_version, company, copyright),
        "manifest": ("asInvoker", "false", SUPPORTED_OS),
    }
    failed = 0
    for key, value in wanted.items():
        ok = found[key] == value
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {key}: {found[key]!r}" + ("" if ok else f", wanted {value!r}"))
    print(f"{len(wanted) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
