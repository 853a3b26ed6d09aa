#!/usr/bin/env bash
# Installs what is missing, builds, and runs the proxy: with its window on a desktop
# (DISPLAY or WAYLAND_DISPLAY set), otherwise headless.
# Extra arguments go to the program, e.g. scripts/run.sh --data-dir /tmp/corvan
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=Release -DCORVAN_TESTS=OFF
exec "$root/build/corvan-proxy" "$@"
