#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build (Release, as
# users and the benchmarks build it) and the Debian package made from it, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the fuzz targets (fuzz/run.sh,
# its own clang build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh --tests

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

bash scripts/check-layers.sh

echo "== normal build =="
# CORVAN_TESTS=ON: scripts/run.sh builds the same folder without the tests.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DCORVAN_TESTS=ON
ctest --test-dir build --no-tests=error --output-on-failure -j2 --timeout 300

echo "== package =="
# From the normal build: the .deb, then its contents, desktop entry, units and manual page.
deb=$(bash scripts/package.sh build | tail -n 1)
bash scripts/check-package.sh "$deb"

echo "== sanitizer build =="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DCORVAN_SANITIZE=ON
ctest --test-dir build-asan --no-tests=error --output-on-failure -j2 --timeout 600

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzzing =="
  bash fuzz/run.sh
fi
