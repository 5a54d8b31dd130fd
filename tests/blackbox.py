#!/usr/bin/env python3
"""Black-box tests: run the built programs in a temporary directory and
compare standard output, standard error, exit status and every file left.

  blackbox.py --converter CMD [--faulty CMD] [--statinfo CMD] [--windows --holder CMD]
              [unittest args]

Commands are command lines with absolute paths ("wine /x/statconv.exe").
--faulty names the converter's build whose I/O calls can be made to fail
(STATCONV_FAULT=call:N); --statinfo, the examining program. --windows runs
the Windows programs' cases: lines end in CR LF there, the lock is a sharing
mode (taken by the --holder program), and what only POSIX systems have
(FIFOs, symbolic links, modes, flock, signals) is skipped.
"""
import argparse
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

sys.path.insert(0, str(Path(__file__).resolve().parent))
from samples import BUILTIN, converted, header, version_1  # noqa: E402

# Options are read before the tests are defined: they decide what is skipped.
_parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
_parser.add_argument("--converter", required=True)
_parser.add_argument("--faulty")
_parser.add_argument("--windows", action="store_true")
_parser.add_argument("--holder")
_parser.add_argument("--statinfo")
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


def announced(*names):
    return "".join(f"Converting {name}\n" for name in names)


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

    def check_refused(self, files, args, stderr, **run):
        """A refusal or failure: status 0, one diagnostic, nothing on disk changed."""
        lay_out(self.root, files)
        before = contents(self.root)
        self.check(self.run_converter(*args, **run), 0, announced(*args), stderr)
        self.assertEqual(contents(self.root), before)

    def check_converted(self, name, data, others=None):
        """A conversion of `data` under `name`: status 1, exact files after."""
        lay_out(self.root, {name: data, **(others or {})})
        expected = {**contents(self.root), name: converted(data), name + ".old": data}
        expected.pop(name + ".new", None)
        records = (len(data) - 32) // 260
        self.check(self.run_converter(name), 1, announced(name), f"Converted {records} records\n")
        self.assertEqual(contents(self.root), expected)


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
            ]
        rows += [("new is a directory", {"x": version_1(2), "x.new": Dir}, "x",
                  "Cannot create x.new\n")]
        # A NAME.new that looks like a leftover copy, but is another name of one or a link to one.
        rows += [(f"new is {what} a version 2 file", {"x": version_1(2), "v": V2, "x.new": link("v")},
                  "x", "Cannot create x.new\n") for what, link in [("a link to", Link),
                                                                   ("another name of", HardLink)]]
        if OPTIONS.windows:
            rows += [("new holds other data", {"x": version_1(2), "x.new": b"notes"}, "x",
                      "Cannot create x.new\n")]
            # Windows drops a dot or space that ends a part of a name: each would reach `file`.
            rows += [(f"{name!r}", {file: version_1(2)}, name, f"Cannot open {name}\n")
                     for name, file in [("g.", "g"), ("g ", "g"), ("d./g", "d/g")]]
        for label, files, name, stderr in rows:
            with self.subTest(label):
                self.setUp()
                self.check_refused(files, [name], stderr)

    @unittest.skipUnless(OPTIONS.windows, "the runtime's arguments are in the ANSI code page")
    def test_a_name_the_code_page_cannot_hold_is_refused(self):
        lay_out(self.root, {"Omega": version_1(2), "Ωmega": version_1(3)})
        before = contents(self.root)
        # Wine's code page 1252 under C.UTF-8 has no Ω, and maps it to O.
        self.check(self.run_converter("Ωmega", env={"LC_ALL": "C.UTF-8"}), 0, "Converting Omega\n",
                   "Cannot open Omega\n")
        self.assertEqual(contents(self.root), before)

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
            ("leftover new file", version_1(2), {"x.new": V2[:8] + b"stale" * 1000}),
            ("leftover empty new file", version_1(2), {"x.new": b""}),
            ("several writeback intervals", version_1(8192 * 2 + 5, trailing=7), None),
        ]
        for label, data, others in rows:
            with self.subTest(label):
                self.setUp()
                self.check_converted("x", data, others)

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
                lay_out(self.root, {"x": version_1(2), "x.new": V2})
                mark(self.root / marked)
                self.assertEqual(self.run_converter("x").returncode, 1)
                self.assertEqual(attributes(self.root / "x"), expected)

    @unittest.skipIf(OPTIONS.windows, "the runtime's file functions stop at 260 characters")
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
        lay_out(self.root, {"x": data, "x.new": b"stale"})
        os.chmod(self.root / "x", 0o640)
        os.chmod(self.root / "x.new", 0o666)
        owner = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        os.chown(self.root / "x", *owner)
        self.check(self.run_converter("x"), 1, announced("x"), "Converted 1 records\n")
        st = os.stat(self.root / "x")
        self.assertEqual((st.st_mode & 0o7777, st.st_uid, st.st_gid), (0o640, *owner))


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


