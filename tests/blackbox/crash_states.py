"""What a power cut can leave (CrashStates): a conversion and a revert are
recorded call by call by the test build (STATCONV_TRACE), the trace is
replayed under a model of what storage keeps, and every state that a crash
after any call could leave is laid out as real files and checked: the
version 1 data whole under x or x.old, nothing but it, its exact conversion
or a copy that statconv takes over under any name, and statinfo naming the
state with a command that, followed, ends in a whole conversion or a whole
revert.

The model, after each call that changes anything:
  - a file's writes since its last fsync reach storage in any subset, in
    512-byte pieces (sampled, with a fixed seed, where there are too many);
    its size may be any it took since then, ahead of its data, and what is
    missing reads as zeros; its mode and owners may be any they took since;
    fsync keeps them all (fdatasync the data and size);
  - a directory's creations, links, renames and removals since its last
    fsync (or a syncfs) reach storage in the order they were made, up to any
    point ("in order"), or in any subset ("any order");
  - syncfs keeps everything.
"""
import itertools
import os
import random
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import unquote_to_bytes

from samples import converted, unfinished, version_1

from .harness import OPTIONS, ConverterTest

PIECE = 512
IMAGES = 96  # at most, of one file at one crash
DIRECTORY_STATES = 64  # at most, of a directory at one crash
STATES = 400  # at most, of the files of one directory state together
START_MODE = 0o640  # the files a run starts from, as a conversion must keep it

# statinfo's advice: a command to type, a program to run again, a file to remove.
COMMAND = re.compile(r"with: ((?:\[ ! -L \S+ \] && \[ \S+ -ef \S+ \] && )?(?:mv -T -n|rm) --(?: (?:'(?:[^']|'\\'')*'|[^\s,;')]+))+)")
RUN_AGAIN = re.compile(r"running (statconv|statrevert)\b")
REMOVABLE = re.compile(r"may (?:simply )?be removed")


class Unmodelled(Exception):
    """A call the model does not know how to replay."""


# ---- The model ---------------------------------------------------------------

