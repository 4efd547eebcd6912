#!/usr/bin/env bash
# One valid account signing in in a loop (checkLogin with credentials, as fast as wrk
# sends it) against a SQLite site, for each key store setting in turn, sampling the
# server's resident memory (and, for the Redis store, Redis's memory and key count)
# every 10 s. Prints one Markdown table per setting and a summary.
#
#   bash bench/run.sh flood [MINUTES]      (or bash bench/flood.sh [MINUTES])
#
# Settings (environment): FLOOD_MINUTES (default 10; the argument wins), FLOOD_CONNECTIONS
# (default 25), FLOOD_STORES (default "memory unlimited redis": the memory store with its
# default limit of live keys per user, the memory store without a practical limit, the
# Redis store with the default limit), and BENCH_WORK, BENCH_THREADS, BENCH_SKIP_BUILD as
# for bench/run.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=$ROOT/build-bench-release
WORK=${BENCH_WORK:-/tmp/tallyhand-bench}/flood
THREADS=${BENCH_THREADS:-2}
MINUTES=${1:-${FLOOD_MINUTES:-10}}
CONNS=${FLOOD_CONNECTIONS:-25}
STORES=${FLOOD_STORES:-memory unlimited redis}
SAMPLE_SECONDS=10

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"

rss_kb() {
  sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null || echo 0
}

# flood_one STORE: one run; appends "store seconds rss_kb redis_bytes redis_keys" lines to
# $WORK/samples and "store requests errors seconds" to $WORK/totals.
flood_one() {
  local store=$1 site=$WORK/site-$1
  case $store in
    memory) with_session_keys "$WORK/site" "$site" "Store=Memory" ;;
    unlimited) with_session_keys "$WORK/site" "$site" "Store=Memory" "MaxKeysPerUser=10000000" ;;
    redis)
      start_redis
      redis_cli flushall >/dev/null
      mapfile -t lines < <(redis_session_keys)
      with_session_keys "$WORK/site" "$site" "${lines[@]}"
      ;;
    *) die "unknown store setting $store" ;;
  esac
  start_server "$site/Tallyhand_az.so"
  local pid=$SERVER_PID seconds=$((MINUTES * 60))
  write_body "$WORK/login.body" \
    '{"AuthUser":"kwhite","AuthPass":"pw","AuthComp":"Northwind Paving","ReqMethod":"checkLogin"}'
  log "flood [$store]: $MINUTES min, $CONNS connections"
  local out=$WORK/wrk-$store.out
  wrk -t "$THREADS" -c "$CONNS" -d "${seconds}s" --timeout 10s -s "$BENCH/lua/envelope.lua" \
    "http://127.0.0.1:$PORT/tcclientRequest.app" -- "$WORK/login.body" '"key":"' >"$out" &
  local wrk_pid=$! t=0
  while kill -0 "$wrk_pid" 2>/dev/null; do
    local redis_bytes=- redis_keys=-
    if [ "$store" = redis ]; then
      redis_bytes=$(redis_cli info memory | sed -n 's/^used_memory:\([0-9]*\).*/\1/p')
      redis_keys=$(redis_cli dbsize)
    fi
    echo "$store $t $(rss_kb "$pid") $redis_bytes $redis_keys" >>"$WORK/samples"
    sleep "$SAMPLE_SECONDS"
    t=$((t + SAMPLE_SECONDS))
  done
  wait "$wrk_pid" || true
  local json
  json=$(sed -n 's/^BENCHJSON //p' "$out")
  [ -n "$json" ] || die "no result from wrk: $(cat "$out")"
  python3 - "$json" "$store" >>"$WORK/totals" <<'EOF'
import json, sys
d = json.loads(sys.argv[1])
errors = sum(d[k] for k in ("connect", "read", "write", "status", "timeout", "bad_status",
                            "envelope_errors", "unexpected"))
print(sys.argv[2], d["requests"], errors, d["duration_us"] / 1e6)
EOF
  stop_server
}

report() {
  python3 - "$WORK/samples" "$WORK/totals" "$MINUTES" "$CONNS" <<'EOF'
import collections, sys
samples = collections.defaultdict(list)
for line in open(sys.argv[1]):
    store, t, rss, rbytes, rkeys = line.split()
    samples[store].append((int(t), int(rss), rbytes, rkeys))
totals = {}
for line in open(sys.argv[2]):
    store, requests, errors, seconds = line.split()
    totals[store] = (int(requests), int(errors), float(seconds))
names = {"memory": "memory store, MaxKeysPerUser 1000 (default)",
         "unlimited": "memory store, MaxKeysPerUser 10,000,000 (no practical limit)",
         "redis": "Redis store, MaxKeysPerUser 1000 (default)"}
print("Sign-in flood of one account: %s min, %s connections, SQLite site." % (sys.argv[3], sys.argv[4]))
print()
print("| store | sign-ins | per second | errors | RSS at 1 min MB | RSS at end MB | peak RSS MB | Redis memory at end MB | Redis keys at end |")
print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for store, rows in samples.items():
    requests, errors, seconds = totals.get(store, (0, 0, 1))
    at_minute = next((r for r in rows if r[0] >= 60), rows[-1])
    last = rows[-1]
    redis_mb = "%.1f" % (int(last[2]) / 2**20) if last[2] != "-" else "-"
    print("| %s | %d | %.0f | %d | %.1f | %.1f | %.1f | %s | %s |" % (
        names.get(store, store), requests, requests / seconds, errors, at_minute[1] / 1024,
        last[1] / 1024, max(r[1] for r in rows) / 1024, redis_mb, last[3]))
print()
print("Resident memory of the server over the run, MB (sampled every 10 s; one column per minute):")
print()
minutes = sorted({t // 60 for rows in samples.values() for t, *_ in rows})
print("| store | " + " | ".join("%d min" % m for m in minutes) + " |")
print("|---|" + "---:|" * len(minutes))
for store, rows in samples.items():
    by_minute = {}
    for t, rss, *_ in rows:
        by_minute.setdefault(t // 60, rss)
    print("| %s | " % store + " | ".join("%.1f" % (by_minute[m] / 1024) if m in by_minute else "-"
                                         for m in minutes) + " |")
EOF
}

main() {
  build
  rm -rf "$WORK"
  mkdir -p "$WORK/bin"
  cp "$BUILD/tallyhand-server" "$WORK/bin/"
  : >"$WORK/samples"
  : >"$WORK/totals"
  make_site "$WORK/site" sqlite
  for store in $STORES; do flood_one "$store"; done
  report
}

main
