#!/usr/bin/env python3
"""Measures the downtime of `apply` with and without a stage, in alternating rounds, and writes
the medians as JSON.

usage: staged_rounds.py ROUNDS WORK OUTPUT.json UPDATER PACKAGE

Each round installs an empty current/app.exe in two fresh roots below WORK. In one, `apply`
extracts PACKAGE as today; in the other, `stage` runs first and `apply` swaps the staged tree
in. The order alternates from round to round, and the page cache is written back before each
timed run; the files of a round are emptied afterwards, as alternate_rounds.py does. Figures per run, in seconds:

  downtime      from the log line that ends the wait to "Launched" (what the user waits for)
  to_launch     from the start of `apply` to "Launched" (with a stage, the package's SHA-256 is
                computed before the wait and counts here)
  wall          the whole run of `apply`, and of `stage` for the staged rounds

PACKAGE must hold app.exe, a program that starts: "Launched" is logged once it has.
"""
import datetime
import json
import os
import statistics
import subprocess
import sys
import time

from alternate_rounds import empty_files

WAIT_ENDED = "Process 0 not found, proceeding"


def log_times(root):
    """{message prefix: seconds since the epoch} of the lines of updater.log."""
    times = {}
    with open(os.path.join(root, "updater.log"), encoding="utf-8", errors="replace") as f:
        for line in f:
            # [2026-12-07 09:45:34.044] [updater] [info] message
            stamp, _, rest = line.partition("] ")
            message = rest.split("] ", 2)[-1].rstrip("\r\n")
            when = datetime.datetime.strptime(stamp.lstrip("["), "%Y-%m-%d %H:%M:%S.%f")
            times.setdefault(message.split(":", 1)[0], when.timestamp())
    return times


def timed(command):
    subprocess.run(["sync"], check=True)
    start = time.time()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if done.returncode != 0:
        sys.exit(f"staged_rounds: {' '.join(command)} failed ({done.returncode})")
    return start, time.time() - start


def one_update(updater, package, root, staged):
    os.makedirs(os.path.join(root, "current"))
    open(os.path.join(root, "current", "app.exe"), "wb").close()
    common = ["--package", package, "--app-dir", root, "--version", "2", "--exe", "app.exe"]
    figures = {}
    if staged:
        _, figures["stage_wall"] = timed([updater, "stage"] + common)
    start, figures["wall"] = timed([updater, "apply", "--pid", "0"] + common)
    times = log_times(root)
    if staged != ("Using staged installation of version 2" in times):
        sys.exit(f"staged_rounds: the apply in {root} {'ignored' if staged else 'found'} a stage")
    figures["downtime"] = times["Launched"] - times[WAIT_ENDED]
    figures["to_launch"] = times["Launched"] - start
    return figures


def main():
    rounds, work, output, updater, package = sys.argv[1:6]
    runs = {"unstaged": [], "staged": []}
    for round_number in range(int(rounds)):
        order = ["unstaged", "staged"] if round_number % 2 == 0 else ["staged", "unstaged"]
        for kind in order:
            root = os.path.join(work, f"{kind}-{round_number}")
            runs[kind].append(one_update(updater, package, root, kind == "staged"))
            # Emptied, not removed, for the reason alternate_rounds.py gives.
            empty_files(root)
    medians = {kind: {name: statistics.median(run[name] for run in figures)
                      for name in figures[0]}
               for kind, figures in runs.items()}
    with open(output, "w", encoding="utf-8") as f:
        json.dump(medians, f, indent=1)


if __name__ == "__main__":
    main()