class File:
    """One file (an inode): what storage holds of it, and what was done to it
    since it was last synced."""

    def __init__(self, data, meta):
        self.durable, self.current = bytes(data), bytearray(data)
        self.pieces, self.sizes = [], []  # since the last sync: (offset, bytes), and each size taken
        self.durable_meta = self.meta = meta  # (mode, uid, gid)
        self.metas = []

    def write(self, offset, data):
        self.current.extend(bytes(max(0, offset - len(self.current))))
        self.current[offset:offset + len(data)] = data
        at = offset
        while at < offset + len(data):
            end = min(offset + len(data), (at // PIECE + 1) * PIECE)
            self.pieces.append((at, data[at - offset:end - offset]))
            at = end
        self.sizes.append(len(self.current))

    def truncate(self, length):
        if length < len(self.current):  # what is cut off reads as zeros if the file grows again
            self.write(length, bytes(len(self.current) - length))
            del self.current[length:]
        else:
            self.current.extend(bytes(length - len(self.current)))
        self.sizes.append(length)

    def set_meta(self, meta):
        if meta != self.meta:
            self.meta = meta
            self.metas.append(meta)

    def sync(self, metadata=True):
        self.durable, self.pieces, self.sizes = bytes(self.current), [], []
        if metadata:
            self.durable_meta, self.metas = self.meta, []

    def image(self, kept, size):
        data = bytearray(self.durable)
        for i in sorted(kept):
            offset, piece = self.pieces[i]
            data.extend(bytes(max(0, offset - len(data))))
            data[offset:offset + len(piece)] = piece
        return bytes(data[:size]) + bytes(max(0, size - len(data)))

    def images(self, rng):
        """What storage may hold of the file after a crash now: distinct
        (data, meta) pairs, the durable one first."""
        count, top = len(self.pieces), len(self.current)
        sizes = sorted({len(self.durable), *self.sizes})
        every = set(range(count))
        if 2 ** count * len(sizes) <= IMAGES:
            choices = [({i for i in every if mask >> i & 1}, size)
                       for mask in range(2 ** count) for size in sizes]
        else:  # the extremes, each piece lost alone, then a random sample
            lost_alone = [(every - {i}, top) for i in every]
            choices = [(set(), size) for size in sizes] + [(every, size) for size in sizes]
            choices += rng.sample(lost_alone, min(len(lost_alone), IMAGES // 2))
            while len(choices) < IMAGES:  # its size ahead of the data, the likelier case to go wrong
                choices.append(({i for i in every if rng.random() < 0.5}, top))
        metas = list(dict.fromkeys([self.durable_meta, *self.metas]))
        return list(dict.fromkeys((self.image(kept, size), meta) for kept, size in choices for meta in metas))


def apply(entries, change):
    """One change of a directory, by what it does to its entries: a rename
    moves the file it moved, a removal removes the name only from that file."""
    kind, name, file, *rest = change
    if kind == "put":
        entries[name] = file
    elif kind == "drop":
        if entries.get(name) is file:
            del entries[name]
    elif kind == "move":
        if entries.get(name) is file:
            del entries[name]
        entries[rest[0]] = file
    else:  # "exchange": the two names trade files
        other_name, other = rest
        entries[name], entries[other_name] = other, file


class Directory:
    def __init__(self, entries):
        self.durable, self.current, self.changes = dict(entries), dict(entries), []

    def change(self, *change):
        self.changes.append(change)
        apply(self.current, change)

    def sync(self):
        self.durable, self.changes = dict(self.current), []

    def states(self, any_order, rng):
        """The entries storage may hold after a crash now."""
        count = len(self.changes)
        if not any_order:
            kept = [range(k) for k in range(count + 1)]
        elif 2 ** count <= DIRECTORY_STATES:
            kept = [[i for i in range(count) if mask >> i & 1] for mask in range(2 ** count)]
        else:
            kept = [[], range(count)] + [[i for i in range(count) if rng.random() < 0.5]
                                         for _ in range(DIRECTORY_STATES - 2)]
        for indexes in kept:
            entries = dict(self.durable)
            for i in indexes:
                apply(entries, self.changes[i])
            yield entries


def name_of(field):
    return "" if field == "%" else os.fsdecode(unquote_to_bytes(field))


class Replay:
    """The trace of a run in `directory` (its id), from the files `start`
    ({name: (id, data, meta)}), a call at a time."""

    def __init__(self, directory, start):
        self.directory_id = directory
        self.files = {id_: File(data, meta) for id_, data, meta in start.values()}
        self.directory = Directory({name: self.files[id_] for name, (id_, _, _) in start.items()})

    def file(self, id_):
        if id_ not in self.files:
            raise Unmodelled(f"a file the run did not start from and did not make: {id_}")
        return self.files[id_]

    def in_directory(self, id_, name=""):
        if id_ != self.directory_id:
            raise Unmodelled(f"a call outside the directory of the run: {id_} {name}")

    def step(self, call, fields, ok):
        """Replays one call; returns whether it changed what a crash may leave."""
        if call in ("open", "seek", "fdopen", "close") or (not ok and call not in ("write", "meta")):
            return False
        if call == "create":
            directory, name, id_, mode, uid, gid = fields
            self.in_directory(directory, name)
            self.files[id_] = File(b"", (int(mode, 8), int(uid), int(gid)))
            self.directory.change("put", name_of(name), self.files[id_])
        elif call == "tmpfile":
            directory, id_, mode, uid, gid = fields
            self.in_directory(directory)
            self.files[id_] = File(b"", (int(mode, 8), int(uid), int(gid)))
        elif call == "write":
            id_, offset, data = fields
            if data == "-":
                return False
            self.file(id_).write(int(offset), bytes.fromhex(data))
        elif call == "truncate":
            self.file(fields[0]).truncate(int(fields[1]))
        elif call == "meta":
            id_, mode, uid, gid, _ = fields
            self.file(id_).set_meta((int(mode, 8), int(uid), int(gid)))
        elif call in ("fsync", "fdatasync"):
            self.file(fields[0]).sync(metadata=call == "fsync")
        elif call == "syncdir":
            self.in_directory(fields[0])
            self.directory.sync()
        elif call == "syncfs":
            for file in self.files.values():
                file.sync()
            self.directory.sync()
        elif call == "rename":
            from_directory, from_name, to_directory, to_name, id_, to_id, flags = fields
            self.in_directory(from_directory, from_name)
            self.in_directory(to_directory, to_name)
            if int(flags, 16) & 2:  # RENAME_EXCHANGE
                self.directory.change("exchange", name_of(from_name), self.file(id_), name_of(to_name),
                                      self.file(to_id))
            else:
                self.directory.change("move", name_of(from_name), self.file(id_), name_of(to_name))
        elif call == "link":
            directory, name, id_, _ = fields
            self.in_directory(directory, name)
            self.directory.change("put", name_of(name), self.file(id_))
        elif call == "unlink":
            directory, name, id_, _ = fields
            self.in_directory(directory, name)
            self.directory.change("drop", name_of(name), self.file(id_))
        else:
            raise Unmodelled(f"a call the model does not know: {call}")
        return True

    def states(self, any_order, rng):
        """What storage may hold after a crash now: each a tuple of (name,
        data, mode, uid, gid, which file), sorted by name."""
        for entries in self.directory.states(any_order, rng):
            files = list(dict.fromkeys(entries.values()))
            images = [file.images(rng) for file in files]
            total = 1
            for choices in images:
                total *= len(choices)
            if total <= STATES:
                picks = itertools.product(*images)
            else:
                picks = [[choices[0] for choices in images], [choices[-1] for choices in images]]
                picks += [[rng.choice(choices) for choices in images] for _ in range(STATES - 2)]
            for pick in picks:
                held = {file: (i, image) for i, (file, image) in enumerate(zip(files, pick))}
                yield tuple(sorted((name, held[file][1][0], *held[file][1][1], held[file][0])
                                   for name, file in entries.items()))


def crash_states(trace, replay, any_order, seed):
    """Every distinct state a crash could leave, each with the first trace
    position (a line number, 0 before the first call) that leaves it; and
    at how many positions a crash was replayed."""
    found = {}
    points = 0

    def crash(position, text):
        nonlocal points
        points += 1
        rng = random.Random(f"{seed} {position}")
        for state in replay.states(any_order, rng):
            found.setdefault(state, (position, text))

    crash(0, "before the first call")
    for position, line in enumerate(trace.splitlines(), 1):
        call, result, *fields = line.split(" ")
        if replay.step(call, fields, result == "ok"):
            crash(position, line if len(line) <= 100 else line[:97] + "...")
    return found, points


# ---- Laying out and reading back -----------------------------------------------

def lay_out_state(root, state):
    made = {}
    for name, data, mode, uid, gid, file in state:
        path = root / name
        if file in made:
            os.link(made[file], path)
            continue
        path.write_bytes(data)
        if os.geteuid() == 0:
            os.chown(path, uid, gid)
        os.chmod(path, mode)
        made[file] = path


def read_file(path, mode):
    """The bytes of a regular file, even one of mode 0000 where the tests
    do not run as root."""
    if os.access(path, os.R_OK):
        return path.read_bytes()
    os.chmod(path, mode | stat.S_IRUSR)
    try:
        return path.read_bytes()
    finally:
        os.chmod(path, mode)


def files_in(root):
    """{name: (data, mode, links)} of what is in root; data None for what
    is not a regular file."""
    found = {}
    for entry in os.scandir(root):
        st = entry.stat(follow_symlinks=False)
        mode = stat.S_IMODE(st.st_mode)
        data = read_file(Path(entry.path), mode) if stat.S_ISREG(st.st_mode) else None
        found[entry.name] = (data, mode, st.st_nlink)
    return found


def is_beginning(data, v1):
    """Whether `data` is a beginning of the conversion of `v1`, as a cut-off
    run writes it: before or after its header's length is final."""
    return unfinished(v1, len(converted(v1))).startswith(data) or converted(v1).startswith(data)


def lost_pieces(data, v1):
    """The 512-byte pieces of `data` that are not the conversion's, as text."""
    whole = converted(v1)
    early = unfinished(v1, len(whole))
    bad = [at for at in range(0, len(data), PIECE)
           if data[at:at + PIECE] not in (whole[at:at + PIECE][:len(data) - at], early[at:at + PIECE][:len(data) - at])]
    zeros = all(not any(data[at:at + PIECE]) for at in bad)
    return (f"{'zeros' if zeros else 'other bytes'} in the 512-byte piece{'s' if len(bad) > 1 else ''} at "
            + ", ".join(str(at) for at in bad[:6]) + (" ..." if len(bad) > 6 else ""))


def what_is(found, v1, detail=False):
    """What a file holds, in words: in general, or in detail."""
    data, mode, links = found
    v2 = converted(v1)
    if data is None:
        what = "not a regular file"
    elif data == v1:
        what = "the version 1 data"
    elif data == v2:
        what = "the exact conversion"
    elif not data:
        what = "empty"
    elif not any(data):
        what = f"{len(data)} zero bytes"
    elif is_beginning(data, v1):
        what = f"the first {len(data)} bytes of the conversion" if detail else "a beginning of the conversion"
    elif detail:
        what = f"{len(data)} bytes, the conversion's but for {lost_pieces(data, v1)}"
    else:
        what = "a copy with pieces lost"
    return what + f" (mode {mode:04o}{f', {links} names' if links > 1 else ''})"


def describe(files, v1, detail=False):
    return "; ".join(f"{name}: {what_is(found, v1, detail)}" for name, found in sorted(files.items())) or "nothing"


# ---- The check -------------------------------------------------------------------

def run(command, args, root, env=None):
    return subprocess.run(shlex.split(command) + list(args), cwd=root, capture_output=True, text=True,
                          errors="replace", env=dict(os.environ, **(env or {})), timeout=60)


class Judge:
    """Checks the states of one run: `v1` the data, `env` what the programs
    that statinfo's advice names run with."""

    def __init__(self, work, v1, env):
        self.work, self.v1, self.v2, self.env = work, v1, converted(v1), env

    def statinfo(self, root, name):
        return run(OPTIONS.statinfo, [name], root).stdout.strip()

    def removable(self, root, name):
        """Whether statinfo says `name` may be removed, in words or by
        advising its removal."""
        said = self.statinfo(root, name)
        removals = [shlex.split(m.group(1))[2:] for m in COMMAND.finditer(said) if m.group(1).startswith("rm ")]
        return REMOVABLE.search(said) is not None or any(name in names for names in removals)

    def unfinished(self, root):
        """Why what is in root is neither a whole conversion (x the exact
        conversion, x.old the data) nor a whole revert (x the data), with
        no other file but ones statinfo says may be removed; None where it
        is one of them."""
        files = files_in(root)
        whole = files.get("x") == (self.v2, START_MODE, 1) and files.get("x.old") == (self.v1, START_MODE, 1)
        whole = whole or files.get("x") == (self.v1, START_MODE, 1) and "x.old" not in files
        if not whole:
            return "neither a whole conversion nor a whole revert"
        kept = [name for name in sorted(set(files) - {"x", "x.old"}) if not self.removable(root, name)]
        return f"{', '.join(kept)} beside it, which statinfo does not say may be removed" if kept else None

    def follow(self, advice, state):
        """Lays the state out afresh, follows the advice there; what is left,
        unless it is whole."""
        root = Path(tempfile.mkdtemp(dir=self.work))
        try:
            lay_out_state(root, state)
            if advice in ("statconv", "statrevert"):
                command = OPTIONS.faulty if advice == "statconv" else OPTIONS.faulty_reverter
                if command is None:
                    return "cannot be followed here: no --faulty-reverter"
                result = run(command, ["x"], root, self.env)
            else:
                result = subprocess.run(["bash", "-c", advice], cwd=root, capture_output=True, text=True)
            why = self.unfinished(root)
            said = " ".join(f"{result.stdout}{result.stderr}".split())
            return why and f"{describe(files_in(root), self.v1)}: {why} (it said: {said or 'nothing'})"
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def check(self, state):
        """What is wrong with a state (a list, empty when nothing is), and
        what statinfo said of each name."""
        root = Path(tempfile.mkdtemp(dir=self.work))
        try:
            lay_out_state(root, state)
            files = files_in(root)
            said = {name: self.statinfo(root, name) for name in ("x", "x.new", "x.old")
                    if name == "x" or name in files}
            finished = self.unfinished(root) is None
        finally:
            shutil.rmtree(root, ignore_errors=True)
        problems = []
        if self.v1 not in (files.get("x", (None,))[0], files.get("x.old", (None,))[0]):
            problems.append("the version 1 data is whole under neither x nor x.old")
        for name, found in sorted(files.items()):
            taken_over = name == "x.new" and found[2] == 1 and (found[1] == 0o1000 or is_beginning(found[0], self.v1))
            if found[0] not in (self.v1, self.v2) and not taken_over:
                problems.append(f"{name} holds neither the data, its conversion nor a copy statconv takes over")
        advice = {}  # each command, and the names whose statinfo gave it
        for name, text in said.items():
            for match in [*COMMAND.finditer(text), *RUN_AGAIN.finditer(text)]:
                advice.setdefault(match.group(1), []).append(name)
        if not advice and not finished:
            problems.append("statinfo gives no advice")
        for followed, names in advice.items():
            left = self.follow(followed, state)
            if left is not None:
                problems.append(f"following `{followed}` (from statinfo {', '.join(names)}) leaves {left}")
        return problems, said


def runs(v1):
    """The runs recorded: what each starts from ({name: (data, mode)}), and its program."""
    v2 = converted(v1)
    no_noreplace = {"STATCONV_NO_NOREPLACE": "1"}
    conversions = [
        ("conversion", {}, {"x": (v1, START_MODE)}),
        ("conversion over an unfinished copy", {}, {"x": (v1, START_MODE), "x.new": (unfinished(v1, 1500), 0o600)}),
        ("conversion by link and unlink", no_noreplace, {"x": (v1, START_MODE)}),
        ("conversion without unnamed files", {"STATCONV_NO_TMPFILE": "1"}, {"x": (v1, START_MODE)}),
    ]
    reverts = [
        ("revert", {}, {"x": (v2, START_MODE), "x.old": (v1, START_MODE)}),
        ("revert by link and unlink", no_noreplace, {"x": (v2, START_MODE), "x.old": (v1, START_MODE)}),
    ]
    found = [SimpleNamespace(label=label, command=OPTIONS.faulty, status=1, env=env, start=start)
             for label, env, start in conversions]
    if OPTIONS.faulty_reverter:
        found += [SimpleNamespace(label=label, command=OPTIONS.faulty_reverter, status=0, env=env, start=start)
                  for label, env, start in reverts]
    return found


@unittest.skipIf(OPTIONS.windows, "replays POSIX calls")
@unittest.skipUnless(OPTIONS.faulty and OPTIONS.statinfo, "needs the fault-injecting build and statinfo")
class CrashStates(ConverterTest):
    def record(self, way):
        """Runs `way` from its files with the trace on; the trace and the
        replay that starts from those files."""
        start = {}
        for name, (data, mode) in way.start.items():
            (self.root / name).write_bytes(data)
            os.chmod(self.root / name, mode)
            st = os.stat(self.root / name)
            start[name] = (f"{st.st_dev}:{st.st_ino}", data, (mode, st.st_uid, st.st_gid))
        trace = self.new_directory() / "trace"
        result = run(way.command, ["x"], self.root, {**way.env, "STATCONV_TRACE": str(trace)})
        self.assertEqual(result.returncode, way.status, result.stderr)
        st = os.stat(self.root)
        return trace.read_text(), Replay(f"{st.st_dev}:{st.st_ino}", start)

    def test_every_crash_state_keeps_the_data_and_is_named(self):
        v1 = version_1(20)
        for way in runs(v1):
            for any_order in (False, True):
                model = "any order" if any_order else "in order"
                with self.case(way.label, directory_changes=model):
                    trace, replay = self.record(way)
                    states, points = crash_states(trace, replay, any_order, seed=f"{way.label} {model}")
                    judge = Judge(self.new_directory(), v1, way.env)
                    checked = {state: judge.check(state) for state in states}
                    failing = {state: found for state, found in checked.items() if found[0]}
                    print(f"\n  {way.label}, {model}: {len(trace.splitlines())} calls, crashed at {points} "
                          f"points, {len(states)} states, {len(failing)} failing", end=" ", file=sys.stderr)
                    if failing:
                        self.fail(self.report(failing, states, v1))

    def report(self, failing, states, v1):
        """The failing states by kind (what the names hold, and what is
        wrong): how many, and the first of each in full."""
        kinds = {}
        for state, (problems, said) in sorted(failing.items(), key=lambda item: states[item[0]][0]):
            files = {name: (data, mode, sum(1 for other in state if other[5] == file))
                     for name, data, mode, _, _, file in state}
            kind = "\n".join([describe(files, v1)] + [f"      - {problem}" for problem in problems])
            position, line = states[state]
            kinds.setdefault(kind, []).append("\n".join(
                [f"      first after trace line {position}: {line}",
                 f"      files: {describe(files, v1, detail=True)}"]
                + [f"      statinfo {name}: {text}" for name, text in said.items()]))
        text = [f"{len(failing)} of {len(states)} crash states fail, in {len(kinds)} "
                f"kind{'s' if len(kinds) > 1 else ''}:"]
        for kind, examples in kinds.items():
            text.append(f"  {len(examples)} x {kind}\n{examples[0]}")
        return "\n".join(text)
