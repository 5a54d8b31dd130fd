#!/usr/bin/env python3
"""Black-box tests: run the built programs in a temporary directory and
compare standard output, standard error, exit status and every file left.

  blackbox.py --converter CMD [--faulty CMD] [--statinfo CMD] [--reverter CMD]
              [--faulty-reverter CMD] [--windows --holder CMD] [unittest args]

Commands are command lines with absolute paths ("wine /x/statconv.exe").
--faulty names the converter's build whose I/O calls can be made to fail
(STATCONV_FAULT=call:N); --statinfo, the examining program; --reverter and
--faulty-reverter, statrevert and its fault-injecting build. --windows runs
the Windows programs' cases: lines end in CR LF there, the lock is a sharing
mode (taken by the --holder program), and what only POSIX systems have
(FIFOs, symbolic links, modes, flock, signals) is skipped.
"""
import argparse
import errno
import fcntl
import hashlib
import os
import resource
import shlex
import shutil
import signal
import subprocess
import struct
import sys
import tempfile
import time
import unittest
from pathlib import Path
from types import SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parent))
from samples import BUILTIN, converted, header, unfinished, version_1  # noqa: E402

# Options are read before the tests are defined: they decide what is skipped.
_parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
_parser.add_argument("--converter", required=True)
_parser.add_argument("--faulty")
_parser.add_argument("--windows", action="store_true")
_parser.add_argument("--holder")
_parser.add_argument("--statinfo")
_parser.add_argument("--reverter")
_parser.add_argument("--faulty-reverter")
OPTIONS, UNITTEST_ARGS = _parser.parse_known_args()
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
        elif isinstance(what, HardLink):
            os.link(root / what, path)
        else:
            path.write_bytes(what)
            if isinstance(what, Foreign):
                os.chown(path, 1234, 1234)


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


def announced(*names, verb="Converting"):
    return "".join(f"{verb} {name}\n" for name in names)


needs_reverter = unittest.skipUnless(OPTIONS.reverter, "needs statrevert")


class ConverterTest(unittest.TestCase):
    maxDiff = 4000

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="statconv-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def run_program(self, *args, command=None, env=None, preexec=None, merged=False):
        command = shlex.split(command or OPTIONS.converter)
        return subprocess.run(
            command + list(args), cwd=self.root, capture_output=not merged,
            stdout=subprocess.PIPE if merged else None,
            stderr=subprocess.STDOUT if merged else None,
            env=dict(os.environ, **(env or {})), preexec_fn=preexec,
            restore_signals=preexec is None, timeout=60, text=True, errors="replace")

    def run_converter(self, *args, **options):
        result = self.run_program(*args, **options)
        if OPTIONS.windows:  # the runtime writes text streams with CR LF
            result.stdout = result.stdout.replace("\r\n", "\n")
            result.stderr = result.stderr and result.stderr.replace("\r\n", "\n")
        return result

    def check(self, result, status, stdout, stderr):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (status, stdout, stderr))

    def assert_diagnosed(self, files, data):
        """statinfo's line for x, version 1 `data` or its conversion, or
        missing after a swap cut off: names what is there."""
        if OPTIONS.statinfo:
            line = self.run_converter("x", command=OPTIONS.statinfo).stdout
            start = "x: missing; a conversion or a revert was cut off" if "x" not in files else (
                "x: version 1, " if files["x"] == data else "x: version 2, ")
            self.assertTrue(line.startswith(start), line)

    def check_refused(self, files, args, stderr, reverting=False, **run):
        """A refusal or failure: status 0 (statrevert: 1), one diagnostic,
        nothing on disk changed."""
        lay_out(self.root, files)
        before = contents(self.root)
        if reverting:
            run.setdefault("command", OPTIONS.reverter)
        self.check(self.run_converter(*args, **run), int(reverting),
                   announced(*args, verb="Reverting" if reverting else "Converting"), stderr)
        self.assertEqual(contents(self.root), before)

    def check_converted(self, name, data, others=None, **run):
        """A conversion of `data` under `name`: status 1, exact files after."""
        lay_out(self.root, {name: data, **(others or {})})
        expected = {**contents(self.root), name: converted(data), name + ".old": data}
        expected.pop(name + ".new", None)
        records = (len(data) - 32) // 260
        self.check(self.run_converter(name, **run), 1, announced(name), f"Converted {records} records\n")
        self.assertEqual(contents(self.root), expected)
        if OPTIONS.reverter:  # and back: the original bytes, trailing ones included
            expected = {**expected, name: data}
            del expected[name + ".old"]
            self.check(self.run_converter(name, command=OPTIONS.reverter), 0,
                       announced(name, verb="Reverting")
                       + f"Reverted {name}: {records} records, version 1 again\n", "")
            self.assertEqual(contents(self.root), expected)


def japanese_locale(test):
    """Wine's environment for code page 932: ja_JP.UTF-8, made with localedef where it is not
    installed; the test is skipped where it cannot be had."""
    env = {"LC_ALL": "ja_JP.UTF-8"}
    if "ja_JP.utf8" not in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split():
        env["LOCPATH"] = tempfile.mkdtemp(prefix="locale-")
        test.addCleanup(shutil.rmtree, env["LOCPATH"], ignore_errors=True)
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", env["LOCPATH"] + "/ja_JP.UTF-8"],
                       capture_output=True)
        if not os.path.isdir(env["LOCPATH"] + "/ja_JP.UTF-8"):
            test.skipTest("no ja_JP.UTF-8 locale, and localedef could not make one")
    return env


def posix_only(test):
    return unittest.skipIf(OPTIONS.windows, "FIFOs, symbolic links and modes are POSIX matters")(test)


