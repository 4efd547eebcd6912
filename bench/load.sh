#!/usr/bin/env bash
# The load run: mixed traffic from many connections against tallyhand-server on a
# PostgreSQL site, with the database server restarted once in the middle. Prints a report
# of every error class, what was created against the successful answers, and the
# server's open descriptors and resident memory over the run, and draws its timeline
# (bench/RESULTS-load-timeline.png).
#
#   bash bench/run.sh load [MINUTES]      (or bash bench/load.sh [MINUTES])
#
# Settings (environment): LOAD_MINUTES (default 10; the argument wins), LOAD_CONNECTIONS
# (default 100), LOAD_JPEG_BYTES (default 32768), LOAD_WARMUP_SECONDS (the memory and
# descriptor baseline is taken this long after the start; default 30), and BENCH_WORK,
# BENCH_THREADS, BENCH_SKIP_BUILD, BENCH_PG_ENV as for bench/run.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=$ROOT/build-bench-release
WORK=${BENCH_WORK:-/tmp/tallyhand-bench}/load
THREADS=${BENCH_THREADS:-2}
MINUTES=${1:-${LOAD_MINUTES:-10}}
CONNS=${LOAD_CONNECTIONS:-100}
JPEG_BYTES=${LOAD_JPEG_BYTES:-32768}
WARMUP_SECONDS=${LOAD_WARMUP_SECONDS:-30}

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"

count_rows() {
  pg_sql "SELECT (SELECT count(*) FROM daily_reports), (SELECT count(*) FROM time_cards),
                 (SELECT count(*) FROM employee_pictures)" thload | tr '|' ' '
}

# The server's request-duration histogram, summed over the actions: one CSV line
# "SECONDS,LE=COUNT,..." of cumulative counts, from which the report takes the p99 of
# each five seconds as a Prometheus query over the same scrapes would.
scrape_durations() {
  curl -sf --max-time 2 "http://127.0.0.1:$1/metrics" | awk -v s="$2" '
    /^tallyhand_http_request_duration_seconds_bucket/ {
      match($0, /le="[^"]*"/); le = substr($0, RSTART + 4, RLENGTH - 5)
      if (!(le in sum)) order[++n] = le
      sum[le] += $NF
    }
    END { if (n) { printf "%s", s; for (i = 1; i <= n; i++) printf ",%s=%s", order[i], sum[order[i]]; print "" } }'
}

status_field() {
  sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"
}

