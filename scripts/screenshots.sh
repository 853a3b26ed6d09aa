#!/usr/bin/env bash
# Saves a PNG of every main-window view and settings dialog, drawn by the real window
# classes under Xvfb, into the folder given (default /tmp/gui-shots). Needs a build with the
# window (build/tests/test_gui) and xvfb-run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-/tmp/gui-shots}
mkdir -p "$out"
CORVAN_SHOTS_DIR=$out QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  "$root/build/tests/test_gui" --gtest_filter=Screenshots.*
ls "$out"
