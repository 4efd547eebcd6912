#!/usr/bin/env bash
# A throw-away Redis server for the tests (the shared session key store).
#
#   scripts/redis-test-server.sh start   start a server on a free loopback port with a
#                                        password, in a fresh folder; write the settings file
#   scripts/redis-test-server.sh stop    stop the server and remove its folder
#   scripts/redis-test-server.sh status  exit 0 when the server answers
#
# The settings file ($TALLYHAND_REDIS_ENV_FILE, default $STATE_DIR/env) holds export lines
# that the test command sources:
#   TALLYHAND_REDIS_HOST TALLYHAND_REDIS_PORT TALLYHAND_REDIS_PASSWORD
#   TALLYHAND_REDIS_CONF      (redis-server CONF starts it again after a test stopped it;
#                              the data it saved on the way down is read back)
#   TALLYHAND_REDIS_PID_FILE  (the running server's process id, for tests that pause it)
#   TALLYHAND_REDIS_LOCK_FILE (tests that stop the server hold it exclusively; others hold
#                              it shared)
#
# Settings of this script (environment):
#   TALLYHAND_REDIS_STATE_DIR  where everything lives (default /tmp/tallyhand-redis)
set -euo pipefail

STATE_DIR=${TALLYHAND_REDIS_STATE_DIR:-/tmp/tallyhand-redis}
ENV_FILE=${TALLYHAND_REDIS_ENV_FILE:-$STATE_DIR/env}
CONF=$STATE_DIR/redis.conf
PID_FILE=$STATE_DIR/redis.pid
LOG_FILE=$STATE_DIR/redis.log
LOCK_FILE=$STATE_DIR/stop.lock

die() { echo "redis-test-server: $*" >&2; exit 1; }

# Everything below STATE_DIR is removed by start and stop.
case "$STATE_DIR" in
  /?*/*|/tmp/?*) ;;
  *) die "TALLYHAND_REDIS_STATE_DIR must be an absolute path at least two levels deep: $STATE_DIR" ;;
esac

command -v redis-server >/dev/null || die "redis-server is missing (run scripts/install-deps.sh)"
command -v redis-cli >/dev/null || die "redis-cli is missing (run scripts/install-deps.sh)"

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

cli() {  # port password args...
  local port=$1 password=$2; shift 2
  REDISCLI_AUTH=$password redis-cli -h 127.0.0.1 -p "$port" "$@"
}

answers() {  # port password
  [ "$(cli "$1" "$2" ping 2>/dev/null)" = PONG ]
}

start() {
  if [ -f "$ENV_FILE" ]; then
    # shellcheck disable=SC1090
    . "$ENV_FILE"
    if answers "$TALLYHAND_REDIS_PORT" "$TALLYHAND_REDIS_PASSWORD"; then
      echo "redis-test-server: already running; settings in $ENV_FILE" >&2
      cat "$ENV_FILE"
      return
    fi
  fi
  stop_server
  rm -rf "$STATE_DIR"
  mkdir -p "$STATE_DIR"
  touch "$LOCK_FILE"
  chmod 666 "$LOCK_FILE"
  local password port="" attempt
  password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  for attempt in 1 2 3 4 5; do
    port=$(pick_port)
    # Saved on shutdown only, so that a test stopping the server finds its keys again.
    cat >"$CONF" <<EOF
bind 127.0.0.1
port $port
requirepass $password
daemonize yes
pidfile $PID_FILE
logfile $LOG_FILE
dir $STATE_DIR
dbfilename dump.rdb
save ""
appendonly no
databases 16
EOF
    chmod 600 "$CONF"
    if redis-server "$CONF" >/dev/null 2>&1; then
      for _ in $(seq 1 100); do
        answers "$port" "$password" && break
        sleep 0.05
      done
      answers "$port" "$password" && break
    fi
    port=""
    echo "redis-test-server: start attempt $attempt failed, trying another port" >&2
  done
  [ -n "$port" ] || { tail -n 20 "$LOG_FILE" >&2 || true; die "the server did not start"; }

  local tmp
  tmp=$(mktemp "$STATE_DIR/env.XXXXXX")
  cat >"$tmp" <<EOF
export TALLYHAND_REDIS_HOST=127.0.0.1
export TALLYHAND_REDIS_PORT=$port
export TALLYHAND_REDIS_PASSWORD=$password
export TALLYHAND_REDIS_CONF=$CONF
export TALLYHAND_REDIS_PID_FILE=$PID_FILE
export TALLYHAND_REDIS_LOCK_FILE=$LOCK_FILE
EOF
  chmod 600 "$tmp"
  mkdir -p "$(dirname "$ENV_FILE")"
  mv "$tmp" "$ENV_FILE"
  echo "redis-test-server: running on 127.0.0.1:$port; settings in $ENV_FILE" >&2
  cat "$ENV_FILE"
}

# Ends the server this folder's pid file names, whatever state a test left it in.
stop_server() {
  [ -f "$PID_FILE" ] || return 0
  local pid
  pid=$(cat "$PID_FILE" 2>/dev/null || true)
  [ -n "$pid" ] || return 0
  # Only a redis-server started from this folder's configuration.
  if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "redis-server"; then
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || return 0
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

stop() {
  stop_server
  rm -rf "$STATE_DIR"
  if [ "$ENV_FILE" != "$STATE_DIR/env" ]; then rm -f "$ENV_FILE"; fi
  echo "redis-test-server: stopped" >&2
}

status() {
  [ -f "$ENV_FILE" ] || exit 1
  # shellcheck disable=SC1090
  . "$ENV_FILE"
  answers "$TALLYHAND_REDIS_PORT" "$TALLYHAND_REDIS_PASSWORD"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
