"""Cases only Windows has: names in the ANSI code page, names Windows
changes or reaches another way, the read-only and hidden attributes, and a
second program at the files while they are swapped.
They are mixed into Refusals and Conversions, whose names select them."""
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from samples import BUILTIN, converted, unfinished, version_1

from .files import Dir, Link, contents, lay_out
from .harness import OPTIONS, announced

# A command in statinfo's advice, to be pasted into cmd.
COMMAND = re.compile(r'with: ((?:ren|move|del /f)(?: "[^"]*")+)')
# How cmd runs a pasted command from a batch file: with delayed expansion
# off, turned on by the batch file itself, or by cmd's option.
BATCH_WAYS = [("off", [], ""), ("setlocal", [], "setlocal EnableDelayedExpansion\r\n"),
              ("/V:ON", ["/V:ON"], "")]


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


class WindowsRefusals:
    """Mixed into Refusals."""

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

    @unittest.skipUnless(OPTIONS.windows and OPTIONS.statinfo, "a second Windows program (--holder) at x")
    def test_a_file_another_program_has_open_is_in_use_to_statinfo_and_refused(self):
        rows = [  # how the other program has x open
            ("held without sharing", []),
            ("open for writing, sharing reading and writing", ["--write"]),
            ("open for reading, sharing reading and writing", ["--read"]),
        ]
        for label, mode in rows:
            with self.case(label):
                lay_out(self.root, {"x": version_1(2)})
                helper = subprocess.Popen(shlex.split(OPTIONS.holder) + mode + ["x"], cwd=self.root,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                self.addCleanup(helper.kill)
                self.assertEqual(helper.stdout.readline().strip(), "held")
                told = self.run_converter("x", command=OPTIONS.statinfo).stdout
                self.check(self.run_converter("x"), 0, "Converting x\n", "Cannot open x\n")
                helper.communicate("\n", timeout=60)
                self.assertRegex(told, r"^x: in use by ")
                self.assertEqual(contents(self.root), {"x": version_1(2)})

    def run_batch(self, directory, options, lines):
        """Runs `lines` as a batch file in `directory` through Wine's cmd; any question is answered No."""
        (directory / "paste.bat").write_bytes(("@echo off\r\n" + lines).encode())
        wine = shlex.split(OPTIONS.statinfo)[:-1]
        return subprocess.run(wine + ["cmd"] + options + ["/C", "paste.bat"], cwd=directory,
                              input="n\r\n" * 20, capture_output=True, text=True, timeout=60)

    @unittest.skipUnless(OPTIONS.windows and OPTIONS.statinfo, "statinfo's advice, pasted into cmd")
    def test_pasted_advice_moves_and_replaces_nothing_once_the_state_has_changed(self):
        probe = self.run_batch(self.root, ["/V:ON"], "set x=1\r\necho [!x!]\r\n")
        if probe.stdout.strip() != "[1]":
            self.skipTest(f"Wine's cmd does no delayed expansion: {probe.stdout!r}")
        v1, other = version_1(3), b"a file another program made meanwhile"
        cut_off = {"trans/x.old": v1, "trans/x.new": converted(v1)}
        rows = [  # the state statinfo is run on, the name, what changes before the paste, what is removed
            ("unchanged, pasted as advised", cut_off, "x", {}, []),
            ("a file made where a rename leads", cut_off, "x", {"trans/x": other}, []),
            ("a directory made where a rename leads", cut_off, "x", {"trans/x/y": other}, []),
            ("a name with ! beside one it would become", {**cut_off, "trans/ab.new": other,
             "trans/ab!c!.old": v1, "trans/ab!c!.new": converted(v1)}, "ab!c!", {"trans/ab!c!": other}, []),
            ("a name with % that cmd would expand", {"trans/%x%.old": v1, "trans/%x%.new": converted(v1)},
             "%x%", {"trans/%x%": other}, []),
            ("the copy to remove is a directory now", {"trans/x": v1, "trans/x.new": converted(v1)}, "x",
             {"trans/x.new": Dir, "trans/x.new/y": other}, ["trans/x.new"]),
        ]
        for label, files, name, change, removed in rows:
            with self.case(label):
                lay_out(self.root, files)
                told = self.run_converter(f"trans\\{name}", command=OPTIONS.statinfo).stdout
                commands = COMMAND.findall(told)
                if "!" not in name and "%" not in name:  # the others get it in words
                    self.assertNotEqual(commands, [], told)
                for command in commands:
                    for way, options, start in BATCH_WAYS:
                        with self.subTest(command=command, way=way):
                            root = self.new_directory()
                            lay_out(root, files)
                            for gone in removed:
                                (root / gone).unlink()
                            lay_out(root, change)
                            before = contents(root)
                            self.run_batch(root, options, start + command + "\r\n")
                            after = contents(root)
                            del after["paste.bat"]
                            if change:  # refused, whatever cmd makes of it
                                self.assertEqual(after, before)
                            else:  # renamed as advised, nothing replaced
                                self.assertEqual(sorted(v for v in after.values() if v is not Dir),
                                                 sorted(v for v in before.values() if v is not Dir))


class WindowsConversions:
    """Mixed into Conversions."""

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
            with self.case(label):
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
            with self.case(label):
                lay_out(self.root, {"x": version_1(2), "x.new": unfinished(version_1(2), 300)})
                mark(self.root / marked)
                self.assertEqual(self.run_converter("x").returncode, 1)
                self.assertEqual(attributes(self.root / "x"), expected)
                if OPTIONS.reverter:  # and back, removing the converted copy whatever its attributes
                    self.assertEqual(self.run_converter("x", command=OPTIONS.reverter).returncode, 0)

    @unittest.skipUnless(OPTIONS.windows, "a second Windows program (--holder) at the files")
    def test_a_program_at_the_files_during_the_swap_loses_nothing(self):
        data, appended = version_1(20000), b"appended by another program\n"
        rows = [  # what the second program does, what it writes, whether the conversion must go through
            ("appends to x as soon as it can open it", "--append", appended, False),
            ("holds x.new or x.old for 300 ms whenever it can open one", "--scan", b"", True),
        ]
        for label, mode, written, must_convert in rows:
            with self.case(label):
                lay_out(self.root, {"x": data})
                helper = subprocess.Popen(shlex.split(OPTIONS.holder) + [mode, "x"], cwd=self.root,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                self.addCleanup(helper.kill)
                self.assertEqual(helper.stdout.readline().strip(), "ready")
                status = self.run_converter("x").returncode
                helper.communicate("\n", timeout=60)  # the scanner stops; the writer is done by then
                self.assertEqual((helper.returncode, status in ([1] if must_convert else [0, 1])), (0, True))
                files = contents(self.root)  # never converted with the write only in x.old
                self.assertEqual((files.get("x"), files.get("x.old")),
                                 (converted(data) + written, data) if status == 1 else (data + written, None))
