#!/usr/bin/env bash
# Instructions and heap allocations per keyed call (row 4 on SQLite), counted by callgrind
# rather than timed, so that a shared machine does not move the figures.
#
#   bash bench/callgrind.sh [BUILD_DIR]     # default: build-bench-release (built if absent)
#
# The server (one io thread) runs under valgrind --tool=callgrind on a fresh SQLite demo
# site; one curl sends CG_FEW and then, on a second server, CG_MANY kept-alive keyed calls.
# The difference of the two runs divided by CG_MANY - CG_FEW is the cost of one request
# without start-up, sign-in and shutdown. Prints instructions per request, malloc calls
# per request (operator new ends in malloc, so it is counted there) and the allocating
# call sites (the first frame of our own code above malloc) with their count per request.
#   CG_FEW (default 100), CG_MANY (default 300), BENCH_WORK (scratch folder)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=${1:-$ROOT/build-bench-release}
WORK=${BENCH_WORK:-/tmp/tallyhand-bench}/callgrind
FEW=${CG_FEW:-100}
MANY=${CG_MANY:-300}
THREADS=1

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"
command -v valgrind >/dev/null || die "valgrind is not installed"
[ -x "$BUILD/tallyhand-server" ] || { BUILD=$BUILD build; }

rm -rf "$WORK"
mkdir -p "$WORK"
make_site "$WORK/site" sqlite

# run N: serves N keyed calls under callgrind; leaves $WORK/cg.N
run() {
  local n=$1 out=$WORK/server.out key i
  : >"$out"
  valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.$n" --separate-callers12=malloc \
    --dump-instr=no --collect-jumps=no \
    "$BUILD/tallyhand-server" --module "$WORK/site/Tallyhand_az.so" --port 0 --listen 127.0.0.1 \
    --io-threads 1 >"$out" 2>"$WORK/server.err" &
  SERVER_PID=$!
  wait_for_port "$out" "$WORK/server.err" 60
  key=$(sign_in)
  [ -n "$key" ] || die "sign-in failed"
  write_body "$WORK/list.body" \
    "{\"key\":\"$key\",\"ReqMethod\":\"EXECUTE PROCEDURE nvm_DailyReportRecord_List('45','',0);\"}"
  : >"$WORK/urls"
  for ((i = 0; i < n; i++)); do echo "url = \"http://127.0.0.1:$PORT/tcclientRequest.app\"" >>"$WORK/urls"; done
  curl -sf -K "$WORK/urls" -X POST -H 'Content-Type: application/x-www-form-urlencoded' \
    --data-binary @"$WORK/list.body" >"$WORK/answers.$n"
  [ "$(grep -o '"PMID"' "$WORK/answers.$n" | wc -l)" -ge "$n" ] || die "answers without rows"
  stop_server
}

run "$FEW"
run "$MANY"
python3 "$BENCH/callgrind_allocs.py" "$WORK/cg.$FEW" "$WORK/cg.$MANY" $((MANY - FEW))