class Refusals(ConverterTest):
    def test_refused_inputs_leave_everything_as_it_was(self):
        long_name = "n" * 1024
        rows = [
            ("missing", {}, "x", "Cannot open x\n"),
            ("empty", {"x": b""}, "x", "Cannot read header"),
            ("short header", {"x": header()[:31]}, "x", "Cannot read header"),
            ("capitals STAT", {"x": b"STAT" + version_1(2)[4:]}, "x", "x is NOT a statistics file\n"),
            ("lower stat", {"x": b"stat" + version_1(2)[4:]}, "x", "x is NOT a statistics file\n"),
            ("foreign Ver2", {"x": b"XXXXVer2" + bytes(300)}, "x", "x is NOT a statistics file\n"),
            ("version 2", {"x": V2}, "x", "x is already version 2\n"),
            ("directory", {"x": Dir}, "x", "Cannot open x\n"),
            ("dash name", {}, "-v", "Cannot open -v\n"),
            ("name too long", {}, long_name, f"{long_name} is too long a name to convert\n"),
        ]
        if not OPTIONS.windows:
            rows += [
                ("fifo", {"x": Fifo}, "x", "Cannot open x\n"),
                ("symbolic link", {"x": Link("real"), "real": version_1(2)}, "x", "Cannot open x\n"),
                ("new is a link", {"x": version_1(2), "x.new": Link("victim"), "victim": b"keep"},
                 "x", "Cannot create x.new\n"),
                ("new is a hard link", {"x": version_1(2), "victim": b"keep", "x.new": HardLink("victim")},
                 "x", "Cannot create x.new\n"),
            ] + ([("new is another user's copy", {"x": version_1(2), "x.new": Foreign(V2)}, "x",
                   "Cannot create x.new\n")] if os.geteuid() == 0 else [])
        rows += [("another name of x", {"x": version_1(2), "other": HardLink("x")}, "x", "Cannot open x\n"),
                 ("new is a directory", {"x": version_1(2), "x.new": Dir}, "x", "Cannot create x.new\n"),
                 ("new is a version 2 file that differs", {"x": version_1(2), "x.new":
                  flip_byte(converted(version_1(2)), 40)}, "x", "Cannot create x.new\n"),
                 ("new holds other data", {"notes": version_1(2), "notes.new": b"my notes"}, "notes",
                  "Cannot create notes.new\n"),
                 ("new begins another file's conversion", {"x": version_1(2), "x.new":
                  unfinished(version_1(3), 600)}, "x", "Cannot create x.new\n")]
        # A NAME.new that looks like a leftover copy, but is another name of one or a link to one.
        rows += [(f"new is {what} a version 2 file", {"x": version_1(2), "v": V2, "x.new": link("v")},
                  "x", "Cannot create x.new\n") for what, link in [("a link to", Link),
                                                                   ("another name of", HardLink)]]
        rows += [("new is a link to a same-named file elsewhere", {"x": version_1(2), "other/x.new": V2,
                  "x.new": Link("other/x.new")}, "x", "Cannot create x.new\n")]
        if OPTIONS.windows:
            # Windows drops a dot or space that ends a part of a name: each would reach `file`.
            rows += [(f"{name!r}", {file: version_1(2)}, name, f"Cannot open {name}\n")
                     for name, file in [("g.", "g"), ("g ", "g"), ("d./g", "d/g"), ("x\\.", "x")]]
        for label, files, name, stderr in rows:
            with self.subTest(label):
                self.setUp()
                self.check_refused(files, [name], stderr)

    @needs_reverter
    def test_refused_reverts_leave_everything_as_it_was(self):
        v1, plain = version_1(3, trailing=7), version_1(3)
        v2 = converted(v1)
        not_v1 = "x: x.old is not a version 1 statistics file; not reverted\n"
        in_the_way = "x: x.new is in the way; not reverted\n"
        rows = [
            ("missing", {}, "x: cannot open: No such file or directory; not reverted\n"),
            ("version 1", {"x": v1, "x.old": v1}, "x: not a version 2 statistics file; not reverted\n"),
            ("no old file", {"x": v2}, "x: cannot open x.old: No such file or directory; not reverted\n"),
            ("old file foreign", {"x": v2, "x.old": b"STAT" + v1[4:]}, not_v1),
            ("old file version 2", {"x": v2, "x.old": v2}, not_v1),
            ("a changed byte", {"x": flip_byte(v2, 32 + 264 * 2 + 8 + 5), "x.old": v1},
             "x has changed since it was converted (record 3, block_1 differs from x.old); "
             "not reverted\n"),
            ("a record written since", {"x": converted(plain + plain[32:292]), "x.old": plain},
             "x has changed since it was converted (4 records, x.old has 3); not reverted\n"),
            ("new name taken", {"x": v2, "x.old": v1, "x.new": b""}, in_the_way),
            ("new name a directory", {"x": v2, "x.old": v1, "x.new": Dir}, in_the_way),
        ]
        if not OPTIONS.windows:
            rows += [
                ("a symbolic link", {"x": Link("real"), "real": v2, "x.old": v1},
                 "x: cannot open: a symbolic link; not reverted\n"),
                ("old file a link", {"x": v2, "x.old": Link("real"), "real": v1},
                 "x: cannot open x.old: a symbolic link; not reverted\n"),
                ("another name of x", {"x": v2, "x.old": v1, "other": HardLink("x")}, "x: it has other "
                 "names (hard links), which would go on naming the version 2 data; not reverted\n"),
                ("new name a dangling link", {"x": v2, "x.old": v1, "x.new": Link("nowhere")},
                 in_the_way),
                ("old file with another name", {"x": v2, "x.old": v1, "backup": HardLink("x.old")},
                 "x: x.old has other names (hard links), which would go on naming the data put back; "
                 "not reverted\n"),
            ] + ([("old file another user's", {"x": v2, "x.old": Foreign(v1)},
                   "x: x.old belongs to another user, who would then own x; not reverted\n")]
                 if os.geteuid() == 0 else [])
        for label, files, stderr in rows:
            with self.subTest(label):
                self.setUp()
                self.check_refused(files, ["x"], stderr, reverting=True)

    @unittest.skipUnless(OPTIONS.windows, "the runtime's arguments are in the ANSI code page")
    def test_a_name_the_code_page_cannot_hold_is_refused(self):
        lay_out(self.root, {"Omega": version_1(2), "Ωmega": version_1(3)})
        before = contents(self.root)
        # Wine's code page 1252 under C.UTF-8 has no Ω, and maps it to O.
        self.check(self.run_converter("Ωmega", env={"LC_ALL": "C.UTF-8"}), 0, "Converting Omega\n",
                   "Cannot open Omega\n")
        self.assertEqual(contents(self.root), before)

    @unittest.skipUnless(OPTIONS.windows, "Windows drops the dot; a byte scan misreads code page 932")
    def test_a_double_byte_name_ending_in_a_dot_is_refused(self):
        # The second byte of 表 in code page 932 is 0x5C, a backslash to a byte scan.
        env = japanese_locale(self)
        lay_out(self.root, {"表": version_1(2)})
        shown = "表.".encode("cp932").decode(errors="replace")  # the runtime's bytes, read as UTF-8
        self.check(self.run_converter("表.", env=env), 0, f"Converting {shown}\n", f"Cannot open {shown}\n")
        self.assertEqual(contents(self.root), {"表": version_1(2)})

    def test_too_large_for_version_2_is_refused_at_once(self):
        path = self.root / "x"
        path.write_bytes(version_1(0))
        os.truncate(path, 32 + 260 * (MAX_RECORDS + 1))
        self.check(self.run_converter("x"), 0, announced("x"), "x is too large to convert\n")
        self.assertEqual(sorted(os.listdir(self.root)), ["x"])
        self.assertEqual(path.stat().st_size, 32 + 260 * (MAX_RECORDS + 1))


