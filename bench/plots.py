#!/usr/bin/env python3
"""PNG plots of bench/run.sh's cells with gnuplot: requests per second and p99 per row,
each against the ceiling (row 1) and nginx (row 0) at the same connection count.

    python3 bench/plots.py RESULTS.jsonl OUT_FOLDER

Writes OUT_FOLDER/RESULTS-requests-per-second.png and OUT_FOLDER/RESULTS-p99.png (log scales: the rows
span four orders of magnitude).
"""
import json
import os
import subprocess
import sys
import tempfile


def rps(cell):
    return cell["requests"] / cell["duration_us"] * 1e6


def references(ceiling, peer, ceiling_column, peer_column):
    """The reference bars the run measured (rows 0 and 1 may have been left out)."""
    refs = ""
    if ceiling:
        refs += ", '' using %d title 'ceiling (minimal extension)'" % ceiling_column
    if peer:
        refs += ", '' using %d title 'nginx static file'" % peer_column
    return refs


def main():
    results, out = sys.argv[1], sys.argv[2]
    with open(results) as f:
        cells = [json.loads(line) for line in f if line.strip()]
    ceiling = {c["conns"]: c for c in cells if c["row"] == "1"}
    peer = {c["conns"]: c for c in cells if c["row"] == "0"}
    rows = [c for c in cells if c["row"] not in ("0", "1")]
    if not rows:
        return
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "cells.dat")
        with open(data, "w") as f:
            for c in rows:
                label = "%s %s %s c%d" % (c["row"], c["driver"],
                                          "before" if c["label"].endswith("(before)") else "",
                                          c["conns"])
                cap = ceiling.get(c["conns"])
                ngx = peer.get(c["conns"])
                f.write('"%s" %.1f %.3f %.1f %.3f %.1f %.3f\n' % (
                    " ".join(label.split()), rps(c), c["p99_us"] / 1000,
                    rps(cap) if cap else float("nan"), cap["p99_us"] / 1000 if cap else float("nan"),
                    rps(ngx) if ngx else float("nan"), ngx["p99_us"] / 1000 if ngx else float("nan")))
        script = """
set terminal pngcairo size 1400,700 font ",10"
set datafile missing "nan"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set xtics rotate by -45 scale 0
set logscale y
set grid ytics
set key outside top center horizontal
set output '{out}/RESULTS-requests-per-second.png'
set title 'Requests per second per row (wrk on loopback), against the ceiling and nginx at the same connections'
set ylabel 'requests/s (log)'
plot '{data}' using 2:xtic(1) title 'row'{rps_refs}
set output '{out}/RESULTS-p99.png'
set title 'p99 latency per row, against the ceiling and nginx at the same connections'
set ylabel 'p99 ms (log)'
plot '{data}' using 3:xtic(1) title 'row'{p99_refs}
""".format(out=out, data=data,
           rps_refs=references(ceiling, peer, 4, 6), p99_refs=references(ceiling, peer, 5, 7))
        subprocess.run(["gnuplot"], input=script.encode(), check=True)


if __name__ == "__main__":
    main()
