#!/usr/bin/env python3
"""Formats the cells of bench/run.sh (one JSON object per line) as one Markdown table.

Every row gets its ratio to row 1 (the ceiling) at the same connection count, measured in
the same run. The server's CPU time per request (user and system, all its threads, over
the measured run) is steadier than requests per second on a machine shared with wrk.
Errors add up socket errors, answers of status 400 or more (wrk), answers
other than 200, envelopes whose error flag is set, and answers lacking the expected member.
"""
import argparse
import json
import os


def load_cells(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def rps(cell):
    return cell["requests"] / cell["duration_us"] * 1e6


def errors(cell):
    return sum(cell[k] for k in ("connect", "read", "write", "status", "timeout",
                                 "bad_status", "envelope_errors", "unexpected"))


def key_rows(path):
    if not path or not os.path.exists(path):
        return []
    with open(path) as f:
        data = json.load(f)
    rows = []
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") != "median":
            continue
        rows.append((b["run_name"], b["cpu_time"], b.get("time_unit", "ns")))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("key_lookup", nargs="?")
    parser.add_argument("--meta", default="")
    parser.add_argument("--limits", default="")
    args = parser.parse_args()

    cells = load_cells(args.results)
    ceiling = {c["conns"]: rps(c) for c in cells if c["row"] == "1"}
    peer = {c["conns"]: rps(c) for c in cells if c["row"] == "0"}

    print("| row | what | db | conns | req/s | vs ceiling | p50 ms | p99 ms | errors | peak RSS MB "
          "| server CPU µs/req |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for c in cells:
        r = rps(c)
        if c["row"] == "0":
            ratio = "nginx" if c["conns"] not in ceiling else "%.2f" % (r / ceiling[c["conns"]])
        elif c["conns"] in ceiling:
            ratio = "%.2f" % (r / ceiling[c["conns"]])
        else:
            ratio = "-"
        cpu = "%.1f" % (c["cpu_us"] / c["requests"]) if c.get("cpu_us") and c["requests"] else "-"
        print("| %s | %s | %s | %d | %.0f | %s | %.2f | %.2f | %d | %.1f | %s |" % (
            c["row"], c["label"], c["driver"], c["conns"], r, ratio, c["p50_us"] / 1000,
            c["p99_us"] / 1000, errors(c), c["rss_kb"] / 1024, cpu))
    if peer and ceiling:
        print()
        for conns in sorted(ceiling):
            if conns in peer:
                print("Ceiling vs nginx at %d connections: %.2f" % (conns, ceiling[conns] / peer[conns]))
    # Over TLS: the host's own ceiling against nginx serving the same bytes, same
    # protocol version and cipher, both kept alive.
    tls_ceiling = {c["conns"]: rps(c) for c in cells if c["row"] == "1S"}
    tls_peer = {c["conns"]: rps(c) for c in cells if c["row"] == "0S"}
    if tls_ceiling and tls_peer:
        print()
        for conns in sorted(tls_ceiling):
            if conns in tls_peer:
                print("TLS ceiling vs nginx TLS at %d connections: %.2f (target >= 0.9)" % (
                    conns, tls_ceiling[conns] / tls_peer[conns]))
    # The keyed call with the Redis key store against the same call with the memory store,
    # measured in the same run.
    memory = {(c["driver"], c["conns"]): c for c in cells if c["row"] == "4"}
    shared = [c for c in cells if c["row"] == "4R" and (c["driver"], c["conns"]) in memory]
    if shared:
        print()
        for c in shared:
            m = memory[(c["driver"], c["conns"])]
            print("Keyed call, Redis key store vs memory store [%s] at %d connections: %.2f of the rate"
                  "%s" % (c["driver"], c["conns"], rps(c) / rps(m),
                          ", %.1f against %.1f server CPU µs/req" % (c["cpu_us"] / c["requests"],
                                                                      m["cpu_us"] / m["requests"])
                          if c.get("cpu_us") and m.get("cpu_us") else ""))
    # Cells of an earlier build (BENCH_BEFORE) against the same cell of this build.
    before_suffix = " (before)"
    now = {(c["row"], c["driver"], c["conns"]): c for c in cells
           if not c["label"].endswith(before_suffix)}
    pairs = [(b, now[(b["row"], b["driver"], b["conns"])]) for b in cells
             if b["label"].endswith(before_suffix) and (b["row"], b["driver"], b["conns"]) in now]
    if pairs:
        print()
        for b, n in pairs:
            print("Row %s [%s] at %d connections, this build vs before: %.2f of the rate, p99 %.2f "
                  "against %.2f ms%s" % (
                      n["row"], n["driver"], n["conns"], rps(n) / rps(b), n["p99_us"] / 1000,
                      b["p99_us"] / 1000,
                      ", %.1f against %.1f server CPU µs/req" % (n["cpu_us"] / n["requests"],
                                                                  b["cpu_us"] / b["requests"])
                      if n.get("cpu_us") and b.get("cpu_us") else ""))
    limits = load_cells(args.limits) if args.limits and os.path.exists(args.limits) else []
    if limits:
        what = {"commit": "durable one-row SQLite commits, one after another",
                "upload": "100 KB file written, fsynced and renamed, plus one durable row"}
        print()
        print("Row L: the disk's limits, in process, one thread (bench/limits):")
        print()
        print("| limit | per second | CPU µs each | wall µs each |")
        print("|---|---:|---:|---:|")
        for l in limits:
            print("| %s | %.0f | %.1f | %.1f |" % (what.get(l["limit"], l["limit"]), l["per_second"],
                                                 l["cpu_us"], l["wall_us"]))
    # Rows 1 and 4 with the admin listener on and scraped every second, against off.
    lines = []
    for off_row, on_row, what in [("1", "1A", "ceiling"), ("4", "4A", "keyed call")]:
        off = {(c["driver"], c["conns"]): c for c in cells if c["row"] == off_row}
        for c in cells:
            if c["row"] != on_row or (c["driver"], c["conns"]) not in off:
                continue
            o = off[(c["driver"], c["conns"])]
            cpu = ""
            if c.get("cpu_us") and o.get("cpu_us"):
                on_cpu, off_cpu = c["cpu_us"] / c["requests"], o["cpu_us"] / o["requests"]
                cpu = ", server CPU %.1f against %.1f µs/req (%+.1f %%)" % (
                    on_cpu, off_cpu, (on_cpu / off_cpu - 1) * 100)
            lines.append("Admin listener scraped every second vs off, %s [%s] at %d connections: "
                         "%+.1f %% req/s%s" % (what, c["driver"], c["conns"],
                                               (rps(c) / rps(o) - 1) * 100, cpu))
    if lines:
        print()
        for line in lines:
            print(line)
    firsts = [c for c in cells if errors(c) and c.get("first_error")]
    if firsts:
        print()
        for c in firsts:
            print("First error answer of row %s [%s] c=%d: `%s`" % (
                c["row"], c["driver"], c["conns"], c["first_error"].replace("`", "'")[:200]))
    keys = key_rows(args.key_lookup)
    if keys:
        print()
        print("Row K: the session key table in process (bench/key_lookup, median CPU time):")
        print()
        print("| benchmark | time |")
        print("|---|---:|")
        for name, time, unit in keys:
            print("| %s | %.0f %s |" % (name, time, unit))
    if args.meta:
        print()
        print(args.meta)


if __name__ == "__main__":
    main()
