#!/usr/bin/env python3
"""The report of bench/load.sh: error classes, created rows and files against successful
answers, and the server's descriptors and memory over the run (Markdown)."""
import argparse
import csv
import json
import time


def main():
    p = argparse.ArgumentParser()
    p.add_argument("wrk_json")
    p.add_argument("samples")
    p.add_argument("--minutes", type=int)
    p.add_argument("--connections", type=int)
    p.add_argument("--jpeg-bytes", type=int)
    p.add_argument("--warmup", type=int)
    p.add_argument("--start", type=int)
    p.add_argument("--restart", type=int, nargs=2)
    p.add_argument("--created", type=int, nargs=4)
    p.add_argument("--checks", type=int, nargs=4)
    p.add_argument("--end", type=int, nargs=2)
    a = p.parse_args()
    d = json.loads(a.wrk_json)
    sent, ok, errors, failed = d["sent"], d["ok"], d["errors"], d["failed"]
    reports, cards, pictures, files = a.created
    doubled, orphans, unbacked, rows_without_file = a.checks
    r0, r1 = a.restart[0] - a.start, a.restart[1] - a.start

    print("### Load run")
    print()
    print("%d minutes, %d connections, wrk -t 2, PostgreSQL site; uploads of %d bytes; "
          "PostgreSQL restarted (pg_ctl restart -m fast) from second %d to %d." % (
              a.minutes, a.connections, a.jpeg_bytes, r0, r1))
    print()
    seconds = d["duration_us"] / 1e6
    print("%d answers in %.0f s (%.0f/s), p50 %.1f ms, p99 %.1f ms, max %.0f ms." % (
        d["requests"], seconds, d["requests"] / seconds, d["p50_us"] / 1000, d["p99_us"] / 1000,
        d["max_us"] / 1000))
    print()
    print("| kind | sent | successful answers | error answers |")
    print("|---|---:|---:|---:|")
    for kind in ("signin", "call_key", "call_credentials", "timecard", "upload", "malformed",
                 "test_page"):
        good = d["expected_errors"] if kind == "malformed" else ok.get(kind, 0)
        print("| %s | %d | %d | %d |" % (kind, sent.get(kind, 0), good, failed.get(kind, 0)))
    if failed.get("unknown"):
        print("| (error answer without a RID) | | | %d |" % failed["unknown"])
    if ok.get("other"):
        print("| other success | | %d |" % ok["other"])
    print()
    print("(malformed: half invalid JSON, half a malformed percent escape; the successful "
          "answer is the expected error envelope. \"sent\" includes the requests still in "
          "flight when wrk stopped: in the last 3 s only the test page is asked for, so those "
          "write nothing.)")
    print()
    print("Error classes (socket errors from wrk; answers by their message):")
    print()
    print("| class | count | first s | last s | explained |")
    print("|---|---:|---:|---:|---|")
    unexplained = 0
    for name in ("connect", "read", "write", "timeout"):
        if d[name]:
            print("| socket %s | %d | | | no |" % (name, d[name]))
            unexplained += d[name]
    for cls, n in sorted(errors.items(), key=lambda kv: -kv[1]):
        first, last = d["error_first"][cls] - a.start, d["error_last"][cls] - a.start
        # Within the restart (and the second around it): the database was away.
        explained = r0 - 1 <= first and last <= r1 + 1
        if not explained:
            unexplained += n
        print("| %s | %d | %d | %d | %s |" % (cls.replace("|", "/"), n, first, last,
                                               "database restart" if explained else "NO"))
    if not errors and not any(d[n] for n in ("connect", "read", "write", "timeout")):
        print("| (none) | 0 | | | |")
    print()
    print("Unexplained errors: %d." % unexplained)
    print()
    print("Created against successful answers:")
    print()
    print("| | created | successful answers | error answers | check |")
    print("|---|---:|---:|---:|---|")

    def check(created, kind):
        good, bad = ok.get(kind, 0), failed.get(kind, 0)
        # An error answer may come after the write committed (the database went away
        # before the answer was read back), so created may exceed good by at most bad.
        if created == good:
            verdict = "equal"
        elif good < created <= good + bad:
            verdict = "%d more, within the error answers" % (created - good)
        else:
            verdict = "MISMATCH"
        print("| %s | %d | %d | %d | %s |" % (what[kind], created, good, bad, verdict))

    what = {"timecard": "time cards", "upload": "picture rows"}
    check(cards, "timecard")
    check(pictures, "upload")
    what["upload"] = "picture files (saved before the database is asked)"
    check(files, "upload")
    print("| daily reports | %d | | | %d doubled (same user, job, day), %d without a time card |" % (
        reports, doubled, unbacked))
    print("| time cards on a wrong or missing report | %d | | | |" % orphans)
    print("| picture rows whose file is missing | %d | | | |" % rows_without_file)
    print()
    with open(a.samples) as f:
        samples = [{k: int(v) for k, v in row.items() if v} for row in csv.DictReader(f)]
    if samples:
        base = next((s for s in samples if s["seconds"] >= a.warmup), samples[0])
        first, last = samples[0], samples[-1]
        print("Server process (sampled every 5 s):")
        print()
        print("| | second | open descriptors | RSS MB | threads |")
        print("|---|---:|---:|---:|---:|")
        print("| start | %d | %d | %.1f | %d |" % (first["seconds"], first["fds"], first["rss_kb"] / 1024, first["threads"]))
        print("| after warm-up | %d | %d | %.1f | %d |" % (base["seconds"], base["fds"], base["rss_kb"] / 1024, base["threads"]))
        print("| last sample | %d | %d | %.1f | %d |" % (last["seconds"], last["fds"], last["rss_kb"] / 1024, last["threads"]))
        print("| after wrk ended | | %d | %.1f | |" % (a.end[0], a.end[1] / 1024))
        print("| peak | | %d | %.1f (VmHWM) | |" % (max(s["fds"] for s in samples), max(s["hwm_kb"] for s in samples) / 1024))
    print()
    print("Timeline (answers and errors per second, p99 per five seconds, memory and descriptors): "
          "`RESULTS-load-timeline.png`.")
    print()
    print("Generated %s." % time.strftime("%Y-%m-%d %H:%M:%S %Z"))


if __name__ == "__main__":
    main()
