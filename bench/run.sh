#!/usr/bin/env bash
# Load benchmark of tallyhand-server on loopback, driven by wrk.
#
#   bash bench/run.sh          build in release mode, run every row of the table, print it
#   bash bench/run.sh load     the long mixed-traffic run (bench/load.sh does the work)
#   bash bench/run.sh flood    one account signing in in a loop (bench/flood.sh)
#
# Settings (environment):
#   BENCH_WORK          scratch folder (default /tmp/tallyhand-bench; emptied first)
#   BENCH_WARMUP        seconds of warm-up per cell (default 3)
#   BENCH_DURATION      seconds measured per cell (default 10)
#   BENCH_CONNECTIONS   connection counts (default "25 100")
#   BENCH_THREADS       wrk threads (default 2)
#   BENCH_ROWS          rows to run (default "0 1 1A 2 3 4 4A 4R 5 6 0S 1S 2S 4S 4N K L";
#                       the S rows over the host's TLS, 0S nginx over TLS, 4N
#                       nginx's TLS in front of the plain server; 1A and 4A rows 1 and
#                       4 with the admin listener on and scraped every second)
#   BENCH_BEFORE        build folder of an earlier commit (its tallyhand-server and
#                       Tallyhand_az.so): rows 3 to 6 run with it too, right before the
#                       same cell with this build, labelled (before)
#   BENCH_LIMIT_SECONDS seconds per limit of row L (default 5)
#   BENCH_PLOTS         folder of the PNG plots (default bench/, beside RESULTS.md)
#   BENCH_DRIVERS       drivers for rows 3 to 6 (default "sqlite pg odbc"; odbc is
#                       psqlODBC against the same PostgreSQL server)
#   BENCH_SERVER_ARGS   extra tallyhand-server options for every cell (e.g. "--io-threads 1")
#   BENCH_SKIP_BUILD=1  use the existing build-bench-release
#   BENCH_PG_ENV        env file of a running PostgreSQL test server to use instead of
#                       starting one (default: start one under /tmp/tallyhand-pg-bench)
#
# Every cell restarts the server, so the peak resident memory (VmHWM) is the cell's own.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=$ROOT/build-bench-release
WORK=${BENCH_WORK:-/tmp/tallyhand-bench}
WARMUP=${BENCH_WARMUP:-3}
DURATION=${BENCH_DURATION:-10}
CONNECTIONS=${BENCH_CONNECTIONS:-25 100}
THREADS=${BENCH_THREADS:-2}
ROWS=${BENCH_ROWS:-0 1 1A 2 3 4 4A 4R 5 6 0S 1S 2S 4S 4N K L}
BEFORE=${BENCH_BEFORE:-}
DRIVERS=${BENCH_DRIVERS:-sqlite pg odbc}
RESULTS=$WORK/results.jsonl

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"

# ---- rows -------------------------------------------------------------------------------
row_peer() {
  local c
  for c in $CONNECTIONS; do
    start_nginx
    local worker
    worker=$(pgrep -P "$NGINX_PID" | head -n 1)
    measure 0 "peer: nginx static file" - "$c" "$worker" "http://127.0.0.1:$PORT/test.app" plain.lua
    stop_nginx
  done
}

row_ceiling() {
  local c
  for c in $CONNECTIONS; do
    if wants 1; then
      start_server "$BUILD/minimal_extension.so"
      measure 1 "ceiling: minimal extension" - "$c" "$SERVER_PID" \
        "http://127.0.0.1:$PORT/anything?size=$PAGE_SIZE" plain.lua
      stop_server
    fi
    if wants 1A; then
      SERVER_ADMIN_ARGS="--admin-listen 127.0.0.1:0" start_server "$BUILD/minimal_extension.so"
      start_scraper
      measure 1A "ceiling, admin listener scraped every second" - "$c" "$SERVER_PID" \
        "http://127.0.0.1:$PORT/anything?size=$PAGE_SIZE" plain.lua
      stop_scraper
      stop_server
    fi
  done
}

