"""Shared pieces of the reliability sweeps: installations and packages to update between,
snapshots of directory trees, the checks every sweep makes on an application root, running the
updater (optionally under strace) and reporting figures to scripts/reliability.

Each sweep prints its figures as lines "figure NAME VALUE" and each failure as a line starting
with "FAIL"; its exit status is 1 when anything failed.
"""

import collections
import concurrent.futures
import fcntl
import hashlib
import http.client
import os
import random
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile
import zlib

OLD_VERSION = "1.0.0"
NEW_VERSION = "2.0.0"
APP = "app"
# Entries of the application root that a completed run may leave.
ROOT_ENTRIES = {"current", ".version", "updater.log"}
# One run of the updater never takes this long; a run that does is reported as a hang.
RUN_TIMEOUT_S = 60

# The application the updater starts at the end of a run: exits at once and writes nothing, so
# that it can't change the tree being compared while the next run is already under way.
APP_SCRIPT = b"#!/bin/sh\nexit 0\n"
ZIP_TIME = (2021, 3, 4, 5, 6, 8)


# Files in a package of "a few dozen files", the size swept at every call.
FEW_DOZEN = 30


def old_files(count=FEW_DOZEN):
    """The installed version: about count files over nested directories."""
    files = {APP: APP_SCRIPT}
    for i in range(count * 4 // 5):
        files[f"lib/part{i % 4}/old{i}.dat"] = f"old file {i}\n".encode() * (i % 50 + 1)
    files["readme.txt"] = b"version 1\n"
    files["data/shared.bin"] = bytes(range(256)) * 8
    return files


def new_files(count=FEW_DOZEN):
    """The package's version: some names shared with the old one (other content), some new."""
    files = {APP: APP_SCRIPT}
    for i in range(count):
        files[f"lib/part{i % 5}/new{i}.dat"] = f"new file {i}\n".encode() * (i % 50 + 2)
    files["readme.txt"] = b"version 2\n"
    files["data/shared.bin"] = bytes(reversed(range(256))) * 16
    files["data/empty.txt"] = b""
    return files


# What the delta kind adds to both trees, so that a delta holds files of every source: one it
# copies unchanged, and 64 KiB of pseudo-random bytes (which no compression shrinks) that differ
# in a few bytes, a small patch.
def delta_extras(version):
    blob = bytearray(random.Random(64).randbytes(64 * 1024))
    if version == NEW_VERSION:
        for at in (100, 30000, 65000):
            blob[at] ^= 0x5A
    return {"data/kept.txt": b"the same in both versions\n" * 40, "data/patched.bin": bytes(blob)}


def trees(count, kind):
    """The old and the new installation's files for a run kind."""
    old, new = old_files(count), new_files(count)
    if kind in DELTA_KINDS:
        old.update(delta_extras(OLD_VERSION))
        new.update(delta_extras(NEW_VERSION))
    return old, new


def _zip_info(name, mode):
    info = zipfile.ZipInfo(name, ZIP_TIME)
    info.create_system = 3  # Unix, so the permission bits travel with the entry
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def write_package(path, files):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            archive.writestr(_zip_info(name, 0o755 if name == APP else 0o644), data)


def write_failing_package(path, files):
    """A package whose last entry fails its CRC-32 check, after all of files were extracted."""
    write_package(path, files)
    marker = b"this entry is damaged on purpose " * 4
    with zipfile.ZipFile(path, "a") as archive:
        info = _zip_info("zz/damaged.bin", 0o644)
        info.compress_type = zipfile.ZIP_STORED
        archive.writestr(info, marker)
    with open(path, "r+b") as f:
        content = f.read()
        at = content.rindex(marker)
        f.seek(at)
        f.write(b"X")


def write_tree(directory, files):
    """files below directory, the application executable, the others not."""
    for name, data in files.items():
        path = os.path.join(directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o755 if name == APP else 0o644)


def install(root, files, version):
    """An application root holding files in current/ and version in .version."""
    write_tree(os.path.join(root, "current"), files)
    with open(os.path.join(root, ".version"), "wb") as f:
        f.write(version.encode() + b"\r\n")


def snapshot(directory):
    """Every entry below directory: relative path -> ("dir",) / ("file", bytes, executable) /
    ("link", target)."""
    entries = {}
    for parent, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(parent, name)
            rel = os.path.relpath(path, directory)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                entries[rel] = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                entries[rel] = ("dir",)
            else:
                with open(path, "rb") as f:
                    entries[rel] = ("file", f.read(), bool(st.st_mode & stat.S_IXUSR))
    return entries


def expected_snapshot(files):
    entries = {}
    for name, data in files.items():
        entries[name] = ("file", data, name == APP)
        parent = os.path.dirname(name)
        while parent:
            entries[parent] = ("dir",)
            parent = os.path.dirname(parent)
    return entries


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def describe_difference(actual, expected):
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    changed = sorted(k for k in set(actual) & set(expected) if actual[k] != expected[k])
    parts = []
    for label, names in (("missing", missing), ("extra", extra), ("changed", changed)):
        if names:
            parts.append(f"{label} {len(names)} (e.g. {names[0]})")
    return ", ".join(parts) or "identical"


class Installations:
    """The two complete installations a root may hold, as snapshots, with their versions."""

    def __init__(self, count=FEW_DOZEN, kind="apply"):
        old, new = trees(count, kind)
        self.states = {
            "old": (expected_snapshot(old), OLD_VERSION),
            "new": (expected_snapshot(new), NEW_VERSION),
        }

    def which(self, directory):
        """"old" or "new" when directory holds exactly that installation, else None."""
        if not os.path.isdir(directory):
            return None
        actual = snapshot(directory)
        for name, (expected, _) in self.states.items():
            if actual == expected:
                return name
        return None

    def difference(self, directory, name):
        if not os.path.isdir(directory):
            return "no directory"
        return describe_difference(snapshot(directory), self.states[name][0])

    def check_settled(self, root, allowed=("old", "new"), version_may_lag=False):
        """Problems of a root after a completed run: it must hold one complete installation of
        allowed in current/ with the matching .version and nothing else. Returns a list of
        texts, empty when the root is sound."""
        problems = []
        leftovers = sorted(set(os.listdir(root)) - ROOT_ENTRIES)
        if leftovers:
            problems.append(f"left in the root: {', '.join(leftovers)}")
        current = os.path.join(root, "current")
        state = self.which(current)
        if state is None:
            diffs = "; ".join(f"{n}: {self.difference(current, n)}" for n in allowed)
            problems.append(f"current/ is no complete installation ({diffs})")
        elif state not in allowed:
            problems.append(f"current/ holds the {state} installation, expected {allowed}")
        else:
            version = read_bytes(os.path.join(root, ".version"))
            wanted = self.states[state][1].encode() + b"\r\n"
            if version != wanted and not version_may_lag:
                problems.append(f".version is {version!r} but current/ holds {wanted!r}")
        return problems


def check_nothing_outside(trial_dir, expected):
    """Problems when the directory around the root holds anything but expected names."""
    extra = sorted(set(os.listdir(trial_dir)) - set(expected))
    return [f"written outside the root: {', '.join(extra)}"] if extra else []


class Updater:
    def __init__(self, exe):
        self.exe = os.path.abspath(exe)

    def apply_args(self, root, package, version=NEW_VERSION):
        return [self.exe, "apply", "--pid", "0", "--package", package, "--app-dir", root,
                "--exe", APP, "--version", version]

    def stage_args(self, root, package, version=NEW_VERSION):
        return [self.exe, "stage", "--package", package, "--app-dir", root, "--exe", APP,
                "--version", version]

    def run(self, args, strace=None, timeout=RUN_TIMEOUT_S, record="/dev/null"):
        """Runs one command, under `strace -qq` with the given options when strace is set, its
        record written to record. Returns (exit code or -signal, stdout+stderr text); a hang is
        an exit code of None."""
        command = list(args)
        if strace is not None:
            command = ["strace", "-qq", "-o", record] + strace + command
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            return None, (e.output or b"").decode(errors="replace")
        return done.returncode, done.stdout.decode(errors="replace")

    def syscall_sequence(self, args, follow=False, exit_codes=None):
        """The names of the file-system calls one run of args makes, in order; its exit code is
        appended to exit_codes when that is a list."""
        with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
            done = subprocess.run(["strace", "-qq", "-o", out.name] + (["-f"] if follow else [])
                                  + args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT_S, check=False)
            if exit_codes is not None:
                exit_codes.append(done.returncode)
            names = []
            for line in out.read().splitlines():
                if follow:
                    line = line.split(None, 1)[1] if line[:1].isdigit() else line
                name = line.split("(", 1)[0]
                if name.isidentifier() and name not in NOT_FILE_SYSTEM:
                    names.append(name)
            return names


# The runs a sweep disturbs: `apply` on a root with nothing staged, `stage` beside the old
# installation, `apply` on a root where the good package was staged first, and `stage` of a
# delta package made against the old installation.
RUN_KINDS = ("apply", "stage", "staged-apply", "delta-stage")
STAGE_KINDS = ("stage", "delta-stage")
DELTA_KINDS = ("delta-stage",)
# The file of the delta kind whose patch the failing delta damages.
PATCHED = "data/patched.bin"
# The exit code of a stage that finds a delta it can't use.
DELTA_UNUSABLE = 2


class ApplyRuns:
    """An application root holding the old installation, the good package and one whose last
    entry fails, and the runs of one kind (RUN_KINDS) every sweep makes with them. Whatever run
    is disturbed, the runs after it are plain applies.

    The delta kind stages, in place of those two, a delta made by `pack --base` from the old
    installation's full package to the new tree, and a copy of it whose patch entry is damaged
    (the zip's checks pass, the patch doesn't decode to the file): a stage of that one exits
    DELTA_UNUSABLE after building the files before it."""

    def __init__(self, updater, work, count=FEW_DOZEN, kind="apply"):
        self.updater = updater
        self.work = work
        self.count = count
        self.kind = kind
        self.old_files, self.new_files = trees(count, kind)
        self.installations = Installations(count, kind)
        packages = fresh_dir(work, "packages")
        self.good = os.path.join(packages, "good.zip")
        self.failing = os.path.join(packages, "failing.zip")
        write_package(self.good, self.new_files)
        write_failing_package(self.failing, self.new_files)
        # The packages of the disturbed run: the one that installs, the one that fails.
        self.disturbed = (self.good, self.failing)
        # Problems the counting runs found in what the disturbed runs did.
        self.counted_problems = []
        if kind in DELTA_KINDS:
            self.delta = os.path.join(packages, "delta.zip")
            self.broken_delta = os.path.join(packages, "broken-delta.zip")
            make_delta(updater, packages, self.old_files, self.new_files, self.delta)
            write_damaged_entry(self.delta, self.broken_delta, DELTA_PATCHES + PATCHED)
            self.disturbed = (self.delta, self.broken_delta)

    def prepare(self, name):
        """A trial directory holding an application root with the old installation."""
        trial = fresh_dir(self.work, name)
        root = os.path.join(trial, "root")
        install(root, self.old_files, OLD_VERSION)
        if self.kind == "staged-apply":
            code, output = self.updater.run(self.updater.stage_args(root, self.good))
            if code != 0:
                raise RuntimeError(f"staging the good package failed: {output}")
        return trial, root

    def run_args(self, root, package):
        """The disturbed run's command line."""
        if self.kind in STAGE_KINDS:
            return self.updater.stage_args(root, package)
        return self.updater.apply_args(root, package)

    def end_codes(self):
        """The exit codes of a disturbed run that ends by itself."""
        return (0, 1, DELTA_UNUSABLE) if self.kind in DELTA_KINDS else (0, 1)

    def calls_vary(self):
        """True when a run may make fewer calls than the counted one: a stage from a delta checks
        the installed files on two threads, each taking the next file, and only the traced
        (calling) thread's calls are counted."""
        return self.kind in DELTA_KINDS

    def undisturbed_exit(self, package):
        """The exit code of a disturbed run that ended before the chosen call."""
        return DELTA_UNUSABLE if self.kind in DELTA_KINDS and package == self.broken_delta else 0

    def at_interruption(self, root):
        """Problems of a root as an interrupted stage leaves it: the old installation in place
        and its .version, whatever was staged. Nothing for the other kinds."""
        if self.kind not in STAGE_KINDS:
            return []
        problems = []
        if self.installations.which(os.path.join(root, "current")) != "old":
            problems.append("a stage changed current/: "
                            + self.installations.difference(os.path.join(root, "current"), "old"))
        if read_bytes(os.path.join(root, ".version")) != OLD_VERSION.encode() + b"\r\n":
            problems.append("a stage changed .version")
        return problems

    def sequence(self, package):
        _, root = self.prepare("count")
        codes = []
        names = self.updater.syscall_sequence(self.run_args(root, package), exit_codes=codes)
        if self.kind in DELTA_KINDS:
            expected = DELTA_UNUSABLE if package == self.broken_delta else 0
            problems = [] if codes == [expected] else [f"exit code {codes}, expected {expected}"]
            problems += self.delta_log_problems(root, package)
            self.counted_problems += [f"counting run of {os.path.basename(package)}: {p}"
                                      for p in problems]
        return names

    def delta_log_problems(self, root, package):
        """Problems of what a stage of the delta (or of the damaged one) logged: the delta's
        files counted by source, each source present; the damaged patch found."""
        lines = log_lines(root)
        if package == self.broken_delta:
            found = any(f" for {PATCHED}" in line or line.endswith(f": {PATCHED}")
                        for line in error_lines(root))
            return [] if found else ["no error line names the damaged patch: " + " | ".join(lines)]
        unchanged = sum(self.old_files.get(name) == data for name, data in self.new_files.items())
        built = [line for line in lines if line.startswith("info Built ")]
        counts = [int(n) for n in re.findall(r"\d+", built[0])] if built else []
        if len(counts) != 4:
            return ["no line 'Built {n} files: {u} unchanged, {p} patched, {w} whole': "
                    + " | ".join(lines)]
        total, same, patched, whole = counts
        if (total != len(self.new_files) or same != unchanged or patched < 1 or whole < 1
                or same + patched + whole != total):
            return [f"'{built[0]}' for {len(self.new_files)} files, {unchanged} unchanged, "
                    "some patched, some whole"]
        return []

    def calls(self):
        """{package: {syscall: (first, last)}}: the calls of a run that installs the good
        package, and those of a run with the failing one after the part it shares with it."""
        installing, failing = self.disturbed
        start_up = self.updater.syscall_sequence([self.updater.exe])
        good = self.sequence(installing)
        return {installing: calls_after(good, start_up),
                failing: calls_after(self.sequence(failing), good)}

    def rerun(self, root, package, what, version_may_lag=False):
        """One more ordinary run: exit code 0 with the new installation for the good package, 1
        with one complete installation for the failing one. Returns its problems."""
        if not wait_for_root_lock(root):
            return [f"{what}: the root stays locked"]
        code, output = self.updater.run(self.updater.apply_args(root, package))
        expected = 0 if package == self.good else 1
        problems = []
        if code != expected:
            problems.append(f"{what}: exit code {code}, expected {expected}: {output.strip()}")
        allowed = ("new",) if package == self.good else ("old", "new")
        settled = self.installations.check_settled(root, allowed, version_may_lag)
        return problems + [f"{what}: {p}" for p in settled]

    def restage_delta(self, root, what):
        """The delta staged again, then the apply that swaps that stage in: both exit 0, and the
        root holds the new installation. Returns the problems."""
        if not wait_for_root_lock(root):
            return [f"{what}: the root stays locked"]
        problems = []
        code, output = self.updater.run(self.updater.stage_args(root, self.delta))
        if code != 0:
            problems.append(f"stage: exit code {code}, expected 0: {output.strip()}")
        code, output = self.updater.run(self.updater.apply_args(root, self.delta))
        if code != 0:
            problems.append(f"staged apply: exit code {code}, expected 0: {output.strip()}")
        elif f"info Using staged installation of version {NEW_VERSION}" not in log_lines(root):
            problems.append("the apply did not take the stage")
        problems += self.installations.check_settled(root, ("new",))
        return [f"{what}: {p}" for p in problems]


# Where a delta package holds the patch of a file (followed by the file's path).
DELTA_PATCHES = ".delta/patches/"


def make_delta(updater, directory, old, new, delta):
    """The old tree's full package and the delta from it to the new tree, both made by `pack`
    (with --base for the delta), in directory."""
    base = os.path.join(directory, "base.zip")
    for files, version, output, more in ((old, OLD_VERSION, base, []),
                                         (new, NEW_VERSION, delta, ["--base", base])):
        tree = fresh_dir(directory, f"tree-{version}")
        write_tree(tree, files)
        code, output_text = updater.run([updater.exe, "pack", "--dir", tree, "--output", output,
                                         "--version", version, "--exe", APP] + more)
        if code != 0:
            raise RuntimeError(f"pack of {output} failed ({code}): {output_text}")
        shutil.rmtree(tree)


def write_damaged_entry(package, damaged, entry):
    """A copy of package at damaged in which one byte in the middle of the stored entry differs,
    its CRC-32 made to match in the local header, the data descriptor if any and the central
    directory: every check of the zip passes, what the entry holds is wrong."""
    with zipfile.ZipFile(package) as archive:
        info = archive.getinfo(entry)
        data = archive.read(entry)
        central = archive.start_dir
    if info.compress_type != zipfile.ZIP_STORED or len(data) < 2:
        raise RuntimeError(f"{entry} of {package} is not a stored entry of some bytes")
    content = bytearray(read_bytes(package))
    local = info.header_offset
    name_length, extra_length = struct.unpack_from("<HH", content, local + 26)
    start = local + 30 + name_length + extra_length
    end = start + len(data)
    content[(start + end) // 2] ^= 0xFF
    crc = zlib.crc32(content[start:end])
    struct.pack_into("<I", content, local + 14, crc)
    if struct.unpack_from("<H", content, local + 6)[0] & 0x8:
        descriptor = end + (4 if content[end:end + 4] == b"PK\x07\x08" else 0)
        struct.pack_into("<I", content, descriptor, crc)
    at = central
    while content[at:at + 4] == b"PK\x01\x02":
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", content, at + 28)
        if struct.unpack_from("<I", content, at + 42)[0] == local:
            struct.pack_into("<I", content, at + 16, crc)
            break
        at += 46 + name_length + extra_length + comment_length
    else:
        raise RuntimeError(f"no central directory record of {entry} in {package}")
    with open(damaged, "wb") as f:
        f.write(content)
    with zipfile.ZipFile(damaged) as archive:
        if archive.testzip() is not None:
            raise RuntimeError(f"the damaged copy of {package} fails the zip's checks")


class TestServer:
    """The tests' local HTTP server (tests/http_server.py), serving files from its files/."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http_server.py")

    def __init__(self, state_dir):
        self.state_dir = state_dir

    def __enter__(self):
        subprocess.run([sys.executable, self.SCRIPT, "start", self.state_dir], check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(self.state_dir, "port"), encoding="utf-8") as f:
            self.port = int(f.read())
        return self

    def __exit__(self, *_):
        subprocess.run([sys.executable, self.SCRIPT, "stop", self.state_dir], check=False)

    def serve(self, name, data):
        with open(os.path.join(self.state_dir, "files", name), "wb") as f:
            f.write(data)

    def url(self, behaviour, name):
        return f"http://127.0.0.1:{self.port}/{behaviour}/{name}"

    def cut_once_url(self, name, token):
        """A URL of file name whose first answer is cut half way and whose later ones serve
        ranges; token (in the query, which the server counts requests by but does not serve
        by) makes it a URL of its own."""
        return self.url("ranged/cut1", f"{name}?{token}")

    def spend_cut(self, url):
        """Spends the one cut of a cut_once_url, should the run that was to meet it have been
        stopped before it asked: a request of its own, whatever it gets."""
        try:
            with urllib.request.urlopen(url, timeout=RUN_TIMEOUT_S) as answer:
                answer.read()
        except (OSError, http.client.HTTPException):
            pass

    def ranges(self):
        """The requests of the ranged route so far: (path, range, if-range, code, sent)."""
        text = read_bytes(os.path.join(self.state_dir, "ranges.log")) or b""
        return [tuple(line.split()) for line in text.decode().splitlines()]


# What a transfer that failed part way keeps beside the package: the bytes that arrived, and
# the record of where they came from.
KEPT = ("update.zip.partial", "update.zip.partial.source")


class DownloadCase:
    """A package directory holding an old package, and the download meant to replace it with a
    new one of known size and digest."""

    def __init__(self, updater, trial, url, old, new, create=True):
        """create: make the directories and write old; without it, trial holds them already
        (a copy of an earlier case's trial)."""
        self.updater = updater
        self.trial = trial
        self.packages = os.path.join(trial, "packages")
        self.package = os.path.join(self.packages, "update.zip")
        self.logs = os.path.join(trial, "logs")
        self.old = old
        self.new = new
        if create:
            os.makedirs(self.packages)
            os.makedirs(self.logs)
            if old is not None:
                with open(self.package, "wb") as f:
                    f.write(old)
        self.url = url
        self.args = [updater.exe, "download", "--url", url, "--output", self.package,
                     "--sha256", hashlib.sha256(new).hexdigest(), "--size", str(len(new)),
                     "--app-dir", self.logs]

    def kept(self):
        """The names of KEPT present beside the package."""
        return {name for name in KEPT if os.path.lexists(os.path.join(self.packages, name))}

    def keep_partial(self):
        """Runs the download once, against a URL that cuts its answer half way: the bytes that
        arrived stay beside the package. Raises when they don't."""
        code, output = self.updater.run(self.args)
        if code != 1 or self.kept() != set(KEPT):
            raise RuntimeError(f"a cut download kept {sorted(self.kept())} (exit code {code}): "
                               f"{output}")

    def check(self, code, output, may_keep=False):
        """Problems of a finished download: exit 0 with the new package in place, or exit 1
        with an error line and the old package untouched; never a temporary file left (the
        lock file beside the package is not one). With may_keep, the kept bytes of a transfer
        that failed part way and their record may stay: the bytes must be the start of the new
        package."""
        if code is None:
            return ["the run hung"]
        problems = []
        package = read_bytes(self.package)
        # The lock file stays on Linux: removing a locked file would race with the next run.
        allowed = {"update.zip", "update.zip.lock"} | (set(KEPT) if may_keep else set())
        left = sorted(set(os.listdir(self.packages)) - allowed)
        if left:
            problems.append(f"left beside the package: {', '.join(left)}")
        partial = read_bytes(os.path.join(self.packages, KEPT[0])) if may_keep else None
        if partial is not None and not self.new.startswith(partial):
            problems.append(f"the {len(partial)} kept bytes are not the start of the package")
        if code == 0:
            if package != self.new:
                problems.append("exit code 0 without the new package in place")
        elif code == 1:
            if not error_lines(self.logs) and "updater: " not in output:
                problems.append("exit code 1 without an error line")
            if package != self.old:
                problems.append("exit code 1 and the old package is not untouched")
        else:
            problems.append(f"the run ended with {code}: {output.strip()}")
        return problems

    def rerun(self, what="then undisturbed"):
        """One more undisturbed run of the same command, after whatever the one before met:
        it must exit 0 with the new package in place, leave nothing beside it but the lock and
        write nothing beside the package and log directories. Returns its problems, each
        prefixed with what."""
        code, output = self.updater.run(self.args)
        problems = self.check(code, output)
        if code != 0:
            problems.append(f"exit code {code}")
        problems += check_nothing_outside(self.trial, ["packages", "logs"])
        return [f"{what}: {p}" for p in problems]


def wait_for_root_lock(root, deadline_s=20):
    """Waits until no process holds the apply lock of root. A killed updater's launching child
    holds the lock (a copy of its descriptor) until it has started the application, moments
    later; the next run would rightly refuse to start before then."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        end = time.monotonic() + deadline_s
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                if time.monotonic() > end:
                    return False
                time.sleep(0.01)
    finally:
        os.close(fd)


def log_lines(root):
    """The messages of updater.log as "level message"."""
    text = read_bytes(os.path.join(root, "updater.log"))
    lines = []
    for line in (text or b"").decode(errors="replace").splitlines():
        # [date time] [updater] [level] message
        parts = line.split("] ", 3)
        if len(parts) == 4:
            lines.append(parts[2].lstrip("[") + " " + parts[3])
    return lines


def error_lines(root):
    return [line for line in log_lines(root) if line.startswith("error ")]


# System calls that don't touch the file system, or can't fail (umask): left out of the sweeps.
NOT_FILE_SYSTEM = {
    "umask",
    "mmap", "munmap", "mprotect", "brk", "madvise", "mremap", "clone", "clone3", "fork", "vfork",
    "wait4", "waitid", "execve", "exit_group", "arch_prctl", "set_tid_address", "set_robust_list",
    "rseq", "prlimit64", "getrandom", "futex", "gettid", "getpid", "rt_sigaction",
    "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "sched_getaffinity", "sched_yield",
    "clock_gettime", "clock_nanosleep", "nanosleep", "uname", "sysinfo", "getuid", "geteuid",
    "getgid", "getegid", "pidfd_open", "pidfd_send_signal", "poll", "ppoll", "socket",
    "connect", "sendto", "recvfrom", "sendmsg", "recvmsg", "setsockopt", "getsockopt",
    "getsockname", "getpeername", "bind", "socketpair", "epoll_create1", "epoll_ctl",
    "epoll_wait", "eventfd2", "pipe2", "setsid", "kill", "tgkill", "membarrier", "total",
}


# System calls that change the file system (or release what a change holds). A kill at any
# other file-system call leaves the disk as a kill at the next one of these does, so those are
# sampled with a stride; these are tried at every call.
CHANGING = {
    "openat", "open", "creat", "write", "pwrite64", "writev", "rename", "renameat",
    "renameat2", "mkdir", "mkdirat", "unlink", "unlinkat", "rmdir", "utimensat", "fchmod",
    "fchmodat", "chmod", "ftruncate", "truncate", "fallocate", "fsync", "fdatasync", "syncfs",
    "sync", "close", "flock", "symlink", "symlinkat", "link", "linkat", "copy_file_range",
}

# The calls that can fail because the disk is full.
CAN_RUN_OUT_OF_SPACE = {
    "openat", "open", "creat", "write", "pwrite64", "writev", "rename", "renameat", "renameat2",
    "mkdir", "mkdirat", "ftruncate", "truncate", "fallocate", "symlink", "symlinkat", "link",
    "linkat", "fsync", "fdatasync", "syncfs", "copy_file_range",
}


def calls_after(sequence, reference):
    """{syscall: (first, last)}: the numbers of the calls in sequence after the part it shares
    with reference (a run that does the same up to a point: the program's start-up, or a run
    that extracts the same entries), each numbered as strace counts them in sequence. Only the
    calls that change the disk are compared: reading two archives takes different seeks."""
    changing = [i for i, name in enumerate(sequence) if name in CHANGING]
    reference_changing = [name for name in reference if name in CHANGING]
    shared = 0
    while (shared < min(len(changing), len(reference_changing))
           and sequence[changing[shared]] == reference_changing[shared]):
        shared += 1
    end = changing[shared] if shared < len(changing) else len(sequence)
    before = collections.Counter(sequence[:end])
    total = collections.Counter(sequence)
    return {name: (before[name] + 1, total[name]) for name in total if total[name] > before[name]}


def select_points(calls, include, stride=1, other_stride=None):
    """(syscall, N) for the calls of the syscalls include() accepts: every stride-th one, or
    every other_stride-th one for the syscalls outside CHANGING. Counted from the last call, so
    that the final calls of a run (its clean-up, its rollback) are always among them."""
    points = []
    for name, (first, last) in sorted(calls.items()):
        if not include(name):
            continue
        step = stride if name in CHANGING or other_stride is None else other_stride
        points.extend((name, n) for n in range(last, first - 1, -step))
    return points


def run_parallel(function, items, workers=2):
    """function(item) for every item on a small pool; returns the results in order."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(function, items))


class Report:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.figures = {}

    def fail(self, what, problems):
        for problem in problems:
            self.failures.append(f"{what}: {problem}")

    def figure(self, name, value):
        self.figures[name] = value

    def finish(self):
        for failure in self.failures[:50]:
            print(f"FAIL {self.name}: {failure}")
        if len(self.failures) > 50:
            print(f"FAIL {self.name}: ... {len(self.failures) - 50} more")
        for name, value in self.figures.items():
            print(f"figure {name} {value}")
        print(f"figure failures {len(self.failures)}")
        sys.stdout.flush()
        return 1 if self.failures else 0


def fresh_dir(parent, name):
    path = os.path.join(parent, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# An apply that waits for the started application's confirmation, disturbed in and around the
# wait. The wait looks for the confirmation every few milliseconds, so the number of calls it makes
# depends on timing: a call is chosen only where its number is the same in every run (see
# ConfirmRuns.confirm_points).

PENDING = ".update-pending"
CONFIRM_REQUEST = ".confirm-request"
APPLY_MARKER = ".apply-in-progress"
# How the disturbed apply goes: "waiting" is cut up to and at its first look for a confirmation,
# which the application never gives; "confirmed" after the application confirmed; "timed-out" in
# the rollback after a wait the application let pass.
CONFIRM_STARTS = ("waiting", "confirmed", "timed-out")
LONG_WAIT_MS = 600000
SHORT_WAIT_MS = 300
# The argument (passed with --args) that makes the new application confirm at once.
CONFIRM_NOW = "confirm-now"
# What runs on a disturbed confirmed apply, each from its own copy of the state it left.
CONFIRM_FOLLOW_UPS = ("confirm", "apply", "failing apply", "stage")
# Leftovers the next apply removes: a backup whose removal was cut short after the new version was
# committed, and a stage.
LEFT_FOR_THE_NEXT_APPLY = {"current.bak", "current.new", ".staged"}


def confirming_app(updater_exe):
    """The new version's application: runs `confirm` for its own root when started with
    CONFIRM_NOW, else exits at once, like APP_SCRIPT."""
    return ("#!/bin/sh\n"
            f'case " $* " in *" {CONFIRM_NOW} "*) exec "{updater_exe}" confirm --app-dir '
            '"$(cd "$(dirname "$0")/.." && pwd)" ;; esac\nexit 0\n').encode()


def traced_calls(args):
    """(name, line) of every call one run of args makes, recorded with the paths of descriptors."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-qq", "-y", "-o", out.name] + args, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=RUN_TIMEOUT_S, check=False)
        calls = []
        for line in out.read().splitlines():
            name = line.split("(", 1)[0]
            if name.isidentifier():
                calls.append((name, line))
        return calls


def parting_index(names, reference):
    """The index in names of the first changing call that differs from those of reference (a run
    that does the same up to a point)."""
    changing = [i for i, name in enumerate(names) if name in CHANGING]
    reference_changing = [name for name in reference if name in CHANGING]
    shared = 0
    while (shared < min(len(changing), len(reference_changing))
           and names[changing[shared]] == reference_changing[shared]):
        shared += 1
    return changing[shared] if shared < len(changing) else len(names)


def left_over(problem):
    """True for a problem that only names leftovers the next apply removes."""
    prefix = "left in the root: "
    return (problem.startswith(prefix) and
            set(problem[len(prefix):].split(", ")) <= LEFT_FOR_THE_NEXT_APPLY)


class ConfirmRuns(ApplyRuns):
    """The apply with --confirm-timeout-ms of the good package, whose application confirms when
    asked to, and what follows it when it was disturbed: `confirm`, another `apply` (of the good
    or of the failing package) or a `stage`."""

    def __init__(self, updater, work, count=FEW_DOZEN):
        super().__init__(updater, work, count)
        files = dict(new_files(count), **{APP: confirming_app(updater.exe)})
        write_package(self.good, files)
        write_failing_package(self.failing, files)
        self.installations.states["new"] = (expected_snapshot(files), NEW_VERSION)

    def confirm_args(self, root, start):
        wait = SHORT_WAIT_MS if start == "timed-out" else LONG_WAIT_MS
        args = self.updater.apply_args(root, self.good) + ["--confirm-timeout-ms", str(wait)]
        return args + (["--args", CONFIRM_NOW] if start == "confirmed" else [])

    def confirm_points(self, start):
        """(syscall, N) of the calls of one start where it is disturbed, from where it parts from
        an apply that doesn't wait. N is the same in every run: "waiting" takes the changing calls
        before the wait and its first look for the confirmation (counted in a run that times out,
        which does the same up to there); the other starts take the changing calls after the wait
        of a syscall the wait and the look through the machine's processes never make."""
        _, root = self.prepare(f"count-{start}")
        counted = "timed-out" if start == "waiting" else start
        calls = traced_calls(self.confirm_args(root, counted))
        names = [name for name, _ in calls]
        parted = parting_index(names, self.sequence(self.good))
        looks = [i for i, (name, line) in enumerate(calls)
                 if CONFIRM_REQUEST in line and name not in CHANGING]
        if not looks:
            raise RuntimeError(f"the {start} apply never looked for a confirmation")
        first, last = looks[0], looks[-1]
        # The descriptor of the watched application is closed in the wait or after it, as the
        # application ends before or after the confirmation.
        varying = {name for name, _ in calls[first + 1:last + 1]} | {"close"}
        varying |= {name for name, line in calls[first:] if "/proc" in line}
        counts = collections.Counter()
        points = []
        for i, name in enumerate(names):
            counts[name] += 1
            if i < parted:
                continue
            if start == "waiting":
                if i == first or (i < first and name in CHANGING):
                    points.append((name, counts[name]))
            elif i > last and name in CHANGING and name not in varying:
                points.append((name, counts[name]))
        return points

    def at_confirm_cut(self, root):
        """Problems of the state a disturbed run leaves, when it lets the application start as it
        is: without the marker or a pending update, one complete installation with its
        .version."""
        if any(os.path.lexists(os.path.join(root, n)) for n in (APPLY_MARKER, PENDING)):
            return []
        problems = [p for p in self.installations.check_settled(root) if not left_over(p)]
        return [f"at the cut, neither applying nor pending: {p}" for p in problems]

    def follow_ups(self, trial, name):
        """Each of CONFIRM_FOLLOW_UPS from a copy of trial. Returns the problems."""
        problems = []
        for follow_up in CONFIRM_FOLLOW_UPS:
            copy = os.path.join(self.work, f"{name}-{follow_up.replace(' ', '-')}")
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(trial, copy, symlinks=True)
            found = self.follow_up(os.path.join(copy, "root"), follow_up)
            found += check_nothing_outside(copy, ["root"])
            problems += [f"then {follow_up}: {p}" for p in found]
            shutil.rmtree(copy, ignore_errors=True)
        return problems

    def follow_up(self, root, what):
        """One follow-up on a disturbed root; a confirm or a stage is followed by an apply of the
        good package."""
        pending = os.path.lexists(os.path.join(root, PENDING))
        applying = os.path.lexists(os.path.join(root, APPLY_MARKER))
        # An update waiting whole: the new installation in current/, the old one beside it.
        whole = (pending and not os.path.lexists(os.path.join(root, "current.failed"))
                 and self.installations.which(os.path.join(root, "current")) == "new"
                 and self.installations.which(os.path.join(root, "current.bak")) == "old")
        # A rollback cut short: current/ moved aside or the backup put back already.
        rolling_back = pending and not all(os.path.lexists(os.path.join(root, n))
                                           for n in ("current", "current.bak"))
        unconfirmed = f"warning Found unconfirmed update to {NEW_VERSION}, restoring {OLD_VERSION}"
        if what in ("apply", "failing apply"):
            problems = self.rerun(root, self.good if what == "apply" else self.failing, "apply")
            if pending and unconfirmed not in log_lines(root):
                problems.append(f"no line '{unconfirmed}'")
            return problems
        if what == "confirm":
            code, output = self.updater.run([self.updater.exe, "confirm", "--app-dir", root])
        else:
            code, output = self.updater.run(self.updater.stage_args(root, self.good))
        # `confirm` finishes a rollback that was cut short, and fails.
        expected = 1 if what == "confirm" and rolling_back else 0
        problems = [] if code == expected else [f"exit code {code}, expected {expected}: "
                                                f"{output.strip()}"]
        lines = log_lines(root)
        if what == "confirm" and whole and "info Update confirmed" not in lines:
            problems.append("a whole pending update was not confirmed")
        if (what == "stage" or rolling_back) and pending and unconfirmed not in lines:
            problems.append(f"no line '{unconfirmed}'")
        if not applying:
            confirmed = what == "confirm" and whole
            allowed = ("new",) if confirmed else ("old",) if rolling_back else ("old", "new")
            settled = self.installations.check_settled(root, allowed)
            problems += [p for p in settled if confirmed or not left_over(p)]
        return problems + self.rerun(root, self.good, "then apply")
