# Functions shared by bench/run.sh and bench/load.sh (sourced; expects ROOT, BENCH, BUILD,
# WORK and THREADS to be set).
log() { echo "bench: $*" >&2; }
die() { log "$*"; exit 1; }

build() {
  [ "${BENCH_SKIP_BUILD:-0}" = 1 ] && return
  # -O2: GCC 12 reports false -Wrestrict warnings inside std::string at -O3.
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DTALLYHAND_TESTS=OFF -DTALLYHAND_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j "${TALLYHAND_JOBS:-2}" --target tallyhand-server tallyhand-admin \
    Tallyhand_az minimal_extension bench_key_lookup bench_make_jpeg bench_durable_limit >/dev/null
}

# ---- PostgreSQL -------------------------------------------------------------------------
PG_STARTED=0
start_pg() {
  [ "$PG_STARTED" = 1 ] && return
  if [ -n "${BENCH_PG_ENV:-}" ]; then
    # shellcheck disable=SC1090
    . "$BENCH_PG_ENV"
    return
  fi
  export TALLYHAND_PG_STATE_DIR=/tmp/tallyhand-pg-bench
  export TALLYHAND_PG_ENV_FILE=/tmp/tallyhand-pg-bench/env
  bash "$ROOT/scripts/pg-test-server.sh" start >/dev/null
  PG_STARTED=1
  # shellcheck disable=SC1090
  . "$TALLYHAND_PG_ENV_FILE"
}
stop_pg() {
  if [ "$PG_STARTED" = 1 ]; then
    TALLYHAND_PG_STATE_DIR=/tmp/tallyhand-pg-bench TALLYHAND_PG_ENV_FILE=/tmp/tallyhand-pg-bench/env \
      bash "$ROOT/scripts/pg-test-server.sh" stop >/dev/null || true
    PG_STARTED=0
  fi
}
pg_sql() {
  PGPASSWORD=$TALLYHAND_PG_PASSWORD psql -X -q -v ON_ERROR_STOP=1 -h "$TALLYHAND_PG_HOST" \
    -p "$TALLYHAND_PG_PORT" -U "$TALLYHAND_PG_USER" -d "${2:-$TALLYHAND_PG_DB}" -tA -c "$1"
}
pg_conninfo() {
  echo "host=$TALLYHAND_PG_HOST port=$TALLYHAND_PG_PORT dbname=$1 user=$TALLYHAND_PG_USER password=$TALLYHAND_PG_PASSWORD"
}

# ---- Redis (the shared session key store) -----------------------------------------------
REDIS_STARTED=0
start_redis() {
  [ "$REDIS_STARTED" = 1 ] && return
  export TALLYHAND_REDIS_STATE_DIR=$WORK/redis
  bash "$ROOT/scripts/redis-test-server.sh" start >/dev/null
  REDIS_STARTED=1
  # shellcheck disable=SC1091
  . "$TALLYHAND_REDIS_STATE_DIR/env"
}
stop_redis() {
  if [ "$REDIS_STARTED" = 1 ]; then
    bash "$ROOT/scripts/redis-test-server.sh" stop >/dev/null 2>&1 || true
    REDIS_STARTED=0
  fi
}
redis_cli() {
  REDISCLI_AUTH=$TALLYHAND_REDIS_PASSWORD redis-cli -h "$TALLYHAND_REDIS_HOST" -p "$TALLYHAND_REDIS_PORT" "$@"
}
# with_session_keys SITE COPY LINE...: a copy of the site whose data.ini ends with a
# [SessionKeys] section of these lines.
with_session_keys() {
  local site=$1 copy=$2
  shift 2
  rm -rf "$copy"
  cp -r "$site" "$copy"
  { printf '[SessionKeys]\r\n'; printf '%s\r\n' "$@"; } >>"$copy/data.ini"
}
# The lines that make a site use the running Redis server.
redis_session_keys() {
  echo "Store=Redis"
  echo "Server=$TALLYHAND_REDIS_HOST"
  echo "Port=$TALLYHAND_REDIS_PORT"
  echo "Password=$("$BUILD/tallyhand-admin" scramble "$TALLYHAND_REDIS_PASSWORD")"
}

