#!/usr/bin/env bash
# Installs what is missing on Debian 12 (run as root):
#   setup.sh          what building, running and packaging the program need
#   setup.sh --tests  that, plus what only the tests and benchmarks use (the sanitizer
#                     compiler, the peers they run against, the package checkers, the
#                     window's test tools)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config netbase
  qt6-base-dev
  dpkg-dev librsvg2-bin
)
test_packages=(
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format
  curl dnsutils iproute2 microsocks socat python3 python3-prometheus-client python3-socks procps
  rinetd haproxy libnginx-mod-stream dante-server iperf3 dnsmasq dnsperf dnsdist
  tinyproxy wrk nginx-light squid chromium openssl
  xvfb xauth xdotool x11-apps imagemagick
  desktop-file-utils groff-base man-db systemd
)

case "${1:-}" in
  "") ;;
  --tests) packages+=("${test_packages[@]}") ;;
  *) echo "usage: setup.sh [--tests]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
