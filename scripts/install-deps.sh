#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the benchmarks need.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config \
  clang llvm libclang-rt-14-dev \
  libboost-dev libboost-system-dev \
  rapidjson-dev libjpeg62-turbo-dev libsqlite3-dev sqlite3 \
  libpq-dev postgresql postgresql-client \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  libfaketime wrk nginx-light curl procps ca-certificates \
  unixodbc unixodbc-dev odbc-postgresql libsqliteodbc \
  libssl-dev openssl libsystemd-dev systemd dpkg-dev fakeroot lintian \
  prometheus-cpp-dev prometheus \
  libhiredis-dev redis-server haproxy \
  gnuplot-nox
