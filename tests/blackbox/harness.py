"""What every case runs on: the options naming the programs under test, the
skips they decide, and ConverterTest, which runs a program in a directory of
its own and compares what it printed, its status and the files it left."""
import argparse
import contextlib
import os
import resource
import shlex
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from samples import BUILTIN, converted, version_1

from .files import contents, lay_out

# Options are read before the tests are defined: they decide what is skipped.
_parser = argparse.ArgumentParser(description="Black-box tests: run the built programs in a temporary "
                                  "directory and compare standard output, standard error, exit status "
                                  "and every file left.")
_parser.add_argument("--converter", required=True)
_parser.add_argument("--faulty")
_parser.add_argument("--windows", action="store_true")
_parser.add_argument("--holder")
_parser.add_argument("--statinfo")
_parser.add_argument("--reverter")
_parser.add_argument("--faulty-reverter")
_parser.add_argument("--faulty-statinfo")
OPTIONS, UNITTEST_ARGS = _parser.parse_known_args()


def announced(*names, verb="Converting"):
    return "".join(f"{verb} {name}\n" for name in names)


needs_reverter = unittest.skipUnless(OPTIONS.reverter, "needs statrevert")


class ConverterTest(unittest.TestCase):
    maxDiff = 4000
    case_cleanups = None  # within a case, what undoes the case

    def setUp(self):
        self.root = self.new_directory()

    def new_directory(self):
        root = Path(tempfile.mkdtemp(prefix="statconv-"))
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        return root

    @contextlib.contextmanager
    def case(self, *label, **params):
        """A row of a table, as a subtest in a directory of its own: self.root
        until the row ends, when the directory goes with whatever the row set
        up (held files, mounts, links), and self.root is the test's again."""
        outer = self.root
        with self.subTest(*label, **params), contextlib.ExitStack() as self.case_cleanups:
            try:
                self.root = self.new_directory()
                yield
            finally:
                self.root, self.case_cleanups = outer, None

    def addCleanup(self, function, /, *args, **kwargs):
        if self.case_cleanups is None:
            super().addCleanup(function, *args, **kwargs)
        else:
            self.case_cleanups.callback(function, *args, **kwargs)

    def lay_out_builtin(self, **replace):
        files = {name: version_1(i + 1, seed=i) for i, name in enumerate(BUILTIN)}
        files.update(replace)
        lay_out(self.root, files)
        return files

    def run_program(self, *args, command=None, env=None, preexec=None, merged=False):
        command = shlex.split(command or OPTIONS.converter)
        env = dict(os.environ, **(env or {}))
        report = self.fault_report(env)
        result = subprocess.run(
            command + list(args), cwd=self.root, capture_output=not merged,
            stdout=subprocess.PIPE if merged else None,
            stderr=subprocess.STDOUT if merged else None,
            env=env, preexec_fn=preexec,
            restore_signals=preexec is None, timeout=60, text=True, errors="replace")
        said = report and (report.read_text() if report.exists() else "nothing")
        if said and (said == "nothing" or said.startswith("none")):
            self.fail(f"STATCONV_FAULT={env['STATCONV_FAULT']} was never injected: the test build "
                      f"reported {said!r}")
        return result

    def fault_report(self, env):
        """Where a run that asks for a fault (STATCONV_FAULT) is to report
        whether it injected it, unless the case reads the report itself."""
        if "STATCONV_FAULT" not in env or "STATCONV_FAULT_REPORT" in env:
            return None
        report = self.new_directory() / "fault"
        env["STATCONV_FAULT_REPORT"] = str(report)
        return report

    def reachable_by_all(self, command):
        """`command` with every file it names that other users cannot reach
        copied where they may, for a run as another user: the build tree may
        lie in a directory that only its owner may enter."""
        room = self.new_directory()
        room.chmod(0o755)
        words = []
        for word in shlex.split(command):
            option, _, path = word.rpartition("=") if "=" in word else ("", "", word)
            if os.path.isfile(path) and not all(parent.stat().st_mode & 0o001 for parent in Path(path).resolve().parents):
                copy = room / f"{len(words)}-{os.path.basename(path)}"
                shutil.copy2(path, copy)
                copy.chmod(0o755)
                word = f"{option}={copy}" if option else str(copy)
            words.append(word)
        return shlex.join(words)

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


def posix_only(test):
    return unittest.skipIf(OPTIONS.windows, "FIFOs, symbolic links and modes are POSIX matters")(test)


def limit(what, value, file_size_signal=signal.SIG_IGN):
    def preexec():
        signal.signal(signal.SIGXFSZ, file_size_signal)
        resource.setrlimit(what, (value, value))
    return preexec


def writer(target, later=False):
    """The environment for a faulty build that, at its first sync, lets a
    program that ignores the lock append ten records to `target`: at once,
    or from the background, where it waits on the converter's lease."""
    append = f"python3 -c \"open('{target}', 'ab').write(bytes(2600))\""
    if not later:
        return {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": append, "STATCONV_NO_LEASE": "1"}
    return {"STATCONV_FAULT": "fsync:1", "STATCONV_FAULT_RUN": f"(touch ready; {append}; touch done) &",
            "STATCONV_FAULT_WAIT": "ready"}
