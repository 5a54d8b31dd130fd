"""What failing calls and kills leave: every I/O call of a conversion and of
a revert made to fail in turn (EveryFault), single faults at chosen calls
and writers that ignore the lock (InjectedFaults), and a converter killed
at any moment (Kills). Whatever happens, the data is whole and the files
are in a state that statinfo names and running again finishes."""
import errno
import os
import resource
import shlex
import subprocess
import sys
import time
import unittest
from types import SimpleNamespace

from samples import converted, version_1

from .files import Dir, Link, contents, is_whole_version_2, lay_out
from .harness import OPTIONS, ConverterTest, announced, limit, posix_only, writer
from .revert import RevertFaults, reversion


REPLACER = {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": "python3 -c \"import os; "
            "open('y', 'wb').write(open('x', 'rb').read() + bytes(2600)); os.rename('y', 'x')\""}


# The only failures a conversion says nothing of (statconv(1): "nothing
# more"): writing the header, checking the copy's length and rewriting its
# header. Every other failing call is named on standard error.
SILENT_CALLS = {"fwrite", "fseek", "ftell"}


def assert_recoverable(test, data, expected):
    """After a kill: the version 1 data is whole, a finished version 2
    file is exact, statinfo names the state, and running again (or the
    README's rename) finishes."""
    files = contents(test.root)
    test.assertIn(data, (files.get("x"), files.get("x.old")))
    for name, found in files.items():
        if is_whole_version_2(found):
            test.assertEqual(found, expected, name)
    test.assert_diagnosed(files, data)
    if "x" not in files:  # killed between the two renames
        test.assertEqual(files.get("x.new"), expected)
        os.rename(test.root / "x.new", test.root / "x")
    elif files["x"] == data:
        test.assertNotIn("x.old", files)
        test.assertEqual(test.run_converter("x").returncode, 1)
    test.assertEqual(contents(test.root), {"x": expected, "x.old": data})


