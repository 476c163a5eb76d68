#!/usr/bin/env python3
"""Reads the updater's --progress output on standard input as a host would: every line is parsed
as JSON. Exits 1 when a line does not parse, or when there are lines and the last one is not
{"phase":"done"} with exit 0; prints the number of lines read to standard error with -v."""
import json
import sys


def main():
    count = 0
    last = None
    for line in sys.stdin.buffer:
        last = json.loads(line)
        if not isinstance(last, dict) or "phase" not in last:
            sys.exit(f"progress_reader: not a progress line: {line!r}")
        count += 1
    if last is not None and (last["phase"] != "done" or last.get("exit") != 0):
        sys.exit(f"progress_reader: the last line is {last}")
    if "-v" in sys.argv[1:]:
        print(f"{count} lines", file=sys.stderr)


if __name__ == "__main__":
    main()