class Conversions(ConverterTest):
    def test_files_convert_exactly(self):
        rows = [
            ("header only", version_1(0), None),
            ("three records", version_1(3, seed=3), None),
            ("trailing bytes dropped", version_1(5, trailing=100), None),
            ("one byte short of a record", version_1(2, trailing=259), None),
            ("all 0xFF", header(version=b"Ver1") + b"\xff" * 260, None),
            ("zero version", version_1(4, version=b"\0\0\0\0"), None),
            ("leftover empty copy", version_1(2), {"x.new": b""}),
            ("leftover finished copy", version_1(2), {"x.new": converted(version_1(2))}),
            ("leftover unfinished copy", version_1(2), {"x.new": unfinished(version_1(2), 300)}),
            ("leftover cut off in its header", version_1(2), {"x.new": unfinished(version_1(2), 5)}),
            ("leftover whose header reached the disk first", version_1(2),
             {"x.new": with_file_length(unfinished(version_1(2), 300), 32 + 264 * 2)}),
            ("several writeback intervals", version_1(8192 * 2 + 5, trailing=7), None),
        ]
        for label, data, others in rows:
            with self.subTest(label):
                self.setUp()
                self.check_converted("x", data, others)
        if not OPTIONS.windows:
            with self.subTest("on a 128 KiB stack"):
                self.setUp()
                self.check_converted("x", version_1(3), preexec=limit(resource.RLIMIT_STACK, 128 * 1024))

    @unittest.skipUnless(OPTIONS.windows, "drive letters, case, short names and links of Windows")
    def test_a_file_reached_another_way_converts_under_its_own_name(self):
        data, names = version_1(2), ["TRANS/" + n.split("/")[1].upper() for n in BUILTIN]
        drive = Path(os.environ.get("WINEPREFIX", str(Path.home() / ".wine")), "dosdevices", "y:")
        rows = [  # what is given (nothing: the built-in list), the files, where they are converted
            ("other case", ["X"], {"x": data}, ["x"]),
            ("an 8.3 short name", ["STAT~JIP.DAT"], {"statistics.dat": data}, ["statistics.dat"]),
            ("a directory part in other case", ["SITE/x"], {"site/x": data}, ["site/x"]),
            ("a link to the directory", ["link/x"], {"real/x": data, "link": Link("real")}, ["real/x"]),
            ("a second drive letter", ["y:x"], {"x": data}, ["x"]),
            ("upper-case names of the built-in list", [], {n: data for n in names}, names),
        ]
        for label, args, files, converted_names in rows:
            with self.subTest(label):
                self.setUp()
                lay_out(self.root, files)
                drive.unlink(missing_ok=True)
                drive.symlink_to(self.root)
                self.addCleanup(drive.unlink, missing_ok=True)
                expected = {**contents(self.root), **{n: converted(data) for n in converted_names},
                            **{n + ".old": data for n in converted_names}}
                self.check(self.run_converter(*args), 1, announced(*(args or BUILTIN)),
                           "Converted 2 records\n" * len(converted_names))
                self.assertEqual(contents(self.root), expected)

    @unittest.skipUnless(OPTIONS.windows, "the read-only and hidden attributes, as Wine keeps them")
    def test_attributes_are_the_files_not_a_leftovers(self):
        def hidden(path):
            os.setxattr(path, "user.DOSATTRIB", b"0x2")

        def attributes(path):
            dos = os.getxattr(path, "user.DOSATTRIB") if "user.DOSATTRIB" in os.listxattr(path) else b"0"
            return ("read-only " if not path.stat().st_mode & 0o222 else "") + \
                ("hidden" if int(dos, 16) & 2 else "")
        rows = [("hidden leftover", "x.new", hidden, ""),
                ("read-only leftover", "x.new", lambda path: os.chmod(path, 0o444), ""),
                ("read-only file", "x", lambda path: os.chmod(path, 0o444), "read-only ")]
        for label, marked, mark, expected in rows:
            with self.subTest(label):
                self.setUp()
                lay_out(self.root, {"x": version_1(2), "x.new": unfinished(version_1(2), 300)})
                mark(self.root / marked)
                self.assertEqual(self.run_converter("x").returncode, 1)
                self.assertEqual(attributes(self.root / "x"), expected)
                if OPTIONS.reverter:  # and back, removing the converted copy whatever its attributes
                    self.assertEqual(self.run_converter("x", command=OPTIONS.reverter).returncode, 0)

    def test_longest_name_that_fits(self):
        directory = "/".join(["d" * 200] * 5)
        name = directory + "/" + "f" * (1023 - len(directory) - 1)
        self.assertEqual(len(name), 1023)
        self.check_converted(name, version_1(1))

    def test_old_name_taken_leaves_the_copy_beside_the_file(self):
        data = version_1(3)
        lay_out(self.root, {"x": data, "x.old": b"earlier"})
        self.check(self.run_converter("x"), 0, announced("x"),
                   "Converted 3 records\nCannot rename x to x.old\n")
        self.assertEqual(contents(self.root), {"x": data, "x.old": b"earlier", "x.new": converted(data)})

    @posix_only
    def test_permissions_and_owner_are_kept(self):
        data = version_1(1)
        lay_out(self.root, {"x": data, "x.new": b""})
        os.chmod(self.root / "x", 0o640)
        os.chmod(self.root / "x.new", 0o666)
        owner = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(self.root / "x", *owner)
        earlier = os.open(self.root / "x.new", os.O_RDONLY)  # opened on the leftover beforehand
        self.addCleanup(os.close, earlier)
        self.check(self.run_converter("x"), 1, announced("x"), "Converted 1 records\n")
        st = os.stat(self.root / "x")
        self.assertEqual((st.st_mode & 0o7777, st.st_uid, st.st_gid), (0o640, *owner))
        self.assertEqual(os.read(earlier, 100), b"")  # the copy was made afresh, out of its reach

    def test_security_is_carried_or_the_conversion_refused(self):
        as_user = lambda: (os.setgroups([]), os.setgid(1234), os.setuid(1234))  # noqa: E731
        acl, writable = ["setfacl", "-m", "u:1234:rw", "x"], ["chmod", "777", "."]
        rows = [  # commands run on x and its directory, the fault or user, whether it converts
            ("an ACL that narrows the group", [["setfacl", "-m", "g:5000:---", "x"]], None, True),
            ("an ACL that grants a named user", [["chmod", "600", "x"], acl], None, True),
            ("a default ACL, none on x", [["setfacl", "-dm", "u:1234:rwx", "."]], None, True),
            ("a user attribute", [["setfattr", "-n", "user.origin", "-v", "scan", "x"]], None, True),
            ("nodump, and sync inherited", [["chattr", "+d", "x"], ["chattr", "+S", "."]], None, True),
            ("no ACLs, none to carry", [], "acl_get_fd:1", True),
            ("no ACLs on the copy, none to carry", [], "acl_set_fd:1", True),
            ("no ACLs on the copy, one to carry", [acl], "acl_set_fd:1", False),
            ("her own file, as her", [writable, ["chown", "1234:1234", "x"]], as_user, True),
            ("a group she is not in", [writable, ["chown", "1234:5678", "x"]], as_user, False),
            ("another user's file", [writable, ["chown", "4321:4321", "x"]], as_user, False),
        ] if not OPTIONS.windows else [  # Wine shows a DACL as mode bits: Everyone's are others'
            (f"mode {mode}", [["chmod", mode, "x"]], None, True) for mode in ("600", "640", "644")]
        for label, commands, how, converts in rows:
            with self.subTest(label):
                if os.geteuid() != 0 or (isinstance(how, str) and not OPTIONS.faulty):
                    self.skipTest("needs root and the fault-injecting build")
                self.setUp()
                lay_out(self.root, {"x": version_1(3)})
                for command in commands:
                    subprocess.run(command, cwd=self.root, check=True)
                before, files = carried(self.root / "x"), contents(self.root)
                result = self.run_converter("x", command=OPTIONS.faulty if isinstance(how, str) else None,
                                            env={"STATCONV_FAULT": how} if isinstance(how, str) else None,
                                            preexec=how if callable(how) else None)
                self.assertEqual(result.returncode, converts, result.stderr)
                if not converts:
                    self.assertEqual((result.stderr, contents(self.root), carried(self.root / "x")),
                                     ("Cannot give x.new the owner, group, permissions and attributes of x: "
                                      f"{os.strerror(errno.EOPNOTSUPP if isinstance(how, str) else errno.EPERM)}; "
                                      "the copy is removed\n", files, before))
                    continue
                self.assertEqual((carried(self.root / "x"), carried(self.root / "x.old")), (before, before))
                if OPTIONS.reverter:
                    self.run_converter("x", command=OPTIONS.reverter)
                    self.assertEqual(carried(self.root / "x"), before)