def conversion(data):
    """What EveryFault runs for a conversion of `data` under x: the
    faulty build, the files it starts from, its status and files when done,
    what a failure may leave, and how a kill's leftovers are finished."""
    v2 = converted(data)
    return SimpleNamespace(name="conversion", command=OPTIONS.faulty, start={"x": data}, done=(1, {"x": v2, "x.old": data}),
                           failed=(0, [{"x": data}, {"x": data, "x.new": v2}]),
                           silent=SILENT_CALLS, recover=lambda test: assert_recoverable(test, data, v2))


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class EveryFault(ConverterTest):
    """Every I/O call of a conversion, and of a revert, made to fail in turn, then to kill."""

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
                    with self.case(label, program=way.name, fault=point):
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
                with self.case(program=way.name, kill=point):
                    lay_out(self.root, way.start)
                    self.assertEqual(self.run_faulty(f"any:{point}", way.command, kill=True)[0].returncode, -9)
                    way.recover(self)
            print(f"\n  {way.name}: {len(points)} kill points of {calls} calls", end=" ", file=sys.stderr)


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
            with self.case(kill_after=f"{i}/24"):
                lay_out(self.root, {"x": data})
                converter = subprocess.Popen(shlex.split(OPTIONS.converter) + ["x"], cwd=self.root,
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(duration * i / 24)
                converter.kill()
                converter.wait()
                assert_recoverable(self, data, expected)


@unittest.skipUnless(OPTIONS.faulty, "needs the fault-injecting build")
class InjectedFaults(RevertFaults, ConverterTest):
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
            ("opening x through /proc", "open:1", 3, "Cannot open x\n"),
            ("header write", "fwrite:1", 3, ""),
            ("record read", "fread:2", 3, "Failed to read record from x\n"),
            ("record write", "fwrite:2", 3, "Failed to write new record to x.new\n"),
            ("writeback flush", "fflush:1", 9000, "Failed to write new record to x.new\n"),
            ("position", "ftell:1", 3, ""),
            ("header seek", "fseek:1", 3, ""),
            ("last buffer", "fflush:1", 3, "Failed to write new record to x.new\n"),
            ("final flush", "fflush:2", 3, "Cannot sync x.new: No space left on device; the copy is removed\n"),
            ("sync", "fsync:1", 3, "Cannot sync x.new: Input/output error; the copy is removed\n"),
            ("naming the copy", "linkat:1", 3, "Cannot give the copy the name x.new: Operation not permitted; "
             "the copy is removed\n"),
            ("permissions", "fchmod:1", 3, "Cannot give x.new the owner, group, permissions and attributes "
             "of x: Operation not permitted; the copy is removed\n"),
        ]
        for label, fault, records, stderr in rows:
            with self.case(label):
                self.check_refused({"x": version_1(records)}, ["x"], stderr,
                                   command=OPTIONS.faulty, env={"STATCONV_FAULT": fault})

    @posix_only
    def test_a_copy_that_cannot_be_removed_is_said_to_be_kept_and_is_taken_over(self):
        # Where the copy is made under its name (no unnamed files) and then
        # cannot be removed, the line says it is kept; the next run takes it
        # over, marked as it is.
        data = version_1(3000)
        full = limit(resource.RLIMIT_FSIZE, 256 * 1024)
        rows = [("the removal refused", {"STATCONV_FAULT": "unlinkat:1"}, "in use by another program"),
                ("an append-only directory", {}, "Operation not permitted")]
        for label, fault, why in rows:
            with self.case(label):
                lay_out(self.root, {"x": data})
                if not fault:
                    if subprocess.run(["chattr", "+a", str(self.root)], capture_output=True).returncode != 0:
                        self.skipTest("needs chattr +a")
                    self.addCleanup(subprocess.run, ["chattr", "-a", str(self.root)])
                result = self.run_converter("x", command=OPTIONS.faulty, preexec=full,
                                            env={"STATCONV_NO_TMPFILE": "1", **fault})
                self.check(result, 0, announced("x"),
                           f"Failed to write new record to x.new\nx.new is kept, as it cannot be removed: {why}\n")
                self.assertEqual(os.stat(self.root / "x.new").st_mode & 0o7777, 0o1000)  # the mark
                subprocess.run(["chattr", "-a", str(self.root)], capture_output=True)
                self.check(self.run_converter("x"), 1, announced("x"), "Converted 3000 records\n")
                self.assertEqual(contents(self.root), {"x": converted(data), "x.old": data})

    @posix_only
    @unittest.skipUnless(OPTIONS.faulty_reverter, "needs the fault-injecting statrevert")
    def test_a_kept_copy_is_never_taken_over_whatever_its_permissions(self):
        # A file with no permissions at all: the copy a revert keeps, written
        # to meanwhile, must not pass for an unfinished one.
        data, v2 = version_1(3), converted(version_1(3))
        lay_out(self.root, {"x": v2, "x.old": data})
        for name in ("x", "x.old"):
            os.chmod(self.root / name, 0)
        self.run_faulty(OPTIONS.faulty_reverter, {"STATCONV_FAULT": "renameat2:2",
                                                  "STATCONV_FAULT_RUN": "printf junk >> x.new"})
        self.check(self.run_converter("x"), 0, announced("x"), "Cannot create x.new\n")
        self.assertEqual(contents(self.root), {"x": data, "x.new": v2 + b"junk"})

    def test_swaps_and_locks_that_fail_or_fall_back(self):
        data, new = version_1(3), converted(version_1(3))
        done = "Converted 3 records\n"
        no_noreplace = {"STATCONV_NO_NOREPLACE": "1"}
        rows = [  # the fault, then whether a plain run follows, the messages and the files
            ("failed swap, undone", {"STATCONV_FAULT": "renameat2:2"}, False, 0,
             done + "Cannot rename x.new to x: Permission denied\n", {"x": data, "x.new": new}),
            ("failed undo, named", {"STATCONV_FAULT": "renameat2:2-3"}, False, 0,
             done + "Cannot rename x.new to x: Permission denied\nCannot rename x.old to x: Permission denied\n",
             {"x.old": data, "x.new": new}),
            ("NFS: no exclusive lock for reading", {"STATCONV_FAULT": f"flock:1:{errno.EBADF}"}, False, 1,
             done, {"x": new, "x.old": data}),
            ("no RENAME_NOREPLACE", no_noreplace, False, 1, done, {"x": new, "x.old": data}),
            # A directory held for its path alone (mode 0300: written and searched, never read).
            ("a directory that cannot be synced itself", {"STATCONV_FAULT": f"fsync:3-99:{errno.EBADF}"}, False,
             1, done, {"x": new, "x.old": data}),
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
        rows += [("the copy written to at the swap", {"STATCONV_FAULT": "renameat2:1",
                  "STATCONV_FAULT_RUN": "printf junk >> x.new"}, False, 0,
                  done + "x.new changed before it was swapped in; it is kept\n", {"x": data, "x.new": new + b"junk"}),
                 ("the copy saved over at the swap", {"STATCONV_FAULT": "renameat2:2", "STATCONV_FAULT_RUN":
                  "printf junk > y && mv y x.new"}, False, 0, done + "x.new changed before it was swapped in; it is kept\n",
                  {"x": data, "x.new": b"junk"})]
        for label, env, again, status, stderr, files in rows:
            with self.case(label):
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
            with self.case(verb, fault=fault):
                lay_out(self.root, {"elsewhere/x": bait, **({"d/x": data} if verb == "Converting" else
                                                            {"d/x": v2, "d/x.old": data})})
                result = self.run_converter("d/x", command=command, env={"STATCONV_FAULT": fault, **swap})
                self.assertEqual((result.returncode, result.stderr), (status, stderr))
                self.assertEqual(contents(self.root), {"held": Dir, "d": Link("elsewhere"), "elsewhere": Dir,
                                                       "elsewhere/x": bait, **files})
