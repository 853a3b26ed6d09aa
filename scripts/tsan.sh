#!/usr/bin/env bash
# Installs what is missing, then builds every test with ThreadSanitizer (build-tsan; no window:
# Qt's own libraries are not built with it) and runs them all. Kept out of scripts/test.sh: a
# third full build would take CI past its half hour on two cores.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh --tests
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DCORVAN_TSAN=ON -DCORVAN_GUI=OFF \
    -DCORVAN_TESTS=ON
ctest --test-dir build-tsan --no-tests=error --output-on-failure -j2 --timeout 900