# ---- sites and servers ------------------------------------------------------------------
# make_site DIR sqlite|pg [DBNAME]: a fresh site with the demo database.
make_site() {
  local dir=$1 driver=$2 db=${3:-thbench}
  rm -rf "$dir"
  if [ "$driver" = sqlite ]; then
    "$BUILD/tallyhand-admin" init-site "$dir" --module "$BUILD/Tallyhand_az.so" >/dev/null
  else
    pg_sql "DROP DATABASE IF EXISTS $db" >/dev/null
    pg_sql "CREATE DATABASE $db" >/dev/null
    "$BUILD/tallyhand-admin" init-db pg "$(pg_conninfo "$db")" >/dev/null
    "$BUILD/tallyhand-admin" init-site "$dir" --module "$BUILD/Tallyhand_az.so" --driver pg \
      --server "$TALLYHAND_PG_HOST" --port "$TALLYHAND_PG_PORT" --database "$db" \
      --user "$TALLYHAND_PG_USER" --password "$TALLYHAND_PG_PASSWORD" >/dev/null
  fi
}

# make_odbc_site DIR [DBNAME]: a fresh site on its own demo database of the PostgreSQL
# server, reached through Debian's psqlODBC ("PostgreSQL Unicode") as db/README.md shows.
# The driver is registered in an odbcinst.ini of the bench's own (ODBCSYSINI, inherited by
# the server) with CommLog off, so that no log file is written per connection.
make_odbc_site() {
  local dir=$1 db=${2:-thbench_odbc}
  mkdir -p "$WORK/odbcinst"
  printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\nCommLog=0\nDebug=0\n' \
    >"$WORK/odbcinst/odbcinst.ini"
  : >"$WORK/odbcinst/odbc.ini"
  export ODBCSYSINI=$WORK/odbcinst
  rm -rf "$dir"
  pg_sql "DROP DATABASE IF EXISTS $db" >/dev/null
  pg_sql "CREATE DATABASE $db" >/dev/null
  "$BUILD/tallyhand-admin" init-db pg "$(pg_conninfo "$db")" >/dev/null
  "$BUILD/tallyhand-admin" init-site "$dir" --module "$BUILD/Tallyhand_az.so" --driver odbc \
    --odbc-driver "PostgreSQL Unicode" --procedure-call Escape \
    --server "$TALLYHAND_PG_HOST" --port "$TALLYHAND_PG_PORT" --database "$db" \
    --user "$TALLYHAND_PG_USER" --password "$TALLYHAND_PG_PASSWORD" >/dev/null
  printf 'ODBCAdvanced=BoolsAsChar=0\r\n' >>"$dir/data.ini"
}

# The server runs from a copy beside the work folder, so that uploaded pictures land in
# $WORK/bin/mobiletcimages.
SERVER_PID=
PORT=
# start_server MODULE [SERVER]: SERVER defaults to this build's copy.
start_server() {
  local module=$1 server=${2:-$WORK/bin/tallyhand-server} out=$WORK/server.out
  : >"$out"
  # shellcheck disable=SC2086
  "$server" --module "$module" --port 0 --listen 127.0.0.1 ${BENCH_SERVER_ARGS:-} \
    ${SERVER_TLS_ARGS:-} ${SERVER_ADMIN_ARGS:-} >"$out" 2>"$WORK/server.err" &
  SERVER_PID=$!
  wait_for_port "$out" "$WORK/server.err" 10
}
# wait_for_port OUT ERR SECONDS: sets PORT from the "listening on" line that server
# $SERVER_PID writes to OUT; dies with ERR's text if the server ends first.
wait_for_port() {
  local out=$1 err=$2 tries=$(($3 * 20)) try
  PORT=
  for ((try = 0; try < tries; try++)); do
    PORT=$(sed -n 's/^listening on .*:\([0-9][0-9]*\)$/\1/p' "$out")
    [ -n "$PORT" ] && return
    kill -0 "$SERVER_PID" 2>/dev/null || die "server did not start: $(cat "$err")"
    sleep 0.05
  done
  die "server did not report its port"
}
stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  kill -TERM "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
}

