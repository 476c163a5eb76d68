#!/usr/bin/env python3
"""Interrupts and disturbs `apply` at each of its file-system system calls in turn; with
--run, `stage` or the `apply` that swaps in what was staged.

The disturbed run installs either the good package (every call of the run) or a package whose
last entry fails (the calls after those it shares with the good run: the rollback).

kill:   the updater is killed (SIGKILL) at the N-th call of one system call; then `apply` runs
        again, once with the good package and once (from the same interrupted state) with a
        package that fails extraction. After each such pair the root holds one complete
        installation, old or new, with the matching .version and nothing left over. For a
        package of a few dozen files every call is tried; for bigger ones a stride is chosen,
        a wider one for calls that don't change the disk (stat, read, ...): a kill there leaves
        the disk as a kill at the next changing call does.
ENOSPC: the N-th call of one system call that can meet a full disk fails with ENOSPC.
EIO:    the N-th call of any file-system system call but close fails with EIO. (close releases
        the descriptor even when it reports an error; strace's injection skips the call and
        would leave it open, which no kernel does.)
        After a failed call, the run must end by itself with exit code 0 (the new installation
        complete) or 1 (an error line, the old installation intact), and one more run with the
        failing package must find a root it can settle: one complete installation, nothing lost.

stage (kill only): a killed stage leaves the old installation and .version as they were; the two
        applies after it then find the root as after any stage.

delta-stage (kill only): the same for a stage of a delta package (made by `pack --base` from
        the old installation's full package; its files unchanged, patched and whole), or of a copy
        whose patch is damaged (which exits 2 after building the files before it). After a kill,
        also the delta staged again and the apply that swaps that stage in, from a copy of the
        killed state: the new installation.

confirm (kill only): an `apply --confirm-timeout-ms` killed before, at and after its wait for the
        confirmation, then `confirm`, `apply` or `stage` (see rel_common.ConfirmRuns).

The updater process itself is traced, without -f: it is single-threaded, and the application
it starts at the end is a separate program whose own system calls are not the updater's.
"""

import argparse
import os
import sys

import rel_common as rc

VERSION_NOT_WRITTEN = "error Failed to write version file"


def left_for_the_next_run(problem):
    """True for a problem that only names leftovers the next run removes."""
    prefix = "left in the root: "
    return (problem.startswith(prefix) and
            set(problem[len(prefix):].split(", ")) <= {"current.bak", "current.new", ".staged"})


class Sweep(rc.ApplyRuns):
    """The kill and fault trials, on the runs every apply sweep makes."""

    def kill_trial(self, point):
        """Kills the updater at one call, then reruns it with each package from that state.
        Returns (whether the call was reached, problems)."""
        package, syscall, n = point
        problems = []
        reached = False
        for follow_up in (self.good, self.failing):
            label = "good" if follow_up == self.good else "failing"
            trial, root = self.prepare(f"kill-{os.path.basename(package)}-{syscall}-{n}-{label}")
            inject = ["-e", f"inject={syscall}:signal=KILL:when={n}"]
            code, output = self.updater.run(self.run_args(root, package), inject)
            if code != -9:
                # Fewer calls than counted: the point is not reached this time.
                if not (self.calls_vary() and code == self.undisturbed_exit(package)):
                    problems.append(f"not killed (exit code {code}): {output.strip()}")
                rc.shutil.rmtree(trial, ignore_errors=True)
                break
            reached = True
            problems += self.at_interruption(root)
            if self.kind in rc.DELTA_KINDS and follow_up == self.good:
                problems += self.restage_from_copy(trial, "then the delta staged and applied")
            problems += self.rerun(root, follow_up, f"then {label} package")
            problems += rc.check_nothing_outside(trial, ["root"])
            rc.shutil.rmtree(trial, ignore_errors=True)
        return reached, problems

    def restage_from_copy(self, trial, what):
        """The delta staged again and swapped in, on a copy of a killed trial. Returns the
        problems."""
        copy = trial + "-restaged"
        rc.shutil.rmtree(copy, ignore_errors=True)
        rc.shutil.copytree(trial, copy, symlinks=True)
        problems = self.restage_delta(os.path.join(copy, "root"), what)
        problems += [f"{what}: {p}" for p in rc.check_nothing_outside(copy, ["root"])]
        rc.shutil.rmtree(copy, ignore_errors=True)
        return problems

    def fault_trial(self, point, errno_name):
        """Fails one call with errno_name, checks how the run ended and what it left, then lets
        one more run (failing package) settle the root. Returns (reached, problems)."""
        package, syscall, n = point
        trial, root = self.prepare(f"{errno_name}-{os.path.basename(package)}-{syscall}-{n}")
        inject = ["-e", f"inject={syscall}:error={errno_name}:when={n}"]
        code, output = self.updater.run(self.run_args(root, package), inject)
        problems = self.check_faulty_run(root, package, code, output)
        # A .version that could not be written stays behind until the next successful update.
        lag = VERSION_NOT_WRITTEN in "\n".join(rc.error_lines(root))
        problems += self.rerun(root, self.failing, "then failing package", lag)
        problems += rc.check_nothing_outside(trial, ["root"])
        rc.shutil.rmtree(trial, ignore_errors=True)
        # The calls before the N-th are those of the counted run, so the point is reached.
        return True, problems

    def check_faulty_run(self, root, package, code, output):
        if code is None:
            return ["the run hung"]
        if code not in (0, 1):
            return [f"the run ended with {code}: {output.strip()}"]
        errors = rc.error_lines(root)
        if code == 0:
            if package != self.good:
                return ["exit code 0 for a package that fails extraction"]
            lag = any(e.startswith(VERSION_NOT_WRITTEN) for e in errors)
            problems = self.installations.check_settled(root, ("new",), version_may_lag=lag)
            # A backup whose removal failed stays for the next run, and so does a stage the run
            # could not read (it is then left alone) or remove; the next run settles either.
            return [p for p in problems if not left_for_the_next_run(p)]
        if not errors and "updater: " not in output:
            return ["exit code 1 without an error line"]
        current = self.installations.which(os.path.join(root, "current"))
        backup = self.installations.which(os.path.join(root, "current.bak"))
        if current == "old" or (current is None and backup == "old"):
            return []
        return [f"exit code 1 but the old installation is not intact "
                f"(current/: {current}, current.bak/: {backup})"]


