#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests.
#
#   scripts/pg-test-server.sh start   make a new cluster, start it, create a user and a
#                                     database, write the settings file (see below)
#   scripts/pg-test-server.sh stop    stop the server and remove the cluster
#   scripts/pg-test-server.sh status  exit 0 when the server is running
#
# Run as root, the cluster belongs to the "postgres" account (runuser); run as another
# user, it belongs to that user. No system service is involved.
#
# The settings file ($TALLYHAND_PG_ENV_FILE, default $STATE_DIR/env) holds export lines
# that the test command sources:
#   TALLYHAND_PG_HOST TALLYHAND_PG_PORT TALLYHAND_PG_USER TALLYHAND_PG_PASSWORD
#   TALLYHAND_PG_DB   (the server, and a user that may create databases and roles)
#   TALLYHAND_PG_CTL  (a pg_ctl that runs as the cluster's owner; pass -D)
#   TALLYHAND_PG_DATA (the data directory)  TALLYHAND_PG_LOG (the server log)
#   TALLYHAND_PG_LOCK_FILE (tests that restart the server hold it exclusively; others
#                           that must not see a restart hold it shared)
#
# Settings of this script (environment):
#   TALLYHAND_PG_STATE_DIR   where everything lives (default /tmp/tallyhand-pg)
#   TALLYHAND_PG_LISTEN_PORT a fixed port (default: a free port)
#   TALLYHAND_PG_BIN         the PostgreSQL bin folder (default: newest /usr/lib/postgresql/*/bin)
set -euo pipefail

STATE_DIR=${TALLYHAND_PG_STATE_DIR:-/tmp/tallyhand-pg}
ENV_FILE=${TALLYHAND_PG_ENV_FILE:-$STATE_DIR/env}
DATA_DIR=$STATE_DIR/data
SOCKET_DIR=$STATE_DIR/socket
LOG_FILE=$STATE_DIR/server.log
CTL_WRAPPER=$STATE_DIR/pg_ctl
LOCK_FILE=$STATE_DIR/restart.lock
DB_USER=tallyhand
DB_NAME=tallyhand

die() { echo "pg-test-server: $*" >&2; exit 1; }

