#!/usr/bin/env bash
# The long crash runs: the server killed (SIGKILL) at random moments under a load of
# writes and uploads on a SQLite site, and the PostgreSQL server killed under the same
# load; after each kill everything answered success is checked (the test command runs the
# same tests briefly). Prints a Markdown report.
#
#   bash bench/crash.sh [KILLS] [DATABASE_KILLS]     # default 50 and 10
#
# Settings (environment):
#   BENCH_WORK         scratch folder (default /tmp/tallyhand-bench-crash; emptied first)
#   BENCH_CRASH_BUILD  the build folder (default build-bench-crash, a RelWithDebInfo
#                      build with the tests, made here)
#   BENCH_SKIP_BUILD=1 use the build folder as it is
#   BENCH_PG_ENV       env file of a running PostgreSQL test server to use instead of
#                      starting one (default: start one under /tmp/tallyhand-pg-bench)
#   TALLYHAND_CRASH_SEED  repeat the server kills of an earlier run
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=${BENCH_CRASH_BUILD:-$ROOT/build-bench-crash}
WORK=${BENCH_WORK:-/tmp/tallyhand-bench-crash}
THREADS=2
KILLS=${1:-50}
DATABASE_KILLS=${2:-10}

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"

rm -rf "$WORK"
mkdir -p "$WORK"
if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  # The tests' own build: the runs are tests made long.
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j "${TALLYHAND_JOBS:-2}" --target test_resilience >/dev/null
fi
start_pg
trap stop_pg EXIT

log "$KILLS server kills on a SQLite site"
TALLYHAND_CRASH_ROUNDS=$KILLS "$BUILD/test_resilience" --gtest_filter='CrashSafety.*' \
  >"$WORK/server-kills.log" 2>&1 || log "server kills: FAILED (see $WORK/server-kills.log)"
log "$DATABASE_KILLS PostgreSQL kills"
TALLYHAND_DB_KILL_ROUNDS=$DATABASE_KILLS "$BUILD/test_resilience" --gtest_filter='DatabaseKilled.*' \
  >"$WORK/database-kills.log" 2>&1 || log "database kills: FAILED (see $WORK/database-kills.log)"

python3 "$BENCH/crash_report.py" "$WORK/server-kills.log" "$WORK/database-kills.log"
