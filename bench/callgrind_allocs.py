#!/usr/bin/env python3
"""Per-request figures from two callgrind runs of the same server (bench/callgrind.sh).

The runs were made with --separate-callers12=malloc, so every malloc context is named
"malloc'caller'caller'...". A call site is the first caller that is neither the C++
runtime nor the standard library's containers and strings."""
import re
import sys
from collections import Counter

RUNTIME = re.compile(
    r"^(operator new|std::|__gnu_cxx::|__cxx|_Znwm|_Znam|\?\?\?|0x|__libc_|"
    r"__gnu|void std::|char\* std::|boost::asio::detail::thread_info_base|"
    r"__allocated_ptr|__new_allocator)"
)


def read(path):
    """Totals (Ir) and malloc calls by call site."""
    names = {}
    total = 0
    sites = Counter()
    callee = None
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
                continue
            m = re.match(r"^cfn=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if m:
                if m.group(2) is not None:
                    names[m.group(1)] = m.group(2)
                callee = names.get(m.group(1), "")
                continue
            m = re.match(r"^fn=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if m:
                if m.group(2) is not None:
                    names[m.group(1)] = m.group(2)
                callee = None
                continue
            if line.startswith("calls=") and callee is not None:
                count = int(line.split()[0][6:])
                if callee.startswith("malloc'") or callee == "malloc":
                    sites[site_of(callee)] += count
                callee = None
    return total, sites


def site_of(context):
    frames = context.split("'")[1:]
    for frame in frames:
        if not RUNTIME.match(frame):
            return frame
    return frames[-1] if frames else "(malloc)"


def main():
    few, many, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    t0, s0 = read(few)
    t1, s1 = read(many)
    diff = Counter()
    for k in set(s0) | set(s1):
        d = s1.get(k, 0) - s0.get(k, 0)
        if d:
            diff[k] = d
    allocs = sum(diff.values())
    print(f"instructions per request: {(t1 - t0) / n:,.0f}")
    print(f"malloc calls per request: {allocs / n:.1f}")
    print("by call site (per request):")
    for site, d in sorted(diff.items(), key=lambda kv: -kv[1]):
        if abs(d) / n >= 0.05:
            print(f"  {d / n:6.1f}  {site[:160]}")


if __name__ == "__main__":
    main()
