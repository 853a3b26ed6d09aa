#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the fuzz targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

bash scripts/check-layers.sh

echo "== normal build =="
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j2 --timeout 300

echo "== sanitizer build =="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DCORVAN_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j2 --timeout 600

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzzing =="
  bash fuzz/run.sh
fi
