#!/usr/bin/env bash
# Installs what is needed, builds in release mode, lays out a demo site on the embedded
# SQLite database and runs the server in the foreground (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
port=${PORT:-8080}
if [ "${TALLYHAND_SKIP_INSTALL:-0}" != 1 ]; then
  bash scripts/install-deps.sh
fi
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYHAND_TESTS=OFF >/dev/null
cmake --build build-release -j "${TALLYHAND_JOBS:-2}" \
  --target tallyhand-server tallyhand-admin Tallyhand_az Tallyhand
site=${SITE:-$(pwd)/site}
if [ ! -f "$site/data.ini" ]; then
  build-release/tallyhand-admin init-site "$site" --module build-release/Tallyhand_az.so
fi
echo "Serving $site on http://127.0.0.1:$port/test.app"
exec build-release/tallyhand-server --module "$site/Tallyhand_az.so" --port "$port" \
  --listen "${LISTEN:-0.0.0.0}"
