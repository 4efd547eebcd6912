#!/usr/bin/env bash
# Instructions per 100 KB JPEG upload (SQLite, live key), counted by callgrind: the
# server runs under valgrind, a warm-up of uploads runs, the counters are zeroed, N uploads
# run on one kept-alive connection, the counters are dumped. Prints the instructions per
# upload and the top functions (inclusive and exclusive), per upload.
#
#   bash bench/callgrind_upload.sh [BUILD_DIR] [N]
#
# BUILD_DIR holds tallyhand-server and Tallyhand_az.so (default build-bench-release, which
# must also hold tallyhand-admin and bench/bench_make_jpeg); N defaults to 100.
# BENCH_WORK names the scratch folder (default /tmp/tallyhand-callgrind-upload).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
BUILD=$ROOT/build-bench-release
SUBJECT=$(cd "${1:-$BUILD}" && pwd)
COUNT=${2:-100}
WORK=${BENCH_WORK:-/tmp/tallyhand-callgrind-upload}
THREADS=2

# shellcheck source=bench/lib.sh
. "$BENCH/lib.sh"

rm -rf "$WORK"
mkdir -p "$WORK/bin"
cp "$SUBJECT/tallyhand-server" "$WORK/bin/"
"$BUILD/bench/bench_make_jpeg" "$WORK/upload.jpg" 102400
make_site "$WORK/site" sqlite
cp "$SUBJECT/Tallyhand_az.so" "$WORK/site/Tallyhand_az.so"

out=$WORK/server.out
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out.%p" \
  "$WORK/bin/tallyhand-server" --module "$WORK/site/Tallyhand_az.so" --port 0 \
  --listen 127.0.0.1 >"$out" 2>"$WORK/server.err" &
SERVER_PID=$!
trap 'kill -TERM "$SERVER_PID" 2>/dev/null || true' EXIT
wait_for_port "$out" "$WORK/server.err" 60

key=$(sign_in)
[ -n "$key" ] || die "sign-in failed"
url="http://127.0.0.1:$PORT/tcclientData2.app?key=$key&pmid=3&e_no=7&clock_type=1&lat=45.5&lon=-122.6&clock_date=03%2F02%2F2020%2008%3A00&oclock_date=03%2F02%2F2020%2008%3A00&tskey=t1&devId=bench&RID=1"

upload() {  # upload FIRST LAST: one kept-alive connection, one name per upload
  curl -sf -F "file=@$WORK/upload.jpg;type=image/jpeg;filename=part.jpg" \
    "$url&fn=cg-[$1-$2].jpg" -o "$WORK/answers-$1.txt"
  grep -q '"PictureID"' "$WORK/answers-$1.txt" || die "an upload failed: $(head -c 400 "$WORK/answers-$1.txt")"
}

upload 1 20
callgrind_control -z "$SERVER_PID" >/dev/null
upload 1001 "$((1000 + COUNT))"
callgrind_control -d "$SERVER_PID" >/dev/null
dump=$(ls -t "$WORK"/callgrind.out.* | head -n 1)
kill -TERM "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
trap - EXIT

total=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p;s/^totals: *\([0-9]*\).*/\1/p' "$dump" | head -n 1)
echo "instructions per upload: $((total / COUNT)) ($COUNT uploads, $dump)"
top() {  # top INCLUSIVE COUNT: the functions' instructions per upload
  callgrind_annotate --inclusive="$1" --threshold=100 --auto=no "$dump" 2>/dev/null |
    grep -E '^ *[0-9,]+ \(' | grep -v 'PROGRAM TOTALS' | head -n "$2" |
    awk -v n="$COUNT" '{ c = $1; gsub(",", "", c); $1 = ""; $2 = "";
                         printf "%10d %s\n", c / n, substr($0, 1, 160) }'
}
echo "--- inclusive, top 40 (instructions per upload)"
top yes 40
echo "--- exclusive, top 30 (instructions per upload)"
top no 30
