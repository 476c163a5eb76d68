#!/usr/bin/env python3
"""Runs commands (extractions, downloads) in alternating rounds (A B C, A B C, ...), so that
whatever else the machine does at a time falls on all of them alike, and writes the medians as
JSON.

usage: alternate_rounds.py [--current TREE] ROUNDS WORK OUTPUT.json NAME COMMAND [NAME COMMAND ...]

Every run gets a directory of its own below WORK, holding current/app.exe (empty), or with
--current a copy of TREE as current/ (made before the run, untimed), and an empty out/; `{dir}` in
COMMAND stands for it. Before each run the page cache is written back (sync),
so that one run's files are not written out during the next. After it the run's files are
emptied but not removed: on ext4 without a journal, inodes deleted in the last minute are
skipped one by one when new files are made, which would charge later runs for this one.
"""
import json
import os
import shlex
import statistics
import subprocess
import sys
import time


def fresh_directory(work, name, round_number, current=None):
    path = os.path.join(work, f"{name}-{round_number}")
    os.makedirs(os.path.join(path, "out"))
    if current:
        subprocess.run(["cp", "-a", current, os.path.join(path, "current")], check=True)
    else:
        os.makedirs(os.path.join(path, "current"))
        open(os.path.join(path, "current", "app.exe"), "wb").close()
    return path


def empty_files(path):
    for parent, _, files in os.walk(path):
        for name in files:
            file = os.path.join(parent, name)
            # The application an apply started may still be running from its file.
            if not os.path.islink(file):
                try:
                    os.truncate(file, 0)
                except OSError:
                    pass


def timed_run(command):
    """Wall, user and system seconds of one run of the command."""
    subprocess.run(["sync"], check=True)
    start = time.perf_counter()
    child = subprocess.Popen(shlex.split(command), stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"alternate_rounds: {command} failed ({status})")
    return wall, usage.ru_utime, usage.ru_stime


def main():
    arguments = sys.argv[1:]
    current = None
    if arguments[0] == "--current":
        current, arguments = arguments[1], arguments[2:]
    rounds, work, output = int(arguments[0]), arguments[1], arguments[2]
    commands = list(zip(arguments[3::2], arguments[4::2]))
    runs = {name: [] for name, _ in commands}
    for round_number in range(rounds):
        for name, command in commands:
            path = fresh_directory(work, name, round_number, current)
            runs[name].append(timed_run(command.format(dir=path)))
            empty_files(path)
    medians = {}
    for name, samples in runs.items():
        medians[name] = {
            "wall": statistics.median(s[0] for s in samples),
            "user": statistics.median(s[1] for s in samples),
            "system": statistics.median(s[2] for s in samples),
            "cpu": statistics.median(s[1] + s[2] for s in samples),
            "runs": samples,
        }
    with open(output, "w") as out:
        json.dump(medians, out, indent=1)


if __name__ == "__main__":
    main()
