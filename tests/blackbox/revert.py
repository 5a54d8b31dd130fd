"""statrevert's own cases: what it refuses, its command line, and what a
failing step or a kill leaves. They are mixed into the groups of the same
concern (Refusals, BuiltinListAndArguments, InjectedFaults), whose names
select them; the reverts that follow every conversion are in
ConverterTest.check_converted."""
import os
import unittest
from types import SimpleNamespace

from samples import BUILTIN, converted, version_1

from .files import Dir, Foreign, HardLink, Link, contents, flip_byte, lay_out
from .harness import OPTIONS, announced, needs_reverter, writer


def assert_revert_recoverable(test, data):
    """After a kill in a revert: the files are one of the states a revert
    passes through, statinfo names it, and its other rename or running again
    finishes; a leftover x.new is only removed."""
    files, v2 = contents(test.root), converted(data)
    test.assertIn(files, [{"x": v2, "x.old": data}, {"x.old": data, "x.new": v2},
                          {"x": data, "x.new": v2}, {"x": data}])
    test.assert_diagnosed(files, data)
    if "x" not in files:
        os.rename(test.root / "x.old", test.root / "x")
    elif files["x"] != data:
        test.assertEqual(test.run_converter("x", command=OPTIONS.faulty_reverter).returncode, 0)
    (test.root / "x.new").unlink(missing_ok=True)
    test.assertEqual(contents(test.root), {"x": data})


def reversion(data):
    """What EveryFault runs for a revert of x, the conversion of `data`, to
    x.old (as faults.conversion describes for a conversion)."""
    v2 = converted(data)
    return SimpleNamespace(name="revert", command=OPTIONS.faulty_reverter, start={"x": v2, "x.old": data},
                           done=(0, {"x": data}),
                           failed=(1, [{"x": v2, "x.old": data}, {"x": data, "x.new": v2}, {"x": data}]),
                           silent=set(), recover=lambda test: assert_revert_recoverable(test, data))


class RevertRefusals:
    """Mixed into Refusals."""

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
            with self.case(label):
                self.check_refused(files, ["x"], stderr, reverting=True)


class RevertArguments:
    """Mixed into BuiltinListAndArguments."""

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


class RevertFaults:
    """Mixed into InjectedFaults, whose run_faulty it uses."""

    @unittest.skipUnless(OPTIONS.faulty_reverter, "needs statrevert's fault-injecting build")
    def test_a_failed_revert_step_is_reported_and_loses_nothing(self):
        data = version_1(3)
        v2 = converted(data)
        untouched, kept = {"x": v2, "x.old": data}, {"x": data, "x.new": v2}
        rows = [
            ("reading x", "fread:3", "x: cannot read x: Input/output error; not reverted\n", untouched),
            ("reading x.old", "fread:4", "x: cannot read x.old: Input/output error; not reverted\n",
             untouched),
            ("looking for x.new", "fstatat:3",
             "x: cannot make sure that x.new is free: Permission denied; not reverted\n", untouched),
            ("first rename", "renameat2:1", "Cannot rename x to x.new: Permission denied\n", untouched),
            ("second rename, undone", "renameat2:2", "Cannot rename x.old to x: Permission denied\n", untouched),
            ("second rename and its undo", "renameat2:2-3", "Cannot rename x.old to x: Permission denied\n"
             "Cannot rename x.new to x: Permission denied\n", {"x.old": data, "x.new": v2}),
            ("directory sync between the renames, undone", "fsync:1",
             "Cannot sync the directory of x: Input/output error\n", untouched),
            ("directory sync", "fsync:2", "x: cannot sync its directory: Input/output error; x.new is kept\n",
             kept),
            ("reading x.new again", "fread:9", "x: x.new is kept, as it could not be checked against x "
             "(cannot read: Input/output error)\n", kept),
            ("removing x.new", "unlinkat:1", "Cannot remove x.new: in use by another program\n", kept),
            ("the last directory sync", "fsync:3", "x: reverted, but cannot sync its directory: Input/output "
             "error; x.new may come back after a power cut, and may then simply be removed\n", {"x": data}),
            ("a writer appends to x.new, no lease", writer("x.new"), "x: x.new is kept, as it is not "
             "exactly the conversion of x (file_length is 824, the file is 3424 bytes)\n",
             {"x": data, "x.new": v2 + bytes(2600)}),
            ("a writer opens x.new, waiting on the lease", writer("x.new", later=True),
             "x: x.new is kept, as another program opened it for writing\n",
             {"x": data, "x.new": v2 + bytes(2600)}),
        ]
        for label, fault, stderr, files in rows:
            with self.case(label):
                lay_out(self.root, untouched)
                result = self.run_faulty(OPTIONS.faulty_reverter,
                                         fault if isinstance(fault, dict) else {"STATCONV_FAULT": fault})
                self.check(result, 1, announced("x", verb="Reverting"), stderr)
                self.assertEqual(contents(self.root), files)
