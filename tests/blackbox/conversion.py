"""The converter's cases: what it refuses, what it converts and carries,
the built-in list and the command line, held files and full disks, and
converters racing each other."""
import errno
import fcntl
import os
import resource
import shlex
import shutil
import signal
import subprocess
import unittest

from samples import BUILTIN, converted, header, unfinished, version_1

from .files import (MAX_RECORDS, V2, Dir, Fifo, Foreign, ForeignLink, HardLink, Link, contents,
                    flip_byte, lay_out, with_file_length)
from .harness import OPTIONS, ConverterTest, announced, limit, posix_only
from .revert import RevertArguments, RevertRefusals
from .windows import WindowsConversions, WindowsRefusals


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


def mount_bindfs(test, backing=None, by=None):
    """Mounts, with bindfs (libfuse 2), a directory of its own (or `backing`)
    on the test's directory, where FUSE and bindfs are there; the reason
    where not. With `by`, the mount is that user's, as the system records
    it, while its files report the owners of the backing directory's."""
    if os.geteuid() != 0 or not shutil.which("bindfs") or not os.path.exists("/dev/fuse"):
        return "needs root, /dev/fuse and bindfs"
    backing = backing or test.new_directory()
    as_mounter = ["setpriv", f"--ruid={by}"] if by is not None else []
    mounted = subprocess.run(as_mounter + ["bindfs", str(backing), str(test.root)], capture_output=True, text=True)
    if mounted.returncode != 0:
        return f"bindfs cannot mount here: {mounted.stderr.strip()}"
    test.addCleanup(subprocess.run, ["fusermount", "-u", str(test.root)])
    return None


def mount_small_tmpfs(test, size):
    """Mounts a small tmpfs on the test's directory where mounting is allowed."""
    if os.geteuid() != 0 or not shutil.which("mount"):
        return False
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(test.root)],
                             capture_output=True).returncode == 0
    if mounted:
        test.addCleanup(subprocess.run, ["umount", str(test.root)])
    return mounted


class Refusals(RevertRefusals, WindowsRefusals, ConverterTest):
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
                   "Cannot create x.new\n"),
                  ("a directory reached through another user's link", {"mine/x": version_1(2),
                   "evil": ForeignLink("mine")}, "evil/x", "Cannot open evil/x\n")]
                 if os.geteuid() == 0 else [])
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
            with self.case(label):
                self.check_refused(files, [name], stderr)

    def test_too_large_for_version_2_is_refused_at_once(self):
        path = self.root / "x"
        path.write_bytes(version_1(0))
        os.truncate(path, 32 + 260 * (MAX_RECORDS + 1))
        self.check(self.run_converter("x"), 0, announced("x"), "x is too large to convert\n")
        self.assertEqual(sorted(os.listdir(self.root)), ["x"])
        self.assertEqual(path.stat().st_size, 32 + 260 * (MAX_RECORDS + 1))


