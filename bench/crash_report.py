#!/usr/bin/env python3
"""Markdown report of bench/crash.sh: reads the lines the two crash tests print."""
import re
import statistics
import sys

ROUND = re.compile(
    r"crash round (\d+): killed after (\d+) ms; answered success (\d+), refused (\d+), no answer (\d+); "
    r"temporary files left (\d+); stored without an answer (\d+); lost (\d+), duplicated (\d+), "
    r"partial pictures (\d+), stray files (\d+); integrity (.*); back in (\d+) ms")
DB_ROUND = re.compile(
    r"database kill (\d+): after (\d+) ms; while down: (\d+) refused, (\d+) success, (\d+) no answer, "
    r"slowest (\d+) ms; back after the restart: (\d+) success")
DB_TOTAL = re.compile(
    r"database kills: (\d+); (\d+) writes answered success and checked, (\d+) refused; lost (\d+), "
    r"duplicated (\d+), partial pictures (\d+)")


def spread(values):
    if not values:
        return "-"
    return f"{min(values)} / {int(statistics.median(values))} / {max(values)}"


def server_kills(text):
    rounds = [m.groups() for m in ROUND.finditer(text)]
    passed = "[  PASSED  ]" in text
    seed = re.search(r"crash seed (\d+)", text)
    col = lambda i: [int(r[i]) for r in rounds]
    print(f"### Server killed (SIGKILL), SQLite site: {len(rounds)} kills, "
          f"test {'passed' if passed else 'FAILED'} (seed {seed.group(1) if seed else '?'})\n")
    print("| figure | value |\n|---|---|")
    print(f"| moment of the kill after the load began (min / median / max) | {spread(col(1))} ms |")
    print(f"| writes answered success, all checked after the restart | {sum(col(2))} |")
    print(f"| requests without an answer (cut off by the kill, or sent while it was down) | {sum(col(4))} |")
    print(f"| of those, stored anyway (allowed: the answer was lost, not the write) | {sum(col(6))} |")
    # Each round checks everything written so far: the last round's count is the run's.
    last = lambda i: max(col(i)) if rounds else 0
    print(f"| answered success but lost / stored twice | {last(7)} / {last(8)} |")
    print(f"| pictures under a final name that were not the whole JPEG sent / stray files | "
          f"{last(9)} / {last(10)} |")
    left = col(5)
    print(f"| kills that left temporary upload files (all removed at start) | "
          f"{sum(1 for v in left if v)} kills, {sum(left)} files |")
    print(f"| `PRAGMA integrity_check` ok | {sum(1 for r in rounds if r[11] == 'ok')} of {len(rounds)} |")
    print(f"| restart until listening (min / median / max) | {spread(col(12))} ms |\n")


def database_kills(text):
    rounds = [m.groups() for m in DB_ROUND.finditer(text)]
    total = DB_TOTAL.search(text)
    passed = "[  PASSED  ]" in text
    col = lambda i: [int(r[i]) for r in rounds]
    print(f"### PostgreSQL killed (SIGKILL of every process), restarted 2 s later: {len(rounds)} kills, "
          f"test {'passed' if passed else 'FAILED'}\n")
    print("| figure | value |\n|---|---|")
    print(f"| requests answered while the database was down: error envelopes / success / no answer | "
          f"{sum(col(2))} / {sum(col(3))} / {sum(col(4))} |")
    print(f"| slowest answer while down (min / median / max over the kills) | {spread(col(5))} ms |")
    if total:
        print(f"| writes answered success, all checked at the end | {total.group(2)} |")
        print(f"| answered success but lost / stored twice / partial pictures | "
              f"{total.group(4)} / {total.group(5)} / {total.group(6)} |")
    print()


def main():
    server_kills(open(sys.argv[1]).read())
    database_kills(open(sys.argv[2]).read())


if __name__ == "__main__":
    main()
