#!/usr/bin/env python3
"""Disturbs `download` at each of its file-system system calls in turn, and serves it badly.

ENOSPC, EIO: the N-th call of one system call (for ENOSPC: one that can meet a full disk; for
        EIO: any file-system call but close, see apply_sweep.py) fails with that error, in three
        starting states: a wrong old package at the output path, the right package already
        there, and a wrong old package with the kept bytes of an earlier transfer cut half way
        (the run resumes it). Every run must end by itself with exit code 0 (the new package in
        place) or 1 (an error line, the old package untouched), leave no temporary file but
        kept bytes that are the start of the package, and one more undisturbed run must then
        put the new package in place and leave nothing else.
kill:   the download is killed at every call that changes the disk, in two starting states: the
        kept bytes of a cut transfer present (the run resumes them), and a transfer that the
        server cuts half way (the run keeps what arrived). At the kill the output path holds
        the old package or the complete new one; one more undisturbed run of the same command
        must put the new package in place and leave nothing else.
server: a local server that closes the connection mid-body, sends a body shorter or longer
        than it announced, redirects in a loop or trickles a byte every two seconds. Each run
        ends with exit code 1 and the old package untouched; the bytes of a body that stopped
        part way are kept, nothing else is. One more run against a URL that serves the package
        puts it in place and leaves nothing else: for the cut, the same URL, which resumes.

The updater is traced with -f in case the transfer library starts a thread; the package is
fetched from 127.0.0.1, which needs no name resolution.
"""

import argparse
import os
import sys

import rel_common as rc

# A package at the output path that fails the check: the download must replace it or leave it.
OLD_PACKAGE = b"PK old package that failed its check " * 40
# The states a disturbed download starts from, for each disturbance.
STARTS = {
    "ENOSPC": ("wrong-package", "verified-package", "kept-partial"),
    "EIO": ("wrong-package", "verified-package", "kept-partial"),
    "kill": ("kept-partial", "cut-run"),
}


def new_package(work):
    path = os.path.join(work, "new.zip")
    rc.write_package(path, rc.new_files())
    return rc.read_bytes(path)


class FaultSweep:
    def __init__(self, updater, work, server, new, mode):
        self.updater = updater
        self.work = work
        self.server = server
        self.new = new
        self.mode = mode

    def case(self, name, start):
        """A download case starting from start (STARTS); the cut ones fetch from a URL of their
        own that cuts its first answer."""
        trial = rc.fresh_dir(self.work, name)
        if start == "verified-package":
            return rc.DownloadCase(self.updater, trial, self.server.url("files", "update.zip"),
                                   self.new, self.new)
        if start == "wrong-package":
            return rc.DownloadCase(self.updater, trial, self.server.url("files", "update.zip"),
                                   OLD_PACKAGE, self.new)
        case = rc.DownloadCase(self.updater, trial, self.server.cut_once_url("update.zip", name),
                               OLD_PACKAGE, self.new)
        if start == "kept-partial":
            case.keep_partial()
        return case

    def points(self, start, include):
        calls = rc.calls_after(
            self.updater.syscall_sequence(self.case(f"count-{start}", start).args, follow=True),
            self.updater.syscall_sequence([self.updater.exe], follow=True))
        return [(start,) + p for p in rc.select_points(calls, include)]

    def trial(self, point):
        """Returns (whether the disturbance happened, problems)."""
        start, syscall, n = point
        case = self.case(f"{self.mode}-{start}-{syscall}-{n}", start)
        disturbance = "signal=KILL" if self.mode == "kill" else f"error={self.mode}"
        inject = ["-f", "-e", f"inject={syscall}:{disturbance}:when={n}"]
        code, output = self.updater.run(case.args, inject)
        killed = code == -9 and self.mode == "kill"
        if killed:
            problems = [] if rc.read_bytes(case.package) in (OLD_PACKAGE, self.new) else [
                "at the kill: the file at --output is neither the old package nor the new one"]
        else:
            problems = case.check(code, output, may_keep=start in ("kept-partial", "cut-run"))
        if start == "cut-run":
            self.server.spend_cut(case.url)
        problems += case.rerun()
        rc.shutil.rmtree(case.trial, ignore_errors=True)
        return killed, problems


def fault_sweep(updater, work, server, new, mode, report):
    sweep = FaultSweep(updater, work, server, new, mode)
    if mode == "ENOSPC":
        include = lambda name: name in rc.CAN_RUN_OUT_OF_SPACE
    elif mode == "EIO":
        include = lambda name: name != "close"
    else:
        include = lambda name: name in rc.CHANGING
    points = [p for start in STARTS[mode] for p in sweep.points(start, include)]
    results = rc.run_parallel(sweep.trial, points)
    for (start, syscall, n), (_, problems) in zip(points, results):
        report.fail(f"{mode} at {syscall} #{n} ({start})", problems)
    print(f"download {mode}: {len(points)} calls of "
          f"{', '.join(sorted({p[1] for p in points}))} in {', '.join(STARTS[mode])}")
    if mode == "kill":
        # The body may arrive in fewer writes than in the counted run: a kill at a write the
        # run never made is no crash point, though its run is checked all the same.
        report.figure("crash_points", sum(killed for killed, _ in results))
    else:
        report.figure("faults_injected", len(points))


# Each misbehaving server: its route, and whether the failed run keeps the bytes that arrived.
# A body announced longer than --size is refused before it starts; one longer than announced
# ends where the announcement does, short of --size, which ends it early like a cut.
BAD_SERVERS = {
    "cut": ("ranged/cut1", True),
    "short": ("short", False),
    "long": ("long", True),
    "loop": ("loop", False),
    "trickle": ("trickle", True),
}
# The transfer gives up after a minute below one byte a second.
TRICKLE_TIMEOUT_S = 240


def resumed_problems(server, url, kept):
    """Problems when the last request for url was not a range request for the bytes after the
    kept ones, answered 206."""
    path = url.split("/", 3)[3]
    requests = [r for r in server.ranges() if r[0] == "/" + path]
    if not requests or requests[-1][1] != f"bytes={kept}-" or requests[-1][3] != "206":
        return [f"the run after the cut did not resume at byte {kept}: {requests}"]
    return []


def misbehaving_server(updater, work, server, new, report):
    def one(behaviour):
        route, keeps = BAD_SERVERS[behaviour]
        trial = rc.fresh_dir(work, f"server-{behaviour}")
        case = rc.DownloadCase(updater, trial, server.url(route, "update.zip"), OLD_PACKAGE,
                               new)
        code, output = updater.run(case.args, timeout=TRICKLE_TIMEOUT_S)
        problems = case.check(code, output, may_keep=keeps)
        if code != 1:
            problems.append(f"exit code {code}, expected 1")
        if case.kept() != (set(rc.KEPT) if keeps else set()):
            problems.append(f"kept {sorted(case.kept()) or 'nothing'}")
        kept = len(rc.read_bytes(os.path.join(case.packages, rc.KEPT[0])) or b"")
        # The cut URL serves the package from its second request on, in ranges.
        if behaviour != "cut":
            case.args[case.args.index("--url") + 1] = server.url("files", "update.zip")
        problems += case.rerun("then from a good URL")
        if behaviour == "cut":
            problems += resumed_problems(server, server.url(route, "update.zip"), kept)
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
    parser.add_argument("--mode", choices=["ENOSPC", "EIO", "kill", "server"], required=True)
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
