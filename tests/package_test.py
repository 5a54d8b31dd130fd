#!/usr/bin/env python3
"""Builds the package in a build tree and runs what it installs.

  package_test.py BUILD_DIR deb            cpack -G DEB, unpacked with dpkg -x
  package_test.py BUILD_DIR zip EMULATOR   cpack -G ZIP of the Windows programs, run under EMULATOR

Either way the installed statconv converts a sample, the installed statinfo
verifies the conversion, and the installed statrevert puts the sample back;
the programs are stripped and the documentation is in the form each system
reads. Where lintian is installed, it must find nothing to warn of.
"""
import gzip
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from samples import converted, version_1  # noqa: E402

BUILD, KIND = Path(sys.argv[1]).resolve(), sys.argv[2]
EMULATOR = shlex.split(sys.argv[3]) if len(sys.argv) > 3 else []
PAGES = ["statconv", "statinfo", "statrevert"]
# The version, as the one place that defines it (CMakeLists.txt) gave it to the build.
VERSION = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", (BUILD / "CMakeCache.txt").read_text(), re.M)[1]


class Package(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="statconv-package-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.work)])

    def make_package(self, generator):
        subprocess.run(["cpack", "-G", generator, "-B", str(self.work / "out")], cwd=BUILD,
                       check=True, capture_output=True)
        [package] = (self.work / "out").glob("statconv*." + generator.lower())
        return package

    def run_installed(self, statconv, statinfo, statrevert):
        for program in statconv, statinfo, statrevert:  # no symbol table (ELF, or PE's COFF count)
            data = program.read_bytes()
            self.assertFalse(b".symtab" in data if data[:4] == b"\x7fELF" else
                             struct.unpack_from("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 16)[0],
                             f"{program.name} is not stripped")
        data = version_1(3, trailing=5)
        (self.work / "x").write_bytes(data)
        run = lambda *args: subprocess.run(EMULATOR + [str(a) for a in args], cwd=self.work,  # noqa: E731
                                           capture_output=True, text=True)
        converting = run(statconv, "x")
        self.assertEqual((converting.returncode, converting.stderr.replace("\r", "")),
                         (1, "Converted 3 records\n"))
        self.assertEqual((self.work / "x").read_bytes(), converted(data))
        verifying = run(statinfo, "--verify", "x")
        self.assertEqual((verifying.returncode, verifying.stdout.replace("\r", "")),
                         (0, "x: verified 3 records against x.old\n"))
        self.assertEqual(run(statrevert, "x").returncode, 0)
        self.assertEqual((self.work / "x").read_bytes(), data)

    @unittest.skipUnless(KIND == "deb", "the Debian package")
    def test_the_debian_package_installs_and_runs(self):
        package = self.make_package("DEB")
        fields = subprocess.run(["dpkg-deb", "-f", str(package), "Package", "Version"],
                                check=True, capture_output=True, text=True).stdout
        self.assertEqual(fields, f"Package: statconv\nVersion: {VERSION}\n")
        root = self.work / "root"
        subprocess.run(["dpkg", "-x", str(package), str(root)], check=True)
        doc = root / "usr/share/doc/statconv"
        self.assertIn("\nLicense: MIT\n Permission is hereby granted", (doc / "copyright").read_text())
        texts = [gzip.decompress(path.read_bytes()).decode() for path in
                 [doc / "changelog.gz"] + [root / f"usr/share/man/man1/{page}.1.gz" for page in PAGES]]
        self.assertTrue(texts[0].startswith(f"statconv ({VERSION}) unstable; urgency=medium\n"), texts[0])
        self.assertEqual([text[:4] for text in texts[1:]], [".TH "] * 3)
        if shutil.which("lintian"):
            report = subprocess.run(["lintian", str(package)], capture_output=True, text=True).stdout
            self.assertEqual([line for line in report.splitlines() if line[:2] in ("E:", "W:")], [])
        self.run_installed(*(root / "usr/bin" / name for name in ["statconv", "statinfo", "statrevert"]))

    @unittest.skipUnless(KIND == "zip", "the ZIP of the Windows programs")
    def test_the_windows_zip_holds_the_programs_and_they_run(self):
        package = self.make_package("ZIP")
        top = package.name.removesuffix(".zip") + "/"  # statconv-VERSION-win32/, the one folder
        programs = ["statconv.exe", "statinfo.exe", "statrevert.exe"]
        texts = [f"{page}.txt" for page in PAGES] + ["README.txt", "LICENSE.txt"]
        with zipfile.ZipFile(package) as archive:
            files = sorted(name for name in archive.namelist() if not name.endswith("/"))
            self.assertEqual(files, sorted(top + name for name in programs + texts))
            for name in texts:  # text that Notepad shows rightly
                with self.subTest(name):
                    data = archive.read(top + name)
                    bom = data.startswith(b"\xef\xbb\xbf")
                    lines = data[3 if bom else 0:].decode("utf-8" if bom else "ascii").split("\r\n")
                    self.assertGreater(len(lines), 10)
                    self.assertEqual([line for line in lines if "\n" in line or "\r" in line], [])
                    self.assertEqual([line for line in lines if len(line) > 100], [])
                    self.assertNotRegex(data, rb"[\b\x1b]|^\.TH|\]\(")  # no overstrikes, roff or Markdown
                    if name[:-4] in PAGES:  # rendered with the Windows commands
                        self.assertEqual([word for word in ("mv ", "rm --", "flock(1)")
                                          if any(word in line for line in lines)], [])
            archive.extractall(self.work / "root")
        self.run_installed(*(self.work / "root" / top / name for name in programs))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