# A scraper as Prometheus and a balancer would be: /metrics and /readyz once a second on
# the admin listener of a server started with SERVER_ADMIN_ARGS="--admin-listen
# 127.0.0.1:0". The last page is kept in $WORK/last-scrape.txt.
SCRAPER_PID=
# admin_port: the admin listener's port that the last server started reported.
admin_port() {
  local admin=
  for _ in $(seq 1 200); do
    admin=$(sed -n 's/^admin listening on .*:\([0-9][0-9]*\)$/\1/p' "$WORK/server.out")
    [ -n "$admin" ] && break
    sleep 0.05
  done
  [ -n "$admin" ] || die "the server did not report its admin port"
  echo "$admin"
}
start_scraper() {
  local admin
  admin=$(admin_port)
  (
    while :; do
      curl -sf "http://127.0.0.1:$admin/metrics" -o "$WORK/scrape.tmp" && mv "$WORK/scrape.tmp" "$WORK/last-scrape.txt"
      curl -sf -o /dev/null "http://127.0.0.1:$admin/readyz" || true
      sleep 1
    done
  ) &
  SCRAPER_PID=$!
}
stop_scraper() {
  [ -n "$SCRAPER_PID" ] || return 0
  kill "$SCRAPER_PID" 2>/dev/null || true
  wait "$SCRAPER_PID" 2>/dev/null || true
  SCRAPER_PID=
}

NGINX_PID=
# prepare_nginx DIR: the folder of one nginx (its page, temporary files) and a free PORT.
prepare_nginx() {
  local dir=$1
  mkdir -p "$dir/html" "$dir/tmp"
  cp "$WORK/page.html" "$dir/html/test.app"
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
}

# write_nginx_conf DIR HTTP_EXTRA SERVER_BODY: one worker, no access log, kept-alive
# connections; HTTP_EXTRA goes into the http block, SERVER_BODY into its one server.
write_nginx_conf() {
  local dir=$1 http_extra=$2 server_body=$3
  cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
user $(id -un) $(id -gn);
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  types { }
  default_type text/html;
  keepalive_requests 1000000;
  client_body_temp_path $dir/tmp; proxy_temp_path $dir/tmp; fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp; scgi_temp_path $dir/tmp;
  $http_extra
  server {
$server_body
  }
}
EOF
}

start_nginx() {
  local dir=$WORK/nginx
  prepare_nginx "$dir"
  write_nginx_conf "$dir" "" "    listen 127.0.0.1:$PORT;
    root $dir/html;"
  run_nginx "$dir" http
}

# start_nginx_tls [UPSTREAM_PORT]: nginx on a free port over TLS (the certificate of
# make_certificate, TLS 1.2 and 1.3 as in deploy/nginx/tallyhand.conf), serving the test
# page's bytes, or proxying to the plain server on UPSTREAM_PORT with kept-alive
# upstream connections.
start_nginx_tls() {
  local upstream=${1:-} dir=$WORK/nginx-tls
  prepare_nginx "$dir"
  local location="root $dir/html;" upstream_block=""
  if [ -n "$upstream" ]; then
    upstream_block="upstream tallyhand { server 127.0.0.1:$upstream; keepalive 32; }"
    location='location / { proxy_pass http://tallyhand; proxy_http_version 1.1; proxy_set_header Connection ""; proxy_set_header Host $host; }'
  fi
  write_nginx_conf "$dir" "$upstream_block" "    listen 127.0.0.1:$PORT ssl;
    ssl_certificate $WORK/tls/server.crt;
    ssl_certificate_key $WORK/tls/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:bench:10m;
    ssl_session_tickets off;
    $location"
  run_nginx "$dir" https
}

