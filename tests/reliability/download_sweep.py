#!/usr/bin/env python3
"""Disturbs `download` at each of its file-system system calls in turn, and serves it badly.

ENOSPC, EIO: the N-th call of one system call (for ENOSPC: one that can meet a full disk; for
        EIO: any file-system call but close, see apply_sweep.py) fails with that error, in two
        starting states: a wrong old package at the output path, and the right package already
        there. Every run must end by itself with exit code 0 (the new package in place) or 1
        (an error line, the old package untouched), leave no temporary file, and one more
        undisturbed run must then put the new package in place.
server: a local server that closes the connection mid-body, sends a body shorter or longer
        than it announced, redirects in a loop or trickles a byte every two seconds. Each run
        ends with exit code 1, the old package untouched and no temporary file; where part of
        the body arrived before the transfer failed, those bytes are kept for the next run.

The updater is traced with -f in case the transfer library starts a thread; the package is
fetched from 127.0.0.1, which needs no name resolution.
"""

import argparse
import os
import sys

import rel_common as rc

# A package at the output path that fails the check: the download must replace it or leave it.
OLD_PACKAGE = b"PK old package that failed its check " * 40
STARTS = {"wrong-package": OLD_PACKAGE, "verified-package": None}


def new_package(work):
    path = os.path.join(work, "new.zip")
    rc.write_package(path, rc.new_files())
    return rc.read_bytes(path)


class FaultSweep:
    def __init__(self, updater, work, server, new):
        self.updater = updater
        self.work = work
        self.server = server
        self.new = new

    def case(self, name, start):
        trial = rc.fresh_dir(self.work, name)
        old = self.new if start == "verified-package" else STARTS[start]
        return rc.DownloadCase(self.updater, trial, self.server.url("files", "update.zip"), old,
                               self.new)

    def points(self, start, include):
        calls = rc.calls_after(
            self.updater.syscall_sequence(self.case("count", start).args, follow=True),
            self.updater.syscall_sequence([self.updater.exe], follow=True))
        return [(start,) + p for p in rc.select_points(calls, include)]

    def trial(self, point, errno_name):
        start, syscall, n = point
        case = self.case(f"{errno_name}-{start}-{syscall}-{n}", start)
        inject = ["-f", "-e", f"inject={syscall}:error={errno_name}:when={n}"]
        code, output = self.updater.run(case.args, inject)
        problems = case.check(code, output)
        code, output = self.updater.run(case.args)
        problems += [f"then undisturbed: {p}" for p in case.check(code, output)]
        if code != 0:
            problems.append(f"then undisturbed: exit code {code}")
        problems += rc.check_nothing_outside(case.trial, ["packages", "logs"])
        rc.shutil.rmtree(case.trial, ignore_errors=True)
        return problems


def fault_sweep(updater, work, server, new, errno_name, report):
    sweep = FaultSweep(updater, work, server, new)
    if errno_name == "ENOSPC":
        include = lambda name: name in rc.CAN_RUN_OUT_OF_SPACE
    else:
        include = lambda name: name != "close"
    points = [p for start in STARTS for p in sweep.points(start, include)]
    results = rc.run_parallel(lambda p: sweep.trial(p, errno_name), points)
    for (start, syscall, n), problems in zip(points, results):
        report.fail(f"{errno_name} at {syscall} #{n} ({start})", problems)
    print(f"download {errno_name}: {len(points)} calls of "
          f"{', '.join(sorted({p[1] for p in points}))}")
    report.figure("faults_injected", len(points))


BAD_SERVERS = ["cut", "short", "long", "loop", "trickle"]
# Those that fail the transfer after part of the body arrived (a body announced longer than
# --size is refused whole): the digest is given, so that part is kept.
KEEP_WHAT_ARRIVED = {"cut", "trickle"}
# The transfer gives up after a minute below one byte a second.
TRICKLE_TIMEOUT_S = 240


def misbehaving_server(updater, work, server, new, report):
    def one(behaviour):
        trial = rc.fresh_dir(work, f"server-{behaviour}")
        case = rc.DownloadCase(updater, trial, server.url(behaviour, "update.zip"), OLD_PACKAGE,
                               new)
        code, output = updater.run(case.args, timeout=TRICKLE_TIMEOUT_S)
        problems = case.check(code, output, kept=behaviour in KEEP_WHAT_ARRIVED)
        if code != 1:
            problems.append(f"exit code {code}, expected 1")
        return problems

    # The trickle waits out the transfer's stall time-out; the others run meanwhile.
    results = rc.run_parallel(one, BAD_SERVERS, workers=len(BAD_SERVERS))
    for behaviour, problems in zip(BAD_SERVERS, results):
        report.fail(f"server {behaviour}", problems)
    print(f"download against a misbehaving server: {', '.join(BAD_SERVERS)}")
    report.figure("server_cases", len(BAD_SERVERS))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--mode", choices=["ENOSPC", "EIO", "server"], required=True)
    options = parser.parse_args()

    updater = rc.Updater(options.updater)
    work = rc.fresh_dir(options.work, options.mode)
    report = rc.Report(f"download-{options.mode}")
    new = new_package(work)
    with rc.TestServer(os.path.join(work, "server")) as server:
        server.serve("update.zip", new)
        if options.mode == "server":
            misbehaving_server(updater, work, server, new, report)
        else:
            fault_sweep(updater, work, server, new, options.mode, report)
    return report.finish()


if __name__ == "__main__":
    sys.exit(main())