class BuiltinListAndArguments(ConverterTest):
    def lay_out_builtin(self, **replace):
        files = {name: version_1(i + 1, seed=i) for i, name in enumerate(BUILTIN)}
        files.update(replace)
        lay_out(self.root, files)
        return files

    def test_no_arguments_and_no_trans_directory(self):
        self.check(self.run_converter(), 0, announced(*BUILTIN),
                   "".join(f"Cannot open {name}\n" for name in BUILTIN))

    def test_no_arguments_converts_the_builtin_list_in_order(self):
        files = self.lay_out_builtin()
        result = self.run_converter(merged=True)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "".join(
            f"Converting {name}\nConverted {i + 1} records\n" for i, name in enumerate(BUILTIN)))
        for name, data in files.items():
            self.assertEqual((self.root / name).read_bytes(), converted(data))

    def test_a_combined_log_reads_in_order(self):
        lay_out(self.root, {"short": b"StAt"})
        self.assertEqual(self.run_converter("short", "nosuch", merged=True).stdout,
                         "Converting short\nCannot read headerConverting nosuch\nCannot open nosuch\n")

    def test_exit_status_is_the_last_files(self):
        rows = [
            ("last already version 2", [], {"trans/cashdrwr": V2}, 0),
            ("missing then convertible", ["missing", "trans/collstat"], {}, 1),
            ("same name twice", ["trans/collstat", "trans/collstat"], {}, 0),
            ("convertible then dash", ["trans/collstat", "-x"], {}, 0),
        ]
        for label, args, replace, status in rows:
            with self.subTest(label):
                self.setUp()
                self.lay_out_builtin(**replace)
                result = self.run_converter(*args)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, announced(*(args or BUILTIN)))

    @needs_reverter
    def test_reverting_the_builtin_list_options_and_exit_status(self):
        files = self.lay_out_builtin()
        self.assertEqual(self.run_converter().returncode, 1)
        rows = [  # arguments, status, files reverted, what starts standard output or error
            (["trans/collstat"], 0, 1, "Reverting trans/collstat\n"),
            ([], 1, 5, announced(BUILTIN[0], verb="Reverting") + announced(BUILTIN[1], verb="Reverting")),
            (["--", "-x"], 1, 5, "Reverting -x\n"),
            (["--help", "x"], 0, 5, "usage: statrevert [FILE...]\n"),
            (["--bogus", "x"], 2, 5, "statrevert: unknown option --bogus\nusage: statrevert"),
        ]
        for args, status, reverted, starts in rows:
            with self.subTest(args=args):
                result = self.run_converter(*args, command=OPTIONS.reverter)
                self.assertEqual(result.returncode, status)
                self.assertTrue((result.stdout + result.stderr).startswith(starts), result)
                self.assertEqual(sum((self.root / name).read_bytes() == files[name]
                                     for name in BUILTIN), reverted)

    def test_wildcards_are_expanded_and_a_lone_pattern_kept(self):
        self.lay_out_builtin()
        result = self.run_converter("trans/*stat", "trans/nothing?")
        matches = [name for name in BUILTIN if name.endswith("stat")]
        lines = result.stdout.splitlines(keepends=True)
        expected = announced(*sorted(matches)).splitlines(keepends=True)
        # Sorted on POSIX; on Windows in the order the runtime's start-up finds them.
        self.assertEqual(sorted(lines[:4]) if OPTIONS.windows else lines[:4], expected)
        self.assertEqual(lines[4:], [announced("trans/nothing?")])
        self.assertTrue(result.stderr.endswith("Cannot open trans/nothing?\n"))
        self.assertEqual(result.returncode, 0)

    def test_patterns_are_expanded_before_the_first_conversion_and_read_only_star_and_query(self):
        later = sorted(BUILTIN)
        rows = [  # what is laid out besides the built-in files, the arguments, what is announced
            ("backups made on the way", {}, ["trans/coll*", "trans/*"], ["trans/collstat"] + later),
            ("brackets stand for themselves", {"st[1]x": V2, "st1x": V2}, ["st[1]?"], ["st[1]x"]),
            ("a dot name for a dot pattern only", {"d/.x": V2, "d/y": V2}, ["d/*", "d/.*"], ["d/y", "d/.x"]),
            ("long names only, not y.older's 8.3 name", {"d/y.old": V2, "d/y.older": V2}, ["d/*.old"],
             ["d/y.old"]),
        ]
        for label, files, args, names in rows:
            with self.subTest(label):
                self.setUp()
                self.lay_out_builtin(**files)
                result = self.run_converter(*args)
                self.assertEqual(sorted(result.stdout.splitlines()) if OPTIONS.windows else result.stdout,
                                 sorted(announced(*names).splitlines()) if OPTIONS.windows else announced(*names))