class LocksAndFullDisks(ConverterTest):
    def hold(self, name):
        """Holds a file as another converter (POSIX) or program (Windows) would."""
        if OPTIONS.windows:
            holder = subprocess.Popen(shlex.split(OPTIONS.holder) + [name], cwd=self.root,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.addCleanup(holder.wait, 60)
            self.addCleanup(holder.stdin.close)
            self.assertEqual(holder.stdout.readline().strip(), "held")
        else:
            fd = os.open(self.root / name, os.O_RDONLY)
            self.addCleanup(os.close, fd)
            fcntl.flock(fd, fcntl.LOCK_EX)

    def test_a_held_file_is_refused(self):
        for held, stderr in [("x", "Cannot open x\n"), ("x.new", "Cannot create x.new\n")]:
            with self.subTest(held):
                self.setUp()
                lay_out(self.root, {"x": version_1(3), "x.new": b"another converter's copy"})
                self.hold(held)
                self.check_refused({}, ["x"], stderr)

    def test_a_full_disk_fails_the_write_and_removes_the_copy(self):
        # The copy outgrows the space left while records are still being
        # written out, well before the final flush.
        small_disk = mount_small_tmpfs(self, "2m")
        if OPTIONS.windows and not small_disk:
            self.skipTest("needs a small tmpfs: a file size limit would stop Wine itself")
        self.check_refused({"x": version_1(5000)}, ["x"], "Failed to write new record to x.new\n",
                           preexec=None if small_disk else limit_file_size(512 * 1024))


def is_whole_version_2(data):
    """A version 2 file whose header was finished: its length field agrees."""
    return data[4:8] == b"Ver2" and len(data) >= 32 and struct.unpack_from("<I", data, 8)[0] == len(data)


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class EveryFault(ConverterTest):
    """Every I/O call of a conversion made to fail in turn, then to kill."""

    SILENT_CALLS = {"fwrite", "fseek", "ftell", "fflush", "fsync", "fclose"}

    def run_faulty(self, fault, kill=False):
        report = self.root.parent / (self.root.name + ".fault")
        self.addCleanup(lambda: report.unlink(missing_ok=True))
        env = {"STATCONV_FAULT": fault, "STATCONV_FAULT_REPORT": str(report)}
        if kill:
            env["STATCONV_FAULT_KILL"] = "1"
        result = self.run_converter("x", command=OPTIONS.faulty, env=env)
        return result, report.read_text()

    def test_a_failing_call_never_loses_or_corrupts_the_file(self):
        for label, data in [("records", version_1(3, trailing=9)), ("header only", version_1(0))]:
            point = 0
            while True:
                point += 1
                with self.subTest(label, fault=point):
                    self.setUp()
                    lay_out(self.root, {"x": data})
                    result, call = self.run_faulty(f"any:{point}")
                    self.assert_untouched_or_converted(data, result, call)
                if call.startswith("none"):
                    break
            print(f"\n  {label}: {point - 1} fault points", end=" ", file=sys.stderr)

    def assert_untouched_or_converted(self, data, result, call):
        files = contents(self.root)
        if call.startswith("none") or result.returncode == 1:
            self.assertEqual((result.returncode, files), (1, {"x": converted(data), "x.old": data}))
            return
        self.assertEqual(result.returncode, 0)
        self.assertEqual(files.pop("x"), data)
        # A finished copy waits under x.new when the swap was refused.
        self.assertIn(files, [{}, {"x.new": converted(data)}])
        if not result.stderr:
            self.assertIn(call, self.SILENT_CALLS)

    def test_a_kill_at_any_call_leaves_the_data_recoverable(self):
        data = version_1(20000, trailing=5)
        expected = converted(data)
        lay_out(self.root, {"x": data})
        calls = int(self.run_faulty("any:999999999")[1].split()[1])
        points = sorted({*range(1, 41), *range(calls - 40, calls + 1),
                         *range(41, calls - 40, (calls - 80) // 24)})
        for point in points:
            with self.subTest(kill=point):
                self.setUp()
                lay_out(self.root, {"x": data})
                self.assertEqual(self.run_faulty(f"any:{point}", kill=True)[0].returncode, -9)
                self.assert_recoverable(data, expected)
        print(f"\n  {len(points)} kill points of {calls} calls", end=" ", file=sys.stderr)

    def assert_recoverable(self, data, expected):
        """After a kill: the version 1 data is whole, a finished version 2
        file is exact, and running again (or the README's rename) finishes."""
        files = contents(self.root)
        self.assertIn(data, (files.get("x"), files.get("x.old")))
        for name, found in files.items():
            if is_whole_version_2(found):
                self.assertEqual(found, expected, name)
        if "x" not in files:  # killed between the two renames
            self.assertEqual(files.get("x.new"), expected)
            os.rename(self.root / "x.new", self.root / "x")
        elif files["x"] == data:
            self.assertNotIn("x.old", files)
            self.assertEqual(self.run_converter("x").returncode, 1)
        self.assertEqual(contents(self.root), {"x": expected, "x.old": data})


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
            complete = 'complete it with: move "x.new" "x"'
        else:
            complete = "complete it with: mv -- x.new x"
        self.check_statinfo([
            ("version 1 with trailing bytes", {"x": v1}, ["x"],
             "x: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n", 0),
            ("version 1", {"x": version_1(2)}, ["x"], "x: version 1, 2 records\n", 0),
            ("version 2", {"x": v2}, ["x"],
             "x: version 2, 3 records, 824 bytes, header length agrees\n", 0),
            ("version 2, odd length", {"x": v2 + b"z"}, ["x"],
             "x: version 2, damaged: 825 bytes is not 32 + 264 x records, header says 824\n", 1),
            ("version 2, header disagrees", {"x": with_file_length(v2, 1088)}, ["x"],
             "x: version 2, damaged: 824 bytes, header says 1088\n", 1),
            ("foreign", {"x": b"STAT" + v1[4:]}, ["x"], "x: NOT a statistics file\n", 1),
            ("short", {"x": v1[:31]}, ["x"], "x: too short for a header\n", 1),
            ("missing", {}, ["x"], "x: cannot open\n", 1),
            ("one bad file of two", {"x": v1}, ["x", "y"],
             "x: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n"
             "y: cannot open\n", 1),
            ("cut off between renames", {"x.old": v1, "x.new": converted(v1)}, ["x"],
             "x: missing; a conversion was cut off between its two renames (x.old is version 1, "
             f"x.new is version 2 and whole); {complete}\n", 1),
            ("cut off while building", {"x.old": v1, "x.new": converted(v1)[:500]}, ["x"],
             "x: cannot open\n", 1),
            ("there, but not readable", {"x": Dir, "x.old": v1, "x.new": converted(v1)}, ["x"],
             "x: cannot open\n", 1),
        ] + ([
            ("a name Windows would change", {"x": v1}, ["x."], "x.: cannot open\n", 1),
            ("cut off, with a % that cmd would expand", {"%x%.old": v1, "%x%.new": converted(v1)},
             ["%x%"], "%x%: missing; a conversion was cut off between its two renames (%x%.old is "
             'version 1, %x%.new is version 2 and whole); complete it by renaming "%x%.new" to "%x%" '
             "by hand (cmd expands % in a command, even within quotes)\n", 1),
        ] if OPTIONS.windows else [
            ("a FIFO, never waited on", {"x": Fifo}, ["x"], "x: cannot open\n", 1),
        ]))

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
            ("no old file", good, None, "x: cannot open x.old\n", 1),
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


def limit_file_size(limit):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
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


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class InjectedFaults(ConverterTest):
    """A single failing I/O call never loses or half-writes a file."""

    def test_build_failures_keep_the_file_and_remove_the_copy(self):
        rows = [
            ("header write", "fwrite:1", 3, ""),
            ("record read", "fread:2", 3, "Failed to read record from x\n"),
            ("record write", "fwrite:2", 3, "Failed to write new record to x.new\n"),
            ("writeback flush", "fflush:1", 9000, "Failed to write new record to x.new\n"),
            ("position", "ftell:1", 3, ""),
            ("header seek", "fseek:1", 3, ""),
            ("final flush", "fflush:1", 3, ""),
            ("sync", "fsync:1", 3, ""),
            ("close", "fclose:1", 3, ""),
            ("truncate", "ftruncate:1", 3, "Cannot create x.new\n"),
            ("permissions", "fchmod:1", 3, "Cannot create x.new\n"),
        ]
        for label, fault, records, stderr in rows:
            with self.subTest(label):
                self.setUp()
                self.check_refused({"x": version_1(records)}, ["x"], stderr,
                                   command=OPTIONS.faulty, env={"STATCONV_FAULT": fault})

    def test_a_failed_swap_is_reported_and_undone(self):
        data = version_1(3)
        lay_out(self.root, {"x": data})
        result = self.run_converter("x", command=OPTIONS.faulty, env={"STATCONV_FAULT": "renameat2:2"})
        self.check(result, 0, announced("x"), "Converted 3 records\nCannot rename x.new to x\n")
        self.assertEqual(contents(self.root), {"x": data, "x.new": converted(data)})


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
