#!/usr/bin/env bash
# Builds the Debian package in release mode: build-release/tallyhand_VERSION_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${TALLYHAND_SKIP_INSTALL:-0}" != 1 ]; then
  bash scripts/install-deps.sh
fi
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYHAND_TESTS=OFF >/dev/null
cmake --build build-release -j "${TALLYHAND_JOBS:-2}" \
  --target tallyhand-server tallyhand-admin Tallyhand_az Tallyhand
(cd build-release && cpack -G DEB)
ls build-release/tallyhand_*.deb