row_test_page() {
  local c
  for c in $CONNECTIONS; do
    start_server "$WORK/site-sqlite/Tallyhand_az.so"
    measure 2 "/test.app" sqlite "$c" "$SERVER_PID" "http://127.0.0.1:$PORT/test.app" plain.lua
    stop_server
  done
}

# rows_app DRIVER: rows 3 to 6 on one driver; with BENCH_BEFORE each cell runs first on
# the earlier build (a copy of the site, made before any row wrote to it) and then on this.
rows_app() {
  local driver=$1 site=$WORK/site-$1
  local builds=now
  if [ -n "$BEFORE" ]; then
    builds="before now"
    rm -rf "$site-before"
    cp -r "$site" "$site-before"
    cp "$BEFORE/Tallyhand_az.so" "$site-before/Tallyhand_az.so"
  fi
  for row in 3 4 4A 4R 5 6; do
    case " $ROWS " in *" $row "*) ;; *) continue ;; esac
    local c which
    for c in $CONNECTIONS; do
      for which in $builds; do
        if [ "$which" = before ]; then
          app_cell "$driver" "$site-before" "$row" "$c" before
        else
          app_cell "$driver" "$site" "$row" "$c" ""
        fi
      done
    done
  done
}

# app_cell DRIVER SITE ROW CONNS [before]: one measured cell of rows 3 to 6.
app_cell() {
  local driver=$1 site=$2 row=$3 c=$4 which=$5 key url
  local module=$site/Tallyhand_az.so suffix=""
  if [ "$row" = 4R ]; then
    start_redis
    mapfile -t lines < <(redis_session_keys)
    with_session_keys "$site" "$site-redis" "${lines[@]}"
    module=$site-redis/Tallyhand_az.so
  fi
  local admin=""
  [ "$row" = 4A ] && admin="--admin-listen 127.0.0.1:0"
  if [ "$which" = before ]; then
    suffix=" (before)"
    SERVER_ADMIN_ARGS=$admin start_server "$module" "$WORK/bin-before/tallyhand-server"
  else
    SERVER_ADMIN_ARGS=$admin start_server "$module"
  fi
  [ -n "$admin" ] && start_scraper
  url="http://127.0.0.1:$PORT"
  case $row in
    3)
      write_body "$WORK/login.body" \
        '{"AuthUser":"kwhite","AuthPass":"pw","AuthComp":"Northwind Paving","ReqMethod":"checkLogin"}'
      measure 3 "checkLogin with credentials$suffix" "$driver" "$c" "$SERVER_PID" \
        "$url/tcclientRequest.app" envelope.lua "$WORK/login.body" '"key":"'
      ;;
    4|4A|4R)
      key=$(sign_in)
      [ -n "$key" ] || die "sign-in failed on $driver"
      write_body "$WORK/list.body" \
        "{\"key\":\"$key\",\"ReqMethod\":\"EXECUTE PROCEDURE nvm_DailyReportRecord_List('45','',0);\"}"
      local what="procedure call, live key, 10 rows"
      [ "$row" = 4R ] && what="procedure call, live key, 10 rows, Redis key store"
      [ "$row" = 4A ] && what="procedure call, live key, 10 rows, admin listener scraped every second"
      what+=$suffix
      measure "$row" "$what" "$driver" "$c" "$SERVER_PID" \
        "$url/tcclientRequest.app" envelope.lua "$WORK/list.body" '"PMID"'
      ;;
    5)
      key=$(sign_in)
      [ -n "$key" ] || die "sign-in failed on $driver"
      # Report 3 of user 45 is JOB 1 on 03/02/2020: the id check finds it unchanged.
      write_body "$WORK/timecard.body" \
        "{\"key\":\"$key\",\"ReqMethod\":\"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(_userID_,0,3,'03/02/2020','7','08:00','16:00',8,'CC','EQ','note','JOB 1','open');\"}"
      measure 5 "time-card write (special-method check)$suffix" "$driver" "$c" "$SERVER_PID" \
        "$url/tcclientRequest.app" envelope.lua "$WORK/timecard.body" '"TimeCardID"'
      ;;
    6)
      key=$(sign_in)
      [ -n "$key" ] || die "sign-in failed on $driver"
      measure 6 "100 KB JPEG upload, live key$suffix" "$driver" "$c" "$SERVER_PID" \
        "$url/tcclientData2.app?key=$key&pmid=3&e_no=7&clock_type=1&lat=45.5&lon=-122.6&clock_date=03%2F02%2F2020%2008%3A00&oclock_date=03%2F02%2F2020%2008%3A00&tskey=t1&devId=bench&RID=1" \
        upload.lua "$WORK/upload.jpg"
      rm -rf "$WORK/bin/mobiletcimages" "$WORK/bin-before/mobiletcimages"
      ;;
  esac
  if [ -n "$admin" ]; then
    stop_scraper
    # The page as the scraper last saw it, for bench/RESULTS.md.
    cp "$WORK/last-scrape.txt" "$WORK/scrape-4A-$driver-c$c.txt" 2>/dev/null || true
  fi
  stop_server
}

