#!/usr/bin/env python3
"""Two applies started together on one root, and links that every removal must leave alone.

together: round after round, two `apply` runs are started at the same moment on one root while
          the old application runs: exactly one takes the root and waits for the application,
          the other exits 1 with "Another update is in progress in {root}" meanwhile; once the
          application quits, the first completes the update and the root ends complete.
slow start: the first run is held for a while right after each of its flock calls (strace
          delays it), so that the second is refused while the first has the root but has not
          yet emptied its log: the refusal line must still be in the log afterwards.
links:    symbolic links to a directory with files (and to a single file) outside the root sit
          in the directories that apply removes: the backup after an update, a leftover backup
          next to a complete current/, and an interrupted run's current/ before the backup is
          restored. Each removal takes the links away and leaves their targets untouched.
"""

import argparse
import os
import subprocess
import sys
import time

import rel_common as rc


def start_staying_app(testapp, root):
    """Puts the test application into current/ as the installed one and starts it; it runs
    until a quit-request file appears beside it."""
    current = os.path.join(root, "current")
    app = os.path.join(current, rc.APP)
    rc.shutil.copy(testapp, app)
    open(os.path.join(current, "stay"), "wb").close()
    process = subprocess.Popen([app], cwd=root, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    starts = os.path.join(current, "starts.txt")
    deadline = time.monotonic() + 20
    while b"end\n" not in (rc.read_bytes(starts) or b"") and time.monotonic() < deadline:
        time.sleep(0.01)
    return process


def wait_for_first(processes, deadline_s):
    end = time.monotonic() + deadline_s
    while all(p.poll() is None for p in processes) and time.monotonic() < end:
        time.sleep(0.01)


def together_round(updater, testapp, work, package, index):
    trial = rc.fresh_dir(work, f"together-{index}")
    root = os.path.join(trial, "root")
    rc.install(root, rc.old_files(), rc.OLD_VERSION)
    app = start_staying_app(testapp, root)
    args = updater.apply_args(root, package)
    args[args.index("--pid") + 1] = str(app.pid)
    runs = [subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL) for _ in range(2)]
    # The run holding the lock waits for the application, so the other one must end first;
    # then the application is asked to quit and the waiting run carries on.
    wait_for_first(runs, rc.RUN_TIMEOUT_S)
    first = [run.poll() for run in runs]
    open(os.path.join(root, "current", "quit-request"), "wb").close()
    try:
        codes = sorted(run.wait(timeout=rc.RUN_TIMEOUT_S) for run in runs)
    except subprocess.TimeoutExpired:
        codes = None
    for process in runs + [app]:
        process.kill()
        process.wait()
    problems = []
    if sorted(first, key=str) != [1, None]:
        problems.append(f"while the application ran, the runs' exit codes were {first}")
    if codes != [0, 1]:
        problems.append(f"exit codes {codes}, expected one 0 and one 1")
    lines = rc.log_lines(root)
    refused = f"error Another update is in progress in {root}"
    if refused not in lines:
        problems.append(f"no line {refused!r} in {lines}")
    if "info Update complete, exiting" not in lines:
        problems.append("no run completed the update")
    problems += rc.Installations().check_settled(root, ("new",))
    problems += rc.check_nothing_outside(trial, ["root"])
    return problems


def slow_start_case(updater, work, package, held_call):
    """The first run is delayed after its held_call-th flock; the second, started meanwhile, is
    refused, and its line must survive the first run's start of the log."""
    root = os.path.join(rc.fresh_dir(work, f"slow-start-{held_call}"), "root")
    rc.install(root, rc.old_files(), rc.OLD_VERSION)
    first = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e",
                              f"inject=flock:delay_exit=1500000:when={held_call}"]
                             + updater.apply_args(root, package),
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    time.sleep(0.7)
    code, output = updater.run(updater.apply_args(root, package))
    first.wait(timeout=rc.RUN_TIMEOUT_S)
    refusal = f"error Another update is in progress in {root}"
    problems = []
    if code != 1 or first.returncode != 0:
        problems.append(f"the runs ended with {first.returncode} and {code}: {output.strip()}")
    elif refusal not in rc.log_lines(root):
        problems.append(f"no line '{refusal}' in {rc.log_lines(root)}")
    return problems