main() {
  build
  rm -rf "$WORK"
  mkdir -p "$WORK/bin"
  cp "$BUILD/tallyhand-server" "$WORK/bin/"
  "$BUILD/bench/bench_make_jpeg" "$WORK/upload.jpg" "$JPEG_BYTES"
  start_pg
  make_site "$WORK/site" pg thload
  SERVER_ADMIN_ARGS="--admin-listen 127.0.0.1:0" start_server "$WORK/site/Tallyhand_az.so"
  local pid=$SERVER_PID base_reports base_cards base_pictures admin
  admin=$(admin_port)
  read -r base_reports base_cards base_pictures < <(count_rows)
  local max_card max_report
  max_card=$(pg_sql "SELECT coalesce(max(TimeCardID),0) FROM time_cards" thload)
  max_report=$(pg_sql "SELECT coalesce(max(PMID),0) FROM daily_reports" thload)

  local seconds=$((MINUTES * 60))
  [ "$seconds" -gt 0 ] || die "the run needs at least one minute"
  log "load run: ${MINUTES} min, $CONNS connections, server pid $pid on port $PORT"
  wrk -t "$THREADS" -c "$CONNS" -d "${seconds}s" --timeout 15s -s "$BENCH/lua/mix.lua" \
    "http://127.0.0.1:$PORT" -- "$WORK/upload.jpg" "$(($(date +%s) + seconds))" 3 >"$WORK/wrk.out" 2>&1 &
  local wrk_pid=$! start
  start=$(date +%s)
  echo "seconds,rss_kb,hwm_kb,fds,threads" >"$WORK/samples.csv"
  : >"$WORK/durations.csv"
  local restarted=0 restart_begin=0 restart_end=0 now
  while kill -0 "$wrk_pid" 2>/dev/null; do
    now=$(date +%s)
    echo "$((now - start)),$(status_field "$pid" VmRSS),$(status_field "$pid" VmHWM),$(ls "/proc/$pid/fd" | wc -l),$(ls "/proc/$pid/task" | wc -l)" \
      >>"$WORK/samples.csv"
    scrape_durations "$admin" "$((now - start))" >>"$WORK/durations.csv" || true
    if [ "$restarted" = 0 ] && [ $((now - start)) -ge $((seconds / 2)) ]; then
      restart_begin=$(date +%s)
      log "restarting PostgreSQL"
      "$TALLYHAND_PG_CTL" -D "$TALLYHAND_PG_DATA" -m fast -w restart >/dev/null
      restart_end=$(date +%s)
      restarted=1
    fi
    sleep 5
  done
  wait "$wrk_pid" || true
  sleep 1
  local end_fds end_rss
  end_fds=$(ls "/proc/$pid/fd" | wc -l)
  end_rss=$(status_field "$pid" VmRSS)
  local reports cards pictures
  read -r reports cards pictures < <(count_rows)
  local files
  files=$(find "$WORK/bin/mobiletcimages" -name 'load-*.jpg' 2>/dev/null | wc -l)
  local doubled orphans unbacked
  # Two daily reports for one user, job and day: a doubled report.
  doubled=$(pg_sql "SELECT count(*) FROM (SELECT 1 FROM daily_reports WHERE PMID > $max_report
                     GROUP BY UserID, Job, WorkDate HAVING count(*) > 1) d" thload)
  # A new time card must point at a report of its own user, job and day.
  orphans=$(pg_sql "SELECT count(*) FROM time_cards t LEFT JOIN daily_reports d ON d.PMID = t.PMID
                    WHERE t.TimeCardID > $max_card AND (d.PMID IS NULL OR d.UserID <> t.UserID
                    OR d.Job <> t.Job OR d.WorkDate <> t.WorkDate)" thload)
  # A new report without any time card: created by a write that then failed.
  unbacked=$(pg_sql "SELECT count(*) FROM daily_reports d WHERE d.PMID > $max_report AND NOT EXISTS
                     (SELECT 1 FROM time_cards t WHERE t.PMID = d.PMID)" thload)
  local uploaded_rows_without_file
  uploaded_rows_without_file=$(pg_sql "SELECT FileName FROM employee_pictures WHERE DevId = 'load'" thload |
    while read -r f; do [ -f "$f" ] || echo "$f"; done | wc -l)
  stop_server
  local json
  json=$(sed -n 's/^LOADJSON //p' "$WORK/wrk.out")
  [ -n "$json" ] || die "no result from wrk: $(cat "$WORK/wrk.out")"
  python3 "$BENCH/load_report.py" "$json" "$WORK/samples.csv" \
    --minutes "$MINUTES" --connections "$CONNS" --jpeg-bytes "$JPEG_BYTES" --warmup "$WARMUP_SECONDS" \
    --start "$start" --restart "$restart_begin" "$restart_end" \
    --created "$((reports - base_reports))" "$((cards - base_cards))" "$((pictures - base_pictures))" "$files" \
    --checks "$doubled" "$orphans" "$unbacked" "$uploaded_rows_without_file" \
    --end "$end_fds" "$end_rss" | tee "$WORK/report.md"
  python3 "$BENCH/load_timeline.py" "$json" "$WORK/samples.csv" "$WORK/durations.csv" \
    --start "$start" --restart "$restart_begin" "$restart_end" --connections "$CONNS" --quiet-from "$((seconds - 3))" \
    --out "$BENCH/RESULTS-load-timeline.png"
  rm -rf "$WORK/bin/mobiletcimages"
}

main "$@"
