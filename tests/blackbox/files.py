"""The files a case starts from and ends with: a table maps each name below
the case's directory to what is there (bytes, or Dir, Fifo, Link, HardLink);
lay_out makes the table, contents reads it back. Then a few whole files and
byte edits the tables are written with."""
import hashlib
import os
import struct
from pathlib import Path

from samples import header

V2 = header(version=b"Ver2") + bytes(264 * 2)
MAX_RECORDS = (2**31 - 1 - 32) // 264


class Dir:
    """A directory, in a table of files."""


class Fifo:
    """A FIFO, in a table of files."""


class Link(str):
    """A symbolic link to the given target, in a table of files."""


class HardLink(str):
    """Another name for the given file, in a table of files."""


class Foreign(bytes):
    """File contents owned by another user (where the tests run as root)."""


class ForeignLink(Link):
    """A symbolic link that another user made (where the tests run as root)."""


class Marked(bytes):
    """File contents under the mark of an unfinished copy: no permissions but the sticky bit."""


class Data(bytes):
    """File contents that print short in a failed comparison."""

    def __repr__(self):
        return f"<{len(self)} bytes {hashlib.sha1(self).hexdigest()[:10]}>"


def lay_out(root, files):
    for name, what in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if what is Dir:
            path.mkdir()
        elif what is Fifo:
            os.mkfifo(path)
        elif isinstance(what, Link):
            os.symlink(what, path)
            if isinstance(what, ForeignLink):
                os.lchown(path, 1234, 1234)
        elif isinstance(what, HardLink):
            os.link(root / what, path)
        else:
            path.write_bytes(what)
            if isinstance(what, Foreign):
                os.chown(path, 1234, 1234)
            if isinstance(what, Marked):
                path.chmod(0o1000)


def contents(root):
    """Every entry below root: a regular file's bytes, else what it is."""
    found = {}
    for top, dirs, names in os.walk(root):
        for name in dirs + names:
            path = Path(top, name)
            key = str(path.relative_to(root))
            if path.is_symlink():
                found[key] = Link(os.readlink(path))
            elif path.is_dir():
                found[key] = Dir
            elif path.is_file():
                found[key] = Data(path.read_bytes())
            else:
                found[key] = Fifo
    return found


def with_file_length(data, length):
    return data[:8] + struct.pack("<I", length) + data[12:]


def flip_byte(data, at):
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


def is_whole_version_2(data):
    """A version 2 file whose header was finished: its length field agrees."""
    return data[4:8] == b"Ver2" and len(data) >= 32 and struct.unpack_from("<I", data, 8)[0] == len(data)
