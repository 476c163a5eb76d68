#!/usr/bin/env python3
"""Cuts the power under `apply` and `download` at every call that changes the disk, on paper,
and checks what the next start finds; with --run, under `stage` or under the `apply` that swaps
in what was staged (the stage, made before, counts as flushed).

The model of a power cut: every directory operation issued before the cut (create, rename,
unlink, mkdir, rmdir, truncation on open) has happened, in order; the data of a file survives up
to its last flush (fsync or fdatasync of that file, or syncfs or sync, which cover every file
here), and anything written after it may be lost. Each cut is tried with these losses:

  all-truncated   every file falls back to its size at its last flush (0 when it was created or
                  truncated since): what a file system that allocates blocks at write-back
                  leaves;
  all-zeroed      every file keeps its size and its unflushed ranges read as zeros: what one
                  that journals the size before the data leaves;
  last-truncated, last-zeroed
                  the same for the last file written alone, every other file intact;
  earlier-truncated, earlier-zeroed
                  (downloads) the same for every file but the last written, which is intact:
                  a record written after the bytes it describes reached the disk, they did not.

Losses are byte-exact: a block holding flushed and unflushed bytes keeps the flushed ones, and
the files here are only ever written from their start or appended to, so no older content sits
under an unflushed range. The updater's log is left out: the next run empties it.

Method: the updater is killed (SIGKILL from strace) at the N-th call of one system call, or runs
to its end, while strace records every call with the paths of its descriptors (-y). The disk
then holds everything the run did; replaying the record tells, for every file still there, the
ranges written since its last flush (following offsets, appends, truncations, and renames of
files and of whole directories). The record must agree with the disk (every regular file, its
size). Each distinct loss is applied to copies of the killed state, then checked:

  apply     at the cut, unless .apply-in-progress is there, current/ holds exactly the old or
            the new installation and .version matches it (the application may start as it is);
            then `apply` runs again on one copy with the good package and on another with a
            package that fails extraction: each leaves one complete installation, .version
            matching, nothing else in the root.
  stage     at the cut, current/ holds the old installation and .version matches it; then the
            two applies as above. delta-stage: the same for a stage of a delta package, and of
            one whose patch is damaged (see apply_sweep.py).
  download  at the cut, the file at --output is the old package or the complete new one; one
            more download run puts the verified new package in place and leaves nothing else.
            Cut from three starts: a server that serves the package, one that cuts its first
            answer half way (the run keeps the bytes that arrived), and such kept bytes present
            (the run resumes them from the same URL).

With --expect-failures (the build that never flushes) the sweep must find failures: it reports
how many it caught, and fails when it caught none.
"""

import argparse
import codecs
import os
import re
import shutil
import sys

import rel_common as rc

LOG = "updater.log"
LOSSES = [("all", "truncated"), ("all", "zeroed"), ("last", "truncated"), ("last", "zeroed")]
# Every file but the last written: a small file written last (a record of the others) reached
# the disk, the data written before it did not.
EARLIER_LOSSES = LOSSES + [("earlier", "truncated"), ("earlier", "zeroed")]
# A package of a few hundred KiB that doesn't compress, so that the body arrives in many writes.
DOWNLOAD_FILLER = 256 * 1024


class TrackedFile:
    """A regular file as a power cut would find it: its size, the size it keeps for certain (at
    its last flush, its creation or its truncation) and the ranges written since."""

    def __init__(self, size):
        self.size = size
        self.durable = size
        self.unflushed = []
        self.last_write = 0

    def write(self, at, count, sequence):
        if count > 0:
            self.unflushed.append((at, at + count))
            self.size = max(self.size, at + count)
            self.last_write = sequence

    def truncate(self, size):
        self.size = size
        self.durable = min(self.durable, size)
        self.unflushed = [(a, min(b, size)) for a, b in self.unflushed if a < size]

    def flush(self):
        self.durable = self.size
        self.unflushed = []

    def loss(self, variant):
        """(size, ranges to zero) after the unflushed data is lost."""
        size = self.durable if variant == "truncated" else self.size
        return size, tuple((a, min(b, size)) for a, b in self.unflushed if a < size)


class Handle:
    def __init__(self, file, append):
        self.file = file
        self.append = append
        self.offset = 0


