#!/usr/bin/env bash
# Saves a PNG of every main-window view and settings dialog (the DNS dialog and the New
# Version dialog too), drawn by the real window classes under Xvfb over a prepared settings
# file (two mappings, three users; SOCKS, HTTP and DNS switched on), into the folder given
# (default /tmp/gui-shots). The window is driven from the test program rather than the
# installed binary: selecting nodes and opening dialogs from outside would need an X input
# and screen-grab tool that the set-up does not install. Needs build/tests/test_gui and
# xvfb-run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-/tmp/gui-shots}
mkdir -p "$out"
CORVAN_SHOTS_DIR=$out QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  "$root/build/tests/test_gui" --gtest_filter=Screenshots.*
ls "$out"