# The disk's limits, in process: durable one-row commits one after another, and a 100 KB
# file written, synced and renamed plus one durable row (bench/limits).
row_limits() {
  mkdir -p "$WORK/limits"
  "$BUILD/bench/bench_durable_limit" "$WORK/limits" "${BENCH_LIMIT_SECONDS:-5}" >"$WORK/limits.jsonl"
  rm -rf "$WORK/limits"
}

# HTTPS rows, each over TLS with kept-alive connections: nginx serving the test page's
# bytes (0S, the peer), the host's own ceiling (1S), /test.app (2S) and the keyed call
# (4S) on the host's TLS, and the same keyed call through nginx ending TLS in front of
# the plain server (4N, server CPU only). The protocol version and cipher each TLS peer
# gives the client go to the log, so that 0S and 1S are seen to match.
wants() { case " $ROWS " in *" $1 "*) return 0 ;; esac; return 1; }

rows_tls() {
  wants 0S || wants 1S || wants 2S || wants 4S || wants 4N || return 0
  make_certificate
  local tls="--tls-cert $WORK/tls/server.crt --tls-key $WORK/tls/server.key"
  local site=$WORK/site-sqlite c key worker
  for c in $CONNECTIONS; do
    if wants 0S; then
      start_nginx_tls
      log "row 0S: $(tls_session_text)"
      worker=$(pgrep -P "$NGINX_PID" | head -n 1)
      measure 0S "peer: nginx static file, TLS" - "$c" "$worker" "https://127.0.0.1:$PORT/test.app" plain.lua
      stop_nginx
    fi
    if wants 1S; then
      SERVER_TLS_ARGS=$tls start_server "$BUILD/minimal_extension.so"
      log "row 1S: $(tls_session_text)"
      measure 1S "ceiling: minimal extension, TLS" - "$c" "$SERVER_PID" \
        "https://127.0.0.1:$PORT/anything?size=$PAGE_SIZE" plain.lua
      stop_server
    fi
    if wants 2S; then
      SERVER_TLS_ARGS=$tls start_server "$site/Tallyhand_az.so"
      measure 2S "/test.app, TLS" sqlite "$c" "$SERVER_PID" "https://127.0.0.1:$PORT/test.app" plain.lua
      stop_server
    fi
    if wants 4S; then
      SERVER_TLS_ARGS=$tls start_server "$site/Tallyhand_az.so"
      key=$(SCHEME=https sign_in)
      [ -n "$key" ] || die "sign-in over TLS failed"
      write_body "$WORK/list-tls.body" \
        "{\"key\":\"$key\",\"ReqMethod\":\"EXECUTE PROCEDURE nvm_DailyReportRecord_List('45','',0);\"}"
      measure 4S "procedure call, live key, 10 rows, TLS" sqlite "$c" "$SERVER_PID" \
        "https://127.0.0.1:$PORT/tcclientRequest.app" envelope.lua "$WORK/list-tls.body" '"PMID"'
      stop_server
    fi
    if wants 4N; then
      start_server "$site/Tallyhand_az.so"
      key=$(sign_in)
      [ -n "$key" ] || die "sign-in failed"
      local server_pid=$SERVER_PID
      start_nginx_tls "$PORT"
      write_body "$WORK/list-tls.body" \
        "{\"key\":\"$key\",\"ReqMethod\":\"EXECUTE PROCEDURE nvm_DailyReportRecord_List('45','',0);\"}"
      measure 4N "procedure call, live key, 10 rows, nginx TLS in front" sqlite "$c" "$server_pid" \
        "https://127.0.0.1:$PORT/tcclientRequest.app" envelope.lua "$WORK/list-tls.body" '"PMID"'
      stop_nginx
      stop_server
    fi
  done
}