def split_arguments(text):
    """The top-level arguments of a call as strace prints them."""
    arguments, depth, quoted, escaped, start = [], 0, False, False, 0
    for i, c in enumerate(text):
        if quoted:
            escaped, quoted = (False, True) if escaped else (c == "\\", c != '"')
        elif c == '"':
            quoted = True
        elif c in "[{(<":
            depth += 1
        elif c in "]})>":
            depth -= 1
        elif c == "," and depth == 0:
            arguments.append(text[start:i].strip())
            start = i + 1
    arguments.append(text[start:].strip())
    return arguments


RESULT = re.compile(r"(-?\d+)(?:<(.*)>)?$")
CLOSE = re.compile(r"\)\s+= ")


def recorded_calls(record):
    """(name, arguments, result, path of the returned descriptor) for each completed call of
    the record, in order; a call cut off by the kill (result "?") is left out."""
    pending = {}
    with open(record, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            pid, rest = ("", line)
            if line[:1].isdigit():  # -f puts the process id first
                pid, rest = line.split(None, 1)
            if rest.endswith("<unfinished ...>"):
                pending[pid] = rest[: -len("<unfinished ...>")]
                continue
            if rest.startswith("<... "):
                rest = pending.pop(pid, "") + rest.split("resumed>", 1)[1]
            # A resumed call pads its ")" and "=" apart to line the results up.
            open_at, ends = rest.find("("), list(CLOSE.finditer(rest))
            if open_at < 1 or not ends or ends[-1].start() < open_at:
                continue
            result = RESULT.match(rest[ends[-1].end():].strip())
            if result:
                yield (rest[:open_at], split_arguments(rest[open_at + 1:ends[-1].start()]),
                       int(result.group(1)), result.group(2))


def descriptor(argument):
    """(number or "AT_FDCWD", path) of a descriptor argument printed with -y."""
    match = re.match(r"(\d+|AT_FDCWD)(?:<(.*)>)?$", argument)
    number = match.group(1)
    return (int(number) if number.isdigit() else number), match.group(2)


def text(argument):
    return codecs.escape_decode(argument[1:-1].encode())[0].decode(errors="surrogateescape")


class Disk:
    """The regular files below top as a power cut would find them, replayed from a record of
    the calls that changed them. Files there before the run count as flushed."""

    def __init__(self, top):
        self.top = top
        self.files = {path: TrackedFile(size) for path, size in regular_files(top).items()}
        self.handles = {}
        self.writes = 0

    def replay(self, record):
        for name, arguments, result, path in recorded_calls(record):
            handler = getattr(self, "on_" + name, None)
            if handler is not None and result >= 0:
                handler(arguments, result, path)

    def below(self, path):
        return path == self.top or path.startswith(self.top + "/")

    def path(self, directory, argument):
        name = text(argument)
        return os.path.normpath(os.path.join(descriptor(directory)[1], name) if directory else name)

    def handle(self, argument):
        return self.handles.get(descriptor(argument)[0])

    # Opening: a new file, or an existing one, truncated or not. Directories and files
    # outside top are not followed.
    def opened(self, fd, path, flags):
        self.handles.pop(fd, None)
        if path is None or not self.below(path) or "O_DIRECTORY" in flags:
            return
        file = self.files.get(path)
        if file is None:
            if "O_CREAT" not in flags:
                return  # a directory opened without O_DIRECTORY
            file = self.files[path] = TrackedFile(0)
        elif "O_TRUNC" in flags:
            file.truncate(0)
        self.handles[fd] = Handle(file, "O_APPEND" in flags)

    def on_openat(self, arguments, fd, path):
        self.opened(fd, path, arguments[2])

    def on_open(self, arguments, fd, path):
        self.opened(fd, path, arguments[1])

    def on_creat(self, _, fd, path):
        self.opened(fd, path, "O_CREAT|O_TRUNC")

    def wrote(self, argument, count, at=None):
        handle = self.handle(argument)
        if handle is None:
            return
        if at is None:
            at = handle.file.size if handle.append else handle.offset
            handle.offset = at + count
        self.writes += 1
        handle.file.write(at, count, self.writes)

    def on_write(self, arguments, count, _):
        self.wrote(arguments[0], count)

    on_writev = on_write

    def on_pwrite64(self, arguments, count, _):
        self.wrote(arguments[0], count, int(arguments[3]))

    on_pwritev = on_pwrite64

    def on_copy_file_range(self, arguments, count, _):
        """Data copied in the kernel lands in the page cache as written data does. The output
        offset is "[N]" (the value before the call) or NULL (the descriptor's own)."""
        offset = arguments[3]
        self.wrote(arguments[2], count, int(offset[1:-1]) if offset.startswith("[") else None)

    def on_lseek(self, arguments, offset, _):
        handle = self.handle(arguments[0])
        if handle is not None:
            handle.offset = offset

    def on_ftruncate(self, arguments, *_):
        handle = self.handle(arguments[0])
        if handle is not None:
            handle.file.truncate(int(arguments[1]))

    def on_truncate(self, arguments, *_):
        file = self.files.get(self.path(None, arguments[0]))
        if file is not None:
            file.truncate(int(arguments[1]))

    def on_close(self, arguments, *_):
        self.handles.pop(descriptor(arguments[0])[0], None)

    def on_dup(self, arguments, fd, _):
        self.handles.pop(fd, None)
        handle = self.handle(arguments[0])
        if handle is not None:
            self.handles[fd] = handle

    on_dup2 = on_dup3 = on_dup

    def on_fcntl(self, arguments, fd, path):
        if arguments[1] in ("F_DUPFD", "F_DUPFD_CLOEXEC"):
            self.on_dup(arguments, fd, path)

    # Flushing: a descriptor's file, or every file (syncfs of any descriptor on the one file
    # system everything here is on, or sync).
    def on_fsync(self, arguments, *_):
        handle = self.handle(arguments[0])
        if handle is not None:
            handle.file.flush()

    on_fdatasync = on_fsync

    def on_syncfs(self, *_):
        for file in self.files.values():
            file.flush()
        for handle in self.handles.values():  # files unlinked while open
            handle.file.flush()

    on_sync = on_syncfs

    # Directory operations: the paths follow, a whole tree for a directory.
    def moved(self, old, new):
        if old == new:
            return
        self.removed(new)
        for path in [p for p in self.files if p == old or p.startswith(old + "/")]:
            file = self.files.pop(path)
            if self.below(new):
                self.files[new + path[len(old):]] = file

    def removed(self, path):
        for gone in [p for p in self.files if p == path or p.startswith(path + "/")]:
            del self.files[gone]

    def on_rename(self, arguments, *_):
        self.moved(self.path(None, arguments[0]), self.path(None, arguments[1]))

    def on_renameat(self, arguments, *_):
        if len(arguments) > 4 and "RENAME_EXCHANGE" in arguments[4]:
            raise ValueError("RENAME_EXCHANGE is not followed")
        self.moved(self.path(arguments[0], arguments[1]), self.path(arguments[2], arguments[3]))

    on_renameat2 = on_renameat

    def on_unlink(self, arguments, *_):
        self.removed(self.path(None, arguments[0]))

    on_rmdir = on_unlink

    def on_unlinkat(self, arguments, *_):
        self.removed(self.path(arguments[0], arguments[1]))

    def disagreement(self):
        """Problems when the replayed files are not the regular files on the disk, by size."""
        replayed = {path: file.size for path, file in self.files.items()}
        actual = regular_files(self.top)
        if replayed == actual:
            return []
        return [f"the record and the disk disagree: "
                f"{rc.describe_difference(replayed, actual)}"]

    def losses(self, combinations=LOSSES):
        """[(labels, loss)]: each distinct loss of the combinations (LOSSES, or with
        EARLIER_LOSSES), a loss being {path relative to top: (size, ranges to zero)}; the labels
        name the combinations that give it. Without anything unflushed that is one empty loss."""
        dirty = {p: f for p, f in self.files.items()
                 if f.unflushed and os.path.basename(p) != LOG}
        by_write = sorted(dirty, key=lambda p: dirty[p].last_write)
        scopes = {"all": by_write, "last": by_write[-1:], "earlier": by_write[:-1]}
        distinct = {}
        for scope, variant in combinations:
            if scope == "earlier" and len(by_write) < 2:
                continue  # no other file: the same as "all", or no loss at all
            loss = {os.path.relpath(p, self.top): dirty[p].loss(variant) for p in scopes[scope]}
            distinct.setdefault(tuple(sorted(loss.items())), []).append(f"{scope}-{variant}")
        return [("/".join(labels), dict(loss)) for loss, labels in distinct.items()]


def regular_files(top):
    """{path: size} of the regular files below top."""
    files = {}
    for parent, _, names in os.walk(top):
        for name in names:
            path = os.path.join(parent, name)
            if not os.path.islink(path) and os.path.isfile(path):
                files[path] = os.path.getsize(path)
    return files


def damaged_copy(trial, copy, loss):
    """A copy of trial with loss applied: ranges zeroed, files cut to their size."""
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(trial, copy, symlinks=True)
    for name, (size, ranges) in loss.items():
        with open(os.path.join(copy, name), "r+b") as f:
            for start, end in ranges:
                f.seek(start)
                f.write(bytes(end - start))
            f.truncate(size)
    return copy


class Cuts:
    """Cuts the power under one kind of run at each chosen call; subclasses prepare the run and
    check the states it leaves."""

    follow = []
    may_vary = False
    losses = LOSSES
    # The exit codes of a run to its end.
    end_codes = (0, 1)

    def undisturbed_exit(self, _start):
        """The exit code of a run from start that ends before the cut reaches it."""
        return 0

    def __init__(self, updater, work):
        self.updater = updater
        self.work = work
        self.records = rc.fresh_dir(work, "records")

    def cut(self, point):
        """Cuts the run at point ((start, syscall, n); syscall None: after the run's end).
        Returns (number of loss states checked, problems), or None when a run that may make
        fewer calls than the counted one (a body arriving in other pieces) ended first."""
        start, syscall, n = point
        name = f"{start}-{syscall}-{n}"
        trial, args = self.prepare(name, start)
        disk = Disk(trial)
        record = os.path.join(self.records, name)
        inject = ["-e", f"inject={syscall}:signal=KILL:when={n}"] if syscall else []
        code, output = self.updater.run(args, self.follow + ["-y"] + inject, record=record)
        if syscall and self.may_vary and code == self.undisturbed_exit(start):
            shutil.rmtree(trial, ignore_errors=True)
            return None
        # A run to its end exits 1 for the failing package (2 for the damaged delta); the other
        # sweeps check that.
        if code not in ((-9,) if syscall else self.end_codes):
            return 0, [f"not {'killed' if syscall else 'done'} (exit code {code}): {output}"]
        disk.replay(record)
        problems = disk.disagreement()
        states = 0
        for labels, loss in [] if problems else disk.losses(self.losses):
            states += 1
            problems += [f"{labels}: {p}" for p in self.check(trial, name, start, loss)]
        shutil.rmtree(trial, ignore_errors=True)
        os.remove(record)
        return states, problems

    def points(self, calls, start, stride):
        """The cuts of one run: at every stride-th changing call (counted from the last), and
        after the run's end."""
        chosen = rc.select_points(calls, lambda name: name in rc.CHANGING, stride)
        return [(start,) + p for p in chosen] + [(start, None, 0)]


class ApplyCuts(Cuts):
    def __init__(self, updater, work, kind="apply"):
        super().__init__(updater, work)
        self.runs = rc.ApplyRuns(updater, work, kind=kind)
        # The packages the runs after the cut apply, and those of the run that is cut.
        self.package = {"good": self.runs.good, "failing": self.runs.failing}
        self.disturbed = dict(zip(self.package, self.runs.disturbed))
        self.end_codes = self.runs.end_codes()
        self.may_vary = self.runs.calls_vary()

    def undisturbed_exit(self, start):
        return self.runs.undisturbed_exit(self.disturbed[start])

    def all_points(self, stride):
        calls = self.runs.calls()
        return [p for start, package in self.disturbed.items()
                for p in self.points(calls[package], start, stride)]

    def prepare(self, name, start):
        trial, root = self.runs.prepare(name)
        return trial, self.runs.run_args(root, self.disturbed[start])

    def check(self, trial, name, _, loss):
        problems = []
        for label, package in self.package.items():
            copy = damaged_copy(trial, os.path.join(self.work, f"{name}-{label}"), loss)
            root = os.path.join(copy, "root")
            if label == "good":
                problems += self.at_cut(root)
            problems += self.runs.rerun(root, package, f"then the {label} package")
            problems += rc.check_nothing_outside(copy, ["root"])
            shutil.rmtree(copy, ignore_errors=True)
        return problems

    def at_cut(self, root):
        """Problems of the state the cut leaves, when it lets the application start as it is."""
        if self.runs.kind in rc.STAGE_KINDS:
            return self.runs.at_interruption(root)
        if os.path.lexists(os.path.join(root, ".apply-in-progress")):
            return []
        current = os.path.join(root, "current")
        state = self.runs.installations.which(current)
        if state is None:
            return [f"at the cut, without .apply-in-progress: current/ is no complete "
                    f"installation (old: {self.runs.installations.difference(current, 'old')}; "
                    f"new: {self.runs.installations.difference(current, 'new')})"]
        version = rc.read_bytes(os.path.join(root, ".version"))
        wanted = self.runs.installations.states[state][1].encode() + b"\r\n"
        if version != wanted:
            return [f"at the cut, without .apply-in-progress: .version is {version!r} but "
                    f"current/ holds the {state} installation"]
        return []


class DownloadCuts(Cuts):
    """A download replacing a package that fails its check with a new one, from three starts:
    "download" from a server that serves it, "cut" from one that cuts its first answer half way
    (the run keeps what arrived), and "resume" with the bytes of such a cut run kept (the run
    resumes them from the same URL, which now serves ranges)."""

    follow = ["-f"]  # in case the transfer library starts a thread
    may_vary = True
    # The kept bytes and their record, written last.
    losses = EARLIER_LOSSES
    OLD = b"PK old package that failed its check " * 40
    STARTS = ("download", "cut", "resume")

    def undisturbed_exit(self, start):
        return 1 if start == "cut" else 0

    def __init__(self, updater, work, server):
        super().__init__(updater, work)
        self.server = server
        path = os.path.join(work, "new.zip")
        files = dict(rc.new_files(), **{"data/filler.bin": os.urandom(DOWNLOAD_FILLER)})
        rc.write_package(path, files)
        self.new = rc.read_bytes(path)
        server.serve("update.zip", self.new)

    def case(self, trial, start, token, create=True):
        """The download of a cut: token gives the cut ones a URL of their own."""
        url = (self.server.url("files", "update.zip") if start == "download"
               else self.server.cut_once_url("update.zip", token))
        return rc.DownloadCase(self.updater, trial, url, self.OLD, self.new, create)

    def all_points(self, stride):
        start_up = self.updater.syscall_sequence([self.updater.exe], follow=True)
        points = []
        for start in self.STARTS:
            _, args = self.prepare(f"count-{start}", start)
            calls = rc.calls_after(self.updater.syscall_sequence(args, follow=True), start_up)
            points += self.points(calls, start, stride)
        return points

    def prepare(self, name, start):
        trial = rc.fresh_dir(self.work, name)
        case = self.case(trial, start, name)
        if start == "resume":
            case.keep_partial()
        return trial, case.args

    def check(self, trial, name, start, loss):
        copy = damaged_copy(trial, os.path.join(self.work, f"{name}-copy"), loss)
        case = self.case(copy, start, name, create=False)
        problems = []
        if rc.read_bytes(case.package) not in (self.OLD, self.new):
            problems.append("at the cut: the file at --output is neither the old package nor "
                            "the complete new one")
        if start == "cut":
            self.server.spend_cut(case.url)
        problems += case.rerun()
        shutil.rmtree(copy, ignore_errors=True)
        return problems


class ConfirmCuts(Cuts):
    """An apply that waits for a confirmation, cut at the points the kill sweep takes (from where
    it parts from an apply that doesn't wait; see rc.ConfirmRuns.confirm_points), each loss state
    then checked as the application would find it and followed by `confirm`, `apply` (good and
    failing package) or `stage`, each from its own copy."""

    def __init__(self, updater, work):
        super().__init__(updater, work)
        self.runs = rc.ConfirmRuns(updater, work)

    def all_points(self, stride):
        points = []
        for start in rc.CONFIRM_STARTS:
            points += [(start,) + p for p in self.runs.confirm_points(start)[::-stride]]
            if start != "waiting":  # a wait nobody confirms would last its whole time-out
                points.append((start, None, 0))
        return points

    def cut(self, point):
        start, syscall, n = point
        name = f"confirm-{start}-{syscall}-{n}"
        trial, root = self.runs.prepare(name)
        disk = Disk(trial)
        record = os.path.join(self.records, name)
        inject = ["-e", f"inject={syscall}:signal=KILL:when={n}"] if syscall else []
        code, output = self.updater.run(self.runs.confirm_args(root, start), ["-y"] + inject,
                                        record=record)
        if code not in ((-9,) if syscall else (0, 1)):
            shutil.rmtree(trial, ignore_errors=True)
            return 0, [f"not {'killed' if syscall else 'done'} (exit code {code}): {output}"]
        rc.wait_for_root_lock(root)
        disk.replay(record)
        # The request is left by `confirm`, which the record doesn't show. It is empty: a cut can
        # only take its name, and the model keeps every name.
        request = os.path.join(root, rc.CONFIRM_REQUEST)
        if os.path.lexists(request) and request not in disk.files:
            disk.files[request] = TrackedFile(0)
        problems = disk.disagreement()
        states = 0
        for labels, loss in [] if problems else disk.losses(self.losses):
            states += 1
            copy = damaged_copy(trial, os.path.join(self.work, f"{name}-cut"), loss)
            found = self.runs.at_confirm_cut(os.path.join(copy, "root"))
            found += self.runs.follow_ups(copy, name)
            problems += [f"{labels}: {p}" for p in found]
            shutil.rmtree(copy, ignore_errors=True)
        shutil.rmtree(trial, ignore_errors=True)
        os.remove(record)
        return states, problems


def sweep(cuts, what, stride, report):
    """Cuts one kind of run at its points; returns (cuts made, loss states checked)."""
    points = cuts.all_points(stride)
    results = rc.run_parallel(cuts.cut, points)
    made = states = 0
    for (start, syscall, n), result in zip(points, results):
        if result is None:
            continue
        made += 1
        states += result[0]
        where = f"at {syscall} #{n}" if syscall else "after the end"
        report.fail(f"{what} cut {where} ({start})", result[1])
    print(f"power loss under {what}: {made} cuts "
          f"({', '.join(sorted({p[1] for p in points if p[1]}))} and the end), "
          f"{states} loss states")
    return made, states


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--stride", type=int, default=1, help="cut at every stride-th call")
    parser.add_argument("--expect-failures", action="store_true",
                        help="the build never flushes: the sweep must find failures")
    parser.add_argument("--run", choices=rc.RUN_KINDS + ("confirm",), default="apply",
                        help="the run cut; with apply, a download is cut as well; confirm: an "
                             "apply that waits for a confirmation")
    options = parser.parse_args()
    if options.run == "confirm":
        return confirm_sweep(options)

    updater = rc.Updater(options.updater)
    work = rc.fresh_dir(options.work, "power-loss")
    report = rc.Report("power-loss")
    apply_cuts = ApplyCuts(updater, work, options.run)
    cuts, states = sweep(apply_cuts, options.run, options.stride, report)
    report.fail("before the sweep", apply_cuts.runs.counted_problems)
    more_cuts = more_states = 0
    if options.run == "apply":
        with rc.TestServer(rc.fresh_dir(work, "server")) as server:
            more_cuts, more_states = sweep(DownloadCuts(updater, work, server), "download",
                                           options.stride, report)
    report.figure("cut_points", cuts + more_cuts)
    report.figure("loss_combinations", states + more_states)
    if options.expect_failures:
        caught, report.failures = report.failures, []
        for failure in caught[:10]:
            print(f"caught: {failure}")
        print(f"caught {len(caught)} failures of the build that never flushes")
        report.figure("caught", len(caught))
        if not caught:
            report.fail("the build that never flushes", ["the checker did not catch it"])
    return report.finish()


def confirm_sweep(options):
    """The cuts of an apply that waits for a confirmation (--run confirm)."""
    work = rc.fresh_dir(os.path.abspath(options.work), "power-loss-confirm")
    report = rc.Report("power-loss-confirm")
    cuts, states = sweep(ConfirmCuts(rc.Updater(options.updater), work), "confirm",
                         options.stride, report)
    report.figure("cut_points", cuts)
    report.figure("loss_combinations", states)
    return report.finish()


if __name__ == "__main__":
    sys.exit(main())