class Conversions(WindowsConversions, ConverterTest):
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
            with self.case(label):
                self.check_converted("x", data, others)
        if not OPTIONS.windows:
            with self.case("on a 128 KiB stack"):
                self.check_converted("x", version_1(3), preexec=limit(resource.RLIMIT_STACK, 128 * 1024))

    def test_longest_name_that_fits(self):
        directory = "/".join(["d" * 200] * 5)
        name = directory + "/" + "f" * (1023 - len(directory) - 1)
        self.assertEqual(len(name), 1023)
        self.check_converted(name, version_1(1))

    def test_old_name_taken_leaves_the_copy_beside_the_file(self):
        data = version_1(3)
        lay_out(self.root, {"x": data, "x.old": b"earlier"})
        self.check(self.run_converter("x"), 0, announced("x"),
                   "Converted 3 records\nCannot rename x to x.old: File exists\n")
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
            ("no ACLs, none to carry", [], "acl_get_fd:1-9", True),
            ("permissions that are the mark of an unfinished copy", [["chmod", "1000", "x"]], None, False),
            ("no ACLs on the copy, none to carry", [], "acl_set_fd:1", True),
            ("no ACLs on the copy, one to carry", [acl], "acl_set_fd:1", False),
            ("her own file, as her", [writable, ["chown", "1234:1234", "x"]], as_user, True),
            ("a group she is not in", [writable, ["chown", "1234:5678", "x"]], as_user, False),
            ("another user's file", [writable, ["chown", "4321:4321", "x"]], as_user, False),
            ("a group she is not in, which a set-group-ID directory gives", [
                writable, ["chown", "1234:5678", "x"], ["chgrp", "5678", "."], ["chmod", "g+s", "."]], as_user, True),
            ("her marked leftover copy, which she may not read", [writable, ["chown", "1234:1234", "x"], [
                "sh", "-c", "printf junk > x.new && chown 1234:1234 x.new && chmod 1000 x.new"]], as_user, True),
            ("in her directory that she may write and search but not read",
             [["chown", "1234:1234", "x", "."], ["chmod", "300", "."]], as_user, True),
        ] if not OPTIONS.windows else [  # Wine shows a DACL as mode bits: Everyone's are others'
            (f"mode {mode}", [["chmod", mode, "x"]], None, True) for mode in ("600", "640", "644")]
        for label, commands, how, converts in rows:
            with self.case(label):
                if os.geteuid() != 0 or (isinstance(how, str) and not OPTIONS.faulty):
                    self.skipTest("needs root and the fault-injecting build")
                lay_out(self.root, {"x": version_1(3)})
                for command in commands:
                    subprocess.run(command, cwd=self.root, check=True)
                before, files = carried(self.root / "x"), contents(self.root)
                as_her = callable(how)
                if as_her and OPTIONS.statinfo:  # what statinfo foretells is what statconv then does
                    said = self.run_converter("x", command=self.reachable_by_all(OPTIONS.statinfo), preexec=how)
                    self.assertEqual("statconv would refuse it" not in said.stdout, converts, said.stdout)
                converter = self.reachable_by_all(OPTIONS.converter) if as_her else None
                result = self.run_converter("x", command=OPTIONS.faulty if isinstance(how, str) else converter,
                                            env={"STATCONV_FAULT": how} if isinstance(how, str) else None,
                                            preexec=how if as_her else None)
                self.assertEqual(result.returncode, converts, result.stderr)
                if not converts:
                    self.assertEqual((result.stderr, contents(self.root), carried(self.root / "x")),
                                     ("Cannot give x.new the owner, group, permissions and attributes of x: "
                                      f"{os.strerror(errno.EOPNOTSUPP if isinstance(how, str) else errno.EPERM)}; "
                                      "the copy is removed\n", files, before))
                    continue
                self.assertEqual((carried(self.root / "x"), carried(self.root / "x.old")), (before, before))
                self.assertNotIn("x.new", contents(self.root))
                if OPTIONS.reverter:
                    reverted = self.run_converter("x", command=self.reachable_by_all(OPTIONS.reverter) if as_her
                                                  else OPTIONS.reverter, preexec=how if as_her else None)
                    self.assertEqual((reverted.returncode, reverted.stderr), (0, ""))
                    self.assertEqual(carried(self.root / "x"), before)


    @posix_only
    def test_an_acl_larger_than_a_block_is_carried_exactly(self):
        # 600 named users: 4,836 bytes of ACL, more than an ext4 block holds,
        # so on a tmpfs.
        if not mount_small_tmpfs(self, "16m"):
            self.skipTest("needs root and a tmpfs")
        lay_out(self.root, {"x": version_1(3)})
        entries = ",".join(f"u:{uid}:r" for uid in range(20000, 20600))
        if subprocess.run(["setfacl", "-m", entries, "x"], cwd=self.root, capture_output=True).returncode != 0:
            self.skipTest("this tmpfs takes no ACL of that size")
        before = carried(self.root / "x")
        self.check(self.run_converter("x"), 1, announced("x"), "Converted 3 records\n")
        self.assertEqual((carried(self.root / "x"), carried(self.root / "x.old")), (before, before))