# The key table at 1,000,000 live keys, measured in process (filling a million keys over
# HTTP would take minutes of sign-ins per cell).
row_keys() {
  "$BUILD/bench/bench_key_lookup" --benchmark_format=json --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >"$WORK/key_lookup.json" 2>/dev/null
}

run_table() {
  build
  command -v wrk >/dev/null || die "wrk is missing (scripts/install-deps.sh)"
  command -v nginx >/dev/null || die "nginx is missing (scripts/install-deps.sh)"
  rm -rf "$WORK"
  mkdir -p "$WORK/bin"
  cp "$BUILD/tallyhand-server" "$WORK/bin/"
  if [ -n "$BEFORE" ]; then
    mkdir -p "$WORK/bin-before"
    cp "$BEFORE/tallyhand-server" "$WORK/bin-before/"
  fi
  : >"$RESULTS"
  "$BUILD/bench/bench_make_jpeg" "$WORK/upload.jpg" 102400

  make_site "$WORK/site-sqlite" sqlite
  # The bytes of the test page, served by nginx and by the ceiling row alike.
  start_server "$WORK/site-sqlite/Tallyhand_az.so"
  curl -sf "http://127.0.0.1:$PORT/test.app" >"$WORK/page.html"
  stop_server
  PAGE_SIZE=$(stat -c %s "$WORK/page.html")
  [ "$PAGE_SIZE" -gt 0 ] || die "the test page is empty"

  case " $ROWS " in *" 0 "*) row_peer ;; esac
  case " $ROWS " in *" 1 "*|*" 1A "*) row_ceiling ;; esac
  case " $ROWS " in *" 2 "*) row_test_page ;; esac
  for driver in $DRIVERS; do
    case $driver in
      pg) start_pg; make_site "$WORK/site-pg" pg ;;
      odbc) start_pg; make_odbc_site "$WORK/site-odbc" ;;
    esac
    rows_app "$driver"
  done
  rows_tls
  case " $ROWS " in *" K "*) row_keys ;; esac
  case " $ROWS " in *" L "*) row_limits ;; esac

  python3 "$BENCH/table.py" "$RESULTS" "$WORK/key_lookup.json" --limits "$WORK/limits.jsonl" \
    --meta "warm-up ${WARMUP} s, ${DURATION} s measured per cell, wrk -t ${THREADS}, page ${PAGE_SIZE} bytes"
  # The plots go beside RESULTS.md unless BENCH_PLOTS names another folder.
  if command -v gnuplot >/dev/null; then
    python3 "$BENCH/plots.py" "$RESULTS" "${BENCH_PLOTS:-$BENCH}"
  else
    log "gnuplot is missing (scripts/install-deps.sh): no plots"
  fi
}

case "${1:-table}" in
  table) run_table ;;
  load) shift; exec bash "$BENCH/load.sh" "$@" ;;
  flood) shift; exec bash "$BENCH/flood.sh" "$@" ;;
  *) die "usage: bench/run.sh [table|load|flood]" ;;
esac
