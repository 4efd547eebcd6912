#!/usr/bin/env bash
# Installs what is needed, builds once, and runs every test: the main build's suite
# (SQLite, a throw-away PostgreSQL server and a throw-away Redis server, HAProxy in front
# of three servers), the suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, and a
# short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${TALLYHAND_JOBS:-2}

if [ "${TALLYHAND_SKIP_INSTALL:-0}" != 1 ]; then
  bash scripts/install-deps.sh
fi

stage() { printf '\n==== %s ====\n' "$*"; }
summary_passed=0
summary_failed=0
run_ctest() {  # dir, extra ctest args...
  local dir=$1; shift
  local log
  log=$(mktemp)
  set +e
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    summary_failed=$((summary_failed + failed))
    summary_passed=$((summary_passed + total - failed))
  fi
  rm -f "$log"
  if [ "$rc" -ne 0 ]; then
    printf '\n%s passed, %s failed\n' "$summary_passed" "$((summary_failed > 0 ? summary_failed : 1))"
    exit "$rc"
  fi
}

configure() {  # dir, cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DTALLYHAND_WERROR=ON "$@" >/dev/null
}

stage "PostgreSQL test server"
bash scripts/pg-test-server.sh start
trap 'bash scripts/pg-test-server.sh stop >/dev/null 2>&1 || true' EXIT
# shellcheck disable=SC1091
source "${TALLYHAND_PG_ENV_FILE:-${TALLYHAND_PG_STATE_DIR:-/tmp/tallyhand-pg}/env}"

stage "Redis test server"
# Beside the PostgreSQL server's folder, so that test runs sharing a machine stay apart.
export TALLYHAND_REDIS_STATE_DIR=${TALLYHAND_REDIS_STATE_DIR:-${TALLYHAND_PG_STATE_DIR:-/tmp/tallyhand-pg}-redis}
bash scripts/redis-test-server.sh start >/dev/null
trap 'bash scripts/pg-test-server.sh stop >/dev/null 2>&1 || true; bash scripts/redis-test-server.sh stop >/dev/null 2>&1 || true' EXIT
# shellcheck disable=SC1091
source "${TALLYHAND_REDIS_ENV_FILE:-$TALLYHAND_REDIS_STATE_DIR/env}"

stage "Build"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"

stage "Tests"
run_ctest build

if [ "${TALLYHAND_QUICK:-0}" != 1 ]; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer"
  configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTALLYHAND_SANITIZE=address,undefined
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan

  stage "ThreadSanitizer (concurrency tests)"
  configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DTALLYHAND_SANITIZE=thread
  cmake --build build-tsan -j "$jobs"
  # tests/tsan.supp: reports inside uninstrumented libraries (the ODBC drivers) only.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp \
    TALLYHAND_E2E_CONCURRENT_SECONDS=10 \
    run_ctest build-tsan -R 'Concurren|Thread|Parallel|Race'

  stage "Fuzz targets"
  CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTALLYHAND_FUZZ=ON \
    -DTALLYHAND_TESTS=OFF
  fuzz_targets=(fuzz_fields fuzz_multipart fuzz_request fuzz_statement fuzz_method_items
                fuzz_data_ini fuzz_extension)
  cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"
  for target in "${fuzz_targets[@]}"; do
    mkdir -p "build-fuzz/corpus-$target" "build-fuzz/findings-$target"
    fuzz_log="build-fuzz/findings-$target/last-run.log"
    # A finding stops the run: its input lies in build-fuzz/findings-<target>/.
    if "build-fuzz/$target" -max_total_time="${TALLYHAND_FUZZ_SECONDS:-20}" -timeout=10 \
        -artifact_prefix="build-fuzz/findings-$target/" \
        "build-fuzz/corpus-$target" "fuzz/corpus/$target" >"$fuzz_log" 2>&1; then
      tail -n 2 "$fuzz_log"
      summary_passed=$((summary_passed + 1))
    else
      tail -n 40 "$fuzz_log"
      summary_failed=$((summary_failed + 1))
    fi
  done
  if [ "$summary_failed" -gt 0 ]; then
    printf '\n%s passed, %s failed\n' "$summary_passed" "$summary_failed"
    exit 1
  fi
fi

printf '\n%s passed, %s failed\n' "$summary_passed" "$summary_failed"
