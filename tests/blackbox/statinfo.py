"""statinfo's cases: how it describes each file and what a conversion or
revert left, what --verify finds, its usage, and how every program shows
a name that does not print."""
import os
import shlex
import subprocess
import sys
import unittest

from samples import BUILTIN, converted, unfinished, version_1

# Exchanges f and g in the directory given, as fast as it can, for a minute at most.
SWAPPER = """
import ctypes, os, sys, time
os.chdir(sys.argv[1])
renameat2, end = ctypes.CDLL(None).renameat2, time.monotonic() + 60
while time.monotonic() < end:
    renameat2(-100, b"f", -100, b"g", 2)
"""

from .crash_states import COMMAND as ADVICE
from .files import Dir, Fifo, HardLink, Link, Marked, contents, flip_byte, lay_out, with_file_length
from .harness import OPTIONS, ConverterTest, needs_reverter


@unittest.skipUnless(OPTIONS.statinfo, "needs statinfo")
class StatInfo(ConverterTest):
    def check_statinfo(self, rows):
        for label, files, args, stdout, status in rows:
            with self.case(label):
                lay_out(self.root, files)
                result = self.run_converter(*args, command=OPTIONS.statinfo)
                self.assertEqual((result.returncode, result.stdout), (status, stdout))

    def test_each_file_is_described(self):
        v1, v2 = version_1(5, trailing=100), converted(version_1(3))
        if OPTIONS.windows:
            complete = 'complete the conversion with: ren "x.new" "x", or the revert with: ren "x.old" "x"'
        else:
            complete = "complete the conversion with: mv -T -n -- x.new x, or the revert with: mv -T -n -- x.old x"
        def remove(*names):
            return "with: " + ("del /f " + " ".join(f'"{n}"' for n in names) if OPTIONS.windows else "rm -- " + " ".join(names))
        def remove_second(name, *names):  # a second name of x, removed only while it still is one
            if OPTIONS.windows:
                return (f"by removing {' and '.join(chr(34) + n + chr(34) for n in (name, *names))}, once sure "
                        'that the first is still another name of "x"')
            return f"with: [ ! -L x ] && [ x -ef {name} ] && rm -- {' '.join((name, *names))}"
        kept = "a kept copy that differs from the conversion of x ("
        alone = "statconv leaves it alone, as it may hold data found nowhere else\n"
        unfinished_copy = ("x.new: an unfinished copy, cut off while it was being built; running statconv on x "
                           f"again takes it over and builds it afresh; abandon the conversion {remove('x.new')}\n")
        cut_before = ("a conversion was cut off before its renames, or a revert before removing the copy; "
                      f"complete the conversion by running statconv on x again, or the revert {remove('x.new')}\n")
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
            ("unfinished copy", {"x": v1, "x.new": unfinished(v1, 500)}, ["x.new"], unfinished_copy, 1),
            ("unfinished copy, its header already final",
             {"x": v1, "x.new": with_file_length(unfinished(v1, 500), len(converted(v1)))}, ["x.new"],
             unfinished_copy, 1),
            ("an empty copy", {"x": v1, "x.new": b""}, ["x.new"], unfinished_copy, 1),
            ("the same, told beside its file", {"x": version_1(2), "x.new": b""}, ["x"],
             "x: version 1, 2 records; x.new is an unfinished copy, cut off while it was being built, "
             f"which running statconv on x again takes over; abandon it {remove('x.new')}\n", 1),
            ("its exact conversion beside it", {"x": version_1(2), "x.new": converted(version_1(2))}, ["x"],
             "x: version 1, 2 records; x.new is its exact conversion: " + cut_before, 1),
            ("the same, told of the copy", {"x": version_1(2), "x.new": converted(version_1(2))}, ["x.new"],
             "x.new: the exact conversion of x: " + cut_before, 1),
            ("a copy kept or written to since", {"x": v1, "x.new": flip_byte(converted(v1)[:500], 100)},
             ["x.new"],
             f"x.new: {kept}not a beginning of it); {alone}", 1),
            ("a whole copy that differs", {"x": v1, "x.new": flip_byte(converted(v1), 40)}, ["x.new"],
             f"x.new: {kept}record 1, block_1 differs from x); {alone}", 1),
            ("an old file alone", {"x.old": v1}, ["x.old"],
             "x.old: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n", 0),
            ("an old file kept beside its conversion", {"x": converted(v1), "x.old": v1}, ["x.old"],
             "x.old: version 1, 5 records: the version 1 file that the conversion of x kept, the one "
             "statrevert goes back to\n", 0),
            ("the same, its conversion written to since", {"x": flip_byte(converted(v1), 40), "x.old": v1},
             ["x.old"], "x.old: version 1, 5 records: the version 1 file that the conversion of x kept; x "
             "has changed since, and statrevert will not go back to it\n", 0),
            ("its exact conversion beside it, an old file in the way",
             {"x": version_1(2), "x.new": converted(version_1(2)), "x.old": b"kept"}, ["x"],
             "x: version 1, 2 records; statconv cannot swap it in: x.old is in the way; x.new is the copy "
             "of a run that stopped there, which statconv takes over once that is mended\n", 1),
            ("a pattern leaves out the files beside x", {"x": v2, "x.old": v1, "x.new": b"", "y.old": v1},
             ["*"], "x: version 2, 3 records, 824 bytes, header length agrees\n"
             "y.old: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n", 0),
            ("there, but not readable", {"x": Dir, "x.old": v1, "x.new": converted(v1)}, ["x"],
             "x: cannot open: Is a directory\n", 1),
        ] + ([
            ("a name Windows would change", {"x": v1}, ["x."], "x.: cannot open: No such file or directory\n", 1),
            ("a name Windows refuses, in its words (Wine's)", {}, ["x|y"], "x|y: cannot open: Invalid name\n", 1),
            ("other case, an 8.3 short name", {"x": v1, "statistics.dat": v1}, ["X", "STAT~JIP.DAT"],
             "".join(f"{n}: version 1, 5 records, 100 trailing bytes (a conversion drops them)\n"
                     for n in ["X", "STAT~JIP.DAT"]), 0),
            ("cut off, with a % that cmd would expand", {"%x%.old": v1, "%x%.new": converted(v1)},
             ["%x%"], "%x%: missing; a conversion or a revert was cut off between its two renames "
             '(%x%.old is version 1, %x%.new is its exact conversion); complete the conversion by '
             'renaming "%x%.new" to "%x%", or the revert by renaming "%x%.old" to "%x%", by hand '
             "(cmd expands % and ! in a command, even within quotes)\n", 1),
            ("cut off, with a ! that delayed expansion would take", {"a!x!.old": v1, "a!x!.new": converted(v1)},
             ["a!x!"], "a!x!: missing; a conversion or a revert was cut off between its two renames "
             '(a!x!.old is version 1, a!x!.new is its exact conversion); complete the conversion by '
             'renaming "a!x!.new" to "a!x!", or the revert by renaming "a!x!.old" to "a!x!", by hand '
             "(cmd expands % and ! in a command, even within quotes)\n", 1),
            ("in a directory, as cmd takes it", {"d/x.old": v1, "d/x.new": converted(v1)}, ["d/x"],
             "d/x: missing; a conversion or a revert was cut off between its two renames (d/x.old is "
             'version 1, d/x.new is its exact conversion); complete the conversion with: ren "d\\x.new" "x", '
             'or the revert with: ren "d\\x.old" "x"\n', 1),
            ("cmd's idioms: *.* every name, *. those without an extension", {"x": v2, "y.dat": v2[:31]},
             ["*.*", "*."], "x: version 2, 3 records, 824 bytes, header length agrees\n"
             "y.dat: too short for a header\nx: version 2, 3 records, 824 bytes, header length agrees\n", 1),
        ] if OPTIONS.windows else [
            ("a FIFO, never waited on", {"x": Fifo}, ["x"], "x: cannot open: not a regular file\n", 1),
            ("a name with a newline and a forged line", {"x\nx: version 2, 3 records": v1},
             ["x\nx: version 2, 3 records"], "$'x\\nx: version 2, 3 records': version 1, 5 records, "
             "100 trailing bytes (a conversion drops them)\n", 0),
            ("a name with an escape, in advice", {"\x1b[2Jx.old": v1, "\x1b[2Jx.new": converted(v1)},
             ["\x1b[2Jx"], "$'\\e[2Jx': missing; a conversion or a revert was cut off between its two renames "
             "($'\\e[2Jx.old' is version 1, $'\\e[2Jx.new' is its exact conversion); complete the conversion "
             "with: mv -T -n -- $'\\e[2Jx.new' $'\\e[2Jx', or the revert with: mv -T -n -- $'\\e[2Jx.old' "
             "$'\\e[2Jx'\n", 1),
            ("a marked copy whose data never reached the disk", {"x": v1, "x.new": Marked(bytes(500))},
             ["x.new"], unfinished_copy, 1),
            ("an unfinished copy with another name", {"x": v1, "x.new": unfinished(v1, 500),
             "y": HardLink("x.new")}, ["x.new"], "x.new: a copy that statconv will not take over, as it has "
             "other names or another owner; statconv leaves it alone\n", 1),
            ("the mark of an unfinished copy", {"x": Marked(v1)}, ["x"], "x: version 1, 5 records, 100 "
             "trailing bytes (a conversion drops them); statconv would refuse it: its permissions are those "
             "that mark an unfinished copy (1000)\n", 0),
            ("another name of it", {"x": v1, "y": HardLink("x")}, ["x"], "x: version 1, 5 records, 100 "
             "trailing bytes (a conversion drops them), and 1 other names (hard links): statconv refuses "
             "it, as they would go on naming the version 1 data\n", 0),
        ]) + [
            ("a second name left by a cut-off revert", {"x": v1, "x.old": HardLink("x"), "x.new": converted(v1)},
             ["x"], "x: version 1, and x.old is another name of it (x.new is its exact conversion): a "
             "conversion was cut off while moving it aside, or a revert while moving it back; finish the "
             f"conversion by running statconv on x again, or the revert {remove_second('x.old', 'x.new')}\n", 1),
            ("a version 2 file under two names", {"x": v2, "x.new": HardLink("x")}, ["x"],
             "x: version 2, and x.new is another name of it, left by a rename that was cut off; remove "
             f"the extra name {remove_second('x.new')}\n", 1),
            ("a second name left by a cut-off rename", {"x": v1, "x.old": HardLink("x")}, ["x"],
             "x: version 1, and x.old is another name of it: a conversion was cut off while moving "
             "it aside; running statconv on it again finishes it\n", 1),
        ])

    @unittest.skipIf(OPTIONS.windows, "chattr's flags are Linux's")
    def test_a_file_fixed_in_place_is_foretold_as_statconv_then_finds(self):
        for flag in ["+i", "+a"]:
            with self.case(flag):
                lay_out(self.root, {"x": version_1(2)})
                if subprocess.run(["chattr", flag, "x"], cwd=self.root, capture_output=True).returncode:
                    self.skipTest("needs root and a file system with chattr's flags")
                self.addCleanup(subprocess.run, ["chattr", "-ia", str(self.root / "x")])
                said = self.run_converter("x", command=OPTIONS.statinfo).stdout
                self.assertEqual(said, "x: version 1, 2 records; statconv cannot swap it in: it is immutable "
                                       "or append-only\n")
                self.assertEqual(self.run_converter("x").returncode, 0)

    @unittest.skipIf(OPTIONS.windows, "bash; cmd's own case is among the Windows cases")
    def test_pasted_advice_does_nothing_once_the_state_has_changed(self):
        v1, other = version_1(3), version_1(7)
        v2 = converted(v1)
        rows = [  # the files statinfo is asked of, then the names gone and the files made before the paste
            ("a file made at x meanwhile", {"x.old": v1, "x.new": v2}, [], {"x": other}),
            ("x made a link to a directory", {"x.old": v1, "x.new": v2, "d": Dir}, [], {"x": Link("d")}),
            ("x made a link to its second name", {"x": v1, "x.old": HardLink("x"), "x.new": v2}, ["x"],
             {"x": Link("x.old")}),
            ("the conversion finished meanwhile", {"x": v1, "x.old": HardLink("x"), "x.new": v2},
             ["x", "x.old", "x.new"], {"x": v2, "x.old": v1}),
            ("the extra name became a file of its own", {"x": v2, "x.new": HardLink("x"), "x.old": v1}, ["x.new"],
             {"x.new": v2}),
        ]
        for label, files, gone, made in rows:
            with self.case(label):
                lay_out(self.root, files)
                said = self.run_converter("x", command=OPTIONS.statinfo).stdout
                commands = ADVICE.findall(said)
                self.assertTrue(commands, said)
                for name in gone:
                    os.unlink(self.root / name)
                lay_out(self.root, made)
                before = contents(self.root)
                for command in commands:
                    subprocess.run(["bash", "-c", command], cwd=self.root, capture_output=True)
                self.assertEqual(contents(self.root), before, commands)

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

    @unittest.skipIf(OPTIONS.windows or os.geteuid() != 0, "needs root, and another user's links")
    def test_root_never_reads_through_a_link_a_user_swaps_in(self):
        # She swaps her file with her link to a file only root may read,
        # over and over; root's statinfo must never describe that file.
        secret, home = self.new_directory(), self.new_directory()
        lay_out(secret, {"f": version_1(77)})
        lay_out(home, {"f": version_1(5), "g": Link(str(secret / "f"))})
        for path in (home, home / "f", home / "g"):
            os.lchown(path, 1234, 1234)
        python = "/usr/bin/python3"  # one she may run, unlike a python under /root
        if not os.access(python, os.X_OK):
            self.skipTest("needs /usr/bin/python3")
        swapper = subprocess.Popen([python, "-c", SWAPPER, str(home)], preexec_fn=lambda: (
            os.setgroups([]), os.setgid(1234), os.setuid(1234)))
        self.addCleanup(swapper.wait)
        self.addCleanup(swapper.kill)
        seen = [self.run_converter(str(home / "f"), command=OPTIONS.statinfo).stdout for _ in range(300)]
        self.assertEqual(sum("77 records" in line for line in seen), 0, "runs that described root's file")
        swapper.kill()
        if not OPTIONS.faulty_statinfo:
            return
        # The same swap, made at each call of a run in turn.
        report = self.root / "fault"
        swap = {"STATCONV_FAULT_RUN": f"cd {home} && mv f t && mv g f && mv t g", "STATCONV_FAULT_REPORT": str(report)}
        call = 0
        while True:
            call += 1
            with self.subTest(call=call):
                run = self.run_converter(str(home / "f"), command=OPTIONS.faulty_statinfo,
                                         env={"STATCONV_FAULT": f"any:{call}", **swap})
                self.assertNotIn("77 records", run.stdout)
            if report.read_text().startswith("none"):
                break

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
        help_words = ["--help", "-h"] + (["/?"] if OPTIONS.windows else [])
        for args, status in [(["--bogus", "x"], 2), (["x", "--bogus"], 2)] + [([w], 0) for w in help_words]:
            with self.subTest(args=args):
                result = self.run_converter(*args, command=OPTIONS.statinfo)
                self.assertEqual(result.returncode, status)
                self.assertIn("usage: statinfo [--verify] [FILE...]\n",
                              result.stdout if status == 0 else result.stderr)
        lay_out(self.root, {"x": converted(version_1(2)), "x.old": version_1(2), "--verify": b"z"})
        for label, args, stdout, status in [
            ("no names: the built-in list", [], "".join(f"{n}: cannot open: No such file or directory\n"
                                                        for n in BUILTIN), 1),
            ("an option after the names", ["x", "--verify"], "x: verified 2 records against x.old\n", 0),
            ("-- ends the options", ["--", "--verify"], "--verify: too short for a header\n", 1),
        ]:
            with self.subTest(label):
                result = self.run_converter(*args, command=OPTIONS.statinfo)
                self.assertEqual((result.returncode, result.stdout), (status, stdout))
        if not OPTIONS.windows:
            with self.subTest("report not written"), open("/dev/full", "w") as full:
                lay_out(self.root, {"x": version_1(1)})
                result = subprocess.run(shlex.split(OPTIONS.statinfo) + ["x"], cwd=self.root, stdout=full)
                self.assertEqual(result.returncode, 1)