class LocksAndFullDisks(ConverterTest):
    def hold(self, name, writing=False):
        """Holds a file as another converter (POSIX) or program (Windows)
        would, or has it open for writing without the lock, as a program
        that ignores it does."""
        if OPTIONS.windows:
            holder = subprocess.Popen(shlex.split(OPTIONS.holder) + [name], cwd=self.root,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.addCleanup(holder.wait, 60)
            self.addCleanup(holder.stdout.close)
            self.addCleanup(holder.stdin.close)
            self.assertEqual(holder.stdout.readline().strip(), "held")
        else:
            fd = os.open(self.root / name, os.O_WRONLY if writing else os.O_RDONLY)
            self.addCleanup(os.close, fd)
            if not writing:
                fcntl.flock(fd, fcntl.LOCK_EX)

    def test_a_held_file_is_refused(self):
        data = version_1(3)
        converting = {"x": data, "x.new": b"another converter's copy"}
        reverting = {"x": converted(data), "x.old": data}
        rows = [("x", converting, "Cannot open x\n", False),
                ("x.new", converting, "Cannot create x.new\n", False)]
        if OPTIONS.reverter:
            rows += [("x", reverting, "x: cannot open: in use by another program; not reverted\n", True),
                     ("x.old", reverting, "x: cannot open x.old: in use by another program; not reverted\n",
                      True)]
        if not OPTIONS.windows:  # open for writing by a program that ignores the lock
            rows += [("x for writing", converting, "Cannot open x\n", False)]
        for held, files, stderr, reverting in rows:
            with self.subTest(held, reverting=reverting):
                self.setUp()
                lay_out(self.root, files)
                self.hold(held.split()[0], writing=held.endswith("writing"))
                self.check_refused({}, ["x"], stderr, reverting)

    def test_a_full_disk_fails_the_write_and_removes_the_copy(self):
        # Room for the input and this many bytes of the copy: it runs out
        # while records are still written, in the last buffer of a copy whose
        # other buffers fill the room exactly, or in a copy smaller than one.
        rows = [("while writing", 5000, 512), ("at the last buffer", 2000, 512), ("small copy", 100, 16)]
        for label, records, room_kib in rows:
            with self.subTest(label):
                self.setUp()
                data = version_1(records)
                size = -(-len(data) // 4096) * 4096 + room_kib * 1024
                small_disk = mount_small_tmpfs(self, str(size))
                if OPTIONS.windows and not small_disk:
                    self.skipTest("needs a small tmpfs: a file size limit would stop Wine itself")
                self.check_refused({"x": data}, ["x"], "Failed to write new record to x.new\n",
                                   preexec=None if small_disk else limit(resource.RLIMIT_FSIZE, room_kib * 1024))
        if not OPTIONS.windows:
            with self.subTest("a file-size limit whose signal the caller left as it is"):
                self.setUp()
                self.check_refused({"x": version_1(5000)}, ["x"], "Failed to write new record to x.new\n",
                                   preexec=limit(resource.RLIMIT_FSIZE, 512 * 1024, signal.SIG_DFL))


def is_whole_version_2(data):
    """A version 2 file whose header was finished: its length field agrees."""
    return data[4:8] == b"Ver2" and len(data) >= 32 and struct.unpack_from("<I", data, 8)[0] == len(data)


def conversion(data):
    """What the loops below run for a conversion of `data` under x: the
    faulty build, the files it starts from, its status and files when done,
    what a failure may leave, and how a kill's leftovers are finished."""
    v2 = converted(data)
    return SimpleNamespace(name="conversion", command=OPTIONS.faulty, start={"x": data}, done=(1, {"x": v2, "x.old": data}),
                           failed=(0, [{"x": data}, {"x": data, "x.new": v2}]),
                           silent=EveryFault.SILENT_CALLS,
                           recover=lambda test: EveryFault.assert_recoverable(test, data, v2))


def reversion(data):
    """The same for a revert of x, the conversion of `data`, to x.old."""
    v2 = converted(data)
    return SimpleNamespace(name="revert", command=OPTIONS.faulty_reverter, start={"x": v2, "x.old": data},
                           done=(0, {"x": data}),
                           failed=(1, [{"x": v2, "x.old": data}, {"x": data, "x.new": v2}, {"x": data}]),
                           silent=set(), recover=lambda test: test.assert_revert_recoverable(data))


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class EveryFault(ConverterTest):
    """Every I/O call of a conversion, and of a revert, made to fail in turn, then to kill."""

    # What is carried to the finished copy fails silently too.
    SILENT_CALLS = {"fwrite", "fseek", "ftell", "fflush", "fsync", "fclose", "fstat", "fchmod",
                    "acl_get_fd", "acl_set_fd"}

    def ways(self, conversion_data, revert_data):
        return [conversion(conversion_data)] + ([reversion(revert_data)] if OPTIONS.faulty_reverter else [])

    def run_faulty(self, fault, command, kill=False):
        report = self.root.parent / (self.root.name + ".fault")
        self.addCleanup(lambda: report.unlink(missing_ok=True))
        env = {"STATCONV_FAULT": fault, "STATCONV_FAULT_REPORT": str(report)}
        if kill:
            env["STATCONV_FAULT_KILL"] = "1"
        result = self.run_converter("x", command=command, env=env)
        return result, report.read_text()

    def test_a_failing_call_never_loses_or_corrupts_the_file(self):
        for label, data in [("records", version_1(3, trailing=9)), ("header only", version_1(0))]:
            for way in self.ways(data, data):
                point = 0
                while True:
                    point += 1
                    with self.subTest(label, program=way.name, fault=point):
                        self.setUp()
                        lay_out(self.root, way.start)
                        result, call = self.run_faulty(f"any:{point}", way.command)
                        self.assert_untouched_or_done(way, result, call)
                    if call.startswith("none"):
                        break
                print(f"\n  {way.name}, {label}: {point - 1} fault points", end=" ", file=sys.stderr)

    def assert_untouched_or_done(self, way, result, call):
        files = contents(self.root)
        status, done = way.done
        if call.startswith("none") or result.returncode == status:
            self.assertEqual((result.returncode, files), (status, done))
            return
        status, left = way.failed
        self.assertEqual(result.returncode, status)
        # A finished conversion waits under x.new when the swap was refused;
        # a revert keeps it there when it cannot be removed safely.
        self.assertIn(files, left)
        if not result.stderr:
            self.assertIn(call, way.silent)

    def test_a_kill_at_any_call_leaves_the_data_recoverable(self):
        # A long conversion at sampled calls; a short revert at every call.
        for way in self.ways(version_1(20000, trailing=5), version_1(3, trailing=5)):
            lay_out(self.root, way.start)
            calls = int(self.run_faulty("any:999999999", way.command)[1].split()[1])
            points = range(1, calls + 1) if calls <= 200 else sorted(
                {*range(1, 41), *range(calls - 40, calls + 1), *range(41, calls - 40, (calls - 80) // 24)})
            for point in points:
                with self.subTest(program=way.name, kill=point):
                    self.setUp()
                    lay_out(self.root, way.start)
                    self.assertEqual(self.run_faulty(f"any:{point}", way.command, kill=True)[0].returncode, -9)
                    way.recover(self)
            print(f"\n  {way.name}: {len(points)} kill points of {calls} calls", end=" ", file=sys.stderr)

    def assert_recoverable(self, data, expected):
        """After a kill: the version 1 data is whole, a finished version 2
        file is exact, statinfo names the state, and running again (or the
        README's rename) finishes."""
        files = contents(self.root)
        self.assertIn(data, (files.get("x"), files.get("x.old")))
        for name, found in files.items():
            if is_whole_version_2(found):
                self.assertEqual(found, expected, name)
        self.assert_diagnosed(files, data)
        if "x" not in files:  # killed between the two renames
            self.assertEqual(files.get("x.new"), expected)
            os.rename(self.root / "x.new", self.root / "x")
        elif files["x"] == data:
            self.assertNotIn("x.old", files)
            self.assertEqual(self.run_converter("x").returncode, 1)
        self.assertEqual(contents(self.root), {"x": expected, "x.old": data})

    def assert_revert_recoverable(self, data):
        """The same after a kill in a revert, which statinfo's other rename,
        or running again, finishes; a leftover x.new is only removed."""
        files, v2 = contents(self.root), converted(data)
        self.assertIn(files, [{"x": v2, "x.old": data}, {"x.old": data, "x.new": v2},
                              {"x": data, "x.new": v2}, {"x": data}])
        self.assert_diagnosed(files, data)
        if "x" not in files:
            os.rename(self.root / "x.old", self.root / "x")
        elif files["x"] != data:
            self.assertEqual(self.run_converter("x", command=OPTIONS.faulty_reverter).returncode, 0)
        (self.root / "x.new").unlink(missing_ok=True)
        self.assertEqual(contents(self.root), {"x": data})


@unittest.skipIf(OPTIONS.windows, "kills the process with a POSIX signal")
class Kills(ConverterTest):
    def test_a_kill_at_any_moment_leaves_the_data_recoverable(self):
        data = version_1(128 * 1024)  # 32 MiB
        expected = converted(data)
        lay_out(self.root, {"x": data})
        started = time.monotonic()
        self.assertEqual(self.run_converter("x").returncode, 1)
        duration = time.monotonic() - started
        for i in range(1, 25):
            with self.subTest(kill_after=f"{i}/24"):
                self.setUp()
                lay_out(self.root, {"x": data})
                converter = subprocess.Popen(shlex.split(OPTIONS.converter) + ["x"], cwd=self.root,
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(duration * i / 24)
                converter.kill()
                converter.wait()
                EveryFault.assert_recoverable(self, data, expected)

class Races(ConverterTest):
    def test_of_converters_started_together_exactly_one_converts(self):
        data = version_1(8000)
        refusals = ["Cannot open x\n", "x is already version 2\n"]
        if OPTIONS.windows:  # the input is let go just before the swap
            refusals.append("Converted 8000 records\nCannot rename x to x.old\n")
        for round in range(10):
            with self.subTest(round=round):
                self.setUp()
                lay_out(self.root, {"x": data})
                converters = [subprocess.Popen(shlex.split(OPTIONS.converter) + ["x"], cwd=self.root,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                               text=True) for _ in range(6)]
                outcomes = sorted((c.wait(60), c.stderr.read().replace("\r\n", "\n")) for c in converters)
                for c in converters:
                    c.stderr.close()
                self.assertEqual(outcomes[-1], (1, "Converted 8000 records\n"))
                for status, stderr in outcomes[:-1]:
                    self.assertEqual(status, 0)
                    self.assertIn(stderr, refusals)
                self.assertEqual(contents(self.root), {"x": converted(data), "x.old": data})


def with_file_length(data, length):
    return data[:8] + struct.pack("<I", length) + data[12:]


def flip_byte(data, at):
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


@unittest.skipUnless(OPTIONS.statinfo, "needs statinfo")
class StatInfo(ConverterTest):
    def check_statinfo(self, rows):
        for label, files, args, stdout, status in rows:
            with self.subTest(label):
                self.setUp()
                lay_out(self.root, files)
                result = self.run_converter(*args, command=OPTIONS.statinfo)
                self.assertEqual((result.returncode, result.stdout), (status, stdout))

    def test_each_file_is_described(self):
        v1, v2 = version_1(5, trailing=100), converted(version_1(3))
        if OPTIONS.windows:
            complete = 'complete the conversion with: move "x.new" "x", or the revert with: move "x.old" "x"'
        else:
            complete = "complete the conversion with: mv -- x.new x, or the revert with: mv -- x.old x"
        def remove(*names):
            return "del /f " + " ".join(f'"{n}"' for n in names) if OPTIONS.windows else "rm -- " + " ".join(names)
        kept = "a kept copy that differs from the conversion of x ("
        alone = "statconv leaves it alone, as it may hold data found nowhere else\n"
        cut_off = ("x: missing; a conversion or a revert was cut off between its two renames (x.old is "
                   f"version 1, x.new is its exact conversion); {complete}\n")
        self.check_statinfo([
            ("version 1 with trailing bytes", {"x": v1}, ["x"],
             "x: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n", 0),
            ("version 1", {"x": version_1(2)}, ["x"], "x: version 1, 2 records\n", 0),
            ("version 1, an old file in the way", {"x": version_1(2), "x.old": b"kept"}, ["x"],
             "x: version 1, 2 records; statconv cannot swap it in: x.old is in the way\n", 0),
            ("version 2", {"x": v2}, ["x"],
             "x: version 2, 3 records, 824 bytes, header length agrees\n", 0),
            ("version 2, odd length", {"x": v2 + b"z"}, ["x"],
             "x: version 2, damaged: 825 bytes is not 32 + 264 x records, header says 824\n", 1),
            ("version 2, header disagrees", {"x": with_file_length(v2, 1088)}, ["x"],
             "x: version 2, damaged: 824 bytes, header says 1088\n", 1),
            ("foreign", {"x": b"STAT" + v1[4:]}, ["x"], "x: NOT a statistics file\n", 1),
            ("short", {"x": v1[:31]}, ["x"], "x: too short for a header\n", 1),
            ("missing", {}, ["x"], "x: cannot open: No such file or directory\n", 1),
            ("one bad file of two", {"x": v1}, ["x", "y"],
             "x: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n"
             "y: cannot open: No such file or directory\n", 1),
            ("cut off between renames", {"x.old": v1, "x.new": converted(v1)}, ["x"], cut_off, 1),
            ("the same, given as a pattern", {"x.old": v1, "x.new": converted(v1)}, ["x.*"], cut_off, 1),
            ("beside a copy that differs", {"x.old": v1, "x.new": flip_byte(converted(v1), 40)}, ["x"],
             "x: missing; x.old is version 1, but x.new is not its exact conversion "
             "(record 1, block_1 differs from x.old)\n", 1),
            ("unfinished copy", {"x": v1, "x.new": unfinished(v1, 500)}, ["x.new"],
             "x.new: an unfinished copy, cut off while it was being built; running statconv on the "
             "version 1 file again builds it afresh\n", 1),
            ("unfinished copy, its header already final",
             {"x": v1, "x.new": with_file_length(unfinished(v1, 500), len(converted(v1)))}, ["x.new"],
             "x.new: an unfinished copy, cut off while it was being built; running statconv on the "
             "version 1 file again builds it afresh\n", 1),
            ("a copy kept or written to since", {"x": v1, "x.new": flip_byte(converted(v1)[:500], 100)},
             ["x.new"],
             f"x.new: {kept}not a beginning of it); {alone}", 1),
            ("a whole copy that differs", {"x": v1, "x.new": flip_byte(converted(v1), 40)}, ["x.new"],
             f"x.new: {kept}record 1, block_1 differs from x); {alone}", 1),
            ("an old file alone", {"x.old": v1}, ["x.old"],
             "x.old: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n", 0),
            ("there, but not readable", {"x": Dir, "x.old": v1, "x.new": converted(v1)}, ["x"],
             "x: cannot open: Is a directory\n", 1),
        ] + ([
            ("a name Windows would change", {"x": v1}, ["x."], "x.: cannot open: No such file or directory\n", 1),
            ("other case, an 8.3 short name", {"x": v1, "statistics.dat": v1}, ["X", "STAT~JIP.DAT"],
             "".join(f"{n}: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n"
                     for n in ["X", "STAT~JIP.DAT"]), 0),
            ("cut off, with a % that cmd would expand", {"%x%.old": v1, "%x%.new": converted(v1)},
             ["%x%"], "%x%: missing; a conversion or a revert was cut off between its two renames "
             '(%x%.old is version 1, %x%.new is its exact conversion); complete the conversion by '
             'renaming "%x%.new" to "%x%", or the revert by renaming "%x%.old" to "%x%", by hand '
             "(cmd expands % in a command, even within quotes)\n", 1),
        ] if OPTIONS.windows else [
            ("a FIFO, never waited on", {"x": Fifo}, ["x"], "x: cannot open: not a regular file\n", 1),
            ("a name with a newline and a forged line", {"x\nx: version 2, 3 records": v1},
             ["x\nx: version 2, 3 records"], "$'x\\nx: version 2, 3 records': version 1, 5 records, "
             "100 trailing bytes (a conversion drops them)\n", 0),
            ("a name with an escape, in advice", {"\x1b[2Jx.old": v1, "\x1b[2Jx.new": converted(v1)},
             ["\x1b[2Jx"], "$'\\e[2Jx': missing; a conversion or a revert was cut off between its two renames "
             "($'\\e[2Jx.old' is version 1, $'\\e[2Jx.new' is its exact conversion); complete the conversion "
             "with: mv -- $'\\e[2Jx.new' $'\\e[2Jx', or the revert with: mv -- $'\\e[2Jx.old' $'\\e[2Jx'\n", 1),
            ("an unfinished copy with another name", {"x": v1, "x.new": unfinished(v1, 500),
             "y": HardLink("x.new")}, ["x.new"], "x.new: a copy that statconv will not take over, as it has "
             "other names or another owner; statconv leaves it alone\n", 1),
            ("another name of it", {"x": v1, "y": HardLink("x")}, ["x"], "x: version 1, 5 records, 100 "
             "trailing bytes (a conversion drops them), and 1 other names (hard links): statconv refuses "
             "it, as they would go on naming the version 1 data\n", 0),
        ]) + [
            ("a second name left by a cut-off revert", {"x": v1, "x.old": HardLink("x"), "x.new": converted(v1)},
             ["x"], "x: version 1, and x.old is another name of it: a revert was cut off while moving it "
             f"back (x.new is the exact conversion); finish it with: {remove('x.old', 'x.new')}\n", 1),
            ("a version 2 file under two names", {"x": v2, "x.new": HardLink("x")}, ["x"],
             "x: version 2, and x.new is another name of it, left by a rename that was cut off; remove "
             f"the extra name with: {remove('x.new')}\n", 1),
            ("a second name left by a cut-off rename", {"x": v1, "x.old": HardLink("x")}, ["x"],
             "x: version 1, and x.old is another name of it: a conversion was cut off while moving "
             "it aside; running statconv on it again finishes it\n", 1),
        ])

    @unittest.skipIf(OPTIONS.windows, "the $'...' form is the POSIX shell's")
    @needs_reverter
    def test_each_program_shows_a_name_whole_with_what_does_not_print_escaped(self):
        long = "\x01" * 1100  # shown in 4403 bytes
        for label, name, shown in [
            ("an escape", "\x1b[31mx", "$'\\e[31mx'"),
            ("a lone 0x9b", os.fsdecode(b"a\x9bb"), "$'a\\x9bb'"),
            ("a byte that is not UTF-8", os.fsdecode(b"a\xffb"), "$'a\\xffb'"),
            ("a surrogate in UTF-8", os.fsdecode(b"\xed\xa0\x80"), "$'\\xed\\xa0\\x80'"),
            ("a line separator", "a\u2028b", "$'a\\xe2\\x80\\xa8b'"),
            ("a right-to-left override", "a\u202eb", "$'a\\xe2\\x80\\xaeb'"),
            ("a name that prints", "café", "café"),
            ("over 4 KiB shown, not cut", long, "$'" + "\\x01" * 1100 + "'"),
        ]:
            too_long = name == long
            for command, status, stdout, stderr in [
                (OPTIONS.statinfo, 1, f"{shown}: cannot open: "
                 f"{'File name too long' if too_long else 'No such file or directory'}\n", ""),
                (OPTIONS.converter, 0, f"Converting {shown}\n",
                 f"{shown} is too long a name to convert\n" if too_long else f"Cannot open {shown}\n"),
                (OPTIONS.reverter, 1, f"Reverting {shown}\n", f"{shown} is too long a name to revert\n"
                 if too_long else f"{shown}: cannot open: No such file or directory; not reverted\n"),
            ]:
                with self.subTest(label, command=command):
                    self.check(self.run_converter(name, command=command), status, stdout, stderr)

    def test_a_conversion_is_verified_and_a_difference_named(self):
        data = version_1(4)
        good = converted(data)
        record = lambda n: 32 + 264 * (n - 1)  # noqa: E731
        rows = [
            ("verified", good, data, "x: verified 4 records against x.old\n", 0),
            ("lead_word", flip_byte(good, record(1) + 2), data,
             "x: record 1, lead_word differs from x.old\n", 1),
            ("block_1", flip_byte(good, record(2) + 8 + 5), data,
             "x: record 2, block_1 differs from x.old\n", 1),
            ("block_2", flip_byte(good, record(4) + 263), data,
             "x: record 4, block_2 differs from x.old\n", 1),
            ("added_b", flip_byte(good, record(3) + 7), data, "x: record 3, added_b is not zero\n", 1),
            ("header_tail", flip_byte(good, 31), data, "x: header_tail differs from x.old\n", 1),
            ("file_length", with_file_length(good, 900), data,
             "x: file_length is 900, the file is 1088 bytes\n", 1),
            ("a record short", good, data + version_1(1)[32:], "x: 4 records, x.old has 5\n", 1),
            ("not converted", data, data, "x: not a version 2 statistics file\n", 1),
            ("no old file", good, None, "x: cannot open x.old: No such file or directory\n", 1),
            ("old file foreign", good, b"STAT" + data[4:], "x: x.old is not a version 1 statistics file\n", 1),
        ]
        self.check_statinfo([(label, {"x": new, **({"x.old": old} if old else {})}, ["--verify", "x"],
                              stdout, status) for label, new, old, stdout, status in rows])

    def test_usage(self):
        for args, status in [([], 2), (["--bogus", "x"], 2), (["--help"], 0)]:
            with self.subTest(args=args):
                result = self.run_converter(*args, command=OPTIONS.statinfo)
                self.assertEqual(result.returncode, status)
                self.assertIn("usage: statinfo [--verify] FILE...\n",
                              result.stdout if status == 0 else result.stderr)
        if not OPTIONS.windows:
            with self.subTest("report not written"), open("/dev/full", "w") as full:
                lay_out(self.root, {"x": version_1(1)})
                result = subprocess.run(shlex.split(OPTIONS.statinfo) + ["x"], cwd=self.root, stdout=full)
                self.assertEqual(result.returncode, 1)


def carried(path):
    """What a file carries besides its bytes: under Wine the mode bits for
    others (Everyone in the DACL); elsewhere mode, owner, group, ACL, extended
    attributes and file flags."""
    st = path.stat()
    if OPTIONS.windows:
        return oct(st.st_mode & 0o006)
    tool = lambda *command: subprocess.run(command, capture_output=True, text=True).stdout  # noqa: E731
    return (oct(st.st_mode), st.st_uid, st.st_gid, tool("getfacl", "-cn", path),
            {name: os.getxattr(path, name) for name in os.listxattr(path)}, tool("lsattr", path).split()[0])


def limit(what, value, file_size_signal=signal.SIG_IGN):
    def preexec():
        signal.signal(signal.SIGXFSZ, file_size_signal)
        resource.setrlimit(what, (value, value))
    return preexec


def mount_small_tmpfs(test, size):
    """Mounts a small tmpfs on the test's directory where mounting is allowed."""
    if os.geteuid() != 0 or not shutil.which("mount"):
        return False
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(test.root)],
                             capture_output=True).returncode == 0
    if mounted:
        test.addCleanup(subprocess.run, ["umount", str(test.root)])
    return mounted


def writer(target, later=False):
    """The environment for a faulty build that, at its first sync, lets a
    program that ignores the lock append ten records to `target`: at once,
    or from the background, where it waits on the converter's lease."""
    append = f"python3 -c \"open('{target}', 'ab').write(bytes(2600))\""
    if not later:
        return {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": append, "STATCONV_NO_LEASE": "1"}
    return {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": f"(touch ready; {append}; touch done) &",
            "STATCONV_FAULT_WAIT": "ready"}


REPLACER = {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": "python3 -c \"import os; "
            "open('y', 'wb').write(open('x', 'rb').read() + bytes(2600)); os.rename('y', 'x')\""}


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class InjectedFaults(ConverterTest):
    """A single failing I/O call never loses or half-writes a file."""

    def run_faulty(self, command, env):
        result = self.run_converter("x", command=command, env=env)
        if "STATCONV_FAULT_WAIT" in env:  # the writer in the background finishes
            done = self.root / "done"
            for _ in range(600):
                if done.exists():
                    break
                time.sleep(0.05)
            for marker in ("ready", "done"):
                (self.root / marker).unlink()
        return result

    def test_build_failures_keep_the_file_and_remove_the_copy(self):
        rows = [
            ("header write", "fwrite:1", 3, ""),
            ("record read", "fread:2", 3, "Failed to read record from x\n"),
            ("record write", "fwrite:2", 3, "Failed to write new record to x.new\n"),
            ("writeback flush", "fflush:1", 9000, "Failed to write new record to x.new\n"),
            ("position", "ftell:1", 3, ""),
            ("header seek", "fseek:1", 3, ""),
            ("last buffer", "fflush:1", 3, "Failed to write new record to x.new\n"),
            ("final flush", "fflush:2", 3, "Cannot sync x.new: No space left on device; the copy is removed\n"),
            ("sync", "fsync:1", 3, "Cannot sync x.new: Input/output error; the copy is removed\n"),
            ("close", "fclose:1", 3, "Cannot close x.new: Input/output error; the copy is removed\n"),
            ("permissions", "fchmod:1", 3, "Cannot give x.new the owner, group, permissions and attributes "
             "of x: Operation not permitted; the copy is removed\n"),
        ]
        for label, fault, records, stderr in rows:
            with self.subTest(label):
                self.setUp()
                self.check_refused({"x": version_1(records)}, ["x"], stderr,
                                   command=OPTIONS.faulty, env={"STATCONV_FAULT": fault})

    def test_swaps_and_locks_that_fail_or_fall_back(self):
        data, new = version_1(3), converted(version_1(3))
        done = "Converted 3 records\n"
        no_noreplace = {"STATCONV_NO_NOREPLACE": "1"}
        rows = [  # the fault, then whether a plain run follows, the messages and the files
            ("failed swap, undone", {"STATCONV_FAULT": "renameat2:2"}, False, 0,
             done + "Cannot rename x.new to x\n", {"x": data, "x.new": new}),
            ("failed undo, named", {"STATCONV_FAULT": "renameat2:2-3"}, False, 0,
             done + "Cannot rename x.new to x\nCannot rename x.old to x\n", {"x.old": data, "x.new": new}),
            ("NFS: no exclusive lock for reading", {"STATCONV_FAULT": f"flock:1:{errno.EBADF}"}, False, 1,
             done, {"x": new, "x.old": data}),
            ("no RENAME_NOREPLACE", no_noreplace, False, 1, done, {"x": new, "x.old": data}),
            ("killed between link and unlink, run again",
             {**no_noreplace, "STATCONV_FAULT": "unlinkat:1", "STATCONV_FAULT_KILL": "1"}, True, 1,
             done, {"x": new, "x.old": data}),
        ]
        changed = done + "x changed while it was converted; the copy is kept as x.new\n"
        rows += [(label, env, False, 0, changed, {"x": data + bytes(2600), "x.new": new}) for label, env in [
            ("a writer appends, no lease", writer("x")), ("a writer replaces it", REPLACER),
            ("a writer opens it, waiting on the lease", writer("x", later=True))]]
        # Who may use x changes in the moment before the first rename, past the check before it.
        rows += [(label, {"STATCONV_FAULT": "renameat2:1", "STATCONV_FAULT_RUN": command}, False, 0, changed,
                  {"x": data, "x.new": new, **others}) for label, command, others in [
            ("narrowed at the swap", "chmod 600 x", {}), ("given a second name at the swap", "ln x g", {"g": data})]]
        for label, env, again, status, stderr, files in rows:
            with self.subTest(label):
                self.setUp()
                lay_out(self.root, {"x": data})
                result = self.run_faulty(OPTIONS.faulty, env)
                if again:
                    result = self.run_converter("x")
                self.check(result, status, announced("x"), stderr)
                self.assertEqual(contents(self.root), files)

    @posix_only
    def test_a_directory_swapped_mid_run_leads_nowhere_else(self):
        # At an exact call, d is moved to held and replaced by a link to another directory
        # holding a file of the same name: every later step stays in the directory held.
        data, bait, v2 = version_1(3), version_1(2, seed=9), converted(version_1(3))
        swap = {"STATCONV_FAULT_RUN": "mv d held && ln -s elsewhere d"}
        rows = [(OPTIONS.faulty, "openat:4", "Converting", 1, "Converted 3 records\n",
                 {"held/x": v2, "held/x.old": data}),
                (OPTIONS.faulty, "renameat2:1", "Converting", 1, "Converted 3 records\n",
                 {"held/x": v2, "held/x.old": data}),
                (OPTIONS.faulty_reverter, "renameat2:1", "Reverting", 0,
                 "", {"held/x": data})]
        for command, fault, verb, status, stderr, files in rows:
            with self.subTest(verb, fault=fault):
                self.setUp()
                lay_out(self.root, {"elsewhere/x": bait, **({"d/x": data} if verb == "Converting" else
                                                            {"d/x": v2, "d/x.old": data})})
                result = self.run_converter("d/x", command=command, env={"STATCONV_FAULT": fault, **swap})
                self.assertEqual((result.returncode, result.stderr), (status, stderr))
                self.assertEqual(contents(self.root), {"held": Dir, "d": Link("elsewhere"), "elsewhere": Dir,
                                                       "elsewhere/x": bait, **files})

    @unittest.skipUnless(OPTIONS.faulty_reverter, "needs statrevert's fault-injecting build")
    def test_a_failed_revert_step_is_reported_and_loses_nothing(self):
        data = version_1(3)
        v2 = converted(data)
        untouched, kept = {"x": v2, "x.old": data}, {"x": data, "x.new": v2}
        rows = [
            ("reading x", "fread:3", "x: cannot read x: Input/output error; not reverted\n", untouched),
            ("reading x.old", "fread:4", "x: cannot read x.old: Input/output error; not reverted\n",
             untouched),
            ("looking for x.new", "fstatat:5",
             "x: cannot make sure that x.new is free: Permission denied; not reverted\n", untouched),
            ("first rename", "renameat2:1", "Cannot rename x to x.new\n", untouched),
            ("second rename, undone", "renameat2:2", "Cannot rename x.old to x\n", untouched),
            ("second rename and its undo", "renameat2:2-3",
             "Cannot rename x.old to x\nCannot rename x.new to x\n", {"x.old": data, "x.new": v2}),
            ("directory sync", "fsync:1", "x: cannot sync its directory: Input/output error; x.new is kept\n",
             kept),
            ("reading x.new again", "fread:9", "x: x.new is kept, as it could not be checked against x "
             "(cannot read: Input/output error)\n", kept),
            ("removing x.new", "unlinkat:1", "Cannot remove x.new: in use by another program\n", kept),
            ("the last directory sync", "fsync:2", "x: reverted, but cannot sync its directory: Input/output "
             "error; x.new may come back after a power cut, and may then simply be removed\n", {"x": data}),
            ("a writer appends to x.new, no lease", writer("x.new"), "x: x.new is kept, as it is not "
             "exactly the conversion of x (file_length is 824, the file is 3424 bytes)\n",
             {"x": data, "x.new": v2 + bytes(2600)}),
            ("a writer opens x.new, waiting on the lease", writer("x.new", later=True),
             "x: x.new is kept, as another program opened it for writing\n",
             {"x": data, "x.new": v2 + bytes(2600)}),
        ]
        for label, fault, stderr, files in rows:
            with self.subTest(label):
                self.setUp()
                lay_out(self.root, untouched)
                result = self.run_faulty(OPTIONS.faulty_reverter,
                                         fault if isinstance(fault, dict) else {"STATCONV_FAULT": fault})
                self.check(result, 1, announced("x", verb="Reverting"), stderr)
                self.assertEqual(contents(self.root), files)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
