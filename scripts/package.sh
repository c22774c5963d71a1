#!/bin/sh
# Builds the Debian package bw-vellacor-ctl_<version>_amd64.deb from a release build.
# Usage: scripts/package.sh [output-folder]   (default: the current folder)
# The build folder is $BWV_PACKAGE_BUILD (default: build-package in the repository).
set -eu
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
cd "$(dirname "$0")/.."
build=${BWV_PACKAGE_BUILD:-build-package}

needed="cmake g++ make qtbase5-dev libsqlite3-dev dpkg-dev file"
if ! dpkg -s $needed >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $needed
fi

# Debian's hardening flags, all of them: fortify (a preprocessor flag, which CMake takes with
# the compiler's), stack protector and clash protection, read-only relocations bound at once.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBWV_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/bw-vellacor-ctl_*.deb