def confirm_kill_trial(runs, point):
    """Kills an apply that waits for a confirmation at one call, then runs each follow-up from the
    state it left. Returns (whether the call was reached, problems)."""
    start, syscall, n = point
    name = f"kill-{start}-{syscall}-{n}"
    trial, root = runs.prepare(name)
    inject = ["-e", f"inject={syscall}:signal=KILL:when={n}"]
    code, output = runs.updater.run(runs.confirm_args(root, start), inject)
    if code != -9:
        rc.shutil.rmtree(trial, ignore_errors=True)
        return False, [f"not killed (exit code {code}): {output.strip()}"]
    # A child forked for the application holds a copy of the lock until it has started it.
    problems = [] if rc.wait_for_root_lock(root) else ["the root stays locked"]
    problems += runs.at_confirm_cut(root) + runs.follow_ups(trial, name)
    rc.shutil.rmtree(trial, ignore_errors=True)
    return True, problems


def confirm_kill_sweep(options):
    """The kills of an apply that waits for a confirmation (--run confirm)."""
    runs = rc.ConfirmRuns(rc.Updater(options.updater), os.path.abspath(options.work),
                          options.files)
    report = rc.Report(f"confirm-kill-{options.files}")
    points = [(start,) + point for start in rc.CONFIRM_STARTS
              for point in runs.confirm_points(start)[::-options.stride][:options.limit or None]]
    results = rc.run_parallel(lambda point: confirm_kill_trial(runs, point), points)
    tried = 0
    for (start, syscall, n), (reached, problems) in zip(points, results):
        tried += reached
        report.fail(f"kill at {syscall} #{n} ({start})", problems)
    for start in rc.CONFIRM_STARTS:
        print(f"confirm kill, {start}: {sum(p[0] == start for p in points)} calls")
    report.figure("crash_points", tried)
    return report.finish()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--mode", choices=["kill", "ENOSPC", "EIO"], required=True)
    parser.add_argument("--files", type=int, default=rc.FEW_DOZEN, help="files in the package")
    parser.add_argument("--stride", type=int, default=1, help="for calls that change the disk")
    parser.add_argument("--other-stride", type=int, default=1, help="for the other calls")
    parser.add_argument("--run", choices=rc.RUN_KINDS + ("confirm",), default="apply",
                        help="the run disturbed; confirm: an apply that waits for a confirmation")
    parser.add_argument("--limit", type=int, default=0, help="confirm: try only this many calls of each start")
    options = parser.parse_args()
    if options.run == "confirm":
        if options.mode != "kill":
            parser.error("an apply that waits for a confirmation is only killed")
        return confirm_kill_sweep(options)
    if options.run in rc.STAGE_KINDS and options.mode != "kill":
        parser.error("a stage is only killed")

    sweep = Sweep(rc.Updater(options.updater), options.work, options.files, options.run)
    report = rc.Report(f"{options.run}-{options.mode}-{options.files}")
    if options.mode == "kill":
        include, other_stride = (lambda name: True), options.other_stride
    elif options.mode == "ENOSPC":
        include, other_stride = (lambda name: name in rc.CAN_RUN_OUT_OF_SPACE), None
    else:
        include, other_stride = (lambda name: name != "close"), None
    points = []
    for package, calls in sweep.calls().items():
        points += [(package,) + point for point in
                   rc.select_points(calls, include, options.stride, other_stride)]
    report.fail("before the sweep", sweep.counted_problems)
    if options.mode == "kill":
        results = rc.run_parallel(sweep.kill_trial, points)
    else:
        results = rc.run_parallel(lambda p: sweep.fault_trial(p, options.mode), points)
    tried = 0
    for (package, syscall, n), (reached, problems) in zip(points, results):
        tried += reached
        report.fail(f"{options.mode} at {syscall} #{n} ({os.path.basename(package)})", problems)
    syscalls = sorted({p[1] for p in points})
    print(f"{options.run} {options.mode}, {options.files} files: {tried} calls of {', '.join(syscalls)}")
    if tried < len(points):
        print(f"{len(points) - tried} chosen calls not reached: the run made fewer calls than "
              "the counted one")
    report.figure("crash_points" if options.mode == "kill" else "faults_injected", tried)
    return report.finish()


if __name__ == "__main__":
    sys.exit(main())