def outside_target(trial):
    """A directory with files and a single file, both outside the root; returns their state."""
    outside = os.path.join(trial, "outside")
    os.makedirs(os.path.join(outside, "dir", "sub"))
    for name, data in (("dir/keep.txt", b"keep"), ("dir/sub/deep.txt", b"deep"),
                       ("file.txt", b"single file")):
        with open(os.path.join(outside, name), "wb") as f:
            f.write(data)
    return outside


def plant_links(directory, outside):
    os.makedirs(os.path.join(directory, "lib"), exist_ok=True)
    os.symlink(os.path.join(outside, "dir"), os.path.join(directory, "linked-dir"))
    os.symlink(os.path.join(outside, "dir"), os.path.join(directory, "lib", "nested-link"))
    os.symlink(os.path.join(outside, "file.txt"), os.path.join(directory, "linked-file"))


def links_case(updater, work, package, failing, case):
    """One arrangement of links in a directory that apply removes; returns problems."""
    trial = rc.fresh_dir(work, f"links-{case}")
    root = os.path.join(trial, "root")
    outside = outside_target(trial)
    before = rc.snapshot(outside)
    current = os.path.join(root, "current")
    backup = os.path.join(root, "current.bak")
    if case == "backup-after-update":
        # The old installation, links included, becomes the backup that is removed at the end.
        rc.install(root, rc.old_files(), rc.OLD_VERSION)
        plant_links(current, outside)
        code, output = updater.run(updater.apply_args(root, package))
        expected_code, allowed = 0, ("new",)
    elif case == "leftover-backup":
        # A backup an earlier run could not remove, next to a complete current/.
        rc.install(root, rc.new_files(), rc.NEW_VERSION)
        rc.shutil.copytree(current, backup, symlinks=True)
        plant_links(backup, outside)
        code, output = updater.run(updater.apply_args(root, failing))
        expected_code, allowed = 1, ("new",)
    else:
        # An interrupted run: its partial current/ (with links) is removed, the backup restored.
        rc.install(root, rc.old_files(), rc.OLD_VERSION)
        os.rename(current, backup)
        os.makedirs(current)
        plant_links(current, outside)
        open(os.path.join(root, ".apply-in-progress"), "wb").close()
        code, output = updater.run(updater.apply_args(root, failing))
        expected_code, allowed = 1, ("old",)
    problems = []
    if code != expected_code:
        problems.append(f"exit code {code}, expected {expected_code}: {output.strip()}")
    problems += rc.Installations().check_settled(root, allowed)
    after = rc.snapshot(outside)
    if after != before:
        problems.append(f"link targets changed: {rc.describe_difference(after, before)}")
    problems += rc.check_nothing_outside(trial, ["root", "outside"])
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--testapp", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=20)
    options = parser.parse_args()

    updater = rc.Updater(options.updater)
    packages = rc.fresh_dir(options.work, "packages")
    package = os.path.join(packages, "good.zip")
    failing = os.path.join(packages, "failing.zip")
    rc.write_package(package, rc.new_files())
    rc.write_failing_package(failing, rc.new_files())

    report = rc.Report("concurrency-links")
    for index in range(options.rounds):
        report.fail(f"together round {index}",
                    together_round(updater, options.testapp, options.work, package, index))
    # The flock calls of a run: the log's gate, then the root's lock.
    for held_call in (1, 2):
        report.fail(f"slow start {held_call}",
                    slow_start_case(updater, options.work, package, held_call))
    cases = ["backup-after-update", "leftover-backup", "interrupted-current"]
    for case in cases:
        report.fail(f"links {case}", links_case(updater, options.work, package, failing, case))
    report.figure("concurrent_rounds", options.rounds)
    report.figure("link_cases", len(cases))
    return report.finish()


if __name__ == "__main__":
    sys.exit(main())
