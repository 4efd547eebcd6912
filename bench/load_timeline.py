#!/usr/bin/env python3
"""The timeline of bench/load.sh as one PNG drawn with gnuplot: answers and error answers per
second (wrk), the server's p99 per five seconds (its request-duration histogram, scraped
from the admin listener), and its resident memory and open descriptors, with the database
restart marked.

    python3 bench/load_timeline.py WRK_JSON SAMPLES_CSV DURATIONS_CSV --start EPOCH
        --restart BEGIN END --connections N --quiet-from SECOND --out PNG
"""
import argparse
import csv
import json
import math
import os
import subprocess
import tempfile


def quantile(q, bounds, counts):
    """The q-quantile of one interval's histogram, interpolated within its bucket as
    Prometheus's histogram_quantile does; counts are cumulative per upper bound."""
    total = counts[-1]
    if total <= 0:
        return float("nan")
    rank = q * total
    for i, (bound, count) in enumerate(zip(bounds, counts)):
        if count >= rank:
            if math.isinf(bound):
                return bounds[i - 1] if i else float("nan")
            lower = bounds[i - 1] if i else 0.0
            below = counts[i - 1] if i else 0.0
            inside = count - below
            return lower + (bound - lower) * ((rank - below) / inside if inside else 1.0)
    return float("nan")


def read_durations(path):
    """[(seconds, bounds, cumulative counts)] from scrape_durations' lines."""
    scrapes = []
    with open(path) as f:
        for line in f:
            fields = line.strip().split(",")
            if len(fields) < 2:
                continue
            pairs = [field.split("=") for field in fields[1:]]
            bounds = [float(le) for le, _ in pairs]
            scrapes.append((int(fields[0]), bounds, [float(n) for _, n in pairs]))
    return scrapes


def p99_per_interval(scrapes):
    """(seconds, p99 ms) of the requests answered between two scrapes."""
    points = []
    for (_, bounds, before), (seconds, later_bounds, after) in zip(scrapes, scrapes[1:]):
        if bounds != later_bounds:
            continue
        delta = [a - b for a, b in zip(after, before)]
        value = quantile(0.99, bounds, delta)
        if not math.isnan(value):
            points.append((seconds, value * 1000))
    return points


def main():
    p = argparse.ArgumentParser()
    p.add_argument("wrk_json")
    p.add_argument("samples")
    p.add_argument("durations")
    p.add_argument("--start", type=int, required=True)
    p.add_argument("--restart", type=int, nargs=2, required=True)
    p.add_argument("--connections", type=int, required=True)
    p.add_argument("--quiet-from", type=int, required=True,
                   help="second from which only the test page is asked for")
    p.add_argument("--out", required=True)
    a = p.parse_args()
    d = json.loads(a.wrk_json)
    answers = {int(k) - a.start: v for k, v in d.get("answers_at", {}).items()}
    errors = {int(k) - a.start: v for k, v in d.get("errors_at", {}).items()}
    with open(a.samples) as f:
        samples = [{k: int(v) for k, v in row.items() if v} for row in csv.DictReader(f)]
    p99 = p99_per_interval(read_durations(a.durations))
    r0, r1 = a.restart[0] - a.start, a.restart[1] - a.start
    # The restart takes about a second; widen the mark so that it shows at this scale.
    r1 = max(r1, r0 + 1)
    last = max([0] + list(answers) + [s["seconds"] for s in samples])

    with tempfile.TemporaryDirectory() as tmp:
        rates = os.path.join(tmp, "rates.dat")
        with open(rates, "w") as f:
            for second in range(0, last + 1):
                f.write("%d %d %d\n" % (second, answers.get(second, 0), errors.get(second, 0)))
        latency = os.path.join(tmp, "p99.dat")
        with open(latency, "w") as f:
            for second, ms in p99:
                f.write("%d %.3f\n" % (second, ms))
        process = os.path.join(tmp, "process.dat")
        with open(process, "w") as f:
            for s in samples:
                f.write("%d %.2f %d\n" % (s["seconds"], s["rss_kb"] / 1024, s["fds"]))
        script = """
set terminal pngcairo size 1400,1000 font ",10"
set output '{out}'
set multiplot layout 3,1 title 'Load run: {connections} connections of mixed traffic, PostgreSQL restarted at second {r0}'
set xrange [0:{last}]
set grid
set key top right
set lmargin 12
set rmargin 12
set object 1 rect from {r0}, graph 0 to {r1}, graph 1 behind fc rgb '#f4b183' fs solid 0.5 noborder
set label 1 'database restart' at {r1}, graph 0.92 offset 1,0
set object 2 rect from {quiet}, graph 0 to {last}, graph 1 behind fc rgb '#d9d9d9' fs solid 0.5 noborder
set label 2 'test page only' at {quiet}, graph 0.55 right offset -1,0
set ylabel 'per second'
set title 'Answers and error answers per second (wrk)'
plot '{rates}' using 1:2 with lines lw 1 lc rgb '#1f77b4' title 'answers', \\
     '' using 1:3 with impulses lw 2 lc rgb '#d62728' title 'error answers'
set title "p99 per five seconds (the server's request-duration histogram)"
set ylabel 'p99 ms'
set yrange [0:*]
plot '{latency}' using 1:2 with fsteps lw 1.5 lc rgb '#2ca02c' title 'p99'
set title 'Server process (sampled every 5 s)'
set ylabel 'resident memory MB'
set y2label 'open descriptors'
set ytics nomirror
set y2tics
set y2range [0:*]
set xlabel 'seconds since the start'
set key bottom right
plot '{process}' using 1:2 with lines lw 1.5 lc rgb '#9467bd' title 'RSS MB', \\
     '' using 1:3 axes x1y2 with lines lw 1.5 lc rgb '#8c564b' title 'descriptors'
unset multiplot
""".format(out=a.out, rates=rates, latency=latency, process=process, last=last, r0=r0, r1=r1, quiet=a.quiet_from,
           connections=a.connections)
        subprocess.run(["gnuplot"], input=script.encode(), check=True)


if __name__ == "__main__":
    main()