run_nginx() {
  local dir=$1 scheme=$2
  nginx -c "$dir/nginx.conf" -p "$dir" &
  NGINX_PID=$!
  for _ in $(seq 1 100); do
    curl -ksf "$scheme://127.0.0.1:$PORT/test.app" >/dev/null 2>&1 && return
    sleep 0.05
  done
  die "nginx did not start: $(cat "$dir/error.log")"
}

# The certificate of the TLS rows: EC P-256, as a site's would likely be.
make_certificate() {
  mkdir -p "$WORK/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -keyout "$WORK/tls/server.key" -out "$WORK/tls/server.crt" 2>/dev/null
}

# The protocol version and cipher a default client gets from the TLS port $PORT.
tls_session_text() {
  openssl s_client -connect "127.0.0.1:$PORT" -brief </dev/null 2>&1 |
    sed -n 's/^\(Protocol version\|Ciphersuite\): *//p' | paste -sd' '
}
stop_nginx() {
  [ -n "$NGINX_PID" ] || return 0
  kill -TERM "$NGINX_PID" 2>/dev/null || true
  wait "$NGINX_PID" 2>/dev/null || true
  NGINX_PID=
}

cleanup() {
  stop_server
  stop_nginx
  stop_pg
  stop_redis
}
trap cleanup EXIT

# User and system CPU time the process has used, in clock ticks.
cpu_ticks() {
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

peak_rss_kb() {
  sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null || echo 0
}

percent_encode() {
  python3 -c 'import sys, urllib.parse; sys.stdout.write(urllib.parse.quote(sys.argv[1], safe=""))' "$1"
}

# The app's request: JSON with grave accents for double quotes, percent-encoded.
write_body() {
  local file=$1 json=$2
  percent_encode "${json//\"/\`}" >"$file"
}

sign_in() {
  local body
  body=$(percent_encode '{`AuthUser`:`kwhite`,`AuthPass`:`pw`,`AuthComp`:`Northwind Paving`,`ReqMethod`:`checkLogin`}')
  curl -sf -X POST -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$body" \
    -k "${SCHEME:-http}://127.0.0.1:$PORT/tcclientRequest.app" | sed -n 's/.*"key":"\([A-Za-z0-9]*\)".*/\1/p'
}

# measure ROW LABEL DRIVER CONNS PID URL SCRIPT [ARGS...]: warm-up, then one measured run;
# appends one JSON line to $RESULTS.
measure() {
  local row=$1 label=$2 driver=$3 conns=$4 pid=$5 url=$6 script=$7
  shift 7
  wrk -t "$THREADS" -c "$conns" -d "${WARMUP}s" -s "$BENCH/lua/$script" "$url" -- "$@" >/dev/null
  local out cpu0 cpu1
  cpu0=$(cpu_ticks "$pid")
  out=$(wrk -t "$THREADS" -c "$conns" -d "${DURATION}s" --timeout 10s -s "$BENCH/lua/$script" "$url" -- "$@")
  cpu1=$(cpu_ticks "$pid")
  local json
  json=$(sed -n 's/^BENCHJSON //p' <<<"$out")
  [ -n "$json" ] || die "no result from wrk for row $row: $out"
  local rss
  rss=$(peak_rss_kb "$pid")
  python3 - "$json" "$row" "$label" "$driver" "$conns" "$rss" "$((cpu1 - cpu0))" "$(getconf CLK_TCK)" \
    >>"$RESULTS" <<'EOF'
import json, sys
data = json.loads(sys.argv[1])
data.update(row=sys.argv[2], label=sys.argv[3], driver=sys.argv[4], conns=int(sys.argv[5]),
            rss_kb=int(sys.argv[6] or 0),
            cpu_us=int(sys.argv[7]) * 1e6 / int(sys.argv[8]))
print(json.dumps(data))
EOF
  log "row $row $label [$driver] c=$conns: $(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print("%.0f req/s p50 %.2f ms p99 %.2f ms" % (d["requests"]/d["duration_us"]*1e6, d["p50_us"]/1000, d["p99_us"]/1000))' "$json"), peak RSS ${rss} kB"
}

