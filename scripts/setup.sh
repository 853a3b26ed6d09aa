#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12 (run as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format
  curl dnsutils microsocks socat python3 procps netbase
  rinetd dante-server iperf3 dnsmasq dnsperf dnsdist
  tinyproxy wrk nginx-light squid chromium openssl
  qt6-base-dev xvfb xauth xdotool x11-apps imagemagick
  dpkg-dev librsvg2-bin desktop-file-utils groff-base man-db systemd
)

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