# Everything below STATE_DIR is removed by start and stop.
case "$STATE_DIR" in
  /?*/*|/tmp/?*) ;;
  *) die "TALLYHAND_PG_STATE_DIR must be an absolute path at least two levels deep: $STATE_DIR" ;;
esac

find_bin() {
  if [ -n "${TALLYHAND_PG_BIN:-}" ]; then echo "$TALLYHAND_PG_BIN"; return; fi
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$bin" ] && [ -x "$bin/initdb" ] || die "no PostgreSQL server found under /usr/lib/postgresql (run scripts/install-deps.sh)"
  echo "$bin"
}

if [ "$(id -u)" -eq 0 ]; then
  OWNER=postgres
  getent passwd "$OWNER" >/dev/null || die "the postgres account is missing (install the postgresql package)"
  as_owner() { runuser -u "$OWNER" -- "$@"; }
else
  OWNER=$(id -un)
  as_owner() { "$@"; }
fi

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
  local port
  for _ in $(seq 1 50); do
    port=$(( 20000 + RANDOM % 40000 ))
    if ! port_in_use "$port"; then echo "$port"; return; fi
  done
  die "no free port found"
}

is_running() {
  [ -d "$DATA_DIR" ] && as_owner "$BIN/pg_ctl" -D "$DATA_DIR" status >/dev/null 2>&1
}

write_settings() {
  local port=$1 password=$2
  local tmp
  tmp=$(mktemp "$STATE_DIR/env.XXXXXX")
  cat >"$tmp" <<EOF
export TALLYHAND_PG_HOST=127.0.0.1
export TALLYHAND_PG_PORT=$port
export TALLYHAND_PG_USER=$DB_USER
export TALLYHAND_PG_PASSWORD=$password
export TALLYHAND_PG_DB=$DB_NAME
export TALLYHAND_PG_CTL=$CTL_WRAPPER
export TALLYHAND_PG_DATA=$DATA_DIR
export TALLYHAND_PG_LOG=$LOG_FILE
export TALLYHAND_PG_LOCK_FILE=$LOCK_FILE
EOF
  chmod 600 "$tmp"
  mkdir -p "$(dirname "$ENV_FILE")"
  mv "$tmp" "$ENV_FILE"
}

start() {
  BIN=$(find_bin)
  if is_running; then
    [ -f "$ENV_FILE" ] || die "a server runs in $DATA_DIR but $ENV_FILE is missing; run stop first"
    echo "pg-test-server: already running; settings in $ENV_FILE" >&2
    cat "$ENV_FILE"
    return
  fi
  rm -rf "$STATE_DIR"
  mkdir -p "$STATE_DIR"
  chmod 755 "$STATE_DIR"
  mkdir -p "$DATA_DIR" "$SOCKET_DIR"
  touch "$LOG_FILE" "$LOCK_FILE"
  chmod 666 "$LOCK_FILE"
  chown "$OWNER" "$DATA_DIR" "$SOCKET_DIR" "$LOG_FILE"
  chmod 700 "$DATA_DIR" "$SOCKET_DIR"

  local password
  password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  local pwfile
  pwfile=$(as_owner mktemp "$SOCKET_DIR/pw.XXXXXX")
  printf '%s\n' "$password" | as_owner tee "$pwfile" >/dev/null
  # Local socket connections (owner only, in a private folder) are trusted; TCP needs the
  # password.
  as_owner "$BIN/initdb" -D "$DATA_DIR" -U postgres --pwfile="$pwfile" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$STATE_DIR/initdb.log" 2>&1 \
    || { cat "$STATE_DIR/initdb.log" >&2; die "initdb failed"; }
  as_owner rm -f "$pwfile"

  cat >"$CTL_WRAPPER" <<EOF
#!/bin/sh
# pg_ctl as the owner of the test cluster.
if [ "\$(id -u)" -eq 0 ] && [ "$OWNER" != root ]; then
  exec runuser -u "$OWNER" -- "$BIN/pg_ctl" "\$@"
fi
exec "$BIN/pg_ctl" "\$@"
EOF
  chmod 755 "$CTL_WRAPPER"

  local port="" attempt
  for attempt in 1 2 3 4 5; do
    port=${TALLYHAND_PG_LISTEN_PORT:-$(pick_port)}
    # The settings live in the cluster's own configuration, so a plain
    # "pg_ctl -D DATA start" (restart tests) comes back on the same port.
    as_owner tee "$DATA_DIR/postgresql.auto.conf" >/dev/null <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$SOCKET_DIR'
max_connections = 200
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    if as_owner "$BIN/pg_ctl" -D "$DATA_DIR" -l "$LOG_FILE" -w -t 60 start >/dev/null; then
      break
    fi
    port=""
    [ -z "${TALLYHAND_PG_LISTEN_PORT:-}" ] || break
    echo "pg-test-server: start attempt $attempt failed, trying another port" >&2
  done
  [ -n "$port" ] || { tail -n 20 "$LOG_FILE" >&2; die "the server did not start"; }

  local psql=("$BIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$SOCKET_DIR" -p "$port" -U postgres -d postgres)
  as_owner "${psql[@]}" -c "CREATE ROLE $DB_USER LOGIN CREATEDB CREATEROLE PASSWORD '$password'" >/dev/null
  as_owner "${psql[@]}" -c "CREATE DATABASE $DB_NAME OWNER $DB_USER" >/dev/null

  write_settings "$port" "$password"
  echo "pg-test-server: running on 127.0.0.1:$port; settings in $ENV_FILE" >&2
  cat "$ENV_FILE"
}

stop() {
  BIN=$(find_bin)
  if [ -d "$DATA_DIR" ]; then
    as_owner "$BIN/pg_ctl" -D "$DATA_DIR" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$STATE_DIR"
  if [ "$ENV_FILE" != "$STATE_DIR/env" ]; then rm -f "$ENV_FILE"; fi
  echo "pg-test-server: stopped" >&2
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) BIN=$(find_bin); is_running ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
