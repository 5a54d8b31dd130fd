#!/usr/bin/env python3
"""Sample statistics files, and what their conversion must give.

The expected version 2 bytes are computed here from the layout alone, apart
from the converter: header bytes 0-3 and 12-31 unchanged, "Ver2" in 4-7, the
file's length in 8-11; each record's bytes 0-3, then four zero bytes, then
its bytes 4-259; an incomplete last record dropped.

Run as a program it writes sample files:
  samples.py builtin DIR     five version 1 files in DIR/trans (the built-in list)
  samples.py big FILE MIB    one version 1 file of about MIB mebibytes
  samples.py seeds DIR       a small seed corpus for the fuzzer
"""
import random
import struct
import sys
from pathlib import Path

HEADER, V1_RECORD, V2_RECORD = 32, 260, 264
BUILTIN = ["trans/collstat", "trans/circstat", "trans/patrstat", "trans/peplstat", "trans/cashdrwr"]


def header(magic=b"StAt", version=b"\x01\x00\x00\x00", seed=0):
    """A header with a recognisable length field and tail."""
    tail = random.Random(f"tail{seed}").randbytes(20)
    return magic + version + b"\xde\xad\xbe\xef" + tail


def records(count, seed=0):
    return random.Random(f"records{seed}").randbytes(V1_RECORD * count)


def version_1(count, trailing=0, seed=0, version=b"\x01\x00\x00\x00"):
    return header(version=version, seed=seed) + records(count, seed) + b"\xab" * trailing


def converted(data):
    """The exact version 2 file that version 1 `data` converts into."""
    count = (len(data) - HEADER) // V1_RECORD
    out = [data[0:4], b"Ver2", struct.pack("<I", HEADER + V2_RECORD * count), data[12:32]]
    for i in range(count):
        record = data[HEADER + V1_RECORD * i : HEADER + V1_RECORD * (i + 1)]
        out += [record[0:4], b"\0\0\0\0", record[4:]]
    return b"".join(out)


def unfinished(data, length):
    """The first `length` bytes a conversion of `data` writes before it
    stores the final length in the header."""
    return (converted(data)[:8] + data[8:12] + converted(data)[12:])[:length]


def write_builtin(directory):
    (Path(directory) / "trans").mkdir(parents=True, exist_ok=True)
    for seed, name in enumerate(BUILTIN):
        (Path(directory) / name).write_bytes(version_1(3 * seed + 2, trailing=17 * seed, seed=seed))


def write_big(path, mebibytes):
    block = records(4096, seed=1)
    with open(path, "wb") as f:
        f.write(header())
        for _ in range(mebibytes * 1024 * 1024 // len(block)):
            f.write(block)


def write_seeds(directory):
    seeds = {
        "empty": b"",
        "short-header": header()[:31],
        "header-only": version_1(0),
        "records": version_1(3),
        "trailing": version_1(2, trailing=100),
        "version-2": header(version=b"Ver2") + bytes(264),
        "foreign": b"STAT" + version_1(1)[4:],
    }
    Path(directory).mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (Path(directory) / name).write_bytes(data)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "builtin":
        write_builtin(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "seeds":
        write_seeds(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "big":
        write_big(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(__doc__)