class BuiltinListAndArguments(RevertArguments, ConverterTest):
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
            with self.case(label):
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
        self.assertEqual(lines[:4], expected)  # sorted, on Windows too
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
            ("never the files beside a file", {"d/y": V2, "d/y.old": V2, "d/y.new": V2, "d/z.old": V2},
             ["d/*"], ["d/y", "d/z.old"]),
            ("a pair cut off between its renames stands for its file", {"d/y.old": V2, "d/y.new": V2},
             ["d/*"], ["d/y"]),
        ] + ([("cmd's *.* and *.", {"d/y": V2, "d/y.old": V2, "d/z.dat": V2}, ["d/*.*", "d/*."],
               ["d/y", "d/z.dat", "d/y"])] if OPTIONS.windows else [])
        for label, files, args, names in rows:
            with self.case(label):
                self.lay_out_builtin(**files)
                result = self.run_converter(*args)
                self.assertEqual(result.stdout, announced(*names))


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
            with self.case(held, reverting=reverting):
                lay_out(self.root, files)
                self.hold(held.split()[0], writing=held.endswith("writing"))
                self.check_refused({}, ["x"], stderr, reverting)

    @unittest.skipUnless(OPTIONS.statinfo, "needs statinfo")
    def test_a_run_holding_its_files_now_is_named_as_running(self):
        data = version_1(3)
        running = ("x: in use by another program; statconv would refuse it now; run statinfo again once that "
                   "program has let it go\n")
        rows = [("x.old", {"x.old": data, "x.new": converted(data)}), ("x", {"x": data})]
        if not OPTIONS.windows:  # open for writing by a program that ignores the lock; a shared lock
            rows += [("x for writing", {"x": data}), ("x shared", {"x": data})]
        for held, files in rows:
            with self.case(held):
                lay_out(self.root, files)
                if held.endswith("shared"):
                    fd = os.open(self.root / "x", os.O_RDONLY)
                    self.addCleanup(os.close, fd)
                    fcntl.flock(fd, fcntl.LOCK_SH)
                else:
                    self.hold(held.split()[0], writing=held.endswith("writing"))
                result = self.run_converter("x", command=OPTIONS.statinfo)
                self.assertEqual((result.returncode, result.stdout), (1, running))
                self.assertEqual(self.run_converter("x").returncode, 0)  # as statconv then finds

    @posix_only
    def test_a_fuse_file_system_that_hides_unlinked_open_files_converts_and_reverts(self):
        # libfuse 2 keeps an unlinked open file under a hidden name, serves
        # link counts from a cache, and has no non-replacing rename.
        data, v2 = version_1(20), converted(version_1(20))
        rows = [("plain", {"x": data}), ("a leftover copy", {"x": data, "x.new": unfinished(data, 500)}),
                ("an empty leftover", {"x": data, "x.new": b""})]
        for label, files in rows:
            with self.case(label):
                why_not = mount_bindfs(self)
                if why_not:
                    self.skipTest(why_not)
                lay_out(self.root, files)
                self.check(self.run_converter("x"), 1, announced("x"), "Converted 20 records\n")
                self.assertEqual(contents(self.root), {"x": v2, "x.old": data})
                if OPTIONS.reverter:
                    self.assertEqual(self.run_converter("x", command=OPTIONS.reverter).returncode, 0)
                    self.assertEqual(contents(self.root), {"x": data})

    @posix_only
    def test_output_to_a_closed_pipe_ends_no_run_midway(self):
        # As in `statconv x 2>&1 | head -0`: every line meets a closed pipe.
        data, v2 = version_1(3), converted(version_1(3))
        rows = [("statconv", OPTIONS.converter, {"x": data}, 1, {"x": v2, "x.old": data})]
        if OPTIONS.reverter:
            rows += [("statrevert, which says it could not report", OPTIONS.reverter, {"x": v2, "x.old": data}, 1,
                      {"x": data})]
        for label, command, files, status, left in rows:
            with self.case(label):
                lay_out(self.root, files)
                read_end, write_end = os.pipe()
                os.close(read_end)
                self.addCleanup(os.close, write_end)
                run = subprocess.run(shlex.split(command) + ["x"], cwd=self.root, stdout=write_end,
                                     stderr=write_end, timeout=60)
                self.assertEqual((run.returncode, contents(self.root)), (status, left))

    @posix_only
    def test_a_users_fuse_mount_leads_root_nowhere_she_could_not_go(self):
        # Her file system reports every entry as root's; its link s leads
        # into a directory only root may enter.
        secret, backing = self.new_directory(), self.new_directory()
        lay_out(secret, {"x": version_1(7)})
        lay_out(backing, {"s": Link(str(secret)), "mine/x": version_1(2)})
        rows = [(OPTIONS.converter, "s/x", (0, "Cannot open s/x\n")),
                (OPTIONS.statinfo, "s/x", (1, "")),
                (OPTIONS.converter, "mine/x", (1, "Converted 2 records\n"))]
        for command, name, (status, stderr) in rows:
            with self.case(name, command=command):
                why_not = mount_bindfs(self, backing, by=1234) if command else "needs statinfo"
                if why_not:
                    self.skipTest(why_not)
                result = self.run_converter(name, command=command)
                self.assertEqual((result.returncode, result.stderr), (status, stderr))
                self.assertNotIn("7 records", result.stdout)
                self.assertEqual(contents(secret), {"x": version_1(7)})

    def test_a_full_disk_fails_the_write_and_removes_the_copy(self):
        # Room for the input and this many bytes of the copy: it runs out
        # while records are still written, in the last buffer of a copy whose
        # other buffers fill the room exactly, or in a copy smaller than one.
        rows = [("while writing", 5000, 512), ("at the last buffer", 2000, 512), ("small copy", 100, 16)]
        for label, records, room_kib in rows:
            with self.case(label):
                data = version_1(records)
                size = -(-len(data) // 4096) * 4096 + room_kib * 1024
                small_disk = mount_small_tmpfs(self, str(size))
                if OPTIONS.windows and not small_disk:
                    self.skipTest("needs a small tmpfs: a file size limit would stop Wine itself")
                self.check_refused({"x": data}, ["x"], "Failed to write new record to x.new\n",
                                   preexec=None if small_disk else limit(resource.RLIMIT_FSIZE, room_kib * 1024))
        if not OPTIONS.windows:
            with self.case("a file-size limit whose signal the caller left as it is"):
                self.check_refused({"x": version_1(5000)}, ["x"], "Failed to write new record to x.new\n",
                                   preexec=limit(resource.RLIMIT_FSIZE, 512 * 1024, signal.SIG_DFL))


class Races(ConverterTest):
    def test_of_converters_started_together_exactly_one_converts(self):
        data = version_1(8000)
        refusals = ["Cannot open x\n", "x is already version 2\n"]
        for round in range(10):
            with self.case(round=round):
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
