#!/bin/sh
# Installs what the build and the tests need, builds in a fresh folder and runs every test.
# Usage: scripts/test.sh [build-folder]   (default: build-test)
set -eu
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    ca-certificates cmake g++ make pkg-config \
    qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev \
    postgresql-15 postgresql-client-15 sqlite3 util-linux \
    dpkg-dev file lintian man-db groff-base restic

build=${1:-build-test}
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBWV_WERROR=ON -DBWV_SANITIZE=ON
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure --no-tests=error --timeout 600
