#!/usr/bin/env bash
# Saves PNGs of the main window and its dialogs into the folder given (default
# /tmp/gui-shots), in two sets:
#   real-*.png  the installed-to-be program, build/corvan-proxy, run under Xvfb over a
#               prepared settings file in a temporary --data-dir (two mappings, three users;
#               SOCKS and HTTP running), driven from outside by keyboard with xdotool and
#               grabbed with ImageMagick's import: one picture per node and the pages of the
#               HTTP and SOCKS settings dialogs;
#   the rest    drawn by the window classes from build/tests/test_gui (Screenshots.*), which
#               also reach the dialogs and menus that keyboard driving cannot.
# Needs build/corvan-proxy, build/tests/test_gui, xvfb-run, xdotool and import (set-up).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --inside-xvfb ]; then
  # Runs inside xvfb-run: $2 the output folder, $3 the data folder.
  out=$2
  data=$3
  "$root/build/corvan-proxy" --data-dir "$data" >"$data/program.log" 2>&1 &
  pid=$!
  trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Corvan Internet Proxy$' | head -1)
  xdotool windowfocus --sync "$wid"
  sleep 1 # the first-show step selects About and starts the services

  shot() { # window, name: waits for a refresh (500 ms) and grabs the window
    sleep 0.8
    import -window "$1" "$out/real-$2.png"
  }
  key() { xdotool key --clearmodifiers "$@"; }
  # A settings dialog by its caption: every page (Ctrl+Tab to the next), then Cancel.
  dialog_pages() { # caption, name, page names...
    local caption=$1 name=$2
    shift 2
    local dwid
    dwid=$(timeout 10 xdotool search --sync --onlyvisible --name "^$caption\$" | head -1)
    xdotool windowfocus --sync "$dwid"
    for page in "$@"; do
      shot "$dwid" "dialog-$name-$page"
      key ctrl+Tab
    done
    key Escape
    sleep 0.3
    xdotool windowfocus --sync "$wid"
  }

  # The tree has the focus; About is selected. Down walks the nodes, Right opens a list.
  shot "$wid" main-about
  key Down; shot "$wid" main-http
  key Menu; sleep 0.3; key s
  dialog_pages "HTTP Proxy Settings" http server tcp-proxy http-proxy options tunnel limits login
  key Down; shot "$wid" main-dns
  key Down; shot "$wid" main-socks
  key Menu; sleep 0.3; key s
  dialog_pages "Socks Proxy Settings" socks server options bandwidth proxy
  key Down; shot "$wid" main-portmappings
  key Right Down; shot "$wid" main-mapping-1
  key Down; shot "$wid" main-mapping-2
  key Down; shot "$wid" main-users
  key Right Down; shot "$wid" main-user-1
  key Down; shot "$wid" main-user-2
  key Down; shot "$wid" main-user-3
  exit 0
fi

out=${1:-/tmp/gui-shots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
for tool in xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool missing (scripts/setup.sh --tests)" >&2; exit 1; }
done

# The test-driven pictures.
CORVAN_SHOTS_DIR=$out QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  "$root/build/tests/test_gui" --gtest_filter=Screenshots.*

# The real program over a prepared settings file.
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
mkdir -p "$data/Corvan"
cat >"$data/Corvan/CorvanProxy.ini" <<EOF
[Proxy-HTTP]
Enabled=1
ServerIP=127.0.0.1
ServerPort=$(free_port)
[Proxy-SocksProxy]
Enabled=1
ServerIP=127.0.0.1
ServerPort=$(free_port)
[Proxy-PortMapper]
ItemCount=2
[Proxy-PortMapper.Items.0]
ServerProtocol=3
ServerPort=$(free_port)
DestHost=example.org
DestPort=80
[Proxy-PortMapper.Items.1]
ServerProtocol=4
ServerPort=$(free_port)
DestHost=10.0.0.1
DestPort=53
[Proxy-ProxyUsers]
ItemCount=3
[Proxy-ProxyUsers.Items.0]
Name=Ann Lee
Login=annlee
[Proxy-ProxyUsers.Items.1]
Name=Bob Stone
Login=bobstone
UserDisabled=1
[Proxy-ProxyUsers.Items.2]
Name=
Login=
EOF
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  bash "$0" --inside-xvfb "$out" "$data"
ls "$out"
